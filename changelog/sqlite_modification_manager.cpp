// Life of a change log: creating and dropping its tables, and the row-state
// queries the overlay asks, answered from the log's index.
#include "changelog/sqlite_modification_manager.h"

#include "changelog/row_snapshot.h"
#include "store/identifiers.h"

#include <QSqlQuery>

SqliteModificationManager::SqliteModificationManager(QSqlDatabase connection, const QString& tableName,
                                                     bool owner)
    : SqliteDatabase(connection, false),
      insertedOrUpdatedTable(quotedIdentifier(tableName + QStringLiteral("insertedOrUpdatedRows"))),
      deletedTable(quotedIdentifier(tableName + QStringLiteral("deletedRows"))),
      historyTable(quotedIdentifier(tableName + QStringLiteral("history"))),
      tableName(tableName),
      owner(owner)
{
    if (owner)
        createLogTables();
}

SqliteModificationManager::~SqliteModificationManager()
{
    if (owner)
        dropLog();
}

void SqliteModificationManager::createLogTables()
{
    executeQuery(QStringLiteral("CREATE TABLE IF NOT EXISTS ") + insertedOrUpdatedTable +
                     QStringLiteral(" (ID integer PRIMARY KEY NOT NULL, newValue BLOB NOT NULL);"),
                 {});
    executeQuery(QStringLiteral("CREATE TABLE IF NOT EXISTS ") + deletedTable +
                     QStringLiteral(" (ID integer PRIMARY KEY NOT NULL);"),
                 {});
    executeQuery(QStringLiteral("CREATE TABLE IF NOT EXISTS ") + historyTable +
                     QStringLiteral("(actionTag INTEGER, oldRowID INTEGER, newRowID INTEGER, oldValue BLOB, "
                                    "newValue BLOB, historyID INTEGER NOT NULL);"),
                 {});
}

void SqliteModificationManager::dropLog() noexcept
{
    // Once the store has closed the shared connection (at unload) there is
    // nothing left to tear down.
    if (!connection.isOpen())
        return;
    // DROP TABLE fails while any statement of the connection is still reading.
    dropPreparedStatements();
    const QString statements[] = {
        QStringLiteral("DROP TABLE IF EXISTS ") + insertedOrUpdatedTable + QLatin1Char(';'),
        QStringLiteral("DROP TABLE IF EXISTS ") + deletedTable + QLatin1Char(';'),
        QStringLiteral("DROP TABLE IF EXISTS ") + historyTable + QLatin1Char(';'),
    };
    for (const QString& statement : statements) {
        try {
            executeQuery(statement, {});
        } catch (...) {
            // A destructor cannot report; the remaining statements still run.
        }
    }
    try {
        executeQuery(QStringLiteral("DELETE FROM ombrixOpenedTables WHERE name = ?;"), {QVariant(tableName)});
    } catch (...) {
    }
}

const LogIndex& SqliteModificationManager::log()
{
    if (index.validAt != generation())
        rebuildIndex();
    return index;
}

void SqliteModificationManager::rebuildIndex()
{
    LogIndex fresh;
    QSqlQuery rows = executeQuery(QStringLiteral("SELECT ID FROM ") + deletedTable, {});
    while (rows.next())
        fresh.deleted.insert(rows.value(0).toLongLong());
    rows = executeQuery(QStringLiteral("SELECT ID, newValue FROM ") + insertedOrUpdatedTable, {});
    while (rows.next())
        fresh.stored.emplace(rows.value(0).toLongLong(), rowFromBytes(rows.value(1).toByteArray()));
    rows = executeQuery(QStringLiteral("SELECT historyID, count(*) FROM ") + historyTable +
                            QStringLiteral(" GROUP BY historyID"),
                        {});
    while (rows.next())
        fresh.stepRows.emplace(rows.value(0).toInt(), rows.value(1).toInt());
    rows.finish();
    QVariant position = firstValue(
        QStringLiteral("SELECT currentHistoryID FROM ombrixOpenedTables WHERE name = ? ;"), {QVariant(tableName)});
    fresh.registered = position.isValid();
    fresh.position = position.toInt();
    fresh.validAt = generation();
    index = std::move(fresh);
}

bool SqliteModificationManager::isRowDeleted(qint64 rowid)
{
    return log().deleted.count(rowid) > 0;
}

bool SqliteModificationManager::isRowModified(qint64 rowid)
{
    return log().stored.count(rowid) > 0;
}

bool SqliteModificationManager::hasModifiedRowsFrom(qint64 rowid)
{
    return firstModifiedRowidFrom(rowid).has_value();
}

std::optional<qint64> SqliteModificationManager::firstModifiedRowidFrom(qint64 rowid)
{
    const auto& stored = log().stored;
    auto next = stored.lower_bound(rowid);
    return next == stored.end() ? std::nullopt : std::optional<qint64>(next->first);
}

std::optional<qint64> SqliteModificationManager::firstUnmodifiedRowidFrom(qint64 rowid)
{
    log();
    return index.firstUnstoredFrom(rowid);
}

QVariant SqliteModificationManager::modifiedRowValues(qint64 rowid, int column)
{
    const auto& stored = log().stored;
    auto row = stored.find(rowid);
    if (row == stored.end() || column < 0 || column >= row->second.size())
        return QVariant();
    return row->second.at(column);
}

QList<QVariant> SqliteModificationManager::loadRowValues(qint64 rowid)
{
    const auto& stored = log().stored;
    auto row = stored.find(rowid);
    return row == stored.end() ? QList<QVariant>() : row->second;
}

int SqliteModificationManager::currentHistoryId()
{
    const LogIndex& current = log();
    return current.registered ? current.position : -1;
}
