// The overlay module table and the export that registers it around a host's
// own module.
#include "overlay/callbacks.h"
#include "overlay/registration.h"
#include "overlay/routines.h"

#include "quillmere.h"

const sqlite3_module overlayModule = {
    1,                 // iVersion
    overlayCreate,     // xCreate
    overlayCreate,     // xConnect: the inner table is made and counted again
    overlayBestIndex,  // xBestIndex
    overlayDisconnect, // xDisconnect: the log stays for a reconnect
    overlayDestroy,    // xDestroy
    overlayOpen,       // xOpen
    overlayClose,      // xClose
    overlayFilter,     // xFilter
    overlayNext,       // xNext
    overlayEof,        // xEof
    overlayColumn,     // xColumn
    overlayRowid,      // xRowid
    overlayUpdate,     // xUpdate
    nullptr,           // xBegin: writes are recorded while xUpdate runs
    nullptr,           // xSync
    nullptr,           // xCommit
    nullptr,           // xRollback
    nullptr,           // xFindFunction
    nullptr,           // xRename
    nullptr,           // xSavepoint
    nullptr,           // xRelease
    nullptr,           // xRollbackTo
    nullptr,           // xShadowName
};

int wrapVirtualTableWithTransactions(sqlite3* db,
                                                      const sqlite3_api_routines* routines,
                                                      const sqlite3_module* innerModule,
                                                      const char* moduleName)
{
    if (!sqlite3_api)
        sqlite3_api = routines;
    if (!sqlite3_api || !innerModule)
        return SQLITE_MISUSE;
    OverlayRegistration* registration = newOverlayRegistration(innerModule);
    // SQLite ends the registration, and with it the logs of its tables, when
    // the connection closes; it ends it at once when registering fails.
    return api().create_module_v2(db, moduleName, &overlayModule, registration, deleteOverlayRegistration);
}
