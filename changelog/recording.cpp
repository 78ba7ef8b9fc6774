// Recording writes: each changes the state tables so reads show it at once and
// appends history rows under the current step, all inside one savepoint.
#include "changelog/row_snapshot.h"
#include "changelog/sqlite_modification_manager.h"
#include "overlay/values.h"
#include "store/savepoint.h"

namespace {

const QVariant nullValue = QVariant(QVariant::String);

} // namespace

void SqliteModificationManager::deleteRow(qint64 rowid)
{
    Savepoint savepoint(*this);
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

void SqliteModificationManager::recordChange(qint64 oldRowid, qint64 newRowid, const QList<QVariant>& values,
                                             int actionTag)
{
    Savepoint savepoint(*this);
    startNewChange();
    const QList<QVariant> oldValues = loadRowValues(oldRowid);
    storeRowValues(oldRowid, newRowid, values);
    appendHistory(actionTag, oldRowid, rowidValue(newRowid), oldValues, rowToBlob(values));
    savepoint.release();
}

// A row leaves what reads show: its stored values go, and its rowid joins the
// deleted set so that an updated inner row stays hidden.
void SqliteModificationManager::markRowDeleted(qint64 rowid)
{
    if (isRowModified(rowid)) {
        removeStoredRow(rowid);
        executeQuery(QStringLiteral("INSERT OR IGNORE INTO ") + deletedTable + QStringLiteral(" VALUES (?);"),
                     {rowidValue(rowid)});
        return;
    }
    executeQuery(QStringLiteral("INSERT INTO ") + deletedTable + QStringLiteral(" VALUES (?);"),
                 {rowidValue(rowid)});
}

// Stores values under newRowid, replacing what was stored there; a row moved
// to another rowid first records the deletion of its old rowid.
void SqliteModificationManager::storeRowValues(qint64 oldRowid, qint64 newRowid, const QList<QVariant>& values)
{
    if (oldRowid != newRowid)
        deleteRow(oldRowid);
    storeBlob(newRowid, rowToBlob(values));
}

void SqliteModificationManager::storeBlob(qint64 rowid, const QByteArray& snapshot)
{
    executeQuery(QStringLiteral("INSERT OR REPLACE INTO ") + insertedOrUpdatedTable +
                     QStringLiteral(" VALUES (?, ?);"),
                 {rowidValue(rowid), snapshot});
}

void SqliteModificationManager::removeStoredRow(qint64 rowid)
{
    executeQuery(QStringLiteral("DELETE FROM ") + insertedOrUpdatedTable + QStringLiteral(" WHERE rowid = ?;"),
                 {rowidValue(rowid)});
}

void SqliteModificationManager::appendHistory(int actionTag, qint64 oldRowid, const QVariant& newRowid,
                                              const QList<QVariant>& oldValues, const QVariant& newValues)
{
    const int step = currentHistoryId();
    executeQuery(QStringLiteral("INSERT INTO ") + historyTable + QStringLiteral(" VALUES (?, ?, ?, ?, ?, ?);"),
                 {QVariant(actionTag), rowidValue(oldRowid), newRowid, rowToBlob(oldValues), newValues,
                  QVariant(step)});
}
