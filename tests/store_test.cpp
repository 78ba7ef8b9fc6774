// The history store's concurrency as units: who may work in the history
// transaction and who waits, and the owners' locks that other processes see.
#include "common/error_pair.h"
#include "store/history_file.h"
#include "store/owner_locks.h"
#include "store/transaction_gate.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const int a = 0, b = 0; // two host connections: their addresses
const std::string otherConnection = "the history database is in a transaction of another connection";

struct Gate {
    NestingLock lock;
    TransactionGate gate{lock, 1000ms};
    std::atomic<int> begun{0};

    // enter(), then leave() unless stay; "began", "joined" or the error.
    std::string enter(const void* owner, bool stay = false,
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

TEST(TransactionGate, WaitsForAnotherThreadsTransactionButNeverForItsOwn)
{
    Gate g;
    EXPECT_EQ(g.enter(&a), "began");
    // This thread worked in a's transaction last: b could only wait for itself.
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(g.enter(&b), "5 " + otherConnection);
    EXPECT_LT(secondsSince(start), 0.1);
    EXPECT_EQ(g.enter(nullptr), "joined");
    EXPECT_EQ(g.enter(&a), "joined");
    // Another thread's write waits until a's transaction ends, then begins its own.
    auto other = std::async(std::launch::async, [&g] {
        const Clock::time_point asked = Clock::now();
        const std::string result = g.enter(&b);
        return std::make_pair(result, secondsSince(asked));
    });
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(g.enter(&a, true), "joined");
    g.leave(true);
    const auto [result, waited] = other.get();
    EXPECT_EQ(result, "began");
    EXPECT_GT(waited, 0.15);
    EXPECT_EQ(g.begun, 2);
    // b's transaction, never ended, is waited for up to the timeout by another thread.
    const auto late = std::async(std::launch::async, [&g] { return g.enter(&a); }).get();
    EXPECT_EQ(late, "5 database is locked");
}

TEST(TransactionGate, OneThreadWorksInTheTransactionAtATime)
{
    Gate g;
    EXPECT_EQ(g.enter(&a, true), "began");
    std::atomic<bool> working{true};
    auto second = std::async(std::launch::async, [&] {
        const std::string result = g.enter(&a);
        return result + (working ? " while the first worked" : "");
    });
    std::this_thread::sleep_for(100ms);
    working = false;
    g.leave(false);
    EXPECT_EQ(second.get(), "joined");
    // The library's own work never waits when asked not to, and never joins another connection's.
    const auto own =
        std::async(std::launch::async, [&g] { return g.enter(nullptr, false, TransactionGate::Wait::Never); }).get();
    EXPECT_EQ(own, "5 database is locked");
}

// A thread that keeps beginning transactions has a turn, then one that waits goes first.
TEST(TransactionGate, AWaitingThreadGetsItsTurnFromOneThatKeepsBeginning)
{
    Gate g;
    std::atomic<bool> stop{false};
    auto busy = std::async(std::launch::async, [&] {
        while (!stop) {
            g.enter(&a, true);
            std::this_thread::sleep_for(100us);
            g.leave(true);
        }
    });
    std::this_thread::sleep_for(20ms);
    const Clock::time_point start = Clock::now();
    const std::string turn = std::async(std::launch::async, [&g] { return g.enter(&b, true); }).get();
    const double waited = secondsSince(start);
    stop = true;
    g.leave(true);
    busy.get();
    EXPECT_EQ(turn, "began");
    EXPECT_LT(waited, 0.1);
}

TEST(TransactionGate, TriesAgainWhileAnotherProcessHoldsTheFile)
{
    Gate g;
    int attempts = 0;
    EXPECT_EQ(g.enter(&a, false, TransactionGate::Wait::UpToTimeout, [&attempts] { return ++attempts == 4; }), "began");
    EXPECT_EQ(attempts, 4);
    g.leave(true);
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(g.enter(&b, false, TransactionGate::Wait::UpToTimeout, [] { return false; }), "5 database is locked");
    EXPECT_GT(secondsSince(start), 0.9);
    EXPECT_EQ(g.enter(&b, false, TransactionGate::Wait::Never, [] { return false; }), "5 database is locked");
}

// Each OwnerLocks opens the file anew, and locks of another open file
// description conflict as another process's would.
TEST(OwnerLocks, HoldAsLongAsOneHolderOfThisProcessDoes)
{
    const std::string path = std::string(std::getenv("HOME")) + "/owners";
    OwnerLocks ours(QString::fromStdString(path)), theirs(QString::fromStdString(path));
    ASSERT_TRUE(ours.acquire(QStringLiteral("Roads")));
    {
        const OwnerLocks::Claim claim(ours, QStringLiteral("roads"));
        EXPECT_TRUE(claim.taken());
    }
    EXPECT_TRUE(ours.holds(QStringLiteral("ROADS")));
    EXPECT_FALSE(theirs.acquire(QStringLiteral("roads")));
    EXPECT_FALSE(OwnerLocks::Claim(theirs, QStringLiteral("roads")).taken());
    ours.release(QStringLiteral("roads"));
    EXPECT_FALSE(ours.holds(QStringLiteral("roads")));
    EXPECT_TRUE(theirs.acquire(QStringLiteral("roads")));
}

// A scan of another thread may still read through the file after the last table let it go: closing it then
// would take the scan's statements away.
TEST(HistoryFile, StaysOpenWhileAReaderIsAlive)
{
    HistoryFile history;
    std::shared_ptr<HistoryFile::Open> file = history.open();
    SqliteDatabase& database = file->database;
    database.startReading();
    file.reset();
    EXPECT_FALSE(history.closeIfUnused());
    database.stopReading();
    EXPECT_TRUE(history.closeIfUnused());
}

} // namespace
