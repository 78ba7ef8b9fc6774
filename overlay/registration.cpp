// Registrations are owned by SQLite through sqlite3_create_module_v2.
#include "overlay/registration.h"

#include <utility>

OverlayRegistration* newOverlayRegistration(const sqlite3_module* innerModule, void* innerClientData,
                                            HistoryLink history, TableSave save)
{
    return new OverlayRegistration{innerModule, innerClientData, std::move(history), save};
}

void deleteOverlayRegistration(void* registration)
{
    OverlayRegistration* ended = static_cast<OverlayRegistration*>(registration);
    if (const std::shared_ptr<History> history = ended->history.lock())
        history->releaseHolder(ended);
    delete ended;
}
