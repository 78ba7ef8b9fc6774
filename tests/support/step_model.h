// The history rules as a model of their own: numbered steps of row changes and a
// position, replayed over the inner rows. Tests and fuzzers compare the overlay with it.
#pragma once

#include "memory_module.h"

#include <algorithm>
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

// The change log as numbered steps and a position: steps at or below the
// position are applied, steps above it reverted.
class StepModel {
public:
    long long position = 1;

    void record(const Change& change)
    {
        // New work discards what could be redone and starts a step of its own.
        if (holdsAbove(position)) {
            eraseAbove(position);
            if (holds(position))
                ++position;
        }
        log.push_back({position, change});
    }

    void commit()
    {
        eraseAbove(position);
        ++position;
    }

    void undo(long long times)
    {
        for (long long i = 0; i < times; ++i) {
            std::optional<long long> highest;
            for (const Entry& entry : log)
                if (entry.step <= position && (!highest || entry.step > *highest))
                    highest = entry.step;
            position = highest ? *highest - 1 : position - 1;
        }
    }

    void redo(long long times)
    {
        bool reapplied = false;
        for (long long i = 0; i < times; ++i) {
            std::optional<long long> lowest;
            for (const Entry& entry : log)
                if (entry.step > position && (!lowest || entry.step < *lowest))
                    lowest = entry.step;
            reapplied = reapplied || lowest;
            position = lowest ? *lowest : position + 1;
        }
        if (reapplied && !holdsAbove(position))
            ++position;
    }

    Rows replay(Rows rows) const
    {
        for (const Entry& entry : log)
            if (entry.step <= position)
                applyChange(rows, entry.change);
        return rows;
    }

private:
    struct Entry {
        long long step;
        Change change;
    };
    std::vector<Entry> log;

    bool holds(long long step) const
    {
        for (const Entry& entry : log)
            if (entry.step == step)
                return true;
        return false;
    }
    bool holdsAbove(long long step) const
    {
        for (const Entry& entry : log)
            if (entry.step > step)
                return true;
        return false;
    }
    void eraseAbove(long long step)
    {
        log.erase(std::remove_if(log.begin(), log.end(), [step](const Entry& e) { return e.step > step; }),
                  log.end());
    }
};
