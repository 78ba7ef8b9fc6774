// A small host: wraps its in-memory module with the overlay and reads a table
// through it, printing every row.
#include "memory_module.h"
#include "quillmere.h"
#include "routines.h"

#include <cstdio>

namespace {

int printRow(void*, int columns, char** values, char** names)
{
    for (int i = 0; i < columns; ++i)
        std::printf("%s%s=%s", i ? "  " : "", names[i], values[i] ? values[i] : "NULL");
    std::printf("\n");
    return 0;
}

bool run(sqlite3* db, const char* sql)
{
    std::printf("sqlite> %s\n", sql);
    char* error = nullptr;
    if (sqlite3_exec(db, sql, printRow, nullptr, &error) != SQLITE_OK) {
        std::printf("error: %s\n", error ? error : "unknown");
        sqlite3_free(error);
        return false;
    }
    return true;
}

} // namespace

int main()
{
    using namespace memory_module;
    setTable("/data/roads.tab", TableData{{"name", "kind", "length_km"},
                                          {{std::string("High Street"), std::string("primary"), 1.2},
                                           {std::string("Mill Lane"), std::string("minor"), 0.4},
                                           {std::string("Quarry Road"), std::string("track"), 3.75}}});
    sqlite3* db = nullptr;
    sqlite3_open(":memory:", &db);
    int rc = wrapVirtualTableWithTransactions(db, hostRoutines(), module(), "overlay");
    std::printf("wrapVirtualTableWithTransactions -> %d\n", rc);
    rc = quillmere_register_undoredo_functions(db);
    std::printf("quillmere_register_undoredo_functions -> %d\n", rc);
    bool ok = run(db, "CREATE VIRTUAL TABLE roads USING overlay('/data/roads.tab')") &&
              run(db, "SELECT rowid, * FROM roads") &&
              run(db, "UPDATE roads SET kind = 'closed' WHERE name = 'Mill Lane'") &&
              run(db, "INSERT INTO roads VALUES ('Ring Road', 'primary', 7.1)") &&
              run(db, "DELETE FROM roads WHERE kind = 'track'") &&
              run(db, "SELECT rowid, * FROM roads") &&
              run(db, "SELECT ombrix_commit('roads')") &&
              run(db, "DELETE FROM roads WHERE rowid = 1") &&
              run(db, "SELECT ombrix_undo('roads')") &&
              run(db, "SELECT rowid, name FROM roads") &&
              run(db, "SELECT ombrix_undo('roads')") &&
              run(db, "SELECT rowid, * FROM roads") &&
              run(db, "SELECT ombrix_redo('roads')") &&
              run(db, "SELECT rowid, * FROM roads") &&
              run(db, "SELECT name FROM roads WHERE length_km > 1 ORDER BY name DESC");
    run(db, "SELECT ombrix_undo('no_such_table')");
    run(db, "CREATE VIRTUAL TABLE nopath USING overlay");
    sqlite3_close(db);
    return ok ? 0 : 1;
}
