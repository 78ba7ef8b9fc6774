// The history rules as a model of their own: numbered steps of row changes and
// a position, replayed over the inner rows, with labels and a clean mark. The
// randomized tests compare the overlay and its history views with it.
#pragma once

#include "memory_module.h"

#include <array>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

using Rows = std::map<sqlite3_int64, memory_module::Row>;

// One row written: values stored under a rowid, or (no values) a rowid deleted.
// Values come from no row (an insert), from the rowid itself or from another
// (a move); counts holds the rows inserted, updated and deleted as the
// statement asked, for its step.
struct Change {
    sqlite3_int64 rowid;
    std::optional<memory_module::Row> values;
    std::optional<sqlite3_int64> from = std::nullopt;
    std::array<int, 3> counts = {};
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
        if (!steps.count(position) && pending)
            labels[position] = *std::exchange(pending, std::nullopt);
        steps[position].push_back(change);
    }

    void commit(const std::optional<std::string>& label = std::nullopt)
    {
        if (label && open())
            labels[position] = *label;
        pending.reset();
        eraseAbove();
        ++position;
    }

    // The open step takes the label; without one, the next step a change opens.
    void label(const std::string& text)
    {
        if (open())
            labels[position] = text;
        else
            pending = text;
    }
    void markClean() { mark = state(), lost = false; }
    bool clean() const { return !lost && state() == mark; }

    // Steps that hold changes, applied and undone.
    std::pair<size_t, size_t> appliedAndUndone() const
    {
        const size_t applied = size_t(std::distance(steps.begin(), steps.upper_bound(position)));
        return {applied, steps.size() - applied};
    }

    // ombrix_steps: step|state|inserted|updated|deleted|label, rows apart.
    std::string stepsView() const
    {
        std::string view;
        for (const auto& [step, changes] : steps) {
            std::array<int, 3> counts = {};
            for (const Change& change : changes)
                for (size_t kind = 0; kind < 3; ++kind)
                    counts[kind] += change.counts[kind];
            auto label = labels.find(step);
            view += (view.empty() ? "" : " ") + std::to_string(step) + "|'" +
                    (step > position              ? "undone"
                     : step == position && open() ? "open"
                                                  : "applied") +
                    "'|" + std::to_string(counts[0]) + "|" + std::to_string(counts[1]) + "|" +
                    std::to_string(counts[2]) + "|" + (label == labels.end() ? "NULL" : "'" + label->second + "'");
        }
        return view;
    }

    // ombrix_changes (rowid|original_rowid|change, rows apart) and the counts by kind, from a replay that
    // follows each row back to the inner row it stands for: an insert stands for the inner row of its
    // rowid, if any; a move for the moved row's, unless it lands on an inner rowid.
    std::pair<std::string, std::array<int, 3>> changesView(const Rows& inner, sqlite3_int64 firstNew) const
    {
        std::map<sqlite3_int64, std::optional<sqlite3_int64>> origins, stored, gone;
        for (const auto& row : inner)
            origins[row.first] = row.first;
        for (auto step = steps.begin(); step != steps.upper_bound(position); ++step) {
            for (const Change& change : step->second) {
                const sqlite3_int64 rowid = change.rowid;
                if (!change.values) {
                    gone[rowid] = origins[rowid];
                    origins.erase(rowid), stored.erase(rowid);
                    continue;
                }
                if (rowid < firstNew || !change.from)
                    origins[rowid] = rowid < firstNew ? std::optional<sqlite3_int64>(rowid) : std::nullopt;
                else if (*change.from != rowid)
                    origins[rowid] = gone[*change.from];
                stored[rowid] = origins[rowid];
            }
        }
        std::string view;
        std::array<int, 3> counts = {};
        auto add = [&](const std::string& row, int kind) {
            view += (view.empty() ? "" : " ") + row;
            ++counts[size_t(kind)];
        };
        for (const auto& [rowid, origin] : stored)
            add(std::to_string(rowid) + "|" + (origin ? std::to_string(*origin) + "|'update'" : "NULL|'insert'"),
                origin ? 1 : 0);
        std::set<sqlite3_int64> kept;
        for (const auto& [rowid, origin] : origins)
            if (origin)
                kept.insert(*origin);
        for (const auto& row : inner)
            if (!kept.count(row.first))
                add("NULL|" + std::to_string(row.first) + "|'delete'", 2);
        return {view, counts};
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
    // The highest applied step that holds changes, with how many it holds.
    using Mark = std::pair<std::optional<long long>, size_t>;

    std::map<long long, std::vector<Change>> steps;
    std::map<long long, std::string> labels;
    std::optional<std::string> pending;
    Mark mark;
    bool lost = false;

    bool open() const { return steps.count(position) && steps.upper_bound(position) == steps.end(); }

    Mark state() const
    {
        auto above = steps.upper_bound(position);
        return above == steps.begin() ? Mark() : Mark(std::prev(above)->first, std::prev(above)->second.size());
    }

    void eraseAbove()
    {
        lost = lost || (mark.first && *mark.first > position);
        labels.erase(labels.upper_bound(position), labels.end());
        steps.erase(steps.upper_bound(position), steps.end());
    }
};
