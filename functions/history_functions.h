// The history SQL functions (ombrix_commit, ombrix_undo, ombrix_redo,
// ombrix_label, ombrix_mark_clean, ombrix_keep, ombrix_discard,
// ombrix_accept_files) and views,
// for the entry points of this library.
#pragma once

#include "common/routines.h"
#include "history/history.h"

// Registers the functions on db, direct-only, and the read-only views, over history,
// without touching the history database: a call that needs it and cannot open
// it fails with the reason. Returns the first failing registration's code, or
// SQLITE_OK.
int registerHistoryFunctions(sqlite3* db, const HistoryLink& history);
// Takes the functions and views off db again.
void unregisterHistoryFunctions(sqlite3* db);
// Opens the history database unless it is open: SQLITE_OK, or the code of the
// failure, which each call that needs the database reports with its reason.
int openHistoryDatabase(const HistoryLink& history) noexcept;
