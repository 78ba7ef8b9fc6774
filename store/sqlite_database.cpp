// Opening and hardening the history connection, statements with kept prepared
// queries, errors with SQLite's own code and message, and the transaction.
#include "store/sqlite_database.h"

#include "common/error_pair.h"
#include "store/statement.h"

#include <QFileInfo>
#include <QSqlDriver>
#include <QSqlError>
#include <QStringList>

#include <sqlite3.h>

namespace {

// QSQLITE reports SQLite's result code as the native code and sqlite3_errmsg
// as the database text; its own words ("Unable to fetch row") are left out.
ErrorPair sqlError(const QSqlError& error)
{
    bool known = false;
    int code = error.nativeErrorCode().toInt(&known) & 0xff;
    if (!known || code == SQLITE_OK)
        code = SQLITE_ERROR;
    const QString text = error.databaseText().isEmpty() ? error.text() : error.databaseText();
    return ErrorPair(code, text);
}

QString uniqueConnectionName(const QString& path)
{
    const QString base = QFileInfo(path).baseName();
    QString candidate = base;
    for (quint32 counter = 1; QSqlDatabase::connectionNames().contains(candidate); ++counter)
        candidate = base + QLatin1Char('_') + QString::number(counter);
    return candidate;
}

sqlite3* nativeHandle(const QSqlDatabase& connection)
{
    QVariant handle = connection.driver()->handle();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0)
        return nullptr;
    return *static_cast<sqlite3* const*>(handle.constData());
}

} // namespace

SqliteDatabase::SqliteDatabase(const QString& path) : logPath(path + QStringLiteral("-wal"))
{
    // Qt keeps the driver name for the life of the process; a literal would
    // point into this library, which a host may unload before Qt.
    connection = QSqlDatabase::addDatabase(QString::fromLatin1("QSQLITE"), uniqueConnectionName(path));
    connection.setDatabaseName(path);
    if (!connection.open()) {
        ErrorPair error = sqlError(connection.lastError());
        const QString name = connection.connectionName();
        connection = QSqlDatabase();
        QSqlDatabase::removeDatabase(name);
        throw error;
    }
    harden();
}

SqliteDatabase::~SqliteDatabase()
{
    forgetStatements();
    const QString name = connection.connectionName();
    connection.close();
    connection = QSqlDatabase();
    QSqlDatabase::removeDatabase(name);
}

void SqliteDatabase::harden()
{
    handle = nativeHandle(connection);
    if (!handle)
        throw ErrorPair(SQLITE_INTERNAL, QByteArray("the history database is not a SQLite connection"));
    sqlite3_db_config(handle, SQLITE_DBCONFIG_ENABLE_TRIGGER, 0, nullptr);
    sqlite3_db_config(handle, SQLITE_DBCONFIG_ENABLE_VIEW, 0, nullptr);
    sqlite3_db_config(handle, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
    sqlite3_db_config(handle, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
    run(QStringLiteral("PRAGMA trusted_schema=OFF"));
}

ErrorPair SqliteDatabase::failure(const QSqlError& error)
{
    noteFailure();
    return sqlError(error);
}

void SqliteDatabase::noteFailure() noexcept
{
    if (owner_ && sqlite3_get_autocommit(handle))
        lost = true;
}

namespace {

int bindValue(sqlite3_stmt* statement, int index, const QVariant& value)
{
    if (value.isNull())
        return sqlite3_bind_null(statement, index);
    switch (value.type()) {
    case QVariant::Int:
    case QVariant::LongLong:
        return sqlite3_bind_int64(statement, index, value.toLongLong());
    case QVariant::Double:
        return sqlite3_bind_double(statement, index, value.toDouble());
    case QVariant::ByteArray: {
        const QByteArray bytes = value.toByteArray();
        return sqlite3_bind_blob(statement, index, bytes.constData(), bytes.size(), SQLITE_TRANSIENT);
    }
    default: {
        const QByteArray text = value.toString().toUtf8();
        return sqlite3_bind_text(statement, index, text.constData(), text.size(), SQLITE_TRANSIENT);
    }
    }
}

} // namespace

void SqliteDatabase::executeWrite(const QString& sql, const QList<QVariant>& binds)
{
    requireUsable();
    sqlite3_stmt*& statement = writes[sql];
    int rc = SQLITE_OK;
    if (!statement)
        rc = sqlite3_prepare_v3(handle, sql.toUtf8().constData(), -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr);
    for (int i = 0; rc == SQLITE_OK && i < binds.size(); ++i)
        rc = bindValue(statement, i + 1, binds.at(i));
    if (rc == SQLITE_OK) {
        // Some pragmas (incremental_vacuum) do one piece of work per row.
        while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
        }
        if (rc == SQLITE_DONE)
            rc = SQLITE_OK;
    }
    const QByteArray message = rc == SQLITE_OK ? QByteArray() : QByteArray(sqlite3_errmsg(handle));
    if (statement) {
        sqlite3_reset(statement);
        sqlite3_clear_bindings(statement);
    }
    if (rc == SQLITE_OK)
        return;
    noteFailure();
    throw ErrorPair(rc & 0xff, message);
}

void SqliteDatabase::requireUsable() const
{
    if (lost)
        throw ErrorPair(SQLITE_ABORT, QByteArray("the history transaction was rolled back after an error; the "
                                                 "host's transaction must be rolled back too"));
}

QSqlQuery SqliteDatabase::executeQuery(const QString& sql, const QList<QVariant>& binds)
{
    requireUsable();
    if (binds.isEmpty()) {
        QSqlQuery query(connection);
        if (!query.exec(sql))
            throw failure(query.lastError());
        return query;
    }
    auto found = kept.find(sql);
    if (found == kept.end()) {
        QSqlQuery query(connection);
        if (!query.prepare(sql))
            throw failure(query.lastError());
        found = kept.insert(sql, query);
    }
    QSqlQuery query = found.value();
    for (int i = 0; i < binds.size(); ++i) {
        const QVariant& value = binds.at(i);
        query.bindValue(i, value, value.type() == QVariant::ByteArray ? QSql::In | QSql::Binary : QSql::In);
    }
    if (!query.exec()) {
        ErrorPair error = failure(query.lastError());
        query.finish();
        throw error;
    }
    return query;
}

QVariant SqliteDatabase::firstValue(const QString& sql, const QList<QVariant>& binds)
{
    QSqlQuery query = executeQuery(sql, binds);
    QVariant value = query.first() ? query.value(0) : QVariant();
    query.finish();
    return value;
}

void SqliteDatabase::forgetStatements()
{
    releaseSnapshot();
    sqlite3_finalize(snapshotHolder);
    snapshotHolder = nullptr;
    for (QSqlQuery& query : kept)
        query.finish();
    kept.clear();
    for (sqlite3_stmt* statement : qAsConst(writes))
        sqlite3_finalize(statement);
    writes.clear();
}

// The transaction's own statements run for every host statement: kept
// prepared on the handle like the writes.
void SqliteDatabase::run(const QString& sql)
{
    executeWrite(sql, {});
}

void SqliteDatabase::requireOwner(const void* owner) const
{
    if (owner_ && owner_ != owner)
        throw ErrorPair(SQLITE_BUSY, QByteArray("the history database is in a transaction of another connection"));
}

void SqliteDatabase::begin(const void* owner)
{
    requireOwner(owner);
    releaseSnapshot();
    run(QStringLiteral("BEGIN IMMEDIATE"));
    owner_ = owner;
}

void SqliteDatabase::commit()
{
    try {
        run(QStringLiteral("COMMIT"));
    } catch (...) {
        rollback();
        throw;
    }
    owner_ = nullptr;
    savepointDepth = 0;
    observers.clear();
    if (QFileInfo(logPath).size() >= largeLog)
        truncateLog();
}

// A write-ahead log grown large by one transaction is checkpointed and cut
// back to nothing unless another process reads it: a process that dies now
// leaves no large log for the next one to read when it opens the file.
void SqliteDatabase::truncateLog() noexcept
{
    try {
        const int timeout = firstValue(QStringLiteral("PRAGMA busy_timeout"), {}).toInt();
        sqlite3_busy_timeout(handle, 0);
        sqlite3_wal_checkpoint_v2(handle, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
        sqlite3_busy_timeout(handle, timeout);
    } catch (...) {
    }
}

void SqliteDatabase::rollback() noexcept
{
    ++rollbacks;
    owner_ = nullptr;
    lost = false;
    savepointDepth = 0;
    // After some errors SQLite has ended the transaction itself.
    if (!sqlite3_get_autocommit(handle)) {
        try {
            run(QStringLiteral("ROLLBACK"));
        } catch (...) {
            // Nothing more can be done; closing the connection rolls back.
        }
    }
    notifyRollback();
    observers.clear();
}

void SqliteDatabase::abandon() noexcept
{
    const void* owner = owner_;
    rollback();
    owner_ = owner;
    lost = true;
}

qint64 SqliteDatabase::totalChanges() const
{
    return sqlite3_total_changes64(handle);
}

qint64 SqliteDatabase::lastInsertRowid() const
{
    return sqlite3_last_insert_rowid(handle);
}

void SqliteDatabase::giveSpaceBack() noexcept
{
    constexpr int enoughPages = 1024;
    if (inTransaction())
        return;
    releaseSnapshot();
    try {
        if (firstValue(QStringLiteral("PRAGMA freelist_count"), {}).toInt() < enoughPages)
            return;
        run(QStringLiteral("PRAGMA incremental_vacuum"));
        run(QStringLiteral("PRAGMA wal_checkpoint(PASSIVE)"));
    } catch (...) {
    }
}

void SqliteDatabase::stopReading() noexcept
{
    if (readers > 0 && --readers == 0)
        releaseSnapshot();
}

bool SqliteDatabase::holdSnapshot() noexcept
{
    if (readers == 0 || snapshotHeld || owner_ || !sqlite3_get_autocommit(handle))
        return snapshotHeld;
    if (!snapshotHolder && sqlite3_prepare_v3(handle, "SELECT count(*) FROM sqlite_master", -1,
                                              SQLITE_PREPARE_PERSISTENT, &snapshotHolder, nullptr) != SQLITE_OK)
        return false;
    snapshotHeld = sqlite3_step(snapshotHolder) == SQLITE_ROW;
    if (!snapshotHeld)
        sqlite3_reset(snapshotHolder);
    return snapshotHeld;
}

void SqliteDatabase::releaseSnapshot() noexcept
{
    // Each walker's reset takes it off the list.
    while (!walkers.isEmpty())
        (*walkers.begin())->reset();
    if (snapshotHeld)
        sqlite3_reset(snapshotHolder);
    snapshotHeld = false;
}

void SqliteDatabase::savepoint(const QString& name)
{
    run(QStringLiteral("SAVEPOINT ") + name);
}

void SqliteDatabase::release(const QString& name)
{
    run(QStringLiteral("RELEASE ") + name);
}

void SqliteDatabase::rollbackTo(const QString& name)
{
    run(QStringLiteral("ROLLBACK TO ") + name);
    notifyRollback();
}

void SqliteDatabase::observe(Observer* observer)
{
    observers.insert(observer);
}

void SqliteDatabase::forget(Observer* observer)
{
    observers.remove(observer);
}

void SqliteDatabase::notifyRollback() noexcept
{
    for (Observer* observer : qAsConst(observers))
        observer->rolledBack();
}
