// The read connections of the history file: opened as readers ask for them
// while fewer than a few are open, each lent to one reader at a time and kept
// for the next one, so that their page caches stay few.
#pragma once

#include "common/mutex.h"
#include "store/read_connection.h"

#include <QString>

#include <memory>
#include <vector>

class ReadConnections {
public:
    explicit ReadConnections(QString path, int most = 4) : path(std::move(path)), most(most) {}

    // A connection lent to the caller until it gives it back: an idle one,
    // or one opened now; null when every one is lent, or when the file
    // cannot be read so (then no other is tried).
    std::unique_ptr<ReadConnection> lend() noexcept;
    // Takes back a lent connection, its snapshot let go: an idle one keeps
    // no checkpoint of the file, in this process or another, from its log.
    void giveBack(std::unique_ptr<ReadConnection> connection) noexcept;
    // How many are open, lent or idle.
    int count() const;

private:
    const QString path;
    const int most;
    mutable Mutex mutex;
    std::vector<std::unique_ptr<ReadConnection>> idle GUARDED_BY(mutex);
    int opened GUARDED_BY(mutex) = 0;
    bool refused GUARDED_BY(mutex) = false;
};
