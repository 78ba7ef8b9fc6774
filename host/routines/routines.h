// How a host obtains SQLite's loadable-extension routines table: an
// auto-extension's init function is handed it when a connection opens.
#pragma once

#define SQLITE_CORE 1
#include <sqlite3ext.h>

// The routines table of the linked SQLite library, captured once per process.
const sqlite3_api_routines* hostRoutines();
