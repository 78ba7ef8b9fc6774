// Save for a table of editable_csvtable, the overlay of Debian's csvtable
// module: its file written again, read back by csvtable as the table's rows.
#pragma once

#include "history/history_link.h"

#include <sqlite3ext.h>

#include <string>

// ombrix_save for such a table (see TableSave); sets ctx's result.
void saveCsvtableTable(sqlite3_context* ctx, int argc, sqlite3_value** argv, const char* function,
                       const HistoryLink& history);

// Whether a module quillmere_load found, by the name it registered, is
// csvtable: read-only, and opened anew with the schemas it declares captured.
bool isCsvtableModule(const std::string& name, const sqlite3_module* module);
