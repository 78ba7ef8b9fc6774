// How long a host connection lets a statement wait for a lock: its busy
// timeout, as sqlite3_busy_timeout (the shell's .timeout) last set it.
#pragma once

#include <chrono>
#include <optional>

struct sqlite3;

// Asks db itself (PRAGMA busy_timeout) through the host's routines; none when
// it cannot be asked. Runs a statement on db: call it on the thread using db.
std::optional<std::chrono::milliseconds> hostBusyTimeout(sqlite3* db) noexcept;
