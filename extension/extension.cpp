// The loadable extension quillmere_extension: registers the CSV modules, the
// history functions and quillmere_load on each connection that loads it.
#include <sqlite3ext.h>

#include "csv/csv_module.h"
#include "extension/csv_save.h"
#include "extension/load_function.h"
#include "functions/history_functions.h"
#include "overlay/callbacks.h"

// This extension's own routines pointer, filled by its entry point. Hidden, so
// that it never stands in for another extension's or a host engine's pointer.
__attribute__((visibility("hidden"))) const sqlite3_api_routines* sqlite3_api = nullptr;

namespace {

constexpr const char* plainModuleName = "readonly_csv";
constexpr const char* overlayModuleName = "editable_csv";

// SQLite unloads the extension when its entry point fails, so nothing
// registered on the way may stay behind pointing into it.
int fail(sqlite3* db, char** pzErrMsg, int rc, char* message)
{
    sqlite3_create_module(db, plainModuleName, nullptr, nullptr);
    sqlite3_create_module(db, overlayModuleName, nullptr, nullptr);
    sqlite3_create_function(db, "quillmere_load", -1, SQLITE_UTF8, nullptr, nullptr, nullptr, nullptr);
    for (const char* save : {"csv_save", "ombrix_save"}) {
        for (int arguments : {1, 2})
            sqlite3_create_function(db, save, arguments, SQLITE_UTF8, nullptr, nullptr, nullptr, nullptr);
    }
    unregisterHistoryFunctions(db);
    if (pzErrMsg)
        *pzErrMsg = message;
    else
        sqlite3_free(message);
    return rc;
}

char* registrationFailure(const char* name, int rc)
{
    return sqlite3_mprintf("cannot register %s: %s", name, sqlite3_errstr(rc));
}

} // namespace

// The history database is opened as the history functions are registered;
// without a home that can hold it the extension still loads and reads, and
// writes and history calls say why.
// SQLite derives this name from the file name quillmere_extension.so: the
// letters before the first dot, in lower case.
extern "C" __attribute__((visibility("default"))) int sqlite3_quillmereextension_init(sqlite3* db, char** pzErrMsg,
                                                                                      const sqlite3_api_routines* pApi)
{
    // Every connection that loads the extension hands the same table.
    fillRoutines(pApi);
    const HistoryLink history = History::ofProcess();
    int rc = registerHistoryFunctions(db, history);
    if (rc != SQLITE_OK)
        return fail(db, pzErrMsg, rc, registrationFailure("the history functions", rc));
    openHistoryDatabase(history);
    rc = sqlite3_create_module(db, plainModuleName, csvModule(), nullptr);
    if (rc != SQLITE_OK)
        return fail(db, pzErrMsg, rc, registrationFailure(plainModuleName, rc));
    rc = registerOverlay(db, overlayModuleName, csvModule(), nullptr, history, saveCsvTable);
    if (rc != SQLITE_OK)
        return fail(db, pzErrMsg, rc, registrationFailure(overlayModuleName, rc));
    rc = registerLoadFunction(db, history);
    if (rc != SQLITE_OK)
        return fail(db, pzErrMsg, rc, registrationFailure("quillmere_load", rc));
    rc = registerCsvSave(db, history);
    if (rc != SQLITE_OK)
        return fail(db, pzErrMsg, rc, registrationFailure("csv_save", rc));
    return SQLITE_OK;
}
