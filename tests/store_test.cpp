// The history store's concurrency as units: who may work in the history
// transaction and who waits, and the owners' locks that other processes see.
#include "common/error_pair.h"
#include "store/history_file.h"
#include "store/owner_locks.h"
#include "store/qt_connection.h"
#include "store/read_connections.h"
#include "store/row_batch.h"
#include "store/savepoint.h"
#include "store/transaction_gate.h"

#include <QSqlDatabase>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const int aId = 0, bId = 0; // what two host connections' ids stand for
const HistoryOwner a = HistoryOwner::apart(&aId), b = HistoryOwner::apart(&bId), own;
const std::string otherConnection = "5 the history database /h/transactions.sqlite is in a transaction of another "
                                    "connection",
                  locked = "5 the history database /h/transactions.sqlite is locked";

struct Gate {
    explicit Gate(std::chrono::milliseconds timeout = 1000ms) : gate(lock, "/h/transactions.sqlite", timeout) {}
    NestingLock lock;
    TransactionGate gate;
    std::atomic<int> begun{0};

    // enter(), then leave() unless stay; "began", "joined" or the error.
    std::string enter(const HistoryOwner& owner, bool stay = false,
                      TransactionGate::Wait wait = TransactionGate::Wait::UpToTimeout, std::function<bool()> begin = {})
    {
        if (!begin)
            begin = [this] { return ++begun > 0; };
        std::lock_guard<NestingLock> held(lock);
        try {
            const bool began = gate.enter(owner, wait, begin);
            if (!stay)
                gate.leave();
            return began ? "began" : "joined";
        } catch (const ErrorPair& error) {
            return std::to_string(error.code()) + " " + error.message().toStdString();
        }
    }
    void leave(bool end)
    {
        std::lock_guard<NestingLock> held(lock);
        if (end)
            gate.end();
        gate.leave();
    }
};

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

template <typename Work>
auto onThread(Work&& work)
{
    return std::async(std::launch::async, std::forward<Work>(work));
}

// The transaction is its owner's whichever thread works in it: a thread pool runs a's statements on one
// thread, then b's there, which waits while a's transaction goes on and ends on another thread.
TEST(TransactionGate, AnOwnersTransactionGoesOnOnAnyThreadWhileAnotherOwnerWaits)
{
    Gate g;
    EXPECT_EQ(g.enter(a), "began");
    std::promise<void> bAsked;
    auto pooled = onThread([&] {
        EXPECT_EQ(g.enter(a), "joined");
        bAsked.set_value();
        const Clock::time_point asked = Clock::now();
        const std::string result = g.enter(b);
        return std::make_pair(result, secondsSince(asked));
    });
    bAsked.get_future().wait();
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(g.enter(a, true), "joined");
    g.leave(true);
    const auto [result, waited] = pooled.get();
    EXPECT_EQ(result, "began");
    EXPECT_GT(waited, 0.15);
    EXPECT_EQ(g.begun, 2);
    // b's transaction, never ended, is waited for up to the timeout on this thread too; the library's own
    // work joins no owner's transaction but the one its thread works in at the moment.
    Clock::time_point start = Clock::now();
    EXPECT_EQ(g.enter(a), otherConnection);
    EXPECT_GT(secondsSince(start), 0.9);
    EXPECT_EQ(g.enter(own, false, TransactionGate::Wait::Never), otherConnection);
    EXPECT_EQ(g.enter(b, true), "joined");
    EXPECT_EQ(g.enter(own), "joined");
    // With b's work further up this thread's stack, a's wait could never end.
    start = Clock::now();
    EXPECT_EQ(g.enter(a), otherConnection);
    EXPECT_LT(secondsSince(start), 0.1);
    g.leave(true);
    EXPECT_EQ(g.enter(own), "began");
    g.leave(true);
}

TEST(TransactionGate, OneThreadWorksInTheTransactionAtATime)
{
    Gate g;
    EXPECT_EQ(g.enter(a, true), "began");
    std::atomic<bool> working{true};
    auto second = onThread([&] {
        const std::string result = g.enter(a);
        return result + (working ? " while the first worked" : "");
    });
    std::this_thread::sleep_for(100ms);
    working = false;
    g.leave(false);
    EXPECT_EQ(second.get(), "joined");
    // The library's own work never waits when asked not to.
    EXPECT_EQ(onThread([&g] { return g.enter(own, false, TransactionGate::Wait::Never); }).get(), otherConnection);
}

// An owner that keeps beginning transactions has a turn, then one that waits goes first, whichever threads
// the first one's transactions come on.
TEST(TransactionGate, AWaitingOwnerGetsItsTurnFromOneThatKeepsBeginning)
{
    Gate g;
    std::atomic<bool> stop{false};
    const auto keepBeginning = [&] {
        for (int k = 0; !stop && k < 200; ++k) {
            g.enter(a, true);
            std::this_thread::sleep_for(100us);
            g.leave(true);
        }
    };
    auto busy = onThread([&] {
        keepBeginning();
        onThread(keepBeginning).get();
    });
    std::this_thread::sleep_for(15ms);
    const Clock::time_point start = Clock::now();
    const std::string turn = onThread([&g] { return g.enter(b, true); }).get();
    const double waited = secondsSince(start);
    stop = true;
    g.leave(true);
    busy.get();
    EXPECT_EQ(turn, "began");
    EXPECT_LT(waited, 0.1);
}

// Another process's lock is tried again up to the timeout, or not at all, and fails naming the file.
TEST(TransactionGate, TriesAgainWhileAnotherProcessHoldsTheFile)
{
    Gate g(300ms);
    int attempts = 0;
    EXPECT_EQ(g.enter(a, false, TransactionGate::Wait::UpToTimeout, [&attempts] { return ++attempts == 4; }), "began");
    EXPECT_EQ(attempts, 4);
    g.leave(true);
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(g.enter(b, false, TransactionGate::Wait::UpToTimeout, [] { return false; }), locked);
    EXPECT_GT(secondsSince(start), 0.25);
    EXPECT_EQ(g.enter(b, false, TransactionGate::Wait::Never, [] { return false; }), locked);
}

// Each OwnerLocks opens the file anew, and locks of another open file
// description conflict as another process's would.
TEST(OwnerLocks, HoldAsLongAsOneHolderOfThisProcessDoes)
{
    const std::string path = std::string(std::getenv("HOME")) + "/owners";
    OwnerLocks ours(QString::fromStdString(path)), theirs(QString::fromStdString(path));
    ASSERT_TRUE(ours.acquire(QStringLiteral("ZoneA")));
    {
        const OwnerLocks::Claim claim(ours, QStringLiteral("zonea"));
        EXPECT_TRUE(claim.taken());
    }
    EXPECT_TRUE(ours.holds(QStringLiteral("ZONEA")));
    EXPECT_FALSE(theirs.acquire(QStringLiteral("zonea")));
    EXPECT_FALSE(OwnerLocks::Claim(theirs, QStringLiteral("zonea")).taken());
    ours.release(QStringLiteral("zonea"));
    EXPECT_FALSE(ours.holds(QStringLiteral("zonea")));
    EXPECT_TRUE(theirs.acquire(QStringLiteral("zonea")));
}

// Readers share one snapshot of the file, which another process's commit leaves as it was until the last reader
// stops. A scan of another thread may still read through the file after the last table let it go: closing it then
// would take the scan's statements away.
TEST(HistoryFile, StaysOpenWhileAReaderIsAlive)
{
    HistoryFile history;
    std::shared_ptr<HistoryFile::Open> file = history.open();
    SqliteDatabase& database = file->database;
    database.runOnce(QStringLiteral("CREATE TABLE seen(x)"));
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open((std::string(std::getenv("HOME")) + "/transactions.sqlite").c_str(), &other), SQLITE_OK);
    const auto count = [&database] { return database.runOnce(QStringLiteral("SELECT count(*) FROM seen")).toInt(); };
    database.startReading();
    EXPECT_TRUE(database.holdSnapshot());
    ASSERT_EQ(sqlite3_exec(other, "INSERT INTO seen VALUES (1)", nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_EQ(count(), 0);
    database.stopReading();
    EXPECT_EQ(count(), 1);
    sqlite3_close(other);
    database.startReading();
    file.reset();
    EXPECT_FALSE(history.closeIfUnused());
    database.stopReading();
    EXPECT_TRUE(history.closeIfUnused());
}

// The history connection's own statements wait for another process's write lock as its busy timeout says: from
// its opening on, and again once space was given back, which asks for the lock without waiting.
TEST(HistoryFile, WaitsForAnotherProcessesWriteLock)
{
    HistoryFile history;
    const std::shared_ptr<HistoryFile::Open> file = history.open();
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open((std::string(std::getenv("HOME")) + "/transactions.sqlite").c_str(), &other), SQLITE_OK);
    const auto whileHeld = [&](const char* sql) {
        sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
        auto commit = std::async(std::launch::async, [other] {
            std::this_thread::sleep_for(200ms);
            sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
        });
        try {
            file->database.runOnce(QString::fromUtf8(sql));
            return std::string("waited");
        } catch (const ErrorPair& error) {
            return error.message().toStdString();
        }
    };
    EXPECT_EQ(whileHeld("CREATE TABLE first(x)"), "waited");
    ASSERT_EQ(sqlite3_exec(other, "CREATE TABLE filler AS SELECT zeroblob(8000000); DROP TABLE filler", nullptr,
                           nullptr, nullptr),
              SQLITE_OK);
    file->database.giveSpaceBack();
    EXPECT_LT(file->database.runOnce(QStringLiteral("PRAGMA freelist_count")).toInt(), 1024);
    EXPECT_EQ(whileHeld("CREATE TABLE second(x)"), "waited");
    sqlite3_exec(other, "DROP TABLE first; DROP TABLE second", nullptr, nullptr, nullptr);
    sqlite3_close(other);
}

// Inside an open transaction a savepoint keeps its work at release() and leaves nothing of itself open; one
// left without release() takes back its own work only.
TEST(HistoryFile, SavepointsInsideATransaction)
{
    HistoryFile history;
    const std::shared_ptr<HistoryFile::Open> file = history.open();
    SqliteDatabase& database = file->database;
    const HistoryOwner owner = HistoryOwner::apart(&history);
    const SqliteDatabase::Work work(database, owner);
    {
        Savepoint kept(database, owner);
        database.runOnce(QStringLiteral("CREATE TABLE saved(x)"));
        database.runOnce(QStringLiteral("INSERT INTO saved VALUES (1)"));
        kept.release();
    }
    EXPECT_THROW(database.rollbackTo(QStringLiteral("quillmere_operation")), ErrorPair);
    {
        const Savepoint dropped(database, owner);
        database.runOnce(QStringLiteral("INSERT INTO saved VALUES (2)"));
    }
    EXPECT_EQ(database.runOnce(QStringLiteral("SELECT group_concat(x) FROM saved")).toString().toStdString(), "1");
    database.rollback();
}

// Read connections see committed rows only, and keep a snapshot while it shows the transaction asked for; the
// pool opens no more than its bound, lends each to one reader at a time, and takes it back holding no snapshot
// that would keep the log from a checkpoint; a file that is not in WAL mode is never read so.
TEST(ReadConnections, LendSnapshotsOfCommittedRowsAFewAtATime)
{
    const std::string path = std::string(std::getenv("HOME")) + "/lent.sqlite";
    sqlite3* writer = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &writer), SQLITE_OK);
    const auto exec = [writer](const char* sql) { return sqlite3_exec(writer, sql, nullptr, nullptr, nullptr); };
    const auto checkpoint = [writer] {
        return sqlite3_wal_checkpoint_v2(writer, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
    };
    ReadConnections refused(QString::fromStdString(path));
    EXPECT_FALSE(refused.lend());
    ASSERT_EQ(exec("PRAGMA journal_mode=WAL; CREATE TABLE rows(ID INTEGER PRIMARY KEY, v); INSERT INTO rows "
                   "VALUES (1, 'a'), (2, 'b'), (3, 'c')"),
              SQLITE_OK);
    ReadConnections pool(QString::fromStdString(path), 2);
    std::unique_ptr<ReadConnection> first = pool.lend(), second = pool.lend();
    ASSERT_TRUE(first && second);
    EXPECT_FALSE(pool.lend());
    // Marks: the last transaction that changed the rows, and the last that ended, as a reader finds them.
    const auto value = [](ReadConnection& connection, qint64 rowid, quint64 changed, quint64 ended) {
        const QString sql = QStringLiteral("SELECT ID, v FROM rows WHERE ID >= ?1 ORDER BY ID");
        return connection.valueAt(sql, rowid, changed, ended).toStdString();
    };
    EXPECT_EQ(value(*first, 1, 0, 0), "a");
    ASSERT_EQ(exec("UPDATE rows SET v = 'B' WHERE ID = 2; BEGIN; UPDATE rows SET v = 'C' WHERE ID = 3"), SQLITE_OK);
    EXPECT_EQ(value(*first, 2, 0, 1), "b");
    EXPECT_EQ(value(*first, 2, 1, 1), "B");
    EXPECT_EQ(value(*second, 3, 1, 1) + "|" + value(*second, 4, 1, 1), "c|");
    ASSERT_EQ(exec("COMMIT"), SQLITE_OK);
    EXPECT_EQ(checkpoint(), SQLITE_BUSY);
    pool.giveBack(std::move(first));
    pool.giveBack(std::move(second));
    EXPECT_EQ(checkpoint(), SQLITE_OK);
    first = pool.lend();
    EXPECT_EQ(value(*first, 3, 2, 2), "C");
    pool.giveBack(std::move(first));
    EXPECT_EQ(pool.count(), 2);
    sqlite3_close(writer);
}

// Rows held in a batch: every statement sees them, and totalChanges() counts them; a full batch goes at once;
// ROLLBACK TO and ROLLBACK take back what they held, and only that. One that fails to be written gives the transaction
// up: the statement that wrote it gets the failure, every later one SQLITE_ABORT until the owner rolls back.
TEST(HistoryFile, BatchedRows)
{
    HistoryFile history;
    const std::shared_ptr<HistoryFile::Open> file = history.open();
    SqliteDatabase& database = file->database;
    const HistoryOwner owner = HistoryOwner::apart(&history);
    const auto text = [&database](const char* sql) {
        try {
            return database.runOnce(QString::fromUtf8(sql)).toString().toStdString();
        } catch (const ErrorPair& error) {
            return std::to_string(error.code()) + " " + error.message().toStdString();
        }
    };
    database.runOnce(QStringLiteral("CREATE TABLE b(x INTEGER PRIMARY KEY, y NOT NULL)"));
    RowBatch batch(database, 2);
    batch.setTable(QStringLiteral("b"));
    const auto add = [&](qint64 x, bool null = false) {
        const RowBatch::Value row[] = {RowBatch::Value::of(x),
                                       null ? RowBatch::Value() : RowBatch::Value::of(QByteArray("v"))};
        const SqliteDatabase::Lock held(database);
        batch.add(row);
    };
    {
        const SqliteDatabase::Work work(database, owner);
        const qint64 before = database.totalChanges();
        for (qint64 x = 1; x <= RowBatch::capacity + 2; ++x)
            add(x);
        EXPECT_EQ(batch.held(), 2);
        EXPECT_EQ(database.totalChanges() - before, RowBatch::capacity + 2);
        EXPECT_EQ(text("SELECT count(*) || ' ' || sum(y = x'76') || ' ' || max(x) FROM b"), "66 66 66");
        EXPECT_EQ(batch.held(), 0);
        add(67);
        database.runOnce(QStringLiteral("CREATE TABLE c AS SELECT x FROM b"));
        EXPECT_EQ(text("SELECT max(x) FROM c"), "67");
        add(99);
        database.savepoint(QStringLiteral("s"));
        add(100);
        database.rollbackTo(QStringLiteral("s"));
        add(101);
        database.release(QStringLiteral("s"));
        add(102);
        database.commit();
        EXPECT_EQ(text("SELECT group_concat(x) FROM b WHERE x > 66"), "67,99,101,102");
    }
    {
        const SqliteDatabase::Work work(database, owner);
        add(200);
        database.rollback();
        EXPECT_EQ(batch.held(), 0);
    }
    {
        const SqliteDatabase::Work work(database, owner);
        add(300);
        add(301, true);
        EXPECT_EQ(text("SELECT count(*) FROM b"), "19 NOT NULL constraint failed: b.y");
        EXPECT_EQ(text("SELECT count(*) FROM b"),
                  "4 the history transaction was rolled back after an error; the host's transaction must be rolled "
                  "back too");
        database.rollback();
    }
    EXPECT_EQ(text("SELECT count(*) FROM b WHERE x >= 200"), "0");
}

// The default file system, counting the statement journals SQLite spills to files.
struct SpillCounter {
    SpillCounter() : base(sqlite3_vfs_find(nullptr)), vfs(*base)
    {
        vfs.zName = "spill_counter";
        vfs.xOpen = [](sqlite3_vfs* self, const char* name, sqlite3_file* file, int flags, int* out) {
            sqlite3_vfs* real = static_cast<SpillCounter*>(self->pAppData)->base;
            if (flags & SQLITE_OPEN_SUBJOURNAL)
                ++static_cast<SpillCounter*>(self->pAppData)->spills;
            return real->xOpen(real, name, file, flags, out);
        };
        vfs.pAppData = this;
        sqlite3_vfs_register(&vfs, 1);
    }
    ~SpillCounter()
    {
        sqlite3_vfs_unregister(&vfs);
        sqlite3_vfs_register(base, 1);
    }
    sqlite3_vfs* base;
    sqlite3_vfs vfs;
    std::atomic<int> spills{0};
};

// A replacing batch of keys scattered over a large table keeps no statement journal, whose copy of a page a row
// would spill to a file; a key repeated in the batch keeps its later row; a full batch that fails takes nothing
// with it past the rollback.
TEST(HistoryFile, ReplacingBatches)
{
    const SpillCounter counter;
    HistoryFile history;
    const std::shared_ptr<HistoryFile::Open> file = history.open();
    SqliteDatabase& database = file->database;
    const HistoryOwner owner = HistoryOwner::apart(&history);
    const auto text = [&database](const char* sql) {
        return database.runOnce(QString::fromUtf8(sql)).toString().toStdString();
    };
    database.runOnce(QStringLiteral("CREATE TABLE r(ID integer PRIMARY KEY NOT NULL, v BLOB NOT NULL);"
                                    "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < 19999) "
                                    "INSERT INTO r SELECT i, randomblob(200) FROM n;"));
    RowBatch batch(database, 2, QStringLiteral("ID"));
    batch.setTable(QStringLiteral("r"));
    const auto add = [&](qint64 key, const char* value) {
        const RowBatch::Value row[] = {RowBatch::Value::of(key),
                                       value ? RowBatch::Value::of(QByteArray(value)) : RowBatch::Value()};
        const SqliteDatabase::Lock held(database);
        batch.add(row);
    };
    {
        const SqliteDatabase::Work work(database, owner);
        for (qint64 i = 0; i < RowBatch::capacity; ++i)
            add(i * 311, "new");
        for (qint64 i = 0; i < RowBatch::capacity; ++i)
            add(i == 9 ? 7 : i, i < 9 ? "early" : "late");
        database.commit();
    }
    EXPECT_EQ(counter.spills, 0);
    EXPECT_EQ(text("SELECT count(*) || ' ' || sum(v = CAST('new' AS BLOB)) || ' ' || "
                   "(SELECT group_concat(CAST(v AS TEXT)) FROM r WHERE ID IN (6, 7, 8)) FROM r"),
              "20000 63 early,late,early");
    {
        const SqliteDatabase::Work work(database, owner);
        for (qint64 i = 0; i + 1 < RowBatch::capacity; ++i)
            add(20000 + i, i == 40 ? nullptr : "failed");
        EXPECT_THROW(add(30000, "failed"), ErrorPair);
        database.rollback();
    }
    EXPECT_EQ(text("SELECT count(*) FROM r WHERE CAST(v AS TEXT) = 'failed'"), "0");
}

// A connection is closed by the thread that made it: given up on another thread it waits, open, until that
// thread makes the next one; given up after its maker ended, it closes at once.
TEST(QtConnection, ClosesOnTheThreadThatMadeIt)
{
    const QString path = QString::fromUtf8(std::getenv("HOME")) + QStringLiteral("/made.sqlite");
    const auto open = [] { return QSqlDatabase::connectionNames().size(); };
    const int before = open();
    auto first = std::make_unique<QtConnection>(path);
    std::async(std::launch::async, [&first] { first.reset(); }).get();
    EXPECT_EQ(open(), before + 1);
    {
        const QtConnection second(path);
        EXPECT_EQ(open(), before + 1);
    }
    EXPECT_EQ(open(), before);
    std::async(std::launch::async, [&first, &path] { first = std::make_unique<QtConnection>(path); }).get();
    first.reset();
    EXPECT_EQ(open(), before);
}

} // namespace
