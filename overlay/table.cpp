// Creation and teardown of overlay tables: the inner table is made with the
// overlay's own arguments, its rows counted, the file path and name kept.
#include "overlay/callbacks.h"
#include "overlay/file_path.h"
#include "overlay/guard.h"
#include "overlay/open_tables.h"
#include "overlay/records.h"

namespace {

// Frees what a failed creation had made so far, in reverse order.
void releasePartialTable(OverlayTable* table, sqlite3_vtab_cursor* countingCursor) noexcept
{
    if (!table)
        return;
    if (countingCursor)
        table->inner->pModule->xClose(countingCursor);
    if (table->inner) {
        api().free(table->inner->zErrMsg);
        table->inner->zErrMsg = nullptr;
        table->inner->pModule->xDestroy(table->inner);
    }
    deleteRecord(table);
}

// Takes the message the inner module left in its table, if any.
char* takeInnerMessage(sqlite3_vtab* inner) noexcept
{
    return std::exchange(inner->zErrMsg, nullptr);
}

void createInnerTable(OverlayTable* table, const sqlite3_module* innerModule, sqlite3* db,
                      int argc, const char* const* argv)
{
    char* message = nullptr;
    sqlite3_vtab* inner = nullptr;
    int rc = innerModule->xCreate(db, nullptr, argc, argv, &inner, &message);
    if (rc != SQLITE_OK)
        throw ErrorPair(rc, message);
    api().free(message);
    inner->pModule = innerModule;
    table->inner = inner;
}

// Counts the inner rows with a cursor of its own: the first rowid past them.
sqlite3_int64 countInnerRows(OverlayTable* table, sqlite3_vtab_cursor*& cursor)
{
    const sqlite3_module* inner = table->inner->pModule;
    int rc = inner->xOpen(table->inner, &cursor);
    if (rc != SQLITE_OK) {
        cursor = nullptr;
        throw ErrorPair(rc, takeInnerMessage(table->inner));
    }
    cursor->pVtab = table->inner;
    sqlite3_int64 counter = 1;
    while (inner->xEof(cursor) == 0) {
        ++counter;
        rc = inner->xNext(cursor);
        if (rc != SQLITE_OK)
            throw ErrorPair(rc, takeInnerMessage(table->inner));
    }
    inner->xClose(cursor);
    cursor = nullptr;
    return counter;
}

} // namespace

int overlayCreate(sqlite3* db, void* clientData, int argc, const char* const* argv,
                  sqlite3_vtab** ppVtab, char** pzErr)
{
    auto* registration = static_cast<OverlayRegistration*>(clientData);
    OverlayTable* table = newRecord<OverlayTable>();
    if (!table)
        return SQLITE_NOMEM;
    sqlite3_vtab_cursor* countingCursor = nullptr;
    int rc = runGuarded(
        [&] {
            createInnerTable(table, registration->innerModule, db, argc, argv);
            table->firstNewRowid = countInnerRows(table, countingCursor);
            table->filePath = parseFilePath(argc, argv);
            table->tableName = argv[2] ? QString::fromUtf8(argv[2]) : QString();
            table->registration = registration;
            table->logKey = logKey(argv[1], table->tableName);
            // A table reconnected after a schema reload takes up its log again.
            table->manager = registration->logs.value(table->logKey);
            return SQLITE_OK;
        },
        [pzErr](char* message) {
            if (pzErr) {
                api().free(*pzErr);
                *pzErr = message;
            } else {
                api().free(message);
            }
        });
    if (rc != SQLITE_OK) {
        releasePartialTable(table, countingCursor);
        return rc;
    }
    noteOverlayTableOpened(table->tableName);
    *ppVtab = &table->base;
    return SQLITE_OK;
}

int overlayDisconnect(sqlite3_vtab* vtab)
{
    if (!vtab)
        return SQLITE_INTERNAL;
    OverlayTable* table = overlayTable(vtab);
    noteOverlayTableClosed(table->tableName);
    table->inner->pModule->xDestroy(table->inner);
    api().free(table->base.zErrMsg);
    deleteRecord(table);
    return SQLITE_OK;
}

int overlayDestroy(sqlite3_vtab* vtab)
{
    if (vtab) {
        OverlayTable* table = overlayTable(vtab);
        table->registration->logs.remove(table->logKey);
    }
    return overlayDisconnect(vtab);
}
