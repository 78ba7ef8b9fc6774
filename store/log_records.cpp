// The records of each log in the shared tables, and the sweep of leftovers.
// A log or row whose name's lock nobody holds is what a process that died
// left; it goes unless it is kept, and then it waits to be taken up again.
#include "store/log_records.h"

#include "common/identifiers.h"
#include "store/history_tables.h"
#include "store/savepoint.h"
#include "store/statement.h"

#include <sqlite3.h>

#include <algorithm>

namespace {

// Whether SQLite reads text as a number where a column has numeric affinity:
// blanks around a decimal with an optional sign, fraction and exponent.
bool readsAsNumber(const QByteArray& bytes)
{
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

// The registry's uri and name columns are declared "string", whose numeric
// affinity would keep the path '0123' as the number 123, the same as '123':
// such a value goes in as the bytes of its text, which no affinity converts,
// any other as text, its bytes as they are.
void bindRegistryText(Statement& statement, int index, const QByteArray& bytes)
{
    if (readsAsNumber(bytes))
        statement.bindBlob(index, bytes);
    else
        statement.bindTextBytes(index, bytes);
}

QList<QVariant> logTableNames(const QString& name)
{
    QList<QVariant> names;
    for (const QString& suffix : logTableSuffixes)
        names.append(QVariant(name + suffix));
    return names;
}

const char keptLogQuery[] =
    "SELECT k.name, k.uri, (SELECT currentHistoryID FROM $registry r WHERE CAST(r.name AS TEXT) = k.name COLLATE "
    "NOCASE AND "
    "typeof(r.currentHistoryID) = 'integer' AND r.currentHistoryID BETWEEN -2147483648 AND 2147483647), "
    "CASE WHEN typeof(k.firstNewRowid) = 'integer' THEN k.firstNewRowid END FROM $keptLogs k ";

KeptLog keptLogAt(const Statement::Rows& row)
{
    return {row.text(0), row.bytes(1), row.optionalInteger(2), row.optionalInteger(3)};
}

} // namespace

namespace LogRecords {

QVariant registryName(const QString& name)
{
    const QByteArray bytes = name.toUtf8();
    return readsAsNumber(bytes) ? QVariant(bytes) : QVariant(name);
}

void addRegistryRow(SqliteDatabase& database, const QByteArray& filePath, const QString& name)
{
    Statement insert(database, onSharedTables("INSERT INTO $registry VALUES (?1, ?2, 1);"));
    bindRegistryText(insert, 1, filePath);
    bindRegistryText(insert, 2, name.toUtf8());
    insert.run();
}

bool hasRegistryRow(SqliteDatabase& database, const QString& name)
{
    return database
        .runOnce(onSharedTables("SELECT 1 FROM $registry WHERE CAST(name AS TEXT) = ? COLLATE NOCASE;"),
                 {QVariant(name)})
        .isValid();
}

QStringList namesOn(SqliteDatabase& database, const QByteArray& filePath)
{
    Statement users(database, onSharedTables("SELECT CAST(name AS TEXT) FROM $registry WHERE uri = ?1 UNION "
                                             "SELECT name FROM $keptLogs WHERE uri = ?2"));
    bindRegistryText(users, 1, filePath);
    users.bindTextBytes(2, filePath);
    QStringList names;
    Statement::Rows row(users);
    while (row.next())
        names.append(row.text(0));
    return names;
}

std::vector<LogPath> logPaths(SqliteDatabase& database)
{
    Statement query(database, onSharedTables("SELECT CAST(name AS TEXT), uri, 0 FROM $registry UNION ALL "
                                             "SELECT name, uri, 1 FROM $keptLogs"));
    std::vector<LogPath> all;
    Statement::Rows row(query);
    while (row.next())
        all.push_back({row.text(0), row.bytes(1), row.integer(2) == 1});
    return all;
}

bool hasLogTables(SqliteDatabase& database, const QString& name)
{
    return database
               .runOnce(QStringLiteral("SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name COLLATE "
                                       "NOCASE IN (?, ?, ?)"),
                        logTableNames(name))
               .toInt() == 3;
}

std::optional<KeptLog> keptLog(SqliteDatabase& database, const QString& name)
{
    Statement query(database, onSharedTables(keptLogQuery) + QStringLiteral("WHERE k.name = ?1"));
    query.bindText(1, name);
    Statement::Rows row(query);
    if (!row.next())
        return std::nullopt;
    return keptLogAt(row);
}

std::vector<KeptLog> keptLogs(SqliteDatabase& database)
{
    Statement query(database, onSharedTables(keptLogQuery) + QStringLiteral("ORDER BY k.name"));
    std::vector<KeptLog> all;
    Statement::Rows row(query);
    while (row.next())
        all.push_back(keptLogAt(row));
    return all;
}

void markKept(SqliteDatabase& database, const QString& name, const QByteArray& filePath,
              std::optional<qint64> firstNewRowid, const std::vector<FileStamp>& stamps)
{
    Savepoint savepoint(database);
    database.runOnce(onSharedTables("DELETE FROM $keptFiles WHERE name = ?;"), {QVariant(name)});
    // Paths go in as the bytes they are, valid UTF-8 or not.
    Statement mark(database, onSharedTables("INSERT OR REPLACE INTO $keptLogs VALUES (?1, ?2, ?3);"));
    mark.bindText(1, name).bindTextBytes(2, filePath);
    if (firstNewRowid)
        mark.bind(3, *firstNewRowid);
    mark.run();
    Statement file(database, onSharedTables("INSERT INTO $keptFiles VALUES (?1, ?2, ?3, ?4);"));
    for (const FileStamp& stamp : stamps)
        file.bindText(1, name).bindTextBytes(2, stamp.path).bind(3, stamp.size).bind(4, stamp.modified).run();
    savepoint.release();
}

void unmarkKept(SqliteDatabase& database, const QString& name)
{
    Savepoint savepoint(database);
    database.runOnce(onSharedTables("DELETE FROM $keptFiles WHERE name = ?;"), {QVariant(name)});
    database.runOnce(onSharedTables("DELETE FROM $keptLogs WHERE name = ?;"), {QVariant(name)});
    savepoint.release();
}

void moveLog(SqliteDatabase& database, const QString& name, const QByteArray& filePath)
{
    Savepoint savepoint(database);
    Statement registry(database,
                       onSharedTables("UPDATE $registry SET uri = ?1 WHERE CAST(name AS TEXT) = ?2 COLLATE NOCASE"));
    bindRegistryText(registry, 1, filePath);
    registry.bindText(2, name).run();
    Statement mark(database, onSharedTables("UPDATE $keptLogs SET uri = ?1 WHERE name = ?2"));
    mark.bindTextBytes(1, filePath).bindText(2, name).run();
    savepoint.release();
}

std::vector<FileStamp> keptFiles(SqliteDatabase& database, const QString& name, qint64 limit)
{
    Statement files(
        database, onSharedTables("SELECT path, size, modified FROM $keptFiles WHERE name = ?1 ORDER BY path LIMIT ?2"));
    files.bindText(1, name).bind(2, limit);
    std::vector<FileStamp> stamps;
    Statement::Rows row(files);
    while (row.next())
        stamps.push_back({row.bytes(0), row.integer(1), row.integer(2)});
    std::sort(stamps.begin(), stamps.end(), stampBefore);
    return stamps;
}

void removeLog(SqliteDatabase& database, const QString& name)
{
    Savepoint savepoint(database);
    database.forgetStatements();
    QList<QPair<QString, QString>> objects;
    {
        // SQLite's names ignore the case of ASCII letters, and so does NOCASE.
        Statement found(database, QStringLiteral("SELECT type, name FROM sqlite_master WHERE type IN ('table', 'view') "
                                                 "AND (name = ?1 COLLATE NOCASE OR name = ?2 COLLATE NOCASE OR name = "
                                                 "?3 COLLATE NOCASE)"));
        for (int i = 0; i < 3; ++i)
            found.bindText(i + 1, name + logTableSuffixes[size_t(i)]);
        Statement::Rows row(found);
        while (row.next())
            objects.append({row.text(0), row.text(1)});
    }
    for (const auto& [type, object] : objects)
        database.runOnce(QStringLiteral("DROP ") + type.toUpper() + QLatin1Char(' ') + quotedIdentifier(object));
    for (const char* table : sharedTables)
        database.runOnce(
            QStringLiteral("DELETE FROM %1 WHERE CAST(name AS TEXT) = ? COLLATE NOCASE;").arg(QLatin1String(table)),
            {QVariant(name)});
    savepoint.release();
}

bool removeLeftovers(SqliteDatabase& database, OwnerLocks& owners)
{
    QSet<QString> names;
    for (const char* table : sharedTables) {
        Statement rows(database, QStringLiteral("SELECT name FROM %1").arg(QLatin1String(table)));
        Statement::Rows row(rows);
        while (row.next())
            names.insert(row.text(0));
    }
    {
        Statement tables(database, QStringLiteral("SELECT name FROM sqlite_master WHERE type = 'table'"));
        Statement::Rows row(tables);
        while (row.next()) {
            const QString table = row.text(0);
            for (const QString& suffix : logTableSuffixes) {
                if (table.endsWith(suffix) && table.size() > suffix.size())
                    names.insert(table.left(table.size() - suffix.size()));
            }
        }
    }
    QSet<QString> kept;
    for (const KeptLog& log : keptLogs(database))
        kept.insert(identifierKey(log.name));
    bool removed = false;
    for (const QString& name : qAsConst(names)) {
        if (kept.contains(identifierKey(name)) || owners.holds(name))
            continue;
        const OwnerLocks::Claim claim(owners, name);
        if (!claim.taken())
            continue;
        removeLog(database, name);
        removed = true;
    }
    return removed;
}

} // namespace LogRecords
