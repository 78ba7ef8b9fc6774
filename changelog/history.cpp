// The history position and the walks over it. Steps at or below the position
// are applied, steps above it are reverted; a step is the set of history rows
// carrying one historyID, and steps without rows are passed over. A walk
// visits only steps that hold rows, so it ends at once past either end.
#include "changelog/row_snapshot.h"
#include "changelog/stored_change_log.h"
#include "common/error_pair.h"
#include "store/savepoint.h"

#include <algorithm>
#include <limits>

namespace {

constexpr qint64 lowestPosition = std::numeric_limits<qint32>::min();
constexpr qint64 highestPosition = std::numeric_limits<qint32>::max();
// Moves past the ends of the history stop within this band, so that there is
// always room for the steps that later work opens on either side.
constexpr qint64 band = qint64(1) << 30;
constexpr qint64 lowestRowid = std::numeric_limits<qint64>::min();
constexpr qint64 highestRowid = std::numeric_limits<qint64>::max();

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

void StoredChangeLog::commit()
{
    const Access access(*this, Hold::Work);
    Savepoint savepoint(database);
    const int position = this->position();
    if (position == highestPosition)
        throw ErrorPair(SQLITE_FULL, QStringLiteral("the history of %1 has no step left").arg(logTables.name()));
    if (log().pendingLabel())
        setStepLabel(std::nullopt, std::nullopt);
    removeHistoryAbove(position);
    moveHistoryId(qint64(position) + 1);
    savepoint.release();
}

void StoredChangeLog::commit(const QString& label)
{
    const Access access(*this, Hold::Work);
    Savepoint savepoint(database);
    if (hasOpenStep())
        setStepLabel(position(), label);
    commit();
    savepoint.release();
}

void StoredChangeLog::label(const std::optional<QString>& label)
{
    const Access access(*this, Hold::Work);
    Savepoint savepoint(database);
    setStepLabel(hasOpenStep() ? std::optional<int>(position()) : std::nullopt, label);
    savepoint.release();
}

void StoredChangeLog::markClean()
{
    const Access access(*this, Hold::Work);
    Savepoint savepoint(database);
    writeCleanMark(log().currentState());
    savepoint.release();
}

bool StoredChangeLog::hasOpenStep()
{
    const int position = this->position();
    return log().stepHoldsRows(position) && !log().lowestStepAbove(position);
}

// Sets the position; a table without a registry row has none to set.
void StoredChangeLog::moveHistoryId(qint64 position)
{
    const int clamped = static_cast<int>(std::clamp(position, lowestPosition, highestPosition));
    changeLog(logTables.movePosition(clamped), [clamped](LogIndex& log) {
        if (log.position())
            log.setPosition(clamped);
    });
}

// New work makes what could be redone unreachable: those rows go, and the
// change starts a step of its own when the current step holds rows.
void StoredChangeLog::startNewChange()
{
    const int position = this->position();
    if (!log().lowestStepAbove(position))
        return;
    removeHistoryAbove(position);
    if (log().stepHoldsRows(position) && position < highestPosition)
        moveHistoryId(qint64(position) + 1);
}

void StoredChangeLog::undo(qint64 steps)
{
    const Access access(*this, Hold::Work);
    Savepoint savepoint(database);
    qint64 position = this->position();
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

void StoredChangeLog::redo(qint64 steps)
{
    const Access access(*this, Hold::Work);
    Savepoint savepoint(database);
    qint64 position = this->position();
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

// Takes one step back, newest change first. The step's rows are read one by
// one while the state tables change, and snapshots go back as they are.
// Stored rows to remove wait while their rowids follow each other, and go
// by one range: a step over many rows mostly removes runs of them.
void StoredChangeLog::undoStep(int step)
{
    std::optional<std::pair<qint64, qint64>> run;
    auto flush = [&]() REQUIRES(mutex) {
        if (run)
            removeStoredRows(run->first, run->second);
        run.reset();
    };
    auto remove = [&](qint64 rowid) REQUIRES(mutex) {
        if (run && run->first > lowestRowid && rowid == run->first - 1)
            run->first = rowid;
        else if (run && run->second < highestRowid && rowid == run->second + 1)
            run->second = rowid;
        else {
            flush();
            run = std::make_pair(rowid, rowid);
        }
        // Values filed for lookups are taken out row by row.
        if (log().hasFiledColumns())
            flush();
    };
    RowSnapshot old;
    Statement::Rows change(logTables.stepRows(step, false));
    while (change.next()) {
        const qint64 oldRowid = change.integer(LogTables::OldRowid);
        const qint64 newRowid = change.integer(LogTables::NewRowid);
        const qint64 historyRow = change.integer(LogTables::Row);
        // Copied: the statements below run while this one stands on the row.
        const QByteArray oldSnapshot = change.bytes(LogTables::OldValue);
        const qint64 tag = change.integer(LogTables::Tag);
        // Only an old value with values in it (a damaged one has none) goes back.
        bool restores = tag == Deletion || (tag == Update && oldRowid == newRowid);
        if (restores) {
            old.assign(oldSnapshot);
            restores = old.count() > 0;
        }
        if (tag == Insertion || (tag == Update && !restores)) {
            remove(newRowid);
            continue;
        }
        flush();
        if (tag == Deletion)
            removeFromDeletedSet(oldRowid);
        if (!restores)
            continue;
        storeRow(tag == Deletion ? oldRowid : newRowid, oldSnapshot);
        if (tag == Deletion) {
            if (std::optional<qint64> origin = log().carriedOrigin(step, historyRow))
                log().setOrigin(oldRowid, *origin);
        }
    }
    flush();
}

// Applies one step again, oldest change first. A moved row's deletion is
// re-applied by the step's own deletion row.
void StoredChangeLog::redoStep(int step)
{
    Statement::Rows change(logTables.stepRows(step, true));
    while (change.next()) {
        switch (change.integer(LogTables::Tag)) {
        case Deletion:
            markRowDeleted(change.integer(LogTables::OldRowid));
            break;
        case Insertion:
        case Update: {
            const qint64 newRowid = change.integer(LogTables::NewRowid);
            const qint64 historyRow = change.integer(LogTables::Row);
            const QByteArray newValue = change.bytes(LogTables::NewValue);
            storeRow(newRowid, newValue);
            if (std::optional<qint64> origin = log().carriedOrigin(step, historyRow))
                log().setOrigin(newRowid, *origin);
            break;
        }
        default:
            break;
        }
    }
}
