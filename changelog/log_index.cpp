// The index's lookups. The by-value lookup files each stored value under its
// key (values.h); it answers for SQLite's equality only when the column holds
// one kind of value besides NULL, where byte equality of keys is SQLite's own.
#include "changelog/log_index.h"

#include "changelog/values.h"

#include <algorithm>
#include <limits>

const QList<QVariant>* LogIndex::stored(qint64 rowid) const
{
    auto row = rows.find(rowid);
    return row == rows.end() ? nullptr : &row->second;
}

std::optional<qint64> LogIndex::firstStoredFrom(qint64 rowid) const
{
    auto next = order.lower_bound(rowid);
    return next == order.end() ? std::nullopt : std::optional<qint64>(*next);
}

std::optional<qint64> LogIndex::walkStored(qint64 from) const
{
    std::optional<qint64> free = from;
    for (auto at = order.lower_bound(from); free && at != order.end() && *at == *free; ++at) {
        if (*free == std::numeric_limits<qint64>::max())
            free.reset();
        else
            ++*free;
    }
    return free;
}

std::optional<qint64> LogIndex::firstUnstoredFrom(qint64 from)
{
    if (!gap || gap->from != from)
        gap = Gap{from, walkStored(from)};
    return gap->firstFree;
}

namespace {

const QVariant& valueAt(const QList<QVariant>& values, int column)
{
    static const QVariant none;
    return column >= 0 && column < values.size() ? values.at(column) : none;
}

int countIndex(unsigned kind)
{
    switch (kind) {
    case ValueKind::Number:
        return 1;
    case ValueKind::Text:
        return 2;
    case ValueKind::Blob:
        return 3;
    default:
        return 0;
    }
}

} // namespace

unsigned LogIndex::ColumnValues::kinds() const
{
    unsigned present = 0;
    for (unsigned kind : {ValueKind::Null, ValueKind::Number, ValueKind::Text, ValueKind::Blob}) {
        if (kindCounts[countIndex(kind)] > 0)
            present |= kind;
    }
    return present;
}

void LogIndex::ColumnValues::add(qint64 rowid, const QVariant& value)
{
    const unsigned kind = kindOf(value);
    ++kindCounts[countIndex(kind)];
    if (kind == ValueKind::Null)
        return;
    std::vector<qint64>& list = rowids[valueKey(value)];
    list.insert(std::lower_bound(list.begin(), list.end(), rowid), rowid);
}

void LogIndex::ColumnValues::take(qint64 rowid, const QVariant& value)
{
    const unsigned kind = kindOf(value);
    --kindCounts[countIndex(kind)];
    if (kind == ValueKind::Null)
        return;
    auto list = rowids.find(valueKey(value));
    if (list == rowids.end())
        return;
    auto at = std::lower_bound(list->begin(), list->end(), rowid);
    if (at != list->end() && *at == rowid)
        list->erase(at);
    if (list->empty())
        rowids.erase(list);
}

void LogIndex::store(qint64 rowid, const QList<QVariant>& values)
{
    auto found = rows.find(rowid);
    if (found == rows.end()) {
        found = rows.emplace(rowid, values).first;
        order.insert(rowid);
    } else {
        for (auto& [column, built] : columns)
            built.take(rowid, valueAt(found->second, column));
        found->second = values;
    }
    for (auto& [column, built] : columns)
        built.add(rowid, valueAt(values, column));
    if (gap && gap->firstFree == rowid)
        gap->firstFree = walkStored(rowid);
}

void LogIndex::remove(qint64 rowid)
{
    auto found = rows.find(rowid);
    if (found == rows.end())
        return;
    for (auto& [column, built] : columns)
        built.take(rowid, valueAt(found->second, column));
    rows.erase(found);
    order.erase(rowid);
    if (gap && rowid >= gap->from && (!gap->firstFree || rowid < *gap->firstFree))
        gap->firstFree = rowid;
}

LogIndex::ColumnValues& LogIndex::columnValues(int column)
{
    auto found = columns.find(column);
    if (found != columns.end())
        return found->second;
    ColumnValues& built = columns[column];
    for (qint64 rowid : order)
        built.add(rowid, valueAt(rows.at(rowid), column));
    return built;
}

std::optional<std::vector<qint64>> LogIndex::storedWithValue(int column, const QVariant& value)
{
    const unsigned kind = kindOf(value);
    if (kind == ValueKind::Null)
        return std::vector<qint64>();
    const ColumnValues& values = columnValues(column);
    if ((values.kinds() & ~(kind | ValueKind::Null)) != 0)
        return std::nullopt;
    return values.rowids.value(valueKey(value));
}

std::vector<qint64> LogIndex::storedHolding(int column, const QVariant& value)
{
    if (kindOf(value) == ValueKind::Null)
        return std::vector<qint64>();
    return columnValues(column).rowids.value(valueKey(value));
}

std::optional<int> LogIndex::highestStepAtOrBelow(int step) const
{
    auto after = stepRows.upper_bound(step);
    if (after == stepRows.begin())
        return std::nullopt;
    return std::prev(after)->first;
}

std::optional<int> LogIndex::lowestStepAbove(int step) const
{
    auto above = stepRows.upper_bound(step);
    return above == stepRows.end() ? std::nullopt : std::optional<int>(above->first);
}
