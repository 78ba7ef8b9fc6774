// Registrations are owned by SQLite through sqlite3_create_module_v2.
#include "overlay/registration.h"

#include "registry/modification_manager_factory.h"

OverlayRegistration* newOverlayRegistration(const sqlite3_module* innerModule, void* innerClientData, TableSave save)
{
    return new OverlayRegistration{innerModule, innerClientData, save};
}

void deleteOverlayRegistration(void* registration)
{
    if (ModificationManagerFactory::alive())
        ModificationManagerFactory::instance().releaseHolder(registration);
    delete static_cast<OverlayRegistration*>(registration);
}
