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
    removeHistoryAbove(position);
    moveHistoryId(qint64(position) + 1);
    savepoint.release();
}

// Sets the position, kept within the signed 32-bit range; a table without a
// registry row has none to set.
void SqliteModificationManager::moveHistoryId(qint64 position)
{
    const int clamped = static_cast<int>(std::clamp(position, lowestPosition, highestPosition));
    changeLog(QStringLiteral("UPDATE ombrixOpenedTables SET currentHistoryID = ? WHERE name = ? ;"),
              {QVariant(clamped), QVariant(tableName)}, [clamped](LogIndex& log) {
                  if (log.registered)
                      log.position = clamped;
              });
}

// New work makes what could be redone unreachable: those rows go, and the
// change starts a step of its own when the current step holds rows.
void SqliteModificationManager::startNewChange()
{
    const int position = currentHistoryId();
    if (!log().lowestStepAbove(position))
        return;
    removeHistoryAbove(position);
    if (log().stepRows.count(position))
        moveHistoryId(qint64(position) + 1);
}

void SqliteModificationManager::undo(qint64 steps)
{
    qint64 position = currentHistoryId();
    const qint32 count = stepCount(steps);
    for (qint32 done = 0; done < count; ++done) {
        const std::optional<int> step = log().highestStepAtOrBelow(static_cast<int>(position));
        if (!step) {
            moveHistoryId(position - (count - done));
            return;
        }
        Savepoint savepoint(*this);
        undoStep(*step);
        moveHistoryId(qint64(*step) - 1);
        savepoint.release();
        position = qint64(*step) - 1;
    }
}

void SqliteModificationManager::redo(qint64 steps)
{
    qint64 position = currentHistoryId();
    const qint32 count = stepCount(steps);
    bool reapplied = false;
    for (qint32 done = 0; done < count; ++done) {
        const std::optional<int> step = log().lowestStepAbove(static_cast<int>(position));
        if (!step) {
            position = std::min(position + (count - done), highestPosition);
            moveHistoryId(position);
            break;
        }
        Savepoint savepoint(*this);
        redoStep(*step);
        moveHistoryId(*step);
        savepoint.release();
        position = *step;
        reapplied = true;
    }
    // Like a commit: the next change starts a step of its own.
    if (reapplied && !log().lowestStepAbove(static_cast<int>(position)))
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
        const QList<QVariant> oldValues = rowFromBytes(change.oldValue);
        switch (change.actionTag) {
        case Deletion:
            removeFromDeletedSet(change.oldRowid);
            if (!oldValues.isEmpty())
                storeRow(change.oldRowid, oldValues, change.oldValue);
            break;
        case Insertion:
            removeStoredRow(change.newRowid);
            break;
        case Update:
            if (change.oldRowid == change.newRowid && !oldValues.isEmpty())
                storeRow(change.newRowid, oldValues, change.oldValue);
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
            storeRow(change.newRowid, rowFromBytes(change.newValue), change.newValue);
            break;
        default:
            break;
        }
    }
}
