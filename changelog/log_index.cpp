// The index's lookups. The by-value lookup files each stored value under its
// key (values.h); it answers for SQLite's equality only when the column holds
// one kind of value besides NULL, where byte equality of keys is SQLite's own.
#include "changelog/log_index.h"

#include "changelog/values.h"

#include <algorithm>

std::optional<qint64> LogIndex::firstUnstoredFrom(qint64 from)
{
    if (!gap || gap->from != from)
        gap = Gap{from, stored.firstAbsentFrom(from)};
    return gap->firstFree;
}

void LogIndex::store(qint64 rowid)
{
    stored.insert(rowid);
    if (gap && gap->firstFree == rowid)
        gap->firstFree = stored.firstAbsentFrom(rowid);
}

void LogIndex::remove(qint64 rowid)
{
    if (!stored.erase(rowid))
        return;
    if (gap && rowid >= gap->from && (!gap->firstFree || rowid < *gap->firstFree))
        gap->firstFree = rowid;
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

void LogIndex::file(qint64 rowid, const QList<QVariant>& row)
{
    for (auto& [column, values] : columns)
        values.add(rowid, valueAt(row, column));
}

void LogIndex::unfile(qint64 rowid, const QList<QVariant>& row)
{
    for (auto& [column, values] : columns)
        values.take(rowid, valueAt(row, column));
}

void LogIndex::fileValue(int column, qint64 rowid, const QVariant& value)
{
    columns[column].add(rowid, value);
}

std::optional<std::vector<qint64>> LogIndex::storedWithValue(int column, const QVariant& value) const
{
    const unsigned kind = kindOf(value);
    if (kind == ValueKind::Null)
        return std::vector<qint64>();
    const ColumnValues& values = columns.at(column);
    if ((values.kinds() & ~(kind | ValueKind::Null)) != 0)
        return std::nullopt;
    return values.rowids.value(valueKey(value));
}

std::vector<qint64> LogIndex::storedHolding(int column, const QVariant& value) const
{
    if (kindOf(value) == ValueKind::Null)
        return std::vector<qint64>();
    return columns.at(column).rowids.value(valueKey(value));
}

std::optional<int> LogIndex::highestStepAtOrBelow(int step) const
{
    auto after = steps.upper_bound(step);
    if (after == steps.begin())
        return std::nullopt;
    return *std::prev(after);
}

std::optional<int> LogIndex::lowestStepAbove(int step) const
{
    auto above = steps.upper_bound(step);
    return above == steps.end() ? std::nullopt : std::optional<int>(*above);
}
