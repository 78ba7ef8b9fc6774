// The merging cursor. The inner module answers the query with its own plan;
// the overlay skips the inner rows that the change log deleted or holds new
// values for, and visits the stored rows in rowid order besides them. SQLite
// checks every constraint again on each row, so results stay exact whatever
// the inner plan filtered. Reads follow the protocol: xFilter before anything
// else, and nothing asked of an inner cursor at its end.
#include "changelog/values.h"
#include "overlay/callbacks.h"
#include "overlay/column_types.h"
#include "common/guard.h"
#include "overlay/inner_cursors.h"
#include "overlay/inner_rows.h"
#include "overlay/plan.h"
#include "overlay/records.h"

#include <QVarLengthArray>

#include <algorithm>
#include <iterator>
#include <limits>
#include <utility>

namespace {

const sqlite3_module& innerModuleOf(OverlayCursor* cursor)
{
    return *cursor->table->inner->pModule;
}

// The log the cursor merges, taken again (as the table found it last) only
// when the table's registry entry changed: a scan asks for it at every row.
ModificationManager* mergedLog(OverlayCursor* cursor)
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

// The stored row of rowid as the cursor read it last, or read now; null when
// the log holds none (taken away while the scan went on).
const RowSnapshot* storedRow(OverlayCursor* cursor, ModificationManager& log, sqlite3_int64 rowid)
{
    const quint64 changes = log.changeCount();
    if (cursor->rowRead != std::make_pair(rowid, changes)) {
        cursor->rowRead.reset();
        if (!log.readRow(rowid, cursor->row, cursor->reading ? &*cursor->reading : nullptr))
            return nullptr;
        cursor->rowRead = std::make_pair(rowid, changes);
    }
    return &cursor->row;
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

bool isLimitOrOffset(const sqlite3_index_info::sqlite3_index_constraint& constraint)
{
    return constraint.op == SQLITE_INDEX_CONSTRAINT_LIMIT || constraint.op == SQLITE_INDEX_CONSTRAINT_OFFSET;
}

bool constrainsRowid(const sqlite3_index_info* info)
{
    for (int i = 0; i < info->nConstraint; ++i) {
        const sqlite3_index_info::sqlite3_index_constraint& constraint = info->aConstraint[i];
        if (constraint.usable && constraint.iColumn < 0 && !isLimitOrOffset(constraint))
            return true;
    }
    return false;
}

// Asks the inner module for its plan without LIMIT, OFFSET or ORDER BY:
// deleted and changed rows would use up a limit, and the merge decides the
// order. A module that finds no row by its rowid gets no constraint on it:
// the overlay scans its rows and matches the rowid itself.
int askInnerPlan(OverlayTable* table, sqlite3_index_info* info)
{
    bool withholdRowid = false;
    const int asked = guardTableCallback(&table->base, [&] {
        withholdRowid = constrainsRowid(info) && !findsRowsByRowid(*table);
        return SQLITE_OK;
    });
    if (asked != SQLITE_OK)
        return asked;
    QVarLengthArray<unsigned char, 16> usable(info->nConstraint);
    for (int i = 0; i < info->nConstraint; ++i) {
        usable[i] = info->aConstraint[i].usable;
        if (isLimitOrOffset(info->aConstraint[i]) || (withholdRowid && info->aConstraint[i].iColumn < 0))
            info->aConstraint[i].usable = 0;
    }
    const int orderBy = info->nOrderBy;
    info->nOrderBy = 0;
    int rc = table->inner->pModule->xBestIndex(table->inner, info);
    info->nOrderBy = orderBy;
    for (int i = 0; i < info->nConstraint; ++i)
        info->aConstraint[i].usable = usable[i];
    return carryInnerError(table, rc);
}

bool isBinaryCollation(sqlite3_index_info* info, int constraint)
{
    const char* collation = sqlite3_vtab_collation(info, constraint);
    return !collation || sqlite3_stricmp(collation, "BINARY") == 0;
}

// The rowid that equals an equality constraint's value as SQLite compares
// them (integer affinity); none when no rowid can.
std::optional<sqlite3_int64> rowidEqualTo(sqlite3_value* value)
{
    switch (sqlite3_value_type(value)) {
    case SQLITE_INTEGER:
        return sqlite3_value_int64(value);
    case SQLITE_FLOAT:
        return integralValue(sqlite3_value_double(value));
    case SQLITE_TEXT: {
        // Converted on a copy: the inner module gets the value as it came.
        sqlite3_value* copy = sqlite3_value_dup(value);
        if (!copy)
            throw ErrorPair(SQLITE_NOMEM, QByteArray("out of memory"));
        std::optional<sqlite3_int64> rowid;
        const int type = sqlite3_value_numeric_type(copy);
        if (type == SQLITE_INTEGER)
            rowid = sqlite3_value_int64(copy);
        else if (type == SQLITE_FLOAT)
            rowid = integralValue(sqlite3_value_double(copy));
        sqlite3_value_free(copy);
        return rowid;
    }
    default:
        return std::nullopt;
    }
}

ExactValue exactValueOf(int column, sqlite3_value* value)
{
    ExactValue exact{column, sqlite3_value_type(value), variantFromValue(value), QByteArray()};
    if (exact.type == SQLITE_TEXT)
        exact.text = QByteArray(reinterpret_cast<const char*>(sqlite3_value_text(value)), sqlite3_value_bytes(value));
    return exact;
}

// Whether a stored value equals the wanted one as SQLite compares them in a
// column of BLOB affinity: no conversion, numbers by value, text and blobs
// byte for byte as the column shows them, NULL never.
bool holds(const QVariant& stored, const ExactValue& wanted)
{
    switch (wanted.type) {
    case SQLITE_NULL:
        return false;
    case SQLITE_TEXT:
        return kindOf(stored) == ValueKind::Text && utf8FromText(stored.toString()) == wanted.text;
    default:
        return kindOf(stored) == kindOf(wanted.value) && valueKey(stored) == valueKey(wanted.value);
    }
}

bool meetsExactValues(OverlayCursor* cursor, ModificationManager& log, sqlite3_int64 rowid)
{
    return std::all_of(cursor->exactValues.begin(), cursor->exactValues.end(), [&](const ExactValue& wanted) {
        const RowSnapshot* row = storedRow(cursor, log, rowid);
        return row && holds(row->value(wanted.column), wanted);
    });
}

// The rowids among which the stored rows wanted are, ascending, when the
// plan's equalities narrow them down: those every list of them gives. The
// lists of exact values hold just the rows that meet them.
std::optional<std::vector<qint64>> candidateRowids(OverlayCursor* cursor, ModificationManager& log)
{
    std::optional<std::vector<qint64>> candidates;
    auto narrow = [&candidates](std::optional<std::vector<qint64>> matching) {
        if (!matching)
            return;
        if (!candidates) {
            candidates = std::move(matching);
            return;
        }
        std::vector<qint64> both;
        std::set_intersection(candidates->begin(), candidates->end(), matching->begin(), matching->end(),
                              std::back_inserter(both));
        candidates = std::move(both);
    };
    for (const ExactValue& wanted : cursor->exactValues)
        narrow(wanted.type == SQLITE_NULL ? std::vector<qint64>()
                                          : log.modifiedRowidsHolding(wanted.column, wanted.value));
    for (const auto& [column, value] : cursor->wantedValues)
        narrow(log.modifiedRowidsWithValue(column, value));
    for (const auto& [column, values] : cursor->wantedAnyOf) {
        std::vector<qint64> any;
        for (const QVariant& value : values) {
            const std::optional<std::vector<qint64>> matching = log.modifiedRowidsWithValue(column, value);
            if (!matching)
                return candidates;
            std::vector<qint64> both;
            std::set_union(any.begin(), any.end(), matching->begin(), matching->end(), std::back_inserter(both));
            any = std::move(both);
        }
        narrow(std::move(any));
    }
    return candidates;
}

std::optional<sqlite3_int64> findNextStoredRow(OverlayCursor* cursor, ModificationManager& log, sqlite3_int64 floor)
{
    if (cursor->rowidFilter) {
        if (!cursor->wantedRowid)
            return std::nullopt;
        const sqlite3_int64 wanted = *cursor->wantedRowid;
        const bool shown = wanted >= floor && log.isRowModified(wanted) && meetsExactValues(cursor, log, wanted);
        return shown ? std::optional<sqlite3_int64>(wanted) : std::nullopt;
    }
    if (!cursor->candidatesKnown) {
        cursor->candidatesKnown = true;
        cursor->candidates = candidateRowids(cursor, log);
        cursor->candidatesChanges = log.changeCount();
    }
    // Without candidates there are no exact values to meet either.
    if (!cursor->candidates)
        return log.firstModifiedRowidFrom(floor);
    // The candidates meet the exact values until the log changes.
    const bool exact = cursor->candidatesChanges == log.changeCount();
    const std::vector<qint64>& candidates = *cursor->candidates;
    for (auto at = std::lower_bound(candidates.begin(), candidates.end(), floor); at != candidates.end(); ++at) {
        if (log.isRowModified(*at) && (exact || meetsExactValues(cursor, log, *at)))
            return *at;
    }
    return std::nullopt;
}

// The next stored row at or above the floor that the plan's constraints
// leave possible; asked once per inner row, found again only when the floor
// or the log changed.
std::optional<sqlite3_int64> nextStoredRow(OverlayCursor* cursor, ModificationManager& log)
{
    if (!cursor->storedFloor)
        return std::nullopt;
    auto& cached = cursor->nextStored;
    const sqlite3_int64 floor = *cursor->storedFloor;
    const quint64 changes = log.changeCount();
    // A floor raised no higher than the row found last finds it again.
    const bool found =
        cached.known && cached.changes == changes && floor >= cached.floor && (!cached.rowid || *cached.rowid >= floor);
    if (!found) {
        cached.rowid = findNextStoredRow(cursor, log, floor);
        cached.changes = changes;
        cached.known = true;
    }
    cached.floor = floor;
    return cached.rowid;
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
        ModificationManager* log = cursor->unmerged ? nullptr : mergedLog(cursor);
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
        const ModificationManager::RowState state =
            log && !unwanted ? log->rowState(rowid) : ModificationManager::RowState{false, false};
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

// Whether value is an IN list that the inner module takes whole, all values
// at once; then values holds them where they narrow the stored rows down (on
// a column, each compared byte for byte or no text), else none.
bool readList(const PlanFilter& filter, sqlite3_value* list, std::optional<std::vector<QVariant>>& values)
{
    sqlite3_value* item = nullptr;
    int rc = sqlite3_vtab_in_first(list, &item);
    if (rc == SQLITE_MISUSE)
        return false;
    values.emplace();
    for (; rc == SQLITE_OK && item; rc = sqlite3_vtab_in_next(list, &item)) {
        if (values && (filter.binary || sqlite3_value_type(item) != SQLITE_TEXT))
            values->push_back(variantFromValue(item));
        else
            values.reset();
    }
    if (rc != SQLITE_OK && rc != SQLITE_DONE)
        throw ErrorPair(rc, QByteArray("cannot read the values of an IN list"));
    if (filter.column < 0)
        values.reset();
    return true;
}

// Remembers what the plan's equality constraints say of the rows wanted.
void noteWantedRows(OverlayCursor* cursor, const Plan& plan, int argc, sqlite3_value** argv)
{
    cursor->rowidFilter = false;
    cursor->wantedRowid.reset();
    cursor->wantedValues.clear();
    cursor->wantedAnyOf.clear();
    cursor->exactValues.clear();
    cursor->candidates.reset();
    cursor->candidatesKnown = false;
    cursor->nextStored.known = false;
    for (const PlanFilter& filter : plan.filters) {
        if (filter.argvIndex < 1 || filter.argvIndex > argc)
            continue;
        sqlite3_value* value = argv[filter.argvIndex - 1];
        std::optional<std::vector<QVariant>> listed;
        if (readList(filter, value, listed)) {
            if (listed)
                cursor->wantedAnyOf.emplace_back(filter.column, std::move(*listed));
        } else if (filter.column < 0) {
            const std::optional<sqlite3_int64> rowid = rowidEqualTo(value);
            if (cursor->rowidFilter && cursor->wantedRowid != rowid)
                cursor->wantedRowid.reset();
            else
                cursor->wantedRowid = rowid;
            cursor->rowidFilter = true;
        } else if (filter.exact) {
            cursor->exactValues.push_back(exactValueOf(filter.column, value));
        } else if (filter.binary || sqlite3_value_type(value) != SQLITE_TEXT) {
            cursor->wantedValues.emplace_back(filter.column, variantFromValue(value));
        }
    }
}

} // namespace

int overlayBestIndex(sqlite3_vtab* vtab, sqlite3_index_info* info)
{
    OverlayTable* table = overlayTable(vtab);
    int rc = askInnerPlan(table, info);
    if (rc != SQLITE_OK)
        return rc;
    Plan plan;
    QVarLengthArray<bool, 16> innerOmits(info->nConstraint);
    for (int i = 0; i < info->nConstraint; ++i) {
        plan.innerArgc = std::max(plan.innerArgc, info->aConstraintUsage[i].argvIndex);
        innerOmits[i] = info->aConstraintUsage[i].omit && info->aConstraintUsage[i].argvIndex > 0;
        // SQLite checks the constraints itself again: the log may hold rows
        // the inner plan knows nothing of.
        info->aConstraintUsage[i].omit = 0;
    }
    int nextArgument = plan.innerArgc;
    bool oneRow = false;
    for (int i = 0; i < info->nConstraint; ++i) {
        const sqlite3_index_info::sqlite3_index_constraint& constraint = info->aConstraint[i];
        if (!constraint.usable || constraint.op != SQLITE_INDEX_CONSTRAINT_EQ)
            continue;
        int& argvIndex = info->aConstraintUsage[i].argvIndex;
        if (argvIndex == 0)
            argvIndex = ++nextArgument;
        const bool binary = isBinaryCollation(info, i);
        // An IN list may come whole (sqlite3_vtab_in) where the inner module asks.
        const bool list = sqlite3_vtab_in(info, i, -1) != 0;
        // An equality the inner module answers itself, SQLite need not check
        // again where the overlay can match the stored rows just as SQLite
        // would: byte for byte, in a column whose values SQLite compares
        // unconverted with a bound value.
        const bool exact = !list && innerOmits[i] && binary && comparesWithoutConversion(table, constraint.iColumn);
        info->aConstraintUsage[i].omit = exact;
        plan.filters.append({constraint.iColumn, argvIndex, binary, exact});
        oneRow = oneRow || (constraint.iColumn < 0 && !list);
    }
    if (info->idxStr)
        plan.innerIdxStr = QByteArray(info->idxStr);
    char* encoded = encodePlan(plan);
    if (info->needToFreeIdxStr)
        sqlite3_free(info->idxStr);
    info->idxStr = encoded;
    info->needToFreeIdxStr = 1;
    info->orderByConsumed = 0;
    // The cursor shows at most the one row an equality on the rowid names,
    // which spares single-row writes SQLite's statement savepoint.
    if (oneRow)
        info->idxFlags |= SQLITE_INDEX_SCAN_UNIQUE;
    else
        info->idxFlags &= ~SQLITE_INDEX_SCAN_UNIQUE;
    return encoded ? SQLITE_OK : SQLITE_NOMEM;
}

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
        ModificationManager* log = mergedLog(cursor);
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
