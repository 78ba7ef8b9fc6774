// The change log of one overlay table, as the overlay and the history SQL
// functions see it. Held only through std::shared_ptr.
#pragma once

#include "changelog/row_snapshot.h"

#include <sqlite3.h>

#include <QList>
#include <QString>
#include <QVariant>
#include <QtGlobal>

#include <memory>
#include <optional>
#include <vector>

class Reading;

// Terms. A rowid is *modified* when the log stores values for it: a row
// inserted through the overlay, or an inner row updated through it (under its
// old or a new rowid); reads show those values. A rowid is *deleted* when it is
// in the log's deleted set: an inner row that reads hide. A rowid can be both
// (an inner row deleted, then its rowid given to a new row): the stored values
// win. A *step* is all changes recorded under one history position; the
// position is the step that new changes join. Steps at or below it are
// applied, steps above it undone; the *open* step is the position's when it
// holds changes and nothing can be redone, the one that new changes join.
//
// As changes from the inner table, every row the log holds is one of three
// kinds: *inserted* (stored, standing for no inner row), *updated* (stored,
// standing for an inner row: the one under its rowid, or the one it was moved
// from) and *deleted* (an inner row hidden that no stored row stands for).
//
// Every operation runs on the history database and throws ErrorPair (SQLite's
// code and message) when it fails; an operation that throws has changed
// nothing. The query operations (is..., modified..., first...) never write.
// Threads may call any operation at once: each is atomic, and its answer
// holds until the log changes (see changeCount). The changes are made inside
// work on the history transaction (SqliteDatabase::Work) of the caller's.
class ChangeLog {
public:
    virtual ~ChangeLog() {}

    // Records the deletion of rowid: its stored values go, and it joins the
    // deleted set unless it only ever was a row of the log. Requires a row that
    // reads show. One history entry under the position.
    virtual void deleteRow(qint64 rowid) = 0;
    virtual bool isRowDeleted(qint64 rowid) = 0;
    // Records an UPDATE with the xUpdate arguments: argv[2..argc-1] become the
    // stored values of newRowid. A moved row (newRowid != oldRowid) first has
    // oldRowid deleted as by deleteRow. newRowid must not be stored yet unless
    // it is oldRowid.
    virtual void updateRow(qint64 oldRowid, qint64 newRowid, int argc, sqlite3_value** argv) = 0;
    // Records an INSERT: argv[2..argc-1] become the stored values of rowid,
    // which must not be stored yet.
    virtual void insertRow(qint64 rowid, int argc, sqlite3_value** argv) = 0;
    virtual bool isStored(qint64 rowid) = 0;
    // Both, asked at once: what a scan asks of each inner row.
    struct RowState {
        bool deleted;
        bool modified;
    };
    virtual RowState rowState(qint64 rowid) = 0;
    // Reads the stored row of rowid into row; false when rowid is not modified.
    // With a reading, a log that no open transaction has changed is read
    // without waiting for the history connection: its committed rows are its
    // rows, and a read connection lent to the reading reads them.
    virtual bool readRow(qint64 rowid, RowSnapshot& row, Reading* reading) = 0;
    // Reverts up to steps steps that hold changes, newest first, and leaves the
    // position below the last one reverted. With nothing (more) to revert the
    // position still moves down by what is left of steps, within the range the
    // position keeps. steps <= 0: nothing happens.
    virtual void undo(qint64 steps) = 0;
    // Re-applies up to steps reverted steps, oldest first. With nothing (more)
    // to re-apply the position still moves up by what is left of steps, which
    // closes the open step. After a redo the next change starts a step of its
    // own. steps <= 0: nothing happens.
    virtual void redo(qint64 steps) = 0;
    // Closes the open step: later changes join the next one. Steps that could
    // be redone are discarded, as by any new work. A label kept for the next
    // step (see label) is dropped.
    virtual void commit() = 0;
    // commit(), naming the open step first: without one (nothing recorded
    // since the last commit, undo or redo) the label names nothing and goes.
    virtual void commit(const QString& label) = 0;
    // Names the open step, replacing its label; none removes it. Without an
    // open step the label is kept for the next step a change opens, over undo
    // and redo, until a commit.
    virtual void label(const std::optional<QString>& label) = 0;
    // Marks the table's state now as clean: the applied steps as they are.
    virtual void markClean() = 0;

    // Where new rows begin: rowids below are the inner table's. Unknown until
    // set, and then the rows the log holds all count as the inner table's.
    virtual std::optional<qint64> firstNewRowid() const = 0;
    virtual void setFirstNewRowid(qint64 rowid) = 0;

    // What the views of the history show, read from memory.
    struct Summary {
        std::optional<int> position; // none without a registry row
        qint64 undoSteps, redoSteps; // steps holding changes, applied and undone
        qint64 inserted, updated, deleted;
        bool clean;
    };
    virtual Summary summary() = 0;
    enum class StepState { Applied, Open, Undone };
    struct StepSummary {
        int step;
        StepState state;
        qint64 inserted, updated, deleted; // rows written in the step, as asked
        std::optional<QString> label;
    };
    // The steps holding changes, ascending.
    virtual std::vector<StepSummary> steps() = 0;
    enum class ChangeKind { Insert, Update, Delete };
    struct RowChange {
        ChangeKind kind;
        std::optional<qint64> rowid;         // as reads show it; none for a deleted row
        std::optional<qint64> originalRowid; // the inner row; none for an inserted row
    };
    // The rows the log holds as changes, stored rows by rowid, then deleted
    // inner rows by rowid, as the log stood when the listing was made: they
    // are found one by one while the log stays as it was, and the first change
    // recorded after that hands the listing what it has yet to show, so that a
    // statement that writes what it lists ends. The log must outlive it.
    class ChangeListing {
    public:
        virtual ~ChangeListing() = default;
        // The next change; none past the last.
        virtual std::optional<RowChange> next() = 0;
    };
    virtual std::unique_ptr<ChangeListing> listChanges() = 0;
    // The change of the stored row of rowid, as a listing shows it; none when
    // rowid is not modified (a deleted row shows under no rowid).
    virtual std::optional<RowChange> changeOf(qint64 rowid) = 0;

    // The smallest modified rowid at or above rowid, if any.
    virtual std::optional<qint64> firstModifiedRowidFrom(qint64 rowid) = 0;
    // The smallest rowid at or above rowid that is not modified; none when
    // every rowid from there up to the largest is.
    virtual std::optional<qint64> firstUnmodifiedRowidFrom(qint64 rowid) = 0;
    // The modified rowids, ascending, whose stored value in column equals
    // value exactly (same kind, same value; integers and reals compare as
    // numbers, text byte for byte). None when the answer would depend on
    // SQLite's type conversions, because the column holds values of another
    // kind than value: then every modified rowid may match.
    virtual std::optional<std::vector<qint64>> modifiedRowidsWithValue(int column, const QVariant& value) = 0;
    // The modified rowids, ascending, whose stored value in column has the
    // kind and value of value (as above), whatever else the column holds;
    // none for NULL.
    virtual std::vector<qint64> modifiedRowidsHolding(int column, const QVariant& value) = 0;
    // A number that grows whenever the log may have changed: what was read
    // from the log at one count still holds while the count stays.
    virtual quint64 changeCount() const = 0;
};
