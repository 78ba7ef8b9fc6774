// The process's history handed to an SQL function as its user data, on the
// host's side of SQLite.
#pragma once

#include "common/routines.h"
#include "history/history.h"

#include <memory>

// A copy of link as the user data of an SQL function, freed by
// deleteHistoryLink, which SQLite calls as it lets go of the function.
void* newHistoryLink(const HistoryLink& link);
void deleteHistoryLink(void* link) noexcept;
// The history of the SQL function ctx runs, registered with such user data:
// throws ErrorPair (SQLITE_MISUSE) once the process's end has closed it.
std::shared_ptr<History> historyOf(sqlite3_context* ctx);
