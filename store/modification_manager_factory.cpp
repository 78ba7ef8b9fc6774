// Registry and factory. A log belongs to the process holding its name's lock;
// a log or registry row whose lock nobody holds is a leftover of a process
// that died, and goes when the name or its file path is used, or when this
// process ends its last log.
#include "store/modification_manager_factory.h"

#include "common/error_pair.h"
#include "common/identifiers.h"
#include "store/history_tables.h"
#include "store/savepoint.h"

#include <QDir>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlQuery>

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

namespace {

bool factoryAlive = false;

const QString logSuffixes[] = {QStringLiteral("insertedOrUpdatedRows"), QStringLiteral("deletedRows"),
                               QStringLiteral("history")};

const char historyFileName[] = "/transactions.sqlite";

// The home folder, refused when HOME does not name a folder: Qt would fall
// back to the root folder. Checked on the bytes of HOME: Qt's file names go
// through the locale's codec, which a host that never writes need not load.
QString homeFolder()
{
    const char* home = std::getenv("HOME");
    struct stat info;
    QString wrong;
    if (!home)
        wrong = QStringLiteral("HOME is not set");
    else if (!*home)
        wrong = QStringLiteral("HOME is empty");
    else if (stat(home, &info) != 0)
        wrong = QStringLiteral("HOME (%1) %2")
                    .arg(QString::fromUtf8(home),
                         errno == ENOENT ? QStringLiteral("does not exist") : QString::fromUtf8(std::strerror(errno)));
    else if (!S_ISDIR(info.st_mode))
        wrong = QStringLiteral("HOME (%1) is not a folder").arg(QString::fromUtf8(home));
    if (!wrong.isEmpty())
        throw ErrorPair(SQLITE_CANTOPEN, QStringLiteral("cannot open the history database: ") + wrong);
    return QDir::homePath();
}

std::string resolvedPath(const char* path)
{
    std::unique_ptr<char, decltype(&std::free)> resolved(realpath(path, nullptr), &std::free);
    return resolved ? std::string(resolved.get()) : std::string();
}

ErrorPair busyElsewhere(const QString& name)
{
    return ErrorPair(SQLITE_BUSY, QStringLiteral("table %1: its change log is in use by another process").arg(name));
}

} // namespace

ModificationManagerFactory& ModificationManagerFactory::instance()
{
    static ModificationManagerFactory factory;
    return factory;
}

bool ModificationManagerFactory::alive()
{
    return factoryAlive;
}

QString ModificationManagerFactory::historyPath()
{
    return homeFolder() + QLatin1String(historyFileName);
}

QString ModificationManagerFactory::historyFileAt(const char* path)
{
    const char* home = std::getenv("HOME");
    if (!path || !*path || !home || !*home)
        return QString();
    const std::string file = resolvedPath(path);
    if (file.empty() || file != resolvedPath((std::string(home) + historyFileName).c_str()))
        return QString();
    return QString::fromUtf8(file.c_str());
}

// Qt's own statics that the history connection needs are made before the
// factory is, so that at exit they are destroyed after it.
ModificationManagerFactory::ModificationManagerFactory()
{
    QSqlDatabase::connectionNames();
    QSqlDatabase::isDriverAvailable(QStringLiteral("QSQLITE"));
    QSqlQuery();
    factoryAlive = true;
}

ModificationManagerFactory::~ModificationManagerFactory()
{
    factoryAlive = false;
    if (history && history->inTransaction())
        history->rollback();
    // The process ends with these tables still open: their logs end with it.
    for (const std::shared_ptr<OpenLog>& entry : qAsConst(logs))
        endLog(*entry);
    logs.clear();
    history.reset();
    locks.reset();
}

SqliteDatabase& ModificationManagerFactory::database()
{
    if (!history)
        openDatabase();
    return *history;
}

void ModificationManagerFactory::openDatabase()
{
    const QString path = historyPath();
    std::unique_ptr<SqliteDatabase> opened;
    try {
        opened = std::make_unique<SqliteDatabase>(path);
    } catch (const ErrorPair& error) {
        // SQLite's words name no file.
        if (error.code() != SQLITE_CANTOPEN)
            throw;
        throw ErrorPair(SQLITE_CANTOPEN, QStringLiteral("cannot open the history database %1: %2")
                                             .arg(path, QString::fromUtf8(error.message())));
    }
    auto owners = std::make_unique<OwnerLocks>(path + QStringLiteral("-owners"));
    // Another connection holding the file makes statements wait this long
    // before they fail with "database is locked". Opening only reads, so that
    // a process never waits for another one's transaction to get the file.
    opened->executeQuery(QStringLiteral("PRAGMA busy_timeout=5000;"), {});
    // A new file gives freed pages back to the file system.
    if (opened->firstValue(QStringLiteral("SELECT count(*) FROM sqlite_master"), {}).toInt() == 0)
        opened->executeQuery(QStringLiteral("PRAGMA auto_vacuum=INCREMENTAL;"), {});
    if (opened->firstValue(QStringLiteral("PRAGMA journal_mode"), {}).toString() != QStringLiteral("wal"))
        opened->executeQuery(QStringLiteral("PRAGMA journal_mode=WAL;"), {});
    opened->executeQuery(QStringLiteral("PRAGMA synchronous=NORMAL;"), {});
    // Some builds of SQLite (Debian's among them) overwrite every freed page
    // with zeros, which doubles the writes of undo and dropping a log; deleted
    // rows are still cleared within pages that are written anyway.
    opened->executeQuery(QStringLiteral("PRAGMA secure_delete=FAST;"), {});
    opened->executeQuery(QStringLiteral("PRAGMA journal_size_limit=4194304;"), {});
    // Pages that edit after edit rewrites (a log's rows, its step index) are
    // copied into the file once per 32 MB of log rather than at every commit.
    opened->executeQuery(QStringLiteral("PRAGMA wal_autocheckpoint=8192;"), {});
    // Room for a large transaction's pages, which would otherwise spill into
    // the WAL file before the commit writes them again.
    opened->executeQuery(QStringLiteral("PRAGMA cache_size=-16384;"), {});
    for (const char* schema : sharedTableSchemas)
        opened->executeQuery(QString::fromLatin1(schema), {});
    history = std::move(opened);
    locks = std::move(owners);
}

// Everything the history database holds for name: call only while holding
// name's lock, so that nothing of a live process is touched.
void ModificationManagerFactory::removeLeftovers(const QString& name)
{
    Savepoint savepoint(*history);
    history->forgetStatements();
    QList<QPair<QString, QString>> objects;
    // SQLite's names ignore the case of ASCII letters, and so does NOCASE.
    QSqlQuery found = history->executeQuery(
        QStringLiteral("SELECT type, name FROM sqlite_master WHERE type IN ('table', 'view') AND (name = ? COLLATE "
                       "NOCASE OR name = ? COLLATE NOCASE OR name = ? COLLATE NOCASE)"),
        {QVariant(name + logSuffixes[0]), QVariant(name + logSuffixes[1]), QVariant(name + logSuffixes[2])});
    while (found.next())
        objects.append({found.value(0).toString(), found.value(1).toString()});
    found.finish();
    for (const auto& [type, object] : objects)
        history->executeQuery(QStringLiteral("DROP ") + type.toUpper() + QLatin1Char(' ') + quotedIdentifier(object),
                              {});
    for (const char* table : sharedTables)
        history->executeQuery(QStringLiteral("DELETE FROM %1 WHERE name = ? COLLATE NOCASE;").arg(QLatin1String(table)),
                              {QVariant(name)});
    savepoint.release();
}

// Every name the registry or a log table mentions whose lock nobody holds.
void ModificationManagerFactory::removeAllLeftovers()
{
    QSet<QString> names;
    QSqlQuery rows;
    for (const char* table : sharedTables) {
        rows = history->executeQuery(QStringLiteral("SELECT name FROM %1").arg(QLatin1String(table)), {});
        while (rows.next())
            names.insert(rows.value(0).toString());
    }
    rows = history->executeQuery(QStringLiteral("SELECT name FROM sqlite_master WHERE type = 'table'"), {});
    while (rows.next()) {
        const QString table = rows.value(0).toString();
        for (const QString& suffix : logSuffixes) {
            if (table.endsWith(suffix) && table.size() > suffix.size())
                names.insert(table.left(table.size() - suffix.size()));
        }
    }
    rows.finish();
    bool removed = false;
    for (const QString& name : qAsConst(names)) {
        if (locks->holds(name) || !locks->acquire(name))
            continue;
        try {
            removeLeftovers(name);
            removed = true;
        } catch (...) {
            locks->release(name);
            throw;
        }
        locks->release(name);
    }
    if (removed)
        history->giveSpaceBack();
}

std::shared_ptr<OpenLog> ModificationManagerFactory::openTable(const QString& name, const void* holder,
                                                               const void* connection, const QByteArray& schema,
                                                               const QString& filePath)
{
    std::shared_ptr<OpenLog>& entry = logs[identifierKey(name)];
    if (!entry) {
        entry = std::make_shared<OpenLog>();
        entry->name = name;
    }
    entry->tables.append({connection, schema, filePath});
    entry->holders.insert(holder);
    return entry;
}

void ModificationManagerFactory::closeTable(const std::shared_ptr<OpenLog>& entry, const void* connection,
                                            const QByteArray& schema) noexcept
{
    for (int i = 0; i < entry->tables.size(); ++i) {
        if (entry->tables.at(i).connection == connection && entry->tables.at(i).schema == schema) {
            entry->tables.removeAt(i);
            break;
        }
    }
    // An entry without a log or an open table is nothing to remember.
    if (entry->tables.isEmpty() && !entry->manager && logs.value(identifierKey(entry->name)) == entry)
        logs.remove(identifierKey(entry->name));
}

void ModificationManagerFactory::releaseHolder(const void* holder) noexcept
{
    for (auto at = logs.begin(); at != logs.end();) {
        OpenLog& entry = **at;
        entry.holders.remove(holder);
        if (entry.holders.isEmpty()) {
            endLog(entry);
            at = logs.erase(at);
        } else {
            ++at;
        }
    }
    closeIfIdle();
}

// A log whose tables cannot go now (another connection's transaction is open,
// or the database fails) loses its lock all the same: the next process that
// opens the file removes what is left.
void ModificationManagerFactory::endLog(OpenLog& entry) noexcept
{
    if (!entry.manager)
        return;
    if (!history->inTransaction()) {
        try {
            entry.manager->dropLog();
        } catch (...) {
        }
    }
    locks->release(entry.manager->name());
    entry.manager.reset();
    history->giveSpaceBack();
}

void ModificationManagerFactory::closeIfIdle() noexcept
{
    if (!history || history->inTransaction() || history->inUse())
        return;
    for (const std::shared_ptr<OpenLog>& entry : qAsConst(logs)) {
        if (entry->manager)
            return;
    }
    // What dead processes left is swept up here rather than when the file
    // opens, where dropping a large log would hold up the first table; a
    // table that needs a leftover's name or file path removes it at once.
    try {
        removeAllLeftovers();
    } catch (...) {
        // Another process may hold the write lock for long; the leftovers
        // stay for the next process that closes the file.
    }
    history.reset();
    locks.reset();
}

void ModificationManagerFactory::verifyLogs() noexcept
{
    for (const std::shared_ptr<OpenLog>& entry : qAsConst(logs)) {
        if (!entry->manager)
            continue;
        try {
            if (history
                    ->firstValue(QStringLiteral("SELECT 1 FROM ombrixOpenedTables WHERE name = ? ;"),
                                 {QVariant(entry->manager->name())})
                    .isValid())
                continue;
        } catch (...) {
            continue;
        }
        locks->release(entry->manager->name());
        entry->manager.reset();
    }
    closeIfIdle();
}

std::shared_ptr<OpenLog> ModificationManagerFactory::find(const QString& name) const
{
    return logs.value(identifierKey(name));
}

std::vector<std::shared_ptr<OpenLog>> ModificationManagerFactory::entries() const
{
    std::vector<std::shared_ptr<OpenLog>> all(logs.begin(), logs.end());
    std::sort(all.begin(), all.end(), [](const auto& a, const auto& b) { return a->name < b->name; });
    return all;
}

QString ModificationManagerFactory::filePathOf(const OpenLog& entry)
{
    if (entry.manager || entry.tables.isEmpty())
        return entry.uri;
    return entry.tables.first().filePath;
}

std::shared_ptr<ModificationManager> ModificationManagerFactory::findManager(const QString& name) const
{
    std::shared_ptr<OpenLog> entry = find(name);
    return entry ? entry->manager : nullptr;
}

bool ModificationManagerFactory::ownedElsewhere(const QString& name)
{
    database();
    if (locks->holds(name))
        return false;
    if (!locks->acquire(name))
        return true;
    locks->release(name);
    return false;
}

ModificationManager& ModificationManagerFactory::logFor(OpenLog& entry, const QString& uri)
{
    if (entry.manager) {
        if (entry.uri != uri)
            throw ErrorPair(SQLITE_CONSTRAINT,
                            QStringLiteral("table %1: another table of that name, on file path %2, has a change log "
                                           "open in this process")
                                .arg(entry.name, entry.uri));
        return *entry.manager;
    }
    entry.manager = createManager(uri, entry.name);
    entry.uri = uri;
    if (entry.firstLabel)
        entry.manager->label(std::exchange(entry.firstLabel, std::nullopt));
    return *entry.manager;
}

std::shared_ptr<SqliteModificationManager> ModificationManagerFactory::createManager(const QString& uri,
                                                                                     const QString& name)
{
    SqliteDatabase& db = database();
    if (!locks->acquire(name))
        throw busyElsewhere(name);
    try {
        Savepoint savepoint(db);
        removeLeftovers(name);
        QVariant holder =
            db.firstValue(QStringLiteral("SELECT name FROM ombrixOpenedTables WHERE uri = ? ;"), {QVariant(uri)});
        if (holder.isValid()) {
            const QString other = holder.toString();
            if (locks->holds(other) || !locks->acquire(other))
                throw ErrorPair(SQLITE_CONSTRAINT,
                                QStringLiteral("table %1: its file path %2 is already used by the change log of "
                                               "table %3")
                                    .arg(name, uri, other));
            removeLeftovers(other);
            locks->release(other);
        }
        auto manager = std::make_shared<SqliteModificationManager>(db, name, true);
        db.executeQuery(QStringLiteral("INSERT INTO ombrixOpenedTables VALUES (?, ?, ?);"),
                        {QVariant(uri), QVariant(name), QVariant(1)});
        savepoint.release();
        return manager;
    } catch (...) {
        locks->release(name);
        throw;
    }
}

void ModificationManagerFactory::dropLog(OpenLog& entry)
{
    if (!entry.manager)
        return;
    entry.manager->dropLog();
    locks->release(entry.manager->name());
    entry.manager.reset();
    history->giveSpaceBack();
    closeIfIdle();
}

void ModificationManagerFactory::renameLog(const std::shared_ptr<OpenLog>& entry, const QString& newName)
{
    const QString oldName = entry->name;
    const bool caseOnly = sameIdentifier(oldName, newName);
    if (!caseOnly && logs.contains(identifierKey(newName)))
        throw ErrorPair(SQLITE_ERROR, QStringLiteral("table %1 is open in this process already").arg(newName));
    if (entry->manager && caseOnly) {
        entry->manager->renameLog(newName);
    } else if (entry->manager) {
        if (!locks->acquire(newName))
            throw busyElsewhere(newName);
        try {
            Savepoint savepoint(database());
            removeLeftovers(newName);
            entry->manager->renameLog(newName);
            savepoint.release();
        } catch (...) {
            locks->release(newName);
            throw;
        }
        locks->release(oldName);
    }
    logs.remove(identifierKey(oldName));
    entry->name = newName;
    logs.insert(identifierKey(newName), entry);
}
