// A count per name: the same table may be open on several connections. Never
// destroyed, since a host may close its connections during static destruction.
#include "overlay/open_tables.h"

#include <QHash>

#include <mutex>

namespace {

struct OpenTables {
    std::mutex mutex;
    QHash<QString, int> counts;
};

OpenTables& openTables()
{
    static OpenTables* tables = new OpenTables;
    return *tables;
}

} // namespace

void noteOverlayTableOpened(const QString& name)
{
    OpenTables& tables = openTables();
    std::lock_guard<std::mutex> lock(tables.mutex);
    ++tables.counts[name];
}

void noteOverlayTableClosed(const QString& name)
{
    OpenTables& tables = openTables();
    std::lock_guard<std::mutex> lock(tables.mutex);
    auto entry = tables.counts.find(name);
    if (entry != tables.counts.end() && --entry.value() <= 0)
        tables.counts.erase(entry);
}

bool isOverlayTableOpen(const QString& name)
{
    OpenTables& tables = openTables();
    std::lock_guard<std::mutex> lock(tables.mutex);
    return tables.counts.contains(name);
}
