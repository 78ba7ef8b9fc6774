// A lock that one thread holds at a time and may take again while it holds
// it; a thread that holds it once may give it up while it waits for a change.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

class NestingLock {
public:
    using Clock = std::chrono::steady_clock;

    void lock()
    {
        const std::thread::id me = std::this_thread::get_id();
        if (holder.load(std::memory_order_relaxed) == me) {
            ++depth;
            return;
        }
        mutex.lock();
        holder.store(me, std::memory_order_relaxed);
        depth = 1;
    }

    void unlock()
    {
        if (--depth > 0)
            return;
        holder.store(std::thread::id(), std::memory_order_relaxed);
        mutex.unlock();
    }

    // How many times the calling thread holds the lock; 0 when it does not.
    int heldHere() const { return holder.load(std::memory_order_relaxed) == std::this_thread::get_id() ? depth : 0; }

    // Gives the lock up until notifyAll() or the deadline, then takes it back;
    // the caller holds it exactly once. False when the deadline passed.
    bool waitUntil(Clock::time_point deadline)
    {
        std::unique_lock<std::mutex> held(mutex, std::adopt_lock);
        holder.store(std::thread::id(), std::memory_order_relaxed);
        depth = 0;
        ++waiters;
        const bool notified = changed.wait_until(held, deadline) == std::cv_status::no_timeout;
        --waiters;
        holder.store(std::this_thread::get_id(), std::memory_order_relaxed);
        depth = 1;
        held.release();
        return notified;
    }

    // Gives the lock up for a while, then takes it back; held exactly once.
    void pause(std::chrono::milliseconds time)
    {
        unlock();
        std::this_thread::sleep_for(time);
        lock();
    }

    // Wakes the threads that wait; called holding the lock.
    void notifyAll()
    {
        if (waiters > 0)
            changed.notify_all();
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    std::atomic<std::thread::id> holder{};
    int depth = 0;
    int waiters = 0;
};
