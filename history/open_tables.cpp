// The registry's entries by identifier key, so that names which differ only
// in the case of ASCII letters are one entry, as they are one table to SQLite.
#include "history/open_tables.h"

#include "common/identifiers.h"

#include <algorithm>
#include <utility>

std::shared_ptr<OpenLog> OpenTables::open(const QString& name, const void* holder, const OpenLog::Table& table)
{
    const MutexLock held(mutex);
    std::shared_ptr<OpenLog>& entry = logs[identifierKey(name)];
    if (!entry) {
        entry = std::make_shared<OpenLog>();
        entry->name = name;
    }
    entry->tables.push_back(table);
    entry->holders.insert(holder);
    return entry;
}

void OpenTables::close(const std::shared_ptr<OpenLog>& entry, const void* overlay)
{
    const MutexLock held(mutex);
    closeWhere(entry, [overlay](const OpenLog::Table& open) { return open.overlay == overlay; });
}

void OpenTables::drop(const std::shared_ptr<OpenLog>& entry, const void* connection, const QByteArray& schema)
{
    const MutexLock held(mutex);
    closeWhere(entry,
               [&](const OpenLog::Table& open) { return open.connection == connection && open.schema == schema; });
}

template <typename Which>
void OpenTables::closeWhere(const std::shared_ptr<OpenLog>& entry, Which&& which)
{
    entry->tables.erase(std::remove_if(entry->tables.begin(), entry->tables.end(), which), entry->tables.end());
    const QString key = identifierKey(entry->name);
    if (entry->tables.empty() && !entry->manager && logs.value(key) == entry)
        logs.remove(key);
}

std::vector<std::shared_ptr<OpenLog>> OpenTables::releaseHolder(const void* holder)
{
    const MutexLock held(mutex);
    std::vector<std::shared_ptr<OpenLog>> released;
    for (auto at = logs.begin(); at != logs.end();) {
        at.value()->holders.remove(holder);
        if (at.value()->holders.isEmpty()) {
            released.push_back(at.value());
            at = logs.erase(at);
        } else {
            ++at;
        }
    }
    return released;
}

std::vector<std::shared_ptr<OpenLog>> OpenTables::takeAll()
{
    const MutexLock held(mutex);
    std::vector<std::shared_ptr<OpenLog>> all(logs.begin(), logs.end());
    logs.clear();
    return all;
}

std::shared_ptr<OpenLog> OpenTables::find(const QString& name) const
{
    const MutexLock held(mutex);
    return logs.value(identifierKey(name));
}

std::vector<std::shared_ptr<OpenLog>> OpenTables::entries() const
{
    const MutexLock held(mutex);
    std::vector<std::shared_ptr<OpenLog>> all(logs.begin(), logs.end());
    std::sort(all.begin(), all.end(), [](const auto& a, const auto& b) { return a->name < b->name; });
    return all;
}

LogState OpenTables::state(const OpenLog& entry) const
{
    const MutexLock held(mutex);
    const QByteArray filePath = entry.manager || entry.tables.empty() ? entry.uri : entry.tables.front().filePath;
    return {entry.name, filePath, entry.manager, entry.stamps, entry.tables};
}

QString OpenTables::name(const OpenLog& entry) const
{
    const MutexLock held(mutex);
    return entry.name;
}

std::shared_ptr<SqliteModificationManager> OpenTables::manager(const OpenLog& entry) const
{
    const MutexLock held(mutex);
    return entry.manager;
}

std::shared_ptr<SqliteModificationManager> OpenTables::logOver(const OpenLog& entry, const QByteArray& filePath,
                                                               quint64* version) const
{
    const MutexLock held(mutex);
    if (version)
        *version = entry.version();
    return entry.manager && entry.uri == filePath ? entry.manager : nullptr;
}

bool OpenTables::anyLog() const
{
    const MutexLock held(mutex);
    return std::any_of(logs.begin(), logs.end(), [](const auto& entry) { return entry->manager != nullptr; });
}

std::vector<std::shared_ptr<OpenLog>> OpenTables::withLogs() const
{
    const MutexLock held(mutex);
    std::vector<std::shared_ptr<OpenLog>> found;
    for (const std::shared_ptr<OpenLog>& entry : logs) {
        if (entry->manager)
            found.push_back(entry);
    }
    return found;
}

void OpenTables::setLog(OpenLog& entry, std::shared_ptr<SqliteModificationManager> manager, const QByteArray& uri,
                        std::vector<FileStamp> stamps)
{
    const MutexLock held(mutex);
    entry.manager = std::move(manager);
    entry.uri = uri;
    entry.stamps = std::move(stamps);
    entry.changed();
}

std::optional<std::vector<FileStamp>> OpenTables::stampsAtOpen(const OpenLog& entry, const QByteArray& uri,
                                                               const void* connection) const
{
    const MutexLock held(mutex);
    const OpenLog::Table* found = nullptr;
    for (const OpenLog::Table& table : entry.tables) {
        if (table.filePath == uri && (!found || table.connection == connection))
            found = &table;
        if (found && found->connection == connection)
            break;
    }
    return found ? std::optional(found->stamps) : std::nullopt;
}

std::optional<std::vector<FileStamp>> OpenTables::logStamps(const OpenLog& entry, const QByteArray& filePath) const
{
    const MutexLock held(mutex);
    return entry.manager && entry.uri == filePath ? std::optional(entry.stamps) : std::nullopt;
}

void OpenTables::restamp(OpenLog& entry, const void* connection, const QByteArray& uri,
                         const std::vector<FileStamp>& stamps)
{
    const MutexLock held(mutex);
    for (OpenLog::Table& table : entry.tables) {
        if ((!connection || table.connection == connection) && table.filePath == uri)
            table.stamps = stamps;
    }
}

std::shared_ptr<SqliteModificationManager> OpenTables::takeLog(OpenLog& entry)
{
    const MutexLock held(mutex);
    entry.changed();
    return std::exchange(entry.manager, nullptr);
}

std::shared_ptr<SqliteModificationManager> OpenTables::takeLog(OpenLog& entry, const SqliteModificationManager* manager)
{
    const MutexLock held(mutex);
    if (entry.manager.get() != manager)
        return nullptr;
    entry.changed();
    return std::exchange(entry.manager, nullptr);
}

void OpenTables::setFirstLabel(OpenLog& entry, const std::optional<QString>& label)
{
    const MutexLock held(mutex);
    entry.firstLabel = label;
}

std::optional<QString> OpenTables::takeFirstLabel(OpenLog& entry)
{
    const MutexLock held(mutex);
    return std::exchange(entry.firstLabel, std::nullopt);
}

bool OpenTables::rename(const std::shared_ptr<OpenLog>& entry, const QString& newName)
{
    const MutexLock held(mutex);
    const QString oldKey = identifierKey(entry->name), newKey = identifierKey(newName);
    if (newKey != oldKey && logs.contains(newKey))
        return false;
    if (logs.value(oldKey) == entry)
        logs.remove(oldKey);
    entry->name = newName;
    logs.insert(newKey, entry);
    entry->changed();
    return true;
}
