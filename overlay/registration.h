// What one registration of the overlay module (one connection, one module
// name) keeps: the inner module and the client data it is called with.
#pragma once

#include "common/routines.h"

struct OverlayRegistration {
    const sqlite3_module* innerModule;
    void* innerClientData;
};

OverlayRegistration* newOverlayRegistration(const sqlite3_module* innerModule, void* innerClientData);
// The destructor SQLite calls when the module goes away with its connection:
// the change logs that no other registration keeps end with it.
void deleteOverlayRegistration(void* registration);
