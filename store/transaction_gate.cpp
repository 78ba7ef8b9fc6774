// Waiting for the history transaction: for another owner's transaction and
// another thread's work on a condition of the connection's lock, for another
// process by trying again after SQLite's own busy delays; each for as long as
// the owner's busy timeout, read only once a wait is due.
#include "store/transaction_gate.h"

#include "common/error_pair.h"

#include <pthread.h>
#include <sqlite3.h>

#include <QString>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <optional>

namespace {

// The pauses of SQLite's default busy handler, in milliseconds; the last repeats.
std::chrono::milliseconds busyDelay(int attempt)
{
    static const int delays[] = {1, 2, 5, 10, 15, 20, 25, 25, 25, 50, 50, 100};
    return std::chrono::milliseconds(delays[std::min<size_t>(size_t(attempt), std::size(delays) - 1)]);
}

// Threads' numbers, kept as a key of the thread library rather than in
// thread_local storage, which a library loaded with dlopen allocates apart
// from the thread. Made as the library loads, so that it outlives the history.
const struct ThreadNumbers {
    pthread_key_t key = 0;
    ThreadNumbers() { pthread_key_create(&key, nullptr); }
    ~ThreadNumbers() { pthread_key_delete(key); }
} numbers;

} // namespace

// A wait to begin a transaction. It leaves the queue on every way out, so
// that the next in it goes on.
struct TransactionGate::Place {
    TransactionGate& gate;
    const void* holder;
    bool queued = false;

    Place(TransactionGate& gate, const void* holder) : gate(gate), holder(holder) {}
    Place(const Place&) = delete;
    Place& operator=(const Place&) = delete;
    ~Place()
    {
        if (!queued)
            return;
        gate.queue.erase(std::find(gate.queue.begin(), gate.queue.end(), this));
        gate.lock.notifyAll();
    }
    // The first in the queue, or the owner whose turn goes on, may begin.
    bool first() const
    {
        return gate.queue.empty() || gate.queue.front() == this ||
               (gate.turn == holder && NestingLock::Clock::now() < gate.turnEnds);
    }
    void take()
    {
        if (!queued)
            gate.queue.push_back(this);
        queued = true;
    }
};

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

bool TransactionGate::enter(const HistoryOwner& owner, Wait wait, const std::function<bool()>& begin)
{
    using Clock = NestingLock::Clock;
    const Thread me = currentThread();
    // Work nested in this thread's work, the most common case, joins it.
    if (worker == me && isOpen() && (!owner.id() || this->owner() == owner.id())) {
        ++depth;
        return false;
    }
    const auto busy = [this](bool process) {
        const QString name = QString::fromUtf8(file);
        return ErrorPair(SQLITE_BUSY, process ? QStringLiteral("the history database %1 is locked").arg(name)
                                              : QStringLiteral("the history database %1 is in a transaction of "
                                                               "another connection")
                                                    .arg(name));
    };
    std::optional<Clock::time_point> deadline;
    const auto waitFor = [&](bool process, auto&& pause) {
        // Work nested in other use of the connection would hold it while it
        // waits, and could block the thread it waits for.
        if (wait == Wait::Never || lock.heldHere() != 1)
            throw busy(process);
        if (!deadline)
            deadline = Clock::now() + owner.patience(timeout);
        if (Clock::now() >= *deadline)
            throw busy(process);
        pause(*deadline);
    };
    Place place(*this, owner.id() ? owner.id() : this);
    for (int attempt = 0;; ++attempt) {
        if (worker == me || worker == 0) {
            if (!isOpen() && (worker == me || place.first())) {
                if (begin()) {
                    owner_.store(place.holder, std::memory_order_release);
                    startWork(me);
                    const Clock::time_point now = Clock::now();
                    if (turn != place.holder || now >= turnEnds) {
                        turn = place.holder;
                        turnEnds = now + quantum;
                    }
                    return true;
                }
                waitFor(true, [&](Clock::time_point until) {
                    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
                    lock.pause(std::min(busyDelay(attempt), left));
                });
                continue;
            }
            if (isOpen() && owner.id() && this->owner() == owner.id()) {
                startWork(me);
                return false;
            }
            // The holder's work goes on further up this thread's stack: it
            // cannot end while this thread waits.
            if (isOpen() && worker == me)
                throw busy(false);
        }
        if (wait == Wait::UpToTimeout)
            place.take();
        // Woken when the work or transaction ends after its turn, or when the
        // turn is over.
        waitFor(false, [&](Clock::time_point until) {
            const bool turnGoesOn = turn != place.holder && Clock::now() < turnEnds;
            lock.waitUntil(turnGoesOn ? std::min(until, turnEnds) : until);
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
    notifyAfterTurn();
}

// Within its turn an owner goes on without waking those that wait to begin,
// unless it waits itself.
void TransactionGate::notifyAfterTurn() noexcept
{
    if (queue.empty() || NestingLock::Clock::now() >= turnEnds ||
        std::any_of(queue.begin(), queue.end(), [this](const Place* place) { return place->holder == turn; }))
        lock.notifyAll();
}
