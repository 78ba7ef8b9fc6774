// The host's routines pointer, defined by its engine library and imported here.
// SQLite calls made through it read the pointer afresh every time.
#pragma once

#define SQLITE_CORE 1
#include <sqlite3ext.h>

extern "C" {
extern const sqlite3_api_routines* sqlite3_api;
}

inline const sqlite3_api_routines& api()
{
    return *sqlite3_api;
}
