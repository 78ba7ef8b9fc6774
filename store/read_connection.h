// A read-only connection to the history file beside its one connection: it
// reads committed rows in a snapshot of its own, without that connection's
// lock, and keeps the snapshot for the reads that it still serves. Used by
// one thread at a time, any thread.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QtGlobal>

#include <chrono>

struct sqlite3;
struct sqlite3_stmt;

class ReadConnection {
public:
    // The history connection's transactions, by the mark each began at
    // (SqliteDatabase::Mark): they run one after another.
    using Mark = quint64;

    // Opens the file at path read-only, hardened as the history connection
    // is. Throws ErrorPair; refuses a file that is not in WAL mode, where a
    // reader would keep the history connection from writing.
    explicit ReadConnection(const QString& path);
    ~ReadConnection();
    ReadConnection(const ReadConnection&) = delete;
    ReadConnection& operator=(const ReadConnection&) = delete;

    // The second column of the row whose first is rowid, found by sql, which
    // selects (rowid, value) from the rowid bound to ?1 up, in rowid order;
    // empty without that row. Read in the snapshot held, when it shows every
    // transaction up to changedIn (the last that changed the rows sql reads)
    // and is young; else in a new one, which shows those up to endedThrough
    // (the last that ended), read before the call. Rows asked for in
    // ascending order are found by stepping on. Throws ErrorPair with
    // SQLite's code and message.
    QByteArray valueAt(const QString& sql, qint64 rowid, Mark changedIn, Mark endedThrough);
    // Lets the snapshot go, and with it the walk.
    void letGo() noexcept;

private:
    using Clock = std::chrono::steady_clock;
    // A snapshot older than this is taken anew at the next read, so that
    // checkpoints of the file go on past a long scan.
    static constexpr std::chrono::milliseconds oldest{100};

    sqlite3_stmt* prepared(const QString& sql);
    void renew(Mark endedThrough, Clock::time_point now);
    void stopWalking() noexcept;
    // Steps the walk; whether it stands on a row. Throws ErrorPair.
    bool step();

    sqlite3* handle = nullptr;
    QHash<QString, sqlite3_stmt*> statements;
    // Stands on its one row while the snapshot is held.
    sqlite3_stmt* holder = nullptr;
    bool holding = false;
    Mark through = 0;
    Clock::time_point taken;
    // The statement that stands on a row of the snapshot, and which.
    sqlite3_stmt* walk = nullptr;
    qint64 walkedRowid = 0;
};
