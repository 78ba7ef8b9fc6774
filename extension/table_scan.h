// One walk over the rows a table shows, by a statement of its own: each row's
// rowid, then its columns, with rowids checked to ascend as the overlay merges
// the CSV module's rows and its log's.
#pragma once

#include "extension/saved_table.h"

#include <sqlite3ext.h>

#include <optional>
#include <string>

class TableScan {
public:
    // Throws Failure.
    TableScan(sqlite3* db, const SavedTable& table);
    ~TableScan();
    TableScan(const TableScan&) = delete;
    TableScan& operator=(const TableScan&) = delete;

    // Moves to the next row: false past the last. Throws Failure, also for a
    // rowid no greater than the one before.
    bool next();
    sqlite3_int64 rowid() const { return *current; }
    // The row: its rowid in column 0, the table's columns from column 1.
    sqlite3_stmt* row() const { return statement; }

private:
    sqlite3* db;
    sqlite3_stmt* statement = nullptr;
    std::optional<sqlite3_int64> current;
};
