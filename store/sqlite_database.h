// The connection to the history database that every thread of the process
// shares, one at a time under its lock: statements, the transaction with its
// owner, savepoints, and the read snapshot that scans share; beside it, the
// read connections lent to readers of committed rows. Every failure is
// thrown as ErrorPair with SQLite's own code and message.
#pragma once

#include "store/nesting_lock.h"
#include "store/qt_connection.h"
#include "store/read_connections.h"
#include "store/transaction_gate.h"

#include <QHash>
#include <QList>
#include <QSet>
#include <QPair>
#include <QString>
#include <QVariant>

#include <atomic>
#include <mutex>
#include <vector>

class ErrorPair;
class RowBatch;
class Statement;

struct sqlite3_stmt;

class SqliteDatabase {
public:
    // When work was done: a count of the transactions and savepoints begun
    // on the connection so far. What was done at a mark was done after every
    // savepoint with a lower one began.
    using Mark = quint64;

    // Something that keeps what it read from the database in memory and must
    // forget it when a rollback takes back what it wrote: everything done at
    // the mark given or later. Told on the thread that rolls back, holding the
    // connection's lock: it may only note it.
    class Observer {
    public:
        virtual void rolledBack(Mark to) noexcept = 0;

    protected:
        ~Observer() = default;
    };

    // Holds the connection for the calling thread; nests. Every use of the
    // connection, of its statements and of its state happens under one, and
    // no lock of the library is taken while it is held but the connection's.
    // Without take it holds nothing, and the analysis is told it does.
    class SCOPED_CAPABILITY Lock {
    public:
        explicit Lock(const SqliteDatabase& database, bool take = true) ACQUIRE(database.lock) NO_THREAD_SAFETY_ANALYSIS
            : lock(take ? &database.lock : nullptr)
        {
            if (lock)
                lock->lock();
        }
        ~Lock() RELEASE() NO_THREAD_SAFETY_ANALYSIS
        {
            if (lock)
                lock->unlock();
        }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        NestingLock* lock;
    };

    // Holds the connection when it is idle: no other thread holds it and no
    // transaction is open. Never waits; held() says whether it holds it.
    class IdleLock {
    public:
        explicit IdleLock(const SqliteDatabase& database) : lock(database.lock.tryLock() ? &database.lock : nullptr)
        {
            if (lock && database.gate.isOpen())
                release();
        }
        ~IdleLock() { release(); }
        IdleLock(const IdleLock&) = delete;
        IdleLock& operator=(const IdleLock&) = delete;
        bool held() const { return lock != nullptr; }

    private:
        void release() NO_THREAD_SAFETY_ANALYSIS
        {
            if (lock)
                lock->unlock();
            lock = nullptr;
        }
        NestingLock* lock;
    };

    // Work in the transaction on behalf of owner, from its start to its end
    // on one thread: begins the transaction or joins it, as
    // TransactionGate::enter says; begun, with the savepoint asSavepoint when
    // one is named. Throws ErrorPair.
    class Work {
    public:
        Work(SqliteDatabase& database, const HistoryOwner& owner,
             TransactionGate::Wait wait = TransactionGate::Wait::UpToTimeout, const QString& asSavepoint = QString());
        ~Work();
        Work(const Work&) = delete;
        Work& operator=(const Work&) = delete;
        bool began() const { return began_; }

    private:
        SqliteDatabase& database;
        bool began_;
    };

    // Opens the SQLite file at path (created when missing) with triggers,
    // views and untrusted schema content disabled, so that nothing planted in
    // the file runs inside the library's statements. Throws ErrorPair.
    explicit SqliteDatabase(const QString& path);
    // Finishes every statement and closes the connection (see QtConnection).
    ~SqliteDatabase();

    SqliteDatabase(const SqliteDatabase&) = delete;
    SqliteDatabase& operator=(const SqliteDatabase&) = delete;

    // SQL that is not run again soon (a log's tables named, a setting, a
    // registry row looked up): each statement of sql prepared, run to its end
    // with binds bound to its "?" placeholders in order, and finalized. The
    // first column of the first row, or an invalid QVariant without a row.
    // What runs often is a Statement, kept prepared. Throws ErrorPair.
    QVariant runOnce(const QString& sql, const QList<QVariant>& binds = {});
    // Finishes and forgets every kept statement (before DROP TABLE).
    void forgetStatements();

    // The transaction. commit() and rollback() end it from within Work that
    // holds it. A rollback never throws: one that fails leaves SQLite to roll
    // back when the connection closes.
    bool inTransaction() const;
    // Read without the lock: an answer that holds as long as the caller's
    // own connection does nothing, as it is for that connection's owner.
    const void* transactionOwner() const { return gate.owner(); }
    void commit();
    void rollback() noexcept;
    // Rolls the transaction back at once but keeps it refused (SQLITE_ABORT)
    // until its owner rolls back too, for a failure that left part of a
    // change behind where no savepoint can take just that part back.
    void abandon() noexcept;
    // Where work in the open transaction stands now.
    Mark mark() const;
    // The mark at which the open transaction began, 0 without one; read
    // without the lock. It changes only once the transaction has ended,
    // committed or rolled back, and what another connection reads now sees
    // that end.
    Mark openTransaction() const noexcept { return openSince.load(std::memory_order_acquire); }
    // The mark at which the last transaction that ended began, read without
    // the lock; what it did is what another connection reads once begun now.
    Mark endedThrough() const noexcept { return lastEnded.load(std::memory_order_acquire); }
    // Rows changed by every statement so far, and rows held back in batches.
    qint64 totalChanges() const;
    // The rowid of the row the last INSERT made.
    qint64 lastInsertRowid() const;
    // Whether a savepoint or a reader is alive: the connection must stay open.
    bool inUse() const;

    // Readers: while one is open (a scan), lookups outside a transaction share
    // one read transaction (holdSnapshot) instead of taking the file's locks
    // for each. It ends with the last reader, and before anything writes, so
    // that no write starts from an old snapshot and checkpoints go on.
    void startReading() noexcept;
    void stopReading() noexcept;
    // The read connections beside this one, lent to readers (see Reading).
    ReadConnections& readConnections() noexcept { return pool; }
    // Called before a lookup, under the lock; does nothing without a reader or
    // in a transaction. Whether the snapshot is held: then a statement may
    // walk rows across lookups (Statement::step) until it is let go.
    bool holdSnapshot() noexcept REQUIRES(lock);
    void savepoint(const QString& name);
    void release(const QString& name);
    void rollbackTo(const QString& name);

    // Outside a transaction, gives the pages that deletions freed back to the
    // file system once they add up to a few megabytes (incremental vacuum),
    // and lets the write-ahead log shrink. Never fails and never waits: space
    // stays otherwise.
    void giveSpaceBack() noexcept;

    // Observers are told of every rollback of the open transaction, whole or
    // to a savepoint; the list is emptied when the transaction ends.
    void observe(Observer* observer);
    void forget(Observer* observer);

private:
    // They work on the connection holding its lock; where they call the
    // helpers marked NO_THREAD_SAFETY_ANALYSIS the analysis cannot tell that
    // their database's lock is this one, and those helpers are unchecked.
    friend class RowBatch;
    friend class Savepoint;
    friend class Statement;

    void harden();
    // The connection's own statements (transaction, savepoints, upkeep), kept
    // prepared: run to the end, the first column of the first row.
    QVariant execute(const QString& sql);
    bool tryBegin(const QString& asSavepoint = QString()) REQUIRES(lock);
    void endTransaction() noexcept REQUIRES(lock);
    void notifyRollback(Mark to) noexcept REQUIRES(lock);
    // The place of the innermost open savepoint called name; -1 without one.
    int openAt(const QString& name) const REQUIRES(lock);
    void releaseSnapshot() noexcept REQUIRES(lock);
    void truncateLog() noexcept;
    // Batches that hold rows: written before any other statement runs, and
    // before the transaction commits; dropped when it rolls back, or rolls
    // back to a savepoint, which is always older than them.
    void holdRows(RowBatch* batch) NO_THREAD_SAFETY_ANALYSIS;
    void releaseRows(RowBatch* batch) noexcept NO_THREAD_SAFETY_ANALYSIS;
    // Writes the rows of every batch, or only's alone.
    void writeHeldRows(RowBatch* only = nullptr) NO_THREAD_SAFETY_ANALYSIS;
    void dropHeldRows() noexcept REQUIRES(lock);
    void keepWalking(Statement* statement) NO_THREAD_SAFETY_ANALYSIS { walkers.insert(statement); }
    void letGo(Statement* statement) noexcept NO_THREAD_SAFETY_ANALYSIS { walkers.remove(statement); }
    // After a failed statement: SQLite ends the transaction itself on some
    // errors (disk full, I/O); then nothing may run until its owner rolls back.
    void noteFailure() noexcept NO_THREAD_SAFETY_ANALYSIS;
    void requireUsable() const NO_THREAD_SAFETY_ANALYSIS;
    sqlite3_stmt* kept(const QString& sql) REQUIRES(lock);
    // Resets statement after a step that answered rc; throws a failure with
    // SQLite's code and message, its bindings cleared.
    void finish(sqlite3_stmt* statement, int rc) REQUIRES(lock);

    // Guards every member marked so, and the statements' and batches' state.
    mutable NestingLock lock;
    QtConnection connection;
    // Closed before the connection, which then checkpoints the file.
    ReadConnections pool;
    sqlite3* handle;
    TransactionGate gate;
    QHash<QString, sqlite3_stmt*> statements GUARDED_BY(lock);
    bool lost GUARDED_BY(lock) = false;
    int savepointDepth GUARDED_BY(lock) = 0;
    int liveSavepoints GUARDED_BY(lock) = 0;
    // The mark now, the transaction's, and the savepoints open in it with
    // theirs, outermost first.
    Mark clock GUARDED_BY(lock) = 0;
    Mark began GUARDED_BY(lock) = 0;
    std::atomic<Mark> openSince{0};
    std::atomic<Mark> lastEnded{0};
    QList<QPair<QString, Mark>> open GUARDED_BY(lock);
    // The write-ahead log's file; truncated after a commit that left it this large.
    QString logPath;
    static constexpr qint64 largeLog = qint64(64) << 20;
    // Counted without the lock, which scans would otherwise take at their
    // start and end while another thread writes.
    std::atomic<int> readers{0};
    // A statement that stands on its row, holding the read transaction.
    sqlite3_stmt* snapshotHolder GUARDED_BY(lock) = nullptr;
    std::atomic<bool> snapshotHeld{false};
    // Rows changed when the transaction began.
    qint64 changesAtBegin GUARDED_BY(lock) = 0;
    QSet<Statement*> walkers GUARDED_BY(lock);
    // Counts whole rollbacks: a Savepoint whose transaction one ended (a
    // nested statement of the host failed under it) has nothing left to undo.
    quint64 rollbacks GUARDED_BY(lock) = 0;
    QSet<Observer*> observers GUARDED_BY(lock);
    std::vector<RowBatch*> heldBatches GUARDED_BY(lock);
    bool writingHeld GUARDED_BY(lock) = false;
};
