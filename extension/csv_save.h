// csv_save(table, path): writes what a table of the CSV module shows to a new
// file, keeping the text of every row and cell no edit changed.
#pragma once

#include <sqlite3.h>

#include "history/history.h"

// Registers csv_save on db (direct-only: it writes files), the logs it ends
// kept in history. Returns SQLite's code.
int registerCsvSave(sqlite3* db, const HistoryLink& history);
