// csv_save(table, path): writes what a table of the CSV module shows to a new
// file, keeping the text of every row and cell no edit changed.
#pragma once

#include <sqlite3.h>

#include "history/history.h"

// Saves the CSV table argv names, to argv's path or over its own file, as
// csv_save does, the log it ends kept in history; messages begin with function.
void saveCsvTable(sqlite3_context* ctx, int argc, sqlite3_value** argv, const char* function,
                  const HistoryLink& history);

// Registers csv_save on db (direct-only: it writes files), the logs it ends
// kept in history. Returns SQLite's code.
int registerCsvSave(sqlite3* db, const HistoryLink& history);
