// Registry and factory. A log belongs to the process holding its name's lock;
// a log or registry row whose lock nobody holds is a leftover of a process
// that died, and goes when the name or its file path is used, or when this
// process ends its last log; unless it is kept, and then it waits for a table
// of its name over its file path to take it up again.
#include "registry/modification_manager_factory.h"

#include "common/error_pair.h"
#include "common/identifiers.h"
#include "store/history_tables.h"
#include "store/savepoint.h"

#include <QDir>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStringList>

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

// How a message tells the way out of a kept log that cannot be taken up.
QString discardHint(const QString& name)
{
    QString literal = name;
    literal.replace(QLatin1Char('\''), QStringLiteral("''"));
    return QStringLiteral("; to drop the kept log and its edits, run SELECT ombrix_discard('%1')").arg(literal);
}

// Whether SQLite reads text as a number where a column has numeric affinity:
// blanks around a decimal with an optional sign, fraction and exponent.
bool readsAsNumber(const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    const char* p = bytes.constData();
    const auto blank = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    const auto digits = [&p] {
        const char* start = p;
        while (*p >= '0' && *p <= '9')
            ++p;
        return p > start;
    };
    while (blank(*p))
        ++p;
    if (*p == '+' || *p == '-')
        ++p;
    bool number = digits();
    if (*p == '.') {
        ++p;
        number = digits() || number;
    }
    if (!number)
        return false;
    if (*p == 'e' || *p == 'E') {
        ++p;
        if (*p == '+' || *p == '-')
            ++p;
        if (!digits())
            return false;
    }
    while (blank(*p))
        ++p;
    return *p == '\0' && p == bytes.constData() + bytes.size();
}

// The registry's uri column is declared "string", whose numeric affinity
// would keep the path '0123' as the number 123, the same as '123': such a
// path goes in as the bytes of its text, which no affinity converts.
QVariant uriValue(const QString& uri)
{
    return readsAsNumber(uri) ? QVariant(uri.toUtf8()) : QVariant(uri);
}

// The first way in which the files now differ from those stamped, or none.
std::optional<QString> firstDifference(const std::vector<FileStamp>& then, const std::vector<FileStamp>& now)
{
    auto a = then.begin(), b = now.begin();
    while (a != then.end() || b != now.end()) {
        if (b == now.end() || (a != then.end() && a->path < b->path))
            return QStringLiteral("file %1 is gone").arg(a->path);
        if (a == then.end() || b->path < a->path)
            return QStringLiteral("file %1 appeared").arg(b->path);
        if (a->size != b->size)
            return QStringLiteral("file %1 changed size from %2 to %3 bytes").arg(a->path).arg(a->size).arg(b->size);
        if (a->modified != b->modified)
            return QStringLiteral("file %1 was modified").arg(a->path);
        ++a;
        ++b;
    }
    return std::nullopt;
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

SqliteDatabase* ModificationManagerFactory::existingDatabase() noexcept
{
    try {
        struct stat info;
        if (!history && stat(historyPath().toUtf8().constData(), &info) == 0)
            openDatabase();
    } catch (...) {
    }
    return history.get();
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
        throw ErrorPair(
            SQLITE_CANTOPEN,
            QStringLiteral("cannot open the history database %1: %2").arg(path, QString::fromUtf8(error.message())));
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
    QSet<QString> kept;
    for (const KeptLog& log : keptLogs())
        kept.insert(identifierKey(log.name));
    bool removed = false;
    for (const QString& name : qAsConst(names)) {
        if (kept.contains(identifierKey(name)) || locks->holds(name) || !locks->acquire(name))
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
    // Held apart from its slot in the registry, which a refused take-up empties.
    const std::shared_ptr<OpenLog> opened = entry;
    if (opened->manager || !existingDatabase())
        return opened;
    // A history file that cannot be read now refuses no table: the first
    // write, which needs it, says what is wrong.
    std::optional<KeptLog> kept;
    try {
        kept = keptLog(name);
    } catch (const ErrorPair&) {
    }
    if (!kept)
        return opened;
    try {
        takeUpLog(*opened, filePath, false);
    } catch (...) {
        closeTable(opened, connection, schema);
        throw;
    }
    return opened;
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
            if (!isKept(entry.manager->name()))
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
    takeUpLog(entry, uri, true);
    if (entry.firstLabel)
        entry.manager->label(std::exchange(entry.firstLabel, std::nullopt));
    return *entry.manager;
}

void ModificationManagerFactory::takeUpLog(OpenLog& entry, const QString& uri, bool create)
{
    SqliteDatabase& db = database();
    const QString name = entry.name;
    if (!locks->acquire(name))
        throw busyElsewhere(name);
    try {
        Savepoint savepoint(db);
        // Read again under the lock: the mark may have come or gone meanwhile.
        const std::optional<KeptLog> kept = keptLog(name);
        if (!kept && !create) {
            savepoint.release();
            locks->release(name);
            return;
        }
        std::shared_ptr<SqliteModificationManager> manager;
        std::vector<FileStamp> stamps = stampFiles(uri);
        if (kept) {
            manager = resumeKeptLog(name, uri, *kept, stamps);
        } else {
            removeLeftovers(name);
            claimUri(name, uri);
            manager = std::make_shared<SqliteModificationManager>(db, name, true);
            db.executeQuery(QStringLiteral("INSERT INTO ombrixOpenedTables VALUES (?, ?, ?);"),
                            {uriValue(uri), QVariant(name), QVariant(1)});
        }
        savepoint.release();
        entry.manager = std::move(manager);
        entry.uri = uri;
        entry.stamps = std::move(stamps);
    } catch (...) {
        locks->release(name);
        throw;
    }
}

std::shared_ptr<SqliteModificationManager> ModificationManagerFactory::resumeKeptLog(const QString& name,
                                                                                     const QString& uri,
                                                                                     const KeptLog& kept,
                                                                                     const std::vector<FileStamp>& now)
{
    if (kept.uri != uri)
        throw ErrorPair(SQLITE_ERROR, QStringLiteral("table %1: its kept change log was made over file path %2, not "
                                                     "%3; open the table over %2")
                                              .arg(name, kept.uri, uri) +
                                          discardHint(name));
    const QString tables[] = {name + logSuffixes[0], name + logSuffixes[1], name + logSuffixes[2]};
    const int found = history
                          ->firstValue(QStringLiteral("SELECT count(*) FROM sqlite_master WHERE type = 'table' AND "
                                                      "name COLLATE NOCASE IN (?, ?, ?)"),
                                       {QVariant(tables[0]), QVariant(tables[1]), QVariant(tables[2])})
                          .toInt();
    if (found != 3 || !kept.position)
        throw ErrorPair(SQLITE_CORRUPT, QStringLiteral("table %1: its kept change log is incomplete in the history "
                                                       "database")
                                                .arg(name) +
                                            discardHint(name));
    claimUri(name, uri);
    std::vector<FileStamp> then;
    QSqlQuery files = history->executeQuery(
        QStringLiteral("SELECT path, size, modified FROM ombrixKeptFiles WHERE name = ? ORDER BY path LIMIT ?"),
        {QVariant(name), QVariant(qint64(now.size()) + 1)});
    while (files.next())
        then.push_back({files.value(0).toString(), files.value(1).toLongLong(), files.value(2).toLongLong()});
    files.finish();
    if (const std::optional<QString> difference = firstDifference(then, now))
        throw ErrorPair(SQLITE_ERROR, QStringLiteral("table %1: cannot take up its kept change log: %2 since the log "
                                                     "began, so its edits may no longer match the rows")
                                              .arg(name, *difference) +
                                          discardHint(name));
    auto manager = std::make_shared<SqliteModificationManager>(*history, kept.name, true);
    if (kept.name != name)
        manager->renameLog(name);
    if (kept.firstNewRowid)
        manager->restoreFirstNewRowid(*kept.firstNewRowid);
    return manager;
}

void ModificationManagerFactory::claimUri(const QString& name, const QString& uri)
{
    QStringList others;
    QSqlQuery users = history->executeQuery(QStringLiteral("SELECT name FROM ombrixOpenedTables WHERE uri = ? UNION "
                                                           "SELECT name FROM ombrixKeptLogs WHERE uri = ?"),
                                            {uriValue(uri), QVariant(uri)});
    while (users.next()) {
        const QString other = users.value(0).toString();
        if (!sameIdentifier(other, name))
            others.append(other);
    }
    users.finish();
    for (const QString& other : qAsConst(others)) {
        if (locks->holds(other) || !locks->acquire(other))
            throw ErrorPair(SQLITE_CONSTRAINT,
                            QStringLiteral("table %1: its file path %2 is already used by the change log of table %3")
                                .arg(name, uri, other));
        try {
            if (isKept(other))
                throw ErrorPair(SQLITE_CONSTRAINT, QStringLiteral("table %1: its file path %2 is already used by the "
                                                                  "kept change log of table %3; open the table as "
                                                                  "%3")
                                                           .arg(name, uri, other) +
                                                       discardHint(other));
            removeLeftovers(other);
        } catch (...) {
            locks->release(other);
            throw;
        }
        locks->release(other);
    }
}

bool ModificationManagerFactory::isKept(const QString& name)
{
    return keptLog(name).has_value();
}

namespace {

const char keptLogQuery[] =
    "SELECT k.name, k.uri, (SELECT currentHistoryID FROM ombrixOpenedTables r WHERE r.name = k.name AND "
    "typeof(r.currentHistoryID) = 'integer' AND r.currentHistoryID BETWEEN -2147483648 AND 2147483647), "
    "CASE WHEN typeof(k.firstNewRowid) = 'integer' THEN k.firstNewRowid END FROM ombrixKeptLogs k ";

KeptLog keptLogAt(const QSqlQuery& row)
{
    const auto optional = [&row](int column) {
        return row.isNull(column) ? std::nullopt : std::optional<qint64>(row.value(column).toLongLong());
    };
    return {row.value(0).toString(), row.value(1).toString(), optional(2), optional(3)};
}

} // namespace

std::optional<KeptLog> ModificationManagerFactory::keptLog(const QString& name)
{
    QSqlQuery row = database().executeQuery(QString::fromLatin1(keptLogQuery) + QStringLiteral("WHERE k.name = ?"),
                                            {QVariant(name)});
    std::optional<KeptLog> kept;
    if (row.next())
        kept = keptLogAt(row);
    row.finish();
    return kept;
}

std::vector<KeptLog> ModificationManagerFactory::keptLogs()
{
    std::vector<KeptLog> all;
    if (!existingDatabase())
        return all;
    QSqlQuery rows = history->executeQuery(QString::fromLatin1(keptLogQuery) + QStringLiteral("ORDER BY k.name"), {});
    while (rows.next())
        all.push_back(keptLogAt(rows));
    rows.finish();
    return all;
}

void ModificationManagerFactory::keep(OpenLog& entry, bool kept)
{
    SqliteDatabase& db = database();
    const QString& name = entry.manager->name();
    Savepoint savepoint(db);
    db.executeQuery(QStringLiteral("DELETE FROM ombrixKeptFiles WHERE name = ?;"), {QVariant(name)});
    if (kept) {
        const std::optional<qint64> first = entry.manager->firstNewRowid();
        db.executeQuery(QStringLiteral("INSERT OR REPLACE INTO ombrixKeptLogs VALUES (?, ?, ?);"),
                        {QVariant(name), QVariant(entry.uri), first ? QVariant(*first) : QVariant()});
        for (const FileStamp& stamp : entry.stamps)
            db.executeQuery(QStringLiteral("INSERT INTO ombrixKeptFiles VALUES (?, ?, ?, ?);"),
                            {QVariant(name), QVariant(stamp.path), QVariant(stamp.size), QVariant(stamp.modified)});
    } else {
        db.executeQuery(QStringLiteral("DELETE FROM ombrixKeptLogs WHERE name = ?;"), {QVariant(name)});
    }
    savepoint.release();
}

void ModificationManagerFactory::discard(const QString& name)
{
    SqliteDatabase& db = database();
    const std::shared_ptr<OpenLog> entry = find(name);
    if (entry && entry->manager)
        throw ErrorPair(SQLITE_LOCKED, QStringLiteral("table %1: its change log is open in this process; only a kept "
                                                      "log that no table has open can be discarded (DROP TABLE "
                                                      "drops an open one)")
                                           .arg(name));
    if (!locks->acquire(name))
        throw ErrorPair(SQLITE_BUSY,
                        QStringLiteral("table %1: its kept change log is in use by another process").arg(name));
    try {
        if (!isKept(name))
            throw ErrorPair(SQLITE_ERROR, QStringLiteral("table %1 has no kept change log").arg(name));
        removeLeftovers(name);
    } catch (...) {
        locks->release(name);
        throw;
    }
    locks->release(name);
    db.giveSpaceBack();
    closeIfIdle();
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
            if (isKept(newName))
                throw ErrorPair(SQLITE_ERROR, QStringLiteral("cannot rename table %1 to %2: a kept change log of "
                                                             "that name waits in the history database")
                                                      .arg(oldName, newName) +
                                                  discardHint(newName));
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
