// Included ahead of the CSV module's sources when they are built into the
// extension: their SQLite calls then go through its routines pointer.
#pragma once

#include <sqlite3ext.h>

SQLITE_EXTENSION_INIT3
