// Registry and factory. Leftovers of a process that ended without tearing its
// tables down are cleared when a table of that name gets a new log.
#include "store/modification_manager_factory.h"

#include "changelog/sqlite_modification_manager.h"
#include "common/error_pair.h"
#include "store/identifiers.h"
#include "store/savepoint.h"

#include <QDir>
#include <QFileInfo>

namespace {

QString historyDatabasePath()
{
    return QDir::homePath() + QStringLiteral("/transactions.sqlite");
}

const QString logSuffixes[] = {QStringLiteral("insertedOrUpdatedRows"), QStringLiteral("deletedRows"),
                               QStringLiteral("history")};

} // namespace

ModificationManagerFactory& ModificationManagerFactory::instance()
{
    static ModificationManagerFactory factory(historyDatabasePath());
    return factory;
}

ModificationManagerFactory::ModificationManagerFactory(const QString& path) : SqliteDatabase(path, true)
{
    // WAL makes each autocommit write cheap; where the file system refuses it
    // the database stays in its default mode.
    // Another connection holding the file makes statements wait this long
    // before they fail with "database is locked".
    executeQuery(QStringLiteral("PRAGMA busy_timeout=5000;"), {});
    executeQuery(QStringLiteral("PRAGMA journal_mode=WAL;"), {});
    executeQuery(QStringLiteral("PRAGMA synchronous=NORMAL;"), {});
    executeQuery(QStringLiteral("CREATE TABLE IF NOT EXISTS ombrixOpenedTables (uri string PRIMARY KEY,name "
                                "string NOT NULL,currentHistoryID INTEGER NOT NULL);"),
                 {});
}

ModificationManagerFactory::~ModificationManagerFactory()
{
    // Tables still open at exit outlive the factory and may end after Qt's
    // own statics, when their kept statements could no longer be released.
    for (const std::weak_ptr<ModificationManager>& owner : qAsConst(owners)) {
        if (auto database = std::dynamic_pointer_cast<SqliteDatabase>(owner.lock()))
            database->dropPreparedStatements();
    }
    dropPreparedStatements();
    if (!connection.isOpen())
        return;
    try {
        executeQuery(QStringLiteral("DROP TABLE ombrixOpenedTables"), {});
    } catch (...) {
        // Nobody is left to report to at unload.
    }
}

bool ModificationManagerFactory::hasLiveOwner(const QString& name) const
{
    auto owner = owners.constFind(identifierKey(name));
    return owner != owners.constEnd() && !owner->expired();
}

// Drops the log tables and registry rows a dead owner of name left behind.
void ModificationManagerFactory::removeLeftovers(const QString& name)
{
    for (const QString& suffix : logSuffixes)
        executeQuery(QStringLiteral("DROP TABLE IF EXISTS ") + quotedIdentifier(name + suffix) + QLatin1Char(';'),
                     {});
    executeQuery(QStringLiteral("DELETE FROM ombrixOpenedTables WHERE name = ? COLLATE NOCASE;"),
                 {QVariant(name)});
}

// A registry row of uri whose table has no live owner is a leftover too.
void ModificationManagerFactory::removeLeftoverOfUri(const QString& uri)
{
    QVariant name = firstValue(QStringLiteral("SELECT name FROM ombrixOpenedTables WHERE uri = ? ;"), {QVariant(uri)});
    if (name.isValid() && !hasLiveOwner(name.toString()))
        removeLeftovers(name.toString());
}

std::shared_ptr<ModificationManager> ModificationManagerFactory::createManager(const QString& uri,
                                                                               const QString& name, bool owner)
{
    const QString tableName = name.isNull() ? QFileInfo(uri).baseName() : name;
    if (!owner)
        return std::make_shared<SqliteModificationManager>(connection, tableName, false);

    if (hasLiveOwner(tableName)) {
        throw errorWithText(SQLITE_INTERNAL,
                            (QStringLiteral("Table ") + tableName +
                             QStringLiteral(" already has a change log open in this process"))
                                .toUtf8()
                                .constData());
    }
    // Everything below is undone together when any statement fails, the
    // teardown of a manager released on the way included.
    Savepoint savepoint(*this);
    removeLeftovers(tableName);
    removeLeftoverOfUri(uri);
    auto manager = std::make_shared<SqliteModificationManager>(connection, tableName, true);
    executeQuery(QStringLiteral("INSERT INTO ombrixOpenedTables VALUES (?, ?, ?);"),
                 {QVariant(uri), QVariant(name), QVariant(1)});
    savepoint.release();
    owners.insert(identifierKey(tableName), manager);
    return manager;
}

std::shared_ptr<ModificationManager> ModificationManagerFactory::findManager(const QString& name)
{
    QVariant uri = firstValue(QStringLiteral("SELECT uri FROM ombrixOpenedTables WHERE name = ? ;"), {QVariant(name)});
    if (!uri.isValid())
        return nullptr;
    // The table's own manager, when it lives in this process, works on the same
    // rows and already holds them in its index.
    if (std::shared_ptr<ModificationManager> owner = owners.value(identifierKey(name)).lock())
        return owner;
    return createManager(uri.toString(), name, false);
}
