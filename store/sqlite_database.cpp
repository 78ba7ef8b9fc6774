// Hardening the history connection, statements kept prepared on its SQLite
// handle, errors with SQLite's own code and message, and the transaction
// begun and committed (its rollbacks are in rollbacks.cpp).
#include "store/sqlite_database.h"

#include "common/error_pair.h"
#include "store/history_tables.h"
#include "store/row_batch.h"
#include "store/statement.h"

#include <QFileInfo>

#include <algorithm>

#include <sqlite3.h>

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

QVariant columnValue(sqlite3_stmt* statement, int column)
{
    switch (sqlite3_column_type(statement, column)) {
    case SQLITE_INTEGER:
        return QVariant(static_cast<qlonglong>(sqlite3_column_int64(statement, column)));
    case SQLITE_FLOAT:
        return QVariant(sqlite3_column_double(statement, column));
    case SQLITE_TEXT:
        return QVariant(QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(statement, column)),
                                          sqlite3_column_bytes(statement, column)));
    case SQLITE_BLOB:
        return QVariant(QByteArray(static_cast<const char*>(sqlite3_column_blob(statement, column)),
                                   sqlite3_column_bytes(statement, column)));
    default:
        return QVariant(QString());
    }
}

} // namespace

SqliteDatabase::SqliteDatabase(const QString& path)
    : connection(path),
      pool(path),
      handle(connection.handle()),
      gate(lock, path.toUtf8()),
      logPath(path + QStringLiteral("-wal"))
{
    harden();
}

SqliteDatabase::~SqliteDatabase()
{
    forgetStatements();
}

void SqliteDatabase::harden()
{
    sqlite3_db_config(handle, SQLITE_DBCONFIG_ENABLE_TRIGGER, 0, nullptr);
    sqlite3_db_config(handle, SQLITE_DBCONFIG_ENABLE_VIEW, 0, nullptr);
    sqlite3_db_config(handle, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
    sqlite3_db_config(handle, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
    sqlite3_busy_timeout(handle, int(TransactionGate::busyTimeout.count()));
    execute(QStringLiteral("PRAGMA trusted_schema=OFF"));
}

void SqliteDatabase::noteFailure() noexcept
{
    if (gate.isOpen() && sqlite3_get_autocommit(handle))
        lost = true;
}

void SqliteDatabase::requireUsable() const
{
    if (lost)
        throw ErrorPair(SQLITE_ABORT, QByteArray("the history transaction was rolled back after an error; the "
                                                 "host's transaction must be rolled back too"));
}

sqlite3_stmt* SqliteDatabase::kept(const QString& sql)
{
    sqlite3_stmt*& statement = statements[sql];
    if (!statement) {
        const int rc =
            sqlite3_prepare_v3(handle, sql.toUtf8().constData(), -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr);
        if (rc != SQLITE_OK) {
            const ErrorPair error(rc & 0xff, QByteArray(sqlite3_errmsg(handle)));
            statements.remove(sql);
            noteFailure();
            throw error;
        }
    }
    return statement;
}

void SqliteDatabase::finish(sqlite3_stmt* statement, int rc)
{
    if (rc == SQLITE_OK || rc == SQLITE_ROW || rc == SQLITE_DONE) {
        if (rc != SQLITE_OK)
            sqlite3_reset(statement);
        return;
    }
    const QByteArray message(sqlite3_errmsg(handle));
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    noteFailure();
    throw ErrorPair(rc & 0xff, message);
}

QVariant SqliteDatabase::execute(const QString& sql)
{
    const Lock held(*this);
    requireUsable();
    writeHeldRows();
    sqlite3_stmt* statement = kept(sql);
    int rc = sqlite3_step(statement);
    const QVariant value = rc == SQLITE_ROW ? columnValue(statement, 0) : QVariant();
    // Some pragmas (incremental_vacuum) do one piece of work per row.
    while (rc == SQLITE_ROW)
        rc = sqlite3_step(statement);
    finish(statement, rc);
    return value;
}

// Each statement of the text in turn, prepared, run to its end and finalized;
// the values bound to each statement's own parameters.
QVariant SqliteDatabase::runOnce(const QString& sql, const QList<QVariant>& binds)
{
    const Lock held(*this);
    requireUsable();
    writeHeldRows();
    const QByteArray text = sql.toUtf8();
    const char* next = text.constData();
    QVariant value;
    while (next && *next) {
        sqlite3_stmt* statement = nullptr;
        int rc = sqlite3_prepare_v2(handle, next, -1, &statement, &next);
        for (int i = 0; rc == SQLITE_OK && i < std::min(int(binds.size()), sqlite3_bind_parameter_count(statement));
             ++i)
            rc = bindValue(statement, i + 1, binds.at(i));
        while (rc == SQLITE_OK && statement && (rc = sqlite3_step(statement)) == SQLITE_ROW) {
            if (!value.isValid())
                value = columnValue(statement, 0);
            rc = SQLITE_OK;
        }
        const QByteArray message(rc == SQLITE_OK || rc == SQLITE_DONE ? "" : sqlite3_errmsg(handle));
        sqlite3_finalize(statement);
        if (rc != SQLITE_OK && rc != SQLITE_DONE) {
            noteFailure();
            throw ErrorPair(rc & 0xff, message);
        }
    }
    return value;
}

void SqliteDatabase::forgetStatements()
{
    const Lock held(*this);
    // A batch's rows go to the tables its statements name, before those go.
    if (!lost && !heldBatches.empty()) {
        try {
            writeHeldRows();
        } catch (...) {
            // Given up (see RowBatch::flush); the owner is told at its next statement.
        }
    }
    releaseSnapshot();
    sqlite3_finalize(snapshotHolder);
    snapshotHolder = nullptr;
    for (sqlite3_stmt* statement : qAsConst(statements))
        sqlite3_finalize(statement);
    statements.clear();
}

bool SqliteDatabase::inTransaction() const
{
    const Lock held(*this);
    return gate.isOpen();
}

// Asked for the write lock at once: while another process holds it the gate
// lets the connection go and tries again, as SQLite's busy handler would.
// Begun by a savepoint, the transaction is that savepoint: SQLite keeps no
// copy of the pages it changes, as it must for one opened inside BEGIN, and
// ROLLBACK TO it still leaves the transaction open.
bool SqliteDatabase::tryBegin(const QString& asSavepoint)
{
    releaseSnapshot();
    requireUsable();
    QByteArray message;
    // Kept prepared: parsing them again would cost as much as a row's write.
    const auto step = [this, &message](const QString& sql) REQUIRES(lock) {
        sqlite3_stmt* statement = kept(sql);
        const int rc = sqlite3_step(statement);
        if (rc != SQLITE_DONE)
            message = sqlite3_errmsg(handle);
        sqlite3_reset(statement);
        return rc;
    };
    sqlite3_busy_timeout(handle, 0);
    int rc = SQLITE_DONE;
    if (asSavepoint.isEmpty()) {
        rc = step(QStringLiteral("BEGIN IMMEDIATE"));
    } else if ((rc = step(QStringLiteral("SAVEPOINT ") + asSavepoint)) == SQLITE_DONE) {
        // A write that changes nothing takes the write lock as BEGIN IMMEDIATE does.
        rc = step(onSharedTables("DELETE FROM $registry WHERE 0;"));
        if (rc != SQLITE_DONE && !sqlite3_get_autocommit(handle))
            step(QStringLiteral("ROLLBACK"));
    }
    sqlite3_busy_timeout(handle, int(TransactionGate::busyTimeout.count()));
    if (rc == SQLITE_BUSY)
        return false;
    if (rc != SQLITE_DONE)
        throw ErrorPair(rc & 0xff, message);
    began = ++clock;
    openSince.store(began, std::memory_order_release);
    open.clear();
    if (!asSavepoint.isEmpty())
        open.append({asSavepoint, ++clock});
    changesAtBegin = sqlite3_total_changes64(handle);
    return true;
}

void SqliteDatabase::endTransaction() noexcept
{
    lastEnded.store(began, std::memory_order_release);
    openSince.store(0, std::memory_order_release);
    dropHeldRows();
    savepointDepth = 0;
    open.clear();
    observers.clear();
    gate.end();
}

void SqliteDatabase::commit()
{
    const Lock held(*this);
    try {
        execute(QStringLiteral("COMMIT"));
    } catch (...) {
        rollback();
        throw;
    }
    // Only a transaction of many rows can have grown the log that large.
    const bool many = sqlite3_total_changes64(handle) - changesAtBegin >= 1024;
    endTransaction();
    if (many && QFileInfo(logPath).size() >= largeLog)
        truncateLog();
}

// A write-ahead log grown large by one transaction is checkpointed and cut
// back to nothing unless another process reads it: a process that dies now
// leaves no large log for the next one to read when it opens the file.
void SqliteDatabase::truncateLog() noexcept
{
    sqlite3_busy_timeout(handle, 0);
    sqlite3_wal_checkpoint_v2(handle, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
    sqlite3_busy_timeout(handle, int(TransactionGate::busyTimeout.count()));
}

SqliteDatabase::Mark SqliteDatabase::mark() const
{
    const Lock held(*this);
    return clock;
}

qint64 SqliteDatabase::totalChanges() const
{
    const Lock held(*this);
    qint64 changes = sqlite3_total_changes64(handle);
    for (const RowBatch* batch : heldBatches)
        changes += batch->held();
    return changes;
}

qint64 SqliteDatabase::lastInsertRowid() const
{
    const Lock held(*this);
    return sqlite3_last_insert_rowid(handle);
}

void SqliteDatabase::holdRows(RowBatch* batch)
{
    heldBatches.push_back(batch);
}

void SqliteDatabase::releaseRows(RowBatch* batch) noexcept
{
    const auto at = std::find(heldBatches.begin(), heldBatches.end(), batch);
    if (at != heldBatches.end())
        heldBatches.erase(at);
}

void SqliteDatabase::writeHeldRows(RowBatch* only)
{
    if (heldBatches.empty() || writingHeld)
        return;
    writingHeld = true;
    try {
        if (only)
            only->write();
        while (!only && !heldBatches.empty())
            heldBatches.back()->write();
    } catch (...) {
        writingHeld = false;
        throw;
    }
    writingHeld = false;
}

void SqliteDatabase::dropHeldRows() noexcept
{
    while (!heldBatches.empty())
        heldBatches.back()->drop();
}

bool SqliteDatabase::inUse() const
{
    const Lock held(*this);
    return liveSavepoints > 0 || readers > 0;
}

void SqliteDatabase::giveSpaceBack() noexcept
{
    constexpr int enoughPages = 1024;
    const Lock held(*this);
    if (gate.isOpen() || lost)
        return;
    releaseSnapshot();
    try {
        if (execute(QStringLiteral("PRAGMA freelist_count")).toInt() < enoughPages)
            return;
        sqlite3_busy_timeout(handle, 0);
        execute(QStringLiteral("PRAGMA incremental_vacuum"));
        execute(QStringLiteral("PRAGMA wal_checkpoint(PASSIVE)"));
    } catch (...) {
    }
    sqlite3_busy_timeout(handle, int(TransactionGate::busyTimeout.count()));
}

void SqliteDatabase::startReading() noexcept
{
    readers.fetch_add(1, std::memory_order_relaxed);
}

// The last reader lets the snapshot go, when one is held.
void SqliteDatabase::stopReading() noexcept
{
    if (readers.fetch_sub(1, std::memory_order_acq_rel) != 1 || !snapshotHeld.load(std::memory_order_acquire))
        return;
    const Lock held(*this);
    if (readers.load(std::memory_order_relaxed) == 0)
        releaseSnapshot();
}

bool SqliteDatabase::holdSnapshot() noexcept
{
    if (readers == 0 || snapshotHeld || gate.isOpen() || !sqlite3_get_autocommit(handle))
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
    const Lock held(*this);
    execute(QStringLiteral("SAVEPOINT ") + name);
    open.append({name, ++clock});
}

void SqliteDatabase::release(const QString& name)
{
    const Lock held(*this);
    execute(QStringLiteral("RELEASE ") + name);
    open.erase(open.begin() + std::max(openAt(name), 0), open.end());
}

int SqliteDatabase::openAt(const QString& name) const
{
    for (int at = open.size() - 1; at >= 0; --at) {
        if (open.at(at).first == name)
            return at;
    }
    return -1;
}

SqliteDatabase::Work::Work(SqliteDatabase& database, const HistoryOwner& owner, TransactionGate::Wait wait,
                           const QString& asSavepoint)
    : database(database)
{
    const Lock held(database);
    began_ = database.gate.enter(owner, wait, [&]() REQUIRES(database.lock) { return database.tryBegin(asSavepoint); });
}

SqliteDatabase::Work::~Work()
{
    const Lock held(database);
    database.gate.leave();
}
