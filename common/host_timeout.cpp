// The host's busy timeout, read from the connection through the routines
// pointer like everything else on the host's side: SQLite offers no getter.
#include "common/host_timeout.h"

#include "common/routines.h"

std::optional<std::chrono::milliseconds> hostBusyTimeout(sqlite3* db) noexcept
{
    if (!sqlite3_api || !db)
        return std::nullopt;
    sqlite3_stmt* statement = nullptr;
    std::optional<std::chrono::milliseconds> timeout;
    if (sqlite3_prepare_v2(db, "PRAGMA busy_timeout", -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW)
        timeout = std::chrono::milliseconds(sqlite3_column_int64(statement, 0));
    sqlite3_finalize(statement);
    return timeout;
}
