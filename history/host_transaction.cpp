// Begins, ends and rolls back the history transaction for host connections,
// keeps the host's savepoint levels inside it, and forgets the logs a
// rollback of the host's transaction took back.
#include "history/host_transaction.h"

#include "history/history.h"

#include <memory>

namespace {

// The outermost savepoint of a host's transaction, and the prefix of the
// names of the savepoints inside it.
const QString outermost = QStringLiteral("quillmere_host");

QString levelName(int level)
{
    return outermost + QLatin1Char('_') + QString::number(level);
}

} // namespace

template <typename Work>
bool HostTransaction::onHostTransaction(sqlite3* host, Work&& work)
{
    const std::shared_ptr<HistoryFile::Open> file = history.file().opened();
    if (!file || file->database.transactionOwner() != host)
        return false;
    const SqliteDatabase::Work held(file->database, host);
    work(file->database);
    return true;
}

bool HostTransaction::heldBy(sqlite3* host) const
{
    const std::shared_ptr<HistoryFile::Open> file = history.file().opened();
    return file && file->database.transactionOwner() == host;
}

// The gate gives the connection's lock up while it waits, which it can only
// when it is held once: the work enters the transaction before any other hold.
void HostTransaction::enlist(SqliteDatabase& database, sqlite3* host)
{
    if (database.transactionOwner() == host)
        return;
    const SqliteDatabase::Work held(database, host, TransactionGate::Wait::UpToTimeout, outermost);
    if (held.began())
        levels.clear();
}

void HostTransaction::commit(sqlite3* host)
{
    // Swept once the work below has left the transaction, even when it failed.
    struct Sweep {
        History& history;
        ~Sweep() { history.sweepLeftovers(); }
    } sweep{history};
    onHostTransaction(host, [this](SqliteDatabase& database) {
        levels.clear();
        database.commit();
    });
}

void HostTransaction::rollback(sqlite3* host)
{
    struct Sweep {
        History& history;
        ~Sweep() { history.sweepLeftovers(); }
    } sweep{history};
    const bool rolledBack = onHostTransaction(host, [this](SqliteDatabase& database) {
        levels.clear();
        database.rollback();
    });
    if (rolledBack)
        history.verifyLogs();
}

void HostTransaction::savepoint(sqlite3* host, int level, bool joining)
{
    onHostTransaction(host, [&](SqliteDatabase& database) {
        if (levels.contains(level) || joining)
            return;
        database.savepoint(levelName(level));
        levels.append(level);
    });
}

void HostTransaction::release(sqlite3* host, int level)
{
    onHostTransaction(host, [&](SqliteDatabase& database) {
        for (int i = 0; i < levels.size(); ++i) {
            if (levels.at(i) >= level) {
                database.release(levelName(levels.at(i)));
                levels.erase(levels.begin() + i, levels.end());
                break;
            }
        }
    });
}

void HostTransaction::rollbackTo(sqlite3* host, int level)
{
    if (onHostTransaction(host, [&](SqliteDatabase& database) { rollBackTo(database, levels.indexOf(level)); }))
        history.verifyLogs();
}

void HostTransaction::takeBackAll(sqlite3* host)
{
    onHostTransaction(host, [this](SqliteDatabase& database) { rollBackTo(database, -1); });
    history.verifyLogs();
}

// To the savepoint of the level at at, or to the outermost one for -1.
void HostTransaction::rollBackTo(SqliteDatabase& database, int at)
{
    if (at >= 0) {
        database.rollbackTo(levelName(levels.at(at)));
        levels.erase(levels.begin() + at + 1, levels.end());
    } else {
        database.rollbackTo(outermost);
        levels.clear();
    }
}

void HostTransaction::endAtExit() noexcept
{
    if (const std::shared_ptr<HistoryFile::Open> file = history.file().opened()) {
        if (file->database.inTransaction())
            file->database.rollback();
    }
}

// Logs whose making the rollback took back, or whose registry row it took
// away, are forgotten: the next write makes them again.
void History::verifyLogs() noexcept
{
    const std::shared_ptr<HistoryFile::Open> file = historyFile.opened();
    if (!file)
        return;
    for (const std::shared_ptr<OpenName>& entry : tables.withLogs()) {
        const std::shared_ptr<StoredChangeLog> changeLog = tables.changeLog(*entry);
        try {
            if (!changeLog ||
                (!changeLog->takenBack() && LogRecords::hasRegistryRow(file->database, changeLog->name())))
                continue;
        } catch (...) {
            continue;
        }
        if (tables.takeLog(*entry, changeLog.get()))
            file->owners.release(changeLog->name());
    }
    closeIfIdle();
}
