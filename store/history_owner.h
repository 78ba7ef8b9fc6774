// On whose behalf work runs in the history transaction: a host connection,
// which holds the transaction from its first write to its end on whatever
// threads run its statements, or the library itself.
#pragma once

#include "common/host_timeout.h"

#include <chrono>

class HistoryOwner {
public:
    // The library's own work: inside the work this thread is doing in the
    // transaction at the moment, or else in a transaction of its own.
    HistoryOwner() = default;
    // A host connection's work (a connection is what usually works there, so
    // it converts): joins that connection's transaction, and waits for
    // another one's up to the connection's busy timeout.
    HistoryOwner(sqlite3* connection) : id_(connection), connection_(connection) {}
    // The library's own work for what (a log that ends with its table): in
    // a transaction apart from every connection's, which it never joins.
    static HistoryOwner apart(const void* what)
    {
        HistoryOwner owner;
        owner.id_ = what;
        return owner;
    }

    // Who holds a transaction this work begins; null for the library's own.
    const void* id() const { return id_; }
    // How long this work waits for another connection or process: the
    // connection's busy timeout, else fallback. Asked only when it must wait.
    std::chrono::milliseconds patience(std::chrono::milliseconds fallback) const
    {
        return connection_ ? hostBusyTimeout(connection_).value_or(fallback) : fallback;
    }

private:
    const void* id_ = nullptr;
    sqlite3* connection_ = nullptr;
};
