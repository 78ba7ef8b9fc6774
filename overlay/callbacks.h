// The overlay module's callbacks, gathered into the module table in module.cpp.
#pragma once

#include "common/routines.h"
#include "history/history.h"
#include "overlay/registration.h"

#include <QList>
#include <QVariant>

#include <optional>

// clientData is the OverlayRegistration the module was registered with.
int overlayCreate(sqlite3* db, void* clientData, int argc, const char* const* argv, sqlite3_vtab** ppVtab,
                  char** pzErr);
int overlayConnect(sqlite3* db, void* clientData, int argc, const char* const* argv, sqlite3_vtab** ppVtab,
                   char** pzErr);
// Releases the table (connection closed, schema reloaded); its log stays.
int overlayDisconnect(sqlite3_vtab* vtab);
// DROP TABLE: the log goes first; a log that cannot go fails the DROP.
int overlayDestroy(sqlite3_vtab* vtab);
// ALTER TABLE ... RENAME TO: the log moves with the table.
int overlayRename(sqlite3_vtab* vtab, const char* newName);

int overlayBestIndex(sqlite3_vtab* vtab, sqlite3_index_info* info);
int overlayOpen(sqlite3_vtab* vtab, sqlite3_vtab_cursor** out);
int overlayClose(sqlite3_vtab_cursor* cursor);
int overlayFilter(sqlite3_vtab_cursor* cursor, int idxNum, const char* idxStr, int argc, sqlite3_value** argv);
int overlayNext(sqlite3_vtab_cursor* cursor);
int overlayEof(sqlite3_vtab_cursor* cursor);
int overlayColumn(sqlite3_vtab_cursor* cursor, sqlite3_context* ctx, int column);
int overlayRowid(sqlite3_vtab_cursor* cursor, sqlite3_int64* rowid);

int overlayUpdate(sqlite3_vtab* vtab, int argc, sqlite3_value** argv, sqlite3_int64* rowid);

int overlayBegin(sqlite3_vtab* vtab);
int overlaySync(sqlite3_vtab* vtab);
int overlayCommit(sqlite3_vtab* vtab);
int overlayRollback(sqlite3_vtab* vtab);
int overlaySavepoint(sqlite3_vtab* vtab, int level);
int overlayRelease(sqlite3_vtab* vtab, int level);
int overlayRollbackTo(sqlite3_vtab* vtab, int level);

// A table made inside a transaction is told of no savepoint opened before it,
// nor of a ROLLBACK TO one, which takes its CREATE back: what it wrote is
// taken back when a callback of its connection finds it gone from the schema.
// noteUntoldWrite runs as such a table writes, forgetUntold once SQLite tells
// it a savepoint, the transaction ends or the table goes; takeBackUnmadeTables
// first in every callback that writes or ends a level. Throw ErrorPair.
struct OverlayTable;
void noteUntoldWrite(OverlayTable* table);
void forgetUntold(OverlayTable* table) noexcept;
void takeBackUnmadeTables(sqlite3* db);

extern const sqlite3_module overlayModule;

// Fills the routines pointer with routines unless it holds a table already,
// once even when threads load at the same time; they read it plainly after.
void fillRoutines(const sqlite3_api_routines* routines);

// Registers the overlay around innerModule, whose constructors are called with
// innerClientData (owned by whoever registered innerModule), its tables'
// logs kept in history, and ombrix_save on db; save writes the files of a
// module that cannot write its own rows. For entry points of this library
// only; never exported.
int registerOverlay(sqlite3* db, const char* moduleName, const sqlite3_module* innerModule, void* innerClientData,
                    const HistoryLink& history, TableSave save = nullptr);
