// Recording writes: each changes the state tables so reads show it at once and
// appends history rows under the current step, all inside one savepoint. Every
// change to the log is made to its index as well.
#include "changelog/row_snapshot.h"
#include "changelog/sqlite_modification_manager.h"
#include "changelog/values.h"
#include "store/savepoint.h"

namespace {

const QVariant nullValue = QVariant(QVariant::String);

} // namespace

void SqliteModificationManager::deleteRow(qint64 rowid)
{
    Savepoint savepoint(database);
    startNewChange();
    const QList<QVariant> oldValues = loadRowValues(rowid);
    markRowDeleted(rowid);
    appendHistory(Deletion, rowid, nullValue, oldValues, nullValue);
    savepoint.release();
}

void SqliteModificationManager::insertRow(qint64 rowid, int argc, sqlite3_value** argv)
{
    recordChange(rowid, rowid, rowValuesFromArguments(argc, argv), Insertion);
}

void SqliteModificationManager::updateRow(qint64 oldRowid, qint64 newRowid, int argc, sqlite3_value** argv)
{
    recordChange(oldRowid, newRowid, rowValuesFromArguments(argc, argv), Update);
}

// A row moved to another rowid records the deletion of its old rowid first.
void SqliteModificationManager::recordChange(qint64 oldRowid, qint64 newRowid, const QList<QVariant>& values,
                                             int actionTag)
{
    Savepoint savepoint(database);
    startNewChange();
    const QList<QVariant> oldValues = loadRowValues(oldRowid);
    if (oldRowid != newRowid)
        deleteRow(oldRowid);
    const QByteArray snapshot = rowToBlob(values);
    storeRow(newRowid, values, snapshot);
    appendHistory(actionTag, oldRowid, rowidValue(newRowid), oldValues, snapshot);
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

void SqliteModificationManager::storeRow(qint64 rowid, const QList<QVariant>& values, const QByteArray& snapshot)
{
    changeLog(QStringLiteral("INSERT OR REPLACE INTO ") + insertedOrUpdatedTable + QStringLiteral(" VALUES (?, ?);"),
              {rowidValue(rowid), snapshot}, [&](LogIndex& log) { log.store(rowid, values); });
}

void SqliteModificationManager::removeStoredRow(qint64 rowid)
{
    changeLog(QStringLiteral("DELETE FROM ") + insertedOrUpdatedTable + QStringLiteral(" WHERE rowid = ?;"),
              {rowidValue(rowid)}, [rowid](LogIndex& log) { log.remove(rowid); });
}

void SqliteModificationManager::addToDeletedSet(qint64 rowid)
{
    changeLog(QStringLiteral("INSERT OR IGNORE INTO ") + deletedTable + QStringLiteral(" VALUES (?);"),
              {rowidValue(rowid)}, [rowid](LogIndex& log) { log.markDeleted(rowid); });
}

void SqliteModificationManager::removeFromDeletedSet(qint64 rowid)
{
    changeLog(QStringLiteral("DELETE FROM ") + deletedTable + QStringLiteral(" WHERE ID = ? ;"), {rowidValue(rowid)},
              [rowid](LogIndex& log) { log.unmarkDeleted(rowid); });
}

void SqliteModificationManager::appendHistory(int actionTag, qint64 oldRowid, const QVariant& newRowid,
                                              const QList<QVariant>& oldValues, const QVariant& newValues)
{
    const int step = currentHistoryId();
    changeLog(QStringLiteral("INSERT INTO ") + historyTable + QStringLiteral(" VALUES (?, ?, ?, ?, ?, ?);"),
              {QVariant(actionTag), rowidValue(oldRowid), newRowid, rowToBlob(oldValues), newValues, QVariant(step)},
              [step](LogIndex& log) { log.addStepRow(step); });
}

void SqliteModificationManager::removeHistoryAbove(int position)
{
    changeLog(QStringLiteral("DELETE FROM ") + historyTable + QStringLiteral(" WHERE historyID > ? ;"),
              {QVariant(position)}, [position](LogIndex& log) { log.eraseStepsAbove(position); });
}
