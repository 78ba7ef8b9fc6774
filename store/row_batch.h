// Rows of one INSERT held back and written together, several to a statement:
// running a statement once per row costs more than the row. Held rows are
// written before anything else uses the connection.
#pragma once

#include "store/statement.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <vector>

class RowBatch {
public:
    // One value of a row: an integer, a blob (kept shared, not copied) or NULL.
    struct Value {
        enum class Kind { Null, Integer, Blob } kind = Kind::Null;
        qint64 integer = 0;
        QByteArray blob;

        static Value of(qint64 value) { return {Kind::Integer, value, {}}; }
        static Value of(const QByteArray& value) { return {Kind::Blob, 0, value}; }
    };

    // Rows of columns values each; database must outlive the batch. With a
    // replacedKey, the name of the table's integer key and the rows' first
    // column, a row replaces the table's row of the same key.
    RowBatch(SqliteDatabase& database, int columns, const QString& replacedKey = QString());
    // Writes what it holds (see flush()).
    ~RowBatch();
    RowBatch(const RowBatch&) = delete;
    RowBatch& operator=(const RowBatch&) = delete;

    // The table the rows go to, its name quoted; the rows held go to the old one first.
    void setTable(const QString& table);
    // Holds a row of values, in column order, and writes the batch once it
    // is full. Called under the connection's lock, inside a transaction.
    // Throws ErrorPair as flush() does.
    void add(const Value* values);
    // Writes the rows held, with those of every other batch of the
    // connection. A failure rolls the whole transaction back and keeps it
    // refused (SqliteDatabase::abandon), since the rows were reported
    // written, and is thrown as ErrorPair.
    void flush();
    int held() const { return rows; }

    static constexpr int capacity = 64;

private:
    friend class SqliteDatabase;
    // The statements of flush(), for this batch alone; and forgetting the
    // rows held, which a rollback took back.
    void write();
    void drop() noexcept;
    void bind(Statement& statement, int row, int firstIndex);
    void bindKey(int row);
    bool repeatsKey() const;

    SqliteDatabase& database;
    const int columns;
    const QString replacedKey;
    Statement one;
    Statement full;
    Statement clearKeys;
    std::vector<Value> values;
    int rows = 0;
};
