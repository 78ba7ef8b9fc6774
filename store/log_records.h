// What the history file records of each change log beside the log's own
// tables: its registry row, the mark of a log kept beyond its tables' life
// with the files it was made over, and what a process that died left behind.
#pragma once

#include "common/inner_files.h"
#include "store/owner_locks.h"
#include "store/sqlite_database.h"

#include <QSet>
#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

// A log kept beyond its tables' life, as the history file marks it.
struct KeptLog {
    QString name;
    QByteArray filePath;
    // The history position; none when the registry lacks the log.
    std::optional<qint64> position;
    std::optional<qint64> firstNewRowid;
};

// A log's name and file path, as its registry row or kept mark records them.
struct LogPath {
    QString name;
    QByteArray filePath;
    bool kept;
};

// Each call runs on database and throws ErrorPair when a statement fails.
namespace LogRecords {

// A name as it goes into the registry's name column, whose numeric affinity
// would keep "007" as 7: a name that reads as a number goes in as the bytes of
// its text. Match the column as CAST(name AS TEXT), which reads either back as
// the text it was, and a name that an earlier version stored as a number too.
QVariant registryName(const QString& name);

// The registry row of a new log of name over filePath, at position 1.
void addRegistryRow(SqliteDatabase& database, const QByteArray& filePath, const QString& name);
bool hasRegistryRow(SqliteDatabase& database, const QString& name);
// The names whose registry row or kept mark is on filePath.
QStringList namesOn(SqliteDatabase& database, const QByteArray& filePath);
// Every registry row's and kept mark's name and file path.
std::vector<LogPath> logPaths(SqliteDatabase& database);
// Whether name's three log tables are all there.
bool hasLogTables(SqliteDatabase& database, const QString& name);

std::optional<KeptLog> keptLog(SqliteDatabase& database, const QString& name);
// Every kept mark, by name.
std::vector<KeptLog> keptLogs(SqliteDatabase& database);
// Marks name's log kept, made over filePath whose files were as stamped then.
void markKept(SqliteDatabase& database, const QString& name, const QByteArray& filePath,
              std::optional<qint64> firstNewRowid, const std::vector<FileStamp>& stamps);
void unmarkKept(SqliteDatabase& database, const QString& name);
// Moves name's registry row and kept mark to filePath, which no other log may use.
void moveLog(SqliteDatabase& database, const QString& name, const QByteArray& filePath);
// The files of name's kept mark, in stampBefore order, at most limit of them.
std::vector<FileStamp> keptFiles(SqliteDatabase& database, const QString& name, qint64 limit);

// Everything the file holds for name. Call only while holding name's lock,
// so that nothing of a live process is touched.
void removeLog(SqliteDatabase& database, const QString& name);
// Removes every log and row that no live process owns and that is not kept;
// whether it removed any.
bool removeLeftovers(SqliteDatabase& database, OwnerLocks& owners);

} // namespace LogRecords
