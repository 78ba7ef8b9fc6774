// quillmere_load(path [, entry_point]): loads another extension on the
// connection and makes each virtual-table module it registers editable.
#pragma once

#include <sqlite3ext.h>

#include "history/history.h"

// Registers quillmere_load on db; what it keeps for db goes when db closes.
int registerLoadFunction(sqlite3* db, const HistoryLink& history);

// This extension's entry point, in extension.cpp.
extern "C" int sqlite3_quillmereextension_init(sqlite3* db, char** pzErrMsg, const sqlite3_api_routines* pApi);
