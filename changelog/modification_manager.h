// The change log of one overlay table, as the overlay and the history SQL
// functions see it. Held only through std::shared_ptr.
#pragma once

#include <sqlite3.h>

#include <QVariant>
#include <QtGlobal>

#include <limits>
#include <optional>

class ModificationManager {
public:
    virtual ~ModificationManager() {}

    virtual void deleteRow(qint64 rowid) = 0;
    virtual bool isRowDeleted(qint64 rowid) = 0;
    virtual void updateRow(qint64 oldRowid, qint64 newRowid, int argc, sqlite3_value** argv) = 0;
    virtual void insertRow(qint64 rowid, int argc, sqlite3_value** argv) = 0;
    virtual bool isRowModified(qint64 rowid) = 0;
    virtual QVariant modifiedRowValues(qint64 rowid, int column) = 0;
    virtual bool hasModifiedRowsFrom(qint64 rowid) = 0;
    virtual void undo(qint64 steps) = 0;
    virtual void redo(qint64 steps) = 0;
    virtual void commit() = 0;
    // The smallest rowid at or above rowid that has a stored row, if any; lets
    // a scan past the inner rows go straight from one stored row to the next.
    virtual std::optional<qint64> firstModifiedRowidFrom(qint64 rowid) = 0;
    // The smallest rowid at or above rowid without a stored row; none when
    // every rowid from there to the largest is taken.
    virtual std::optional<qint64> firstUnmodifiedRowidFrom(qint64 rowid)
    {
        for (;; ++rowid) {
            if (!isRowModified(rowid))
                return rowid;
            if (rowid == std::numeric_limits<qint64>::max())
                return std::nullopt;
        }
    }
};
