// The merging cursor: the inner rows the change log leaves as they were, and
// the stored rows in rowid order besides them. Reads follow the protocol:
// xFilter before anything else, and nothing asked of an inner cursor at its end.
#include "changelog/values.h"
#include "common/guard.h"
#include "overlay/callbacks.h"
#include "overlay/inner_cursors.h"
#include "overlay/plan.h"
#include "overlay/records.h"
#include "overlay/stored_rows.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace {

const sqlite3_module& innerModuleOf(OverlayCursor* cursor)
{
    return *cursor->table->inner->pModule;
}

// The log the cursor merges, taken again (as the table found it last) only
// when the table's registry entry changed: a scan asks for it at every row.
ChangeLog* mergedLog(OverlayCursor* cursor)
{
    if (cursor->innerOnly)
        return nullptr;
    if (cursor->logVersion != cursor->table->log->version()) {
        cursor->log = logOf(cursor->table);
        cursor->logVersion = cursor->table->lastLogVersion;
    }
    return cursor->log.get();
}

// A scan over a log reads its stored rows in one read transaction of the
// history database, from its filter to its end.
void startReading(OverlayCursor* cursor)
{
    if (cursor->reading || !mergedLog(cursor))
        return;
    const std::shared_ptr<History> history = historyOf(*cursor->table);
    if (const std::shared_ptr<HistoryFile::Open> file = history ? history->file().opened() : nullptr)
        cursor->reading.emplace(std::shared_ptr<SqliteDatabase>(file, &file->database));
}

void stopReading(OverlayCursor* cursor) noexcept
{
    cursor->reading.reset();
}

// SQLite filters one cursor again for each value of an IN list and each row
// of an outer loop, and some modules' cursors do not start over when filtered
// again: the inner cursor is replaced by a fresh one. The old one closes
// first, as SQLite would close it: some modules keep their latest cursor's
// state in the table, and any cursor's xClose frees it (spatialite's
// VirtualRouting). Without a fresh one the cursor has none.
int renewInnerCursor(OverlayCursor* cursor)
{
    OverlayTable* table = cursor->table;
    closeInnerCursor(table->db, std::exchange(cursor->inner, nullptr), false);
    sqlite3_vtab_cursor* fresh = nullptr;
    const int rc = table->inner->pModule->xOpen(table->inner, &fresh);
    if (rc != SQLITE_OK)
        return carryInnerError(table, rc);
    fresh->pVtab = table->inner;
    cursor->inner = fresh;
    return SQLITE_OK;
}

// Every stored row up to rowid is one the scan has passed.
void raiseFloorPast(OverlayCursor* cursor, sqlite3_int64 rowid)
{
    if (cursor->storedFloor && rowid >= *cursor->storedFloor)
        cursor->storedFloor =
            rowid == std::numeric_limits<sqlite3_int64>::max() ? std::nullopt : std::optional(rowid + 1);
}

// Takes up a log that appeared while the cursor showed an inner row read
// without one: what is stored up to that row the scan has passed. Asked of
// the row the cursor stands on, before it moves on, and only then: a scan
// without a log costs no call per row.
int takeUpLog(OverlayCursor* cursor)
{
    if (!cursor->unmerged || !mergedLog(cursor))
        return SQLITE_OK;
    sqlite3_int64 rowid = 0;
    const int rc = carryInnerError(cursor->table, innerModuleOf(cursor).xRowid(cursor->inner, &rowid));
    if (rc != SQLITE_OK)
        return rc;
    cursor->unmerged = false;
    raiseFloorPast(cursor, rowid);
    startReading(cursor);
    return SQLITE_OK;
}

// The end of a scan or a failure ends its reading.
int afterMove(OverlayCursor* cursor, int rc)
{
    if (rc != SQLITE_OK || cursor->phase == CursorPhase::End)
        stopReading(cursor);
    return rc;
}

// Settles the cursor on the next row to show, starting from where the inner
// cursor stands (when innerLeft) and from the stored rows above the floor.
// An unmerged cursor reads on without a log until takeUpLog takes one up.
int settle(OverlayCursor* cursor, bool innerLeft)
{
    const sqlite3_module& inner = innerModuleOf(cursor);
    if (cursor->rowidFilter && !cursor->wantedRowid) {
        cursor->phase = CursorPhase::End;
        return SQLITE_OK;
    }
    for (;;) {
        ChangeLog* log = cursor->unmerged ? nullptr : mergedLog(cursor);
        if (innerLeft && inner.xEof(cursor->inner))
            innerLeft = false;
        if (innerLeft && !log && !cursor->rowidFilter) {
            cursor->phase = CursorPhase::InnerRow;
            cursor->unmerged = true;
            return SQLITE_OK;
        }
        bool hasStored = false;
        sqlite3_int64 stored = 0;
        if (const std::optional<sqlite3_int64> next = log ? nextStoredRow(cursor, *log) : std::nullopt) {
            hasStored = true;
            stored = *next;
        }
        if (!innerLeft) {
            cursor->phase = hasStored ? CursorPhase::StoredRow : CursorPhase::End;
            cursor->storedRowid = stored;
            return SQLITE_OK;
        }
        sqlite3_int64 rowid = 0;
        int rc = carryInnerError(cursor->table, inner.xRowid(cursor->inner, &rowid));
        if (rc != SQLITE_OK)
            return rc;
        const bool unwanted = cursor->rowidFilter && rowid != *cursor->wantedRowid;
        const ChangeLog::RowState state = log && !unwanted ? log->rowState(rowid) : ChangeLog::RowState{false, false};
        if (unwanted || state.deleted || state.modified) {
            rc = carryInnerError(cursor->table, inner.xNext(cursor->inner));
            if (rc != SQLITE_OK)
                return rc;
            continue;
        }
        if (hasStored && stored < rowid) {
            cursor->phase = CursorPhase::StoredBeforeInner;
            cursor->storedRowid = stored;
            return SQLITE_OK;
        }
        // Every stored row below it was shown: one that a write on another
        // connection stores there later is a row this scan has passed, and
        // an inner row shown stays shown once, even when written meanwhile.
        if (log)
            raiseFloorPast(cursor, rowid);
        cursor->phase = CursorPhase::InnerRow;
        cursor->unmerged = !log;
        return SQLITE_OK;
    }
}

} // namespace

int overlayOpen(sqlite3_vtab* vtab, sqlite3_vtab_cursor** out)
{
    OverlayTable* table = overlayTable(vtab);
    closeFinishedCursors(table->db);
    const int checked = guardTableCallback(vtab, [table] {
        requireUnchangedFiles(table);
        return SQLITE_OK;
    });
    if (checked != SQLITE_OK)
        return checked;
    OverlayCursor* cursor = newRecord<OverlayCursor>();
    if (!cursor)
        return SQLITE_NOMEM;
    cursor->table = table;
    cursor->phase = CursorPhase::End;
    int rc = table->inner->pModule->xOpen(table->inner, &cursor->inner);
    if (rc != SQLITE_OK) {
        deleteRecord(cursor);
        return carryInnerError(table, rc);
    }
    cursor->inner->pVtab = table->inner;
    ++table->cursors;
    *out = &cursor->base;
    return SQLITE_OK;
}

int overlayClose(sqlite3_vtab_cursor* base)
{
    OverlayCursor* cursor = overlayCursor(base);
    --cursor->table->cursors;
    stopReading(cursor);
    if (cursor->inner)
        closeInnerCursor(cursor->table->db, cursor->inner, cursor->phase == CursorPhase::InnerRow);
    deleteRecord(cursor);
    return SQLITE_OK;
}

int overlayFilter(sqlite3_vtab_cursor* base, int idxNum, const char* idxStr, int argc, sqlite3_value** argv)
{
    OverlayCursor* cursor = overlayCursor(base);
    return guardTableCallback(&cursor->table->base, [&] {
        cursor->phase = CursorPhase::End;
        cursor->unmerged = false;
        if (cursor->filtered) {
            const int rc = renewInnerCursor(cursor);
            if (rc != SQLITE_OK)
                return rc;
        }
        cursor->filtered = true;
        const Plan plan = decodePlan(idxStr);
        cursor->innerOnly = cursor->table->innerOnly;
        cursor->storedFloor = std::numeric_limits<sqlite3_int64>::min();
        noteWantedRows(cursor, plan, argc, argv);
        startReading(cursor);
        const char* innerIdxStr = plan.innerIdxStr ? plan.innerIdxStr->constData() : nullptr;
        int rc =
            innerModuleOf(cursor).xFilter(cursor->inner, idxNum, innerIdxStr, std::min(plan.innerArgc, argc), argv);
        rc = carryInnerError(cursor->table, rc);
        return afterMove(cursor, rc != SQLITE_OK ? rc : settle(cursor, true));
    });
}

int overlayNext(sqlite3_vtab_cursor* base)
{
    OverlayCursor* cursor = overlayCursor(base);
    return guardTableCallback(&cursor->table->base, [&] {
        switch (cursor->phase) {
        case CursorPhase::InnerRow: {
            int rc = takeUpLog(cursor);
            if (rc == SQLITE_OK)
                rc = carryInnerError(cursor->table, innerModuleOf(cursor).xNext(cursor->inner));
            return afterMove(cursor, rc != SQLITE_OK ? rc : settle(cursor, true));
        }
        case CursorPhase::StoredBeforeInner:
        case CursorPhase::StoredRow: {
            const sqlite3_int64 rowid = cursor->storedRowid;
            if (rowid == std::numeric_limits<sqlite3_int64>::max())
                cursor->storedFloor.reset();
            else
                cursor->storedFloor = rowid + 1;
            return afterMove(cursor, settle(cursor, cursor->phase == CursorPhase::StoredBeforeInner));
        }
        case CursorPhase::End:
            return SQLITE_OK;
        }
        return SQLITE_OK;
    });
}

int overlayEof(sqlite3_vtab_cursor* base)
{
    return overlayCursor(base)->phase == CursorPhase::End ? 1 : 0;
}

int overlayColumn(sqlite3_vtab_cursor* base, sqlite3_context* ctx, int column)
{
    OverlayCursor* cursor = overlayCursor(base);
    if (cursor->phase == CursorPhase::InnerRow)
        return carryInnerError(cursor->table, innerModuleOf(cursor).xColumn(cursor->inner, ctx, column));
    return guardTableCallback(&cursor->table->base, [&] {
        ChangeLog* log = mergedLog(cursor);
        // A stored row taken away while the scan went on reads as NULLs.
        const RowSnapshot* row = log ? storedRow(cursor, *log, cursor->storedRowid) : nullptr;
        if (row)
            resultFromSnapshot(ctx, *row, column);
        else
            sqlite3_result_null(ctx);
        return SQLITE_OK;
    });
}

int overlayRowid(sqlite3_vtab_cursor* base, sqlite3_int64* rowid)
{
    OverlayCursor* cursor = overlayCursor(base);
    if (cursor->phase == CursorPhase::InnerRow)
        return carryInnerError(cursor->table, innerModuleOf(cursor).xRowid(cursor->inner, rowid));
    *rowid = cursor->storedRowid;
    return SQLITE_OK;
}
