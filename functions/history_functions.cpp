// The SQL functions ombrix_commit, ombrix_undo and ombrix_redo, which move a
// table's change log through its history, ombrix_label and ombrix_mark_clean,
// which name its steps and mark its clean state, ombrix_keep and
// ombrix_discard, which keep a log beyond its table's life and drop a kept
// one, ombrix_accept_files, which vouches for the files of a kept one, and
// the export that registers them with the history views. Inside a
// host transaction their work joins it, and rolls back with it.
#include "functions/history_functions.h"

#include "functions/history_views.h"

#include "common/identifiers.h"
#include "common/inner_files.h"
#include "common/routines.h"
#include "common/guard.h"
#include "quillmere.h"
#include "history/history_link.h"

#include <QString>

#include <memory>
#include <optional>
#include <type_traits>

namespace {

constexpr const char* usageMessage = "Usage: ombrix_undo('Table_Name', steps=1)";

QString tableNameArgument(sqlite3_value* value)
{
    auto text = reinterpret_cast<const char*>(sqlite3_value_text(value));
    return text ? QString::fromUtf8(text, sqlite3_value_bytes(value)) : QString();
}

std::optional<QString> labelArgument(sqlite3_value* value)
{
    if (sqlite3_value_type(value) == SQLITE_NULL)
        return std::nullopt;
    return tableNameArgument(value);
}

// Makes the table's overlay on this connection join the host's open transaction,
// as a write would: SQLite then tells it how the transaction ends. Without
// the table open here nothing would tell it, and the call is refused rather
// than committed behind the host's back.
void enlistTable(sqlite3* host, const LogState& entry, const HostTransaction& transaction)
{
    if (sqlite3_get_autocommit(host) || transaction.heldBy(host))
        return;
    for (const OpenName::Table& table : entry.tables) {
        if (table.connection != host)
            continue;
        const QByteArray sql = "DELETE FROM " + quotedIdentifier(QString::fromUtf8(table.schema)).toUtf8() + '.' +
                               quotedIdentifier(entry.name).toUtf8() + " WHERE 0";
        char* message = nullptr;
        int rc = sqlite3_exec(host, sql.constData(), nullptr, nullptr, &message);
        const QByteArray text(message ? message : "");
        sqlite3_free(message);
        if (rc != SQLITE_OK)
            throw ErrorPair(rc, text);
        return;
    }
    throw ErrorPair(SQLITE_ERROR, QStringLiteral("table %1 is not open on this connection, so its history cannot join "
                                                 "this connection's transaction; call this outside the transaction "
                                                 "or on a connection that has the table open")
                                      .arg(entry.name));
}

// The file path of entry's table on host, or of its first table.
QByteArray filePathOn(sqlite3* host, const LogState& entry)
{
    for (const OpenName::Table& table : entry.tables) {
        if (table.connection == host)
            return table.filePath;
    }
    return entry.filePath;
}

// Runs move on the change log of the table named by value, inside work of
// the host connection on the history transaction, where no other thread
// changes the log. A table of this process that nobody has written to yet
// has no history: withoutLog gets its entry instead, unless makeLog asks for
// its log, made now, empty.
template <typename Move, typename WithoutLog>
void moveTable(sqlite3_context* ctx, sqlite3_value* value, Move&& move, WithoutLog&& withoutLog, bool makeLog = false)
{
    const QString name = tableNameArgument(value);
    const std::shared_ptr<History> history = historyOf(ctx);
    OpenTables& registry = history->registry();
    sqlite3* host = sqlite3_context_db_handle(ctx);
    std::shared_ptr<OpenName> entry = name.isNull() ? nullptr : findTable(*history, host, name);
    if (!entry || !registry.changeLog(*entry)) {
        if (!name.isNull() && history->ownedElsewhere(name))
            throw ErrorPair(SQLITE_BUSY,
                            QStringLiteral("table %1: its change log belongs to another process").arg(name));
        if (!entry)
            throw noSuchTable();
        if (!makeLog) {
            withoutLog(*entry);
            return;
        }
    }
    const std::shared_ptr<HistoryFile::Open> file = history->file().open();
    // The history transaction begins as the first row written would begin it.
    HostTransaction& transaction = history->transaction();
    enlistTable(host, registry.state(*entry), transaction);
    if (!sqlite3_get_autocommit(host))
        transaction.enlist(file->database, host);
    {
        HostTransaction::Scope scope = HostTransaction::work(file->database, host);
        const LogState log = registry.state(*entry);
        if (!log.changeLog && !makeLog) {
            scope.keep();
            return;
        }
        const std::shared_ptr<StoredChangeLog> changeLog =
            log.changeLog ? log.changeLog : history->logFor(*entry, filePathOn(host, log), host);
        if constexpr (std::is_invocable_v<Move, OpenName&>)
            move(*entry);
        else
            move(*changeLog);
        scope.keep();
    }
    file->database.giveSpaceBack();
}

template <typename Move>
void moveTable(sqlite3_context* ctx, sqlite3_value* value, Move&& move)
{
    moveTable(ctx, value, move, [](OpenName&) {});
}

// Runs body so that no exception leaves the function: errors become the
// function's error message and code.
template <typename Body>
void guardFunction(sqlite3_context* ctx, Body&& body) noexcept
{
    char* message = nullptr;
    const int code = runGuarded(
        [&] {
            body();
            return SQLITE_OK;
        },
        [&message](char* text) { message = text; });
    if (code == SQLITE_NOMEM) {
        sqlite3_result_error_nomem(ctx);
    } else if (code != SQLITE_OK) {
        sqlite3_result_error(ctx, message ? message : sqlite3_errstr(code), -1);
        sqlite3_result_error_code(ctx, code);
    }
    sqlite3_free(message);
}

// ombrix_commit: the table, then an optional label for the step it closes.
void commitFunction(sqlite3_context* ctx, int argc, sqlite3_value** argv)
{
    guardFunction(ctx, [&] {
        const std::optional<QString> label = argc > 1 ? labelArgument(argv[1]) : std::nullopt;
        moveTable(ctx, argv[0], [&label](ChangeLog& log) { label ? log.commit(*label) : log.commit(); });
    });
}

// ombrix_label: the table and the open step's label (NULL removes it). A table
// without a log yet keeps the label for the first step it records.
void labelFunction(sqlite3_context* ctx, int, sqlite3_value** argv)
{
    guardFunction(ctx, [&] {
        const std::optional<QString> label = labelArgument(argv[1]);
        moveTable(
            ctx, argv[0], [&label](ChangeLog& log) { log.label(label); },
            [&](OpenName& entry) { historyOf(ctx)->registry().setFirstLabel(entry, label); });
    });
}

void markCleanFunction(sqlite3_context* ctx, int, sqlite3_value** argv)
{
    guardFunction(ctx, [&] { moveTable(ctx, argv[0], [](ChangeLog& log) { log.markClean(); }); });
}

// ombrix_keep: the table, then whether to keep its log (default 1). A table
// that nobody has written to yet gets its log now, empty, to carry the mark.
void keepFunction(sqlite3_context* ctx, int argc, sqlite3_value** argv)
{
    guardFunction(ctx, [&] {
        const bool kept = argc < 2 || sqlite3_value_int64(argv[1]) != 0;
        const std::shared_ptr<History> history = historyOf(ctx);
        moveTable(
            ctx, argv[0], [&](OpenName& entry) { history->keptLogs().keep(entry, kept); }, [](OpenName&) {}, kept);
    });
}

// ombrix_discard: the name of a kept log that no table has taken up. It goes at
// once, in a history transaction of its own: no table of the connection would
// tell it how a host transaction ends, so it is refused inside one.
void discardFunction(sqlite3_context* ctx, int, sqlite3_value** argv)
{
    guardFunction(ctx, [&] {
        const QString name = tableNameArgument(argv[0]);
        if (name.isNull())
            throw noSuchTable();
        sqlite3* host = sqlite3_context_db_handle(ctx);
        if (!sqlite3_get_autocommit(host))
            throw ErrorPair(SQLITE_ERROR, QStringLiteral("cannot discard the kept change log of table %1 inside a "
                                                         "transaction: it goes at once, outside any transaction")
                                              .arg(name));
        historyOf(ctx)->discard(name, host);
    });
}

// ombrix_accept_files: the name of a kept log that no table has taken up, then
// optionally the file path it is to move to, read as CREATE reads its first
// module argument. Like ombrix_discard, a history transaction of its own.
void acceptFilesFunction(sqlite3_context* ctx, int argc, sqlite3_value** argv)
{
    guardFunction(ctx, [&] {
        const QString name = tableNameArgument(argv[0]);
        if (name.isNull())
            throw noSuchTable();
        std::optional<QByteArray> path;
        if (argc > 1) {
            auto text = reinterpret_cast<const char*>(sqlite3_value_text(argv[1]));
            const QByteArray typed(text, sqlite3_value_bytes(argv[1]));
            // The file system would read a path only up to a NUL byte in it.
            if (!text || typed.isEmpty() || typed.contains('\0'))
                throw ErrorPair(SQLITE_ERROR,
                                QByteArray("Usage: ombrix_accept_files('Table_Name' [, 'file path']), the "
                                           "path not empty and without a NUL byte"));
            path = canonicalFilePath(typed);
        }
        sqlite3* host = sqlite3_context_db_handle(ctx);
        if (!sqlite3_get_autocommit(host))
            throw ErrorPair(SQLITE_ERROR, QStringLiteral("cannot accept the files of the kept change log of table %1 "
                                                         "inside a transaction: it changes at once, outside any "
                                                         "transaction")
                                              .arg(name));
        historyOf(ctx)->acceptFiles(name, path, host);
    });
}

// ombrix_undo and ombrix_redo: the table, then an optional step count.
void moveThroughHistory(sqlite3_context* ctx, int argc, sqlite3_value** argv, void (ChangeLog::*move)(qint64))
{
    if (argc < 1) {
        sqlite3_result_error(ctx, usageMessage, -1);
        return;
    }
    guardFunction(ctx, [&] {
        const qint64 steps = argc == 1 ? 1 : sqlite3_value_int64(argv[1]);
        moveTable(ctx, argv[0], [&](ChangeLog& log) { (log.*move)(steps); });
    });
}

void undoFunction(sqlite3_context* ctx, int argc, sqlite3_value** argv)
{
    moveThroughHistory(ctx, argc, argv, &ChangeLog::undo);
}

void redoFunction(sqlite3_context* ctx, int argc, sqlite3_value** argv)
{
    moveThroughHistory(ctx, argc, argv, &ChangeLog::redo);
}

struct FunctionEntry {
    const char* name;
    int argumentCount;
    void (*implementation)(sqlite3_context*, int, sqlite3_value**);
};

const FunctionEntry historyFunctions[] = {
    {"ombrix_commit", 1, commitFunction},
    {"ombrix_commit", 2, commitFunction},
    {"ombrix_undo", -1, undoFunction},
    {"ombrix_redo", -1, redoFunction},
    {"ombrix_label", 2, labelFunction},
    {"ombrix_mark_clean", 1, markCleanFunction},
    {"ombrix_keep", 1, keepFunction},
    {"ombrix_keep", 2, keepFunction},
    {"ombrix_discard", 1, discardFunction},
    {"ombrix_accept_files", 1, acceptFilesFunction},
    {"ombrix_accept_files", 2, acceptFilesFunction},
};

} // namespace

int registerHistoryFunctions(sqlite3* db, const HistoryLink& history)
{
    int result = SQLITE_OK;
    // Direct-only: SQLite refuses them in the views and triggers of a database's
    // schema; TEMP views and triggers, which it trusts, can call them. SQLite
    // frees the user data when the function goes, and at once when it fails.
    for (const FunctionEntry& function : historyFunctions) {
        int rc = sqlite3_create_function_v2(db, function.name, function.argumentCount, SQLITE_UTF8 | SQLITE_DIRECTONLY,
                                            newHistoryLink(history), function.implementation, nullptr, nullptr,
                                            deleteHistoryLink);
        if (result == SQLITE_OK)
            result = rc;
    }
    const int rc = registerHistoryViews(db, history);
    return result != SQLITE_OK ? result : rc;
}

void unregisterHistoryFunctions(sqlite3* db)
{
    for (const FunctionEntry& function : historyFunctions)
        sqlite3_create_function(db, function.name, function.argumentCount, SQLITE_UTF8, nullptr, nullptr, nullptr,
                                nullptr);
    unregisterHistoryViews(db);
}

int openHistoryDatabase(const HistoryLink& history) noexcept
{
    try {
        History::require(history)->file().open();
    } catch (const ErrorPair& error) {
        return error.code();
    } catch (...) {
        return SQLITE_INTERNAL;
    }
    return SQLITE_OK;
}

int quillmere_register_undoredo_functions(sqlite3* db)
{
    // The routines pointer is filled by wrapVirtualTableWithTransactions.
    if (!__atomic_load_n(&sqlite3_api, __ATOMIC_ACQUIRE))
        return SQLITE_MISUSE;
    const HistoryLink history = History::ofProcess();
    int rc = registerHistoryFunctions(db, history);
    // Opened now so that the host learns at once when it cannot be; the
    // functions stay registered and each call that needs it says why.
    return rc != SQLITE_OK ? rc : openHistoryDatabase(history);
}
