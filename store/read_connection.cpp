// Opening a read connection, its snapshot, and its walk: rows asked for in
// ascending order, mostly a few apart, are found by stepping on rather than by
// a new search.
#include "store/read_connection.h"

#include "common/error_pair.h"
#include "store/transaction_gate.h"

#include <sqlite3.h>

namespace {

// Statements kept beyond these are finalized: logs come and go.
constexpr int keptStatements = 16;
// Far enough to step through the stored rows between two a scan asks for.
constexpr int shortWalk = 32;

ErrorPair failure(sqlite3* handle, int rc)
{
    return ErrorPair(rc & 0xff, QByteArray(handle ? sqlite3_errmsg(handle) : sqlite3_errstr(rc)));
}

} // namespace

ReadConnection::ReadConnection(const QString& path)
{
    int rc = sqlite3_open_v2(path.toUtf8().constData(), &handle, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc == SQLITE_OK) {
        sqlite3_db_config(handle, SQLITE_DBCONFIG_ENABLE_TRIGGER, 0, nullptr);
        sqlite3_db_config(handle, SQLITE_DBCONFIG_ENABLE_VIEW, 0, nullptr);
        sqlite3_db_config(handle, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
        sqlite3_db_config(handle, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
        sqlite3_busy_timeout(handle, int(TransactionGate::busyTimeout.count()));
        // Each reader's pages are few: the rows about where it reads.
        rc = sqlite3_exec(handle, "PRAGMA cache_size=-2048", nullptr, nullptr, nullptr);
    }
    sqlite3_stmt* mode = nullptr;
    if (rc == SQLITE_OK)
        rc = sqlite3_prepare_v2(handle, "PRAGMA journal_mode", -1, &mode, nullptr);
    if (rc == SQLITE_OK && sqlite3_step(mode) == SQLITE_ROW &&
        sqlite3_stricmp(reinterpret_cast<const char*>(sqlite3_column_text(mode, 0)), "wal") != 0)
        rc = SQLITE_CANTOPEN;
    sqlite3_finalize(mode);
    if (rc == SQLITE_OK)
        rc = sqlite3_prepare_v3(handle, "SELECT count(*) FROM sqlite_schema", -1, SQLITE_PREPARE_PERSISTENT, &holder,
                                nullptr);
    if (rc == SQLITE_OK)
        return;
    const ErrorPair error = failure(handle, rc);
    sqlite3_finalize(holder);
    sqlite3_close(handle);
    throw error;
}

ReadConnection::~ReadConnection()
{
    letGo();
    sqlite3_finalize(holder);
    for (sqlite3_stmt* statement : qAsConst(statements))
        sqlite3_finalize(statement);
    sqlite3_close(handle);
}

sqlite3_stmt* ReadConnection::prepared(const QString& sql)
{
    if (sqlite3_stmt* found = statements.value(sql))
        return found;
    if (statements.size() >= keptStatements) {
        stopWalking();
        for (sqlite3_stmt* statement : qAsConst(statements))
            sqlite3_finalize(statement);
        statements.clear();
    }
    sqlite3_stmt* statement = nullptr;
    const int rc =
        sqlite3_prepare_v3(handle, sql.toUtf8().constData(), -1, SQLITE_PREPARE_PERSISTENT, &statement, nullptr);
    if (rc != SQLITE_OK)
        throw failure(handle, rc);
    statements.insert(sql, statement);
    return statement;
}

void ReadConnection::stopWalking() noexcept
{
    if (walk)
        sqlite3_reset(walk);
    walk = nullptr;
}

void ReadConnection::letGo() noexcept
{
    if (!holding)
        return;
    stopWalking();
    sqlite3_reset(holder);
    holding = false;
}

void ReadConnection::renew(Mark endedThrough, Clock::time_point now)
{
    letGo();
    const int rc = sqlite3_step(holder);
    if (rc != SQLITE_ROW) {
        const ErrorPair error = failure(handle, rc);
        sqlite3_reset(holder);
        throw error;
    }
    holding = true;
    through = endedThrough;
    taken = now;
}

bool ReadConnection::step()
{
    const int rc = sqlite3_step(walk);
    if (rc == SQLITE_ROW) {
        walkedRowid = sqlite3_column_int64(walk, 0);
        return true;
    }
    if (rc == SQLITE_DONE) {
        stopWalking();
        return false;
    }
    const ErrorPair error = failure(handle, rc);
    stopWalking();
    throw error;
}

QByteArray ReadConnection::valueAt(const QString& sql, qint64 rowid, Mark changedIn, Mark endedThrough)
{
    sqlite3_stmt* statement = prepared(sql);
    const Clock::time_point now = Clock::now();
    if (!holding || through < changedIn || now - taken >= oldest)
        renew(endedThrough, now);
    bool found = false;
    if (walk == statement && walkedRowid <= rowid) {
        int steps = 0;
        while (walkedRowid < rowid && steps++ < shortWalk && step()) {}
        // A walk that went past rowid, or to the end, found no such row.
        if (!walk || walkedRowid > rowid)
            return QByteArray();
        found = walkedRowid == rowid;
    }
    if (!found) {
        stopWalking();
        walk = statement;
        const int rc = sqlite3_bind_int64(walk, 1, rowid);
        if (rc != SQLITE_OK) {
            stopWalking();
            throw failure(handle, rc);
        }
        if (!step() || walkedRowid != rowid)
            return QByteArray();
    }
    const char* bytes = static_cast<const char*>(sqlite3_column_blob(walk, 1));
    return QByteArray(bytes, sqlite3_column_bytes(walk, 1));
}
