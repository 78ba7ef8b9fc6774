// What one registration of the overlay module (one connection, one module
// name) keeps: the inner module, the client data it is called with and the history.
#pragma once

#include "common/routines.h"
#include "history/history.h"

// Saves a table of the registration's module by writing its files, for a
// module that cannot write its own rows: ombrix_save's arguments, handed on
// from ombrix_save (function names it in messages) with the registration's
// history; sets ctx's result.
using TableSave = void (*)(sqlite3_context* ctx, int argc, sqlite3_value** argv, const char* function,
                           const HistoryLink& history);

struct OverlayRegistration {
    const sqlite3_module* innerModule;
    void* innerClientData;
    HistoryLink history;
    // Null: a module that writes its own rows is saved through them, any
    // other refuses a save.
    TableSave save;
};

OverlayRegistration* newOverlayRegistration(const sqlite3_module* innerModule, void* innerClientData,
                                            HistoryLink history, TableSave save);
// The destructor SQLite calls when the module goes away with its connection:
// the change logs that no other registration keeps end with it.
void deleteOverlayRegistration(void* registration);
