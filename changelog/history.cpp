// The history position and the walks over it. Steps at or below the position
// are applied, steps above it are reverted; a step is the set of history rows
// carrying one historyID, and steps without rows are passed over. A walk
// visits only steps that hold rows, so it ends at once past either end.
#include "changelog/row_snapshot.h"
#include "changelog/sqlite_modification_manager.h"
#include "common/error_pair.h"
#include "store/savepoint.h"

#include <QSqlQuery>

#include <algorithm>
#include <limits>

namespace {

constexpr qint64 lowestPosition = std::numeric_limits<qint32>::min();
constexpr qint64 highestPosition = std::numeric_limits<qint32>::max();
// Moves past the ends of the history stop within this band, so that there is
// always room for the steps that later work opens on either side.
constexpr qint64 band = qint64(1) << 30;

qint64 clampedStepCount(qint64 steps)
{
    return std::clamp<qint64>(steps, 0, highestPosition);
}

// The position after a jump from position to target over no steps.
qint64 jump(qint64 position, qint64 target)
{
    if (target > position)
        return std::min(target, std::max(position, band));
    return std::max(target, std::min(position, -band));
}

} // namespace

void SqliteModificationManager::commit()
{
    Savepoint savepoint(database);
    const int position = currentHistoryId();
    if (position == highestPosition)
        throw ErrorPair(SQLITE_FULL, QStringLiteral("the history of %1 has no step left").arg(tableName));
    removeHistoryAbove(position);
    moveHistoryId(qint64(position) + 1);
    savepoint.release();
}

// Sets the position; a table without a registry row has none to set.
void SqliteModificationManager::moveHistoryId(qint64 position)
{
    const int clamped = static_cast<int>(std::clamp(position, lowestPosition, highestPosition));
    changeLog(QStringLiteral("UPDATE ombrixOpenedTables SET currentHistoryID = ? WHERE name = ? ;"),
              {QVariant(clamped), QVariant(tableName)}, [clamped](LogIndex& log) {
                  if (log.position())
                      log.setPosition(clamped);
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
    if (log().stepHoldsRows(position) && position < highestPosition)
        moveHistoryId(qint64(position) + 1);
}

void SqliteModificationManager::undo(qint64 steps)
{
    Savepoint savepoint(database);
    qint64 position = currentHistoryId();
    const qint64 count = clampedStepCount(steps);
    for (qint64 done = 0; done < count; ++done) {
        const std::optional<int> step = log().highestStepAtOrBelow(static_cast<int>(position));
        if (!step) {
            moveHistoryId(jump(position, position - (count - done)));
            break;
        }
        undoStep(*step);
        position = std::max(qint64(*step) - 1, lowestPosition);
        moveHistoryId(position);
        if (*step == lowestPosition)
            break;
    }
    savepoint.release();
}

void SqliteModificationManager::redo(qint64 steps)
{
    Savepoint savepoint(database);
    qint64 position = currentHistoryId();
    const qint64 count = clampedStepCount(steps);
    bool reapplied = false;
    for (qint64 done = 0; done < count; ++done) {
        const std::optional<int> step = log().lowestStepAbove(static_cast<int>(position));
        if (!step) {
            position = jump(position, position + (count - done));
            moveHistoryId(position);
            break;
        }
        redoStep(*step);
        position = *step;
        moveHistoryId(position);
        reapplied = true;
    }
    // Like a commit: the next change starts a step of its own.
    if (reapplied && !log().lowestStepAbove(static_cast<int>(position)) && position < highestPosition)
        moveHistoryId(position + 1);
    savepoint.release();
}

QList<SqliteModificationManager::HistoryRow> SqliteModificationManager::historyRows(int step, bool newestFirst)
{
    QSqlQuery rows =
        database.executeQuery(QStringLiteral("SELECT actionTag, oldRowID, newRowID, oldValue, newValue FROM ") +
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
