// The history views, answered from what each log keeps in memory:
//
//   SELECT * FROM ombrix_tables;             -- one row per table of this process or kept log
//   SELECT * FROM ombrix_steps('t');         -- t's steps that hold changes
//   SELECT * FROM ombrix_changes('t');       -- t's rows changed from its inner table
//
// Eponymous and read-only. A table name compares as SQLite compares names;
// an unknown one is "No such table ". Each scan costs what it shows: the
// tables and the steps are listed when the scan starts, the changes are found
// one after the other, copied only when the log changes under the scan, and
// the change of a rowid asked for is looked up.
#include "functions/history_views.h"

#include "changelog/values.h"
#include "common/guard.h"
#include "common/host_records.h"
#include "common/identifiers.h"
#include "history/history.h"

#include <QByteArray>
#include <QSet>
#include <QString>

#include <limits>
#include <memory>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

namespace {

using Cell = std::variant<std::monostate, qint64, QByteArray>;

// The rows of one scan.
class Rows {
public:
    virtual ~Rows() = default;
    // Moves to the next row: false past the last. Throws ErrorPair.
    virtual bool next() = 0;
    virtual Cell cell(int column) const = 0;
};

class ListedRows : public Rows {
public:
    explicit ListedRows(std::vector<std::vector<Cell>> rows) : rows(std::move(rows)) {}
    bool next() override { return ++at < rows.size(); }
    Cell cell(int column) const override { return rows[at][static_cast<size_t>(column)]; }

private:
    std::vector<std::vector<Cell>> rows;
    size_t at = std::numeric_limits<size_t>::max();
};

Cell text(const QString& value)
{
    return value.isNull() ? Cell() : Cell(value.toUtf8());
}

// A file path, as the bytes it is.
Cell path(const QByteArray& value)
{
    return value.isNull() ? Cell() : Cell(value);
}

Cell optional(const std::optional<qint64>& value)
{
    return value ? Cell(*value) : Cell();
}

// The log a view of one table reads: the log of its entry, or one kept that
// no process holds, read without taking it up; neither for an open table
// nobody has written to yet. With oneRowid, the scan shows the row of rowid
// alone, and none when the value given names no rowid.
struct Named {
    HistoryLink history;
    sqlite3* db;
    QString name;
    std::shared_ptr<OpenLog> entry;
    std::shared_ptr<SqliteModificationManager> kept;
    bool oneRowid = false;
    std::optional<qint64> rowid;
};

const char* const stepStates[] = {"applied", "open", "undone"};
const char* const changeKinds[] = {"insert", "update", "delete"};

// Tables of this process, then kept logs that no table of it has open; such
// a log shows its position only: its counts are read when a table takes it up.
std::unique_ptr<Rows> listTables(const Named& named)
{
    std::vector<std::vector<Cell>> rows;
    const std::shared_ptr<History> held = named.history.lock();
    if (!held)
        return std::make_unique<ListedRows>(std::move(rows));
    History& history = *held;
    const std::vector<KeptLog> kept = history.keptLogs();
    QSet<QString> keptNames, listed;
    for (const KeptLog& log : kept)
        keptNames.insert(identifierKey(log.name));
    const auto holder = [&history](const QString& name) {
        const bool elsewhere = history.file().opened() && history.ownedElsewhere(name);
        return elsewhere ? Cell(QByteArray("elsewhere")) : Cell();
    };
    for (const std::shared_ptr<OpenLog>& entry : history.registry().entries()) {
        const LogState state = history.registry().state(*entry);
        ModificationManager::Summary log{std::nullopt, 0, 0, 0, 0, 0, true};
        if (state.manager)
            log = state.manager->summary();
        const bool modified = log.inserted + log.updated + log.deleted > 0;
        const QString key = identifierKey(state.name);
        listed.insert(key);
        rows.push_back({text(state.name), path(state.filePath), optional(log.position), log.undoSteps, log.redoSteps,
                        log.inserted, log.updated, log.deleted, qint64(modified), qint64(log.clean),
                        qint64(keptNames.contains(key)),
                        state.manager ? Cell(QByteArray("here")) : holder(state.name)});
    }
    for (const KeptLog& log : kept) {
        if (listed.contains(identifierKey(log.name)))
            continue;
        rows.push_back({text(log.name), path(log.uri), optional(log.position), Cell(), Cell(), Cell(), Cell(), Cell(),
                        Cell(), Cell(), qint64(1), holder(log.name)});
    }
    return std::make_unique<ListedRows>(std::move(rows));
}

std::unique_ptr<Rows> listSteps(const Named& named)
{
    std::vector<std::vector<Cell>> rows;
    std::shared_ptr<SqliteModificationManager> manager = named.kept;
    if (named.entry)
        manager = History::require(named.history)->registry().manager(*named.entry);
    if (manager) {
        for (const ModificationManager::StepSummary& step : manager->steps())
            rows.push_back({qint64(step.step), QByteArray(stepStates[int(step.state)]), step.inserted, step.updated,
                            step.deleted, step.label ? text(*step.label) : Cell()});
    }
    return std::make_unique<ListedRows>(std::move(rows));
}

// The changes as the log stood when the scan began (see
// ModificationManager::listChanges), or the one change of a rowid asked for,
// with the row's values before and after as JSON, read when asked for. A held
// log's listing ends with the log; a kept one's fails once a process takes
// the log up.
class ChangeRows : public Rows {
public:
    explicit ChangeRows(const Named& named)
        : named(named),
          manager(named.entry ? History::require(named.history)->registry().manager(*named.entry) : named.kept),
          listing(manager && !named.oneRowid ? manager->listChanges() : nullptr)
    {
        if (manager && named.rowid)
            only = manager->changeOf(*named.rowid);
        // Rows are read in one snapshot of the file while no write comes between.
        if (manager)
            manager->file().startReading();
    }

    ~ChangeRows() override
    {
        if (manager)
            manager->file().stopReading();
    }

    bool next() override
    {
        if (!listing && !only)
            return false;
        const std::shared_ptr<History> history = History::require(named.history);
        if (named.kept)
            history->stillUnheld(named.name);
        else if (history->registry().manager(*named.entry) != manager)
            return false;
        const std::optional<ModificationManager::RowChange> found =
            listing ? listing->next() : std::exchange(only, std::nullopt);
        if (found)
            change = *found;
        return found.has_value();
    }

    Cell cell(int column) const override
    {
        switch (column) {
        case 0:
            return optional(change.rowid);
        case 1:
            return optional(change.originalRowid);
        case 2:
            return QByteArray(changeKinds[int(change.kind)]);
        case 3:
            return change.originalRowid ? innerRow(*change.originalRowid) : Cell();
        default:
            return change.rowid ? storedRow(*change.rowid) : Cell();
        }
    }

private:
    Cell storedRow(qint64 rowid) const
    {
        RowSnapshot row;
        if (!manager->readRow(rowid, row, nullptr))
            return Cell();
        QList<QVariant> values;
        for (int column = 0; column < row.count(); ++column)
            values.append(row.value(column));
        return jsonFromRow(values);
    }

    // The log holds no values of the inner rows: they are read from the
    // inner table, through a table over the log's files open on the
    // connection that reads the view; without one they are unknown.
    Cell innerRow(qint64 rowid) const
    {
        const std::shared_ptr<History> history = named.history.lock();
        if (!named.entry || !history)
            return Cell();
        const LogState log = history->registry().state(*named.entry);
        // The table opened last: one that statements prepared before a
        // schema change still hold is not the one a query reaches now.
        for (auto at = log.tables.rbegin(); at != log.tables.rend(); ++at) {
            const OpenLog::Table& table = *at;
            if (table.connection != named.db || table.filePath != log.filePath || !table.innerRows)
                continue;
            const std::optional<QList<QVariant>> values = table.innerRows->innerRow(rowid);
            return values ? Cell(jsonFromRow(*values)) : Cell();
        }
        return Cell();
    }

    Named named;
    std::shared_ptr<SqliteModificationManager> manager;
    std::unique_ptr<ModificationManager::ChangeListing> listing;
    std::optional<ModificationManager::RowChange> only;
    ModificationManager::RowChange change{};
};

std::unique_ptr<Rows> listChanges(const Named& named)
{
    return std::make_unique<ChangeRows>(named);
}

// One view: its name, its columns, the hidden one that takes the table name
// and the one that shows rowids the log can look up (-1 for none), the rows
// a listing shows as the planner guesses them, and its rows.
struct View {
    const char* name;
    const char* schema;
    int argumentColumn;
    int rowidColumn;
    double rowsGuessed;
    std::unique_ptr<Rows> (*list)(const Named& named);
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
    std::unique_ptr<Rows> rows;
    bool atEnd;
    sqlite3_int64 rowid;
};

const View& viewOf(sqlite3_vtab_cursor* cursor)
{
    return *reinterpret_cast<ViewTable*>(cursor->pVtab)->view;
}

// The table a view names: its entry when it has a log, else its kept log
// when one waits that no table holds, even where connecting the table was
// refused (its files changed); else its entry, without a log.
Named namedLog(const HistoryLink& link, sqlite3* db, const View& view, int argc, sqlite3_value** argv)
{
    if (argc < 1)
        throw ErrorPair(SQLITE_ERROR,
                        QStringLiteral("Usage: SELECT * FROM %1('Table_Name')").arg(QString::fromUtf8(view.name)));
    auto text = reinterpret_cast<const char*>(sqlite3_value_text(argv[0]));
    const std::shared_ptr<History> held = link.lock();
    if (!text || !held)
        throw noSuchTable();
    Named named{link, db, QString::fromUtf8(text, sqlite3_value_bytes(argv[0])), nullptr, nullptr, false, std::nullopt};
    History& history = *held;
    std::optional<ErrorPair> refused;
    try {
        named.entry = findTable(history, db, named.name);
    } catch (const ErrorPair& error) {
        refused = error;
    }
    if (named.entry && history.registry().manager(*named.entry))
        return named;
    named.kept = history.readKeptLog(named.name);
    if (named.kept) {
        named.entry = nullptr;
        return named;
    }
    // A table of this process took the log up meanwhile.
    if (history.heldHere(named.name)) {
        named.entry = history.registry().find(named.name);
        return named;
    }
    if (refused)
        throw *refused;
    if (!named.entry)
        throw noSuchTable();
    return named;
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
        Named named = view.argumentColumn >= 0 ? namedLog(table->history, table->db, view, argc, argv)
                                               : Named{table->history, table->db, {}, {}, {}, false, std::nullopt};
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
        const Cell cell = cursor->rows->cell(column);
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

std::shared_ptr<OpenLog> findTable(History& history, sqlite3* db, const QString& name)
{
    OpenTables& registry = history.registry();
    if (std::shared_ptr<OpenLog> entry = registry.find(name))
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
