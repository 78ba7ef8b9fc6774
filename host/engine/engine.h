/* The host's engine library: owner of the process-wide SQLite routines pointer
   through which extensions in the host reach SQLite. */
#ifndef ENGINE_H
#define ENGINE_H

#include <sqlite3ext.h>

#ifdef __cplusplus
extern "C" {
#endif

extern const sqlite3_api_routines* sqlite3_api;

#ifdef __cplusplus
}
#endif

#endif
