// The history rules as a model of their own: numbered steps of row changes and
// a position, replayed over the inner rows. The randomized tests compare the
// overlay with it.
#pragma once

#include "memory_module.h"

#include <iterator>
#include <map>
#include <optional>
#include <vector>

using Rows = std::map<sqlite3_int64, memory_module::Row>;

// One row written: values stored under a rowid, or (no values) a rowid deleted.
struct Change {
    sqlite3_int64 rowid;
    std::optional<memory_module::Row> values;
};

inline void applyChange(Rows& rows, const Change& change)
{
    if (change.values)
        rows[change.rowid] = *change.values;
    else
        rows.erase(change.rowid);
}

// Steps at or below the position are applied, steps above it reverted.
class StepModel {
public:
    long long position = 1;

    bool empty() const { return steps.empty(); }

    void record(const Change& change)
    {
        // New work discards what could be redone and starts a step of its own.
        if (steps.upper_bound(position) != steps.end()) {
            eraseAbove();
            if (steps.count(position))
                ++position;
        }
        steps[position].push_back(change);
    }

    void commit()
    {
        eraseAbove();
        ++position;
    }

    void undo(long long times)
    {
        for (long long i = 0; i < times; ++i) {
            auto above = steps.upper_bound(position);
            position = above == steps.begin() ? position - 1 : std::prev(above)->first - 1;
        }
    }

    void redo(long long times)
    {
        bool reapplied = false;
        for (long long i = 0; i < times; ++i) {
            auto next = steps.upper_bound(position);
            reapplied = reapplied || next != steps.end();
            position = next == steps.end() ? position + 1 : next->first;
        }
        if (reapplied && steps.upper_bound(position) == steps.end())
            ++position;
    }

    Rows replay(Rows rows) const
    {
        for (auto step = steps.begin(); step != steps.upper_bound(position); ++step)
            for (const Change& change : step->second)
                applyChange(rows, change);
        return rows;
    }

private:
    std::map<long long, std::vector<Change>> steps;

    void eraseAbove() { steps.erase(steps.upper_bound(position), steps.end()); }
};
