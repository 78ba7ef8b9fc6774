// Life of a change log: creating, renaming and dropping its tables, and the
// row-state queries the overlay asks, answered from the log's index.
#include "changelog/sqlite_modification_manager.h"

#include "changelog/row_snapshot.h"
#include "common/identifiers.h"
#include "store/savepoint.h"

#include <QSqlQuery>

namespace {

const QString insertedSuffix = QStringLiteral("insertedOrUpdatedRows");
const QString deletedSuffix = QStringLiteral("deletedRows");
const QString historySuffix = QStringLiteral("history");

} // namespace

SqliteModificationManager::SqliteModificationManager(SqliteDatabase& database, const QString& tableName, bool owner)
    : database(database)
{
    setNames(tableName);
    if (owner)
        createLogTables();
}

SqliteModificationManager::~SqliteModificationManager()
{
    database.forget(this);
}

void SqliteModificationManager::setNames(const QString& name)
{
    insertedOrUpdatedTable = quotedIdentifier(name + insertedSuffix);
    deletedTable = quotedIdentifier(name + deletedSuffix);
    historyTable = quotedIdentifier(name + historySuffix);
    tableName = name;
}

void SqliteModificationManager::createLogTables()
{
    Savepoint savepoint(database);
    database.executeQuery(QStringLiteral("CREATE TABLE IF NOT EXISTS ") + insertedOrUpdatedTable +
                              QStringLiteral(" (ID integer PRIMARY KEY NOT NULL, newValue BLOB NOT NULL);"),
                          {});
    database.executeQuery(QStringLiteral("CREATE TABLE IF NOT EXISTS ") + deletedTable +
                              QStringLiteral(" (ID integer PRIMARY KEY NOT NULL);"),
                          {});
    database.executeQuery(QStringLiteral("CREATE TABLE IF NOT EXISTS ") + historyTable +
                              QStringLiteral("(actionTag INTEGER, oldRowID INTEGER, newRowID INTEGER, oldValue BLOB, "
                                             "newValue BLOB, historyID INTEGER NOT NULL);"),
                          {});
    // Undo, redo and commit find a step's rows without reading the others.
    database.executeQuery(QStringLiteral("CREATE INDEX IF NOT EXISTS ") +
                              quotedIdentifier(tableName + historySuffix + QStringLiteral("ByStep")) +
                              QStringLiteral(" ON ") + historyTable + QStringLiteral("(historyID);"),
                          {});
    savepoint.release();
}

void SqliteModificationManager::dropLog()
{
    Savepoint savepoint(database);
    // DROP TABLE fails while a statement of the connection still reads.
    database.forgetStatements();
    for (const QString& table : {insertedOrUpdatedTable, deletedTable, historyTable})
        database.executeQuery(QStringLiteral("DROP TABLE IF EXISTS ") + table + QLatin1Char(';'), {});
    database.executeQuery(QStringLiteral("DELETE FROM ombrixOpenedTables WHERE name = ?;"), {QVariant(tableName)});
    savepoint.release();
    indexValid = false;
    ++changes;
}

void SqliteModificationManager::renameLog(const QString& newName)
{
    Savepoint savepoint(database);
    database.forgetStatements();
    const QString oldName = tableName;
    if (sameIdentifier(oldName, newName)) {
        // SQLite's names ignore ASCII case: the log tables keep theirs.
        database.executeQuery(QStringLiteral("UPDATE ombrixOpenedTables SET name = ? WHERE name = ?;"),
                              {QVariant(newName), QVariant(oldName)});
        savepoint.release();
        tableName = newName;
        return;
    }
    const QString oldTables[] = {insertedOrUpdatedTable, deletedTable, historyTable};
    setNames(newName);
    const QString newTables[] = {insertedOrUpdatedTable, deletedTable, historyTable};
    try {
        for (int i = 0; i < 3; ++i)
            database.executeQuery(QStringLiteral("ALTER TABLE ") + oldTables[i] + QStringLiteral(" RENAME TO ") +
                                      newTables[i] + QLatin1Char(';'),
                                  {});
        database.executeQuery(QStringLiteral("DROP INDEX IF EXISTS ") +
                                  quotedIdentifier(oldName + historySuffix + QStringLiteral("ByStep")) +
                                  QLatin1Char(';'),
                              {});
        database.executeQuery(QStringLiteral("CREATE INDEX IF NOT EXISTS ") +
                                  quotedIdentifier(newName + historySuffix + QStringLiteral("ByStep")) +
                                  QStringLiteral(" ON ") + historyTable + QStringLiteral("(historyID);"),
                              {});
        database.executeQuery(QStringLiteral("UPDATE ombrixOpenedTables SET name = ? WHERE name = ?;"),
                              {QVariant(newName), QVariant(oldName)});
        savepoint.release();
    } catch (...) {
        setNames(oldName);
        throw;
    }
}

LogIndex& SqliteModificationManager::log()
{
    if (!indexValid)
        rebuildIndex();
    return index;
}

void SqliteModificationManager::rolledBack() noexcept
{
    indexValid = false;
    ++changes;
}

void SqliteModificationManager::rebuildIndex()
{
    LogIndex fresh;
    QSqlQuery rows = database.executeQuery(QStringLiteral("SELECT ID FROM ") + deletedTable, {});
    while (rows.next())
        fresh.markDeleted(rows.value(0).toLongLong());
    rows = database.executeQuery(QStringLiteral("SELECT ID, newValue FROM ") + insertedOrUpdatedTable, {});
    while (rows.next())
        fresh.store(rows.value(0).toLongLong(), rowFromBytes(rows.value(1).toByteArray()));
    rows = database.executeQuery(QStringLiteral("SELECT DISTINCT historyID FROM ") + historyTable, {});
    while (rows.next())
        fresh.addStepRow(rows.value(0).toInt());
    rows.finish();
    QVariant position = database.firstValue(
        QStringLiteral("SELECT currentHistoryID FROM ombrixOpenedTables WHERE name = ? ;"), {QVariant(tableName)});
    fresh.setPosition(position.isValid() ? std::optional<int>(position.toInt()) : std::nullopt);
    index = std::move(fresh);
    indexValid = true;
}

bool SqliteModificationManager::isRowDeleted(qint64 rowid)
{
    return log().isDeleted(rowid);
}

bool SqliteModificationManager::isRowModified(qint64 rowid)
{
    return log().stored(rowid) != nullptr;
}

std::optional<qint64> SqliteModificationManager::firstModifiedRowidFrom(qint64 rowid)
{
    return log().firstStoredFrom(rowid);
}

std::optional<qint64> SqliteModificationManager::firstUnmodifiedRowidFrom(qint64 rowid)
{
    return log().firstUnstoredFrom(rowid);
}

std::optional<std::vector<qint64>> SqliteModificationManager::modifiedRowidsWithValue(int column, const QVariant& value)
{
    return log().storedWithValue(column, value);
}

std::vector<qint64> SqliteModificationManager::modifiedRowidsHolding(int column, const QVariant& value)
{
    return log().storedHolding(column, value);
}

QVariant SqliteModificationManager::modifiedRowValues(qint64 rowid, int column)
{
    const QList<QVariant>* row = log().stored(rowid);
    if (!row || column < 0 || column >= row->size())
        return QVariant();
    return row->at(column);
}

QList<QVariant> SqliteModificationManager::loadRowValues(qint64 rowid)
{
    const QList<QVariant>* row = log().stored(rowid);
    return row ? *row : QList<QVariant>();
}

int SqliteModificationManager::currentHistoryId()
{
    return log().position().value_or(-1);
}
