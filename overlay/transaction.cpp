// The host's transactions, joined. Everything the overlay tables of one host
// connection change during a host transaction is one transaction on the
// history database: begun with the first write (xBegin), committed in xSync so
// that a failure fails the host's COMMIT, rolled back with the host's ROLLBACK.
// The host's savepoint levels become savepoints of their own. One host
// connection at a time: another one's writes fail with SQLITE_BUSY meanwhile.
#include "overlay/callbacks.h"
#include "common/guard.h"
#include "overlay/inner_cursors.h"
#include "overlay/records.h"

#include <QList>

#include <utility>

namespace {

const QString beginName = QStringLiteral("quillmere_host");

// The host savepoint levels open in the history transaction, ascending.
QList<int> openLevels;

QString levelName(int level)
{
    return beginName + QLatin1Char('_') + QString::number(level);
}

// The history transaction, when it is this table's connection's.
SqliteDatabase* joinedTransaction(OverlayTable* table)
{
    if (!ModificationManagerFactory::alive())
        return nullptr;
    SqliteDatabase* database = ModificationManagerFactory::instance().openedDatabase();
    if (!database || !database->inTransaction() || database->transactionOwner() != table->db)
        return nullptr;
    return database;
}

void afterRollback()
{
    ModificationManagerFactory::instance().verifyLogs();
}

} // namespace

void joinHostTransaction(sqlite3* db)
{
    SqliteDatabase& database = ModificationManagerFactory::instance().database();
    if (database.inTransaction()) {
        database.requireOwner(db);
        return;
    }
    database.begin(db);
    openLevels.clear();
    database.savepoint(beginName);
}

int overlayBegin(sqlite3_vtab* vtab)
{
    OverlayTable* table = overlayTable(vtab);
    closeFinishedCursors(table->db);
    return guardTableCallback(vtab, [&] {
        refuseInHistoryFile(*table, table->log->name);
        const bool open = ModificationManagerFactory::instance().database().inTransaction();
        joinHostTransaction(table->db);
        table->joining = open;
        return SQLITE_OK;
    });
}

int overlaySync(sqlite3_vtab* vtab)
{
    OverlayTable* table = overlayTable(vtab);
    closeKeptCursors(table->db);
    return guardTableCallback(vtab, [&] {
        if (SqliteDatabase* database = joinedTransaction(table)) {
            openLevels.clear();
            database->commit();
        }
        return SQLITE_OK;
    });
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
    return guardTableCallback(vtab, [&] {
        if (SqliteDatabase* database = joinedTransaction(table)) {
            openLevels.clear();
            database->rollback();
            afterRollback();
        }
        return SQLITE_OK;
    });
}

int overlaySavepoint(sqlite3_vtab* vtab, int level)
{
    OverlayTable* table = overlayTable(vtab);
    closeFinishedCursors(table->db);
    return guardTableCallback(vtab, [&] {
        const bool joining = std::exchange(table->joining, false);
        SqliteDatabase* database = joinedTransaction(table);
        // A table that joins an open history transaction is told the level it
        // joins at. Every level opened since that transaction began is known
        // (the tables in it were told), so an unknown one is older than the
        // transaction, and rolling back to it takes back everything.
        if (!database || openLevels.contains(level) || joining)
            return SQLITE_OK;
        database->savepoint(levelName(level));
        openLevels.append(level);
        return SQLITE_OK;
    });
}

int overlayRelease(sqlite3_vtab* vtab, int level)
{
    OverlayTable* table = overlayTable(vtab);
    closeFinishedCursors(table->db);
    return guardTableCallback(vtab, [&] {
        SqliteDatabase* database = joinedTransaction(table);
        if (!database)
            return SQLITE_OK;
        for (int i = 0; i < openLevels.size(); ++i) {
            if (openLevels.at(i) >= level) {
                database->release(levelName(openLevels.at(i)));
                openLevels.erase(openLevels.begin() + i, openLevels.end());
                break;
            }
        }
        return SQLITE_OK;
    });
}

// A level the history transaction does not know was opened before the table
// joined the host's transaction: rolling back to it takes back everything.
int overlayRollbackTo(sqlite3_vtab* vtab, int level)
{
    OverlayTable* table = overlayTable(vtab);
    closeFinishedCursors(table->db);
    return guardTableCallback(vtab, [&] {
        SqliteDatabase* database = joinedTransaction(table);
        if (!database)
            return SQLITE_OK;
        const int at = openLevels.indexOf(level);
        if (at >= 0) {
            database->rollbackTo(levelName(level));
            openLevels.erase(openLevels.begin() + at + 1, openLevels.end());
        } else {
            database->rollbackTo(beginName);
            openLevels.clear();
        }
        afterRollback();
        return SQLITE_OK;
    });
}
