// The history position and the walks over it. Steps at or below the position
// are applied, steps above it are reverted; a step is the set of history rows
// carrying one historyID, and steps without rows are passed over.
#include "changelog/row_snapshot.h"
#include "changelog/sqlite_modification_manager.h"
#include "store/savepoint.h"

#include <QSqlQuery>

#include <algorithm>
#include <limits>

namespace {

constexpr qint64 lowestPosition = std::numeric_limits<qint32>::min();
constexpr qint64 highestPosition = std::numeric_limits<qint32>::max();

// The step count as the SQL functions give it: the low 32 bits, signed.
qint32 stepCount(qint64 steps)
{
    return static_cast<qint32>(static_cast<quint32>(static_cast<quint64>(steps)));
}

} // namespace

void SqliteModificationManager::commit()
{
    Savepoint savepoint(*this);
    const int position = currentHistoryId();
    executeQuery(QStringLiteral("DELETE FROM ") + historyTable + QStringLiteral(" WHERE historyID > ? ;"),
                 {QVariant(position)});
    executeQuery(QStringLiteral("UPDATE ombrixOpenedTables SET currentHistoryID = currentHistoryID + 1 "
                                "WHERE name = ? AND currentHistoryID < 2147483647 ;"),
                 {QVariant(tableName)});
    savepoint.release();
}

void SqliteModificationManager::decrementHistoryId()
{
    executeQuery(QStringLiteral("UPDATE ombrixOpenedTables SET currentHistoryID = currentHistoryID - 1 "
                                "WHERE name = ? AND currentHistoryID > -2147483648 ;"),
                 {QVariant(tableName)});
}

void SqliteModificationManager::moveHistoryId(qint64 position)
{
    position = std::clamp(position, lowestPosition, highestPosition);
    executeQuery(QStringLiteral("UPDATE ombrixOpenedTables SET currentHistoryID = ? WHERE name = ? ;"),
                 {QVariant(static_cast<int>(position)), QVariant(tableName)});
}

// min or max of the steps holding rows on one side of position; invalid when none.
QVariant SqliteModificationManager::stepWithRows(const char* aggregate, const char* comparison, int position)
{
    QVariant step = firstValue(QStringLiteral("SELECT ") + QLatin1String(aggregate) + QStringLiteral("(historyID) FROM ") +
                                   historyTable + QStringLiteral(" WHERE historyID ") + QLatin1String(comparison) +
                                   QStringLiteral(" ? ;"),
                               {QVariant(position)});
    return step.isNull() ? QVariant() : step;
}

bool SqliteModificationManager::hasRowsAbove(int position)
{
    return stepWithRows("min", ">", position).isValid();
}

// New work makes what could be redone unreachable: those rows go, and the
// change starts a step of its own when the current step holds rows.
void SqliteModificationManager::startNewChange()
{
    const int position = currentHistoryId();
    if (!hasRowsAbove(position))
        return;
    executeQuery(QStringLiteral("DELETE FROM ") + historyTable + QStringLiteral(" WHERE historyID > ? ;"),
                 {QVariant(position)});
    if (stepWithRows("max", "=", position).isValid())
        moveHistoryId(qint64(position) + 1);
}

void SqliteModificationManager::undo(qint64 steps)
{
    qint64 position = currentHistoryId();
    const qint32 count = stepCount(steps);
    for (qint32 done = 0; done < count; ++done) {
        const QVariant step = stepWithRows("max", "<=", static_cast<int>(position));
        if (!step.isValid()) {
            moveHistoryId(position - (count - done));
            return;
        }
        Savepoint savepoint(*this);
        undoStep(step.toInt());
        moveHistoryId(step.toLongLong() - 1);
        savepoint.release();
        position = step.toLongLong() - 1;
    }
}

void SqliteModificationManager::redo(qint64 steps)
{
    qint64 position = currentHistoryId();
    const qint32 count = stepCount(steps);
    bool reapplied = false;
    for (qint32 done = 0; done < count; ++done) {
        const QVariant step = stepWithRows("min", ">", static_cast<int>(position));
        if (!step.isValid()) {
            position = std::min(position + (count - done), highestPosition);
            moveHistoryId(position);
            break;
        }
        Savepoint savepoint(*this);
        redoStep(step.toInt());
        moveHistoryId(step.toLongLong());
        savepoint.release();
        position = step.toLongLong();
        reapplied = true;
    }
    // Like a commit: the next change starts a step of its own.
    if (reapplied && !hasRowsAbove(static_cast<int>(position)))
        moveHistoryId(position + 1);
}

QList<SqliteModificationManager::HistoryRow> SqliteModificationManager::historyRows(int step, bool newestFirst)
{
    QSqlQuery rows = executeQuery(QStringLiteral("SELECT actionTag, oldRowID, newRowID, oldValue, newValue FROM ") +
                                      historyTable + QStringLiteral(" WHERE historyID = ? ORDER BY rowid ") +
                                      (newestFirst ? QStringLiteral("DESC;") : QStringLiteral("ASC;")),
                                  {QVariant(step)});
    QList<HistoryRow> result;
    while (rows.next())
        result.append({rows.value(0).toInt(), rows.value(1).toLongLong(), rows.value(2).toLongLong(),
                       rows.value(3).toByteArray(), rows.value(4).toByteArray()});
    rows.finish();
    return result;
}

// Takes one step back, newest change first.
void SqliteModificationManager::undoStep(int step)
{
    for (const HistoryRow& change : historyRows(step, true)) {
        const bool hadValues = !rowFromBytes(change.oldValue).isEmpty();
        switch (change.actionTag) {
        case Deletion:
            executeQuery(QStringLiteral("DELETE FROM ") + deletedTable + QStringLiteral(" WHERE ID = ? ;"),
                         {rowidValue(change.oldRowid)});
            if (hadValues)
                storeBlob(change.oldRowid, change.oldValue);
            break;
        case Insertion:
            removeStoredRow(change.newRowid);
            break;
        case Update:
            if (change.oldRowid == change.newRowid && hadValues)
                storeBlob(change.newRowid, change.oldValue);
            else
                removeStoredRow(change.newRowid);
            break;
        default:
            break;
        }
    }
}

// Applies one step again, oldest change first. A moved row's deletion is
// re-applied by the step's own deletion row.
void SqliteModificationManager::redoStep(int step)
{
    for (const HistoryRow& change : historyRows(step, false)) {
        switch (change.actionTag) {
        case Deletion:
            markRowDeleted(change.oldRowid);
            break;
        case Insertion:
        case Update:
            storeBlob(change.newRowid, change.newValue);
            break;
        default:
            break;
        }
    }
}
