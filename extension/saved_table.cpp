// Finds the table csv_save names the way SQLite resolves a table name, so
// that its rows, its file and its log all come from that one table.
#include "extension/saved_table.h"

#include "csv/csv_module.h"
#include "extension/save_failure.h"
#include "history/history.h"

#include <algorithm>
#include <vector>

SQLITE_EXTENSION_INIT3

SavedTable findSavedTable(sqlite3* db, const std::string& given, const HistoryLink& history)
{
    SavedTable table;
    static_cast<NamedTable&>(table) = findNamedTable(db, given);
    table.file = csvFileOf(db, table.schema, table.name);
    if (!table.file)
        throw Failure{SQLITE_ERROR, given + " is not a table of editable_csv"};
    table.history = history.lock();
    if (!table.history)
        return table;
    OpenTables& registry = table.history->registry();
    std::shared_ptr<OpenName> entry = registry.find(QString::fromStdString(table.name));
    for (const OpenName::Table& open : entry ? registry.state(*entry).tables : std::vector<OpenName::Table>()) {
        if (open.connection == db && qstricmp(open.schema.constData(), table.schema.c_str()) == 0) {
            table.entry = entry;
            table.log = registry.logOver(*entry, open.filePath);
        }
    }
    return table;
}
