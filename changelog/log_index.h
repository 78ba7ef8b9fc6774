// What a changeLog knows of its table's log without asking the database: the
// rowids deleted and stored, where each changed row came from, the position
// and the steps that hold rows with what they hold. The values stay in the
// history file; only a by-value lookup asked for files them.
#pragma once

#include "changelog/rowid_set.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QVariant>
#include <QtGlobal>

#include <map>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

class LogIndex {
public:
    // --- rows
    bool isDeleted(qint64 rowid) const { return deleted.contains(rowid); }
    bool isStored(qint64 rowid) const { return stored.contains(rowid); }
    std::optional<qint64> firstStoredFrom(qint64 rowid) const { return stored.lowerBound(rowid); }
    // The first rowid at or above from without stored values; none when every
    // rowid up to the largest is taken. Remembered for the next call with the
    // same from, so that inserting row after row never walks the earlier ones.
    std::optional<qint64> firstUnstoredFrom(qint64 from);

    // Storing a stored rowid again replaces its values and keeps its origin.
    void store(qint64 rowid);
    void remove(qint64 rowid);
    void markDeleted(qint64 rowid);
    void unmarkDeleted(qint64 rowid);

    // --- rows as changes from the inner table. Rowids below the inner limit
    // are the inner table's (every rowid is while the limit is unknown). A
    // stored row replaces the inner row of its rowid; above the limit it was
    // inserted, or moved there from the inner row that is its origin.
    void setInnerLimit(qint64 firstNewRowid);
    bool isInner(qint64 rowid) const { return !limit || rowid < *limit; }
    // The inner row that rowid, stored or shown, stands for; none for a row
    // inserted through the overlay.
    std::optional<qint64> originOf(qint64 rowid) const;
    // The origin of a stored row moved above the limit, if it has one.
    std::optional<qint64> movedOrigin(qint64 rowid) const;
    // A stored row above the limit takes origin as its own until removed.
    void setOrigin(qint64 rowid, qint64 origin);
    // Whether an inner row lives on as a stored row moved elsewhere.
    bool isMovedOrigin(qint64 rowid) const { return origins.count(rowid) > 0; }
    // Rows changed from the inner table, by kind: stored rows without an
    // origin, stored rows with one, and hidden inner rows not moved anywhere.
    qint64 insertedCount() const { return stored.size() - storedInner - qint64(movedFrom.size()); }
    qint64 updatedCount() const { return storedInner + qint64(movedFrom.size()); }
    qint64 deletedCount() const { return hiddenInner - qint64(movedFrom.size()); }
    // The first inner rowid at or above rowid that counts as deleted: hidden,
    // not stored, and no origin of a moved row.
    std::optional<qint64> firstDeletionFrom(qint64 rowid) const;

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
    // See ChangeLog::modifiedRowidsWithValue; column must be filed.
    std::optional<std::vector<qint64>> storedWithValue(int column, const QVariant& value) const;
    // See ChangeLog::modifiedRowidsHolding; column must be filed.
    std::vector<qint64> storedHolding(int column, const QVariant& value) const;

    // --- steps and position
    // What one step holds: the rows written in it by kind, as the writes
    // asked for them (a moved row is one update), its history rows, and its label.
    struct Step {
        qint64 inserted = 0;
        qint64 updated = 0;
        qint64 deleted = 0;
        qint64 rows = 0;
        std::optional<QString> label;
    };
    // What a history row records: a moved row's update follows the deletion
    // of its old rowid, which it counts as part of itself.
    enum class Entry { Deletion, Insertion, Update, Move };

    // The history position, when the table has a registry row.
    std::optional<int> position() const { return position_; }
    void setPosition(std::optional<int> position);
    bool stepHoldsRows(int step) const { return steps.count(step) > 0; }
    std::optional<int> highestStepAtOrBelow(int step) const;
    std::optional<int> lowestStepAbove(int step) const;
    void addEntry(int step, Entry entry);
    void eraseStepsAbove(int step);
    const std::map<int, Step>& allSteps() const { return steps; }
    // Steps holding rows at or below the position (as -1 without one), and above it.
    qint64 appliedSteps() const { return applied; }
    qint64 undoneSteps() const { return qint64(steps.size()) - applied; }

    // The origin that a history row of step carries: for a moved row's update
    // the origin it gives its new rowid, for a deletion the origin its rowid
    // had, so that undo and redo give it back.
    void carry(int step, qint64 historyRow, qint64 origin) { carried[{step, historyRow}] = origin; }
    std::optional<qint64> carriedOrigin(int step, qint64 historyRow) const;

    // --- labels and the clean mark
    void setLabel(int step, const std::optional<QString>& label);
    // A label for the step that the next change opens.
    const std::optional<QString>& pendingLabel() const { return pending; }
    void setPendingLabel(const std::optional<QString>& label) { pending = label; }
    // The state the table is clean in: the highest applied step holding rows
    // (none before every step) with the rows it held then; lost once that
    // step is discarded, which the index leaves to its owner to record.
    struct CleanMark {
        std::optional<int> step;
        qint64 rows = 0;
        bool lost = false;
    };
    const CleanMark& cleanMark() const { return mark; }
    void setCleanMark(const CleanMark& clean) { mark = clean; }
    // The mark of the table's state now.
    CleanMark currentState() const;
    bool isClean() const;

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

    int current() const { return position_.value_or(-1); }

    RowidSet deleted;
    RowidSet stored;
    std::optional<qint64> limit;
    // Stored rowids below the limit; deleted ones below it that are not stored.
    qint64 storedInner = 0;
    qint64 hiddenInner = 0;
    // Stored rows above the limit with an inner origin, and those origins.
    std::unordered_map<qint64, qint64> movedFrom;
    std::unordered_set<qint64> origins;
    std::optional<int> position_;
    std::map<int, Step> steps;
    qint64 applied = 0;
    std::map<std::pair<int, qint64>, qint64> carried;
    std::optional<QString> pending;
    CleanMark mark;
    struct Gap {
        qint64 from;
        std::optional<qint64> firstFree;
    };
    std::optional<Gap> gap;
    std::unordered_map<int, ColumnValues> columns;
};
