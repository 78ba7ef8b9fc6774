// The in-memory module that writes its own rows: tables by file path, shared
// by every table over that path, changed only through a transaction of the
// module (xBegin ... xCommit, taken back by xRollback), with injected faults.
#include "memory_module.h"

#include <mutex>

namespace memory_module {
namespace {

std::mutex dataMutex;
std::map<std::string, WritableData>& stored()
{
    static std::map<std::string, WritableData> instance;
    return instance;
}

struct Table {
    sqlite3_vtab base;
    std::string path;
    WritableData data; // the transaction's rows, from xBegin to its end
    bool inTransaction = false;
    int updates = 0;
};

struct Cursor {
    sqlite3_vtab_cursor base;
    std::map<sqlite3_int64, Row> rows; // read at xFilter
    std::map<sqlite3_int64, Row>::const_iterator at;
};

WritableData committed(const std::string& path)
{
    std::lock_guard<std::mutex> locked(dataMutex);
    return stored()[path];
}

int construct(sqlite3* db, void*, int argc, const char* const* argv, sqlite3_vtab** out, char**)
{
    std::string path = argc > 3 ? argv[3] : "";
    if (path.size() >= 2 && path.front() == '\'')
        path = path.substr(1, path.size() - 2);
    std::string schema = "CREATE TABLE x(";
    const WritableData data = committed(path);
    for (std::size_t i = 0; i < data.columns.size(); ++i)
        schema += (i ? ", \"" : "\"") + data.columns[i] + "\"";
    const int rc = sqlite3_declare_vtab(db, (schema + ")").c_str());
    if (rc != SQLITE_OK)
        return rc;
    auto* table = new Table{};
    table->path = path;
    *out = &table->base;
    return SQLITE_OK;
}

int release(sqlite3_vtab* vtab)
{
    sqlite3_free(vtab->zErrMsg);
    delete reinterpret_cast<Table*>(vtab);
    return SQLITE_OK;
}

int bestIndex(sqlite3_vtab*, sqlite3_index_info* info)
{
    info->estimatedCost = 1000000;
    for (int i = 0; i < info->nConstraint; ++i) {
        const auto& c = info->aConstraint[i];
        if (c.usable && c.op == SQLITE_INDEX_CONSTRAINT_EQ && c.iColumn == -1) {
            info->aConstraintUsage[i].argvIndex = 1;
            info->aConstraintUsage[i].omit = 1;
            info->idxNum = rowidLookupPlan;
            info->estimatedCost = 1;
            break;
        }
    }
    return SQLITE_OK;
}

int open(sqlite3_vtab*, sqlite3_vtab_cursor** out)
{
    *out = &(new Cursor{})->base;
    return SQLITE_OK;
}

int close(sqlite3_vtab_cursor* cursor)
{
    delete reinterpret_cast<Cursor*>(cursor);
    return SQLITE_OK;
}

int filter(sqlite3_vtab_cursor* base, int idxNum, const char*, int argc, sqlite3_value** argv)
{
    auto* cursor = reinterpret_cast<Cursor*>(base);
    const Table* table = reinterpret_cast<Table*>(base->pVtab);
    cursor->rows = table->inTransaction ? table->data.rows : committed(table->path).rows;
    if (idxNum == rowidLookupPlan && argc == 1) {
        const auto found = cursor->rows.find(sqlite3_value_int64(argv[0]));
        std::map<sqlite3_int64, Row> one;
        if (found != cursor->rows.end())
            one.insert(*found);
        cursor->rows.swap(one);
    }
    cursor->at = cursor->rows.begin();
    return SQLITE_OK;
}

int next(sqlite3_vtab_cursor* base)
{
    ++reinterpret_cast<Cursor*>(base)->at;
    return SQLITE_OK;
}

int eof(sqlite3_vtab_cursor* base)
{
    auto* cursor = reinterpret_cast<Cursor*>(base);
    return cursor->at == cursor->rows.end();
}

int column(sqlite3_vtab_cursor* base, sqlite3_context* ctx, int index)
{
    const Row& row = reinterpret_cast<Cursor*>(base)->at->second;
    const Cell& cell = static_cast<std::size_t>(index) < row.size() ? row[static_cast<std::size_t>(index)] : Cell();
    if (auto* i = std::get_if<sqlite3_int64>(&cell))
        sqlite3_result_int64(ctx, *i);
    else if (auto* d = std::get_if<double>(&cell))
        sqlite3_result_double(ctx, *d);
    else if (auto* t = std::get_if<std::string>(&cell))
        sqlite3_result_text(ctx, t->data(), static_cast<int>(t->size()), SQLITE_TRANSIENT);
    else if (auto* b = std::get_if<Blob>(&cell))
        sqlite3_result_blob(ctx, b->bytes.data(), static_cast<int>(b->bytes.size()), SQLITE_TRANSIENT);
    else
        sqlite3_result_null(ctx);
    return SQLITE_OK;
}

int rowid(sqlite3_vtab_cursor* base, sqlite3_int64* out)
{
    *out = reinterpret_cast<Cursor*>(base)->at->first;
    return SQLITE_OK;
}

Cell cellOf(sqlite3_value* value)
{
    switch (sqlite3_value_type(value)) {
    case SQLITE_INTEGER:
        return sqlite3_value_int64(value);
    case SQLITE_FLOAT:
        return sqlite3_value_double(value);
    case SQLITE_TEXT:
        return std::string(reinterpret_cast<const char*>(sqlite3_value_text(value)),
                           static_cast<std::size_t>(sqlite3_value_bytes(value)));
    case SQLITE_BLOB: {
        const auto* bytes = static_cast<const unsigned char*>(sqlite3_value_blob(value));
        return Blob{{bytes, bytes + sqlite3_value_bytes(value)}};
    }
    default:
        return std::monostate();
    }
}

int fail(Table* table, int code, const std::string& message)
{
    table->base.zErrMsg = sqlite3_mprintf("%s", message.c_str());
    return code;
}

// Writes only inside a transaction; argv[1] NULL takes the next free rowid.
int update(sqlite3_vtab* vtab, int argc, sqlite3_value** argv, sqlite3_int64* out)
{
    auto* table = reinterpret_cast<Table*>(vtab);
    if (!table->inTransaction)
        return fail(table, SQLITE_MISUSE, "write outside a transaction");
    if (++table->updates == table->data.failUpdate)
        return fail(table, SQLITE_IOERR, "injected failure");
    auto& rows = table->data.rows;
    if (sqlite3_value_type(argv[0]) != SQLITE_NULL && !rows.erase(sqlite3_value_int64(argv[0])))
        return fail(table, SQLITE_NOTFOUND, "no such row");
    if (argc == 1)
        return SQLITE_OK;
    *out = sqlite3_value_type(argv[1]) == SQLITE_NULL ? (rows.empty() ? 1 : rows.rbegin()->first + 1)
                                                      : sqlite3_value_int64(argv[1]);
    Row row;
    for (int i = 2; i < argc; ++i)
        row.push_back(cellOf(argv[i]));
    return rows.emplace(*out, std::move(row)).second ? SQLITE_OK : fail(table, SQLITE_CONSTRAINT, "rowid taken");
}

int begin(sqlite3_vtab* vtab)
{
    auto* table = reinterpret_cast<Table*>(vtab);
    table->data = committed(table->path);
    if (table->data.failBegin)
        return fail(table, SQLITE_IOERR, "injected begin failure");
    table->inTransaction = true;
    table->updates = 0;
    return SQLITE_OK;
}

int sync(sqlite3_vtab* vtab)
{
    auto* table = reinterpret_cast<Table*>(vtab);
    return table->data.failSync ? fail(table, SQLITE_FULL, "injected sync failure") : SQLITE_OK;
}

int commit(sqlite3_vtab* vtab)
{
    auto* table = reinterpret_cast<Table*>(vtab);
    if (table->inTransaction) {
        std::lock_guard<std::mutex> locked(dataMutex);
        stored()[table->path].rows = table->data.rows;
    }
    table->inTransaction = false;
    return SQLITE_OK;
}

int rollback(sqlite3_vtab* vtab)
{
    auto* table = reinterpret_cast<Table*>(vtab);
    if (!table->inTransaction) {
        std::lock_guard<std::mutex> locked(dataMutex);
        ++stored()[table->path].strayRollbacks;
    }
    table->inTransaction = false;
    return SQLITE_OK;
}

// Any name but "refused".
int rename(sqlite3_vtab* vtab, const char* newName)
{
    return std::string(newName) == "refused" ? fail(reinterpret_cast<Table*>(vtab), SQLITE_IOERR, "injected failure")
                                             : SQLITE_OK;
}

const sqlite3_module writable = {
    1,     construct, construct, bestIndex, release, release,  open,    close,  filter,  next,    eof,     column,
    rowid, update,    begin,     sync,      commit,  rollback, nullptr, rename, nullptr, nullptr, nullptr, nullptr,
};

} // namespace

void setWritable(const std::string& path, WritableData data)
{
    std::lock_guard<std::mutex> locked(dataMutex);
    stored()[path] = std::move(data);
}

std::map<sqlite3_int64, Row> writableRows(const std::string& path)
{
    return committed(path).rows;
}

int strayRollbacks(const std::string& path)
{
    return committed(path).strayRollbacks;
}

const sqlite3_module* writableModule()
{
    return &writable;
}

} // namespace memory_module
