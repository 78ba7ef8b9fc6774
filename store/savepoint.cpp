// Only the outermost Savepoint of a group acts: it opens the transaction, or
// a savepoint inside a transaction already open, or watches for changes. Inner
// ones only count their depth, since an exception that leaves an inner one
// always reaches the outermost, which takes the whole group back.
#include "store/savepoint.h"

#include "common/error_pair.h"

#include <sqlite3.h>

Savepoint::Savepoint(SqliteDatabase& database, const HistoryOwner& owner, bool lightweight, TransactionGate::Wait wait)
    : database(database)
{
    const SqliteDatabase::Lock held(database);
    const bool began =
        database.gate.enter(owner, wait, [&database]() REQUIRES(database.lock) { return database.tryBegin(); });
    rollbacksAtStart = database.rollbacks;
    try {
        if (began) {
            level = Transaction;
        } else if (database.savepointDepth == 0 && lightweight) {
            level = Guard;
            changesAtStart = database.totalChanges();
        } else if (database.savepointDepth == 0) {
            database.savepoint(operationName());
            level = Named;
        }
    } catch (...) {
        database.gate.leave();
        throw;
    }
    ++database.savepointDepth;
    ++database.liveSavepoints;
}

Savepoint::~Savepoint()
{
    const SqliteDatabase::Lock held(database);
    --database.liveSavepoints;
    undo();
    database.gate.leave();
}

void Savepoint::release()
{
    const SqliteDatabase::Lock held(database);
    released = true;
    if (database.rollbacks != rollbacksAtStart)
        throw ErrorPair(SQLITE_ABORT, QByteArray("the history transaction was rolled back during this change"));
    --database.savepointDepth;
    if (level == Transaction)
        database.commit();
    else if (level == Named)
        database.release(operationName());
}
