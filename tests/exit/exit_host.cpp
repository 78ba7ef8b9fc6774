// A plain host process, without QCoreApplication, that uses the overlay library
// and ends the way argv[1] says; "dump" prints what the history file in $HOME
// holds, or what the queries after it find there. Built linked to the library,
// and (with QUILLMERE_LIBRARY defined) loading it with dlopen and unloading it
// again, twice, before the exit. Rows print as "label: v1|v2|..." (a blob as
// "blob"); a failure exits with status 3.
#include "memory_module.h"
#include "routines.h"

#include "engine.h"

#include <dlfcn.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>

#ifndef QUILLMERE_LIBRARY
#include "quillmere.h"
#endif

using Wrap = int (*)(sqlite3*, const sqlite3_api_routines*, const sqlite3_module*, const char*);
using Register = int (*)(sqlite3*);

// A connection deliberately never closed. Not internal, so that leak checking
// still reaches what it holds.
sqlite3* leftOpen = nullptr;

namespace {

[[noreturn]] void fail(const std::string& what)
{
    std::fprintf(stderr, "exit_host: %s\n", what.c_str());
    std::exit(3);
}

// A failure ends the process, or with carryOn is printed as "label error N: message".
void run(sqlite3* db, const std::string& sql, const std::string& label = "row", bool carryOn = false)
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
        if (rc != SQLITE_OK && rc != SQLITE_DONE && !carryOn)
            fail(sql + ": " + sqlite3_errmsg(db));
        if (rc != SQLITE_OK && rc != SQLITE_DONE)
            return (void)std::printf("%s error %d: %s\n", label.c_str(), rc, sqlite3_errmsg(db));
    }
    std::fflush(stdout);
}

sqlite3* openWrapped(Wrap wrap, Register registerFunctions)
{
    sqlite3* db = nullptr;
    sqlite3_open(":memory:", &db);
    if (wrap(db, hostRoutines(), memory_module::module(), "overlay") != SQLITE_OK ||
        (registerFunctions && registerFunctions(db) != SQLITE_OK))
        fail("registration failed");
    return db;
}

void closeOrFail(sqlite3* db)
{
    if (sqlite3_close(db) != SQLITE_OK)
        fail(std::string("sqlite3_close: ") + sqlite3_errmsg(db));
}

// A table with writes that reach every log table: stored rows, the deleted set, two steps.
void writeRoads(sqlite3* db, const std::string& table)
{
    run(db,
        "CREATE VIRTUAL TABLE " + table + " USING overlay('/data/" + table + ".tab'); UPDATE " + table +
            " SET kind = 'closed' WHERE rowid = 2; INSERT INTO " + table +
            " VALUES ('Ring Road', 'primary');"
            "DELETE FROM " +
            table + " WHERE rowid = 3; SELECT ombrix_commit('" + table + "'); UPDATE " + table +
            " SET kind = 'pedestrian' WHERE rowid = 1",
        "commit");
}

// Closes its connection when destroyed: for the global below that is during
// static destruction, after main has returned.
struct ConnectionHolder {
    sqlite3* db = nullptr;
    ConnectionHolder() { memory_module::calls(); } // the module's state outlives the tables closed here
    ~ConnectionHolder()
    {
        if (db && sqlite3_close(db) != SQLITE_OK)
            std::abort();
    }
};

// Made before main, so destroyed after every static made while main runs.
ConnectionHolder earlyHolder;

sqlite3* openHistory(int flags)
{
    sqlite3* db = nullptr;
    sqlite3_open_v2((std::string(std::getenv("HOME")) + "/transactions.sqlite").c_str(), &db, flags, nullptr);
    return db;
}

void dump(int queries, char** query)
{
    sqlite3* db = openHistory(SQLITE_OPEN_READONLY);
    if (sqlite3_errcode(db) != SQLITE_OK) {
        std::printf("no history file\n");
    } else if (queries > 0) {
        for (int i = 0; i < queries; ++i)
            run(db, query[i], "history");
    } else {
        sqlite3_stmt* tables = nullptr;
        sqlite3_prepare_v2(db, "SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name", -1, &tables,
                           nullptr);
        while (sqlite3_step(tables) == SQLITE_ROW) {
            const std::string name = reinterpret_cast<const char*>(sqlite3_column_text(tables, 0));
            std::printf("table %s\n", name.c_str());
            run(db, "SELECT * FROM \"" + name + "\"", "  " + name);
        }
        sqlite3_finalize(tables);
    }
    sqlite3_close(db);
}

} // namespace

int main(int argc, char** argv)
{
    const std::string scenario = argc > 1 ? argv[1] : "";
    if (scenario == "dump")
        return dump(argc - 2, argv + 2), 0;
    const memory_module::TableData rows{{"name", "kind"},
                                        {{std::string("High Street"), std::string("primary")},
                                         {std::string("Mill Lane"), std::string("minor")},
                                         {std::string("Quarry Road"), std::string("track")}}};
    memory_module::setTable("/data/roads.tab", rows);
    memory_module::setTable("/data/lanes.tab", rows);
    memory_module::setTable("/data/big.tab", {{"v"}, std::vector<memory_module::Row>(3000, {sqlite3_int64(1)})});
#ifdef QUILLMERE_LIBRARY
    // The routines pointer lives in the host's engine library, loaded before the overlay.
    if (sqlite3_api)
        fail("routines pointer set before any extension ran");
    for (int cycle = 1; cycle <= 2; ++cycle) {
        void* library = dlopen(QUILLMERE_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        auto wrap = reinterpret_cast<Wrap>(library ? dlsym(library, "wrapVirtualTableWithTransactions") : nullptr);
        auto registerFunctions =
            reinterpret_cast<Register>(library ? dlsym(library, "quillmere_register_undoredo_functions") : nullptr);
        if (!wrap || !registerFunctions)
            fail(std::string("dlopen: ") + dlerror());
        sqlite3* db = openWrapped(wrap, registerFunctions);
        writeRoads(db, "roads");
        writeRoads(db, "lanes");
        run(db, "SELECT ombrix_undo('roads'); SELECT rowid, * FROM roads; DROP TABLE roads",
            "cycle " + std::to_string(cycle));
        closeOrFail(db);
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
    const Register functions = scenario == "reads-only" ? nullptr : quillmere_register_undoredo_functions;
    sqlite3* db = scenario == "plain" ? openHistory(SQLITE_OPEN_READWRITE)
                                      : openWrapped(wrapVirtualTableWithTransactions, functions);
    if (scenario == "session" || scenario == "plain") {
        // Statements from stdin, each followed by an empty line once done; "stall N"
        // makes the next one stop for good after N progress callbacks, to be killed.
        auto stall = [](void* left) {
            if (--*static_cast<int*>(left) > 0)
                return 0;
            std::printf("stalled\n\n");
            std::fflush(stdout);
            for (;;)
                pause();
        };
        int countdown = 0;
        char line[4096];
        while (std::printf("\n"), std::fflush(stdout), std::fgets(line, sizeof line, stdin)) {
            if (std::sscanf(line, "stall %d", &countdown) == 1)
                sqlite3_progress_handler(db, 100, stall, &countdown);
            else
                run(db, line, argc > 2 ? argv[2] : scenario, true);
        }
        leftOpen = db;
    } else if (scenario == "functions-only") {
        closeOrFail(db);
    } else if (scenario == "reads-only") {
        run(db, "CREATE VIRTUAL TABLE roads USING overlay('/data/roads.tab'); SELECT rowid, * FROM roads");
        closeOrFail(db);
    } else {
        writeRoads(db, "roads");
        run(db, "SELECT rowid, * FROM roads");
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
            closeOrFail(db);
        } else if (scenario == "killed") {
            std::raise(SIGKILL);
        } else {
            fail("unknown scenario " + scenario);
        }
    }
    return 0;
#endif
}
