/* A host written in C against an installed tree: wraps a three-row module of its
   own, edits through the overlay, undoes the edit, and checks what it reads. */
#include <quillmere.h>
/* The routines table's members, without the macros that send every call through it. */
#define SQLITE_CORE 1
#include <sqlite3ext.h>

#include <stdio.h>
#include <string.h>

/* The module: column n is ten times the rowid, rowids 1..3. */
typedef struct {
    sqlite3_vtab_cursor base;
    sqlite3_int64 rowid;
} Cursor;

static int xCreate(sqlite3* db, void* aux, int argc, const char* const* argv, sqlite3_vtab** out, char** error)
{
    *out = sqlite3_malloc(sizeof(sqlite3_vtab));
    memset(*out, 0, sizeof(sqlite3_vtab));
    return sqlite3_declare_vtab(db, "CREATE TABLE x(n)");
}

static int xDestroy(sqlite3_vtab* table)
{
    sqlite3_free(table);
    return SQLITE_OK;
}
static int xBestIndex(sqlite3_vtab* table, sqlite3_index_info* info)
{
    info->estimatedCost = 3;
    return SQLITE_OK;
}
static int xClose(sqlite3_vtab_cursor* cursor)
{
    sqlite3_free(cursor);
    return SQLITE_OK;
}
static int xNext(sqlite3_vtab_cursor* cursor)
{
    ((Cursor*)cursor)->rowid++;
    return SQLITE_OK;
}
static int xEof(sqlite3_vtab_cursor* cursor)
{
    return ((Cursor*)cursor)->rowid > 3;
}

static int xOpen(sqlite3_vtab* table, sqlite3_vtab_cursor** out)
{
    Cursor* cursor = sqlite3_malloc(sizeof(Cursor));
    cursor->rowid = 1;
    *out = &cursor->base;
    return SQLITE_OK;
}

static int xFilter(sqlite3_vtab_cursor* cursor, int plan, const char* name, int argc, sqlite3_value** argv)
{
    ((Cursor*)cursor)->rowid = 1;
    return SQLITE_OK;
}

static int xColumn(sqlite3_vtab_cursor* cursor, sqlite3_context* ctx, int column)
{
    sqlite3_result_int64(ctx, ((Cursor*)cursor)->rowid * 10);
    return SQLITE_OK;
}

static int xRowid(sqlite3_vtab_cursor* cursor, sqlite3_int64* rowid)
{
    *rowid = ((Cursor*)cursor)->rowid;
    return SQLITE_OK;
}

static const sqlite3_module threeRows = {
    1, xCreate, xCreate, xBestIndex, xDestroy, xDestroy, xOpen, xClose, xFilter, xNext, xEof, xColumn, xRowid,
};

static const sqlite3_api_routines* routines;

static int captureRoutines(sqlite3* db, char** error, const sqlite3_api_routines* api)
{
    routines = api;
    return SQLITE_OK;
}

/* The first column of every row sql gives, each followed by a space, read
   through the process's routines pointer as the host's extensions read. */
static int expect(sqlite3* db, const char* sql, const char* expected)
{
    char result[256] = "";
    sqlite3_stmt* statement = NULL;
    sqlite3_api->prepare_v2(db, sql, -1, &statement, NULL);
    while (sqlite3_api->step(statement) == SQLITE_ROW) {
        const unsigned char* text = sqlite3_api->column_text(statement, 0);
        snprintf(result + strlen(result), sizeof result - strlen(result), "%s ", text ? (const char*)text : "NULL");
    }
    sqlite3_api->finalize(statement);
    if (strcmp(result, expected) != 0)
        fprintf(stderr, "%s: got '%s', expected '%s' (%s)\n", sql, result, expected, sqlite3_api->errmsg(db));
    return strcmp(result, expected) != 0;
}

int main(void)
{
    sqlite3* db;
    sqlite3_auto_extension((void (*)(void))captureRoutines);
    sqlite3_open(":memory:", &db);
    sqlite3_cancel_auto_extension((void (*)(void))captureRoutines);
    if (wrapVirtualTableWithTransactions(db, routines, &threeRows, "overlay") != SQLITE_OK ||
        quillmere_register_undoredo_functions(db) != SQLITE_OK) {
        fprintf(stderr, "registration failed: %s\n", sqlite3_errmsg(db));
        return 1;
    }
    if (sqlite3_api != routines) {
        fputs("the wrap call left the routines pointer unset\n", stderr);
        return 1;
    }
    sqlite3_exec(db,
                 "CREATE VIRTUAL TABLE t USING overlay('/data/t.tab');"
                 "UPDATE t SET n = 99 WHERE rowid = 2; INSERT INTO t VALUES (40)",
                 NULL, NULL, NULL);
    if (expect(db, "SELECT n FROM t", "10 99 30 40 ") || expect(db, "SELECT ombrix_undo('t')", "NULL ") ||
        expect(db, "SELECT n FROM t", "10 20 30 "))
        return 1;
    sqlite3_close(db);
    puts("installed host: ok");
    return 0;
}
