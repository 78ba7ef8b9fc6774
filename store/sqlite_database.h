// The one connection to the history database: opened and hardened here, every
// statement run through executeQuery, every failure thrown as ErrorPair with
// SQLite's own code and message, and one transaction at a time with its owner.
#pragma once

#include <QHash>
#include <QList>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QVariant>

class ErrorPair;
class Statement;

struct sqlite3;
struct sqlite3_stmt;

// A 64-bit integer (a rowid) as a bound value.
inline QVariant rowidValue(qint64 rowid)
{
    return QVariant(static_cast<qlonglong>(rowid));
}

class SqliteDatabase {
public:
    // Something that keeps what it read from the database in memory and must
    // forget it when a rollback takes back what it wrote.
    class Observer {
    public:
        virtual void rolledBack() noexcept = 0;

    protected:
        ~Observer() = default;
    };

    // Adds a Qt connection to the SQLite file at path (created when missing)
    // and opens it with triggers, views and untrusted schema content disabled,
    // so that nothing planted in the file runs inside the library's statements.
    // Throws ErrorPair when the file cannot be opened.
    explicit SqliteDatabase(const QString& path);
    // Finishes every statement, closes the connection and removes it from Qt.
    ~SqliteDatabase();

    SqliteDatabase(const SqliteDatabase&) = delete;
    SqliteDatabase& operator=(const SqliteDatabase&) = delete;

    // Runs one statement with positional values bound to its "?" placeholders
    // and returns the executed query. Statements with values are prepared once
    // and kept; a caller that reads a result must finish() it. Throws ErrorPair.
    QSqlQuery executeQuery(const QString& sql, const QList<QVariant>& binds);
    // Runs a statement that writes, with positional values as executeQuery: the
    // statements run for every row written, kept prepared on the connection's
    // own handle, which spares Qt's work per value. Throws ErrorPair.
    void executeWrite(const QString& sql, const QList<QVariant>& binds);
    // The first column of the first row, or an invalid QVariant without a row.
    QVariant firstValue(const QString& sql, const QList<QVariant>& binds);
    // Finishes and forgets every kept statement (before DROP TABLE).
    void forgetStatements();

    // The transaction: at most one is open, owned by one caller (a host
    // connection). begin() takes the write lock at once, waiting for other
    // processes up to the busy timeout; a caller other than the owner gets
    // SQLITE_BUSY. Savepoints nest inside it with names of their own.
    bool inTransaction() const { return owner_ != nullptr; }
    const void* transactionOwner() const { return owner_; }
    // Throws ErrorPair with SQLITE_BUSY when another owner's transaction is open.
    void requireOwner(const void* owner) const;
    void begin(const void* owner);
    void commit();
    // Never throws: a rollback that fails leaves SQLite to roll back on close.
    void rollback() noexcept;
    // Rolls the transaction back at once but keeps it refused (SQLITE_ABORT)
    // until its owner rolls back too, for a failure that left part of a
    // change behind where no savepoint can take just that part back.
    void abandon() noexcept;
    // Rows changed by every statement so far.
    qint64 totalChanges() const;
    // The rowid of the row the last INSERT made.
    qint64 lastInsertRowid() const;
    // Whether a Savepoint or a reader is alive: the connection must stay open.
    bool inUse() const { return liveSavepoints > 0 || readers > 0; }

    // Readers: while one is open (a scan), lookups outside a transaction share
    // one read transaction (holdSnapshot) instead of taking the file's locks
    // for each. It ends with the last reader, and before anything writes, so
    // that no write starts from an old snapshot and checkpoints go on.
    void startReading() noexcept { ++readers; }
    void stopReading() noexcept;
    // Called before a lookup; does nothing without a reader or in a
    // transaction. Whether the snapshot is held: then a statement may walk
    // rows across lookups (Statement::step) until it is let go.
    bool holdSnapshot() noexcept;
    void savepoint(const QString& name);
    void release(const QString& name);
    void rollbackTo(const QString& name);

    // Outside a transaction, gives the pages that deletions freed back to the
    // file system once they add up to a few megabytes (incremental vacuum),
    // and lets the write-ahead log shrink. Never fails: space stays otherwise.
    void giveSpaceBack() noexcept;

    // Observers are told of every rollback of the open transaction, whole or
    // to a savepoint; the list is emptied when the transaction ends.
    void observe(Observer* observer);
    void forget(Observer* observer);

private:
    void harden();
    void run(const QString& sql);
    void notifyRollback() noexcept;
    void releaseSnapshot() noexcept;
    void truncateLog() noexcept;
    void keepWalking(Statement* statement) { walkers.insert(statement); }
    void letGo(Statement* statement) noexcept { walkers.remove(statement); }
    // After a failed statement: SQLite ends the transaction itself on some
    // errors (disk full, I/O); then nothing may run until its owner rolls back.
    ErrorPair failure(const QSqlError& error);
    void requireUsable() const;

    friend class Savepoint;
    friend class Statement;
    // After a failed statement: marks the transaction lost where SQLite ended it.
    void noteFailure() noexcept;

    QSqlDatabase connection;
    sqlite3* handle = nullptr;
    QHash<QString, QSqlQuery> kept;
    QHash<QString, sqlite3_stmt*> writes;
    const void* owner_ = nullptr;
    bool lost = false;
    int savepointDepth = 0;
    int liveSavepoints = 0;
    // The write-ahead log's file; truncated after a commit that left it this large.
    QString logPath;
    static constexpr qint64 largeLog = qint64(64) << 20;
    int readers = 0;
    // A statement that stands on its row, holding the read transaction.
    sqlite3_stmt* snapshotHolder = nullptr;
    bool snapshotHeld = false;
    QSet<Statement*> walkers;
    // Counts whole rollbacks: a Savepoint whose transaction one ended (a
    // nested statement of the host failed under it) has nothing left to undo.
    quint64 rollbacks = 0;
    QSet<Observer*> observers;
};
