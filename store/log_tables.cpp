// The SQL of one change log: its tables' DDL, rename and drop, and the texts
// of the statements it keeps prepared on the history connection. Its rows in
// the shared tables are matched by name as SQLite matches table names,
// ignoring ASCII case, whatever the column's own collation.
#include "store/log_tables.h"

#include "common/identifiers.h"
#include "store/history_tables.h"
#include "store/log_records.h"

LogTables::LogTables(SqliteDatabase& database)
    : database(database),
      removeRow_(database, {}),
      loadRow_(database, {}),
      markDeleted_(database, {}),
      unmarkDeleted_(database, {}),
      appendHistory_(database, {}),
      appendHistoryFromStored(database, {}),
      stepForward(database, {}),
      stepBackward(database, {}),
      removeHistory(database, {}),
      movePosition_(
          database,
          onSharedTables("UPDATE $registry SET currentHistoryID = ?1 WHERE CAST(name AS TEXT) = ?2 COLLATE NOCASE;")),
      walkRows_(database, {}),
      removeRows_(database, {}),
      removeLabel_(database, onSharedTables("DELETE FROM $labels WHERE name = ?1 COLLATE NOCASE AND historyID IS ?2;")),
      insertLabel_(database, onSharedTables("INSERT INTO $labels VALUES (?1, ?2, ?3);")),
      assignLabel(
          database,
          onSharedTables("UPDATE $labels SET historyID = ?2 WHERE name = ?1 COLLATE NOCASE AND historyID IS NULL;")),
      removeLabelsAbove_(database,
                         onSharedTables("DELETE FROM $labels WHERE name = ?1 COLLATE NOCASE AND historyID > ?2;")),
      setCleanMark_(database, onSharedTables("INSERT OR REPLACE INTO $cleanMarks SELECT coalesce((SELECT name FROM "
                                             "$cleanMarks WHERE name = ?1 COLLATE NOCASE), ?1), ?2, ?3;")),
      keepFirstNewRowid_(database, onSharedTables("UPDATE $keptLogs SET firstNewRowid = ?1 WHERE name = ?2 AND "
                                                  "firstNewRowid IS NULL;")),
      storeRows(database, 2, QStringLiteral("ID")),
      appendHistoryRows(database, 6)
{
}

void LogTables::setName(const QString& name)
{
    storedTable = quotedIdentifier(name + logTableSuffixes[0]);
    deletedTable = quotedIdentifier(name + logTableSuffixes[1]);
    historyTable = quotedIdentifier(name + logTableSuffixes[2]);
    logName = name;
    const QString& stored = storedTable;
    const QString& deleted = deletedTable;
    const QString& history = historyTable;
    storeRows.setTable(stored);
    appendHistoryRows.setTable(history);
    removeRow_.setSql(QStringLiteral("DELETE FROM ") + stored + QStringLiteral(" WHERE ID = ?1;"));
    removeRows_.setSql(QStringLiteral("DELETE FROM ") + stored + QStringLiteral(" WHERE ID BETWEEN ?1 AND ?2;"));
    loadRow_.setSql(QStringLiteral("SELECT newValue FROM ") + stored + QStringLiteral(" WHERE ID = ?1;"));
    markDeleted_.setSql(QStringLiteral("INSERT OR IGNORE INTO ") + deleted + QStringLiteral(" VALUES (?1);"));
    unmarkDeleted_.setSql(QStringLiteral("DELETE FROM ") + deleted + QStringLiteral(" WHERE ID = ?1;"));
    appendHistory_.setSql(QStringLiteral("INSERT INTO ") + history +
                          QStringLiteral(" VALUES (?1, ?2, ?3, ?4, ?5, ?6);"));
    // The old value copied inside the database from the stored row it was.
    appendHistoryFromStored.setSql(QStringLiteral("INSERT INTO ") + history +
                                   QStringLiteral(" VALUES (?1, ?2, ?3, (SELECT newValue FROM ") + stored +
                                   QStringLiteral(" WHERE ID = ?2), ?5, ?6);"));
    const QString step = QStringLiteral("SELECT actionTag, oldRowID, newRowID, oldValue, newValue, rowid FROM ") +
                         history + QStringLiteral(" WHERE historyID = ?1 ORDER BY rowid ");
    stepForward.setSql(step + QStringLiteral("ASC;"));
    stepBackward.setSql(step + QStringLiteral("DESC;"));
    walkRows_.setSql(QStringLiteral("SELECT ID, newValue FROM ") + stored +
                     QStringLiteral(" WHERE ID >= ?1 ORDER BY ID;"));
    removeHistory.setSql(QStringLiteral("DELETE FROM ") + history + QStringLiteral(" WHERE historyID > ?1;"));
}

void LogTables::create()
{
    database.runOnce(QStringLiteral("CREATE TABLE IF NOT EXISTS ") + storedTable +
                     QStringLiteral(" (ID integer PRIMARY KEY NOT NULL, newValue BLOB NOT NULL);"));
    database.runOnce(QStringLiteral("CREATE TABLE IF NOT EXISTS ") + deletedTable +
                     QStringLiteral(" (ID integer PRIMARY KEY NOT NULL);"));
    database.runOnce(QStringLiteral("CREATE TABLE IF NOT EXISTS ") + historyTable +
                     QStringLiteral("(actionTag INTEGER, oldRowID INTEGER, newRowID INTEGER, oldValue BLOB, "
                                    "newValue BLOB, historyID INTEGER NOT NULL);"));
    // Undo, redo and commit find a step's rows without reading the others.
    database.runOnce(QStringLiteral("CREATE INDEX IF NOT EXISTS ") + quotedIdentifier(logName + historyIndexSuffix) +
                     QStringLiteral(" ON ") + historyTable + QStringLiteral("(historyID);"));
}

void LogTables::drop()
{
    for (const QString& table : {storedTable, deletedTable, historyTable})
        database.runOnce(QStringLiteral("DROP TABLE IF EXISTS ") + table + QLatin1Char(';'));
    for (const char* table : sharedTables)
        database.runOnce(
            QStringLiteral("DELETE FROM %1 WHERE CAST(name AS TEXT) = ? COLLATE NOCASE;").arg(QLatin1String(table)),
            {QVariant(logName)});
}

namespace {

// The rows kept by table name: the registry's, the labels and the clean mark.
void renameRows(SqliteDatabase& database, const QString& oldName, const QString& newName)
{
    for (const char* table : sharedTables)
        database.runOnce(
            QStringLiteral("UPDATE %1 SET name = ? WHERE CAST(name AS TEXT) = ? COLLATE NOCASE;")
                .arg(QLatin1String(table)),
            {table == registryTable ? LogRecords::registryName(newName) : QVariant(newName), QVariant(oldName)});
}

} // namespace

void LogTables::rename(const QString& newName)
{
    const QString oldName = logName;
    if (sameIdentifier(oldName, newName)) {
        // SQLite's names ignore ASCII case: the log tables keep theirs.
        renameRows(database, oldName, newName);
        logName = newName;
        return;
    }
    const QString oldTables[] = {storedTable, deletedTable, historyTable};
    setName(newName);
    const QString newTables[] = {storedTable, deletedTable, historyTable};
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
    } catch (...) {
        setName(oldName);
        throw;
    }
}

Statement& LogTables::appendHistory(qint64 tag, qint64 oldRowid, std::optional<qint64> newRowid,
                                    const QByteArray* oldValue, const QByteArray* newValue, qint64 step)
{
    Statement& statement = oldValue ? appendHistory_ : appendHistoryFromStored;
    statement.bind(1, tag).bind(2, oldRowid).bind(6, step);
    if (newRowid)
        statement.bind(3, *newRowid);
    else
        statement.bindNull(3);
    if (oldValue)
        statement.bindBlob(4, *oldValue);
    if (newValue)
        statement.bindBlob(5, *newValue);
    else
        statement.bindNull(5);
    return statement;
}

Statement& LogTables::removeLabel(std::optional<qint64> step)
{
    removeLabel_.bindText(1, logName);
    return step ? removeLabel_.bind(2, *step) : removeLabel_.bindNull(2);
}

Statement& LogTables::insertLabel(std::optional<qint64> step, const QString& label)
{
    insertLabel_.bindText(1, logName).bindText(3, label);
    return step ? insertLabel_.bind(2, *step) : insertLabel_.bindNull(2);
}

Statement& LogTables::setCleanMark(std::optional<qint64> step, qint64 rows)
{
    setCleanMark_.bindText(1, logName).bind(3, rows);
    return step ? setCleanMark_.bind(2, *step) : setCleanMark_.bindNull(2);
}

std::optional<qint64> LogTables::position()
{
    const QVariant position = database.runOnce(
        onSharedTables("SELECT currentHistoryID FROM $registry WHERE CAST(name AS TEXT) = ? COLLATE NOCASE;"),
        {QVariant(logName)});
    return position.isValid() ? std::optional<qint64>(position.toLongLong()) : std::nullopt;
}

bool LogTables::exist()
{
    return LogRecords::hasLogTables(database, logName);
}

namespace {

void readRowids(SqliteDatabase& database, const QString& table, const std::function<void(qint64)>& add)
{
    Statement query(database, QStringLiteral("SELECT ID FROM ") + table);
    Statement::Rows row(query);
    while (row.next())
        add(row.integer(0));
}

} // namespace

void LogTables::readDeleted(const std::function<void(qint64)>& add)
{
    readRowids(database, deletedTable, add);
}

void LogTables::readStoredRowids(const std::function<void(qint64)>& add)
{
    readRowids(database, storedTable, add);
}

void LogTables::readStored(const std::function<void(qint64, const QByteArray&)>& add)
{
    Statement query(database, QStringLiteral("SELECT ID, newValue FROM ") + storedTable);
    Statement::Rows rows(query);
    while (rows.next())
        add(rows.integer(0), rows.bytes(1));
}

void LogTables::readHistory(const std::function<void(const HistoryRow&)>& add)
{
    Statement history(database, QStringLiteral("SELECT rowid, historyID, actionTag, oldRowID, newRowID FROM ") +
                                    historyTable + QStringLiteral(" ORDER BY historyID, rowid;"));
    Statement::Rows row(history);
    while (row.next())
        add({row.integer(0), row.integer(1), row.integer(2), row.integer(3), row.integer(4)});
}

void LogTables::readLabels(const std::function<void(std::optional<qint64>, const QString&)>& add)
{
    Statement labels(database, onSharedTables("SELECT historyID, label FROM $labels WHERE name = ?1 COLLATE NOCASE;"));
    Statement::Rows label(labels.bindText(1, logName));
    while (label.next())
        add(label.optionalInteger(0), label.text(1));
}

std::optional<LogTables::CleanMarkRow> LogTables::cleanMark()
{
    Statement marks(database,
                    onSharedTables("SELECT historyID, rows FROM $cleanMarks WHERE name = ?1 COLLATE NOCASE;"));
    Statement::Rows mark(marks.bindText(1, logName));
    if (!mark.next())
        return std::nullopt;
    return CleanMarkRow{mark.optionalInteger(0), mark.integer(1)};
}
