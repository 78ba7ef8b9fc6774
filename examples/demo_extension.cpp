// The loadable extension behind the demo: registers the CSV module as
// readonly_csv, its editable overlay as editable_csv, and the history functions.
#include "csv/csv_module.h"
#include "quillmere.h"

#include <cstdlib>

namespace {

constexpr const char* plainModuleName = "readonly_csv";
constexpr const char* overlayModuleName = "editable_csv";

// SQLite unloads the extension when its entry point fails, so nothing
// registered on the way may stay behind pointing into it.
int fail(sqlite3* db, char** pzErrMsg, int rc, char* message)
{
    sqlite3_create_module(db, plainModuleName, nullptr, nullptr);
    sqlite3_create_module(db, overlayModuleName, nullptr, nullptr);
    if (pzErrMsg)
        *pzErrMsg = message;
    else
        sqlite3_free(message);
    return rc;
}

char* historyFailure(int rc)
{
    if (rc != SQLITE_INTERNAL)
        return sqlite3_mprintf("cannot register the history functions: %s", sqlite3_errstr(rc));
    const char* home = std::getenv("HOME");
    return sqlite3_mprintf("cannot open the history database transactions.sqlite in the home directory %s",
                           home ? home : "(HOME is not set)");
}

} // namespace

// SQLite derives this name from the file name libquillmere_demo.so: the letters
// after "lib" and before the first dot, in lower case.
extern "C" __attribute__((visibility("default"))) int
sqlite3_quillmeredemo_init(sqlite3* db, char** pzErrMsg, const sqlite3_api_routines* pApi)
{
    int rc = sqlite3_create_module(db, plainModuleName, csvModule(), nullptr);
    if (rc != SQLITE_OK)
        return fail(db, pzErrMsg, rc, sqlite3_mprintf("cannot register %s: %s", plainModuleName, sqlite3_errstr(rc)));
    rc = wrapVirtualTableWithTransactions(db, pApi, csvModule(), overlayModuleName);
    if (rc != SQLITE_OK)
        return fail(db, pzErrMsg, rc,
                    sqlite3_mprintf("cannot register %s: %s", overlayModuleName, sqlite3_errstr(rc)));
    rc = quillmere_register_undoredo_functions(db);
    if (rc != SQLITE_OK)
        return fail(db, pzErrMsg, rc, historyFailure(rc));
    return SQLITE_OK;
}
