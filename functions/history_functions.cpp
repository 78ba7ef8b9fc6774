// The SQL functions ombrix_commit, ombrix_undo and ombrix_redo, which move a
// table's change log through its history, and the export that registers them.
#include "common/error_pair.h"
#include "overlay/guard.h"
#include "overlay/open_tables.h"
#include "overlay/routines.h"
#include "quillmere.h"
#include "store/modification_manager_factory.h"

#include <QString>

#include <memory>

namespace {

constexpr const char* usageMessage = "Usage: ombrix_undo('Table_Name', steps=1)";
constexpr const char* noSuchTableMessage = "No such table ";

// The registered table named by value, as a manager for this call. Empty when
// the table has no change log: an open overlay table nobody has written to
// yet has no history to move, and any other name is an error.
std::shared_ptr<ModificationManager> lookupManager(sqlite3_context* ctx, sqlite3_value* value)
{
    auto text = static_cast<const ushort*>(api().value_text16(value));
    const QString name = text ? QString::fromUtf16(text) : QString();
    std::shared_ptr<ModificationManager> manager = ModificationManagerFactory::instance().findManager(name);
    if (!manager && (name.isNull() || !isOverlayTableOpen(name)))
        api().result_error(ctx, noSuchTableMessage, -1);
    return manager;
}

// Runs body so that no exception leaves the function: errors become the
// function's error message and code.
template <typename Body>
void guardFunction(sqlite3_context* ctx, Body&& body) noexcept
{
    int code = SQLITE_OK;
    char* message = nullptr;
    code = runGuarded(
        [&] {
            body();
            return SQLITE_OK;
        },
        [&message](char* text) { message = text; });
    if (code == SQLITE_NOMEM) {
        api().result_error_nomem(ctx);
    } else if (code != SQLITE_OK) {
        api().result_error(ctx, message ? message : "unknown error", -1);
        api().result_error_code(ctx, code);
    }
    api().free(message);
}

int stepsArgument(int argc, sqlite3_value** argv)
{
    return argc == 1 ? 1 : api().value_int(argv[1]);
}

void commitFunction(sqlite3_context* ctx, int, sqlite3_value** argv)
{
    guardFunction(ctx, [&] {
        if (auto manager = lookupManager(ctx, argv[0]))
            manager->commit();
    });
}

// ombrix_undo and ombrix_redo: the table, then an optional step count.
void moveThroughHistory(sqlite3_context* ctx, int argc, sqlite3_value** argv,
                        void (ModificationManager::*move)(qint64))
{
    if (argc < 1) {
        api().result_error(ctx, usageMessage, -1);
        return;
    }
    guardFunction(ctx, [&] {
        const int steps = stepsArgument(argc, argv);
        if (auto manager = lookupManager(ctx, argv[0]))
            (manager.get()->*move)(steps);
    });
}

void undoFunction(sqlite3_context* ctx, int argc, sqlite3_value** argv)
{
    moveThroughHistory(ctx, argc, argv, &ModificationManager::undo);
}

void redoFunction(sqlite3_context* ctx, int argc, sqlite3_value** argv)
{
    moveThroughHistory(ctx, argc, argv, &ModificationManager::redo);
}

struct FunctionEntry {
    const char* name;
    int argumentCount;
    void (*implementation)(sqlite3_context*, int, sqlite3_value**);
};

const FunctionEntry historyFunctions[] = {
    {"ombrix_commit", 1, commitFunction},
    {"ombrix_undo", -1, undoFunction},
    {"ombrix_redo", -1, redoFunction},
};

} // namespace

int quillmere_register_undoredo_functions(sqlite3* db)
{
    // The routines pointer is filled by wrapVirtualTableWithTransactions.
    if (!sqlite3_api)
        return SQLITE_MISUSE;
    try {
        ModificationManagerFactory::instance();
    } catch (...) {
        return SQLITE_INTERNAL;
    }
    int result = SQLITE_OK;
    for (const FunctionEntry& function : historyFunctions) {
        int rc = api().create_function(db, function.name, function.argumentCount, SQLITE_UTF16, nullptr,
                                       function.implementation, nullptr, nullptr);
        if (result == SQLITE_OK)
            result = rc;
    }
    return result;
}
