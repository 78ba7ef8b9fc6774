// quillmere_load: opens an extension as SQLite's load_extension does, runs its
// init function with the capturing routines and wraps every module it registers.
#include "extension/load_function.h"

#include "common/mutex.h"
#include "extension/capture.h"
#include "extension/csvtable_save.h"
#include "extension/dbf_save.h"
#include "extension/shp_save.h"
#include "overlay/callbacks.h"

#include <dlfcn.h>

#include <memory>
#include <new>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

using InitFunction = int (*)(sqlite3*, char**, const sqlite3_api_routines*);

// What quillmere_load did on one connection. Shared by the registrations of the
// function on it (the extension may be loaded twice) and gone with the last.
struct ConnectionLoads {
    sqlite3* db;
    // Where the overlays this function registers keep their logs.
    HistoryLink history;
    std::set<void*> files;
    std::set<std::string> wrappedModules;
    ~ConnectionLoads();
};

Mutex connectionsMutex;

// Gone at exit (or unload): a connection closed later has nothing to remove.
struct ConnectionMap {
    std::unordered_map<sqlite3*, std::weak_ptr<ConnectionLoads>> entries;
    static inline bool destroyed = false;
    ~ConnectionMap() { destroyed = true; }
};

std::unordered_map<sqlite3*, std::weak_ptr<ConnectionLoads>>& connections()
{
    static ConnectionMap map;
    return map.entries;
}

ConnectionLoads::~ConnectionLoads()
{
    const MutexLock lock(connectionsMutex);
    if (ConnectionMap::destroyed)
        return;
    auto it = connections().find(db);
    if (it != connections().end() && it->second.expired())
        connections().erase(it);
}

std::shared_ptr<ConnectionLoads> loadsOf(sqlite3* db, const HistoryLink& history)
{
    const MutexLock lock(connectionsMutex);
    std::weak_ptr<ConnectionLoads>& slot = connections()[db];
    std::shared_ptr<ConnectionLoads> loads = slot.lock();
    if (!loads) {
        loads = std::make_shared<ConnectionLoads>();
        loads->db = db;
        loads->history = history;
        slot = loads;
    }
    return loads;
}

void releaseLoads(void* holder)
{
    delete static_cast<std::shared_ptr<ConnectionLoads>*>(holder);
}

bool isAsciiLetter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// SQLite's rule: "sqlite3_" + the letters of the file name, after a leading
// "lib" and up to the first dot, in lower case, + "_init".
std::string entryPointFromFileName(const std::string& path)
{
    std::string::size_type start = path.find_last_of('/');
    start = start == std::string::npos ? 0 : start + 1;
    if (foldedModuleName(path.substr(start, 3)) == "lib")
        start += 3;
    std::string name = "sqlite3_";
    for (std::string::size_type i = start; i < path.size() && path[i] != '.'; ++i)
        if (isAsciiLetter(path[i]))
            name += foldedModuleName(std::string(1, path[i]));
    return name + "_init";
}

// The path as given, then with ".so" appended, with the flags SQLite uses.
void* openLibrary(const std::string& path, std::string& error)
{
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL);
    if (handle)
        return handle;
    const char* reason = dlerror();
    error = reason ? reason : "unknown error";
    return dlopen((path + ".so").c_str(), RTLD_NOW | RTLD_GLOBAL);
}

InitFunction findEntryPoint(void* handle, const std::string& path, const std::string& given, std::string& error)
{
    std::vector<std::string> names;
    if (!given.empty())
        names = {given};
    else
        names = {"sqlite3_extension_init", entryPointFromFileName(path)};
    for (const std::string& name : names)
        if (void* symbol = dlsym(handle, name.c_str()))
            return reinterpret_cast<InitFunction>(symbol);
    error = "no entry point " + names.front() + (names.size() > 1 ? " or " + names.back() : "") + " in " + path;
    return nullptr;
}

struct LoadError {
    int code;
    std::string message;
};

// A path or symbol name; one holding a NUL byte would reach dlopen or dlsym cut
// short there, naming another file or symbol: refused.
std::string text(sqlite3_value* value)
{
    const auto* bytes = reinterpret_cast<const char*>(sqlite3_value_text(value));
    std::string given =
        bytes ? std::string(bytes, static_cast<std::size_t>(sqlite3_value_bytes(value))) : std::string();
    if (given.find('\0') != std::string::npos)
        throw LoadError{SQLITE_ERROR, "a path or entry point may not hold a NUL byte"};
    return given;
}

// Loads the extension at path on db; returns the overlay names, comma-separated.
std::string load(ConnectionLoads& loads, sqlite3* db, const std::string& path, const std::string& entryPoint)
{
    int enabled = 0;
    if (sqlite3_db_config(db, SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION, -1, &enabled) != SQLITE_OK || !enabled)
        throw LoadError{SQLITE_ERROR, "extension loading is not enabled on this connection"};
    std::string error;
    // Never closed: an extension stays loaded while any connection may still
    // use its modules, and no one can tell when the last such use ends.
    void* handle = openLibrary(path, error);
    if (!handle)
        throw LoadError{SQLITE_ERROR, error};
    if (loads.files.count(handle))
        throw LoadError{SQLITE_ERROR, path + " is already loaded on this connection"};
    InitFunction init = findEntryPoint(handle, path, entryPoint, error);
    if (!init)
        throw LoadError{SQLITE_ERROR, error};
    if (init == sqlite3_quillmereextension_init)
        throw LoadError{SQLITE_ERROR, path + " is this extension: load it with load_extension"};

    ModuleCapture capture(db, loads.wrappedModules);
    char* message = nullptr;
    const int rc = init(db, &message, capturingRoutines());
    error = message ? message : sqlite3_errstr(rc);
    sqlite3_free(message);
    if (!capture.refusedName().empty())
        throw LoadError{SQLITE_ERROR, path + " registers module " + capture.refusedName() +
                                          ", which an extension loaded earlier on this connection registered"};
    if (rc != SQLITE_OK && rc != SQLITE_OK_LOAD_PERMANENTLY)
        throw LoadError{rc, path + ": initialization failed: " + error};
    loads.files.insert(handle);

    std::string names;
    for (const CapturedModule& captured : capture.modules()) {
        const std::string overlayName = "editable_" + captured.name;
        // The inner module's destructor stays SQLite's to run, once.
        const TableSave save = isCsvtableModule(captured.name, captured.module) ? saveCsvtableTable
                               : isDbfModule(captured.name, captured.module)    ? saveDbfTable
                               : isShapeModule(captured.name, captured.module)  ? saveShapeTable
                                                                                : nullptr;
        const int wrapped =
            registerOverlay(db, overlayName.c_str(), captured.module, captured.clientData, loads.history, save);
        if (wrapped != SQLITE_OK)
            throw LoadError{wrapped, "cannot register " + overlayName + ": " + sqlite3_errstr(wrapped)};
        loads.wrappedModules.insert(foldedModuleName(captured.name));
        names += (names.empty() ? "" : ",") + overlayName;
    }
    return names;
}

void loadFunction(sqlite3_context* ctx, int argc, sqlite3_value** argv)
{
    try {
        if (argc < 1 || argc > 2 || sqlite3_value_type(argv[0]) == SQLITE_NULL)
            throw LoadError{SQLITE_ERROR, "usage: quillmere_load(path [, entry_point])"};
        auto& loads = *static_cast<std::shared_ptr<ConnectionLoads>*>(sqlite3_user_data(ctx));
        const std::string names =
            load(*loads, sqlite3_context_db_handle(ctx), text(argv[0]), argc > 1 ? text(argv[1]) : std::string());
        sqlite3_result_text(ctx, names.c_str(), static_cast<int>(names.size()), SQLITE_TRANSIENT);
    } catch (const LoadError& error) {
        const std::string message = "quillmere_load: " + error.message;
        sqlite3_result_error(ctx, message.c_str(), static_cast<int>(message.size()));
        sqlite3_result_error_code(ctx, error.code);
    } catch (const std::bad_alloc&) {
        sqlite3_result_error_nomem(ctx);
    }
}

} // namespace

int registerLoadFunction(sqlite3* db, const HistoryLink& history)
{
    std::shared_ptr<ConnectionLoads>* holder = nullptr;
    try {
        holder = new std::shared_ptr<ConnectionLoads>(loadsOf(db, history));
    } catch (const std::bad_alloc&) {
        return SQLITE_NOMEM;
    }
    // Direct-only, like load_extension: SQLite refuses it in the views and
    // triggers of a database's schema; TEMP ones, which it trusts, can call it.
    return sqlite3_create_function_v2(db, "quillmere_load", -1, SQLITE_UTF8 | SQLITE_DIRECTONLY, holder, loadFunction,
                                      nullptr, nullptr, releaseLoads);
}
