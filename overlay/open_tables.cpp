// A count per name: the same table may be open on several connections. The
// map exists only while some table is open, so nothing is left behind when a
// host closes its connections during static destruction or unloads the library.
#include "overlay/open_tables.h"

#include <QHash>

#include <mutex>

namespace {

std::mutex mutex;
QHash<QString, int>* counts = nullptr;

} // namespace

void noteOverlayTableOpened(const QString& name)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (!counts)
        counts = new QHash<QString, int>;
    ++(*counts)[name];
}

void noteOverlayTableClosed(const QString& name)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (!counts)
        return;
    auto entry = counts->find(name);
    if (entry != counts->end() && --entry.value() <= 0)
        counts->erase(entry);
    if (counts->isEmpty()) {
        delete counts;
        counts = nullptr;
    }
}

bool isOverlayTableOpen(const QString& name)
{
    std::lock_guard<std::mutex> lock(mutex);
    return counts && counts->contains(name);
}
