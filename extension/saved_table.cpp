// Finds the table csv_save names the way SQLite resolves a table name, so
// that its rows, its file and its log all come from that one table.
#include "extension/saved_table.h"

#include "csv/csv_module.h"
#include "extension/save_failure.h"
#include "history/history.h"

#include <algorithm>
#include <vector>

SQLITE_EXTENSION_INIT3

namespace {

// Finalizes however the lookup ends.
struct Query {
    sqlite3_stmt* handle = nullptr;
    Query(sqlite3* db, const std::string& sql)
    {
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &handle, nullptr) != SQLITE_OK)
            throw Failure{sqlite3_errcode(db), sqlite3_errmsg(db)};
    }
    ~Query() { sqlite3_finalize(handle); }
};

// The databases of db in the order SQLite searches them for a table name.
std::vector<std::string> searchOrder(sqlite3* db)
{
    Query list(db, "PRAGMA database_list");
    std::vector<std::string> schemas;
    while (sqlite3_step(list.handle) == SQLITE_ROW) {
        const auto* schema = reinterpret_cast<const char*>(sqlite3_column_text(list.handle, 1));
        if (schema)
            schemas.insert(std::string(schema) == "temp" ? schemas.begin() : schemas.end(), schema);
    }
    return schemas;
}

bool hasTable(sqlite3* db, const std::string& schema, const std::string& name)
{
    Query find(db, "SELECT 1 FROM " + quotedIdentifier(schema) +
                       ".sqlite_master WHERE type = 'table' AND name = ?1 COLLATE NOCASE");
    sqlite3_bind_text(find.handle, 1, name.c_str(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
    return sqlite3_step(find.handle) == SQLITE_ROW;
}

} // namespace

std::string qualifiedName(const SavedTable& table)
{
    return quotedIdentifier(table.schema) + '.' + quotedIdentifier(table.name);
}

SavedTable findSavedTable(sqlite3* db, const std::string& given, const HistoryLink& history)
{
    const std::vector<std::string> schemas = searchOrder(db);
    const std::size_t dot = given.find('.');
    const auto named = std::find_if(schemas.begin(), schemas.end(), [&](const std::string& schema) {
        return dot != std::string::npos &&
               sqlite3_strnicmp(schema.c_str(), given.c_str(), static_cast<int>(dot)) == 0 && schema.size() == dot;
    });
    SavedTable table;
    table.name = named != schemas.end() ? given.substr(dot + 1) : given;
    for (const std::string& schema : schemas) {
        if ((named == schemas.end() || schema == *named) && hasTable(db, schema, table.name)) {
            table.schema = schema;
            break;
        }
    }
    if (table.schema.empty())
        throw Failure{SQLITE_ERROR, "no such table: " + given};
    const Query connect(db, "SELECT 0 FROM " + qualifiedName(table) + " WHERE 0");
    table.file = csvFileOf(db, table.schema, table.name);
    if (!table.file)
        throw Failure{SQLITE_ERROR, given + " is not a table of editable_csv"};
    table.history = history.lock();
    if (!table.history)
        return table;
    OpenTables& registry = table.history->registry();
    std::shared_ptr<OpenLog> entry = registry.find(QString::fromStdString(table.name));
    for (const OpenLog::Table& open : entry ? registry.state(*entry).tables : std::vector<OpenLog::Table>()) {
        if (open.connection == db && qstricmp(open.schema.constData(), table.schema.c_str()) == 0) {
            table.entry = entry;
            table.log = registry.logOver(*entry, open.filePath);
        }
    }
    return table;
}
