// Savepoints nest, so operations built from other atomic operations stay atomic.
#include "store/savepoint.h"

#include "common/error_pair.h"

namespace {
const QString name = QStringLiteral("quillmere_operation");
}

Savepoint::Savepoint(SqliteDatabase& database) : database(database)
{
    database.executeQuery(QStringLiteral("SAVEPOINT ") + name, {});
}

Savepoint::~Savepoint()
{
    if (released)
        return;
    try {
        database.executeQuery(QStringLiteral("ROLLBACK TO ") + name, {});
        database.executeQuery(QStringLiteral("RELEASE ") + name, {});
    } catch (...) {
        // The error that made us roll back is already on its way to the caller.
    }
}

void Savepoint::release()
{
    database.executeQuery(QStringLiteral("RELEASE ") + name, {});
    released = true;
}
