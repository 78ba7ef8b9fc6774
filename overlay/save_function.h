// ombrix_save(table [, path]): Save for a table of any overlay module, by what
// its inner module allows; and the rules every kind of Save shares.
#pragma once

#include "common/named_table.h"
#include "history/history.h"
#include "overlay/records.h"

// Registers ombrix_save on db (direct-only: it writes) unless db has it, the
// logs it ends kept in history. Returns SQLite's code.
int registerSaveFunction(sqlite3* db, const HistoryLink& history);

// A save over a table's own files ends its history: refused while a table of
// entry is open on another connection or in another schema than table, which
// would go on reading the files as they were, without the log. Throws ErrorPair.
void requireSoleTable(History& history, sqlite3* db, const OpenName& entry, const NamedTable& table);

// The newest overlay table of that name on db in that schema (a statement
// prepared before a schema change may hold an older one), or null.
OverlayTable* overlayTableOf(History& history, sqlite3* db, const NamedTable& named);

// Cursors open on any table of the entry on db in that schema.
int readersOf(History& history, sqlite3* db, const OpenName& entry, const NamedTable& named);

// Throws ErrorPair when another name's log, live or kept, lies over the files
// of table, which a save would write.
void refuseOtherLogs(History& history, const OverlayTable& table, const NamedTable& named);
