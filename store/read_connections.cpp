// Lending read connections: the pool's lock is held only to take or give one
// back; a connection is opened outside it.
#include "store/read_connections.h"

std::unique_ptr<ReadConnection> ReadConnections::lend() noexcept
{
    {
        const MutexLock held(mutex);
        if (!idle.empty()) {
            std::unique_ptr<ReadConnection> connection = std::move(idle.back());
            idle.pop_back();
            return connection;
        }
        if (refused || opened >= most)
            return nullptr;
        ++opened;
    }
    try {
        return std::make_unique<ReadConnection>(path);
    } catch (...) {
        const MutexLock held(mutex);
        --opened;
        refused = true;
        return nullptr;
    }
}

void ReadConnections::giveBack(std::unique_ptr<ReadConnection> connection) noexcept
{
    connection->letGo();
    const MutexLock held(mutex);
    try {
        idle.push_back(std::move(connection));
    } catch (...) {
        --opened;
    }
}

int ReadConnections::count() const
{
    const MutexLock held(mutex);
    return opened;
}
