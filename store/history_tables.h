// The history file's tables that every change log shares, each with the
// table's name in its column name: the registry, step labels and clean marks.
#pragma once

#include <iterator>

// Their schemas, made when the file opens. The registry's is read by other
// programs as it is; the other two were added beside it.
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
};

inline constexpr const char* sharedTables[] = {"ombrixOpenedTables", "ombrixStepLabels", "ombrixCleanMarks"};
static_assert(std::size(sharedTables) == std::size(sharedTableSchemas));
