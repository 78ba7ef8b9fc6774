// A lock that one thread holds at a time and may take again while it holds
// it; a thread that holds it once may give it up while it waits for a change.
#pragma once

#include "common/thread_annotations.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

class CAPABILITY("mutex") NestingLock {
public:
    using Clock = std::chrono::steady_clock;

    void lock() ACQUIRE()
    {
        const std::thread::id me = std::this_thread::get_id();
        if (holder.load(std::memory_order_relaxed) == me) {
            ++depth;
            return;
        }
        // No spinning: on a machine busier than its cores, a thread that
        // watches for the lock keeps the holder from running.
        mutex.lock();
        holder.store(me, std::memory_order_relaxed);
        depth = 1;
    }

    // Takes the lock only if no other thread holds it; whether it did.
    bool tryLock() TRY_ACQUIRE(true)
    {
        const std::thread::id me = std::this_thread::get_id();
        if (holder.load(std::memory_order_relaxed) == me) {
            ++depth;
            return true;
        }
        if (!mutex.try_lock())
            return false;
        holder.store(me, std::memory_order_relaxed);
        depth = 1;
        return true;
    }

    void unlock() RELEASE()
    {
        if (--depth > 0)
            return;
        holder.store(std::thread::id(), std::memory_order_relaxed);
        mutex.unlock();
    }

    // How many times the calling thread holds the lock; 0 when it does not.
    int heldHere() const { return holder.load(std::memory_order_relaxed) == std::this_thread::get_id() ? depth : 0; }

    // Gives the lock up until notifyAll() or the time given, then takes it
    // back; the caller holds it exactly once.
    void waitUntil(Clock::time_point time)
    {
        std::unique_lock<std::mutex> held(mutex, std::adopt_lock);
        holder.store(std::thread::id(), std::memory_order_relaxed);
        depth = 0;
        ++waiters;
        changed.wait_until(held, time);
        --waiters;
        holder.store(std::this_thread::get_id(), std::memory_order_relaxed);
        depth = 1;
        held.release();
    }

    // Gives the lock up for a while, then takes it back; held exactly once.
    void pause(std::chrono::milliseconds time) NO_THREAD_SAFETY_ANALYSIS
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
    // On lines of their own: what the holder writes at every nested take,
    // what waiting threads read, and what both only touch now and then.
    alignas(64) std::mutex mutex;
    std::condition_variable changed;
    int waiters = 0;
    alignas(64) std::atomic<std::thread::id> holder{};
    alignas(64) int depth = 0;
};
