// Opening a Qt connection to the history database and taking the SQLite
// handle beneath it; closing it on its own thread.
#include "store/qt_connection.h"

#include "common/error_pair.h"

#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QStringList>
#include <QVariant>

#include <sqlite3.h>

namespace {

void closeNow(const QString& name)
{
    {
        QSqlDatabase connection = QSqlDatabase::database(name, false);
        connection.close();
    }
    QSqlDatabase::removeDatabase(name);
}

// QSQLITE reports SQLite's result code as the native code and sqlite3_errmsg
// as the database text; its own words ("Unable to fetch row") are left out.
ErrorPair openError(const QSqlError& error)
{
    bool known = false;
    int code = error.nativeErrorCode().toInt(&known) & 0xff;
    if (!known || code == SQLITE_OK)
        code = SQLITE_ERROR;
    return ErrorPair(code, error.databaseText().isEmpty() ? error.text() : error.databaseText());
}

QString uniqueConnectionName(const QString& path)
{
    const QString base = QFileInfo(path).baseName();
    QString candidate = base;
    for (quint32 counter = 1; QSqlDatabase::connectionNames().contains(candidate); ++counter)
        candidate = base + QLatin1Char('_') + QString::number(counter);
    return candidate;
}

} // namespace

QtConnection::QtConnection(const QString& path) : maker(std::this_thread::get_id())
{
    // Qt keeps the driver name for the life of the process; a literal would
    // point into this library, which a host may unload before Qt.
    name = uniqueConnectionName(path);
    QSqlDatabase connection = QSqlDatabase::addDatabase(QString::fromLatin1("QSQLITE"), name);
    connection.setDatabaseName(path);
    const bool opened = connection.open();
    const QVariant native = connection.driver()->handle();
    if (opened && native.isValid() && qstrcmp(native.typeName(), "sqlite3*") == 0)
        handle_ = *static_cast<sqlite3* const*>(native.constData());
    if (handle_)
        return;
    ErrorPair error = opened ? ErrorPair(SQLITE_INTERNAL, QByteArray("the history database is not a SQLite connection"))
                             : openError(connection.lastError());
    connection = QSqlDatabase();
    closeNow(name);
    throw error;
}

QtConnection::~QtConnection()
{
    if (madeHere())
        closeNow(name);
}
