// Life of a change log: creating, renaming and dropping its tables, and the
// row-state queries the overlay asks, answered from the log's index.
#include "changelog/stored_change_log.h"

#include "changelog/row_snapshot.h"
#include "common/error_pair.h"
#include "store/reading.h"
#include "store/savepoint.h"

#include <algorithm>
#include <limits>

StoredChangeLog::StoredChangeLog(std::shared_ptr<SqliteDatabase> database, const QString& tableName, bool owner)
    : connection(std::move(database)), database(*connection), logTables(*connection)
{
    const Access access(*this, Hold::Work);
    logTables.setName(tableName);
    if (owner)
        createLogTables();
}

StoredChangeLog::~StoredChangeLog()
{
    database.forget(this);
}

QString StoredChangeLog::name() const
{
    const Access access(*this);
    return logTables.name();
}

void StoredChangeLog::createLogTables()
{
    Savepoint savepoint(database);
    touch();
    logTables.create();
    savepoint.release();
}

void StoredChangeLog::dropLog()
{
    const Access access(*this, Hold::Work);
    Savepoint savepoint(database);
    // DROP TABLE fails while a statement of the connection still reads.
    database.forgetStatements();
    touch();
    logTables.drop();
    savepoint.release();
    // A rollback brings the tables back, and the index is read again.
    database.observe(this);
    index = LogIndex();
    indexValid = true;
    changes.fetch_add(1, std::memory_order_acq_rel);
}

void StoredChangeLog::takeName(const QString& name)
{
    const Access access(*this, Hold::Work);
    logTables.setName(name);
}

void StoredChangeLog::renameLog(const QString& newName)
{
    const Access access(*this, Hold::Work);
    Savepoint savepoint(database);
    database.forgetStatements();
    touch();
    const QString oldName = logTables.name();
    try {
        logTables.rename(newName);
        savepoint.release();
    } catch (...) {
        logTables.setName(oldName);
        throw;
    }
}

void StoredChangeLog::readIndex()
{
    const SqliteDatabase::Lock held(database);
    if (takenBack()) {
        index = LogIndex();
        indexValid.store(true, std::memory_order_release);
    } else {
        rebuildIndex();
    }
}

void StoredChangeLog::madeNow()
{
    const Access access(*this, Hold::Work);
    made = database.mark();
    database.observe(this);
    touch();
}

// Notes the rollback only: the index is read again on the next use, under the
// log's lock, which another thread may hold now.
void StoredChangeLog::rolledBack(SqliteDatabase::Mark to) noexcept
{
    if (made && *made >= to)
        undone.store(true, std::memory_order_release);
    indexValid.store(false, std::memory_order_release);
    changes.fetch_add(1, std::memory_order_acq_rel);
}

// Reads rowids only, and of the history its rowids and tags, so that the work
// grows with the rows, not with their values.
void StoredChangeLog::rebuildIndex()
{
    LogIndex fresh;
    if (newRowsFrom)
        fresh.setInnerLimit(*newRowsFrom);
    const std::optional<qint64> position = logTables.position();
    fresh.setPosition(position ? std::optional<int>(int(*position)) : std::nullopt);
    // A log that a rollback took back, or that another thread dropped, while
    // this changeLog was still held reads as empty.
    if (position || logTables.exist()) {
        logTables.readDeleted([&fresh](qint64 rowid) { fresh.markDeleted(rowid); });
        logTables.readStoredRowids([&fresh](qint64 rowid) { fresh.store(rowid); });
        replayHistory(fresh);
    }
    logTables.readLabels([&fresh](std::optional<qint64> step, const QString& label) {
        if (step)
            fresh.setLabel(int(*step), label);
        else
            fresh.setPendingLabel(label);
    });
    if (const std::optional<LogTables::CleanMarkRow> mark = logTables.cleanMark()) {
        const qint64 markedRows = mark->rows;
        fresh.setCleanMark({mark->step ? std::optional<int>(int(*mark->step)) : std::nullopt,
                            std::max<qint64>(markedRows, 0), markedRows < 0});
    }
    index = std::move(fresh);
    indexValid.store(true, std::memory_order_release);
}

void StoredChangeLog::replayHistory(LogIndex& fresh)
{
    const int position = fresh.position().value_or(-1);
    // Moved rows' origins as the replay goes, and as of the position.
    std::unordered_map<qint64, qint64> moved;
    std::optional<std::unordered_map<qint64, qint64>> applied;
    // A moved row's update follows the deletion of its old rowid.
    std::optional<qint64> lastDeleted, deletedOrigin;
    logTables.readHistory([&](const LogTables::HistoryRow& row) {
        const int step = static_cast<int>(row.step);
        if (step > position && !applied)
            applied = moved;
        const qint64 oldRowid = row.oldRowid, newRowid = row.newRowid;
        switch (row.tag) {
        case Deletion: {
            fresh.addEntry(step, LogIndex::Entry::Deletion);
            lastDeleted = oldRowid;
            auto found = moved.find(oldRowid);
            deletedOrigin = found == moved.end() ? std::nullopt : std::optional<qint64>(found->second);
            if (deletedOrigin) {
                fresh.carry(step, row.row, *deletedOrigin);
                moved.erase(found);
            }
            break;
        }
        case Insertion:
            fresh.addEntry(step, LogIndex::Entry::Insertion);
            moved.erase(newRowid);
            break;
        case Update: {
            if (oldRowid == newRowid) {
                fresh.addEntry(step, LogIndex::Entry::Update);
                break;
            }
            fresh.addEntry(step, LogIndex::Entry::Move);
            const std::optional<qint64> origin = lastDeleted == oldRowid && deletedOrigin ? deletedOrigin
                                                 : fresh.isInner(oldRowid) ? std::optional<qint64>(oldRowid)
                                                                           : std::nullopt;
            if (origin) {
                moved[newRowid] = *origin;
                fresh.carry(step, row.row, *origin);
            }
            break;
        }
        default:
            break;
        }
    });
    for (const auto& [rowid, origin] : applied ? *applied : moved)
        fresh.setOrigin(rowid, origin);
}

void StoredChangeLog::touch()
{
    touchedIn.store(database.openTransaction(), std::memory_order_release);
}

// Only a transaction that is open can have changed the log since, and the log
// changes only under its lock: a log untouched now stays so while it is held.
bool StoredChangeLog::touchedNow() const
{
    const SqliteDatabase::Mark touched = touchedIn.load(std::memory_order_acquire);
    return touched != 0 && touched == database.openTransaction();
}

// Read afresh rather than copied from the row kept here: copies of Qt's
// containers share their data, which threads must not. A log that the open
// transaction has not changed holds the rows committed by the transaction
// that changed it last, which ended: a snapshot that shows that one shows
// them (the transaction open now and any later one begin at later marks).
// Such rows are read through the history connection while it is idle, where
// the pages of what this process wrote last are at hand, and once a reader
// finds it busy, through a read connection for the rest of its scan.
bool StoredChangeLog::readRow(qint64 rowid, RowSnapshot& row, Reading* reading)
{
    const Access access(*this);
    const bool untouched = reading && !touchedNow();
    const SqliteDatabase::Mark changedIn = touchedIn.load(std::memory_order_acquire);
    const SqliteDatabase::Mark ended = database.endedThrough();
    const bool committed = untouched && ended >= changedIn;
    if (!log().isStored(rowid))
        return false;
    if (committed && !reading->asked()) {
        const SqliteDatabase::IdleLock idle(database);
        if (idle.held()) {
            row.assign(readSnapshot(rowid));
            return true;
        }
    }
    if (ReadConnection* apart = committed ? reading->connection() : nullptr) {
        try {
            row.assign(apart->valueAt(logTables.walkRowsText(), rowid, changedIn, ended));
            return true;
        } catch (const ErrorPair&) {
            // The history connection reads the same rows, or fails as it should.
        }
    }
    row.assign(readSnapshot(rowid));
    return true;
}

ChangeLog::RowState StoredChangeLog::rowState(qint64 rowid)
{
    const Access access(*this);
    const LogIndex& current = log();
    return {current.isDeleted(rowid), current.isStored(rowid)};
}

const RowSnapshot* StoredChangeLog::modifiedRow(qint64 rowid)
{
    if (!log().isStored(rowid))
        return nullptr;
    if (!cached.valid || cached.rowid != rowid || cached.changes != changes) {
        cached.valid = false;
        cached.row.assign(readSnapshot(rowid));
        cached.rowid = rowid;
        cached.changes = changes;
        cached.valid = true;
    }
    return &cached.row;
}

QByteArray StoredChangeLog::readSnapshot(qint64 rowid)
{
    // A scan asks for rows in ascending order, mostly a few apart.
    constexpr int shortWalk = 32;
    const SqliteDatabase::Lock held(database);
    Statement& walk = logTables.walkRows();
    if (!database.holdSnapshot()) {
        Statement::Rows row(logTables.loadRow(rowid));
        return row.next() ? row.bytes(0) : QByteArray();
    }
    if (walk.isWalking() && walkedChanges == changes && walkedRowid <= rowid) {
        for (int steps = 0; walkedRowid < rowid && steps < shortWalk && walk.step(); ++steps)
            walkedRowid = walk.integer(0);
        if (walk.isWalking() && walkedRowid == rowid)
            return walk.bytes(1);
    }
    walk.restart();
    walk.bind(1, rowid);
    if (!walk.step())
        return QByteArray();
    walkedRowid = walk.integer(0);
    walkedChanges = changes;
    return walkedRowid == rowid ? walk.bytes(1) : QByteArray();
}

void StoredChangeLog::fileColumn(int column)
{
    LogIndex& current = log();
    if (current.isFiled(column))
        return;
    current.fileColumn(column);
    try {
        logTables.readStored([&current, column](qint64 rowid, const QByteArray& snapshot) {
            const QList<QVariant> row = rowFromBlob(snapshot);
            current.fileValue(column, rowid, column < row.size() ? row.at(column) : QVariant());
        });
    } catch (...) {
        current.forgetColumn(column);
        throw;
    }
}

bool StoredChangeLog::isRowDeleted(qint64 rowid)
{
    const Access access(*this);
    return log().isDeleted(rowid);
}

bool StoredChangeLog::isStored(qint64 rowid)
{
    const Access access(*this);
    return log().isStored(rowid);
}

std::optional<qint64> StoredChangeLog::firstModifiedRowidFrom(qint64 rowid)
{
    const Access access(*this);
    return log().firstStoredFrom(rowid);
}

std::optional<qint64> StoredChangeLog::firstUnmodifiedRowidFrom(qint64 rowid)
{
    const Access access(*this);
    return log().firstUnstoredFrom(rowid);
}

std::optional<std::vector<qint64>> StoredChangeLog::modifiedRowidsWithValue(int column, const QVariant& value)
{
    const Access access(*this);
    fileColumn(column);
    return log().storedWithValue(column, value);
}

std::vector<qint64> StoredChangeLog::modifiedRowidsHolding(int column, const QVariant& value)
{
    const Access access(*this);
    fileColumn(column);
    return log().storedHolding(column, value);
}

int StoredChangeLog::position()
{
    const Access access(*this);
    return log().position().value_or(-1);
}

void StoredChangeLog::setFirstNewRowid(qint64 rowid)
{
    const Access access(*this, Hold::Work);
    logTables.keepFirstNewRowid(rowid).run();
    restoreFirstNewRowid(rowid);
}

std::optional<qint64> StoredChangeLog::firstNewRowid() const
{
    const Access access(*this);
    return newRowsFrom;
}

void StoredChangeLog::restoreFirstNewRowid(qint64 rowid)
{
    const Access access(*this);
    newRowsFrom = rowid;
    if (indexValid) {
        if (!listings.empty())
            holdListings(index);
        index.setInnerLimit(rowid);
    }
}
