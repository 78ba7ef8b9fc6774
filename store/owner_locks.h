// Which process owns which change log, visible to every process: each owned
// table name holds a lock on one byte of a file beside the history database,
// for as long as its log lives. The kernel drops the locks of a process that
// dies, so a log whose byte nobody locks is a leftover.
#pragma once

#include <QSet>
#include <QString>

class OwnerLocks {
public:
    // Opens (creating it when missing) the lock file at path; throws ErrorPair.
    explicit OwnerLocks(const QString& path);
    ~OwnerLocks();
    OwnerLocks(const OwnerLocks&) = delete;
    OwnerLocks& operator=(const OwnerLocks&) = delete;

    // Takes the lock of name for this process; false when another process
    // holds it. Taking a lock this process holds already succeeds.
    bool acquire(const QString& name);
    void release(const QString& name) noexcept;
    bool holds(const QString& name) const;
    // Whether some other process holds any lock at all.
    bool othersHoldAny() const;

private:
    int fd = -1;
    QSet<QString> held; // identifier keys
};
