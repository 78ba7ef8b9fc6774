// The stored rows a cursor visits: what its plan's equalities say of the rows
// wanted, the next stored row they leave possible, and a stored row read once.
#include "overlay/stored_rows.h"

#include "changelog/values.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace {

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

bool meetsExactValues(OverlayCursor* cursor, ChangeLog& log, sqlite3_int64 rowid)
{
    return std::all_of(cursor->exactValues.begin(), cursor->exactValues.end(), [&](const ExactValue& wanted) {
        const RowSnapshot* row = storedRow(cursor, log, rowid);
        return row && holds(row->value(wanted.column), wanted);
    });
}

// The rowids among which the stored rows wanted are, ascending, when the
// plan's equalities narrow them down: those every list of them gives. The
// lists of exact values hold just the rows that meet them.
std::optional<std::vector<qint64>> candidateRowids(OverlayCursor* cursor, ChangeLog& log)
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

std::optional<sqlite3_int64> findNextStoredRow(OverlayCursor* cursor, ChangeLog& log, sqlite3_int64 floor)
{
    if (cursor->rowidFilter) {
        if (!cursor->wantedRowid)
            return std::nullopt;
        const sqlite3_int64 wanted = *cursor->wantedRowid;
        const bool shown = wanted >= floor && log.isStored(wanted) && meetsExactValues(cursor, log, wanted);
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
        if (log.isStored(*at) && (exact || meetsExactValues(cursor, log, *at)))
            return *at;
    }
    return std::nullopt;
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

} // namespace

// The stored row of rowid as the cursor read it last, or read now; null when
// the log holds none (taken away while the scan went on).
const RowSnapshot* storedRow(OverlayCursor* cursor, ChangeLog& log, sqlite3_int64 rowid)
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

// The next stored row at or above the floor that the plan's constraints
// leave possible; asked once per inner row, found again only when the floor
// or the log changed.
std::optional<sqlite3_int64> nextStoredRow(OverlayCursor* cursor, ChangeLog& log)
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
