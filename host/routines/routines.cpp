// Captures the routines table by opening a throw-away in-memory connection
// while an auto-extension is registered.
#include "routines.h"

namespace {

const sqlite3_api_routines* captured = nullptr;

int captureInit(sqlite3*, char**, const sqlite3_api_routines* routines)
{
    captured = routines;
    return SQLITE_OK;
}

const sqlite3_api_routines* capture()
{
    using Entry = void (*)();
    auto entry = reinterpret_cast<Entry>(&captureInit);
    sqlite3_auto_extension(entry);
    sqlite3* db = nullptr;
    sqlite3_open(":memory:", &db);
    sqlite3_close(db);
    sqlite3_cancel_auto_extension(entry);
    return captured;
}

} // namespace

const sqlite3_api_routines* hostRoutines()
{
    static const sqlite3_api_routines* routines = capture();
    return routines;
}
