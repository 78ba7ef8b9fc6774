// The outermost level takes the write lock at once (BEGIN IMMEDIATE), so that
// a busy history file is waited for instead of failing half way when a read
// would have to become a write; inner levels nest as savepoints.
#include "store/savepoint.h"

#include "common/error_pair.h"

#include <QSqlDriver>

#include <sqlite3.h>

namespace {

const QString name = QStringLiteral("quillmere_operation");

bool inTransaction(const QSqlDatabase& connection)
{
    QVariant handle = connection.driver()->handle();
    auto* db = handle.isValid() ? *static_cast<sqlite3* const*>(handle.data()) : nullptr;
    return db && !sqlite3_get_autocommit(db);
}

} // namespace

Savepoint::Savepoint(SqliteDatabase& database) : database(database)
{
    outermost = !inTransaction(database.handle());
    database.executeKept(outermost ? QStringLiteral("BEGIN IMMEDIATE") : QStringLiteral("SAVEPOINT ") + name);
}

Savepoint::~Savepoint()
{
    if (released)
        return;
    try {
        if (outermost) {
            database.executeKept(QStringLiteral("ROLLBACK"));
        } else {
            database.executeKept(QStringLiteral("ROLLBACK TO ") + name);
            database.executeKept(QStringLiteral("RELEASE ") + name);
        }
    } catch (...) {
        // The error that made us roll back is already on its way to the caller.
    }
}

void Savepoint::release()
{
    database.executeKept(outermost ? QStringLiteral("COMMIT") : QStringLiteral("RELEASE ") + name);
    released = true;
}
