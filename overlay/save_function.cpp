// ombrix_save: a module with a writer of its files (the CSV module) saves
// through it; a module that writes its own rows (xUpdate) takes the log's net
// changes in one transaction of its own, then the history ends; any other
// module is refused, with the way out named.
#include "overlay/save_function.h"

#include "common/identifiers.h"
#include "common/inner_files.h"
#include "history/history_link.h"
#include "overlay/inner_apply.h"
#include "overlay/records.h"

#include <algorithm>
#include <exception>
#include <new>

namespace {

constexpr const char* exportRecipes = "export its rows instead, as README's \"Getting edits out\" shows";

ErrorPair refusal(int code, const std::string& message)
{
    return ErrorPair(code, QByteArray::fromStdString(message));
}

// Saves a table of a module that writes its own rows: returns the rows changed.
sqlite3_int64 saveWritable(History& history, sqlite3* db, OverlayTable& table, const NamedTable& named,
                           const char* path)
{
    if (path && canonicalFilePath(QByteArray(path)) != table.filePath)
        throw refusal(SQLITE_ERROR, "cannot save " + named.name +
                                        " to another path: its module writes its own rows, where a save puts its "
                                        "edits; to write a copy elsewhere, " +
                                        exportRecipes);
    if (!table.inner->pModule->xRollback)
        throw refusal(SQLITE_ERROR, "cannot save " + named.name +
                                        ": its module has no xRollback, so a save that fails midway could not be "
                                        "taken back; " +
                                        exportRecipes);
    if (!sqlite3_get_autocommit(db))
        throw refusal(SQLITE_ERROR, "cannot save " + named.name +
                                        " inside a transaction: its history ends at once, which a rollback could "
                                        "not bring back");
    const auto refuseReading = [&] {
        if (readersOf(history, db, *table.log, named) > 0)
            throw refusal(SQLITE_LOCKED, "cannot save " + named.name + " while a statement reads it");
    };
    refuseReading();
    requireSoleTable(history, db, *table.log, named);
    refuseOtherLogs(history, table, named);
    requireUnchangedFiles(&table);
    const std::shared_ptr<StoredChangeLog> log = logOf(&table);
    if (!log)
        return 0;
    InnerChanges changes(table, *log);
    refuseReading();
    bool applied = false;
    try {
        history.endLogWith(*table.log, table.filePath, db, [&] {
            requireSoleTable(history, db, *table.log, named);
            changes.apply();
            applied = true;
        });
    } catch (const ErrorPair& error) {
        if (!applied)
            throw;
        // The log's stored rows are the inner rows now, so the table shows
        // the same rows through it; only a row the module gave a rowid of its
        // own shows under both until the log ends.
        throw refusal(error.code(), named.name + " is saved, but its history could not be cleared (" +
                                        error.message().toStdString() + ")");
    }
    return changes.rows();
}

void saveFunction(sqlite3_context* ctx, int argc, sqlite3_value** argv)
{
    const char* name = textArgument(argv[0]);
    const char* path = argc == 2 ? textArgument(argv[1]) : nullptr;
    if (!name || (argc == 2 && (!path || !*path))) {
        sqlite3_result_error(ctx, "Usage: ombrix_save('table' [, 'path']), neither of them NULL or holding a NUL byte",
                             -1);
        return;
    }
    sqlite3* db = sqlite3_context_db_handle(ctx);
    try {
        const NamedTable named = findNamedTable(db, name);
        const std::shared_ptr<History> history = static_cast<const HistoryLink*>(sqlite3_user_data(ctx))->lock();
        OverlayTable* table = history ? overlayTableOf(*history, db, named) : nullptr;
        if (!table)
            throw refusal(SQLITE_ERROR, named.name + " is not a table of an overlay module (editable_...): it holds "
                                                     "no edits to save");
        if (table->registration->save)
            return table->registration->save(ctx, argc, argv, "ombrix_save", table->registration->history);
        if (!table->inner->pModule->xUpdate)
            throw refusal(SQLITE_ERROR, "cannot save " + named.name +
                                            ": its module writes no rows of its own and no writer of its files is "
                                            "known; " +
                                            exportRecipes);
        sqlite3_result_int64(ctx, saveWritable(*history, db, *table, named, path));
    } catch (const ErrorPair& error) {
        sqlite3_result_error(ctx, ("ombrix_save: " + error.message()).constData(), -1);
        sqlite3_result_error_code(ctx, error.code());
    } catch (const std::bad_alloc&) {
        sqlite3_result_error_nomem(ctx);
    } catch (...) {
        sqlite3_result_error(ctx, "ombrix_save: unknown error", -1);
        sqlite3_result_error_code(ctx, SQLITE_INTERNAL);
    }
}

bool hasSaveFunction(sqlite3* db)
{
    sqlite3_stmt* statement = nullptr;
    const bool found = sqlite3_prepare_v2(db, "SELECT 1 FROM pragma_function_list WHERE name = 'ombrix_save'", -1,
                                          &statement, nullptr) == SQLITE_OK &&
                       sqlite3_step(statement) == SQLITE_ROW;
    sqlite3_finalize(statement);
    return found;
}

} // namespace

// The newest overlay table of that name on db in that schema: a statement
// prepared before a schema change may hold an older one.
OverlayTable* overlayTableOf(History& history, sqlite3* db, const NamedTable& named)
{
    OpenTables& registry = history.registry();
    const std::shared_ptr<OpenName> entry = registry.find(QString::fromStdString(named.name));
    OverlayTable* found = nullptr;
    for (const OpenName::Table& open : entry ? registry.state(*entry).tables : std::vector<OpenName::Table>()) {
        auto* table = static_cast<OverlayTable*>(const_cast<void*>(open.overlay));
        if (open.connection == db && qstricmp(open.schema.constData(), named.schema.c_str()) == 0 && !table->renamed)
            found = table;
    }
    return found;
}

// Cursors open on any table of the entry on db in that schema.
int readersOf(History& history, sqlite3* db, const OpenName& entry, const NamedTable& named)
{
    int readers = 0;
    for (const OpenName::Table& open : history.registry().state(entry).tables) {
        if (open.connection == db && qstricmp(open.schema.constData(), named.schema.c_str()) == 0)
            readers += static_cast<const OverlayTable*>(open.overlay)->cursors;
    }
    return readers;
}

// Another name's log, live or kept, lies over the rows this save would write.
void refuseOtherLogs(History& history, const OverlayTable& table, const NamedTable& named)
{
    for (const LogPath& log : history.livingLogPaths()) {
        if (log.filePath == table.filePath && !sameIdentifier(log.name, QString::fromStdString(named.name)))
            throw refusal(SQLITE_CONSTRAINT, "cannot save " + named.name + ": the " + (log.kept ? "kept " : "") +
                                                 "change log of table " + log.name.toStdString() +
                                                 " lies over its rows; its edits would no longer match them");
    }
}

void requireSoleTable(History& history, sqlite3* db, const OpenName& entry, const NamedTable& table)
{
    const std::vector<OpenName::Table> open = history.registry().state(entry).tables;
    if (std::any_of(open.begin(), open.end(), [&](const auto& t) {
            return t.connection != db || qstricmp(t.schema.constData(), table.schema.c_str()) != 0;
        }))
        throw refusal(SQLITE_ERROR, "cannot save " + table.name +
                                        " over its own files while another table of that name is open, on another "
                                        "connection or in another schema: close it first");
}

// Registering a function db has already would fail while a statement runs
// (quillmere_load registers modules from inside one).
int registerSaveFunction(sqlite3* db, const HistoryLink& history)
{
    if (hasSaveFunction(db))
        return SQLITE_OK;
    for (int arguments : {1, 2}) {
        const int rc =
            sqlite3_create_function_v2(db, "ombrix_save", arguments, SQLITE_UTF8 | SQLITE_DIRECTONLY,
                                       newHistoryLink(history), saveFunction, nullptr, nullptr, deleteHistoryLink);
        if (rc != SQLITE_OK)
            return rc;
    }
    return SQLITE_OK;
}
