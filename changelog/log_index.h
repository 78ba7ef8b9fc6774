// What a manager knows of its table's log without asking the database: the
// deleted set, the stored rows decoded, the position and the steps holding rows.
#pragma once

#include <QList>
#include <QVariant>
#include <QtGlobal>

#include <limits>
#include <map>
#include <optional>
#include <unordered_set>

struct LogIndex {
    // The database generation at which the index matched the log; 0: never.
    quint64 validAt = 0;
    std::unordered_set<qint64> deleted;
    // Changed only through store and remove.
    std::map<qint64, QList<QVariant>> stored;
    // The history position, when the table has a registry row.
    bool registered = false;
    int position = 0;
    // Number of history rows per step.
    std::map<int, int> stepRows;

    void store(qint64 rowid, const QList<QVariant>& values)
    {
        stored[rowid] = values;
        if (gap && gap->firstFree == rowid)
            gap->firstFree = walkStored(rowid);
    }
    void remove(qint64 rowid)
    {
        stored.erase(rowid);
        if (gap && rowid >= gap->from && (!gap->firstFree || rowid < *gap->firstFree))
            gap->firstFree = rowid;
    }
    // The first rowid at or above from without a stored row, remembered for the
    // next call with the same from and kept up to date by store and remove, so
    // that inserting row after row does not walk all earlier ones each time.
    std::optional<qint64> firstUnstoredFrom(qint64 from)
    {
        if (!gap || gap->from != from)
            gap = Gap{from, walkStored(from)};
        return gap->firstFree;
    }

    std::optional<int> highestStepAtOrBelow(int step) const
    {
        auto after = stepRows.upper_bound(step);
        if (after == stepRows.begin())
            return std::nullopt;
        return std::prev(after)->first;
    }
    std::optional<int> lowestStepAbove(int step) const
    {
        auto above = stepRows.upper_bound(step);
        return above == stepRows.end() ? std::nullopt : std::optional<int>(above->first);
    }
    void eraseStepsAbove(int step) { stepRows.erase(stepRows.upper_bound(step), stepRows.end()); }

private:
    struct Gap {
        qint64 from;
        std::optional<qint64> firstFree;
    };
    std::optional<Gap> gap;

    std::optional<qint64> walkStored(qint64 rowid) const
    {
        for (auto at = stored.lower_bound(rowid); at != stored.end() && at->first == rowid; ++at) {
            if (rowid == std::numeric_limits<qint64>::max())
                return std::nullopt;
            ++rowid;
        }
        return rowid;
    }
};
