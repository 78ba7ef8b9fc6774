// Save for a table of editable_VirtualDbf, the overlay of spatialite's
// VirtualDbf module: the .dbf file written again with shapelib.
#pragma once

#include "history/history_link.h"

#include <sqlite3ext.h>

#include <string>

// ombrix_save for such a table (see TableSave); sets ctx's result.
void saveDbfTable(sqlite3_context* ctx, int argc, sqlite3_value** argv, const char* function,
                  const HistoryLink& history);

// Whether a module quillmere_load found, by the name it registered, is
// VirtualDbf (whose xUpdate refuses every write), its first argument the
// .dbf file.
bool isDbfModule(const std::string& name, const sqlite3_module* module);
