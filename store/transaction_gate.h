// Who may work in the history transaction and who waits for it: one
// transaction at a time, owned by one host connection until it ends, one
// thread at a time working in it, and threads that wait taking turns.
#pragma once

#include "store/nesting_lock.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>

class TransactionGate {
public:
    enum class Wait {
        // Waits for another thread's work or transaction, as SQLite's busy
        // handling waits for another process, up to the busy timeout.
        UpToTimeout,
        // Only begins a transaction of its own, or nests in this thread's work.
        Never,
    };

    // How long a write waits for another connection or process.
    static constexpr std::chrono::milliseconds busyTimeout{5000};
    // How long a thread that began a transaction may begin the next ones
    // before a thread that waits goes first: a statement at a time, threads
    // would hand the connection over at every one.
    static constexpr std::chrono::microseconds quantum{5000};

    // The gate's state is the lock's: every call is made holding it.
    explicit TransactionGate(NestingLock& lock, std::chrono::milliseconds timeout = busyTimeout)
        : lock(lock), timeout(timeout)
    {
    }

    // Starts work in the transaction on behalf of owner, a host connection, or
    // of the library itself (null), which joins the transaction this thread
    // worked in last. Joins owner's transaction; begins one with begin() when
    // none is open, which answers false while another process holds the file,
    // and is then tried again until the timeout. Another connection's
    // transaction fails at once with SQLITE_BUSY when this thread worked in it
    // last (waiting would never end), and is waited for otherwise. Threads
    // that wait to begin go in the order they came, after the thread that
    // began last has had its turn (quantum). Throws ErrorPair (SQLITE_BUSY
    // when the wait ends without it); true when it began.
    bool enter(const void* owner, Wait wait, const std::function<bool()>& begin);
    // Ends the work that enter() started; the transaction stays open.
    void leave() noexcept;
    // The transaction has ended: committed or rolled back.
    void end() noexcept;

    bool isOpen() const { return owner() != nullptr; }
    // The connection the transaction belongs to, or this gate for the
    // library's own; may be read without the lock.
    const void* owner() const { return owner_.load(std::memory_order_acquire); }

private:
    // Threads by a number never given twice: the ids of threads that ended
    // are given to new ones, which never worked in the transaction.
    using Thread = std::uint64_t;
    static Thread currentThread();
    void startWork(Thread me);
    void notifyAfterTurn() noexcept;

    NestingLock& lock;
    const std::chrono::milliseconds timeout;
    std::atomic<const void*> owner_{nullptr};
    Thread worker = 0;
    int depth = 0;
    Thread lastWorker = 0;
    // The threads that wait to begin a transaction, first come first, and
    // the thread whose turn it is to begin them until when.
    std::deque<Thread> queue;
    Thread turn = 0;
    NestingLock::Clock::time_point turnEnds;
};
