// Save for a table of editable_VirtualShape, the overlay of spatialite's
// VirtualShape module: the shapefile's set written again and replaced whole.
#pragma once

#include "history/history_link.h"

#include <sqlite3ext.h>

#include <string>

// ombrix_save for such a table (see TableSave); sets ctx's result.
void saveShapeTable(sqlite3_context* ctx, int argc, sqlite3_value** argv, const char* function,
                    const HistoryLink& history);

// Whether a module quillmere_load found, by the name it registered, is
// VirtualShape, its first argument the path of the set without extension.
bool isShapeModule(const std::string& name, const sqlite3_module* module);
