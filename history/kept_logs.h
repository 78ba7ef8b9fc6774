// The kept logs, which outlive their tables and the process: keeping and
// discarding them, taking one up, reading one no table holds, the user's word
// for the files under one, and the refusals that name the ways out of them.
#pragma once

#include "changelog/stored_change_log.h"
#include "common/error_pair.h"
#include "common/inner_files.h"
#include "history/open_tables.h"
#include "store/history_file.h"
#include "store/log_records.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

struct sqlite3;

class KeptLogs {
public:
    KeptLogs(HistoryFile& historyFile, OpenTables& tables) : historyFile(historyFile), tables(tables) {}
    KeptLogs(const KeptLogs&) = delete;
    KeptLogs& operator=(const KeptLogs&) = delete;

    // The kept mark of name in database, or none. Throws ErrorPair.
    static std::optional<KeptLog> find(SqliteDatabase& database, const QString& name);
    // Whether name has a kept mark in file; false too without a file, or
    // when the file cannot be read now.
    static bool markedIn(HistoryFile::Open* file, const QString& name) noexcept;

    // Every kept mark in the history file, by name; none when there is no
    // history file yet. Throws ErrorPair.
    std::vector<KeptLog> all();
    // Marks entry's log kept, or takes the mark back: a kept log outlives its
    // tables and the process, until DROP TABLE or discard(). The log must
    // exist; call inside work of the host connection. Throws ErrorPair.
    void keep(OpenName& entry, bool kept);
    // Drops the kept log of name, which no table may hold, in work of owner
    // (a host connection) on the history transaction, as a write of owner
    // waits for or is refused by another connection's. Throws ErrorPair.
    void discard(const QString& name, sqlite3* owner);
    // The user vouches for the files behind the kept log of name, which no
    // table may hold: they are stamped anew as they are now, after the log
    // moves to filePath (canonical) when given. In work of owner on the history
    // transaction, as discard(). Throws ErrorPair: SQLITE_LOCKED while a table
    // of this process holds the log, SQLITE_BUSY while another process does,
    // SQLITE_ERROR without a kept log, SQLITE_CONSTRAINT when another log
    // uses filePath.
    void acceptFiles(const QString& name, const std::optional<QByteArray>& filePath, sqlite3* owner);
    // The kept log of name, which no table holds, read for the views without
    // taking it up: a changeLog that writes nothing, its index read now in one
    // snapshot of the file. Null when name has no kept log (or there is no
    // history file), and when a table of this process holds it: read it
    // through that table's entry. Throws ErrorPair: SQLITE_BUSY when another
    // process holds the log, or the database fails.
    std::shared_ptr<StoredChangeLog> read(const QString& name);
    // Once the kept log of name that read() read has been taken up, throws
    // SQLITE_BUSY (by another process) or SQLITE_ABORT (by a table of this one).
    void stillUnheld(const QString& name);
    // Whether a table of this process holds the log of name.
    bool heldHere(const QString& name) const;
    // The kept log of name taken up for a table over filePath, whose files are now
    // as stamped, inside work on the history transaction that holds name's
    // lock; throws ErrorPair when it must not be taken up (made over another
    // path, incomplete, its files changed, or another log uses filePath).
    static std::shared_ptr<StoredChangeLog> takeUp(const std::shared_ptr<HistoryFile::Open>& file, const QString& name,
                                                   const QByteArray& filePath, const KeptLog& kept,
                                                   const std::vector<FileStamp>& now);
    // Refuses a log of name over filePath when another name's log, live or kept,
    // uses filePath (SQLITE_CONSTRAINT); clears what a dead process left there.
    static void claimFilePath(HistoryFile::Open& file, const QString& name, const QByteArray& filePath);

    // Another process holds the kept log of name (SQLITE_BUSY).
    static ErrorPair inUse(const QString& name);
    // Refuses renaming oldName to newName while a kept log of newName waits
    // in database (SQLITE_ERROR).
    static void refuseRenameOnto(SqliteDatabase& database, const QString& oldName, const QString& newName);
    // How a message tells the way out of a kept log that cannot be taken up.
    static QString discardHint(const QString& name);
    // The same, for a log whose files may be the right ones after all: the
    // user may vouch for them, at the path given when the log is to move there.
    static QString acceptHint(const QString& name, const std::optional<QByteArray>& path = std::nullopt);

private:
    // Runs work on the kept log of name in work of owner on the history
    // transaction, once no table of this process holds the log (else
    // SQLITE_LOCKED, ending in onlyUnheld) and no other process does (else
    // SQLITE_BUSY); SQLITE_ERROR without a kept log. Throws ErrorPair.
    void onUnheld(HistoryFile::Open& file, const QString& name, sqlite3* owner, const QString& onlyUnheld,
                  const std::function<void(const KeptLog&)>& work);

    HistoryFile& historyFile;
    OpenTables& tables;
};
