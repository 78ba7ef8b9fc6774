// The life of a change log. It belongs to the process holding its name's
// lock. Logs are made, taken up, renamed and dropped inside work on the
// history transaction, one thread at a time; the registry learns of each
// change before that work ends, so that no other thread makes it twice.
#include "history/history.h"

#include "common/error_pair.h"
#include "common/identifiers.h"
#include "history/kept_logs.h"
#include "history/refusals.h"

#include <QSqlDatabase>

#include <sqlite3.h>

#include <utility>

namespace {

// Drops what dead processes left, in a transaction of its own, and gives the
// space back; throws when it cannot now (another process holds the file).
void removeLeftoversNow(HistoryFile::Open& file)
{
    HostTransaction::Scope scope = HostTransaction::work(file.database, nullptr, TransactionGate::Wait::Never);
    const bool removed = LogRecords::removeLeftovers(file.database, file.owners);
    scope.keep();
    if (removed)
        file.database.giveSpaceBack();
}

} // namespace

HistoryLink History::ofProcess()
{
    static const std::shared_ptr<History> one(new History);
    return one;
}

std::shared_ptr<History> History::require(const HistoryLink& link)
{
    std::shared_ptr<History> history = link.lock();
    if (!history)
        throw ErrorPair(SQLITE_MISUSE, QByteArray("the history database was closed as the process ended"));
    return history;
}

// Qt's own statics that the history connection needs are made before the
// history is, so that at exit they are destroyed after it.
History::History()
{
    QSqlDatabase::connectionNames();
    QSqlDatabase::isDriverAvailable(QStringLiteral("QSQLITE"));
}

History::~History()
{
    hostTransaction.endAtExit();
    // The process ends with these tables still open: their logs end with it.
    for (const std::shared_ptr<OpenName>& entry : tables.takeAll())
        endLog(tables.takeLog(*entry), TransactionGate::Wait::Never);
    historyFile.close();
}

std::shared_ptr<OpenName> History::openTable(const QString& name, const void* holder, const OpenName::Table& table)
{
    const std::shared_ptr<OpenName> entry = tables.open(name, holder, table);
    if (tables.changeLog(*entry)) {
        refuseChangedFiles(entry, table);
        return entry;
    }
    const std::shared_ptr<HistoryFile::Open> file = historyFile.existing();
    if (!file)
        return entry;
    // A history file that cannot be read now refuses no table: the first
    // write, which needs it, says what is wrong.
    std::optional<KeptLog> kept;
    try {
        kept = KeptLogs::find(file->database, name);
    } catch (const ErrorPair&) {
    }
    if (!kept)
        return entry;
    try {
        takeUpLog(*entry, table.filePath, table.stamps, false, table.connection);
    } catch (...) {
        closeTable(entry, table.overlay);
        throw;
    }
    return entry;
}

void History::closeTable(const std::shared_ptr<OpenName>& entry, const void* overlay) noexcept
{
    tables.close(entry, overlay);
}

void History::dropTables(const std::shared_ptr<OpenName>& entry, const void* connection,
                         const QByteArray& schema) noexcept
{
    tables.drop(entry, connection, schema);
}

void History::releaseHolder(const void* holder) noexcept
{
    // A connection that closes never waits: its thread may be the one that
    // would end the transaction in the way.
    for (const std::shared_ptr<OpenName>& entry : tables.releaseHolder(holder))
        endLog(tables.takeLog(*entry), TransactionGate::Wait::Never);
    closeIfIdle();
}

// A log whose tables cannot go now (another connection's transaction is open,
// or the database fails) loses its lock all the same, a leftover: swept once
// that transaction has ended, else by the next process that closes the file.
void History::endLog(const std::shared_ptr<StoredChangeLog>& changeLog, TransactionGate::Wait wait) noexcept
{
    const std::shared_ptr<HistoryFile::Open> file = historyFile.opened();
    if (!changeLog || !file)
        return;
    try {
        HostTransaction::Scope scope =
            HostTransaction::work(file->database, HistoryOwner::apart(changeLog.get()), wait);
        if (!KeptLogs::find(file->database, changeLog->name()))
            changeLog->dropLog();
        scope.keep();
    } catch (const ErrorPair& error) {
        if (error.code() == SQLITE_BUSY)
            leftoversWaiting.store(true, std::memory_order_release);
    } catch (...) {
    }
    file->owners.release(changeLog->name());
    file->database.giveSpaceBack();
}

void History::sweepLeftovers() noexcept
{
    if (!leftoversWaiting.load(std::memory_order_acquire))
        return;
    const std::shared_ptr<HistoryFile::Open> file = historyFile.opened();
    if (!file || file->database.inTransaction() || !leftoversWaiting.exchange(false, std::memory_order_acq_rel))
        return;
    try {
        removeLeftoversNow(*file);
    } catch (...) {
        leftoversWaiting.store(true, std::memory_order_release);
    }
}

void History::closeIfIdle() noexcept
{
    std::shared_ptr<HistoryFile::Open> file = historyFile.opened();
    if (!file || tables.anyLog() || file->database.inTransaction() || file->database.inUse())
        return;
    // What dead processes left is swept up here rather than when the file
    // opens, where dropping a large log would hold up the first table; a
    // table that needs a leftover's name or file path removes it at once.
    try {
        removeLeftoversNow(*file);
    } catch (...) {
        // Another process may hold the write lock for long; the leftovers
        // stay for the next process that closes the file.
    }
    file.reset();
    historyFile.closeIfUnused();
}

bool History::ownedElsewhere(const QString& name)
{
    const std::shared_ptr<HistoryFile::Open> file = historyFile.open();
    if (file->owners.holds(name))
        return false;
    const OwnerLocks::Claim claim(file->owners, name);
    return !claim.taken();
}

std::shared_ptr<StoredChangeLog> History::logFor(OpenName& entry, const QByteArray& filePath, sqlite3* owner)
{
    if (std::shared_ptr<StoredChangeLog> changeLog = tables.logOver(entry, filePath))
        return changeLog;
    LogState log = tables.state(entry);
    if (!log.changeLog) {
        // The files as the table opened them, which they must still be: a
        // log over files changed since would be refused by the next statement.
        std::optional<std::vector<FileStamp>> stamps = tables.stampsAtOpen(entry, filePath, owner);
        if (stamps && !stillAsStamped(*stamps)) {
            if (const std::optional<QString> difference = firstDifference(*stamps, stampFiles(filePath)))
                throw filesChangedSinceOpen(log.name, *difference);
        }
        takeUpLog(entry, filePath, stamps ? std::move(*stamps) : stampFiles(filePath), true, owner);
        log = tables.state(entry);
        if (log.changeLog) {
            if (const std::optional<QString> label = tables.takeFirstLabel(entry)) {
                HostTransaction::Scope scope = HostTransaction::work(log.changeLog->file(), owner);
                log.changeLog->label(label);
                scope.keep();
            }
        }
    }
    if (!log.changeLog || log.filePath != filePath)
        throw ErrorPair(SQLITE_CONSTRAINT,
                        QStringLiteral("table %1: another table of that name, on file path %2, has a change log "
                                       "open in this process")
                            .arg(log.name, QString::fromUtf8(log.filePath)));
    return log.changeLog;
}

void History::takeUpLog(OpenName& entry, const QByteArray& filePath, std::vector<FileStamp> now, bool create,
                        sqlite3* owner)
{
    const std::shared_ptr<HistoryFile::Open> file = historyFile.open();
    SqliteDatabase& db = file->database;
    // One thread at a time makes logs: this one may find the log made now.
    HostTransaction::Scope scope = HostTransaction::work(db, owner);
    const QString name = tables.name(entry);
    if (tables.changeLog(entry)) {
        scope.keep();
        return;
    }
    OwnerLocks::Claim claim(file->owners, name);
    if (!claim.taken())
        throw busyElsewhere(name);
    // Read again under the lock: the mark may have come or gone meanwhile.
    const std::optional<KeptLog> kept = KeptLogs::find(db, name);
    if (!kept && !create) {
        scope.keep();
        return;
    }
    std::shared_ptr<StoredChangeLog> changeLog;
    if (kept) {
        changeLog = KeptLogs::takeUp(file, name, filePath, *kept, now);
    } else {
        LogRecords::removeLog(db, name);
        KeptLogs::claimFilePath(*file, name, filePath);
        changeLog = std::make_shared<StoredChangeLog>(connectionOf(file), name, true);
        changeLog->madeNow();
        LogRecords::addRegistryRow(db, filePath, name);
    }
    tables.setLog(entry, changeLog, filePath, std::move(now));
    try {
        scope.keep();
    } catch (...) {
        tables.takeLog(entry, changeLog.get());
        throw;
    }
    claim.keep();
}

std::vector<LogPath> History::livingLogPaths()
{
    const std::shared_ptr<HistoryFile::Open> file = historyFile.existing();
    std::vector<LogPath> living = file ? LogRecords::logPaths(file->database) : std::vector<LogPath>();
    living.erase(std::remove_if(living.begin(), living.end(),
                                [&](const LogPath& log) {
                                    return !log.kept && !file->owners.holds(log.name) &&
                                           OwnerLocks::Claim(file->owners, log.name).taken();
                                }),
                 living.end());
    return living;
}

void History::dropLog(OpenName& entry, sqlite3* owner)
{
    const std::shared_ptr<HistoryFile::Open> file = historyFile.open();
    {
        HostTransaction::Scope scope = HostTransaction::work(file->database, owner);
        const LogState log = tables.state(entry);
        if (!log.changeLog) {
            scope.keep();
            return;
        }
        log.changeLog->dropLog();
        commitEndedLog(*file, scope, entry, log);
    }
    file->database.giveSpaceBack();
    closeIfIdle();
}

void History::commitEndedLog(HistoryFile::Open& file, HostTransaction::Scope& scope, OpenName& entry,
                             const LogState& log)
{
    tables.takeLog(entry, log.changeLog.get());
    try {
        scope.keep();
    } catch (...) {
        tables.setLog(entry, log.changeLog, log.filePath, log.stamps);
        throw;
    }
    file.owners.release(log.changeLog->name());
}

void History::endLogWith(OpenName& entry, const QByteArray& filePath, sqlite3* owner,
                         const std::function<void()>& replaceFiles)
{
    const std::shared_ptr<HistoryFile::Open> file = tables.logOver(entry, filePath) ? historyFile.open() : nullptr;
    if (!file) {
        replaceFiles();
        tables.restamp(entry, owner, filePath, stampFiles(filePath));
        return;
    }
    // Inside a transaction of owner's (a statement of it that writes through
    // an overlay), a rollback would bring the log back over the new files.
    if (file->database.transactionOwner() == owner)
        throw ErrorPair(SQLITE_ERROR, QStringLiteral("table %1: its change log cannot end while a statement of its "
                                                     "connection writes")
                                          .arg(tables.name(entry)));
    {
        HostTransaction::Scope scope = HostTransaction::work(file->database, owner);
        const LogState log = tables.state(entry);
        const bool ends = log.changeLog && log.filePath == filePath;
        if (ends)
            log.changeLog->dropLog();
        replaceFiles();
        if (ends)
            commitEndedLog(*file, scope, entry, log);
        else
            scope.keep();
    }
    tables.restamp(entry, owner, filePath, stampFiles(filePath));
    file->database.giveSpaceBack();
    closeIfIdle();
}

void History::renameLog(const std::shared_ptr<OpenName>& entry, const QString& newName, sqlite3* owner)
{
    const auto openAlready = [&newName] {
        return ErrorPair(SQLITE_ERROR, QStringLiteral("table %1 is open in this process already").arg(newName));
    };
    const std::shared_ptr<HistoryFile::Open> file = tables.changeLog(*entry) ? historyFile.open() : nullptr;
    if (!file) {
        if (!tables.rename(entry, newName))
            throw openAlready();
        return;
    }
    HostTransaction::Scope scope = HostTransaction::work(file->database, owner);
    const std::shared_ptr<StoredChangeLog> changeLog = tables.changeLog(*entry);
    const QString oldName = tables.name(*entry);
    std::optional<OwnerLocks::Claim> claim;
    if (!sameIdentifier(oldName, newName)) {
        if (tables.find(newName))
            throw openAlready();
        claim.emplace(file->owners, newName);
        if (!claim->taken())
            throw busyElsewhere(newName);
        KeptLogs::refuseRenameOnto(file->database, oldName, newName);
        LogRecords::removeLog(file->database, newName);
    }
    bool renamedLog = false, renamedEntry = false;
    try {
        if (changeLog)
            changeLog->renameLog(newName);
        renamedLog = changeLog != nullptr;
        if (!tables.rename(entry, newName))
            throw openAlready();
        renamedEntry = true;
        scope.keep();
    } catch (...) {
        if (renamedEntry)
            tables.rename(entry, oldName);
        if (renamedLog)
            changeLog->takeName(oldName);
        throw;
    }
    if (claim) {
        claim->keep();
        file->owners.release(oldName);
    }
}

void History::discard(const QString& name, sqlite3* owner)
{
    kept.discard(name, owner);
    closeIfIdle();
}

void History::acceptFiles(const QString& name, const std::optional<QByteArray>& filePath, sqlite3* owner)
{
    kept.acceptFiles(name, filePath, owner);
    closeIfIdle();
}
