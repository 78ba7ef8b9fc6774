// How a table of the CSV module answers a query: the constraints it takes (the
// rowid by =, IN, <, <=, >, >=; the key column by = and IN), what that costs,
// and in xFilter the rows to visit, always in rowid order.
#pragma once

#include "csv_reader.h"

#include <sqlite3.h>

#include <cstddef>
#include <vector>

namespace csvfile {

// Fills info with the plan for a table over file: each constraint taken gets
// a letter of idxStr and the argument of the same place. SQLite checks every
// constraint again on each row visited (none is omitted). Returns SQLITE_NOMEM
// when idxStr cannot be made.
int planQuery(const CsvFile& file, sqlite3_index_info* info);

// The rowids to visit, ascending: first to last, or those listed.
struct Visit {
    sqlite3_int64 first = 1;
    sqlite3_int64 last = 0;
    bool listed = false;
    std::vector<sqlite3_int64> rowids;

    bool empty() const { return listed ? rowids.empty() : first > last; }
};

// Sets visit to the rows that may meet the plan's constraints, given their
// values: all that do, and some others at most. Returns SQLite's code when an
// IN list cannot be read; may throw std::bad_alloc.
int visitFor(const CsvFile& file, const char* idxStr, int argc, sqlite3_value** argv, Visit& visit);

} // namespace csvfile
