// Who may work in the history transaction and who waits for it: one
// transaction at a time, held by one owner until it ends whichever threads
// run its work, one thread at a time working in it, and owners that wait
// taking turns.
#pragma once

#include "store/history_owner.h"
#include "store/nesting_lock.h"

#include <QByteArray>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>

class TransactionGate {
public:
    enum class Wait {
        // Waits for another owner's transaction, or another thread's work, as
        // SQLite waits for another process's lock: up to the owner's patience.
        UpToTimeout,
        // Only begins a transaction of its own, joins its owner's, or nests in
        // this thread's work.
        Never,
    };

    // How long the library's own work waits for another connection or
    // process, and the history connection's statements for another process.
    static constexpr std::chrono::milliseconds busyTimeout{5000};
    // How long an owner that began a transaction may begin the next ones
    // before one that waits goes first: a statement at a time, connections
    // would hand the file over at every one.
    static constexpr std::chrono::microseconds quantum{5000};

    // The gate's state is the lock's: every call is made holding it. file
    // names the history database in failures; timeout is how long the
    // library's own work waits.
    TransactionGate(NestingLock& lock, QByteArray file, std::chrono::milliseconds timeout = busyTimeout)
        : lock(lock), file(std::move(file)), timeout(timeout)
    {
    }

    // Starts work in the transaction on behalf of owner. Joins owner's
    // transaction, or for the library's own work the work this thread is
    // doing; begins one with begin() when none is open, which answers false
    // while another process holds the file, and is then tried again. Waits
    // for another owner's transaction, and for another thread's work, up to
    // owner's patience; fails at once where waiting could never end: the
    // holder's work goes on further up this thread's stack, or this thread
    // holds the lock more than once. Owners that wait to begin go in the order
    // they came, after the one that began last has had its turn (quantum).
    // Throws ErrorPair (SQLITE_BUSY naming the file); true when it began.
    bool enter(const HistoryOwner& owner, Wait wait, const std::function<bool()>& begin);
    // Ends the work that enter() started; the transaction stays open.
    void leave() noexcept;
    // The transaction has ended: committed or rolled back.
    void end() noexcept;

    bool isOpen() const { return owner() != nullptr; }
    // The owner's id holding the transaction, or this gate for the library's
    // own; may be read without the lock.
    const void* owner() const { return owner_.load(std::memory_order_acquire); }

private:
    // Threads by a number never given twice: the ids of threads that ended
    // are given to new ones.
    using Thread = std::uint64_t;
    static Thread currentThread();
    struct Place;
    void startWork(Thread me);
    void notifyAfterTurn() noexcept;

    NestingLock& lock;
    const QByteArray file;
    const std::chrono::milliseconds timeout;
    std::atomic<const void*> owner_{nullptr};
    Thread worker = 0;
    int depth = 0;
    // The waits to begin a transaction, first come first, and the owner whose
    // turn it is to begin them until when.
    std::deque<const Place*> queue;
    const void* turn = nullptr;
    NestingLock::Clock::time_point turnEnds;
};
