// What one registration of the overlay module (one connection, one module
// name) keeps: the inner module, the client data it is called with and the history.
#pragma once

#include "common/routines.h"
#include "history/history.h"

struct OverlayRegistration {
    const sqlite3_module* innerModule;
    void* innerClientData;
    HistoryLink history;
};

OverlayRegistration* newOverlayRegistration(const sqlite3_module* innerModule, void* innerClientData,
                                            HistoryLink history);
// The destructor SQLite calls when the module goes away with its connection:
// the change logs that no other registration keeps end with it.
void deleteOverlayRegistration(void* registration);
