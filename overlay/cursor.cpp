// The merging cursor: drives a full scan of the inner table and merges the
// change log in. Deleted inner rows are skipped, stored values replace inner
// ones, and past the inner end the cursor goes from one stored row to the next.
#include "overlay/callbacks.h"
#include "overlay/guard.h"
#include "overlay/records.h"
#include "overlay/values.h"

#include <QVarLengthArray>

#include <limits>

namespace {

const sqlite3_module& innerModuleOf(OverlayCursor* cursor)
{
    return *cursor->table->inner->pModule;
}

ModificationManager* managerOf(OverlayCursor* cursor)
{
    return cursor->table->manager.get();
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

// Leaves the inner rows for the first stored row at or above from.
void enterStoredRows(OverlayCursor* cursor, ModificationManager& manager, sqlite3_int64 from)
{
    std::optional<qint64> next = manager.firstModifiedRowidFrom(from);
    cursor->pastInnerEnd = true;
    cursor->atEnd = !next;
    cursor->rowid = next.value_or(from);
}

// Moves the inner cursor on from where it stands to a visible inner row, or
// past the inner end.
int settle(OverlayCursor* cursor, ModificationManager& manager)
{
    for (;;) {
        sqlite3_int64 rowid = 0;
        int rc = innerRowid(cursor, &rowid);
        if (rc != SQLITE_OK)
            return rc;
        if (innerAtEnd(cursor)) {
            enterStoredRows(cursor, manager, rowid);
            return SQLITE_OK;
        }
        if (!manager.isRowDeleted(rowid))
            return SQLITE_OK;
        rc = innerNext(cursor);
        if (rc != SQLITE_OK)
            return rc;
    }
}

int advance(OverlayCursor* cursor)
{
    ModificationManager* manager = managerOf(cursor);
    if (cursor->pastInnerEnd) {
        if (cursor->atEnd)
            return SQLITE_OK;
        if (cursor->rowid == std::numeric_limits<sqlite3_int64>::max())
            cursor->atEnd = true;
        else
            enterStoredRows(cursor, *manager, cursor->rowid + 1);
        return SQLITE_OK;
    }
    int rc = innerNext(cursor);
    if (rc != SQLITE_OK || !manager)
        return rc;
    return settle(cursor, *manager);
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

int currentRowid(OverlayCursor* cursor, sqlite3_int64* rowid)
{
    if (cursor->pastInnerEnd) {
        *rowid = cursor->rowid;
        return SQLITE_OK;
    }
    return innerRowid(cursor, rowid);
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
    cursor->pastInnerEnd = false;
    cursor->atEnd = false;
    return guardTableCallback(&cursor->table->base, [&] {
        int rc = innerModuleOf(cursor).xFilter(cursor->inner, idxNum, idxStr, argc, argv);
        rc = carryInnerError(cursor->table, rc);
        if (rc != SQLITE_OK)
            return rc;
        ModificationManager* manager = managerOf(cursor);
        if (!manager) {
            sqlite3_int64 rowid = 0;
            return innerRowid(cursor, &rowid);
        }
        return settle(cursor, *manager);
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
    if (cursor->pastInnerEnd)
        return cursor->atEnd ? 1 : 0;
    if (!innerAtEnd(cursor))
        return 0;
    ModificationManager* manager = managerOf(cursor);
    if (!manager)
        return 1;
    // The log came into being during this scan: its stored rows follow.
    int rc = runGuarded(
        [&] {
            sqlite3_int64 rowid = 0;
            int rc = innerRowid(cursor, &rowid);
            if (rc == SQLITE_OK)
                enterStoredRows(cursor, *manager, rowid);
            return rc;
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
    return cursor->atEnd ? 1 : 0;
}

int overlayColumn(sqlite3_vtab_cursor* base, sqlite3_context* ctx, int column)
{
    OverlayCursor* cursor = overlayCursor(base);
    if (int rc = takePendingError(cursor))
        return rc;
    return guardTableCallback(&cursor->table->base, [&] {
        sqlite3_int64 rowid = 0;
        int rc = currentRowid(cursor, &rowid);
        if (rc != SQLITE_OK)
            return rc;
        ModificationManager* manager = managerOf(cursor);
        if (manager && manager->isRowModified(rowid)) {
            resultFromVariant(ctx, manager->modifiedRowValues(rowid, column));
            return SQLITE_OK;
        }
        if (cursor->pastInnerEnd) {
            // The stored row went away during the scan.
            api().result_null(ctx);
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
    return currentRowid(cursor, rowid);
}
