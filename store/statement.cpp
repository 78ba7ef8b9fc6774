// Kept statements: prepared with SQLite's persistent flag, errors thrown with
// SQLite's own code and message, the transaction marked lost where SQLite
// ended it, as for every other statement of the history connection.
#include "store/statement.h"

#include "common/error_pair.h"
#include "store/sqlite_database.h"

#include <sqlite3.h>

Statement::Statement(SqliteDatabase& database, QString sql) : database(database), sql(std::move(sql)) {}

Statement::~Statement()
{
    database.letGo(this);
    sqlite3_finalize(handle);
}

void Statement::setSql(QString text)
{
    sqlite3_finalize(handle);
    handle = nullptr;
    sql = std::move(text);
}

sqlite3_stmt* Statement::prepared()
{
    database.requireUsable();
    if (!handle) {
        const int rc = sqlite3_prepare_v3(database.handle, sql.toUtf8().constData(), -1, SQLITE_PREPARE_PERSISTENT,
                                          &handle, nullptr);
        if (rc != SQLITE_OK)
            fail(rc);
    }
    return handle;
}

Statement& Statement::bind(int index, qint64 value)
{
    const int rc = sqlite3_bind_int64(prepared(), index, value);
    if (rc != SQLITE_OK)
        bindFailure = rc;
    return *this;
}

Statement& Statement::bindBlob(int index, const char* data, int size)
{
    // A null pointer would bind NULL instead of an empty blob.
    const int rc = sqlite3_bind_blob(prepared(), index, data ? data : "", size, SQLITE_TRANSIENT);
    if (rc != SQLITE_OK)
        bindFailure = rc;
    return *this;
}

Statement& Statement::bindNull(int index)
{
    const int rc = sqlite3_bind_null(prepared(), index);
    if (rc != SQLITE_OK)
        bindFailure = rc;
    return *this;
}

Statement& Statement::bindText(int index, const QString& text)
{
    const QByteArray utf8 = text.toUtf8();
    const int rc = sqlite3_bind_text(prepared(), index, utf8.constData(), utf8.size(), SQLITE_TRANSIENT);
    if (rc != SQLITE_OK)
        bindFailure = rc;
    return *this;
}

void Statement::reset() noexcept
{
    if (walking)
        database.letGo(this);
    walking = false;
    if (handle) {
        sqlite3_reset(handle);
        sqlite3_clear_bindings(handle);
    }
    bindFailure = 0;
}

void Statement::fail(int rc)
{
    const ErrorPair error(rc & 0xff, QByteArray(sqlite3_errmsg(database.handle)));
    reset();
    database.noteFailure();
    throw error;
}

void Statement::run()
{
    sqlite3_stmt* statement = prepared();
    if (bindFailure)
        fail(bindFailure);
    int rc;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
    }
    if (rc != SQLITE_DONE)
        fail(rc);
    reset();
}

bool Statement::advance()
{
    sqlite3_stmt* statement = prepared();
    if (bindFailure)
        fail(bindFailure);
    const int rc = sqlite3_step(statement);
    if (rc == SQLITE_ROW)
        return true;
    if (rc != SQLITE_DONE)
        fail(rc);
    return false;
}

bool Statement::step()
{
    if (!walking) {
        database.keepWalking(this);
        walking = true;
    }
    if (advance())
        return true;
    reset();
    return false;
}

qint64 Statement::integer(int column) const
{
    return sqlite3_column_int64(handle, column);
}

QByteArray Statement::bytes(int column) const
{
    const char* start = static_cast<const char*>(sqlite3_column_blob(handle, column));
    return QByteArray(start, sqlite3_column_bytes(handle, column));
}

Statement::Rows::~Rows()
{
    statement.reset();
}
