// Kept statements: prepared with SQLite's persistent flag, errors thrown with
// SQLite's own code and message, the transaction marked lost where SQLite
// ended it, as for every other statement of the history connection.
#include "store/statement.h"

#include "common/error_pair.h"

#include <sqlite3.h>

Statement::Statement(SqliteDatabase& database, QString sql) : database(database), sql(std::move(sql)) {}

Statement::~Statement()
{
    const SqliteDatabase::Lock held(database);
    database.letGo(this);
    sqlite3_finalize(handle);
}

void Statement::setSql(QString text)
{
    const SqliteDatabase::Lock held(database);
    reset();
    sqlite3_finalize(handle);
    handle = nullptr;
    sql = std::move(text);
}

sqlite3_stmt* Statement::prepared()
{
    database.requireUsable();
    // Rows held back are written before a statement starts; one that goes
    // on from its row reads on as it began.
    if (!handle || !sqlite3_stmt_busy(handle))
        database.writeHeldRows();
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
    const SqliteDatabase::Lock held(database);
    const int rc = sqlite3_bind_int64(prepared(), index, value);
    if (rc != SQLITE_OK)
        bindFailure = rc;
    return *this;
}

Statement& Statement::bindBlob(int index, const char* data, int size)
{
    const SqliteDatabase::Lock held(database);
    // A null pointer would bind NULL instead of an empty blob.
    const int rc = sqlite3_bind_blob(prepared(), index, data ? data : "", size, SQLITE_TRANSIENT);
    if (rc != SQLITE_OK)
        bindFailure = rc;
    return *this;
}

Statement& Statement::bindNull(int index)
{
    const SqliteDatabase::Lock held(database);
    const int rc = sqlite3_bind_null(prepared(), index);
    if (rc != SQLITE_OK)
        bindFailure = rc;
    return *this;
}

Statement& Statement::bindText(int index, const QString& text)
{
    return bindTextBytes(index, text.toUtf8());
}

Statement& Statement::bindTextBytes(int index, const QByteArray& bytes)
{
    const SqliteDatabase::Lock held(database);
    const int rc = sqlite3_bind_text(prepared(), index, bytes.constData(), bytes.size(), SQLITE_TRANSIENT);
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
    const SqliteDatabase::Lock held(database);
    sqlite3_stmt* statement = prepared();
    if (bindFailure)
        fail(bindFailure);
    int rc;
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {}
    if (rc != SQLITE_DONE)
        fail(rc);
    reset();
}

bool Statement::advance()
{
    const SqliteDatabase::Lock held(database);
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
    const SqliteDatabase::Lock held(database);
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

std::optional<qint64> Statement::Rows::optionalInteger(int column) const
{
    if (sqlite3_column_type(statement.handle, column) != SQLITE_INTEGER)
        return std::nullopt;
    return statement.integer(column);
}

Statement::Rows::~Rows()
{
    statement.reset();
}
