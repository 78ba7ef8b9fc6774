// A plain host process, without QCoreApplication, that uses the overlay library
// and then ends the way argv[1] says, so that a driver can check that the exit
// does not crash and what it leaves in $HOME/transactions.sqlite.
//
// Built twice: linked against the library (exit_host), and with the library
// loaded by dlopen and unloaded again before the exit (exit_host_dlopen).
// Result rows are printed as "label: v1|v2|...", failures go to stderr with a
// non-zero exit status.
#include "memory_module.h"
#include "routines.h"

#include "engine.h"

#ifdef EXIT_HOST_DLOPEN
#include <dlfcn.h>
#else
#include "quillmere.h"
#endif

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

// A connection that is deliberately never closed. Not internal, so that the
// stores to it stay and leak checking still reaches what it holds.
sqlite3* leftOpen = nullptr;

namespace {

using WrapFunction = int (*)(sqlite3*, const sqlite3_api_routines*, const sqlite3_module*, const char*);
using RegisterFunction = int (*)(sqlite3*);

struct Entry {
    WrapFunction wrap = nullptr;
    RegisterFunction registerFunctions = nullptr;
};

[[noreturn]] void fail(const std::string& what)
{
    std::fprintf(stderr, "exit_host: %s\n", what.c_str());
    std::exit(3);
}

int printRow(void* label, int columns, char** values, char**)
{
    std::printf("%s: ", static_cast<const char*>(label));
    for (int i = 0; i < columns; ++i)
        std::printf("%s%s", i ? "|" : "", values[i] ? values[i] : "NULL");
    std::printf("\n");
    return 0;
}

void run(sqlite3* db, const std::string& sql, const char* label = "row")
{
    char* error = nullptr;
    if (sqlite3_exec(db, sql.c_str(), printRow, const_cast<char*>(label), &error) != SQLITE_OK) {
        std::string message = error ? error : "unknown error";
        sqlite3_free(error);
        fail(sql + ": " + message);
    }
    std::fflush(stdout);
}

// Two files with the same rows: the history store keys a table's log on its file.
void defineRoads()
{
    const memory_module::TableData rows{{"name", "kind"},
                                        {{std::string("High Street"), std::string("primary")},
                                         {std::string("Mill Lane"), std::string("minor")},
                                         {std::string("Quarry Road"), std::string("track")}}};
    memory_module::setTable("/data/roads.tab", rows);
    memory_module::setTable("/data/lanes.tab", rows);
}

sqlite3* openWrapped(const Entry& entry, bool withFunctions)
{
    sqlite3* db = nullptr;
    if (sqlite3_open(":memory:", &db) != SQLITE_OK)
        fail("sqlite3_open");
    if (entry.wrap(db, hostRoutines(), memory_module::module(), "overlay") != SQLITE_OK)
        fail("wrapVirtualTableWithTransactions");
    if (withFunctions && entry.registerFunctions(db) != SQLITE_OK)
        fail("quillmere_register_undoredo_functions");
    return db;
}

// Writes that reach every log table: stored rows, the deleted set, two steps.
void writeRoads(sqlite3* db, const std::string& table)
{
    run(db, "UPDATE " + table + " SET kind = 'closed' WHERE rowid = 2");
    run(db, "INSERT INTO " + table + " VALUES ('Ring Road', 'primary')");
    run(db, "DELETE FROM " + table + " WHERE rowid = 3");
    run(db, "SELECT ombrix_commit('" + table + "')", "commit");
    run(db, "UPDATE " + table + " SET kind = 'pedestrian' WHERE rowid = 1");
}

void closeOrFail(sqlite3* db)
{
    if (sqlite3_close(db) != SQLITE_OK)
        fail(std::string("sqlite3_close: ") + sqlite3_errmsg(db));
}

// Holds a connection and closes it when destroyed, which for the global below
// happens during static destruction, after main has returned.
struct ConnectionHolder {
    sqlite3* db = nullptr;
    ConnectionHolder()
    {
        // The module's own state must outlive the tables closed in ~ConnectionHolder.
        memory_module::calls();
    }
    ~ConnectionHolder()
    {
        if (db && sqlite3_close(db) != SQLITE_OK)
            std::abort();
    }
};

// Made before main, so destroyed after every static made while main runs.
ConnectionHolder earlyHolder;

#ifndef EXIT_HOST_DLOPEN

int linkedScenario(const std::string& scenario, const char* name)
{
    const Entry entry{wrapVirtualTableWithTransactions, quillmere_register_undoredo_functions};
    defineRoads();
    if (scenario == "functions-only") {
        closeOrFail(openWrapped(entry, true));
        return 0;
    }
    if (scenario == "reads-only") {
        sqlite3* db = openWrapped(entry, false);
        run(db, "CREATE VIRTUAL TABLE roads USING overlay('/data/roads.tab')");
        run(db, "SELECT rowid, * FROM roads");
        closeOrFail(db);
        return 0;
    }
    // A later process on the same home: a table takes the name (or the file)
    // of one an earlier process left behind, and shows its own writes only.
    if (scenario == "reopen") {
        const std::string table = name ? name : "roads";
        sqlite3* db = openWrapped(entry, true);
        run(db, "CREATE VIRTUAL TABLE " + table + " USING overlay('/data/roads.tab')");
        run(db, "SELECT rowid, * FROM " + table, "before");
        run(db, "INSERT INTO " + table + " VALUES ('Bypass', 'primary')");
        run(db, "SELECT rowid, * FROM " + table, "after");
        leftOpen = db;
        return 0;
    }

    sqlite3* db = openWrapped(entry, true);
    run(db, "CREATE VIRTUAL TABLE roads USING overlay('/data/roads.tab')");
    writeRoads(db, "roads");
    run(db, "SELECT rowid, * FROM roads", "after");
    if (scenario == "open-at-exit") {
        leftOpen = db;
    } else if (scenario == "closed-by-global") {
        earlyHolder.db = db;
    } else if (scenario == "closed-by-late-static") {
        // Made after the library's store, so destroyed before it.
        static ConnectionHolder lateHolder;
        lateHolder.db = db;
    } else if (scenario == "torn-down") {
        // One table dropped (xDestroy), one released by the close (xDisconnect).
        run(db, "CREATE VIRTUAL TABLE lanes USING overlay('/data/lanes.tab')");
        writeRoads(db, "lanes");
        run(db, "DROP TABLE roads");
        closeOrFail(db);
    } else if (scenario == "killed") {
        std::fflush(nullptr);
        std::raise(SIGKILL);
    } else {
        fail("unknown scenario " + scenario);
    }
    return 0;
}

#else

bool isLoaded(const char* library)
{
    void* handle = dlopen(library, RTLD_NOW | RTLD_NOLOAD);
    if (handle)
        dlclose(handle);
    return handle != nullptr;
}

// Loads the library, uses it with a table that is written, committed, undone
// and torn down, and unloads it again.
void dlopenCycle(int cycle)
{
    void* library = dlopen(QUILLMERE_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (!library)
        fail(std::string("dlopen: ") + dlerror());
    Entry entry;
    entry.wrap = reinterpret_cast<WrapFunction>(dlsym(library, "wrapVirtualTableWithTransactions"));
    entry.registerFunctions =
        reinterpret_cast<RegisterFunction>(dlsym(library, "quillmere_register_undoredo_functions"));
    if (!entry.wrap || !entry.registerFunctions)
        fail("dlsym");

    sqlite3* db = openWrapped(entry, true);
    run(db, "CREATE VIRTUAL TABLE roads USING overlay('/data/roads.tab')");
    run(db, "CREATE VIRTUAL TABLE lanes USING overlay('/data/lanes.tab')");
    writeRoads(db, "roads");
    writeRoads(db, "lanes");
    run(db, "SELECT ombrix_undo('roads')", "undo");
    const std::string label = "cycle" + std::to_string(cycle);
    run(db, "SELECT rowid, * FROM roads", label.c_str());
    run(db, "DROP TABLE roads");
    closeOrFail(db);
    // Every table is gone before the code behind the module goes away.
    if (dlclose(library) != 0)
        fail(std::string("dlclose: ") + dlerror());
    std::printf("unloaded%d: %s\n", cycle, isLoaded(QUILLMERE_LIBRARY) ? "no" : "yes");
    std::printf("qtsql-loaded%d: %s\n", cycle, isLoaded("libQt5Sql.so.5") ? "yes" : "no");
    std::fflush(stdout);
}

#endif

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        fail("usage: exit_host SCENARIO [TABLE]");
    const std::string scenario = argv[1];
#ifdef EXIT_HOST_DLOPEN
    // The routines pointer lives in the host's engine library, loaded before the overlay.
    if (sqlite3_api)
        fail("routines pointer set before any extension ran");
    defineRoads();
    const int cycles = scenario == "dlopen-cycles" && argc > 2 ? std::atoi(argv[2]) : 0;
    if (cycles < 1)
        fail("usage: exit_host_dlopen dlopen-cycles COUNT");
    for (int cycle = 1; cycle <= cycles; ++cycle)
        dlopenCycle(cycle);
    return sqlite3_api ? 0 : 4;
#else
    return linkedScenario(scenario, argc > 2 ? argv[2] : nullptr);
#endif
}
