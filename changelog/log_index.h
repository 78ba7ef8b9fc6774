// What a manager knows of its table's log without asking the database: the
// rowids deleted and stored, the position and the steps that hold rows. The
// values stay in the history file; only a by-value lookup asked for files them.
#pragma once

#include "changelog/rowid_set.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QVariant>
#include <QtGlobal>

#include <optional>
#include <set>
#include <unordered_map>
#include <vector>

class LogIndex {
public:
    // --- rows
    bool isDeleted(qint64 rowid) const { return deleted.contains(rowid); }
    bool isStored(qint64 rowid) const { return stored.contains(rowid); }
    qint64 storedCount() const { return stored.size(); }
    std::optional<qint64> firstStoredFrom(qint64 rowid) const { return stored.lowerBound(rowid); }
    // The first rowid at or above from without stored values; none when every
    // rowid up to the largest is taken. Remembered for the next call with the
    // same from, so that inserting row after row never walks the earlier ones.
    std::optional<qint64> firstUnstoredFrom(qint64 from);
    template <typename Visit>
    void forEachStored(Visit&& visit) const { stored.forEach(visit); }

    void store(qint64 rowid);
    void remove(qint64 rowid);
    void markDeleted(qint64 rowid) { deleted.insert(rowid); }
    void unmarkDeleted(qint64 rowid) { deleted.erase(rowid); }

    // --- values filed by column, for lookups by value. A column is filed once
    // a lookup asks for it; from then on every stored row's value in it must
    // be filed and unfiled with the row.
    bool hasFiledColumns() const { return !columns.empty(); }
    bool isFiled(int column) const { return columns.count(column) > 0; }
    void fileColumn(int column) { columns[column]; }
    void forgetColumn(int column) { columns.erase(column); }
    void file(qint64 rowid, const QList<QVariant>& row);
    void unfile(qint64 rowid, const QList<QVariant>& row);
    void fileValue(int column, qint64 rowid, const QVariant& value);
    // See ModificationManager::modifiedRowidsWithValue; column must be filed.
    std::optional<std::vector<qint64>> storedWithValue(int column, const QVariant& value) const;
    // See ModificationManager::modifiedRowidsHolding; column must be filed.
    std::vector<qint64> storedHolding(int column, const QVariant& value) const;

    // --- steps and position
    // The history position, when the table has a registry row.
    std::optional<int> position() const { return position_; }
    void setPosition(std::optional<int> position) { position_ = position; }
    bool stepHoldsRows(int step) const { return steps.count(step) > 0; }
    std::optional<int> highestStepAtOrBelow(int step) const;
    std::optional<int> lowestStepAbove(int step) const;
    void addStep(int step) { steps.insert(step); }
    void eraseStepsAbove(int step) { steps.erase(steps.upper_bound(step), steps.end()); }

private:
    // One column's stored values by kind and value.
    struct ColumnValues {
        // How many stored rows hold a value of each kind, by the kind's bit.
        qint64 kindCounts[4] = {};
        QHash<QByteArray, std::vector<qint64>> rowids;
        unsigned kinds() const;
        void add(qint64 rowid, const QVariant& value);
        void take(qint64 rowid, const QVariant& value);
    };

    RowidSet deleted;
    RowidSet stored;
    std::optional<int> position_;
    std::set<int> steps;
    struct Gap {
        qint64 from;
        std::optional<qint64> firstFree;
    };
    std::optional<Gap> gap;
    std::unordered_map<int, ColumnValues> columns;
};
