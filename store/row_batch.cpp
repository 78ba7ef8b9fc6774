// A full batch goes in one statement of capacity rows; a batch written early,
// because something else is about to use the connection, or whose keys are
// scattered over its table, one row at a time.
#include "store/row_batch.h"

#include "store/sqlite_database.h"

#include <sqlite3.h>

#include <algorithm>

RowBatch::RowBatch(SqliteDatabase& database, int columns, int keyColumn)
    : database(database),
      columns(columns),
      keyColumn(keyColumn),
      one(database, {}),
      full(database, {}),
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

void RowBatch::setSql(const QString& insertInto)
{
    const SqliteDatabase::Lock held(database);
    flush();
    QString row = QStringLiteral("(");
    for (int column = 1; column <= columns; ++column)
        row += QLatin1Char('?') + (column < columns ? QStringLiteral(", ") : QStringLiteral(")"));
    QString rows = row;
    for (int i = 1; i < capacity; ++i)
        rows += QStringLiteral(", ") + row;
    one.setSql(insertInto + QStringLiteral(" VALUES ") + row + QLatin1Char(';'));
    full.setSql(insertInto + QStringLiteral(" VALUES ") + rows + QLatin1Char(';'));
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

void RowBatch::flush()
{
    if (rows == 0)
        return;
    const SqliteDatabase::Lock held(database);
    database.writeHeldRows();
}

// Inside a transaction, SQLite copies every page a statement of many rows
// changes to its statement journal, spilled to a temporary file past 64 KiB:
// for keys scattered over the table, a page a row, dearer than the row's own
// statement. Keys within a span of the batch's size share few pages.
bool RowBatch::keysClose() const
{
    if (keyColumn < 0)
        return true;
    const qint64 first = values[static_cast<size_t>(keyColumn)].integer;
    const qint64 last = values[static_cast<size_t>((rows - 1) * columns + keyColumn)].integer;
    return last >= first && static_cast<quint64>(last) - static_cast<quint64>(first) < 2 * capacity;
}

void RowBatch::write()
{
    try {
        if (rows == capacity && keysClose()) {
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
