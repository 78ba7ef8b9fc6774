// The library's plain locks and their scoped holds, annotated for the
// thread-safety analysis (std::mutex is not), and the order they are taken in.
#pragma once

#include "common/thread_annotations.h"

#include <mutex>

// The lock order, outermost first; a thread takes a lock only while it holds
// none listed after it:
//   1. the history transaction (store/transaction_gate.h): not a lock but a
//      turn, waited for holding no lock but the connection's, given up
//      while waiting;
//   2. a change log's lock (StoredChangeLog, a RecursiveMutex);
//   3. the history file's (HistoryFile: which connection is open);
//   4. the history connection's (SqliteDatabase, a NestingLock);
//   5. leaves, which take no lock while held: the open tables' registry
//      (OpenTables), the owners' locks (OwnerLocks), the read connections
//      (ReadConnections), the threads that make Qt connections
//      (QtConnection), and in the overlay and the extension the tables
//      made inside a transaction, the kept inner cursors, the routines
//      pointer and the connections quillmere_load served.

class CAPABILITY("mutex") Mutex {
public:
    void lock() ACQUIRE() { mutex.lock(); }
    void unlock() RELEASE() { mutex.unlock(); }

private:
    std::mutex mutex;
};

// Taken again by the thread that holds it: one more hold to give up.
class CAPABILITY("mutex") RecursiveMutex {
public:
    void lock() ACQUIRE() { mutex.lock(); }
    void unlock() RELEASE() { mutex.unlock(); }

private:
    std::recursive_mutex mutex;
};

template <typename Lockable>
class SCOPED_CAPABILITY Holding {
public:
    explicit Holding(Lockable& lockable) ACQUIRE(lockable) : lockable(lockable) { lockable.lock(); }
    ~Holding() RELEASE() { lockable.unlock(); }
    Holding(const Holding&) = delete;
    Holding& operator=(const Holding&) = delete;

private:
    Lockable& lockable;
};

using MutexLock = Holding<Mutex>;
