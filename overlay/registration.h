// What one registration of the overlay module (one connection, one module
// name) keeps: the inner module, and the change logs of its tables.
#pragma once

#include "changelog/modification_manager.h"

#include <sqlite3.h>

#include <QHash>
#include <QString>

#include <memory>

// SQLite disconnects and reconnects virtual tables whenever it reloads a
// schema (VACUUM, a schema change by another connection, ALTER TABLE ...).
// The logs live here, not in the table records, so that only DROP TABLE or
// closing the connection ends a log.
struct OverlayRegistration {
    const sqlite3_module* innerModule;
    QHash<QString, std::shared_ptr<ModificationManager>> logs;
};

OverlayRegistration* newOverlayRegistration(const sqlite3_module* innerModule);
// The destructor SQLite calls when the module goes away with its connection.
void deleteOverlayRegistration(void* registration);

// Key of a table in logs: schema and table name, compared as SQLite does.
QString logKey(const char* schema, const QString& tableName);
