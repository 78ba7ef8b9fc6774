// The one place where the library talks to the history database: a shared Qt
// SQL connection, statements run through executeQuery, failures thrown as ErrorPair.
#pragma once

#include <QHash>
#include <QList>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QVariant>

// A 64-bit integer (a rowid) as a bound value.
inline QVariant rowidValue(qint64 rowid)
{
    return QVariant(static_cast<qlonglong>(rowid));
}

class SqliteDatabase {
public:
    // Adds a new Qt connection to the SQLite file at path and opens it.
    SqliteDatabase(const QString& path, bool closeOnDestroy);
    // Shares an existing connection, opening it only when it is not open:
    // reopening an open QSQLITE connection would close the file under its users.
    SqliteDatabase(QSqlDatabase connection, bool closeOnDestroy);
    virtual ~SqliteDatabase();

    SqliteDatabase(const SqliteDatabase&) = delete;
    SqliteDatabase& operator=(const SqliteDatabase&) = delete;

    // Runs one statement with positional values bound to its "?" placeholders
    // and returns the executed query. Statements with values are prepared once
    // and kept for reuse; a caller that reads a result must finish() it.
    QSqlQuery executeQuery(const QString& sql, const QList<QVariant>& binds);

    // Runs a statement without values, prepared once and kept (the statements
    // that open and end transactions, run around every operation).
    void executeKept(const QString& sql);

    // The first column of the first row, or an invalid QVariant without a row.
    QVariant firstValue(const QString& sql, const QList<QVariant>& binds);

    // A process-wide number that moves with every statement that may change a
    // history database and with every open and close; what was read at one
    // generation still holds while the number stays.
    static quint64 generation();

    static QString uniqueConnectionName(const QString& path);
    static QSqlDatabase createConnection(const QString& path);

    const QSqlDatabase& handle() const { return connection; }

    // Finishes and forgets every kept statement (before DROP TABLE or close).
    void dropPreparedStatements();

protected:
    QSqlDatabase connection;
    bool closeOnDestroy;

private:
    void open();
    // The prepared statement kept for sql, prepared now when it is new.
    QSqlQuery keptStatement(const QString& sql);

    QHash<QString, QSqlQuery> prepared;
};
