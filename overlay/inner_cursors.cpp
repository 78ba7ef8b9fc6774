// The one list of inner cursors kept open, with the runs of writing
// statements each waits for. A run is a statement with its run count: one
// statement prepared once runs again and again. Statements are only compared
// with those SQLite lists as running, never followed: one may be finalized.
// Connections on other threads share the list; cursors close outside its lock.
#include "overlay/inner_cursors.h"

#include "common/mutex.h"

#include <algorithm>
#include <atomic>
#include <vector>

namespace {

using Run = std::pair<sqlite3_stmt*, int>;

struct KeptCursor {
    sqlite3* db;
    sqlite3_vtab_cursor* cursor;
    std::vector<Run> writers;
};

Mutex keptMutex;
std::vector<KeptCursor> kept GUARDED_BY(keptMutex);
// How many are kept, read without the lock where none usually are.
std::atomic<size_t> keptCount{0};

std::vector<Run> runningWriters(sqlite3* db)
{
    std::vector<Run> writers;
    for (sqlite3_stmt* statement = sqlite3_next_stmt(db, nullptr); statement;
         statement = sqlite3_next_stmt(db, statement)) {
        if (sqlite3_stmt_busy(statement) && !sqlite3_stmt_readonly(statement))
            writers.emplace_back(statement, sqlite3_stmt_status(statement, SQLITE_STMTSTATUS_RUN, 0));
    }
    return writers;
}

// Whether run goes on: SQLite lists its statement as running the same run.
// Asked of the connection that calls, which holds its own mutex already.
bool goesOn(sqlite3* db, const Run& run)
{
    for (sqlite3_stmt* statement = sqlite3_next_stmt(db, nullptr); statement;
         statement = sqlite3_next_stmt(db, statement)) {
        if (statement == run.first)
            return sqlite3_stmt_busy(statement) && !sqlite3_stmt_readonly(statement) &&
                   sqlite3_stmt_status(statement, SQLITE_STMTSTATUS_RUN, 0) == run.second;
    }
    return false;
}

void closeCursor(sqlite3_vtab_cursor* cursor)
{
    cursor->pVtab->pModule->xClose(cursor);
}

// Finds the next match afresh after each close, since an inner module's
// xClose may run statements that come back here.
template <typename Matches>
void closeWhere(Matches&& matches) noexcept
{
    for (;;) {
        sqlite3_vtab_cursor* cursor = nullptr;
        {
            const MutexLock held(keptMutex);
            const auto at = std::find_if(kept.begin(), kept.end(), matches);
            if (at == kept.end())
                return;
            cursor = at->cursor;
            kept.erase(at);
            keptCount.store(kept.size(), std::memory_order_relaxed);
        }
        closeCursor(cursor);
    }
}

} // namespace

void closeInnerCursor(sqlite3* db, sqlite3_vtab_cursor* inner, bool onRow) noexcept
{
    try {
        if (onRow) {
            std::vector<Run> writers = runningWriters(db);
            if (!writers.empty()) {
                const MutexLock held(keptMutex);
                kept.push_back({db, inner, std::move(writers)});
                keptCount.store(kept.size(), std::memory_order_relaxed);
                return;
            }
        }
    } catch (...) {
        // Out of memory: the values go with the cursor, as on the inner table alone.
    }
    closeCursor(inner);
}

void closeFinishedCursors(sqlite3* db) noexcept
{
    if (keptCount.load(std::memory_order_relaxed) == 0)
        return;
    closeWhere([db](const KeptCursor& entry) {
        return entry.db == db && std::none_of(entry.writers.begin(), entry.writers.end(),
                                              [db](const Run& writer) { return goesOn(db, writer); });
    });
}

void closeKeptCursors(sqlite3* db) noexcept
{
    closeWhere([db](const KeptCursor& entry) { return entry.db == db; });
}

void closeKeptCursors(sqlite3_vtab* innerTable) noexcept
{
    closeWhere([innerTable](const KeptCursor& entry) { return entry.cursor->pVtab == innerTable; });
}
