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

/* Registers on db, under moduleName, an overlay module around innerModule.
   routines fills the process's routines pointer when that is still null.
   Returns the result of sqlite3_create_module, or SQLITE_MISUSE when there is
   no routines table or no inner module. */
QUILLMERE_API int wrapVirtualTableWithTransactions(sqlite3* db, const sqlite3_api_routines* routines,
                                                   const sqlite3_module* innerModule, const char* moduleName);

/* Registers ombrix_commit(table), ombrix_undo(table [, steps]) and
   ombrix_redo(table [, steps]) on db. */
QUILLMERE_API int quillmere_register_undoredo_functions(sqlite3* db);

#ifdef __cplusplus
}
#endif

#endif
