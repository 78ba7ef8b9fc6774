// The index's lookups and counts. The by-value lookup files each stored value
// under its key (values.h); it answers for SQLite's equality only when the
// column holds one kind of value besides NULL, where byte equality of keys is
// SQLite's own. Counts of changed rows and applied steps are kept as the sets
// and the position change, so that reading them costs nothing.
#include "changelog/log_index.h"

#include "changelog/values.h"

#include <algorithm>
#include <iterator>
#include <limits>

std::optional<qint64> LogIndex::firstUnstoredFrom(qint64 from)
{
    if (!gap || gap->from != from)
        gap = Gap{from, stored.firstAbsentFrom(from)};
    return gap->firstFree;
}

void LogIndex::store(qint64 rowid)
{
    if (!stored.insert(rowid))
        return;
    if (isInner(rowid)) {
        ++storedInner;
        if (deleted.contains(rowid))
            --hiddenInner;
    }
    if (gap && gap->firstFree == rowid)
        gap->firstFree = stored.firstAbsentFrom(rowid);
}

void LogIndex::remove(qint64 rowid)
{
    if (!stored.erase(rowid))
        return;
    if (isInner(rowid)) {
        --storedInner;
        if (deleted.contains(rowid))
            ++hiddenInner;
    }
    auto moved = movedFrom.find(rowid);
    if (moved != movedFrom.end()) {
        origins.erase(moved->second);
        movedFrom.erase(moved);
    }
    if (gap && rowid >= gap->from && (!gap->firstFree || rowid < *gap->firstFree))
        gap->firstFree = rowid;
}

void LogIndex::markDeleted(qint64 rowid)
{
    if (deleted.insert(rowid) && isInner(rowid) && !stored.contains(rowid))
        ++hiddenInner;
}

void LogIndex::unmarkDeleted(qint64 rowid)
{
    if (deleted.erase(rowid) && isInner(rowid) && !stored.contains(rowid))
        --hiddenInner;
}

void LogIndex::setInnerLimit(qint64 firstNewRowid)
{
    limit = firstNewRowid;
    storedInner = 0;
    hiddenInner = 0;
    stored.forEach([this](qint64 rowid) { storedInner += isInner(rowid); });
    deleted.forEach([this](qint64 rowid) { hiddenInner += isInner(rowid) && !stored.contains(rowid); });
}

std::optional<qint64> LogIndex::originOf(qint64 rowid) const
{
    if (std::optional<qint64> moved = movedOrigin(rowid))
        return moved;
    return isInner(rowid) ? std::optional<qint64>(rowid) : std::nullopt;
}

std::optional<qint64> LogIndex::movedOrigin(qint64 rowid) const
{
    auto moved = movedFrom.find(rowid);
    return moved == movedFrom.end() ? std::nullopt : std::optional<qint64>(moved->second);
}

void LogIndex::setOrigin(qint64 rowid, qint64 origin)
{
    if (isInner(rowid) || !stored.contains(rowid))
        return;
    auto [moved, added] = movedFrom.emplace(rowid, origin);
    if (!added) {
        origins.erase(moved->second);
        moved->second = origin;
    }
    origins.insert(origin);
}

std::optional<qint64> LogIndex::firstDeletionFrom(qint64 rowid) const
{
    for (std::optional<qint64> at = deleted.lowerBound(rowid); at && isInner(*at); at = deleted.lowerBound(*at + 1)) {
        if (!stored.contains(*at) && !isMovedOrigin(*at))
            return at;
        if (*at == std::numeric_limits<qint64>::max())
            break;
    }
    return std::nullopt;
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
    return std::prev(after)->first;
}

std::optional<int> LogIndex::lowestStepAbove(int step) const
{
    auto above = steps.upper_bound(step);
    return above == steps.end() ? std::nullopt : std::optional<int>(above->first);
}

void LogIndex::setPosition(std::optional<int> position)
{
    const int from = current(), to = position.value_or(-1);
    const auto low = steps.upper_bound(std::min(from, to)), high = steps.upper_bound(std::max(from, to));
    const qint64 crossed = std::distance(low, high);
    applied += to > from ? crossed : -crossed;
    position_ = position;
}

void LogIndex::addEntry(int step, Entry entry)
{
    auto [at, added] = steps.try_emplace(step);
    if (added && step <= current())
        ++applied;
    Step& counts = at->second;
    ++counts.rows;
    switch (entry) {
    case Entry::Deletion:
        ++counts.deleted;
        break;
    case Entry::Insertion:
        ++counts.inserted;
        break;
    case Entry::Move:
        --counts.deleted;
        ++counts.updated;
        break;
    case Entry::Update:
        ++counts.updated;
        break;
    }
}

void LogIndex::eraseStepsAbove(int step)
{
    const auto first = steps.upper_bound(step);
    if (first == steps.end())
        return;
    applied -= std::distance(first, steps.upper_bound(std::max(step, current())));
    carried.erase(carried.lower_bound({first->first, std::numeric_limits<qint64>::min()}), carried.end());
    steps.erase(first, steps.end());
}

std::optional<qint64> LogIndex::carriedOrigin(int step, qint64 historyRow) const
{
    auto found = carried.find({step, historyRow});
    return found == carried.end() ? std::nullopt : std::optional<qint64>(found->second);
}

void LogIndex::setLabel(int step, const std::optional<QString>& label)
{
    auto found = steps.find(step);
    if (found != steps.end())
        found->second.label = label;
}

LogIndex::CleanMark LogIndex::currentState() const
{
    const std::optional<int> top = highestStepAtOrBelow(current());
    return CleanMark{top, top ? steps.at(*top).rows : 0, false};
}

bool LogIndex::isClean() const
{
    const CleanMark now = currentState();
    return !mark.lost && now.step == mark.step && now.rows == mark.rows;
}
