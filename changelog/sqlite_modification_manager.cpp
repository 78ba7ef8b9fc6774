// Life of a change log: creating and dropping its tables, the row-state
// queries the overlay asks, and the history position.
#include "changelog/sqlite_modification_manager.h"

#include "changelog/row_snapshot.h"
#include "store/identifiers.h"

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

bool SqliteModificationManager::isRowDeleted(qint64 rowid)
{
    return hasRow(QStringLiteral("SELECT rowid FROM ") + deletedTable + QStringLiteral(" WHERE rowid = ?;"),
                  {rowidValue(rowid)});
}

bool SqliteModificationManager::isRowModified(qint64 rowid)
{
    return hasRow(QStringLiteral("SELECT rowid FROM ") + insertedOrUpdatedTable +
                      QStringLiteral(" WHERE rowid = ?;"),
                  {rowidValue(rowid)});
}

bool SqliteModificationManager::hasModifiedRowsFrom(qint64 rowid)
{
    return hasRow(QStringLiteral("SELECT rowid FROM ") + insertedOrUpdatedTable +
                      QStringLiteral(" WHERE rowid >= ? ;"),
                  {rowidValue(rowid)});
}

std::optional<qint64> SqliteModificationManager::firstModifiedRowidFrom(qint64 rowid)
{
    QVariant found = firstValue(QStringLiteral("SELECT rowid FROM ") + insertedOrUpdatedTable +
                                    QStringLiteral(" WHERE rowid >= ? ORDER BY rowid LIMIT 1;"),
                                {rowidValue(rowid)});
    if (!found.isValid())
        return std::nullopt;
    return found.toLongLong();
}

QVariant SqliteModificationManager::modifiedRowValues(qint64 rowid, int column)
{
    QVariant blob = firstValue(QStringLiteral("SELECT newValue FROM ") + insertedOrUpdatedTable +
                                   QStringLiteral(" WHERE rowid = ?;"),
                               {rowidValue(rowid)});
    if (!blob.isValid())
        return QVariant();
    const QList<QVariant> row = rowFromBytes(blob.toByteArray());
    return column >= 0 && column < row.size() ? row.at(column) : QVariant();
}

QList<QVariant> SqliteModificationManager::loadRowValues(qint64 rowid)
{
    QVariant blob = firstValue(QStringLiteral("SELECT newValue from ") + insertedOrUpdatedTable +
                                   QStringLiteral(" WHERE rowid = ? ;"),
                               {rowidValue(rowid)});
    return blob.isValid() ? rowFromBytes(blob.toByteArray()) : QList<QVariant>();
}

int SqliteModificationManager::currentHistoryId()
{
    QVariant position = firstValue(
        QStringLiteral("SELECT currentHistoryID FROM ombrixOpenedTables WHERE name = ? ;"), {QVariant(tableName)});
    return position.isValid() ? position.toInt() : -1;
}
