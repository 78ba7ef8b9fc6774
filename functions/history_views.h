// The read-only history views ombrix_tables, ombrix_steps('t') and
// ombrix_changes('t'): eponymous virtual tables over the logs of this process.
#pragma once

#include "common/routines.h"

// Registers the three views on db, usable from views and triggers too; the
// first failing registration's code, or SQLITE_OK.
int registerHistoryViews(sqlite3* db);
// Takes them off db again.
void unregisterHistoryViews(sqlite3* db);
