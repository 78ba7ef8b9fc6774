// The process's history as the user data of an SQL function, from
// registration to the function's end.
#include "history/history_link.h"

void* newHistoryLink(const HistoryLink& link)
{
    return new HistoryLink(link);
}

void deleteHistoryLink(void* link) noexcept
{
    delete static_cast<HistoryLink*>(link);
}

std::shared_ptr<History> historyOf(sqlite3_context* ctx)
{
    return History::require(*static_cast<const HistoryLink*>(sqlite3_user_data(ctx)));
}
