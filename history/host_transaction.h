// The one owner of the history transaction: a host connection enlists with
// its first write inside a transaction of its own, and the host's COMMIT,
// ROLLBACK and savepoint levels reach the history transaction here.
#pragma once

#include "store/savepoint.h"
#include "store/sqlite_database.h"

#include <QList>
#include <QString>

class History;

// Everything the overlay tables of one host connection change during a host
// transaction is one history transaction, begun with an outermost savepoint;
// each host savepoint level opened after that is a savepoint of its own, and
// one opened before is older than anything the history transaction holds.
// One host connection at a time: another one's work waits for it (see
// TransactionGate). Every failure is thrown as ErrorPair.
class HostTransaction {
public:
    // Atomic work on the history transaction (see Savepoint): what it did is
    // taken back unless keep() is reached.
    class Scope {
    public:
        Scope(SqliteDatabase& database, const HistoryOwner& owner, bool lightweight, TransactionGate::Wait wait)
            : savepoint(database, owner, lightweight, wait)
        {
        }
        void keep() { savepoint.release(); }

    private:
        Savepoint savepoint;
    };

    explicit HostTransaction(History& history) : history(history) {}
    HostTransaction(const HostTransaction&) = delete;
    HostTransaction& operator=(const HostTransaction&) = delete;

    // Work of owner (a host connection, or the library's own) on the history
    // transaction of database: inside host's transaction when it has
    // enlisted, else a transaction of its own that commits at keep().
    static Scope work(SqliteDatabase& database, const HistoryOwner& owner,
                      TransactionGate::Wait wait = TransactionGate::Wait::UpToTimeout)
    {
        return Scope(database, owner, false, wait);
    }
    // One row written for host, which has enlisted: nothing is opened for
    // it, and a failure after it changed something abandons the transaction.
    static Scope write(SqliteDatabase& database, sqlite3* host)
    {
        return Scope(database, host, true, TransactionGate::Wait::UpToTimeout);
    }

    // Whether the open history transaction is host's; read without the lock.
    bool heldBy(sqlite3* host) const;
    // host writes inside a transaction of its own: the history transaction
    // of database becomes host's, begun with its outermost savepoint unless it
    // is host's already. Waits for another connection's as SqliteDatabase::Work.
    void enlist(SqliteDatabase& database, sqlite3* host);

    // The host's callbacks, each a no-op unless the history transaction is
    // host's. commit (xSync) commits it, then leftovers are swept.
    void commit(sqlite3* host);
    // ROLLBACK: it rolls back; logs whose making it took back are forgotten,
    // and leftovers are swept.
    void rollback(sqlite3* host);
    // SAVEPOINT of level: a savepoint of its own, unless the level is known
    // or host's table is joining the transaction at that level.
    void savepoint(sqlite3* host, int level, bool joining);
    // RELEASE of level: it and the levels inside it.
    void release(sqlite3* host, int level);
    // ROLLBACK TO level: back to its savepoint; to the outermost one for a
    // level opened before the transaction began. Then as rollback(), the
    // transaction staying open.
    void rollbackTo(sqlite3* host, int level);
    // Takes back everything host did in the transaction, which stays open.
    void takeBackAll(sqlite3* host);
    // At the process's end: an open transaction is rolled back, whoever's.
    void endAtExit() noexcept;

private:
    // Runs work on database when the history transaction is host's, in work
    // of host; whether it ran.
    template <typename Work>
    bool onHostTransaction(sqlite3* host, Work&& work);
    void rollBackTo(SqliteDatabase& database, int at);

    History& history;
    // host's levels opened since it enlisted, ascending. Used under the
    // connection's lock by the transaction's owner alone.
    QList<int> levels;
};
