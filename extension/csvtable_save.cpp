// The rules of a csvtable save: what it refuses, the file written beside its
// target and read back by csvtable itself before it takes the target's name,
// and, saved over its own file, the table then reading that file.
#include "extension/csvtable_save.h"

#include "common/error_pair.h"
#include "extension/capture.h"
#include "extension/csvtable_rows.h"
#include "extension/save_failure.h"
#include "extension/save_target.h"
#include "overlay/inner_cursors.h"
#include "overlay/save_function.h"

#include "csv/csv_writer.h"

#include <QFile>

#include <cerrno>
#include <memory>
#include <new>

SQLITE_EXTENSION_INIT3

namespace {

struct InnerTableCloser {
    void operator()(sqlite3_vtab* inner) const
    {
        closeKeptCursors(inner);
        (inner->pModule->xDisconnect ? inner->pModule->xDisconnect : inner->pModule->xDestroy)(inner);
    }
};
using InnerTable = std::unique_ptr<sqlite3_vtab, InnerTableCloser>;

// csvtable's table over path, made with the table's arguments, with the
// schema it declares.
InnerTable openInner(const OverlayTable& table, const std::string& path, std::string& schema)
{
    std::vector<QByteArray> arguments = table.arguments;
    arguments[3] = QByteArray::fromStdString(path);
    std::vector<const char*> argv;
    for (const QByteArray& argument : arguments)
        argv.push_back(argument.constData());
    const sqlite3_module* module = table.registration->innerModule;
    DeclarationCapture capture;
    sqlite3_vtab* inner = nullptr;
    char* message = nullptr;
    const int rc = (module->xConnect ? module->xConnect : module->xCreate)(
        table.db, table.registration->innerClientData, static_cast<int>(argv.size()), argv.data(), &inner, &message);
    const std::string why = message ? message : sqlite3_errstr(rc);
    sqlite3_free(message);
    if (rc != SQLITE_OK)
        throw Failure{rc, "csvtable cannot open " + path + ": " + why};
    inner->pModule = module;
    InnerTable opened(inner);
    schema = capture.schema();
    if (schema.empty())
        throw Failure{SQLITE_ERROR, "csvtable declared no columns for " + path};
    return opened;
}

sqlite3_int64 rowsOf(sqlite3_vtab* inner)
{
    const sqlite3_module* module = inner->pModule;
    sqlite3_vtab_cursor* cursor = nullptr;
    int rc = module->xOpen(inner, &cursor);
    sqlite3_int64 rows = 0;
    if (rc == SQLITE_OK) {
        cursor->pVtab = inner;
        rc = module->xFilter(cursor, 0, nullptr, 0, nullptr);
        for (; rc == SQLITE_OK && !module->xEof(cursor); ++rows)
            rc = module->xNext(cursor);
        module->xClose(cursor);
    }
    if (rc != SQLITE_OK)
        throw Failure{rc, "csvtable cannot read the saved file"};
    return rows;
}

std::string readAll(const std::string& path)
{
    QFile file(QFile::decodeName(path.c_str()));
    if (!file.open(QIODevice::ReadOnly))
        throw Failure{SQLITE_IOERR, "cannot read " + path + ": " + file.errorString().toStdString()};
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        throw Failure{SQLITE_IOERR, "cannot read " + path + ": " + file.errorString().toStdString()};
    return bytes.toStdString();
}

class CsvtableSave {
public:
    CsvtableSave(History& history, sqlite3* db, OverlayTable& table, const NamedTable& named)
        : history(history), db(db), table(table), named(named), own(table.filePath.toStdString())
    {
    }

    sqlite3_int64 save(const char* path)
    {
        const bool ownFile = isOwnPathTarget(db, &history, named.name, logOf(&table) != nullptr, own, path);
        if (ownFile && !sqlite3_get_autocommit(db))
            throw Failure{SQLITE_ERROR, "cannot save " + named.name +
                                            " over its own file inside a transaction: its history ends at once, "
                                            "which a rollback could not bring back"};
        refuseReading();
        if (ownFile) {
            requireSoleTable(history, db, *table.log, named);
            refuseOtherLogs(history, table, named);
        }
        requireUnchangedFiles(&table);
        const std::string file = readAll(own);
        const csvtable::Format format = csvtable::formatOf(table.arguments, file);
        const CsvtableFile saved = composeCsvtableFile(db, table, named, format, file);
        if (format.guessed && csvtable::guess(saved.bytes) != std::pair(format.separators, format.quotes))
            throw Failure{SQLITE_MISMATCH, "cannot save " + named.name +
                                               ": csvtable would guess other separators or quotes for the saved file; "
                                               "give them to CREATE VIRTUAL TABLE"};
        check(out.open(ownFile ? own : std::string(path), error));
        check(out.write(saved.bytes, error));
        check(out.sync(error));
        InnerTable reading = readBack(saved.rows);
        if (!ownFile) {
            check(out.replace(error));
            return saved.rows;
        }
        refuseReading();
        replaceOwn(std::move(reading));
        return saved.rows;
    }

private:
    void check(bool done)
    {
        if (!done)
            throw Failure{errno == ENOSPC ? SQLITE_FULL : SQLITE_CANTOPEN, error};
    }

    void refuseReading()
    {
        if (readersOf(history, db, *table.log, named) > 0)
            throw Failure{SQLITE_LOCKED, "cannot save " + named.name + " while a statement reads it"};
    }

    // The written file as csvtable reads it, with the table's arguments: the
    // same columns as the table's own file, and every row.
    InnerTable readBack(sqlite3_int64 rows)
    {
        std::string before, after;
        openInner(table, own, before);
        InnerTable reading = openInner(table, out.temporaryPath(), after);
        if (before != after || rowsOf(reading.get()) != rows)
            throw Failure{SQLITE_MISMATCH,
                          "cannot save " + named.name + ": csvtable would not read the saved file back as its rows (" +
                              (before != after ? "its first line would give other columns" : "another count of rows") +
                              ")"};
        return reading;
    }

    // Renames the file over the table's own and ends its history; the table
    // then reads the saved file through reading.
    void replaceOwn(InnerTable reading)
    {
        bool replaced = false;
        try {
            history.endLogWith(*table.log, table.filePath, db, [&] {
                requireSoleTable(history, db, *table.log, named);
                check(out.replace(error));
                replaced = true;
            });
        } catch (...) {
            if (!replaced)
                throw;
            const bool ended = !history.registry().logOver(*table.log, table.filePath);
            if (ended)
                swapInner(std::move(reading));
            std::string why = "unknown error";
            try {
                throw;
            } catch (const ErrorPair& failure) {
                why = failure.message().toStdString();
            } catch (const Failure& failure) {
                why = failure.message;
            } catch (...) {
            }
            throw Failure{SQLITE_ERROR, own + " is saved, but " +
                                            (ended ? "then " + why
                                                   : "the history of " + named.name + " could not be cleared (" + why +
                                                         "): the table goes on showing its edits over the file as "
                                                         "it was")};
        }
        swapInner(std::move(reading));
    }

    void swapInner(InnerTable reading)
    {
        InnerTable old(table.inner);
        table.inner = reading.release();
    }

    History& history;
    sqlite3* db;
    OverlayTable& table;
    const NamedTable& named;
    const std::string own;
    csvfile::ReplacingFile out;
    std::string error;
};

} // namespace

void saveCsvtableTable(sqlite3_context* ctx, int argc, sqlite3_value** argv, const char* function,
                       const HistoryLink& link)
{
    const char* name = textArgument(argv[0]);
    const char* path = argc == 2 ? textArgument(argv[1]) : nullptr;
    const std::string prefix = std::string(function) + ": ";
    if (!name || (argc == 2 && (!path || !*path))) {
        sqlite3_result_error(
            ctx, (prefix + "usage: " + function + "('table' [, 'path']), neither NULL nor holding a NUL byte").c_str(),
            -1);
        return;
    }
    sqlite3* db = sqlite3_context_db_handle(ctx);
    Failure failure{SQLITE_OK, {}};
    try {
        const NamedTable named = findNamedTable(db, name);
        const std::shared_ptr<History> history = link.lock();
        OverlayTable* table = history ? overlayTableOf(*history, db, named) : nullptr;
        if (!table)
            throw Failure{SQLITE_ERROR, named.name + " is not a table of editable_csvtable"};
        sqlite3_result_int64(ctx, CsvtableSave(*history, db, *table, named).save(path));
        return;
    } catch (const Failure& thrown) {
        failure = thrown;
    } catch (const ErrorPair& thrown) {
        failure = Failure{thrown.code(), thrown.message().toStdString()};
    } catch (const std::bad_alloc&) {
        sqlite3_result_error_nomem(ctx);
        return;
    } catch (...) {
        failure = Failure{SQLITE_INTERNAL, "unknown error"};
    }
    sqlite3_result_error(ctx, (prefix + failure.message).c_str(), -1);
    sqlite3_result_error_code(ctx, failure.code);
}

bool isCsvtableModule(const std::string& name, const sqlite3_module* module)
{
    return sqlite3_stricmp(name.c_str(), "csvtable") == 0 && !module->xUpdate && module->xOpen && module->xFilter;
}
