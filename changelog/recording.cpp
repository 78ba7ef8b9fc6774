// Recording writes: each changes the state tables so reads show it at once and
// appends history rows under the current step, all inside one savepoint. Every
// change to the log is made to its index as well. Rows go from the host's
// values to the file as snapshots, and from table to table inside SQLite.
#include "changelog/row_snapshot.h"
#include "changelog/sqlite_modification_manager.h"
#include "changelog/values.h"
#include "store/savepoint.h"

void SqliteModificationManager::deleteRow(qint64 rowid)
{
    Savepoint savepoint(database);
    startNewChange();
    appendHistory(Deletion, rowid, std::nullopt, std::nullopt, nullptr);
    markRowDeleted(rowid);
    savepoint.release();
}

void SqliteModificationManager::insertRow(qint64 rowid, int argc, sqlite3_value** argv)
{
    recordChange(rowid, rowid, snapshotFromArguments(argc, argv), Insertion);
}

void SqliteModificationManager::updateRow(qint64 oldRowid, qint64 newRowid, int argc, sqlite3_value** argv)
{
    recordChange(oldRowid, newRowid, snapshotFromArguments(argc, argv), Update);
}

// A row moved to another rowid records the deletion of its old rowid first;
// its history row keeps the values the old rowid held before that.
void SqliteModificationManager::recordChange(qint64 oldRowid, qint64 newRowid, const QByteArray& snapshot,
                                             int actionTag)
{
    Savepoint savepoint(database);
    startNewChange();
    if (oldRowid == newRowid) {
        appendHistory(actionTag, oldRowid, newRowid, std::nullopt, &snapshot);
    } else {
        std::optional<QByteArray> oldSnapshot = QByteArray(rowToBlob({}));
        if (log().isStored(oldRowid)) {
            Statement::Rows row(statements.loadRow.bind(1, oldRowid));
            if (row.next())
                oldSnapshot = row.bytes(0);
        }
        deleteRow(oldRowid);
        appendHistory(actionTag, oldRowid, newRowid, oldSnapshot, &snapshot);
    }
    storeRow(newRowid, snapshot.constData(), snapshot.size());
    savepoint.release();
}

// A row leaves what reads show: its stored values go, and its rowid joins the
// deleted set so that an updated inner row stays hidden.
void SqliteModificationManager::markRowDeleted(qint64 rowid)
{
    if (isRowModified(rowid))
        removeStoredRow(rowid);
    addToDeletedSet(rowid);
}

QList<QVariant> SqliteModificationManager::storedValues(qint64 rowid)
{
    QList<QVariant> values;
    if (const RowSnapshot* row = modifiedRow(rowid)) {
        for (int column = 0; column < row->count(); ++column)
            values.append(row->value(column));
    }
    return values;
}

void SqliteModificationManager::storeRow(qint64 rowid, const char* snapshot, int size)
{
    // Values filed for lookups follow the row.
    QList<QVariant> oldRow, newRow;
    if (log().hasFiledColumns()) {
        oldRow = storedValues(rowid);
        newRow = rowFromBytes(QByteArray::fromRawData(snapshot, size));
    }
    const bool replaces = log().isStored(rowid);
    changeLog(statements.storeRow.bind(1, rowid).bindBlob(2, snapshot, size), [&](LogIndex& log) {
        if (!log.hasFiledColumns())
            return log.store(rowid);
        if (replaces)
            log.unfile(rowid, oldRow);
        log.store(rowid);
        log.file(rowid, newRow);
    });
}

void SqliteModificationManager::removeStoredRow(qint64 rowid)
{
    QList<QVariant> oldRow;
    if (log().hasFiledColumns()) {
        oldRow = storedValues(rowid);
    }
    const bool removes = log().isStored(rowid);
    changeLog(statements.removeRow.bind(1, rowid), [&](LogIndex& log) {
        if (removes)
            log.unfile(rowid, oldRow);
        log.remove(rowid);
    });
}

void SqliteModificationManager::removeStoredRows(qint64 first, qint64 last)
{
    if (first == last)
        return removeStoredRow(first);
    changeLog(statements.removeRows.bind(1, first).bind(2, last), [first, last](LogIndex& log) {
        for (qint64 rowid = first;; ++rowid) {
            log.remove(rowid);
            if (rowid == last)
                break;
        }
    });
}

void SqliteModificationManager::addToDeletedSet(qint64 rowid)
{
    changeLog(statements.markDeleted.bind(1, rowid), [rowid](LogIndex& log) { log.markDeleted(rowid); });
}

void SqliteModificationManager::removeFromDeletedSet(qint64 rowid)
{
    changeLog(statements.unmarkDeleted.bind(1, rowid), [rowid](LogIndex& log) { log.unmarkDeleted(rowid); });
}

void SqliteModificationManager::appendHistory(int actionTag, qint64 oldRowid, std::optional<qint64> newRowid,
                                              const std::optional<QByteArray>& oldSnapshot,
                                              const QByteArray* newSnapshot)
{
    static const QByteArray emptyRow = rowToBlob({});
    const int step = currentHistoryId();
    // The stored row as read last (the host read it to update it), or as the
    // database copies it.
    const bool stored = !oldSnapshot && log().isStored(oldRowid);
    const bool readLast = stored && cached.valid && cached.rowid == oldRowid && cached.changes == changes &&
                          !cached.row.bytes().isEmpty();
    const bool fromStored = stored && !readLast;
    Statement& statement = fromStored ? statements.appendHistoryFromStored : statements.appendHistory;
    statement.bind(1, actionTag).bind(2, oldRowid).bind(6, step);
    if (newRowid)
        statement.bind(3, *newRowid);
    else
        statement.bindNull(3);
    if (readLast)
        statement.bindBlob(4, cached.row.bytes());
    else if (!fromStored)
        statement.bindBlob(4, oldSnapshot ? *oldSnapshot : emptyRow);
    if (newSnapshot)
        statement.bindBlob(5, *newSnapshot);
    else
        statement.bindNull(5);
    changeLog(statement, [step](LogIndex& log) { log.addStep(step); });
}

void SqliteModificationManager::removeHistoryAbove(int position)
{
    changeLog(statements.removeHistory.bind(1, position),
              [position](LogIndex& log) { log.eraseStepsAbove(position); });
}
