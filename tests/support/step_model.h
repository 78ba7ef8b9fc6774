// The history rules as a model of their own: numbered steps of row changes and a
// position, replayed over the inner rows. Tests and fuzzers compare the overlay with it.
#pragma once

#include "memory_module.h"

#include <sqlite3.h>

#include <algorithm>
#include <map>
#include <optional>
#include <string>
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

// A value read from SQLite as a cell of the model, and a cell bound as a value.
inline memory_module::Cell cellOf(sqlite3_value* value)
{
    switch (sqlite3_value_type(value)) {
    case SQLITE_INTEGER:
        return sqlite3_value_int64(value);
    case SQLITE_FLOAT:
        return sqlite3_value_double(value);
    case SQLITE_TEXT:
        return std::string(reinterpret_cast<const char*>(sqlite3_value_text(value)),
                           static_cast<size_t>(sqlite3_value_bytes(value)));
    case SQLITE_BLOB: {
        auto bytes = static_cast<const unsigned char*>(sqlite3_value_blob(value));
        return memory_module::Blob{{bytes, bytes + sqlite3_value_bytes(value)}};
    }
    default:
        return std::monostate{};
    }
}

inline void bindCell(sqlite3_stmt* statement, int index, const memory_module::Cell& cell)
{
    if (auto integer = std::get_if<sqlite3_int64>(&cell))
        sqlite3_bind_int64(statement, index, *integer);
    else if (auto real = std::get_if<double>(&cell))
        sqlite3_bind_double(statement, index, *real);
    else if (auto text = std::get_if<std::string>(&cell))
        sqlite3_bind_text(statement, index, text->data(), static_cast<int>(text->size()), SQLITE_TRANSIENT);
    else if (auto blob = std::get_if<memory_module::Blob>(&cell); blob && blob->bytes.empty())
        sqlite3_bind_zeroblob(statement, index, 0); // a blob bound from a null pointer would be NULL
    else if (blob)
        sqlite3_bind_blob(statement, index, blob->bytes.data(), static_cast<int>(blob->bytes.size()),
                          SQLITE_TRANSIENT);
    else
        sqlite3_bind_null(statement, index);
}
