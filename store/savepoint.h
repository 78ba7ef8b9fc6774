// Makes a group of statements on the history database atomic: everything done
// since the savepoint is rolled back unless release() is reached. Savepoints
// nest; the depth is counted here.
#pragma once

#include "store/sqlite_database.h"

#include <optional>

class Savepoint {
public:
    // owner is who the statements run for (see HistoryOwner). Entering the
    // transaction may wait for another connection or process, or fail with
    // SQLITE_BUSY (see TransactionGate::enter). Without a transaction open
    // the savepoint opens one and commits it at release(). Inside one it is a
    // savepoint of SQLite's, or with lightweight set, none at all: if it is
    // left without release() after a statement changed something, the whole
    // transaction is rolled back and stays refused until its owner rolls back
    // too. Row writes use that, as they fail only when the database does.
    Savepoint(SqliteDatabase& database, const HistoryOwner& owner, bool lightweight = false,
              TransactionGate::Wait wait = TransactionGate::Wait::UpToTimeout);
    // The library's own work, joining the work this thread is doing.
    explicit Savepoint(SqliteDatabase& database) : Savepoint(database, HistoryOwner()) {}
    ~Savepoint();
    Savepoint(const Savepoint&) = delete;
    Savepoint& operator=(const Savepoint&) = delete;

    // Keeps what was done since the savepoint; throws ErrorPair when the
    // outermost level cannot commit, and then nothing is kept, or when the
    // whole transaction was rolled back meanwhile (SQLITE_ABORT).
    void release();

private:
    enum Level { Nested, Guard, Named, Transaction };

    // The name of the savepoint a Named level opens.
    static QString operationName() { return QStringLiteral("quillmere_operation"); }

    // Takes back what was done since the savepoint, unless it was released.
    void undo() noexcept REQUIRES(database.lock);

    SqliteDatabase& database;
    Level level = Nested;
    qint64 changesAtStart = 0;
    quint64 rollbacksAtStart = 0;
    bool released = false;
};
