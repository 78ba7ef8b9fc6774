// Which process owns which change log, visible to every process: each owned
// table name holds a lock on one byte of a file beside the history database,
// for as long as its log lives. The kernel drops the locks of a process that
// dies, so a log whose byte nobody locks is a leftover.
#pragma once

#include <QHash>
#include <QString>

#include "common/mutex.h"

class OwnerLocks {
public:
    // Opens (creating it when missing) the lock file at path; throws ErrorPair.
    explicit OwnerLocks(const QString& path);
    ~OwnerLocks();
    OwnerLocks(const OwnerLocks&) = delete;
    OwnerLocks& operator=(const OwnerLocks&) = delete;

    // Takes the lock of name for this process; false when another process
    // holds it. Each acquire() that succeeds is matched by one release(): the
    // lock goes with the last, so that threads may hold it meanwhile.
    bool acquire(const QString& name);
    void release(const QString& name) noexcept;
    bool holds(const QString& name) const;

    // A lock of name held for one operation, released at its end unless kept.
    class Claim {
    public:
        // Takes the lock unless another process holds it: see taken().
        Claim(OwnerLocks& locks, const QString& name) : locks(locks), name(name), taken_(locks.acquire(name)) {}
        ~Claim()
        {
            if (taken_ && !kept)
                locks.release(name);
        }
        Claim(const Claim&) = delete;
        Claim& operator=(const Claim&) = delete;
        bool taken() const { return taken_; }
        // The lock stays after the claim, for a log that lives on.
        void keep() { kept = true; }

    private:
        OwnerLocks& locks;
        QString name;
        bool taken_;
        bool kept = false;
    };

private:
    int fd = -1;
    mutable Mutex mutex;
    QHash<QString, int> held GUARDED_BY(mutex); // by identifier key: how many holders
};
