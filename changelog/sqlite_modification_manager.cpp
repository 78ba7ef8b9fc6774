// Life of a change log: creating, renaming and dropping its tables, and the
// row-state queries the overlay asks, answered from the log's index.
#include "changelog/sqlite_modification_manager.h"

#include "changelog/row_snapshot.h"
#include "common/error_pair.h"
#include "common/identifiers.h"
#include "store/history_tables.h"
#include "store/log_records.h"
#include "store/reading.h"
#include "store/savepoint.h"

#include <algorithm>
#include <limits>

SqliteModificationManager::Statements::Statements(SqliteDatabase& database)
    : removeRow(database, {}),
      loadRow(database, {}),
      markDeleted(database, {}),
      unmarkDeleted(database, {}),
      appendHistory(database, {}),
      appendHistoryFromStored(database, {}),
      stepForward(database, {}),
      stepBackward(database, {}),
      removeHistory(database, {}),
      movePosition(database,
                   onSharedTables("UPDATE $registry SET currentHistoryID = ?1 WHERE CAST(name AS TEXT) = ?2;")),
      walkRows(database, {}),
      removeRows(database, {}),
      removeLabel(database, onSharedTables("DELETE FROM $labels WHERE name = ?1 AND historyID IS ?2;")),
      insertLabel(database, onSharedTables("INSERT INTO $labels VALUES (?1, ?2, ?3);")),
      assignLabel(database, onSharedTables("UPDATE $labels SET historyID = ?2 WHERE name = ?1 AND historyID IS NULL;")),
      removeLabelsAbove(database, onSharedTables("DELETE FROM $labels WHERE name = ?1 AND historyID > ?2;")),
      setCleanMark(database, onSharedTables("INSERT OR REPLACE INTO $cleanMarks VALUES (?1, ?2, ?3);")),
      keepFirstNewRowid(database, onSharedTables("UPDATE $keptLogs SET firstNewRowid = ?1 WHERE name = ?2 AND "
                                                 "firstNewRowid IS NULL;")),
      storeRows(database, 2, 0),
      appendHistoryRows(database, 6)
{
}

void SqliteModificationManager::Statements::setNames(const QString& stored, const QString& deleted,
                                                     const QString& history)
{
    storeRows.setSql(QStringLiteral("INSERT OR REPLACE INTO ") + stored);
    appendHistoryRows.setSql(QStringLiteral("INSERT INTO ") + history);
    removeRow.setSql(QStringLiteral("DELETE FROM ") + stored + QStringLiteral(" WHERE ID = ?1;"));
    removeRows.setSql(QStringLiteral("DELETE FROM ") + stored + QStringLiteral(" WHERE ID BETWEEN ?1 AND ?2;"));
    loadRow.setSql(QStringLiteral("SELECT newValue FROM ") + stored + QStringLiteral(" WHERE ID = ?1;"));
    markDeleted.setSql(QStringLiteral("INSERT OR IGNORE INTO ") + deleted + QStringLiteral(" VALUES (?1);"));
    unmarkDeleted.setSql(QStringLiteral("DELETE FROM ") + deleted + QStringLiteral(" WHERE ID = ?1;"));
    appendHistory.setSql(QStringLiteral("INSERT INTO ") + history +
                         QStringLiteral(" VALUES (?1, ?2, ?3, ?4, ?5, ?6);"));
    // The old value copied inside the database from the stored row it was.
    appendHistoryFromStored.setSql(QStringLiteral("INSERT INTO ") + history +
                                   QStringLiteral(" VALUES (?1, ?2, ?3, (SELECT newValue FROM ") + stored +
                                   QStringLiteral(" WHERE ID = ?2), ?5, ?6);"));
    const QString step = QStringLiteral("SELECT actionTag, oldRowID, newRowID, oldValue, newValue, rowid FROM ") +
                         history + QStringLiteral(" WHERE historyID = ?1 ORDER BY rowid ");
    stepForward.setSql(step + QStringLiteral("ASC;"));
    stepBackward.setSql(step + QStringLiteral("DESC;"));
    walkRows.setSql(QStringLiteral("SELECT ID, newValue FROM ") + stored +
                    QStringLiteral(" WHERE ID >= ?1 ORDER BY ID;"));
    removeHistory.setSql(QStringLiteral("DELETE FROM ") + history + QStringLiteral(" WHERE historyID > ?1;"));
}

SqliteModificationManager::SqliteModificationManager(std::shared_ptr<SqliteDatabase> database, const QString& tableName,
                                                     bool owner)
    : connection(std::move(database)), database(*connection), statements(*connection)
{
    const Access access(*this, Hold::Work);
    setNames(tableName);
    if (owner)
        createLogTables();
}

SqliteModificationManager::~SqliteModificationManager()
{
    database.forget(this);
}

QString SqliteModificationManager::name() const
{
    const Access access(*this);
    return tableName;
}

void SqliteModificationManager::setNames(const QString& name)
{
    insertedOrUpdatedTable = quotedIdentifier(name + logTableSuffixes[0]);
    deletedTable = quotedIdentifier(name + logTableSuffixes[1]);
    historyTable = quotedIdentifier(name + logTableSuffixes[2]);
    tableName = name;
    statements.setNames(insertedOrUpdatedTable, deletedTable, historyTable);
}

void SqliteModificationManager::createLogTables()
{
    Savepoint savepoint(database);
    touch();
    database.runOnce(QStringLiteral("CREATE TABLE IF NOT EXISTS ") + insertedOrUpdatedTable +
                     QStringLiteral(" (ID integer PRIMARY KEY NOT NULL, newValue BLOB NOT NULL);"));
    database.runOnce(QStringLiteral("CREATE TABLE IF NOT EXISTS ") + deletedTable +
                     QStringLiteral(" (ID integer PRIMARY KEY NOT NULL);"));
    database.runOnce(QStringLiteral("CREATE TABLE IF NOT EXISTS ") + historyTable +
                     QStringLiteral("(actionTag INTEGER, oldRowID INTEGER, newRowID INTEGER, oldValue BLOB, "
                                    "newValue BLOB, historyID INTEGER NOT NULL);"));
    // Undo, redo and commit find a step's rows without reading the others.
    database.runOnce(QStringLiteral("CREATE INDEX IF NOT EXISTS ") + quotedIdentifier(tableName + historyIndexSuffix) +
                     QStringLiteral(" ON ") + historyTable + QStringLiteral("(historyID);"));
    savepoint.release();
}

void SqliteModificationManager::dropLog()
{
    const Access access(*this, Hold::Work);
    Savepoint savepoint(database);
    // DROP TABLE fails while a statement of the connection still reads.
    database.forgetStatements();
    touch();
    for (const QString& table : {insertedOrUpdatedTable, deletedTable, historyTable})
        database.runOnce(QStringLiteral("DROP TABLE IF EXISTS ") + table + QLatin1Char(';'));
    for (const char* table : sharedTables)
        database.runOnce(QStringLiteral("DELETE FROM %1 WHERE CAST(name AS TEXT) = ?;").arg(QLatin1String(table)),
                         {QVariant(tableName)});
    savepoint.release();
    // A rollback brings the tables back, and the index is read again.
    database.observe(this);
    index = LogIndex();
    indexValid = true;
    changes.fetch_add(1, std::memory_order_acq_rel);
}

namespace {

// The rows kept by table name: the registry's, the labels and the clean mark.
void renameRows(SqliteDatabase& database, const QString& oldName, const QString& newName)
{
    for (const char* table : sharedTables)
        database.runOnce(
            QStringLiteral("UPDATE %1 SET name = ? WHERE CAST(name AS TEXT) = ?;").arg(QLatin1String(table)),
            {table == registryTable ? LogRecords::registryName(newName) : QVariant(newName), QVariant(oldName)});
}

} // namespace

void SqliteModificationManager::takeName(const QString& name)
{
    const Access access(*this, Hold::Work);
    setNames(name);
}

void SqliteModificationManager::renameLog(const QString& newName)
{
    const Access access(*this, Hold::Work);
    Savepoint savepoint(database);
    database.forgetStatements();
    touch();
    const QString oldName = tableName;
    if (sameIdentifier(oldName, newName)) {
        // SQLite's names ignore ASCII case: the log tables keep theirs.
        renameRows(database, oldName, newName);
        savepoint.release();
        tableName = newName;
        return;
    }
    const QString oldTables[] = {insertedOrUpdatedTable, deletedTable, historyTable};
    setNames(newName);
    const QString newTables[] = {insertedOrUpdatedTable, deletedTable, historyTable};
    try {
        for (int i = 0; i < 3; ++i)
            database.runOnce(QStringLiteral("ALTER TABLE ") + oldTables[i] + QStringLiteral(" RENAME TO ") +
                             newTables[i] + QLatin1Char(';'));
        database.runOnce(QStringLiteral("DROP INDEX IF EXISTS ") + quotedIdentifier(oldName + historyIndexSuffix) +
                         QLatin1Char(';'));
        database.runOnce(QStringLiteral("CREATE INDEX IF NOT EXISTS ") +
                         quotedIdentifier(newName + historyIndexSuffix) + QStringLiteral(" ON ") + historyTable +
                         QStringLiteral("(historyID);"));
        renameRows(database, oldName, newName);
        savepoint.release();
    } catch (...) {
        setNames(oldName);
        throw;
    }
}

void SqliteModificationManager::readIndex()
{
    const SqliteDatabase::Lock held(database);
    if (takenBack()) {
        index = LogIndex();
        indexValid.store(true, std::memory_order_release);
    } else {
        rebuildIndex();
    }
}

void SqliteModificationManager::madeNow()
{
    const Access access(*this, Hold::Work);
    made = database.mark();
    database.observe(this);
    touch();
}

// Notes the rollback only: the index is read again on the next use, under the
// log's lock, which another thread may hold now.
void SqliteModificationManager::rolledBack(SqliteDatabase::Mark to) noexcept
{
    if (made && *made >= to)
        undone.store(true, std::memory_order_release);
    indexValid.store(false, std::memory_order_release);
    changes.fetch_add(1, std::memory_order_acq_rel);
}

// Reads rowids only, and of the history its rowids and tags, so that the work
// grows with the rows, not with their values.
void SqliteModificationManager::rebuildIndex()
{
    LogIndex fresh;
    if (newRowsFrom)
        fresh.setInnerLimit(*newRowsFrom);
    const QVariant position = database.runOnce(
        onSharedTables("SELECT currentHistoryID FROM $registry WHERE CAST(name AS TEXT) = ? ;"), {QVariant(tableName)});
    fresh.setPosition(position.isValid() ? std::optional<int>(position.toInt()) : std::nullopt);
    // A log that a rollback took back, or that another thread dropped, while
    // this manager was still held reads as empty.
    if (position.isValid() || LogRecords::hasLogTables(database, tableName)) {
        const auto rowids = [this](const QString& table, auto&& add) {
            Statement query(database, QStringLiteral("SELECT ID FROM ") + table);
            Statement::Rows row(query);
            while (row.next())
                add(row.integer(0));
        };
        rowids(deletedTable, [&fresh](qint64 rowid) { fresh.markDeleted(rowid); });
        rowids(insertedOrUpdatedTable, [&fresh](qint64 rowid) { fresh.store(rowid); });
        replayHistory(fresh);
    }
    Statement labels(database, onSharedTables("SELECT historyID, label FROM $labels WHERE name = ?1;"));
    Statement::Rows label(labels.bindText(1, tableName));
    while (label.next()) {
        if (const std::optional<qint64> step = label.optionalInteger(0))
            fresh.setLabel(int(*step), label.text(1));
        else
            fresh.setPendingLabel(label.text(1));
    }
    Statement marks(database, onSharedTables("SELECT historyID, rows FROM $cleanMarks WHERE name = ?1;"));
    Statement::Rows mark(marks.bindText(1, tableName));
    if (mark.next()) {
        const qint64 markedRows = mark.integer(1);
        const std::optional<qint64> step = mark.optionalInteger(0);
        fresh.setCleanMark(
            {step ? std::optional<int>(int(*step)) : std::nullopt, std::max<qint64>(markedRows, 0), markedRows < 0});
    }
    index = std::move(fresh);
    indexValid.store(true, std::memory_order_release);
}

void SqliteModificationManager::replayHistory(LogIndex& fresh)
{
    enum Column { Row, Step, Tag, OldRowid, NewRowid };
    Statement history(database, QStringLiteral("SELECT rowid, historyID, actionTag, oldRowID, newRowID FROM ") +
                                    historyTable + QStringLiteral(" ORDER BY historyID, rowid;"));
    Statement::Rows row(history);
    const int position = fresh.position().value_or(-1);
    // Moved rows' origins as the replay goes, and as of the position.
    std::unordered_map<qint64, qint64> moved;
    std::optional<std::unordered_map<qint64, qint64>> applied;
    // A moved row's update follows the deletion of its old rowid.
    std::optional<qint64> lastDeleted, deletedOrigin;
    while (row.next()) {
        const int step = static_cast<int>(row.integer(Step));
        if (step > position && !applied)
            applied = moved;
        const qint64 oldRowid = row.integer(OldRowid), newRowid = row.integer(NewRowid);
        switch (row.integer(Tag)) {
        case Deletion: {
            fresh.addEntry(step, LogIndex::Entry::Deletion);
            lastDeleted = oldRowid;
            auto found = moved.find(oldRowid);
            deletedOrigin = found == moved.end() ? std::nullopt : std::optional<qint64>(found->second);
            if (deletedOrigin) {
                fresh.carry(step, row.integer(Row), *deletedOrigin);
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
                fresh.carry(step, row.integer(Row), *origin);
            }
            break;
        }
        default:
            break;
        }
    }
    for (const auto& [rowid, origin] : applied ? *applied : moved)
        fresh.setOrigin(rowid, origin);
}

void SqliteModificationManager::touch()
{
    touchedIn.store(database.openTransaction(), std::memory_order_release);
}

// Only a transaction that is open can have changed the log since, and the log
// changes only under its lock: a log untouched now stays so while it is held.
bool SqliteModificationManager::touchedNow() const
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
bool SqliteModificationManager::readRow(qint64 rowid, RowSnapshot& row, Reading* reading)
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
            row.assign(apart->valueAt(statements.walkRows.text(), rowid, changedIn, ended));
            return true;
        } catch (const ErrorPair&) {
            // The history connection reads the same rows, or fails as it should.
        }
    }
    row.assign(readSnapshot(rowid));
    return true;
}

ModificationManager::RowState SqliteModificationManager::rowState(qint64 rowid)
{
    const Access access(*this);
    const LogIndex& current = log();
    return {current.isDeleted(rowid), current.isStored(rowid)};
}

const RowSnapshot* SqliteModificationManager::modifiedRow(qint64 rowid)
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

QByteArray SqliteModificationManager::readSnapshot(qint64 rowid)
{
    // A scan asks for rows in ascending order, mostly a few apart.
    constexpr int shortWalk = 32;
    const SqliteDatabase::Lock held(database);
    Statement& walk = statements.walkRows;
    if (!database.holdSnapshot()) {
        Statement::Rows row(statements.loadRow.bind(1, rowid));
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

void SqliteModificationManager::fileColumn(int column)
{
    LogIndex& current = log();
    if (current.isFiled(column))
        return;
    current.fileColumn(column);
    try {
        Statement query(database, QStringLiteral("SELECT ID, newValue FROM ") + insertedOrUpdatedTable);
        Statement::Rows rows(query);
        while (rows.next()) {
            const QList<QVariant> row = rowFromBlob(rows.bytes(1));
            current.fileValue(column, rows.integer(0), column < row.size() ? row.at(column) : QVariant());
        }
    } catch (...) {
        current.forgetColumn(column);
        throw;
    }
}

bool SqliteModificationManager::isRowDeleted(qint64 rowid)
{
    const Access access(*this);
    return log().isDeleted(rowid);
}

bool SqliteModificationManager::isRowModified(qint64 rowid)
{
    const Access access(*this);
    return log().isStored(rowid);
}

std::optional<qint64> SqliteModificationManager::firstModifiedRowidFrom(qint64 rowid)
{
    const Access access(*this);
    return log().firstStoredFrom(rowid);
}

std::optional<qint64> SqliteModificationManager::firstUnmodifiedRowidFrom(qint64 rowid)
{
    const Access access(*this);
    return log().firstUnstoredFrom(rowid);
}

std::optional<std::vector<qint64>> SqliteModificationManager::modifiedRowidsWithValue(int column, const QVariant& value)
{
    const Access access(*this);
    fileColumn(column);
    return log().storedWithValue(column, value);
}

std::vector<qint64> SqliteModificationManager::modifiedRowidsHolding(int column, const QVariant& value)
{
    const Access access(*this);
    fileColumn(column);
    return log().storedHolding(column, value);
}

int SqliteModificationManager::currentHistoryId()
{
    const Access access(*this);
    return log().position().value_or(-1);
}

void SqliteModificationManager::setFirstNewRowid(qint64 rowid)
{
    const Access access(*this, Hold::Work);
    statements.keepFirstNewRowid.bind(1, rowid).bindText(2, tableName).run();
    restoreFirstNewRowid(rowid);
}

std::optional<qint64> SqliteModificationManager::firstNewRowid() const
{
    const Access access(*this);
    return newRowsFrom;
}

void SqliteModificationManager::restoreFirstNewRowid(qint64 rowid)
{
    const Access access(*this);
    newRowsFrom = rowid;
    if (indexValid) {
        if (!listings.empty())
            holdListings(index);
        index.setInnerLimit(rowid);
    }
}
