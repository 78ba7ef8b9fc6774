// The save's plan from the log's list of changes: one pass over the rowids it
// holds, none of the rows' values.
#include "extension/save_plan.h"

#include "extension/save_failure.h"

#include <algorithm>

SQLITE_EXTENSION_INIT3

SavePlan planSave(sqlite3* db, const SavedTable& table, sqlite3_int64 rows)
{
    SavePlan plan;
    if (!table.log)
        return plan;
    std::vector<sqlite3_int64> inserted;
    sqlite3_stmt* listing = nullptr;
    int rc = sqlite3_prepare_v2(db, "SELECT rowid, original_rowid FROM ombrix_changes(?1)", -1, &listing, nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_bind_text(listing, 1, table.name.c_str(), -1, SQLITE_TRANSIENT);
    while (rc == SQLITE_OK && (rc = sqlite3_step(listing)) == SQLITE_ROW) {
        std::optional<sqlite3_int64> shown;
        if (sqlite3_column_type(listing, 0) != SQLITE_NULL)
            shown = sqlite3_column_int64(listing, 0);
        if (sqlite3_column_type(listing, 1) == SQLITE_NULL)
            inserted.push_back(sqlite3_column_int64(listing, 0));
        else
            plan.replaced[sqlite3_column_int64(listing, 1)] = shown;
        rc = SQLITE_OK;
    }
    sqlite3_finalize(listing);
    if (rc != SQLITE_DONE)
        throw Failure{rc, sqlite3_errmsg(db)};
    // A row of the log standing for an inner row the file no longer has (it
    // shrank under a kept log whose files were accepted) stands for none of it.
    for (auto at = plan.replaced.begin(); at != plan.replaced.end();) {
        if (at->first >= 1 && at->first <= rows) {
            ++at;
            continue;
        }
        if (at->second)
            inserted.push_back(*at->second);
        at = plan.replaced.erase(at);
    }
    // A row inserted at the rowid of a file row (the file grew under a kept
    // log whose files were accepted) hides that row, and takes its place.
    std::sort(inserted.begin(), inserted.end());
    for (sqlite3_int64 rowid : inserted) {
        if (rowid < 1 || rowid > rows || !plan.replaced.emplace(rowid, rowid).second)
            plan.appended.push_back(rowid);
    }
    for (const auto& [rowid, shownAs] : plan.replaced) {
        if (shownAs && *shownAs != rowid)
            plan.displaced.emplace(*shownAs, rowid);
    }
    for (sqlite3_int64 rowid : plan.appended) {
        if (rowid <= rows)
            plan.displaced.emplace(rowid, std::nullopt);
    }
    return plan;
}
