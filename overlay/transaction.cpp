// The host's transactions, joined. Everything the overlay tables of one host
// connection change during a host transaction is one transaction on the
// history database: begun by the first row written (not at xBegin, so that
// what a statement reads before it writes runs beside another connection's
// writes), committed in xSync so that a failure fails the host's COMMIT,
// rolled back with the host's ROLLBACK. The host's savepoint levels opened
// once it began become savepoints of their own; one opened before is older
// than anything it holds. One host connection at a time, on whatever threads
// its statements run: another one's writes wait for it up to their own
// connection's busy timeout, then fail with SQLITE_BUSY.
#include "overlay/callbacks.h"
#include "common/guard.h"
#include "common/identifiers.h"
#include "overlay/inner_cursors.h"
#include "overlay/records.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <utility>
#include <vector>

namespace {

QString levelName(int level)
{
    return SqliteDatabase::hostSavepoint + QLatin1Char('_') + QString::number(level);
}

// The history file, while its transaction is this table's connection's.
std::shared_ptr<HistoryFile::Open> joinedFile(OverlayTable* table)
{
    const std::shared_ptr<History> history = historyOf(*table);
    std::shared_ptr<HistoryFile::Open> file = history ? history->file().opened() : nullptr;
    if (!file || file->database.transactionOwner() != table->db)
        return nullptr;
    return file;
}

// After the host's transaction or a level of it rolled back: see History::verifyLogs.
void verifyLogs(const OverlayTable& table) noexcept
{
    if (const std::shared_ptr<History> history = historyOf(table))
        history->verifyLogs();
}

// The tables that wrote while untold, on every connection.
std::mutex untoldMutex;
std::vector<OverlayTable*> untoldWriters;
std::atomic<size_t> untoldCount{0};

std::vector<OverlayTable*> untoldWritersOf(sqlite3* db)
{
    std::vector<OverlayTable*> tables;
    if (untoldCount.load(std::memory_order_relaxed) == 0)
        return tables;
    const std::lock_guard<std::mutex> held(untoldMutex);
    std::copy_if(untoldWriters.begin(), untoldWriters.end(), std::back_inserter(tables),
                 [db](OverlayTable* table) { return table->db == db; });
    return tables;
}

// Runs work on the transaction of the table's connection, if it has one.
// Takes back what tables made in the transaction wrote first, where their
// CREATE was taken back, unless rollingBack: that takes back all they wrote.
template <typename Work>
int onJoinedTransaction(OverlayTable* table, Work&& work, bool rollingBack = false)
{
    return guardTableCallback(&table->base, [&] {
        if (!rollingBack)
            takeBackUnmadeTables(table->db);
        if (const std::shared_ptr<HistoryFile::Open> file = joinedFile(table)) {
            const SqliteDatabase::Work held(file->database, table->db);
            work(file->database);
        }
        return SQLITE_OK;
    });
}

} // namespace

void noteUntoldWrite(OverlayTable* table)
{
    if (!table->untold || table->schemaProbe)
        return;
    const QByteArray sql = "SELECT 1 FROM " + quotedIdentifier(QString::fromUtf8(table->schema)).toUtf8() +
                           ".sqlite_schema WHERE type = 'table' AND name = ?1";
    const QByteArray name = nameOf(*table).toUtf8();
    sqlite3_stmt* probe = nullptr;
    int rc = sqlite3_prepare_v2(table->db, sql.constData(), -1, &probe, nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_bind_text(probe, 1, name.constData(), name.size(), SQLITE_TRANSIENT);
    if (rc != SQLITE_OK) {
        sqlite3_finalize(probe);
        throw ErrorPair(rc, QByteArray(sqlite3_errmsg(table->db)));
    }
    const std::lock_guard<std::mutex> held(untoldMutex);
    untoldWriters.push_back(table);
    table->schemaProbe = probe;
    untoldCount.store(untoldWriters.size(), std::memory_order_relaxed);
}

void forgetUntold(OverlayTable* table) noexcept
{
    table->untold = false;
    if (!table->schemaProbe)
        return;
    {
        const std::lock_guard<std::mutex> held(untoldMutex);
        untoldWriters.erase(std::find(untoldWriters.begin(), untoldWriters.end(), table));
        untoldCount.store(untoldWriters.size(), std::memory_order_relaxed);
    }
    sqlite3_finalize(std::exchange(table->schemaProbe, nullptr));
}

// Only a ROLLBACK TO that takes back their CREATE escapes every table that
// wrote: tables told of the savepoint would be told of it, and one opened
// after any of them would tell them all. So what the history transaction holds
// is theirs alone, and it all goes.
void takeBackUnmadeTables(sqlite3* db)
{
    const std::vector<OverlayTable*> tables = untoldWritersOf(db);
    const bool unmade = std::any_of(tables.begin(), tables.end(), [](OverlayTable* table) {
        // Only a change of the schema can take a table away.
        if (!sqlite3_expired(table->schemaProbe))
            return false;
        const int rc = sqlite3_step(table->schemaProbe);
        sqlite3_reset(table->schemaProbe);
        return rc == SQLITE_DONE;
    });
    if (!unmade)
        return;
    for (OverlayTable* table : tables)
        forgetUntold(table);
    if (const std::shared_ptr<HistoryFile::Open> file = joinedFile(tables.front())) {
        const SqliteDatabase::Work held(file->database, db);
        file->database.rollbackTo(SqliteDatabase::hostSavepoint);
        file->database.hostLevels().clear();
    }
    verifyLogs(*tables.front());
}

int overlayBegin(sqlite3_vtab* vtab)
{
    OverlayTable* table = overlayTable(vtab);
    closeFinishedCursors(table->db);
    return guardTableCallback(vtab, [&] {
        takeBackUnmadeTables(table->db);
        refuseInHistoryFile(*table, nameOf(*table));
        table->joining = joinedFile(table) != nullptr;
        return SQLITE_OK;
    });
}

int overlaySync(sqlite3_vtab* vtab)
{
    OverlayTable* table = overlayTable(vtab);
    closeKeptCursors(table->db);
    const int rc = onJoinedTransaction(table, [](SqliteDatabase& database) { database.commit(); });
    forgetUntold(table);
    table->filesCheckedAt.reset();
    if (const std::shared_ptr<History> history = historyOf(*table))
        history->sweepLeftovers();
    return rc;
}

int overlayCommit(sqlite3_vtab* vtab)
{
    // xSync committed already; this only covers a host that skipped it.
    return overlaySync(vtab);
}

int overlayRollback(sqlite3_vtab* vtab)
{
    OverlayTable* table = overlayTable(vtab);
    closeKeptCursors(table->db);
    bool rolledBack = false;
    const int rc = onJoinedTransaction(
        table,
        [&rolledBack](SqliteDatabase& database) {
            database.rollback();
            rolledBack = true;
        },
        true);
    forgetUntold(table);
    table->filesCheckedAt.reset();
    if (rolledBack)
        verifyLogs(*table);
    if (const std::shared_ptr<History> history = historyOf(*table))
        history->sweepLeftovers();
    return rc;
}

int overlaySavepoint(sqlite3_vtab* vtab, int level)
{
    OverlayTable* table = overlayTable(vtab);
    closeFinishedCursors(table->db);
    const bool joining = std::exchange(table->joining, false);
    // A table that joins an open history transaction is told the level it
    // joins at. Every level opened since that transaction began is known
    // (the tables in it were told), so an unknown one is older than the
    // transaction, and rolling back to it takes back everything.
    const int rc = onJoinedTransaction(table, [&](SqliteDatabase& database) {
        QList<int>& levels = database.hostLevels();
        if (levels.contains(level) || joining)
            return;
        database.savepoint(levelName(level));
        levels.append(level);
    });
    forgetUntold(table);
    return rc;
}

int overlayRelease(sqlite3_vtab* vtab, int level)
{
    OverlayTable* table = overlayTable(vtab);
    closeFinishedCursors(table->db);
    return onJoinedTransaction(table, [&](SqliteDatabase& database) {
        QList<int>& levels = database.hostLevels();
        for (int i = 0; i < levels.size(); ++i) {
            if (levels.at(i) >= level) {
                database.release(levelName(levels.at(i)));
                levels.erase(levels.begin() + i, levels.end());
                break;
            }
        }
    });
}

// A level the history transaction does not know was opened before the table
// joined the host's transaction: rolling back to it takes back everything.
int overlayRollbackTo(sqlite3_vtab* vtab, int level)
{
    OverlayTable* table = overlayTable(vtab);
    closeFinishedCursors(table->db);
    bool rolledBack = false;
    const int rc = onJoinedTransaction(
        table,
        [&](SqliteDatabase& database) {
            QList<int>& levels = database.hostLevels();
            const int at = levels.indexOf(level);
            if (at >= 0) {
                database.rollbackTo(levelName(level));
                levels.erase(levels.begin() + at + 1, levels.end());
            } else {
                database.rollbackTo(SqliteDatabase::hostSavepoint);
                levels.clear();
            }
            rolledBack = true;
        },
        true);
    // A table still untold was made after the level, and what it wrote went with it.
    for (OverlayTable* untold : untoldWritersOf(table->db))
        forgetUntold(untold);
    if (rolledBack)
        verifyLogs(*table);
    return rc;
}
