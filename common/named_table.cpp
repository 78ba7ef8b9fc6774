// Name resolution by SQLite's own order, so that a save's rows, files and log
// all come from the one table a statement naming it would read.
#include "common/named_table.h"

#include "common/error_pair.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

// Finalizes however the lookup ends.
struct Query {
    sqlite3_stmt* handle = nullptr;
    Query(sqlite3* db, const std::string& sql)
    {
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &handle, nullptr) != SQLITE_OK)
            throw ErrorPair(sqlite3_errcode(db), QByteArray(sqlite3_errmsg(db)));
    }
    ~Query() { sqlite3_finalize(handle); }
};

std::string quoted(const std::string& name)
{
    std::string text = "\"";
    for (char c : name)
        text += c == '"' ? std::string("\"\"") : std::string(1, c);
    return text + '"';
}

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
    Query find(db,
               "SELECT 1 FROM " + quoted(schema) + ".sqlite_master WHERE type = 'table' AND name = ?1 COLLATE NOCASE");
    sqlite3_bind_text(find.handle, 1, name.c_str(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
    return sqlite3_step(find.handle) == SQLITE_ROW;
}

} // namespace

std::string qualifiedName(const NamedTable& table)
{
    return quoted(table.schema) + '.' + quoted(table.name);
}

NamedTable findNamedTable(sqlite3* db, const std::string& given)
{
    const std::vector<std::string> schemas = searchOrder(db);
    const std::size_t dot = given.find('.');
    const auto named = std::find_if(schemas.begin(), schemas.end(), [&](const std::string& schema) {
        return dot != std::string::npos &&
               sqlite3_strnicmp(schema.c_str(), given.c_str(), static_cast<int>(dot)) == 0 && schema.size() == dot;
    });
    NamedTable table;
    table.name = named != schemas.end() ? given.substr(dot + 1) : given;
    for (const std::string& schema : schemas) {
        if ((named == schemas.end() || schema == *named) && hasTable(db, schema, table.name)) {
            table.schema = schema;
            break;
        }
    }
    if (table.schema.empty())
        throw ErrorPair(SQLITE_ERROR, QByteArray::fromStdString("no such table: " + given));
    const Query connect(db, "SELECT 0 FROM " + qualifiedName(table) + " WHERE 0");
    return table;
}

const char* textArgument(sqlite3_value* value)
{
    const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(value));
    return text && !std::memchr(text, 0, static_cast<std::size_t>(sqlite3_value_bytes(value))) ? text : nullptr;
}
