// The change log of one overlay table, as the overlay and the history SQL
// functions see it. Held only through std::shared_ptr.
#pragma once

#include "changelog/row_snapshot.h"

#include <sqlite3.h>

#include <QList>
#include <QVariant>
#include <QtGlobal>

#include <optional>
#include <vector>

// Terms. A rowid is *modified* when the log stores values for it: a row
// inserted through the overlay, or an inner row updated through it (under its
// old or a new rowid); reads show those values. A rowid is *deleted* when it is
// in the log's deleted set: an inner row that reads hide. A rowid can be both
// (an inner row deleted, then its rowid given to a new row): the stored values
// win. A *step* is all changes recorded under one history position; the
// position is the step that new changes join.
//
// Every operation runs on the history database and throws ErrorPair (SQLite's
// code and message) when it fails; an operation that throws has changed
// nothing. The query operations (is..., modified..., first...) never write.
class ModificationManager {
public:
    virtual ~ModificationManager() {}

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
    virtual bool isRowModified(qint64 rowid) = 0;
    // The stored row of rowid, valid until the log changes or the next call;
    // null when rowid is not modified.
    virtual const RowSnapshot* modifiedRow(qint64 rowid) = 0;
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
    // be redone are discarded, as by any new work.
    virtual void commit() = 0;

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
