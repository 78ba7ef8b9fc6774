// Connection names, opening, and statement execution with kept prepared
// statements; every Qt SQL failure becomes ErrorPair {2, Qt's error text}.
#include "store/sqlite_database.h"

#include "common/error_pair.h"

#include <QFileInfo>
#include <QSqlError>
#include <QStringList>

#include <atomic>

namespace {

std::atomic<quint64> changes{1};

// Statements that read, or only open or end a transaction, leave every log as it is.
bool mayChangeContent(const QString& sql)
{
    for (const char* keyword : {"SELECT", "BEGIN", "SAVEPOINT", "RELEASE", "COMMIT"}) {
        if (sql.startsWith(QLatin1String(keyword), Qt::CaseInsensitive))
            return false;
    }
    return true;
}

ErrorPair sqlError(const QSqlError& error)
{
    return errorWithText(SQLITE_INTERNAL, error.text().toUtf8().constData());
}

} // namespace

SqliteDatabase::SqliteDatabase(const QString& path, bool closeOnDestroy)
    : SqliteDatabase(createConnection(path), closeOnDestroy)
{
}

SqliteDatabase::SqliteDatabase(QSqlDatabase connection, bool closeOnDestroy)
    : connection(connection), closeOnDestroy(closeOnDestroy)
{
    open();
}

SqliteDatabase::~SqliteDatabase()
{
    dropPreparedStatements();
    if (closeOnDestroy) {
        ++changes;
        connection.close();
    }
}

quint64 SqliteDatabase::generation()
{
    return changes.load();
}

void SqliteDatabase::open()
{
    if (connection.isOpen())
        return;
    ++changes;
    if (!connection.open())
        throw sqlError(connection.lastError());
}

QSqlQuery SqliteDatabase::executeQuery(const QString& sql, const QList<QVariant>& binds)
{
    if (mayChangeContent(sql))
        ++changes;
    if (binds.isEmpty()) {
        QSqlQuery query(connection);
        if (!query.exec(sql))
            throw sqlError(query.lastError());
        return query;
    }
    QSqlQuery query = keptStatement(sql);
    for (int i = 0; i < binds.size(); ++i) {
        const QVariant& value = binds.at(i);
        QSql::ParamType flags = value.type() == QVariant::ByteArray ? QSql::In | QSql::Binary : QSql::In;
        query.bindValue(i, value, flags);
    }
    if (!query.exec()) {
        ErrorPair error = sqlError(query.lastError());
        query.finish();
        throw error;
    }
    return query;
}

QSqlQuery SqliteDatabase::keptStatement(const QString& sql)
{
    auto kept = prepared.find(sql);
    if (kept == prepared.end()) {
        QSqlQuery query(connection);
        if (!query.prepare(sql))
            throw sqlError(query.lastError());
        kept = prepared.insert(sql, query);
    }
    return kept.value();
}

void SqliteDatabase::executeKept(const QString& sql)
{
    if (mayChangeContent(sql))
        ++changes;
    QSqlQuery query = keptStatement(sql);
    if (!query.exec()) {
        ErrorPair error = sqlError(query.lastError());
        query.finish();
        throw error;
    }
}

QVariant SqliteDatabase::firstValue(const QString& sql, const QList<QVariant>& binds)
{
    QSqlQuery query = executeQuery(sql, binds);
    QVariant value = query.first() ? query.value(0) : QVariant();
    query.finish();
    return value;
}

void SqliteDatabase::dropPreparedStatements()
{
    for (QSqlQuery& query : prepared)
        query.finish();
    prepared.clear();
}

QString SqliteDatabase::uniqueConnectionName(const QString& path)
{
    const QString base = QFileInfo(path).baseName();
    QString candidate = base;
    for (quint32 counter = 1; QSqlDatabase::connectionNames().contains(candidate, Qt::CaseSensitive);
         ++counter)
        candidate = base + QLatin1Char('_') + QString::number(counter, 10);
    return candidate;
}

QSqlDatabase SqliteDatabase::createConnection(const QString& path)
{
    // Qt keeps the driver name for the life of the process; a literal would
    // point into this library, which a host may unload before Qt.
    QSqlDatabase connection = QSqlDatabase::addDatabase(QString::fromLatin1("QSQLITE"), uniqueConnectionName(path));
    connection.setDatabaseName(path);
    return connection;
}
