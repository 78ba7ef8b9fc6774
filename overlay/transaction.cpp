// The host's transactions, joined. Everything the overlay tables of one host
// connection change during a host transaction is one transaction on the
// history database: begun by the first row written (not at xBegin, so that
// what a statement reads before it writes runs beside another connection's
// writes), committed in xSync so that a failure fails the host's COMMIT,
// rolled back with the host's ROLLBACK. The host's savepoint levels opened
// once it began become savepoints of their own; one opened before is older
// than anything it holds. One host connection at a time: another one's
// writes wait for it, or fail with SQLITE_BUSY on the same thread, where
// waiting could never end.
#include "overlay/callbacks.h"
#include "common/guard.h"
#include "overlay/inner_cursors.h"
#include "overlay/records.h"

#include <utility>

namespace {

QString levelName(int level)
{
    return SqliteDatabase::hostSavepoint + QLatin1Char('_') + QString::number(level);
}

// The history file, while its transaction is this table's connection's.
std::shared_ptr<HistoryFile::Open> joinedFile(OverlayTable* table)
{
    if (!ModificationManagerFactory::alive())
        return nullptr;
    std::shared_ptr<HistoryFile::Open> file = ModificationManagerFactory::instance().file().opened();
    if (!file || file->database.transactionOwner() != table->db)
        return nullptr;
    return file;
}

// Runs work on the transaction of the table's connection, if it has one.
template <typename Work>
int onJoinedTransaction(OverlayTable* table, Work&& work)
{
    return guardTableCallback(&table->base, [&] {
        if (const std::shared_ptr<HistoryFile::Open> file = joinedFile(table)) {
            const SqliteDatabase::Work held(file->database, table->db);
            work(file->database);
        }
        return SQLITE_OK;
    });
}

} // namespace

int overlayBegin(sqlite3_vtab* vtab)
{
    OverlayTable* table = overlayTable(vtab);
    closeFinishedCursors(table->db);
    return guardTableCallback(vtab, [&] {
        refuseInHistoryFile(*table, nameOf(*table));
        table->joining = joinedFile(table) != nullptr;
        return SQLITE_OK;
    });
}

int overlaySync(sqlite3_vtab* vtab)
{
    OverlayTable* table = overlayTable(vtab);
    closeKeptCursors(table->db);
    return onJoinedTransaction(table, [](SqliteDatabase& database) { database.commit(); });
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
    const int rc = onJoinedTransaction(table, [&rolledBack](SqliteDatabase& database) {
        database.rollback();
        rolledBack = true;
    });
    if (rolledBack)
        ModificationManagerFactory::instance().verifyLogs();
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
    return onJoinedTransaction(table, [&](SqliteDatabase& database) {
        QList<int>& levels = database.hostLevels();
        if (levels.contains(level) || joining)
            return;
        database.savepoint(levelName(level));
        levels.append(level);
    });
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
    const int rc = onJoinedTransaction(table, [&](SqliteDatabase& database) {
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
    });
    if (rolledBack)
        ModificationManagerFactory::instance().verifyLogs();
    return rc;
}
