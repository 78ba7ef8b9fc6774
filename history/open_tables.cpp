// The registry's entries by identifier key, so that names which differ only
// in the case of ASCII letters are one entry, as they are one table to SQLite.
#include "history/open_tables.h"

#include "common/identifiers.h"

#include <algorithm>
#include <utility>

namespace {

// Replaces a value whose copies readers release on other threads. A copy moved
// in leaves the old value to be released here, in code ThreadSanitizer sees,
// rather than inside Qt's own assignment, whose count of a value's sharers it
// cannot see: it would take that release for a race with the readers' own.
template <typename Value>
void replaceShared(Value& target, Value value)
{
    target = std::move(value);
}

} // namespace

std::shared_ptr<OpenName> OpenTables::open(const QString& name, const void* holder, const OpenName::Table& table)
{
    const MutexLock held(mutex);
    std::shared_ptr<OpenName>& entry = logs[identifierKey(name)];
    if (!entry) {
        entry = std::make_shared<OpenName>();
        entry->name = name;
    }
    entry->tables.push_back(table);
    entry->holders.insert(holder);
    return entry;
}

void OpenTables::close(const std::shared_ptr<OpenName>& entry, const void* overlay)
{
    const MutexLock held(mutex);
    closeWhere(entry, [overlay](const OpenName::Table& open) { return open.overlay == overlay; });
}

void OpenTables::drop(const std::shared_ptr<OpenName>& entry, const void* connection, const QByteArray& schema)
{
    const MutexLock held(mutex);
    closeWhere(entry,
               [&](const OpenName::Table& open) { return open.connection == connection && open.schema == schema; });
}

template <typename Which>
void OpenTables::closeWhere(const std::shared_ptr<OpenName>& entry, Which&& which)
{
    entry->tables.erase(std::remove_if(entry->tables.begin(), entry->tables.end(), which), entry->tables.end());
    const QString key = identifierKey(entry->name);
    if (entry->tables.empty() && !entry->changeLog && logs.value(key) == entry)
        logs.remove(key);
}

std::vector<std::shared_ptr<OpenName>> OpenTables::releaseHolder(const void* holder)
{
    const MutexLock held(mutex);
    std::vector<std::shared_ptr<OpenName>> released;
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

std::vector<std::shared_ptr<OpenName>> OpenTables::takeAll()
{
    const MutexLock held(mutex);
    std::vector<std::shared_ptr<OpenName>> all(logs.begin(), logs.end());
    logs.clear();
    return all;
}

std::shared_ptr<OpenName> OpenTables::find(const QString& name) const
{
    const MutexLock held(mutex);
    return logs.value(identifierKey(name));
}

std::vector<std::shared_ptr<OpenName>> OpenTables::entries() const
{
    const MutexLock held(mutex);
    std::vector<std::shared_ptr<OpenName>> all(logs.begin(), logs.end());
    std::sort(all.begin(), all.end(), [](const auto& a, const auto& b) { return a->name < b->name; });
    return all;
}

LogState OpenTables::state(const OpenName& entry) const
{
    const MutexLock held(mutex);
    const QByteArray filePath =
        entry.changeLog || entry.tables.empty() ? entry.logFilePath : entry.tables.front().filePath;
    return {entry.name, filePath, entry.changeLog, entry.stamps, entry.tables};
}

QString OpenTables::name(const OpenName& entry) const
{
    const MutexLock held(mutex);
    return entry.name;
}

std::shared_ptr<StoredChangeLog> OpenTables::changeLog(const OpenName& entry) const
{
    const MutexLock held(mutex);
    return entry.changeLog;
}

std::shared_ptr<StoredChangeLog> OpenTables::logOver(const OpenName& entry, const QByteArray& filePath,
                                                     quint64* version) const
{
    const MutexLock held(mutex);
    if (version)
        *version = entry.version();
    return entry.changeLog && entry.logFilePath == filePath ? entry.changeLog : nullptr;
}

bool OpenTables::anyLog() const
{
    const MutexLock held(mutex);
    return std::any_of(logs.begin(), logs.end(), [](const auto& entry) { return entry->changeLog != nullptr; });
}

std::vector<std::shared_ptr<OpenName>> OpenTables::withLogs() const
{
    const MutexLock held(mutex);
    std::vector<std::shared_ptr<OpenName>> found;
    for (const std::shared_ptr<OpenName>& entry : logs) {
        if (entry->changeLog)
            found.push_back(entry);
    }
    return found;
}

void OpenTables::setLog(OpenName& entry, std::shared_ptr<StoredChangeLog> changeLog, const QByteArray& filePath,
                        std::vector<FileStamp> stamps)
{
    const MutexLock held(mutex);
    entry.changeLog = std::move(changeLog);
    replaceShared(entry.logFilePath, filePath);
    entry.stamps = std::move(stamps);
    entry.changed();
}

std::optional<std::vector<FileStamp>> OpenTables::stampsAtOpen(const OpenName& entry, const QByteArray& filePath,
                                                               const void* connection) const
{
    const MutexLock held(mutex);
    const OpenName::Table* found = nullptr;
    for (const OpenName::Table& table : entry.tables) {
        if (table.filePath == filePath && (!found || table.connection == connection))
            found = &table;
        if (found && found->connection == connection)
            break;
    }
    return found ? std::optional(found->stamps) : std::nullopt;
}

std::optional<std::vector<FileStamp>> OpenTables::logStamps(const OpenName& entry, const QByteArray& filePath) const
{
    const MutexLock held(mutex);
    return entry.changeLog && entry.logFilePath == filePath ? std::optional(entry.stamps) : std::nullopt;
}

void OpenTables::restamp(OpenName& entry, const void* connection, const QByteArray& filePath,
                         const std::vector<FileStamp>& stamps)
{
    const MutexLock held(mutex);
    for (OpenName::Table& table : entry.tables) {
        if ((!connection || table.connection == connection) && table.filePath == filePath)
            replaceShared(table.stamps, stamps);
    }
}

std::shared_ptr<StoredChangeLog> OpenTables::takeLog(OpenName& entry)
{
    const MutexLock held(mutex);
    entry.changed();
    return std::exchange(entry.changeLog, nullptr);
}

std::shared_ptr<StoredChangeLog> OpenTables::takeLog(OpenName& entry, const StoredChangeLog* changeLog)
{
    const MutexLock held(mutex);
    if (entry.changeLog.get() != changeLog)
        return nullptr;
    entry.changed();
    return std::exchange(entry.changeLog, nullptr);
}

void OpenTables::setFirstLabel(OpenName& entry, const std::optional<QString>& label)
{
    const MutexLock held(mutex);
    replaceShared(entry.firstLabel, label);
}

std::optional<QString> OpenTables::takeFirstLabel(OpenName& entry)
{
    const MutexLock held(mutex);
    return std::exchange(entry.firstLabel, std::nullopt);
}

bool OpenTables::rename(const std::shared_ptr<OpenName>& entry, const QString& newName)
{
    const MutexLock held(mutex);
    const QString oldKey = identifierKey(entry->name), newKey = identifierKey(newName);
    if (newKey != oldKey && logs.contains(newKey))
        return false;
    if (logs.value(oldKey) == entry)
        logs.remove(oldKey);
    replaceShared(entry->name, newName);
    logs.insert(newKey, entry);
    entry->changed();
    return true;
}
