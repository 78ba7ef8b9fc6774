/* Defines the routines pointer the host's extensions share; it stays null until
   the first extension that is handed SQLite's routines table fills it. */
#define SQLITE_CORE 1
#include "engine.h"

__attribute__((visibility("default"))) const sqlite3_api_routines* sqlite3_api = 0;
