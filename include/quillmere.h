/* Public interface of the quillmere overlay library: wrap a virtual-table module
   with an editable, undoable overlay, and register the history SQL functions. */
#ifndef QUILLMERE_H
#define QUILLMERE_H

#include <sqlite3.h>

#if defined(__GNUC__)
#define QUILLMERE_API __attribute__((visibility("default")))
#else
#define QUILLMERE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The process's routines pointer, defined by the host's engine library
   (libquillmere_engine): the library reaches the host's SQLite only through
   it. Null until the first wrap call fills it. */
extern const sqlite3_api_routines* sqlite3_api;

/* Registers on db, under moduleName, an overlay module around innerModule,
   and ombrix_save(table [, path]) unless db has it (README, "Getting edits
   out"). routines fills the process's routines pointer when that is still
   null. Returns the code of the first registration that fails, or
   SQLITE_MISUSE when either pointer is missing: no routines table (none given
   and none set before) or no inner module. */
QUILLMERE_API int wrapVirtualTableWithTransactions(sqlite3* db, const sqlite3_api_routines* routines,
                                                   const sqlite3_module* innerModule, const char* moduleName);

/* Registers ombrix_commit(table [, label]), ombrix_undo(table [, steps]),
   ombrix_redo(table [, steps]), ombrix_label(table, label),
   ombrix_mark_clean(table), ombrix_keep(table [, keep]),
   ombrix_discard(table) and ombrix_accept_files(table [, file path]) on db,
   direct-only, and the read-only tables
   ombrix_tables, ombrix_steps(table) and ombrix_changes(table). Needs the
   routines pointer (SQLITE_MISUSE without it); opens the history database
   and returns its SQLite error code when that fails, otherwise the first
   failing registration's code, or SQLITE_OK.

   Both functions, and everything they register, may be used on any number
   of connections on any threads at once, each connection by one thread at
   a time (README, "Threads"). */
QUILLMERE_API int quillmere_register_undoredo_functions(sqlite3* db);

#ifdef __cplusplus
}
#endif

#endif
