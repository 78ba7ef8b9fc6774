// The host's transaction callbacks, handed to the history's HostTransaction:
// begun by the first row written (not at xBegin, so that what a statement
// reads before it writes runs beside another connection's writes), committed
// in xSync so that a failure fails the host's COMMIT, rolled back with the
// host's ROLLBACK. Here too, the tables made inside a transaction, which
// SQLite tells of no savepoint opened before them.
#include "overlay/callbacks.h"
#include "common/guard.h"
#include "common/identifiers.h"
#include "common/mutex.h"
#include "overlay/inner_cursors.h"
#include "overlay/records.h"

#include <algorithm>
#include <atomic>
#include <utility>
#include <vector>

namespace {

// The tables that wrote while untold, on every connection.
Mutex untoldMutex;
std::vector<OverlayTable*> untoldWriters GUARDED_BY(untoldMutex);
std::atomic<size_t> untoldCount{0};

std::vector<OverlayTable*> untoldWritersOf(sqlite3* db)
{
    std::vector<OverlayTable*> tables;
    if (untoldCount.load(std::memory_order_relaxed) == 0)
        return tables;
    const MutexLock held(untoldMutex);
    std::copy_if(untoldWriters.begin(), untoldWriters.end(), std::back_inserter(tables),
                 [db](OverlayTable* table) { return table->db == db; });
    return tables;
}

// Runs work on the history transaction for the table's connection (see
// HostTransaction). Takes back what tables made in the transaction wrote
// first, where their CREATE was taken back, unless rollingBack: that takes
// back all they wrote.
template <typename Work>
int onHostTransaction(OverlayTable* table, Work&& work, bool rollingBack = false)
{
    return guardTableCallback(&table->base, [&] {
        if (!rollingBack)
            takeBackUnmadeTables(table->db);
        if (const std::shared_ptr<History> history = historyOf(*table))
            work(history->transaction());
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
    const MutexLock held(untoldMutex);
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
        const MutexLock held(untoldMutex);
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
    const std::shared_ptr<History> history = historyOf(*tables.front());
    for (OverlayTable* table : tables)
        forgetUntold(table);
    if (history)
        history->transaction().takeBackAll(db);
}

int overlayBegin(sqlite3_vtab* vtab)
{
    OverlayTable* table = overlayTable(vtab);
    closeFinishedCursors(table->db);
    return guardTableCallback(vtab, [&] {
        takeBackUnmadeTables(table->db);
        refuseInHistoryFile(*table, nameOf(*table));
        const std::shared_ptr<History> history = historyOf(*table);
        table->joining = history && history->transaction().heldBy(table->db);
        return SQLITE_OK;
    });
}

int overlaySync(sqlite3_vtab* vtab)
{
    OverlayTable* table = overlayTable(vtab);
    closeKeptCursors(table->db);
    const int rc = onHostTransaction(table, [table](HostTransaction& transaction) { transaction.commit(table->db); });
    forgetUntold(table);
    table->filesCheckedAt.reset();
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
    const int rc = onHostTransaction(
        table, [table](HostTransaction& transaction) { transaction.rollback(table->db); }, true);
    forgetUntold(table);
    table->filesCheckedAt.reset();
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
    const int rc = onHostTransaction(
        table, [&](HostTransaction& transaction) { transaction.savepoint(table->db, level, joining); });
    forgetUntold(table);
    return rc;
}

int overlayRelease(sqlite3_vtab* vtab, int level)
{
    OverlayTable* table = overlayTable(vtab);
    closeFinishedCursors(table->db);
    return onHostTransaction(table, [&](HostTransaction& transaction) { transaction.release(table->db, level); });
}

// A level the history transaction does not know was opened before the table
// joined the host's transaction: rolling back to it takes back everything.
int overlayRollbackTo(sqlite3_vtab* vtab, int level)
{
    OverlayTable* table = overlayTable(vtab);
    closeFinishedCursors(table->db);
    const int rc = onHostTransaction(
        table, [&](HostTransaction& transaction) { transaction.rollbackTo(table->db, level); }, true);
    // A table still untold was made after the level, and what it wrote went with it.
    for (OverlayTable* untold : untoldWritersOf(table->db))
        forgetUntold(untold);
    return rc;
}
