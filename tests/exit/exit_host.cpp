// A plain host process, without QCoreApplication, that uses the overlay library
// and ends the way argv[1] says; "dump" prints what the history file in $HOME
// holds. Built linked to the library, and (with QUILLMERE_LIBRARY defined)
// loading it with dlopen and unloading it again, twice, before the exit. Rows
// print as "label: v1|v2|..." (a blob as "blob"); a failure exits with status 3.
#include "memory_module.h"
#include "routines.h"

#include "engine.h"
#include "quillmere.h"

#include <dlfcn.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

// A connection deliberately never closed. Not internal, so that leak checking
// still reaches what it holds.
sqlite3* leftOpen = nullptr;

namespace {

[[noreturn]] void fail(const std::string& what)
{
    std::fprintf(stderr, "exit_host: %s\n", what.c_str());
    std::exit(3);
}

void run(sqlite3* db, const std::string& sql, const std::string& label = "row")
{
    for (const char* rest = sql.c_str(); *rest;) {
        sqlite3_stmt* statement = nullptr;
        int rc = sqlite3_prepare_v2(db, rest, -1, &statement, &rest);
        while (statement && (rc = sqlite3_step(statement)) == SQLITE_ROW) {
            std::printf("%s:", label.c_str());
            for (int i = 0; i < sqlite3_column_count(statement); ++i) {
                const bool blob = sqlite3_column_type(statement, i) == SQLITE_BLOB;
                auto text = reinterpret_cast<const char*>(sqlite3_column_text(statement, i));
                std::printf("%s%s", i ? "|" : " ", blob ? "blob" : text ? text : "NULL");
            }
            std::printf("\n");
        }
        sqlite3_finalize(statement);
        if (rc != SQLITE_OK && rc != SQLITE_DONE)
            fail(sql + ": " + sqlite3_errmsg(db));
    }
    std::fflush(stdout);
}

void close(sqlite3* db)
{
    if (sqlite3_close(db) != SQLITE_OK)
        fail(std::string("sqlite3_close: ") + sqlite3_errmsg(db));
}

// A table whose writes reach every log table: stored rows, the deleted set, two steps.
void writeRoads(sqlite3* db, const std::string& table)
{
    run(db, "CREATE VIRTUAL TABLE " + table + " USING overlay('/data/" + table + ".tab'); UPDATE " + table +
                " SET kind = 'closed' WHERE rowid = 2; INSERT INTO " + table + " VALUES ('Ring Road', 'primary');"
                "DELETE FROM " + table + " WHERE rowid = 3; SELECT ombrix_commit('" + table + "'); UPDATE " + table +
                " SET kind = 'pedestrian' WHERE rowid = 1; SELECT rowid, * FROM " + table);
}

// Closes its connection when destroyed: for the global below that is during
// static destruction, after main has returned.
struct ConnectionHolder {
    sqlite3* db = nullptr;
    ConnectionHolder() { memory_module::calls(); } // the module's state outlives the tables closed here
    ~ConnectionHolder()
    {
        if (db)
            close(db);
    }
};

// Made before main, so destroyed after every static made while main runs.
ConnectionHolder earlyHolder;

} // namespace

int main(int argc, char** argv)
{
    const std::string scenario = argc > 1 ? argv[1] : "";
    sqlite3* db = nullptr;
    if (scenario == "dump") {
        const std::string path = std::string(std::getenv("HOME")) + "/transactions.sqlite";
        if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
            return std::printf("no history file\n"), sqlite3_close(db);
        sqlite3_stmt* tables = nullptr;
        sqlite3_prepare_v2(db, "SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name", -1, &tables, nullptr);
        while (sqlite3_step(tables) == SQLITE_ROW) {
            const std::string name = reinterpret_cast<const char*>(sqlite3_column_text(tables, 0));
            std::printf("table %s\n", name.c_str());
            run(db, "SELECT * FROM \"" + name + "\"", "  " + name);
        }
        sqlite3_finalize(tables);
        return close(db), 0;
    }
    const memory_module::TableData rows{{"name", "kind"},
                                        {{std::string("High Street"), std::string("primary")},
                                         {std::string("Mill Lane"), std::string("minor")},
                                         {std::string("Quarry Road"), std::string("track")}}};
    memory_module::setTable("/data/roads.tab", rows);
    memory_module::setTable("/data/lanes.tab", rows);
#ifdef QUILLMERE_LIBRARY
    // The routines pointer lives in the host's engine library, loaded before the overlay.
    if (sqlite3_api)
        fail("routines pointer set before any extension ran");
    for (int cycle = 1; cycle <= 2; ++cycle) {
        void* library = dlopen(QUILLMERE_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        auto wrap = reinterpret_cast<decltype(&wrapVirtualTableWithTransactions)>(
            library ? dlsym(library, "wrapVirtualTableWithTransactions") : nullptr);
        auto registerFunctions = reinterpret_cast<decltype(&quillmere_register_undoredo_functions)>(
            library ? dlsym(library, "quillmere_register_undoredo_functions") : nullptr);
        sqlite3_open(":memory:", &db);
        if (!wrap || !registerFunctions || wrap(db, hostRoutines(), memory_module::module(), "overlay") ||
            registerFunctions(db))
            fail("loading and registration failed");
        writeRoads(db, "roads");
        writeRoads(db, "lanes");
        run(db, "SELECT ombrix_undo('roads'); SELECT rowid, * FROM roads; DROP TABLE roads", "cycle " + std::to_string(cycle));
        close(db);
        // Every table is gone before the code behind the module goes away.
        if (dlclose(library) != 0)
            fail(std::string("dlclose: ") + dlerror());
        void* still = dlopen(QUILLMERE_LIBRARY, RTLD_NOW | RTLD_NOLOAD);
        std::printf("unloaded: %s\n", still ? "no" : "yes");
        if (still)
            dlclose(still);
    }
    return sqlite3_api ? 0 : 4;
#else
    sqlite3_open(":memory:", &db);
    if (wrapVirtualTableWithTransactions(db, hostRoutines(), memory_module::module(), "overlay") != SQLITE_OK ||
        (scenario != "reads-only" && quillmere_register_undoredo_functions(db) != SQLITE_OK))
        fail("registration failed");
    if (scenario == "functions-only") {
        close(db);
    } else if (scenario == "reads-only") {
        run(db, "CREATE VIRTUAL TABLE roads USING overlay('/data/roads.tab'); SELECT rowid, * FROM roads");
        close(db);
    } else if (scenario == "reopen" && argc > 2) {
        // A later process: a table takes the name, or the file, of one an
        // earlier process left behind, and shows its own writes only.
        const std::string table = argv[2];
        run(db, "CREATE VIRTUAL TABLE " + table + " USING overlay('/data/roads.tab'); INSERT INTO " + table +
                    " VALUES ('Bypass', 'primary'); SELECT rowid, * FROM " + table);
        leftOpen = db;
    } else {
        writeRoads(db, "roads");
        if (scenario == "open-at-exit") {
            leftOpen = db;
        } else if (scenario == "closed-by-global") {
            earlyHolder.db = db;
        } else if (scenario == "closed-by-late-static") {
            // Made after the library's history database, so destroyed before it.
            static ConnectionHolder lateHolder;
            lateHolder.db = db;
        } else if (scenario == "torn-down") {
            // One table dropped (xDestroy), one released by the close (xDisconnect).
            writeRoads(db, "lanes");
            run(db, "DROP TABLE roads");
            close(db);
        } else if (scenario == "killed") {
            std::raise(SIGKILL);
        } else {
            fail("unknown scenario " + scenario);
        }
    }
    return 0;
#endif
}
