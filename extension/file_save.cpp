// The shared steps of the saves that write a module's file beside its target
// and rename it there, moved out of any one module's rules.
#include "extension/file_save.h"

#include "common/error_pair.h"
#include "extension/capture.h"
#include "extension/save_failure.h"
#include "extension/save_target.h"
#include "overlay/inner_cursors.h"
#include "overlay/save_function.h"

#include <QFile>

#include <cerrno>
#include <new>

SQLITE_EXTENSION_INIT3

void InnerTableCloser::operator()(sqlite3_vtab* inner) const
{
    closeKeptCursors(inner);
    (inner->pModule->xDisconnect ? inner->pModule->xDisconnect : inner->pModule->xDestroy)(inner);
}

InnerTable openInnerOver(const OverlayTable& table, const std::string& path, const std::string& what,
                         std::string& schema)
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
        throw Failure{rc, what + " cannot open " + path + ": " + why};
    inner->pModule = module;
    InnerTable opened(inner);
    schema = capture.schema();
    if (schema.empty())
        throw Failure{SQLITE_ERROR, what + " declared no columns for " + path};
    return opened;
}

std::string readWholeFile(const std::string& path)
{
    QFile file(QFile::decodeName(path.c_str()));
    if (!file.open(QIODevice::ReadOnly))
        throw Failure{SQLITE_IOERR, "cannot read " + path + ": " + file.errorString().toStdString()};
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        throw Failure{SQLITE_IOERR, "cannot read " + path + ": " + file.errorString().toStdString()};
    return bytes.toStdString();
}

FileSave::FileSave(History& history, sqlite3* db, OverlayTable& table, const NamedTable& named)
    : history(history), db(db), table(table), named(named), own(table.filePath.toStdString())
{
}

bool FileSave::checkTarget(const char* path)
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
    return ownFile;
}

void FileSave::check(bool done)
{
    if (!done)
        throw Failure{errno == ENOSPC ? SQLITE_FULL : SQLITE_CANTOPEN, error};
}

void FileSave::replaceWritten()
{
    check(out.replace(error));
}

void FileSave::refuseReading()
{
    if (readersOf(history, db, *table.log, named) > 0)
        throw Failure{SQLITE_LOCKED, "cannot save " + named.name + " while a statement reads it"};
}

void FileSave::endHistory(bool written, InnerTable reading)
{
    const auto swapInner = [&] {
        if (reading) {
            InnerTable old(table.inner);
            table.inner = reading.release();
        }
    };
    bool replaced = false;
    try {
        history.endLogWith(*table.log, table.filePath, db, [&] {
            requireSoleTable(history, db, *table.log, named);
            if (written)
                replaceWritten();
            replaced = true;
        });
    } catch (...) {
        if (!replaced)
            throw;
        const bool ended = !history.registry().logOver(*table.log, table.filePath);
        if (ended)
            swapInner();
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
                                                     "): the table goes on showing its edits over the file as it was")};
    }
    swapInner();
}

void runFileSave(sqlite3_context* ctx, int argc, sqlite3_value** argv, const char* function, const HistoryLink& link,
                 const char* module, const TableSaver& saver)
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
            throw Failure{SQLITE_ERROR, named.name + " is not a table of editable_" + module};
        sqlite3_result_int64(ctx, saver(*history, db, *table, named, path));
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
