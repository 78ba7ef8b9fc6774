// A full batch goes in one statement of capacity rows; a batch written early,
// because something else is about to use the connection, one row at a time.
#include "store/row_batch.h"

#include "store/sqlite_database.h"

#include <sqlite3.h>

#include <algorithm>
#include <array>

RowBatch::RowBatch(SqliteDatabase& database, int columns, const QString& replacedKey)
    : database(database),
      columns(columns),
      replacedKey(replacedKey),
      one(database, {}),
      full(database, {}),
      clearKeys(database, {}),
      values(static_cast<size_t>(capacity * columns))
{
}

RowBatch::~RowBatch()
{
    const SqliteDatabase::Lock held(database);
    try {
        flush();
    } catch (...) {
        // The transaction was given up (see flush()); its owner is told.
    }
    database.releaseRows(this);
}

// Inside a transaction, SQLite copies every page a statement of many rows
// changes to a statement journal, spilled to a temporary file past 64 KiB,
// when the statement may stop midway and take back its own rows (ABORT, as a
// NOT NULL column under REPLACE does): for scattered keys a page a row, dearer
// than the row. OR FAIL keeps what was written, so SQLite keeps no copy; a
// failure gives the whole transaction up anyway (see flush()). A replacing
// batch deletes its keys first instead.
void RowBatch::setTable(const QString& table)
{
    const SqliteDatabase::Lock held(database);
    flush();
    // count lists of width parameters: "(?, ?), (?, ?)"
    const auto list = [](int count, int width) {
        const auto repeat = [](int times, const QString& item) {
            QString text = item;
            for (int i = 1; i < times; ++i)
                text += QStringLiteral(", ") + item;
            return text;
        };
        return repeat(count, QLatin1Char('(') + repeat(width, QStringLiteral("?")) + QLatin1Char(')'));
    };
    const QString replacing = replacedKey.isEmpty() ? QString() : QStringLiteral("OR REPLACE ");
    one.setSql(QStringLiteral("INSERT ") + replacing + QStringLiteral("INTO ") + table + QStringLiteral(" VALUES ") +
               list(1, columns) + QLatin1Char(';'));
    full.setSql(QStringLiteral("INSERT OR FAIL INTO ") + table + QStringLiteral(" VALUES ") + list(capacity, columns) +
                QLatin1Char(';'));
    if (!replacedKey.isEmpty())
        clearKeys.setSql(QStringLiteral("DELETE FROM ") + table + QStringLiteral(" WHERE ") + replacedKey +
                         QStringLiteral(" IN ") + list(1, capacity) + QLatin1Char(';'));
}

void RowBatch::add(const Value* row)
{
    if (rows == 0)
        database.holdRows(this);
    std::copy(row, row + columns, values.begin() + rows * columns);
    ++rows;
    // Alone: the other batches fill up in step with this one.
    if (rows == capacity)
        database.writeHeldRows(this);
}

// Bound straight to SQLite under the caller's hold of the lock: through
// Statement each value would take the lock and look for held rows again.
void RowBatch::bind(Statement& statement, int row, int firstIndex)
{
    sqlite3_stmt* handle = statement.prepared();
    for (int column = 0; column < columns; ++column) {
        const Value& value = values[static_cast<size_t>(row * columns + column)];
        const int index = firstIndex + column;
        int rc = SQLITE_OK;
        switch (value.kind) {
        case Value::Kind::Integer:
            rc = sqlite3_bind_int64(handle, index, value.integer);
            break;
        case Value::Kind::Blob:
            rc = sqlite3_bind_blob(handle, index, value.blob.isNull() ? "" : value.blob.constData(), value.blob.size(),
                                   SQLITE_STATIC);
            break;
        case Value::Kind::Null:
            rc = sqlite3_bind_null(handle, index);
            break;
        }
        if (rc != SQLITE_OK)
            statement.fail(rc);
    }
}

void RowBatch::bindKey(int row)
{
    const Value& key = values[static_cast<size_t>(row * columns)];
    const int rc = sqlite3_bind_int64(clearKeys.prepared(), row + 1, key.integer);
    if (rc != SQLITE_OK)
        clearKeys.fail(rc);
}

// A key the batch replaces twice: its rows go one by one, the later winning.
bool RowBatch::repeatsKey() const
{
    if (replacedKey.isEmpty())
        return false;
    std::array<qint64, capacity> keys;
    for (int row = 0; row < rows; ++row)
        keys[static_cast<size_t>(row)] = values[static_cast<size_t>(row * columns)].integer;
    std::sort(keys.begin(), keys.begin() + rows);
    return std::adjacent_find(keys.begin(), keys.begin() + rows) != keys.begin() + rows;
}

void RowBatch::flush()
{
    if (rows == 0)
        return;
    const SqliteDatabase::Lock held(database);
    database.writeHeldRows();
}

void RowBatch::write()
{
    try {
        if (rows == capacity && !repeatsKey()) {
            if (!replacedKey.isEmpty()) {
                for (int row = 0; row < rows; ++row)
                    bindKey(row);
                clearKeys.run();
            }
            for (int row = 0; row < rows; ++row)
                bind(full, row, 1 + row * columns);
            full.run();
        } else {
            for (int row = 0; row < rows; ++row) {
                bind(one, row, 1);
                one.run();
            }
        }
    } catch (...) {
        database.abandon();
        throw;
    }
    drop();
}

void RowBatch::drop() noexcept
{
    for (int i = 0; i < rows * columns; ++i)
        values[static_cast<size_t>(i)] = Value();
    rows = 0;
    database.releaseRows(this);
}
