// The overlay module table, the map of the whole overlay, and the export that
// registers it around a host's own module.
#include "common/mutex.h"
#include "overlay/callbacks.h"
#include "overlay/registration.h"
#include "overlay/save_function.h"

#include "quillmere.h"

const sqlite3_module overlayModule = {
    2,                 // iVersion: savepoints
    overlayCreate,     // xCreate
    overlayConnect,    // xConnect
    overlayBestIndex,  // xBestIndex
    overlayDisconnect, // xDisconnect
    overlayDestroy,    // xDestroy
    overlayOpen,       // xOpen
    overlayClose,      // xClose
    overlayFilter,     // xFilter
    overlayNext,       // xNext
    overlayEof,        // xEof
    overlayColumn,     // xColumn
    overlayRowid,      // xRowid
    overlayUpdate,     // xUpdate
    overlayBegin,      // xBegin
    overlaySync,       // xSync
    overlayCommit,     // xCommit
    overlayRollback,   // xRollback
    nullptr,           // xFindFunction
    overlayRename,     // xRename
    overlaySavepoint,  // xSavepoint
    overlayRelease,    // xRelease
    overlayRollbackTo, // xRollbackTo
    nullptr,           // xShadowName
};

int registerOverlay(sqlite3* db, const char* moduleName, const sqlite3_module* innerModule, void* innerClientData,
                    const HistoryLink& history, TableSave save)
{
    OverlayRegistration* registration = newOverlayRegistration(innerModule, innerClientData, history, save);
    // SQLite ends the registration when the connection closes, and at once
    // when registering fails.
    const int rc = sqlite3_create_module_v2(db, moduleName, &overlayModule, registration, deleteOverlayRegistration);
    return rc != SQLITE_OK ? rc : registerSaveFunction(db, history);
}

// Stored once, under a lock: a thread that reads the pointer filled has read
// it after the one store, and may read it plainly from then on.
void fillRoutines(const sqlite3_api_routines* routines)
{
    static Mutex filling;
    if (!routines || __atomic_load_n(&sqlite3_api, __ATOMIC_ACQUIRE))
        return;
    const MutexLock held(filling);
    if (!__atomic_load_n(&sqlite3_api, __ATOMIC_ACQUIRE))
        __atomic_store_n(&sqlite3_api, routines, __ATOMIC_RELEASE);
}

int wrapVirtualTableWithTransactions(sqlite3* db, const sqlite3_api_routines* routines,
                                     const sqlite3_module* innerModule, const char* moduleName)
{
    fillRoutines(routines);
    if (!__atomic_load_n(&sqlite3_api, __ATOMIC_ACQUIRE) || !innerModule)
        return SQLITE_MISUSE;
    return registerOverlay(db, moduleName, innerModule, nullptr, History::ofProcess());
}
