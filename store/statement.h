// A statement on the history connection, prepared once and kept for the life
// of its owner, bound and stepped without Qt in between: the per-row work.
#pragma once

#include "store/sqlite_database.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <optional>

struct sqlite3_stmt;

class Statement {
public:
    // Prepared on first use; database must outlive the statement.
    Statement(SqliteDatabase& database, QString sql);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    // Another text: the prepared statement, if any, is finalized.
    void setSql(QString sql);
    const QString& text() const { return sql; }

    // Values for the "?NNN" parameters, 1-based. A blob is copied. Binding
    // and running happen under one lock of the connection, held by the caller.
    Statement& bind(int index, qint64 value);
    Statement& bindBlob(int index, const char* data, int size);
    Statement& bindBlob(int index, const QByteArray& bytes) { return bindBlob(index, bytes.constData(), bytes.size()); }
    Statement& bindNull(int index);
    Statement& bindText(int index, const QString& text);
    // Text as the bytes given, checked for no encoding (a file path).
    Statement& bindTextBytes(int index, const QByteArray& bytes);

    // Runs the statement to its end and resets it. Throws ErrorPair; the
    // bindings are cleared either way.
    void run();

    // A statement that walks rows across calls, while the database holds its
    // read snapshot (SqliteDatabase::holdSnapshot): step() moves to the next
    // row; the database resets the statement when it lets the snapshot go.
    // restart() resets it to be bound and stepped from the start again.
    bool step();
    void restart() noexcept { reset(); }
    bool isWalking() const { return walking; }
    qint64 integer(int column) const;
    QByteArray bytes(int column) const;

    // Reading rows: a Rows holds the connection while it steps the statement,
    // and resets the statement when it goes.
    class Rows {
    public:
        explicit Rows(Statement& statement) : held(statement.database), statement(statement) {}
        ~Rows();
        Rows(const Rows&) = delete;
        Rows& operator=(const Rows&) = delete;
        // Moves to the next row; false at the end. Throws ErrorPair.
        bool next() { return statement.advance(); }
        qint64 integer(int column) const { return statement.integer(column); }
        // A blob or text column's bytes.
        QByteArray bytes(int column) const { return statement.bytes(column); }
        QString text(int column) const { return QString::fromUtf8(statement.bytes(column)); }
        // An integer column; none for NULL or another type.
        std::optional<qint64> optionalInteger(int column) const;

    private:
        SqliteDatabase::Lock held;
        Statement& statement;
    };

private:
    friend class RowBatch;
    friend class SqliteDatabase;
    sqlite3_stmt* prepared();
    // Steps once: whether a row stands. Throws ErrorPair.
    bool advance();
    void reset() noexcept;
    [[noreturn]] void fail(int rc);

    SqliteDatabase& database;
    QString sql;
    sqlite3_stmt* handle = nullptr;
    int bindFailure = 0;
    bool walking = false;
};
