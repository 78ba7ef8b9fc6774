// What a manager knows of its table's log without asking the database: the
// deleted set, the stored rows decoded, the position and the rows per step.
// Changed only through its operations, each the twin of one write to the log.
#pragma once

#include <QHash>
#include <QList>
#include <QVariant>
#include <QtGlobal>

#include <map>
#include <optional>
#include <set>
#include <unordered_map>
#include <unordered_set>
#include <vector>

class LogIndex {
public:
    // --- rows
    bool isDeleted(qint64 rowid) const { return deleted.count(rowid) > 0; }
    // The stored values of rowid, or null.
    const QList<QVariant>* stored(qint64 rowid) const;
    std::optional<qint64> firstStoredFrom(qint64 rowid) const;
    // The first rowid at or above from without stored values; none when every
    // rowid up to the largest is taken. Remembered for the next call with the
    // same from, so that inserting row after row never walks the earlier ones.
    std::optional<qint64> firstUnstoredFrom(qint64 from);
    // See ModificationManager::modifiedRowidsWithValue.
    std::optional<std::vector<qint64>> storedWithValue(int column, const QVariant& value);
    // See ModificationManager::modifiedRowidsHolding.
    std::vector<qint64> storedHolding(int column, const QVariant& value);

    void store(qint64 rowid, const QList<QVariant>& values);
    void remove(qint64 rowid);
    void markDeleted(qint64 rowid) { deleted.insert(rowid); }
    void unmarkDeleted(qint64 rowid) { deleted.erase(rowid); }

    // --- steps and position
    // The history position, when the table has a registry row.
    std::optional<int> position() const { return position_; }
    void setPosition(std::optional<int> position) { position_ = position; }
    bool stepHoldsRows(int step) const { return stepRows.count(step) > 0; }
    std::optional<int> highestStepAtOrBelow(int step) const;
    std::optional<int> lowestStepAbove(int step) const;
    void addStepRow(int step) { ++stepRows[step]; }
    void eraseStepsAbove(int step) { stepRows.erase(stepRows.upper_bound(step), stepRows.end()); }

private:
    // One column's stored values by kind and value, built when first asked
    // and kept up to date with every row stored or removed after that.
    struct ColumnValues {
        // How many stored rows hold a value of each kind, by the kind's bit.
        int kindCounts[4] = {};
        QHash<QByteArray, std::vector<qint64>> rowids;
        unsigned kinds() const;
        void add(qint64 rowid, const QVariant& value);
        void take(qint64 rowid, const QVariant& value);
    };
    ColumnValues& columnValues(int column);
    std::optional<qint64> walkStored(qint64 from) const;

    std::unordered_set<qint64> deleted;
    // The stored rows, found by rowid in constant time, and their rowids in order.
    std::unordered_map<qint64, QList<QVariant>> rows;
    std::set<qint64> order;
    std::optional<int> position_;
    std::map<int, int> stepRows;
    struct Gap {
        qint64 from;
        std::optional<qint64> firstFree;
    };
    std::optional<Gap> gap;
    std::unordered_map<int, ColumnValues> columns;
};
