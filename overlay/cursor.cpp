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

// Moves the inner cursor of a lookup on to the wanted row, or to its end.
int settleLookup(OverlayCursor* cursor)
{
    while (!innerAtEnd(cursor)) {
        sqlite3_int64 rowid = 0;
        int rc = innerRowid(cursor, &rowid);
        if (rc != SQLITE_OK || rowid == cursor->wanted)
            return rc;
        rc = innerNext(cursor);
        if (rc != SQLITE_OK)
            return rc;
    }
    return SQLITE_OK;
}

// Starts a lookup of the row with rowid wanted: a stored row or a deleted
// rowid is answered by the log, any other by the inner module's plan.
int startLookup(OverlayCursor* cursor, int idxNum, const char* innerPlan, sqlite3_value* wanted)
{
    cursor->lookingUp = true;
    cursor->wanted = api().value_int64(wanted);
    if (ModificationManager* manager = managerOf(cursor)) {
        const bool stored = manager->isRowModified(cursor->wanted);
        if (stored || manager->isRowDeleted(cursor->wanted)) {
            cursor->pastInnerEnd = true;
            cursor->atEnd = !stored;
            cursor->rowid = cursor->wanted;
            return SQLITE_OK;
        }
    }
    int rc = innerModuleOf(cursor).xFilter(cursor->inner, idxNum, innerPlan, 1, &wanted);
    rc = carryInnerError(cursor->table, rc);
    return rc != SQLITE_OK ? rc : settleLookup(cursor);
}

int advance(OverlayCursor* cursor)
{
    ModificationManager* manager = managerOf(cursor);
    if (cursor->lookingUp) {
        if (cursor->pastInnerEnd) {
            cursor->atEnd = true;
            return SQLITE_OK;
        }
        int rc = innerNext(cursor);
        return rc != SQLITE_OK ? rc : settleLookup(cursor);
    }
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

// Plans are encoded in idxStr: one letter for the overlay's plan, then '-' or
// '+' and the inner plan's idxStr; idxNum is the inner plan's.
constexpr char scanPlan = 'S';        // full scan of the inner table in rowid order
constexpr char lookupPlan = 'L';      // rowid = ?, the inner module looks the row up
constexpr char lookupByScanPlan = 'F'; // rowid = ?, the inner module has no plan for it

namespace {

int rowidEqualityConstraint(const sqlite3_index_info* info)
{
    for (int i = 0; i < info->nConstraint; ++i) {
        const auto& constraint = info->aConstraint[i];
        if (constraint.usable && constraint.iColumn == -1 && constraint.op == SQLITE_INDEX_CONSTRAINT_EQ)
            return i;
    }
    return -1;
}

// Asks the inner module for a plan that may use only the constraint shown
// (none when shown is -1) and no ORDER BY, then restores what it hid; the
// inner cursor therefore walks all rows in rowid order, or looks one up.
int askInnerPlan(OverlayTable* table, sqlite3_index_info* info, int shown)
{
    QVarLengthArray<unsigned char, 16> usable(info->nConstraint);
    for (int i = 0; i < info->nConstraint; ++i) {
        usable[i] = info->aConstraint[i].usable;
        info->aConstraint[i].usable = i == shown;
    }
    const int orderBy = info->nOrderBy;
    info->nOrderBy = 0;
    int rc = table->inner->pModule->xBestIndex(table->inner, info);
    info->nOrderBy = orderBy;
    for (int i = 0; i < info->nConstraint; ++i)
        info->aConstraint[i].usable = usable[i];
    info->orderByConsumed = 0;
    info->idxFlags &= ~SQLITE_INDEX_SCAN_UNIQUE;
    return carryInnerError(table, rc);
}

// Replaces the inner plan's idxStr with the overlay's encoding of both plans.
int encodePlan(sqlite3_index_info* info, char plan)
{
    const char* inner = info->idxStr;
    char* encoded = api().mprintf("%c%c%s", plan, inner ? '+' : '-', inner ? inner : "");
    if (info->needToFreeIdxStr)
        api().free(info->idxStr);
    info->idxStr = encoded;
    info->needToFreeIdxStr = 1;
    return encoded ? SQLITE_OK : SQLITE_NOMEM;
}

} // namespace

int overlayBestIndex(sqlite3_vtab* vtab, sqlite3_index_info* info)
{
    // The merge needs the inner cursor to walk every row in rowid order, so
    // SQLite checks the WHERE clause and ORDER BY on the merged rows; only a
    // rowid equality is looked up directly, in the log and in the inner table.
    OverlayTable* table = overlayTable(vtab);
    const int lookup = rowidEqualityConstraint(info);
    int rc = askInnerPlan(table, info, lookup);
    if (rc != SQLITE_OK)
        return rc;
    const bool innerLooksUp = lookup >= 0 && info->aConstraintUsage[lookup].argvIndex > 0;
    for (int i = 0; i < info->nConstraint; ++i) {
        info->aConstraintUsage[i].argvIndex = 0;
        info->aConstraintUsage[i].omit = 0;
    }
    if (lookup < 0)
        return encodePlan(info, scanPlan);
    // SQLite still checks the rowid itself, so a value that is not an
    // integer never shows a row that only its integer part matches.
    info->aConstraintUsage[lookup].argvIndex = 1;
    if (!innerLooksUp)
        return encodePlan(info, lookupByScanPlan);
    info->estimatedCost = 10;
    info->estimatedRows = 1;
    return encodePlan(info, lookupPlan);
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
    cursor->lookingUp = false;
    const char plan = idxStr && idxStr[0] ? idxStr[0] : scanPlan;
    const char* innerPlan = idxStr && idxStr[0] && idxStr[1] == '+' ? idxStr + 2 : nullptr;
    return guardTableCallback(&cursor->table->base, [&] {
        if (plan == lookupPlan && argc == 1)
            return startLookup(cursor, idxNum, innerPlan, argv[0]);
        int rc = innerModuleOf(cursor).xFilter(cursor->inner, idxNum, innerPlan, 0, nullptr);
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
    if (cursor->lookingUp)
        return 1;
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
