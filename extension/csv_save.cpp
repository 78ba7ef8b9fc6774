// csv_save: writes what a CSV table shows to a file, or saves it over its own
// file, as an editor saves: then the table reads the saved file and its change
// log ends.
#include <sqlite3ext.h>

#include "extension/csv_save.h"

#include "common/error_pair.h"
#include "csv/csv_module.h"
#include "extension/csv_saver.h"
#include "extension/save_failure.h"
#include "extension/save_target.h"
#include "history/history_link.h"
#include "overlay/save_function.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include <sys/stat.h>

SQLITE_EXTENSION_INIT3

namespace {

// What an exception thrown while saving tells the caller.
Failure failureOf(const std::exception_ptr& thrown)
{
    try {
        std::rethrow_exception(thrown);
    } catch (const Failure& failure) {
        return failure;
    } catch (const ErrorPair& error) {
        return Failure{error.code(), error.message().toStdString()};
    } catch (const std::bad_alloc&) {
        return Failure{SQLITE_NOMEM, "out of memory"};
    } catch (const std::exception& error) {
        return Failure{SQLITE_INTERNAL, error.what()};
    } catch (...) {
        return Failure{SQLITE_INTERNAL, "unknown error"};
    }
}

// Whether target names the file the table opened.
bool isOwnFile(const csvfile::CsvFile& file, const std::string& target)
{
    struct stat opened {
    }, named{};
    return ::fstat(file.fd, &opened) == 0 && ::stat(target.c_str(), &named) == 0 && opened.st_dev == named.st_dev &&
           opened.st_ino == named.st_ino;
}

// Saves the table over the file it reads, as an editor saves: afterwards the
// table reads the saved file (rowids 1..n in file order) and its history is
// gone, since the log's rowids and rows describe the file as it was.
sqlite3_int64 saveOwnFile(sqlite3* db, const SavedTable& table)
{
    const csvfile::CsvFile& file = *table.file;
    if (!sqlite3_get_autocommit(db))
        throw Failure{SQLITE_ERROR, "cannot save " + table.name +
                                        " over its own file inside a transaction: its history "
                                        "ends at once, which a rollback could not bring back"};
    if (!isOwnFile(file, file.path))
        throw Failure{SQLITE_ERROR, file.path + " is no longer the file " + table.name +
                                        " opened (it was moved or replaced since): save to another path"};
    const auto refuseReading = [&] {
        if (csvCursorsOf(db, table.schema, table.name) > 0)
            throw Failure{SQLITE_LOCKED, "cannot save " + table.name + " over its own file while a statement reads it"};
    };
    refuseReading();
    const QByteArray filePath = QByteArray::fromStdString(file.path);
    const std::shared_ptr<OpenName>& entry = table.entry;
    if (entry)
        requireSoleTable(*table.history, db, *entry, table);
    Saver saver(db, table);
    const sqlite3_int64 written = saver.write(file.path);
    csvfile::CsvFile saved;
    std::string error;
    if (!saved.open(saver.temporaryPath(), file.options, error))
        throw Failure{SQLITE_IOERR, error};
    if (saved.columns != file.columns || static_cast<sqlite3_int64>(saved.rows.size()) != written)
        throw Failure{SQLITE_ERROR, "cannot save " + table.name +
                                        " over its own file: the file written does not read back "
                                        "as its rows; save to another path"};
    saved.name = file.name;
    saved.path = file.path;
    refuseReading();
    bool replaced = false;
    const auto replace = [&] {
        if (entry)
            requireSoleTable(*table.history, db, *entry, table);
        saver.replace();
        replaced = true;
    };
    try {
        if (entry)
            table.history->endLogWith(*entry, filePath, db, replace);
        else
            replace();
    } catch (...) {
        if (!replaced)
            throw;
        // The file is saved: the table reads it unless its log could not end.
        const bool ended = !entry || !table.history->registry().logOver(*entry, filePath);
        if (ended)
            csvSwapFile(db, table.schema, table.name, saved);
        const Failure failure = failureOf(std::current_exception());
        throw Failure{failure.code,
                      file.path + " is saved, but " +
                          (ended ? "then " + failure.message
                                 : "the history of " + table.name + " could not be cleared (" + failure.message +
                                       "): the table goes on showing its edits over the file as it was")};
    }
    // Unreachable while refuseReading holds: nothing since has opened a cursor.
    if (!csvSwapFile(db, table.schema, table.name, saved))
        throw Failure{SQLITE_LOCKED, file.path + " is saved, but a statement that reads " + table.name +
                                         " keeps it on the file as it was until it is opened again"};
    return written;
}

} // namespace

void saveCsvTable(sqlite3_context* ctx, int argc, sqlite3_value** argv, const char* function,
                  const HistoryLink& history)
{
    const char* name = textArgument(argv[0]);
    const char* path = argc == 2 ? textArgument(argv[1]) : nullptr;
    if (!name || (argc == 2 && (!path || !*path))) {
        sqlite3_result_error(
            ctx,
            (std::string("Usage: ") + function + "('table' [, 'path']), neither of them NULL or holding a NUL byte")
                .c_str(),
            -1);
        return;
    }
    sqlite3* db = sqlite3_context_db_handle(ctx);
    try {
        const SavedTable table = findSavedTable(db, name, history);
        if (isOwnFileTarget(db, table, path)) {
            sqlite3_result_int64(ctx, saveOwnFile(db, table));
        } else {
            Saver saver(db, table);
            const sqlite3_int64 written = saver.write(path);
            saver.replace();
            sqlite3_result_int64(ctx, written);
        }
    } catch (...) {
        try {
            const Failure failure = failureOf(std::current_exception());
            if (failure.code != SQLITE_NOMEM) {
                sqlite3_result_error(ctx, (function + (": " + failure.message)).c_str(), -1);
                sqlite3_result_error_code(ctx, failure.code);
                return;
            }
        } catch (...) {
        }
        sqlite3_result_error_nomem(ctx);
    }
}

namespace {

void csvSave(sqlite3_context* ctx, int argc, sqlite3_value** argv)
{
    saveCsvTable(ctx, argc, argv, "csv_save", *static_cast<const HistoryLink*>(sqlite3_user_data(ctx)));
}

} // namespace

int registerCsvSave(sqlite3* db, const HistoryLink& history)
{
    for (int arguments : {1, 2}) {
        const int rc =
            sqlite3_create_function_v2(db, "csv_save", arguments, SQLITE_UTF8 | SQLITE_DIRECTONLY,
                                       newHistoryLink(history), csvSave, nullptr, nullptr, deleteHistoryLink);
        if (rc != SQLITE_OK)
            return rc;
    }
    return SQLITE_OK;
}
