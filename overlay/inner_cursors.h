// Inner cursors kept open past their overlay cursor's close. In a one-pass
// UPDATE SQLite closes the table's cursor and only then calls xUpdate with the
// column values it read, which may point into memory the inner cursor owns.
#pragma once

#include "common/routines.h"

// Closes inner, the inner cursor of an overlay cursor SQLite closes. One that
// stands on a row while a statement that writes runs on db stays open until
// that statement has ended, so that what it handed out stays valid.
void closeInnerCursor(sqlite3* db, sqlite3_vtab_cursor* inner, bool onRow) noexcept;
// Closes the kept cursors of db whose writing statements have all ended.
void closeFinishedCursors(sqlite3* db) noexcept;
// Closes every kept cursor of db: its transaction ended, and with it every statement that wrote.
void closeKeptCursors(sqlite3* db) noexcept;
// Closes every kept cursor of an inner table that is going away.
void closeKeptCursors(sqlite3_vtab* innerTable) noexcept;
