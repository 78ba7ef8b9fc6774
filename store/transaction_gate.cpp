// Waiting for the history transaction: for another thread's work and another
// connection's transaction on a condition of the connection's lock, for
// another process by trying again after SQLite's own busy delays.
#include "store/transaction_gate.h"

#include "common/error_pair.h"

#include <pthread.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <iterator>

namespace {

ErrorPair otherConnection()
{
    return ErrorPair(SQLITE_BUSY, QByteArray("the history database is in a transaction of another connection"));
}

ErrorPair locked()
{
    return ErrorPair(SQLITE_BUSY, QByteArray("database is locked"));
}

// The pauses of SQLite's default busy handler, in milliseconds; the last repeats.
std::chrono::milliseconds busyDelay(int attempt)
{
    static const int delays[] = {1, 2, 5, 10, 15, 20, 25, 25, 25, 50, 50, 100};
    return std::chrono::milliseconds(delays[std::min<size_t>(size_t(attempt), std::size(delays) - 1)]);
}

// Threads' numbers, kept as a key of the thread library rather than in
// thread_local storage, which a library loaded with dlopen allocates apart
// from the thread. Made as the library loads, so that it outlives the factory.
const struct ThreadNumbers {
    pthread_key_t key = 0;
    ThreadNumbers() { pthread_key_create(&key, nullptr); }
    ~ThreadNumbers() { pthread_key_delete(key); }
} numbers;

} // namespace

TransactionGate::Thread TransactionGate::currentThread()
{
    static std::atomic<Thread> next{1};
    Thread thread = Thread(reinterpret_cast<std::uintptr_t>(pthread_getspecific(numbers.key)));
    if (!thread) {
        thread = next.fetch_add(1, std::memory_order_relaxed);
        pthread_setspecific(numbers.key, reinterpret_cast<void*>(std::uintptr_t(thread)));
    }
    return thread;
}

bool TransactionGate::enter(const void* owner, Wait wait, const std::function<bool()>& begin)
{
    const Thread me = currentThread();
    // Work nested in this thread's work, the most common case, joins it.
    if (worker == me && isOpen() && (!owner || this->owner() == owner)) {
        ++depth;
        return false;
    }
    const NestingLock::Clock::time_point deadline = NestingLock::Clock::now() + timeout;
    const auto waitFor = [&](auto&& pause) {
        // Work nested in other use of the connection could block the thread it waits for.
        if (wait == Wait::Never || lock.heldHere() != 1 || NestingLock::Clock::now() >= deadline)
            throw locked();
        pause();
    };
    // Threads that waited to begin go first, in the order they came, once
    // the thread whose turn it is has had its turn; each leaves the queue on
    // every way out, so that the next in it goes on.
    struct Place {
        TransactionGate& gate;
        Thread me;
        bool queued = false;
        bool first() const
        {
            return gate.queue.empty() || gate.queue.front() == me ||
                   (gate.turn == me && NestingLock::Clock::now() < gate.turnEnds);
        }
        void take()
        {
            if (!queued)
                gate.queue.push_back(me);
            queued = true;
        }
        ~Place()
        {
            if (!queued)
                return;
            gate.queue.erase(std::find(gate.queue.begin(), gate.queue.end(), me));
            gate.lock.notifyAll();
        }
    } place{*this, me};
    for (int attempt = 0;; ++attempt) {
        if (worker == me || worker == 0) {
            if (!isOpen() && (worker == me || place.first())) {
                if (begin()) {
                    owner_.store(owner ? owner : this, std::memory_order_release);
                    startWork(me);
                    const NestingLock::Clock::time_point now = NestingLock::Clock::now();
                    if (turn != me || now >= turnEnds) {
                        turn = me;
                        turnEnds = now + quantum;
                    }
                    return true;
                }
                waitFor([&] { lock.pause(busyDelay(attempt)); });
                continue;
            }
            const bool mine = isOpen() && (owner ? this->owner() == owner
                                                 : worker == me || (wait == Wait::UpToTimeout && lastWorker == me));
            if (mine) {
                startWork(me);
                return false;
            }
            if (isOpen() && (worker == me || lastWorker == me))
                throw otherConnection();
        }
        if (wait == Wait::UpToTimeout)
            place.take();
        // Woken when the work or transaction ends after its turn, or when the
        // turn is over.
        waitFor([&] {
            const bool turnGoesOn = turn != me && NestingLock::Clock::now() < turnEnds;
            lock.waitUntil(turnGoesOn ? std::min(deadline, turnEnds) : deadline);
        });
    }
}

void TransactionGate::startWork(Thread me)
{
    if (worker == me) {
        ++depth;
    } else {
        worker = me;
        depth = 1;
    }
    lastWorker = me;
}

void TransactionGate::leave() noexcept
{
    if (--depth > 0)
        return;
    worker = 0;
    notifyAfterTurn();
}

void TransactionGate::end() noexcept
{
    owner_.store(nullptr, std::memory_order_release);
    lastWorker = 0;
    notifyAfterTurn();
}

// Within its turn a thread goes on without waking those that wait to begin,
// unless it waits itself.
void TransactionGate::notifyAfterTurn() noexcept
{
    if (queue.empty() || NestingLock::Clock::now() >= turnEnds ||
        std::find(queue.begin(), queue.end(), turn) != queue.end())
        lock.notifyAll();
}
