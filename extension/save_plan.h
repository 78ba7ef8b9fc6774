// Where each row a CSV table shows goes in its saved file, told from the
// table's change log alone: the file's rows in their places, each copied,
// left out or replaced by a row of the log, then the log's other rows.
#pragma once

#include "extension/saved_table.h"

#include <sqlite3ext.h>

#include <map>
#include <optional>
#include <unordered_map>
#include <vector>

struct SavePlan {
    // The file's rows that the log changed, by rowid (1..n): the rowid of the
    // row written in the place of each, none for a row left out.
    std::map<sqlite3_int64, std::optional<sqlite3_int64>> replaced;
    // The rows written after the file's, ascending.
    std::vector<sqlite3_int64> appended;
    // The rows that a walk of the table in rowid order meets elsewhere than
    // where they are written (a row moved above the file's rowids takes the
    // place of the file row it came from), each with that file row, if any.
    std::unordered_map<sqlite3_int64, std::optional<sqlite3_int64>> displaced;

    bool unchanged() const { return replaced.empty() && appended.empty(); }
    bool isDisplaced(sqlite3_int64 rowid) const { return !displaced.empty() && displaced.count(rowid) > 0; }
};

// The plan for table over its file of rows with rowids 1..rows, read from
// ombrix_changes without the rows' values. Throws Failure.
SavePlan planSave(sqlite3* db, const SavedTable& table, sqlite3_int64 rows);
