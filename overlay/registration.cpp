// Registrations are owned by SQLite through sqlite3_create_module_v2; ending one
// releases its logs, and an owner manager's end drops its log tables.
#include "overlay/registration.h"

#include "store/identifiers.h"

OverlayRegistration* newOverlayRegistration(const sqlite3_module* innerModule)
{
    return new OverlayRegistration{innerModule, {}};
}

void deleteOverlayRegistration(void* registration)
{
    delete static_cast<OverlayRegistration*>(registration);
}

QString logKey(const char* schema, const QString& tableName)
{
    return identifierKey(QString::fromUtf8(schema ? schema : "")) + QLatin1Char('.') + identifierKey(tableName);
}
