// The in-memory module: rowids in ascending order, by rowid or through the
// index of one column; every call checked against the cursor protocol.
#include "memory_module.h"

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <string_view>
#include <utility>

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

// Held while state() is used: tables are made and scanned on several threads at once.
std::mutex stateMutex;

template <class Change>
void record(Change change)
{
    std::lock_guard<std::mutex> locked(stateMutex);
    change(state().calls);
}

void count(int CallRecord::*counter, int by = 1)
{
    __atomic_fetch_add(&(state().calls.*counter), by, __ATOMIC_RELAXED);
}

struct Cursor;

// What a cursor of a table with latestCursorState reads at xFilter.
struct CursorState {
    static constexpr std::uint64_t live = 0x5eed5eed5eed5eed;
    std::uint64_t mark = live;
};

struct Table {
    sqlite3_vtab base;
    std::string name;
    TableData data;
    Faults faults;
    // The indexed column's values, as keyOf gives them, to their rows.
    std::multimap<std::string, size_t> index;
    bool staticValues;
    std::vector<Cursor*> cursors;
    CursorState* latest = nullptr;
};

struct Cursor {
    sqlite3_vtab_cursor base;
    Table* table;
    std::vector<size_t> visit; // row indexes, in the order of the scan
    size_t at;
    bool filtered;
    // What xColumn handed out as static values; valid until xClose.
    std::vector<std::vector<char>> buffers;
    // Counted here and added up at xClose: one count for every thread would
    // line their scans up.
    int columnReads;
    CursorState* state;
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

sqlite3_int64 rowidOf(const Table& table, size_t row)
{
    return table.data.firstRowid + static_cast<sqlite3_int64>(row) * table.data.rowidStride;
}

// Equal keys for the values SQL finds equal: an integral real keys as its
// integer; NULL keys as nothing that a looked-up value can have.
std::string keyOf(const Cell& cell)
{
    if (auto* d = std::get_if<double>(&cell)) {
        if (*d >= -0x1p63 && *d < 0x1p63 && *d == static_cast<double>(static_cast<sqlite3_int64>(*d)))
            return "i" + std::to_string(static_cast<sqlite3_int64>(*d));
        char text[40];
        snprintf(text, sizeof text, "r%.17g", *d);
        return text;
    }
    if (auto* i = std::get_if<sqlite3_int64>(&cell))
        return "i" + std::to_string(*i);
    if (auto* t = std::get_if<std::string>(&cell))
        return "t" + *t;
    if (auto* b = std::get_if<Blob>(&cell))
        return "b" + std::string(b->bytes.begin(), b->bytes.end());
    return std::string();
}

std::string keyOf(sqlite3_value* value)
{
    const int type = sqlite3_value_type(value);
    const auto* bytes =
        static_cast<const char*>(type == SQLITE_TEXT ? sqlite3_value_text(value) : sqlite3_value_blob(value));
    const std::string data(bytes ? bytes : "", static_cast<size_t>(sqlite3_value_bytes(value)));
    switch (type) {
    case SQLITE_INTEGER:
        return keyOf(Cell(sqlite3_value_int64(value)));
    case SQLITE_FLOAT:
        return keyOf(Cell(sqlite3_value_double(value)));
    case SQLITE_TEXT:
        return "t" + data;
    case SQLITE_BLOB:
        return "b" + data;
    default:
        return "-";
    }
}

int construct(const char* event, sqlite3* db, void* clientData, int argc, const char* const* argv,
              sqlite3_vtab** ppVtab, char** pzErr, const char* schemaSuffix, bool staticValues = false)
{
    std::unique_lock<std::mutex> locked(stateMutex);
    State& s = state();
    s.calls.clientData.push_back(clientData);
    s.calls.argv.emplace_back(argv, argv + argc);
    s.calls.lifecycle.push_back(std::string(event) + " " + argv[2]);

    std::string path = argc > 3 ? pathFromArgument(argv[3]) : std::string();
    Faults faults = s.faults.count(path) ? s.faults[path] : Faults();
    if (faults.createCode != SQLITE_OK) {
        if (!faults.createMessage.empty())
            *pzErr = sqlite3_mprintf("%s", faults.createMessage.c_str());
        return faults.createCode;
    }
    TableData data = s.tables.count(path) ? s.tables[path] : TableData{{"a", "b"}, {}};
    locked.unlock();
    std::string schema = "CREATE TABLE x(";
    for (size_t i = 0; i < data.columns.size(); ++i)
        schema += (i ? ", " : "") + quotedIdentifier(data.columns[i]) +
                  (i < data.types.size() ? " " + data.types[i] : "") + (i == 0 && *schemaSuffix ? " PRIMARY KEY" : "");
    schema += std::string(")") + schemaSuffix;
    int rc = sqlite3_declare_vtab(db, schema.c_str());
    if (rc != SQLITE_OK)
        return rc;
    auto* table = new Table{};
    table->data = std::move(data);
    table->faults = faults;
    table->name = argv[2];
    table->staticValues = staticValues;
    for (size_t row = 0; table->data.indexedColumn >= 0 && row < table->data.rows.size(); ++row)
        table->index.emplace(keyOf(table->data.rows[row][static_cast<size_t>(table->data.indexedColumn)]), row);
    *ppVtab = &table->base;
    return SQLITE_OK;
}

int xCreate(sqlite3* db, void* aux, int argc, const char* const* argv, sqlite3_vtab** out, char** err)
{
    return construct("create", db, aux, argc, argv, out, err, "");
}

int xConnect(sqlite3* db, void* aux, int argc, const char* const* argv, sqlite3_vtab** out, char** err)
{
    return construct("connect", db, aux, argc, argv, out, err, "");
}

int xCreateStatic(sqlite3* db, void* aux, int argc, const char* const* argv, sqlite3_vtab** out, char** err)
{
    return construct("create", db, aux, argc, argv, out, err, "", true);
}

int xConnectStatic(sqlite3* db, void* aux, int argc, const char* const* argv, sqlite3_vtab** out, char** err)
{
    return construct("connect", db, aux, argc, argv, out, err, "", true);
}

int xConnectKeyed(sqlite3* db, void* aux, int argc, const char* const* argv, sqlite3_vtab** out, char** err)
{
    return construct("connect", db, aux, argc, argv, out, err, " WITHOUT ROWID");
}

int release(const char* event, sqlite3_vtab* vtab)
{
    Table* table = reinterpret_cast<Table*>(vtab);
    record([&](CallRecord& calls) { calls.lifecycle.push_back(event + (" " + table->name)); });
    sqlite3_free(table->base.zErrMsg);
    delete table->latest;
    delete table;
    return SQLITE_OK;
}

int xDisconnect(sqlite3_vtab* vtab)
{
    return release("disconnect", vtab);
}

int xDestroy(sqlite3_vtab* vtab)
{
    return release("destroy", vtab);
}

int xBestIndex(sqlite3_vtab* vtab, sqlite3_index_info* info)
{
    const Table* table = reinterpret_cast<Table*>(vtab);
    info->idxNum = 0;
    info->estimatedCost = 1000000;
    for (int i = 0; i < info->nConstraint && !table->data.scansOnce; ++i) {
        const auto& c = info->aConstraint[i];
        if (!c.usable || c.op != SQLITE_INDEX_CONSTRAINT_EQ)
            continue;
        const bool byRowid = c.iColumn == -1;
        if (!byRowid && (c.iColumn != table->data.indexedColumn || info->idxNum == rowidLookupPlan))
            continue;
        info->aConstraintUsage[i].argvIndex = 1;
        info->aConstraintUsage[i].omit = 1;
        info->idxNum = byRowid ? rowidLookupPlan : columnLookupPlan;
        info->estimatedCost = byRowid ? 1 : 10;
        info->estimatedRows = byRowid ? 1 : 10;
        if (byRowid)
            break;
    }
    return SQLITE_OK;
}

// Overwrites what the cursor handed out as static values, and frees it.
void freeBuffers(Cursor* cursor)
{
    for (std::vector<char>& buffer : cursor->buffers)
        std::fill(buffer.begin(), buffer.end(), '\xA5');
    cursor->buffers.clear();
    cursor->buffers.shrink_to_fit();
}

int xOpen(sqlite3_vtab* vtab, sqlite3_vtab_cursor** out)
{
    count(&CallRecord::opens);
    Table* table = reinterpret_cast<Table*>(vtab);
    if (table->faults.openCode != SQLITE_OK)
        return table->faults.openCode;
    for (Cursor* other : table->cursors) {
        if (table->data.valuesFreedOnOpen)
            freeBuffers(other);
    }
    auto* cursor = new Cursor{};
    cursor->table = table;
    if (table->data.latestCursorState)
        cursor->state = table->latest = new CursorState;
    table->cursors.push_back(cursor);
    *out = &cursor->base;
    return SQLITE_OK;
}

int xClose(sqlite3_vtab_cursor* base)
{
    count(&CallRecord::closes);
    Cursor* cursor = reinterpret_cast<Cursor*>(base);
    count(&CallRecord::columnReads, cursor->columnReads);
    freeBuffers(cursor);
    if (cursor->table->data.latestCursorState)
        delete std::exchange(cursor->table->latest, nullptr);
    auto& cursors = cursor->table->cursors;
    cursors.erase(std::find(cursors.begin(), cursors.end(), cursor));
    delete cursor;
    return SQLITE_OK;
}

int xFilter(sqlite3_vtab_cursor* base, int idxNum, const char*, int argc, sqlite3_value** argv)
{
    record([&](CallRecord& calls) { calls.filterPlans.push_back(idxNum); });
    Cursor* cursor = reinterpret_cast<Cursor*>(base);
    const Table& table = *cursor->table;
    // Read after another cursor's xClose freed it: AddressSanitizer stops
    // here, and without it the mark is usually gone.
    if (cursor->state && cursor->state->mark != CursorState::live)
        return SQLITE_CORRUPT;
    if (!cursor->filtered || !table.data.scansOnce)
        cursor->at = 0;
    cursor->filtered = true;
    cursor->visit.clear();
    if (idxNum == columnLookupPlan && argc == 1) {
        auto [from, to] = table.index.equal_range(keyOf(argv[0]));
        for (auto at = from; at != to; ++at)
            cursor->visit.push_back(at->second);
        std::sort(cursor->visit.begin(), cursor->visit.end());
        return SQLITE_OK;
    }
    if (idxNum == rowidLookupPlan && argc == 1) {
        const sqlite3_int64 offset = sqlite3_value_int64(argv[0]) - table.data.firstRowid;
        const auto row = static_cast<size_t>(offset / table.data.rowidStride);
        if (offset >= 0 && offset % table.data.rowidStride == 0 && row < table.data.rows.size() &&
            !table.data.rowidLookupFindsNothing)
            cursor->visit.push_back(row);
        return SQLITE_OK;
    }
    for (size_t row = 0; row < table.data.rows.size(); ++row)
        cursor->visit.push_back(row);
    return SQLITE_OK;
}

// A read SQLite would never make: before xFilter, or at the end of the scan.
bool breaches(const Cursor* cursor)
{
    if (cursor->filtered && cursor->at < cursor->visit.size())
        return false;
    count(&CallRecord::protocolBreaches);
    return true;
}

int xNext(sqlite3_vtab_cursor* base)
{
    Cursor* cursor = reinterpret_cast<Cursor*>(base);
    if (breaches(cursor))
        return SQLITE_MISUSE;
    const Faults& faults = cursor->table->faults;
    if (faults.scanNextCode != SQLITE_OK &&
        rowidOf(*cursor->table, cursor->visit[cursor->at]) == faults.scanNextAtRowid) {
        if (!faults.scanNextMessage.empty())
            cursor->table->base.zErrMsg = sqlite3_mprintf("%s", faults.scanNextMessage.c_str());
        return faults.scanNextCode;
    }
    cursor->at++;
    return SQLITE_OK;
}

int xEof(sqlite3_vtab_cursor* base)
{
    Cursor* cursor = reinterpret_cast<Cursor*>(base);
    return cursor->at >= cursor->visit.size() ? 1 : 0;
}

int xColumn(sqlite3_vtab_cursor* base, sqlite3_context* ctx, int column)
{
    Cursor* cursor = reinterpret_cast<Cursor*>(base);
    if (breaches(cursor))
        return SQLITE_MISUSE;
    ++cursor->columnReads;
    const Row& row = cursor->table->data.rows[cursor->visit[cursor->at]];
    if (column < 0 || static_cast<size_t>(column) >= row.size()) {
        sqlite3_result_null(ctx);
        return SQLITE_OK;
    }
    const Cell& cell = row[static_cast<size_t>(column)];
    auto* t = std::get_if<std::string>(&cell);
    auto* b = std::get_if<Blob>(&cell);
    if ((cursor->table->staticValues || cursor->table->data.valuesFreedOnOpen) && (t || b)) {
        std::vector<char>& buffer = t ? cursor->buffers.emplace_back(t->begin(), t->end())
                                      : cursor->buffers.emplace_back(b->bytes.begin(), b->bytes.end());
        buffer.push_back('\0');
        const int size = static_cast<int>(buffer.size() - 1);
        if (t)
            sqlite3_result_text(ctx, buffer.data(), size, SQLITE_STATIC);
        else
            sqlite3_result_blob(ctx, buffer.data(), size, SQLITE_STATIC);
        return SQLITE_OK;
    }
    if (auto* i = std::get_if<sqlite3_int64>(&cell))
        sqlite3_result_int64(ctx, *i);
    else if (auto* d = std::get_if<double>(&cell))
        sqlite3_result_double(ctx, *d);
    else if (t)
        sqlite3_result_text(ctx, t->data(), static_cast<int>(t->size()), SQLITE_TRANSIENT);
    else if (b)
        sqlite3_result_blob(ctx, b->bytes.empty() ? "" : static_cast<const void*>(b->bytes.data()),
                            static_cast<int>(b->bytes.size()), SQLITE_TRANSIENT);
    else
        sqlite3_result_null(ctx);
    return SQLITE_OK;
}

int xRowid(sqlite3_vtab_cursor* base, sqlite3_int64* rowid)
{
    Cursor* cursor = reinterpret_cast<Cursor*>(base);
    if (breaches(cursor))
        return SQLITE_MISUSE;
    *rowid = rowidOf(*cursor->table, cursor->visit[cursor->at]);
    return SQLITE_OK;
}

const sqlite3_module memoryModule = {
    1,           // iVersion
    xCreate,     // xCreate
    xConnect,    // xConnect
    xBestIndex,  // xBestIndex
    xDisconnect, // xDisconnect
    xDestroy,    // xDestroy
    xOpen,       // xOpen
    xClose,      // xClose
    xFilter,     // xFilter
    xNext,       // xNext
    xEof,        // xEof
    xColumn,     // xColumn
    xRowid,      // xRowid
    nullptr,     // xUpdate
    nullptr,     // xBegin
    nullptr,     // xSync
    nullptr,     // xCommit
    nullptr,     // xRollback
    nullptr,     // xFindFunction
    nullptr,     // xRename
    nullptr,     // xSavepoint
    nullptr,     // xRelease
    nullptr,     // xRollbackTo
    nullptr,     // xShadowName
};

sqlite3_module variant(decltype(sqlite3_module::xCreate) create, decltype(sqlite3_module::xConnect) connect,
                       decltype(sqlite3_module::xRowid) rowid)
{
    sqlite3_module module = memoryModule;
    module.xCreate = create;
    module.xConnect = connect;
    module.xDestroy = create ? xDestroy : nullptr;
    module.xRowid = rowid;
    return module;
}

const sqlite3_module eponymous = variant(nullptr, xConnect, xRowid);
const sqlite3_module keyed = variant(nullptr, xConnectKeyed, nullptr);
const sqlite3_module keyedWithRowid = variant(nullptr, xConnectKeyed, xRowid);
const sqlite3_module staticValues = variant(xCreateStatic, xConnectStatic, xRowid);

} // namespace

void setTable(const std::string& path, TableData data)
{
    std::lock_guard<std::mutex> locked(stateMutex);
    state().tables[path] = std::move(data);
}

void setFaults(const std::string& path, Faults faults)
{
    std::lock_guard<std::mutex> locked(stateMutex);
    state().faults[path] = std::move(faults);
}

void clear()
{
    std::lock_guard<std::mutex> locked(stateMutex);
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

const sqlite3_module* eponymousModule()
{
    return &eponymous;
}

const sqlite3_module* keyedModule()
{
    return &keyed;
}

const sqlite3_module* keyedModuleWithRowid()
{
    return &keyedWithRowid;
}

const sqlite3_module* staticValuesModule()
{
    return &staticValues;
}

} // namespace memory_module
