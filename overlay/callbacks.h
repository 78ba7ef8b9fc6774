// The overlay module's callbacks, gathered into the module table in module.cpp.
#pragma once

#include <sqlite3.h>

// clientData is the OverlayRegistration the module was registered with.
int overlayCreate(sqlite3* db, void* clientData, int argc, const char* const* argv,
                  sqlite3_vtab** ppVtab, char** pzErr);
// Releases the table; its log stays with the registration for a reconnect.
int overlayDisconnect(sqlite3_vtab* vtab);
// DROP TABLE: releases the table and ends its log.
int overlayDestroy(sqlite3_vtab* vtab);

int overlayBestIndex(sqlite3_vtab* vtab, sqlite3_index_info* info);
int overlayOpen(sqlite3_vtab* vtab, sqlite3_vtab_cursor** out);
int overlayClose(sqlite3_vtab_cursor* cursor);
int overlayFilter(sqlite3_vtab_cursor* cursor, int idxNum, const char* idxStr, int argc,
                  sqlite3_value** argv);
int overlayNext(sqlite3_vtab_cursor* cursor);
int overlayEof(sqlite3_vtab_cursor* cursor);
int overlayColumn(sqlite3_vtab_cursor* cursor, sqlite3_context* ctx, int column);
int overlayRowid(sqlite3_vtab_cursor* cursor, sqlite3_int64* rowid);

int overlayUpdate(sqlite3_vtab* vtab, int argc, sqlite3_value** argv, sqlite3_int64* rowid);

extern const sqlite3_module overlayModule;
