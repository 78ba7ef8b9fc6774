// The front door: the history file and the registry of the overlay tables
// open in this process, and the life of each table's change log between them,
// from its first write (or its kept log taken up) to its end. One per process,
// handed to each registration; every thread of the process shares it.
#pragma once

#include "changelog/stored_change_log.h"
#include "history/host_transaction.h"
#include "history/kept_logs.h"
#include "history/open_tables.h"
#include "store/history_file.h"
#include "store/log_records.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class History;

// How a registration, a function or a view holds the process's history:
// weakly, for the process's end closes the history whatever is still
// registered then, and callbacks that arrive after find it gone.
using HistoryLink = std::weak_ptr<History>;

class History {
public:
    // The process's history, made on first use without touching the history
    // database, for the entry points that register the overlay, the functions
    // and the views. Destroyed at process exit or unload.
    static HistoryLink ofProcess();
    // The history link leads to, for work that cannot go without it: throws
    // ErrorPair (SQLITE_MISUSE) once the process's end has closed it.
    static std::shared_ptr<History> require(const HistoryLink& link);
    ~History();

    HistoryFile& file() { return historyFile; }
    HostTransaction& transaction() { return hostTransaction; }
    OpenTables& registry() { return tables; }
    KeptLogs& keptLogs() { return kept; }

    // A table of name opened under holder, over its filePath (canonical),
    // whose files were as stamped when it opened them. A kept log of that name
    // is taken up at once, in work of the table's connection on the history
    // transaction. Throws ErrorPair when a kept log of the name cannot
    // be taken up (another process has it, it was made over another path, or
    // its files changed) or, for a log this process holds, when the files
    // changed since the log began: such a log, which no other table holds,
    // ends (one kept stays in the history file).
    std::shared_ptr<OpenName> openTable(const QString& name, const void* holder, const OpenName::Table& table);
    // A statement touches a table over filePath of entry's log: throws ErrorPair
    // (SQLITE_ERROR, naming the file) when the files the log began over
    // changed since, as a kept log over changed files is refused. Then the
    // log ends as at the end of the process (one kept stays in the history
    // file), and the tables over filePath read the files as they are now; while
    // the history database is in a transaction, the log stays until a
    // statement finds it over, and each one is refused meanwhile. Costs a
    // stat() a file while they are unchanged.
    void requireUnchangedFiles(const std::shared_ptr<OpenName>& entry, const QByteArray& filePath);
    // The overlay table closes; see OpenTables::close and OpenTables::drop.
    void closeTable(const std::shared_ptr<OpenName>& entry, const void* overlay) noexcept;
    void dropTables(const std::shared_ptr<OpenName>& entry, const void* connection, const QByteArray& schema) noexcept;
    // A registration ended: logs that no registration keeps any more end too.
    void releaseHolder(const void* holder) noexcept;
    // After a history transaction ended: removes the logs that ended while
    // it stood in the way, left behind as leftovers.
    void sweepLeftovers() noexcept;
    // After a rollback of the host's transaction: logs whose creation it took
    // back are forgotten, and made again by the next write.
    void verifyLogs() noexcept;

    // The log of entry, made for the table over filePath on behalf of owner (a host
    // connection) when there is none yet: the kept log of the name taken up,
    // or a new one (this process's lock on the name, the log tables and a
    // registry row at position 1; leftovers of the name go first). Throws
    // ErrorPair: another process owns a log of that name, another table holds
    // the file path, a kept log of the name cannot be taken up, the history
    // database fails, or another connection's transaction holds it.
    std::shared_ptr<StoredChangeLog> logFor(OpenName& entry, const QByteArray& filePath, sqlite3* owner);
    // DROP TABLE on owner: the log's tables and registry rows go. Throws ErrorPair.
    void dropLog(OpenName& entry, sqlite3* owner);
    // The files of entry's tables over filePath are replaced by replaceFiles with
    // what the tables show (a save over their own files): the log, which
    // describes the files as they were, ends with them, as an editor's history
    // ends at a save. Its rows, steps and kept mark go in a history transaction
    // of owner's that commits only once replaceFiles has returned, and the
    // tables over filePath on owner stamp their files anew. When replaceFiles
    // throws, nothing changed; when the commit fails after it, the files are
    // replaced and the log stays. Refused inside a transaction of owner's.
    // Throws ErrorPair, or what replaceFiles throws.
    void endLogWith(OpenName& entry, const QByteArray& filePath, sqlite3* owner,
                    const std::function<void()>& replaceFiles);
    // ALTER TABLE ... RENAME on owner: the log moves with the table. Throws ErrorPair.
    void renameLog(const std::shared_ptr<OpenName>& entry, const QString& newName, sqlite3* owner);

    // The logs in the history file that a live process holds or that are
    // kept, leftovers aside: each name with the file path it lies over. None
    // without a history file. Throws ErrorPair.
    std::vector<LogPath> livingLogPaths();

    // Whether a live process other than this one owns a log of name.
    bool ownedElsewhere(const QString& name);

    // KeptLogs::discard and KeptLogs::acceptFiles, after which the history
    // file closes when this process has no log in it.
    void discard(const QString& name, sqlite3* owner);
    void acceptFiles(const QString& name, const std::optional<QByteArray>& filePath, sqlite3* owner);

private:
    History();

    // Makes entry's log for filePath, whose files are now as stamped: the kept log
    // of the name, taken up, or with create a new one; without create and a
    // kept log, nothing.
    void takeUpLog(OpenName& entry, const QByteArray& filePath, std::vector<FileStamp> now, bool create,
                   sqlite3* owner);
    // Refuses a table over filePath of entry's log, held here, when the files
    // changed since the log began; the log ends when no table holds it.
    void refuseChangedFiles(const std::shared_ptr<OpenName>& entry, const OpenName::Table& opened);
    // Ends a log whose tables all went: dropped unless kept, in a transaction
    // of its own, once another connection's ends (with wait); else a leftover,
    // swept by sweepLeftovers() when another connection's stood in the way.
    void endLog(const std::shared_ptr<StoredChangeLog>& changeLog, TransactionGate::Wait wait) noexcept;
    // Commits scope, in which entry's log was dropped, with the log taken
    // from entry, and lets its name go; a failed commit puts the log back.
    void commitEndedLog(HistoryFile::Open& file, HostTransaction::Scope& scope, OpenName& entry, const LogState& log);
    // Closes the history file while this process has no log in it, so that
    // nothing holds the file between uses, and the next use opens it afresh
    // where HOME points then; leftovers of processes that died go first.
    void closeIfIdle() noexcept;

    HistoryFile historyFile;
    HostTransaction hostTransaction{*this};
    OpenTables tables;
    KeptLogs kept{historyFile, tables};
    std::atomic<bool> leftoversWaiting{false};
};
