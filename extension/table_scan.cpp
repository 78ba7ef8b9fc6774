// The scan's statement names the rowid by the first of its names that no
// column of the table takes: a CSV header may well hold a column "rowid".
#include "extension/table_scan.h"

#include "extension/save_failure.h"

SQLITE_EXTENSION_INIT3

TableScan::TableScan(sqlite3* db, const SavedTable& table) : db(db)
{
    for (const char* name : {"rowid", "_rowid_", "oid"}) {
        const std::string sql = std::string("SELECT ") + name + ", * FROM " + qualifiedName(table);
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK)
            throw Failure{sqlite3_errcode(db), sqlite3_errmsg(db)};
        bool taken = false;
        for (int column = 1; column < sqlite3_column_count(statement); ++column)
            taken = taken || sqlite3_stricmp(sqlite3_column_name(statement, column), name) == 0;
        if (!taken)
            return;
        sqlite3_finalize(statement);
        statement = nullptr;
    }
    throw Failure{SQLITE_ERROR, "cannot save " + table.name + ": its columns take every name of the rowid"};
}

TableScan::~TableScan()
{
    sqlite3_finalize(statement);
}

bool TableScan::next()
{
    const int rc = sqlite3_step(statement);
    if (rc == SQLITE_DONE)
        return false;
    if (rc != SQLITE_ROW)
        throw Failure{rc, sqlite3_errmsg(db)};
    const sqlite3_int64 rowid = sqlite3_column_int64(statement, 0);
    if (current && rowid <= *current)
        throw Failure{SQLITE_ERROR, "row " + std::to_string(rowid) + " came out of rowid order while it was saved"};
    current = rowid;
    return true;
}
