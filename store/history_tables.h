// The names and schemas of the history file's tables: each change log's own
// three, and those every log shares, which hold the table's name in a column.
#pragma once

#include <QString>

#include <array>
#include <iterator>

// A table T's log tables are T followed by these: its stored rows, its deleted
// inner rows and its history rows, with an index on the history rows' step.
inline const std::array<QString, 3> logTableSuffixes = {QStringLiteral("insertedOrUpdatedRows"),
                                                        QStringLiteral("deletedRows"), QStringLiteral("history")};
inline const QString historyIndexSuffix = QStringLiteral("historyByStep");

// The shared tables' schemas, made when the file opens: the registry, read by
// other programs as it is, step labels, clean marks and the marks of logs kept
// beyond their tables' life, added beside it.
inline constexpr const char* sharedTableSchemas[] = {
    "CREATE TABLE IF NOT EXISTS ombrixOpenedTables (uri string PRIMARY KEY,name string NOT NULL,currentHistoryID "
    "INTEGER NOT NULL);",
    // historyID NULL: the label of the next step a change opens.
    "CREATE TABLE IF NOT EXISTS ombrixStepLabels (name TEXT NOT NULL, historyID INTEGER, label TEXT NOT NULL, "
    "UNIQUE (name, historyID));",
    // historyID: the highest applied step then, NULL before every step;
    // rows: the history rows it held, or -1 once it was discarded.
    "CREATE TABLE IF NOT EXISTS ombrixCleanMarks (name TEXT PRIMARY KEY NOT NULL, historyID INTEGER, rows INTEGER "
    "NOT NULL);",
    // A kept log outlives its tables. uri: the file path it was made over;
    // firstNewRowid: where rowids of rows inserted through the overlay begin.
    "CREATE TABLE IF NOT EXISTS ombrixKeptLogs (name TEXT PRIMARY KEY NOT NULL COLLATE NOCASE, uri TEXT NOT NULL, "
    "firstNewRowid INTEGER);",
    // The files a kept log's path named when the log began: path, size in
    // bytes, modification time in nanoseconds since the epoch.
    "CREATE TABLE IF NOT EXISTS ombrixKeptFiles (name TEXT NOT NULL COLLATE NOCASE, path TEXT NOT NULL, size "
    "INTEGER NOT NULL, modified INTEGER NOT NULL, UNIQUE (name, path));",
};

inline constexpr const char registryTable[] = "ombrixOpenedTables";
inline constexpr const char* sharedTables[] = {registryTable, "ombrixStepLabels", "ombrixCleanMarks", "ombrixKeptLogs",
                                               "ombrixKeptFiles"};
static_assert(std::size(sharedTables) == std::size(sharedTableSchemas));

// sql with each shared table's name in place of its placeholder, in the
// order of sharedTables: $registry, $labels, $cleanMarks, $keptLogs, $keptFiles.
inline QString onSharedTables(const char* sql)
{
    static const char* const placeholders[] = {"$registry", "$labels", "$cleanMarks", "$keptLogs", "$keptFiles"};
    static_assert(std::size(placeholders) == std::size(sharedTables));
    QString text = QString::fromLatin1(sql);
    for (std::size_t i = 0; i < std::size(placeholders); ++i)
        text.replace(QLatin1String(placeholders[i]), QLatin1String(sharedTables[i]));
    return text;
}
