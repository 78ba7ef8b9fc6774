// The history views as eponymous, read-only virtual tables: their module, their
// plans and their registration; what each view shows is in view_rows.cpp.
//
//   SELECT * FROM ombrix_tables;             -- one row per table of this process or kept log
//   SELECT * FROM ombrix_steps('t');         -- t's steps that hold changes
//   SELECT * FROM ombrix_changes('t');       -- t's rows changed from its inner table
//
// A table name compares as SQLite compares names; an unknown one is "No such
// table ". Each scan costs what it shows: the tables and the steps are listed
// when the scan starts, the changes are found one after the other, copied
// only when the log changes under the scan, and the change of a rowid asked
// for is looked up.
#include "functions/history_views.h"

#include "changelog/values.h"
#include "common/guard.h"
#include "common/host_records.h"
#include "common/identifiers.h"
#include "functions/view_rows.h"
#include "history/history.h"

#include <QByteArray>
#include <QString>

#include <memory>
#include <optional>
#include <variant>

namespace {

// One view: its name, its columns, the hidden one that takes the table name
// and the one that shows rowids the log can look up (-1 for none), the rows
// a listing shows as the planner guesses them, and its rows.
struct View {
    const char* name;
    const char* schema;
    int argumentColumn;
    int rowidColumn;
    double rowsGuessed;
    std::unique_ptr<ViewRows> (*list)(const ViewSubject& named);
};

const View views[] = {
    {"ombrix_tables",
     "CREATE TABLE x(name TEXT, file_path TEXT, position INTEGER, undo_steps INTEGER, redo_steps INTEGER, inserted "
     "INTEGER, updated INTEGER, deleted INTEGER, modified INTEGER, clean INTEGER, kept INTEGER, held TEXT)",
     -1, -1, 10, listTables},
    {"ombrix_steps",
     "CREATE TABLE x(step INTEGER, state TEXT, inserted INTEGER, updated INTEGER, deleted INTEGER, label TEXT, "
     "table_name HIDDEN)",
     6, -1, 10, listSteps},
    {"ombrix_changes",
     "CREATE TABLE x(rowid INTEGER, original_rowid INTEGER, change TEXT, old_values TEXT, new_values TEXT, table_name "
     "HIDDEN)",
     5, 0, 100, listChanges},
};

// A view's client data: what it shows, over which history.
struct ViewRegistration {
    const View* view;
    HistoryLink history;
};

void deleteViewRegistration(void* registration)
{
    delete static_cast<ViewRegistration*>(registration);
}

struct ViewTable {
    sqlite3_vtab base;
    const View* view;
    HistoryLink history;
    sqlite3* db;
};

struct ViewCursor {
    sqlite3_vtab_cursor base;
    std::unique_ptr<ViewRows> rows;
    bool atEnd;
    sqlite3_int64 rowid;
};

const View& viewOf(sqlite3_vtab_cursor* cursor)
{
    return *reinterpret_cast<ViewTable*>(cursor->pVtab)->view;
}

int viewConnect(sqlite3* db, void* clientData, int, const char* const*, sqlite3_vtab** ppVtab, char**)
{
    const ViewRegistration* registration = static_cast<const ViewRegistration*>(clientData);
    const View* view = registration->view;
    int rc = sqlite3_declare_vtab(db, view->schema);
    if (rc != SQLITE_OK)
        return rc;
    // Read-only and without effects: fit for views and triggers of any schema.
    sqlite3_vtab_config(db, SQLITE_VTAB_INNOCUOUS);
    ViewTable* table = newRecord<ViewTable>();
    if (!table)
        return SQLITE_NOMEM;
    table->view = view;
    table->history = registration->history;
    table->db = db;
    *ppVtab = &table->base;
    return SQLITE_OK;
}

// The plans: a listing, or (lookUpRowid) the one row of a rowid given as an
// equality, found in the log's index. A listing costs a step per row it shows
// and shows few; a lookup costs one step. The table name, when the view takes
// one, comes first in argv and must be given as an equality: a plan that
// would have it only later is refused, one without it fails in xFilter with
// the usage. SQLite checks the rowid again: the lookup finds every row that
// may equal the value given.
constexpr int lookUpRowid = 1;

int viewBestIndex(sqlite3_vtab* vtab, sqlite3_index_info* info)
{
    const View& view = *reinterpret_cast<ViewTable*>(vtab)->view;
    int name = -1, rowid = -1;
    bool nameLater = false;
    for (int i = 0; i < info->nConstraint; ++i) {
        const auto& constraint = info->aConstraint[i];
        if (constraint.op != SQLITE_INDEX_CONSTRAINT_EQ)
            continue;
        if (view.argumentColumn >= 0 && constraint.iColumn == view.argumentColumn) {
            nameLater = nameLater || !constraint.usable;
            if (constraint.usable && name < 0)
                name = i;
        } else if (view.rowidColumn >= 0 && constraint.iColumn == view.rowidColumn && constraint.usable && rowid < 0) {
            rowid = i;
        }
    }
    if (view.argumentColumn >= 0 && name < 0) {
        info->estimatedCost = 1e12;
        return nameLater ? SQLITE_CONSTRAINT : SQLITE_OK;
    }
    int arguments = 0;
    if (name >= 0) {
        info->aConstraintUsage[name].argvIndex = ++arguments;
        info->aConstraintUsage[name].omit = 1;
    }
    if (rowid >= 0) {
        info->aConstraintUsage[rowid].argvIndex = ++arguments;
        info->idxNum = lookUpRowid;
        info->idxFlags |= SQLITE_INDEX_SCAN_UNIQUE;
        info->estimatedRows = 1;
        info->estimatedCost = 1;
    } else {
        info->estimatedRows = static_cast<sqlite3_int64>(view.rowsGuessed);
        info->estimatedCost = view.rowsGuessed;
    }
    return SQLITE_OK;
}

// The rowid a value equals as SQLite compares it with an INTEGER column: a
// number, or text that reads as one; none when no rowid can.
std::optional<qint64> rowidEqualTo(sqlite3_value* value)
{
    sqlite3_value* copy = sqlite3_value_dup(value);
    if (!copy)
        throw ErrorPair(SQLITE_NOMEM, QByteArray("out of memory"));
    std::optional<qint64> rowid;
    const int type = sqlite3_value_numeric_type(copy);
    if (type == SQLITE_INTEGER)
        rowid = sqlite3_value_int64(copy);
    else if (type == SQLITE_FLOAT)
        rowid = integralValue(sqlite3_value_double(copy));
    sqlite3_value_free(copy);
    return rowid;
}

int viewDisconnect(sqlite3_vtab* vtab)
{
    sqlite3_free(vtab->zErrMsg);
    deleteRecord(reinterpret_cast<ViewTable*>(vtab));
    return SQLITE_OK;
}

int viewOpen(sqlite3_vtab*, sqlite3_vtab_cursor** out)
{
    ViewCursor* cursor = newRecord<ViewCursor>();
    if (!cursor)
        return SQLITE_NOMEM;
    cursor->atEnd = true;
    *out = &cursor->base;
    return SQLITE_OK;
}

int viewClose(sqlite3_vtab_cursor* base)
{
    deleteRecord(reinterpret_cast<ViewCursor*>(base));
    return SQLITE_OK;
}

int viewNext(sqlite3_vtab_cursor* base)
{
    ViewCursor* cursor = reinterpret_cast<ViewCursor*>(base);
    return guardTableCallback(base->pVtab, [cursor] {
        cursor->atEnd = !cursor->rows->next();
        ++cursor->rowid;
        return SQLITE_OK;
    });
}

int viewFilter(sqlite3_vtab_cursor* base, int idxNum, const char*, int argc, sqlite3_value** argv)
{
    ViewCursor* cursor = reinterpret_cast<ViewCursor*>(base);
    const View& view = viewOf(base);
    const int rc = guardTableCallback(base->pVtab, [&] {
        cursor->atEnd = true;
        const ViewTable* table = reinterpret_cast<ViewTable*>(base->pVtab);
        ViewSubject named = view.argumentColumn >= 0
                                ? namedLog(table->history, table->db, view.name, argc, argv)
                                : ViewSubject{table->history, table->db, {}, {}, {}, false, std::nullopt};
        if (idxNum == lookUpRowid && argc > 0) {
            named.oneRowid = true;
            named.rowid = rowidEqualTo(argv[argc - 1]);
        }
        cursor->rows = view.list(named);
        return SQLITE_OK;
    });
    cursor->rowid = 0;
    return rc != SQLITE_OK ? rc : viewNext(base);
}

int viewEof(sqlite3_vtab_cursor* base)
{
    return reinterpret_cast<ViewCursor*>(base)->atEnd;
}

int viewColumn(sqlite3_vtab_cursor* base, sqlite3_context* ctx, int column)
{
    ViewCursor* cursor = reinterpret_cast<ViewCursor*>(base);
    return guardTableCallback(base->pVtab, [&] {
        const ViewCell cell = cursor->rows->cell(column);
        if (const qint64* integer = std::get_if<qint64>(&cell))
            sqlite3_result_int64(ctx, *integer);
        else if (const QByteArray* bytes = std::get_if<QByteArray>(&cell))
            sqlite3_result_text(ctx, bytes->constData(), bytes->size(), SQLITE_TRANSIENT);
        return SQLITE_OK;
    });
}

int viewRowid(sqlite3_vtab_cursor* base, sqlite3_int64* rowid)
{
    *rowid = reinterpret_cast<ViewCursor*>(base)->rowid;
    return SQLITE_OK;
}

const sqlite3_module viewModule = {
    0,              // iVersion
    nullptr,        // xCreate: eponymous only
    viewConnect,    // xConnect
    viewBestIndex,  // xBestIndex
    viewDisconnect, // xDisconnect
    viewDisconnect, // xDestroy
    viewOpen,       // xOpen
    viewClose,      // xClose
    viewFilter,     // xFilter
    viewNext,       // xNext
    viewEof,        // xEof
    viewColumn,     // xColumn
    viewRowid,      // xRowid
    nullptr,        // xUpdate: read-only
    nullptr,        // xBegin
    nullptr,        // xSync
    nullptr,        // xCommit
    nullptr,        // xRollback
    nullptr,        // xFindFunction
    nullptr,        // xRename
    nullptr,        // xSavepoint
    nullptr,        // xRelease
    nullptr,        // xRollbackTo
    nullptr,        // xShadowName
};

} // namespace

std::shared_ptr<OpenName> findTable(History& history, sqlite3* db, const QString& name)
{
    OpenTables& registry = history.registry();
    if (std::shared_ptr<OpenName> entry = registry.find(name))
        return entry;
    const QByteArray sql = "SELECT 0 FROM " + quotedIdentifier(name).toUtf8() + " WHERE 0";
    sqlite3_stmt* statement = nullptr;
    const int rc = sqlite3_prepare_v2(db, sql.constData(), -1, &statement, nullptr);
    const QByteArray message(sqlite3_errmsg(db));
    sqlite3_finalize(statement);
    if (rc != SQLITE_OK && !message.startsWith("no such table"))
        throw ErrorPair(rc, message);
    return registry.find(name);
}

int registerHistoryViews(sqlite3* db, const HistoryLink& history)
{
    int result = SQLITE_OK;
    // SQLite frees the client data when the module goes, and at once when it fails.
    for (const View& view : views) {
        const int rc = sqlite3_create_module_v2(db, view.name, &viewModule, new ViewRegistration{&view, history},
                                                deleteViewRegistration);
        if (result == SQLITE_OK)
            result = rc;
    }
    return result;
}

void unregisterHistoryViews(sqlite3* db)
{
    for (const View& view : views)
        sqlite3_create_module(db, view.name, nullptr, nullptr);
}
