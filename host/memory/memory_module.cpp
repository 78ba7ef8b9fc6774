// The in-memory module: rowids 1..n in order, cursors positioned on the first
// row by xOpen, and past the end a rowid that keeps counting up.
#include "memory_module.h"

#include <string_view>

namespace memory_module {
namespace {

struct State {
    std::map<std::string, TableData> tables;
    std::map<std::string, Faults> faults;
    CallRecord calls;
};

State& state()
{
    static State instance;
    return instance;
}

struct Table {
    sqlite3_vtab base;
    std::string name;
    TableData data;
    Faults faults;
};

struct Cursor {
    sqlite3_vtab_cursor base;
    Table* table;
    sqlite3_int64 rowid; // 1-based; past the end it keeps counting
    sqlite3_int64 last;  // the last rowid this scan visits
    bool filtered;
};

std::string pathFromArgument(const char* argument)
{
    std::string_view text(argument);
    while (!text.empty() && text.front() == ' ')
        text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ')
        text.remove_suffix(1);
    if (text.size() >= 2 && text.front() == '\'' && text.back() == '\'')
        text = text.substr(1, text.size() - 2);
    return std::string(text);
}

std::string quotedIdentifier(const std::string& name)
{
    std::string quoted = "\"";
    for (char c : name) {
        quoted += c;
        if (c == '"')
            quoted += '"';
    }
    return quoted + "\"";
}

int xCreate(sqlite3* db, void* clientData, int argc, const char* const* argv,
            sqlite3_vtab** ppVtab, char** pzErr)
{
    State& s = state();
    s.calls.creates++;
    s.calls.clientData.push_back(clientData);
    s.calls.argv.emplace_back(argv, argv + argc);
    s.calls.lifecycle.push_back(std::string("create ") + argv[2]);

    std::string path = argc > 3 ? pathFromArgument(argv[3]) : std::string();
    Faults faults = s.faults.count(path) ? s.faults[path] : Faults();
    if (faults.createCode != SQLITE_OK) {
        if (!faults.createMessage.empty())
            *pzErr = sqlite3_mprintf("%s", faults.createMessage.c_str());
        return faults.createCode;
    }
    TableData data = s.tables.count(path) ? s.tables[path] : TableData{{"a", "b"}, {}};

    std::string schema = "CREATE TABLE x(";
    for (size_t i = 0; i < data.columns.size(); ++i)
        schema += (i ? ", " : "") + quotedIdentifier(data.columns[i]);
    schema += ")";
    int rc = sqlite3_declare_vtab(db, schema.c_str());
    if (rc != SQLITE_OK)
        return rc;

    auto* table = new Table{};
    table->data = std::move(data);
    table->faults = faults;
    table->name = argv[2];
    *ppVtab = &table->base;
    return SQLITE_OK;
}

int xDestroy(sqlite3_vtab* vtab)
{
    state().calls.destroys++;
    Table* table = reinterpret_cast<Table*>(vtab);
    state().calls.lifecycle.push_back("destroy " + table->name);
    sqlite3_free(table->base.zErrMsg);
    delete table;
    return SQLITE_OK;
}

int xBestIndex(sqlite3_vtab*, sqlite3_index_info* info)
{
    info->idxNum = 0;
    info->estimatedCost = 1000000;
    for (int i = 0; i < info->nConstraint; ++i) {
        const auto& c = info->aConstraint[i];
        if (c.usable && c.iColumn == -1 && c.op == SQLITE_INDEX_CONSTRAINT_EQ) {
            info->aConstraintUsage[i].argvIndex = 1;
            info->aConstraintUsage[i].omit = 1;
            info->idxNum = rowidLookupPlan;
            info->estimatedCost = 1;
            info->estimatedRows = 1;
            info->idxFlags |= SQLITE_INDEX_SCAN_UNIQUE;
            break;
        }
    }
    if (info->nOrderBy == 1 && info->aOrderBy[0].iColumn == -1 && !info->aOrderBy[0].desc)
        info->orderByConsumed = 1;
    return SQLITE_OK;
}

int xOpen(sqlite3_vtab* vtab, sqlite3_vtab_cursor** out)
{
    state().calls.opens++;
    Table* table = reinterpret_cast<Table*>(vtab);
    if (table->faults.openCode != SQLITE_OK)
        return table->faults.openCode;
    auto* cursor = new Cursor{};
    cursor->table = table;
    cursor->rowid = 1;
    cursor->last = static_cast<sqlite3_int64>(table->data.rows.size());
    *out = &cursor->base;
    return SQLITE_OK;
}

int xClose(sqlite3_vtab_cursor* base)
{
    state().calls.closes++;
    delete reinterpret_cast<Cursor*>(base);
    return SQLITE_OK;
}

int xFilter(sqlite3_vtab_cursor* base, int idxNum, const char*, int argc, sqlite3_value** argv)
{
    state().calls.filterPlans.push_back(idxNum);
    Cursor* cursor = reinterpret_cast<Cursor*>(base);
    const auto size = static_cast<sqlite3_int64>(cursor->table->data.rows.size());
    cursor->filtered = true;
    cursor->rowid = 1;
    cursor->last = size;
    if (idxNum == rowidLookupPlan && argc == 1) {
        sqlite3_int64 wanted = sqlite3_value_int64(argv[0]);
        if (wanted >= 1 && wanted <= size) {
            cursor->rowid = wanted;
            cursor->last = wanted;
        } else {
            cursor->rowid = size + 1;
        }
    }
    return SQLITE_OK;
}

int xNext(sqlite3_vtab_cursor* base)
{
    Cursor* cursor = reinterpret_cast<Cursor*>(base);
    const Faults& faults = cursor->table->faults;
    if (!cursor->filtered && faults.countingNextCode != SQLITE_OK)
        return faults.countingNextCode;
    if (cursor->filtered && faults.scanNextCode != SQLITE_OK &&
        cursor->rowid == faults.scanNextAtRowid) {
        if (!faults.scanNextMessage.empty())
            cursor->table->base.zErrMsg = sqlite3_mprintf("%s", faults.scanNextMessage.c_str());
        return faults.scanNextCode;
    }
    cursor->rowid++;
    return SQLITE_OK;
}

int xEof(sqlite3_vtab_cursor* base)
{
    Cursor* cursor = reinterpret_cast<Cursor*>(base);
    return cursor->rowid > cursor->last ? 1 : 0;
}

int xColumn(sqlite3_vtab_cursor* base, sqlite3_context* ctx, int column)
{
    Cursor* cursor = reinterpret_cast<Cursor*>(base);
    const Row& row = cursor->table->data.rows[static_cast<size_t>(cursor->rowid - 1)];
    if (column < 0 || static_cast<size_t>(column) >= row.size()) {
        sqlite3_result_null(ctx);
        return SQLITE_OK;
    }
    const Cell& cell = row[static_cast<size_t>(column)];
    if (auto* i = std::get_if<sqlite3_int64>(&cell))
        sqlite3_result_int64(ctx, *i);
    else if (auto* d = std::get_if<double>(&cell))
        sqlite3_result_double(ctx, *d);
    else if (auto* t = std::get_if<std::string>(&cell))
        sqlite3_result_text(ctx, t->data(), static_cast<int>(t->size()), SQLITE_TRANSIENT);
    else if (auto* b = std::get_if<Blob>(&cell))
        sqlite3_result_blob(ctx, b->bytes.empty() ? "" : static_cast<const void*>(b->bytes.data()),
                            static_cast<int>(b->bytes.size()), SQLITE_TRANSIENT);
    else
        sqlite3_result_null(ctx);
    return SQLITE_OK;
}

int xRowid(sqlite3_vtab_cursor* base, sqlite3_int64* rowid)
{
    *rowid = reinterpret_cast<Cursor*>(base)->rowid;
    return SQLITE_OK;
}

const sqlite3_module memoryModule = {
    1,          // iVersion
    xCreate,    // xCreate
    xCreate,    // xConnect
    xBestIndex, // xBestIndex
    xDestroy,   // xDisconnect
    xDestroy,   // xDestroy
    xOpen,      // xOpen
    xClose,     // xClose
    xFilter,    // xFilter
    xNext,      // xNext
    xEof,       // xEof
    xColumn,    // xColumn
    xRowid,     // xRowid
    nullptr,    // xUpdate
    nullptr,    // xBegin
    nullptr,    // xSync
    nullptr,    // xCommit
    nullptr,    // xRollback
    nullptr,    // xFindFunction
    nullptr,    // xRename
    nullptr,    // xSavepoint
    nullptr,    // xRelease
    nullptr,    // xRollbackTo
    nullptr,    // xShadowName
};

} // namespace

void setTable(const std::string& path, TableData data)
{
    state().tables[path] = std::move(data);
}

void setFaults(const std::string& path, Faults faults)
{
    state().faults[path] = std::move(faults);
}

void clear()
{
    state() = State();
}

CallRecord& calls()
{
    return state().calls;
}

const sqlite3_module* module()
{
    return &memoryModule;
}

} // namespace memory_module
