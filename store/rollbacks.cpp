// Every rollback of the history connection: the whole transaction, one left
// refused, to a savepoint, a Savepoint left unreleased; observers told of each.
#include "store/savepoint.h"
#include "store/sqlite_database.h"

#include <sqlite3.h>

void SqliteDatabase::rollback() noexcept
{
    const Lock held(*this);
    dropHeldRows();
    ++rollbacks;
    lost = false;
    // After some errors SQLite has ended the transaction itself.
    if (!sqlite3_get_autocommit(handle))
        sqlite3_exec(handle, "ROLLBACK", nullptr, nullptr, nullptr);
    notifyRollback(began);
    endTransaction();
}

void SqliteDatabase::abandon() noexcept
{
    const Lock held(*this);
    dropHeldRows();
    ++rollbacks;
    if (!sqlite3_get_autocommit(handle))
        sqlite3_exec(handle, "ROLLBACK", nullptr, nullptr, nullptr);
    notifyRollback(began);
    observers.clear();
    savepointDepth = 0;
    open.clear();
    // The transaction stays its owner's, refused, until the owner rolls back.
    lost = true;
}

// The savepoint stays open: what was done inside it is taken back.
void SqliteDatabase::rollbackTo(const QString& name)
{
    const Lock held(*this);
    dropHeldRows();
    execute(QStringLiteral("ROLLBACK TO ") + name);
    const int at = openAt(name);
    const Mark to = at >= 0 ? open.at(at).second : began;
    open.erase(open.begin() + at + 1, open.end());
    notifyRollback(to);
}

void SqliteDatabase::observe(Observer* observer)
{
    const Lock held(*this);
    observers.insert(observer);
}

void SqliteDatabase::forget(Observer* observer)
{
    const Lock held(*this);
    observers.remove(observer);
}

void SqliteDatabase::notifyRollback(Mark to) noexcept
{
    for (Observer* observer : qAsConst(observers))
        observer->rolledBack(to);
}

// A Savepoint left without release() takes back what its group did, as its
// level allows; an inner one only counts its depth (see savepoint.cpp).
void Savepoint::undo() noexcept
{
    if (released || database.rollbacks != rollbacksAtStart)
        return;
    --database.savepointDepth;
    switch (level) {
    case Transaction:
        database.rollback();
        break;
    case Named:
        try {
            database.rollbackTo(operationName());
            database.release(operationName());
        } catch (...) {
            // The error that made us roll back is already on its way to the caller.
        }
        break;
    case Guard:
        if (database.totalChanges() != changesAtStart)
            database.abandon();
        break;
    case Nested:
        break;
    }
}
