// The read-only history views ombrix_tables, ombrix_steps('t') and
// ombrix_changes('t'): eponymous virtual tables over the logs of this process.
#pragma once

#include "common/error_pair.h"
#include "common/routines.h"
#include "history/history.h"

#include <QString>

#include <memory>

// Registers the three views of history on db, usable from views and triggers too; the
// first failing registration's code, or SQLITE_OK.
int registerHistoryViews(sqlite3* db, const HistoryLink& history);
// Takes them off db again.
void unregisterHistoryViews(sqlite3* db);

// The error of a history function or view given a name that no overlay table
// of this process has.
inline ErrorPair noSuchTable()
{
    return ErrorPair(SQLITE_ERROR, QByteArray("No such table "));
}

// The entry of the table called name, connecting it on db first when this
// process has none yet, as a statement that reads it would: a table whose
// database was just opened takes up its kept log then. Null when db has no
// such table; throws ErrorPair when connecting it fails.
std::shared_ptr<OpenName> findTable(History& history, sqlite3* db, const QString& name);
