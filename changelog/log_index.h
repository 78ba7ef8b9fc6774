// What a manager knows of its table's log without asking the database: the
// deleted set, the stored rows decoded, the position and the steps holding rows.
#pragma once

#include <QList>
#include <QVariant>
#include <QtGlobal>

#include <map>
#include <optional>
#include <unordered_set>

struct LogIndex {
    // The database generation at which the index matched the log; 0: never.
    quint64 validAt = 0;
    std::unordered_set<qint64> deleted;
    std::map<qint64, QList<QVariant>> stored;
    // The history position, when the table has a registry row.
    bool registered = false;
    int position = 0;
    // Number of history rows per step.
    std::map<int, int> stepRows;

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
};
