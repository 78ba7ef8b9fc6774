// One change log's tables in the history file (its stored rows, deleted set
// and history rows with their index) and its rows in the shared tables: their
// DDL, rename and drop, and the statements kept prepared for the per-row work.
#pragma once

#include "store/row_batch.h"
#include "store/sqlite_database.h"
#include "store/statement.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <optional>

// Each Statement& returned is bound and ready to run (or to read through
// Statement::Rows); the caller runs it under the connection's lock. Every
// call throws ErrorPair when the database fails.
class LogTables {
public:
    // The columns of a step's history rows, as stepRows reads them.
    enum StepColumn { Tag, OldRowid, NewRowid, OldValue, NewValue, Row };
    // One history row, as readHistory hands it on.
    struct HistoryRow {
        qint64 row, step, tag, oldRowid, newRowid;
    };
    struct CleanMarkRow {
        std::optional<qint64> step;
        qint64 rows;
    };

    // Nameless until setName; nothing is read or made.
    explicit LogTables(SqliteDatabase& database);
    LogTables(const LogTables&) = delete;
    LogTables& operator=(const LogTables&) = delete;

    const QString& name() const { return logName; }
    // Names the tables after name again without touching the file.
    void setName(const QString& name);
    // Makes the three tables and the index, kept when they exist.
    void create();
    // Drops the three tables and every shared row of the name.
    void drop();
    // Renames the tables, their index and the shared rows after newName; the
    // tables keep their names when newName differs only in ASCII case. On
    // failure the names stay the old ones.
    void rename(const QString& newName);

    // The rows held back and written together: stored rows (rowid, snapshot)
    // and history rows (tag, old rowid, new rowid, old value, new value, step).
    RowBatch& storedRows() { return storeRows; }
    RowBatch& historyRows() { return appendHistoryRows; }
    Statement& removeRow(qint64 rowid) { return removeRow_.bind(1, rowid); }
    Statement& removeRows(qint64 first, qint64 last) { return removeRows_.bind(1, first).bind(2, last); }
    Statement& markDeleted(qint64 rowid) { return markDeleted_.bind(1, rowid); }
    Statement& unmarkDeleted(qint64 rowid) { return unmarkDeleted_.bind(1, rowid); }
    // One history row written at once; without oldValue the old value is
    // copied inside the database from the stored row of oldRowid.
    Statement& appendHistory(qint64 tag, qint64 oldRowid, std::optional<qint64> newRowid, const QByteArray* oldValue,
                             const QByteArray* newValue, qint64 step);
    Statement& removeHistoryAbove(qint64 position) { return removeHistory.bind(1, position); }
    // A step's history rows in StepColumn order, oldest first or last.
    Statement& stepRows(qint64 step, bool forward) { return (forward ? stepForward : stepBackward).bind(1, step); }
    Statement& movePosition(qint64 position) { return movePosition_.bind(1, position).bindText(2, logName); }
    // A step's label; without step the one kept for the next step.
    Statement& removeLabel(std::optional<qint64> step);
    Statement& insertLabel(std::optional<qint64> step, const QString& label);
    // The label kept for the next step given to step.
    Statement& assignPendingLabel(qint64 step) { return assignLabel.bindText(1, logName).bind(2, step); }
    Statement& removeLabelsAbove(qint64 position) { return removeLabelsAbove_.bindText(1, logName).bind(2, position); }
    // The clean mark; rows -1 once it was lost.
    Statement& setCleanMark(std::optional<qint64> step, qint64 rows);
    // The first new rowid, into the kept mark when it has none yet.
    Statement& keepFirstNewRowid(qint64 rowid) { return keepFirstNewRowid_.bind(1, rowid).bindText(2, logName); }

    // The stored row of rowid: its snapshot in column 0.
    Statement& loadRow(qint64 rowid) { return loadRow_.bind(1, rowid); }
    // The stored rows from a rowid on (bound to it as parameter 1) in rowid
    // order, (rowid, snapshot): walked across calls. Its text, for a read
    // connection to run alike.
    Statement& walkRows() { return walkRows_; }
    const QString& walkRowsText() const { return walkRows_.text(); }

    // What the index is read from. The position; none without a registry row.
    std::optional<qint64> position();
    // Whether the three tables are all there.
    bool exist();
    void readDeleted(const std::function<void(qint64)>& add);
    void readStoredRowids(const std::function<void(qint64)>& add);
    void readStored(const std::function<void(qint64, const QByteArray&)>& add);
    // Every history row by step, then in the order it was written.
    void readHistory(const std::function<void(const HistoryRow&)>& add);
    // Each label with its step, none for the one kept for the next step.
    void readLabels(const std::function<void(std::optional<qint64>, const QString&)>& add);
    std::optional<CleanMarkRow> cleanMark();

private:
    SqliteDatabase& database;
    QString logName;
    // Quoted identifiers of the three tables.
    QString storedTable, deletedTable, historyTable;
    Statement removeRow_, loadRow_, markDeleted_, unmarkDeleted_, appendHistory_, appendHistoryFromStored, stepForward,
        stepBackward, removeHistory, movePosition_, walkRows_, removeRows_, removeLabel_, insertLabel_, assignLabel,
        removeLabelsAbove_, setCleanMark_, keepFirstNewRowid_;
    RowBatch storeRows, appendHistoryRows;
};
