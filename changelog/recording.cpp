// Recording writes: each changes the state tables so reads show it at once and
// appends history rows under the current step, all inside one savepoint. Every
// change to the log is made to its index as well. Rows go from the host's
// values to the file as snapshots, and from table to table inside SQLite.
#include "changelog/row_snapshot.h"
#include "changelog/stored_change_log.h"
#include "changelog/values.h"
#include "store/savepoint.h"

namespace {

// The snapshot of no values: the old value of a row the log did not hold.
const QByteArray& emptyRow()
{
    static const QByteArray empty = rowToBlob({});
    return empty;
}

} // namespace

void StoredChangeLog::deleteRow(qint64 rowid)
{
    const Access access(*this, Hold::Work);
    Savepoint savepoint(database);
    startNewChange();
    const std::optional<qint64> origin = log().movedOrigin(rowid);
    appendHistory(Deletion, rowid, std::nullopt, std::nullopt, nullptr, origin.has_value());
    if (origin)
        carryOrigin(*origin);
    markRowDeleted(rowid);
    savepoint.release();
}

void StoredChangeLog::insertRow(qint64 rowid, int argc, sqlite3_value** argv)
{
    const Access access(*this, Hold::Work);
    recordChange(rowid, rowid, snapshotFromArguments(argc, argv), Insertion);
}

void StoredChangeLog::updateRow(qint64 oldRowid, qint64 newRowid, int argc, sqlite3_value** argv)
{
    const Access access(*this, Hold::Work);
    recordChange(oldRowid, newRowid, snapshotFromArguments(argc, argv), Update);
}

// A row moved to another rowid records the deletion of its old rowid first;
// its history row keeps the values the old rowid held before that, and the
// inner row the old rowid stood for becomes the new rowid's origin.
void StoredChangeLog::recordChange(qint64 oldRowid, qint64 newRowid, const QByteArray& snapshot, int actionTag)
{
    Savepoint savepoint(database);
    startNewChange();
    std::optional<qint64> origin;
    if (oldRowid == newRowid) {
        appendHistory(actionTag, oldRowid, newRowid, std::nullopt, &snapshot);
    } else {
        const RowSnapshot* stored = modifiedRow(oldRowid);
        const std::optional<QByteArray> oldSnapshot =
            stored && !stored->bytes().isEmpty() ? stored->bytes() : emptyRow();
        origin = log().originOf(oldRowid);
        deleteRow(oldRowid);
        appendHistory(actionTag, oldRowid, newRowid, oldSnapshot, &snapshot, origin.has_value());
        if (origin)
            carryOrigin(*origin);
    }
    storeRow(newRowid, snapshot);
    if (origin)
        log().setOrigin(newRowid, *origin);
    savepoint.release();
}

// A row leaves what reads show: its stored values go, and its rowid joins the
// deleted set so that an updated inner row stays hidden.
void StoredChangeLog::markRowDeleted(qint64 rowid)
{
    if (isStored(rowid))
        removeStoredRow(rowid);
    addToDeletedSet(rowid);
}

QList<QVariant> StoredChangeLog::storedValues(qint64 rowid)
{
    QList<QVariant> values;
    if (const RowSnapshot* row = modifiedRow(rowid)) {
        for (int column = 0; column < row->count(); ++column)
            values.append(row->value(column));
    }
    return values;
}

void StoredChangeLog::storeRow(qint64 rowid, const QByteArray& snapshot)
{
    // Values filed for lookups follow the row.
    QList<QVariant> oldRow, newRow;
    if (log().hasFiledColumns()) {
        oldRow = storedValues(rowid);
        newRow = rowFromBlob(snapshot);
    }
    const bool replaces = log().isStored(rowid);
    const RowBatch::Value row[] = {RowBatch::Value::of(rowid), RowBatch::Value::of(snapshot)};
    changeLog(logTables.storedRows(), row, [&](LogIndex& log) {
        if (!log.hasFiledColumns())
            return log.store(rowid);
        if (replaces)
            log.unfile(rowid, oldRow);
        log.store(rowid);
        log.file(rowid, newRow);
    });
}

void StoredChangeLog::removeStoredRow(qint64 rowid)
{
    QList<QVariant> oldRow;
    if (log().hasFiledColumns())
        oldRow = storedValues(rowid);
    const bool removes = log().isStored(rowid);
    changeLog(logTables.removeRow(rowid), [&](LogIndex& log) {
        if (removes)
            log.unfile(rowid, oldRow);
        log.remove(rowid);
    });
}

void StoredChangeLog::removeStoredRows(qint64 first, qint64 last)
{
    if (first == last)
        return removeStoredRow(first);
    changeLog(logTables.removeRows(first, last), [first, last](LogIndex& log) {
        for (qint64 rowid = first;; ++rowid) {
            log.remove(rowid);
            if (rowid == last)
                break;
        }
    });
}

void StoredChangeLog::addToDeletedSet(qint64 rowid)
{
    changeLog(logTables.markDeleted(rowid), [rowid](LogIndex& log) { log.markDeleted(rowid); });
}

void StoredChangeLog::removeFromDeletedSet(qint64 rowid)
{
    changeLog(logTables.unmarkDeleted(rowid), [rowid](LogIndex& log) { log.unmarkDeleted(rowid); });
}

void StoredChangeLog::appendHistory(int actionTag, qint64 oldRowid, std::optional<qint64> newRowid,
                                    const std::optional<QByteArray>& oldSnapshot, const QByteArray* newSnapshot,
                                    bool carried)
{
    const int step = position();
    // The stored row as read last (the host read it to update it), or as the
    // database copies it.
    const bool stored = !oldSnapshot && log().isStored(oldRowid);
    const bool readLast = stored && cached.valid && cached.rowid == oldRowid && cached.changes == changes &&
                          !cached.row.bytes().isEmpty();
    const bool fromStored = stored && !readLast;
    const LogIndex::Entry entry = actionTag == Deletion    ? LogIndex::Entry::Deletion
                                  : actionTag == Insertion ? LogIndex::Entry::Insertion
                                  : newRowid != oldRowid   ? LogIndex::Entry::Move
                                                           : LogIndex::Entry::Update;
    const bool opensStep = !log().stepHoldsRows(step);
    const auto addEntry = [step, entry](LogIndex& log) { log.addEntry(step, entry); };
    if (!fromStored && !carried) {
        const RowBatch::Value none;
        const RowBatch::Value row[] = {
            RowBatch::Value::of(actionTag),
            RowBatch::Value::of(oldRowid),
            newRowid ? RowBatch::Value::of(*newRowid) : none,
            RowBatch::Value::of(readLast      ? cached.row.bytes()
                                : oldSnapshot ? *oldSnapshot
                                              : emptyRow()),
            newSnapshot ? RowBatch::Value::of(*newSnapshot) : none,
            RowBatch::Value::of(step),
        };
        changeLog(logTables.historyRows(), row, addEntry);
    } else {
        // Written at once: the old value is copied inside the database, or
        // the row's rowid is asked for (carryOrigin).
        const QByteArray oldValue = readLast ? cached.row.bytes() : oldSnapshot ? *oldSnapshot : emptyRow();
        Statement& statement =
            logTables.appendHistory(actionTag, oldRowid, newRowid, fromStored ? nullptr : &oldValue, newSnapshot, step);
        changeLog(statement, addEntry);
    }
    if (opensStep && log().pendingLabel()) {
        changeLog(logTables.assignPendingLabel(step), [step](LogIndex& log) {
            log.setLabel(step, log.pendingLabel());
            log.setPendingLabel(std::nullopt);
        });
    }
}

void StoredChangeLog::carryOrigin(qint64 origin)
{
    log().carry(position(), database.lastInsertRowid(), origin);
}

// Labels and the clean mark belong to steps that hold rows: they go with them.
void StoredChangeLog::removeHistoryAbove(int position)
{
    if (log().lowestStepAbove(position)) {
        changeLog(logTables.removeLabelsAbove(position), [](LogIndex&) {});
        const std::optional<int> marked = log().cleanMark().step;
        if (marked && *marked > position)
            writeCleanMark({std::nullopt, 0, true});
    }
    changeLog(logTables.removeHistoryAbove(position), [position](LogIndex& log) { log.eraseStepsAbove(position); });
}

void StoredChangeLog::setStepLabel(std::optional<int> step, const std::optional<QString>& label)
{
    auto apply = [&step](const std::optional<QString>& text) {
        return [&step, text](LogIndex& log) { step ? log.setLabel(*step, text) : log.setPendingLabel(text); };
    };
    changeLog(logTables.removeLabel(step), apply(std::nullopt));
    if (label)
        changeLog(logTables.insertLabel(step, *label), apply(label));
}

void StoredChangeLog::writeCleanMark(const LogIndex::CleanMark& mark)
{
    Statement& statement = logTables.setCleanMark(mark.step, mark.lost ? -1 : mark.rows);
    changeLog(statement, [&mark](LogIndex& log) { log.setCleanMark(mark); });
}
