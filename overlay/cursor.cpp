// The merging cursor: drives a full scan of the inner table and merges the
// change log in, hiding deleted rows, showing stored values and stored rows
// past the inner end.
#include "overlay/callbacks.h"
#include "overlay/guard.h"
#include "overlay/records.h"
#include "overlay/values.h"

#include <QVarLengthArray>

namespace {

const sqlite3_module& innerModuleOf(OverlayCursor* cursor)
{
    return *cursor->table->inner->pModule;
}

int innerRowid(OverlayCursor* cursor, sqlite3_int64* rowid)
{
    int rc = innerModuleOf(cursor).xRowid(cursor->inner, rowid);
    return carryInnerError(cursor->table, rc);
}

int innerNext(OverlayCursor* cursor)
{
    int rc = innerModuleOf(cursor).xNext(cursor->inner);
    return carryInnerError(cursor->table, rc);
}

bool innerAtEnd(OverlayCursor* cursor)
{
    return innerModuleOf(cursor).xEof(cursor->inner) != 0;
}

// Whether the overlay cursor may stay where the inner cursor stands: on a
// visible inner row, on a stored row past the inner end, or at the overall end.
bool mayRest(OverlayCursor* cursor, ModificationManager& manager, sqlite3_int64 rowid)
{
    bool deleted = manager.isRowDeleted(rowid);
    if (!innerAtEnd(cursor))
        return !deleted;
    if (manager.isRowModified(rowid))
        return true;
    return !deleted && !manager.hasModifiedRowsFrom(rowid);
}

// Steps the inner cursor until the overlay cursor may rest.
int advance(OverlayCursor* cursor)
{
    for (;;) {
        int rc = innerNext(cursor);
        if (rc != SQLITE_OK)
            return rc;
        ModificationManager* manager = cursor->table->manager.get();
        if (!manager)
            return SQLITE_OK;
        sqlite3_int64 rowid = 0;
        rc = innerRowid(cursor, &rowid);
        if (rc != SQLITE_OK)
            return rc;
        if (mayRest(cursor, *manager, rowid))
            return SQLITE_OK;
    }
}

// Reports, once, an error that xEof had to keep.
int takePendingError(OverlayCursor* cursor)
{
    int rc = cursor->pendingCode;
    if (rc != SQLITE_OK) {
        setTableError(&cursor->table->base, std::exchange(cursor->pendingMessage, nullptr));
        cursor->pendingCode = SQLITE_OK;
    }
    return rc;
}

void clearPendingError(OverlayCursor* cursor)
{
    api().free(std::exchange(cursor->pendingMessage, nullptr));
    cursor->pendingCode = SQLITE_OK;
}

} // namespace

int overlayBestIndex(sqlite3_vtab* vtab, sqlite3_index_info* info)
{
    // The merge needs the inner cursor to walk every row in rowid order, so the
    // inner module may neither filter nor sort; SQLite checks the WHERE clause
    // and ORDER BY on the merged rows.
    OverlayTable* table = overlayTable(vtab);
    QVarLengthArray<unsigned char, 16> usable(info->nConstraint);
    for (int i = 0; i < info->nConstraint; ++i) {
        usable[i] = info->aConstraint[i].usable;
        info->aConstraint[i].usable = 0;
    }
    const int orderBy = info->nOrderBy;
    info->nOrderBy = 0;
    int rc = table->inner->pModule->xBestIndex(table->inner, info);
    info->nOrderBy = orderBy;
    for (int i = 0; i < info->nConstraint; ++i) {
        info->aConstraint[i].usable = usable[i];
        info->aConstraintUsage[i].argvIndex = 0;
        info->aConstraintUsage[i].omit = 0;
    }
    info->orderByConsumed = 0;
    info->idxFlags &= ~SQLITE_INDEX_SCAN_UNIQUE;
    return carryInnerError(table, rc);
}

int overlayOpen(sqlite3_vtab* vtab, sqlite3_vtab_cursor** out)
{
    OverlayTable* table = overlayTable(vtab);
    OverlayCursor* cursor = newRecord<OverlayCursor>();
    if (!cursor)
        return SQLITE_NOMEM;
    cursor->table = table;
    int rc = table->inner->pModule->xOpen(table->inner, &cursor->inner);
    if (rc != SQLITE_OK) {
        deleteRecord(cursor);
        return carryInnerError(table, rc);
    }
    cursor->inner->pVtab = table->inner;
    *out = &cursor->base;
    return SQLITE_OK;
}

int overlayClose(sqlite3_vtab_cursor* base)
{
    if (!base)
        return SQLITE_OK;
    OverlayCursor* cursor = overlayCursor(base);
    innerModuleOf(cursor).xClose(cursor->inner);
    clearPendingError(cursor);
    deleteRecord(cursor);
    return SQLITE_OK;
}

int overlayFilter(sqlite3_vtab_cursor* base, int idxNum, const char* idxStr, int argc,
                  sqlite3_value** argv)
{
    OverlayCursor* cursor = overlayCursor(base);
    clearPendingError(cursor);
    return guardTableCallback(&cursor->table->base, [&] {
        int rc = innerModuleOf(cursor).xFilter(cursor->inner, idxNum, idxStr, argc, argv);
        rc = carryInnerError(cursor->table, rc);
        if (rc != SQLITE_OK)
            return rc;
        sqlite3_int64 rowid = 0;
        rc = innerRowid(cursor, &rowid);
        if (rc != SQLITE_OK)
            return rc;
        ModificationManager* manager = cursor->table->manager.get();
        if (!manager || mayRest(cursor, *manager, rowid))
            return SQLITE_OK;
        return advance(cursor);
    });
}

int overlayNext(sqlite3_vtab_cursor* base)
{
    OverlayCursor* cursor = overlayCursor(base);
    if (int rc = takePendingError(cursor))
        return rc;
    return guardTableCallback(&cursor->table->base, [&] { return advance(cursor); });
}

int overlayEof(sqlite3_vtab_cursor* base)
{
    OverlayCursor* cursor = overlayCursor(base);
    if (cursor->pendingCode != SQLITE_OK)
        return 0;
    sqlite3_int64 rowid = 0;
    innerModuleOf(cursor).xRowid(cursor->inner, &rowid);
    if (!innerAtEnd(cursor))
        return 0;
    ModificationManager* manager = cursor->table->manager.get();
    if (!manager)
        return 1;
    bool more = false;
    int rc = runGuarded(
        [&] {
            more = manager->hasModifiedRowsFrom(rowid);
            return SQLITE_OK;
        },
        [cursor](char* message) {
            api().free(cursor->pendingMessage);
            cursor->pendingMessage = message;
        });
    if (rc != SQLITE_OK) {
        // Not at the end, so that the next callback reports the error.
        cursor->pendingCode = rc;
        return 0;
    }
    return more ? 0 : 1;
}

int overlayColumn(sqlite3_vtab_cursor* base, sqlite3_context* ctx, int column)
{
    OverlayCursor* cursor = overlayCursor(base);
    if (int rc = takePendingError(cursor))
        return rc;
    return guardTableCallback(&cursor->table->base, [&] {
        sqlite3_int64 rowid = 0;
        int rc = innerRowid(cursor, &rowid);
        if (rc != SQLITE_OK)
            return rc;
        ModificationManager* manager = cursor->table->manager.get();
        if (manager && manager->isRowModified(rowid)) {
            resultFromVariant(ctx, manager->modifiedRowValues(rowid, column));
            return SQLITE_OK;
        }
        rc = innerModuleOf(cursor).xColumn(cursor->inner, ctx, column);
        return carryInnerError(cursor->table, rc);
    });
}

int overlayRowid(sqlite3_vtab_cursor* base, sqlite3_int64* rowid)
{
    OverlayCursor* cursor = overlayCursor(base);
    if (int rc = takePendingError(cursor))
        return rc;
    return innerRowid(cursor, rowid);
}
