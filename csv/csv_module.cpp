// A read-only virtual table over a CSV file, checked whole and held open when the
// table is created (or shared with another table of the process that opened it
// so); each cursor reads the rows it visits from the file on demand.
#include "csv_module.h"

#include "csv_options.h"
#include "csv_plan.h"
#include "csv_rows.h"
#include "shared_files.h"

#include <climits>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

namespace {

// Every scan and the overlay's row count see the rows found when the table was
// created: a file changed in place since (its size or modification time differ,
// or a row no longer parses as it did) fails the read that finds out, naming the
// file. A file replaced under its name leaves the table reading the one it opened.
struct CsvTable {
    sqlite3_vtab base;
    std::shared_ptr<const csvfile::CsvFile> file;
    sqlite3* db;
    std::string schema;
    std::string name;
    int cursors;     // open now, each reading file
    CsvTable* older; // in the list of open tables
    CsvTable* newer;
};

// Every table of the module open in the process, newest first: a list through
// the tables themselves, so that nothing of it is left to free at exit.
std::mutex openTablesLock;
CsvTable* newestTable = nullptr;

void addOpenTable(CsvTable* table)
{
    const std::lock_guard<std::mutex> hold(openTablesLock);
    table->older = newestTable;
    table->newer = nullptr;
    if (newestTable)
        newestTable->newer = table;
    newestTable = table;
}

void removeOpenTable(CsvTable* table)
{
    const std::lock_guard<std::mutex> hold(openTablesLock);
    (table->newer ? table->newer->older : newestTable) = table->older;
    if (table->older)
        table->older->newer = table->newer;
}

// Visits the rowids its plan gives, ascending; before xFilter, 1..n. A row is
// read when a column of it is first asked for.
struct CsvCursor {
    sqlite3_vtab_cursor base;
    CsvTable* table;
    csvfile::Visit visit;
    std::size_t listedAt; // in visit.rowids, when listed
    sqlite3_int64 rowid;
    sqlite3_int64 readRowid; // the row the reader holds, 0 for none
    csvfile::RowReader reader;
};

CsvTable* csvTable(sqlite3_vtab* vtab)
{
    return reinterpret_cast<CsvTable*>(vtab);
}

CsvCursor* csvCursor(sqlite3_vtab_cursor* cursor)
{
    return reinterpret_cast<CsvCursor*>(cursor);
}

sqlite3_int64 rowCount(const CsvTable* table)
{
    return static_cast<sqlite3_int64>(table->file->rows.size());
}

std::string schemaOf(const std::vector<std::string>& columns)
{
    std::string schema = "CREATE TABLE x(";
    for (std::size_t i = 0; i < columns.size(); ++i)
        schema += (i ? ", " : "") + quotedIdentifier(columns[i]);
    return schema + ")";
}

int loadTable(sqlite3* db, int argc, const char* const* argv, CsvTable* table, char** pzErr)
{
    csvfile::Options options;
    std::string error = readOptions(argc, argv, options);
    if (!error.empty()) {
        *pzErr = sqlite3_mprintf("%s: %s", argv[0], error.c_str());
        return SQLITE_ERROR;
    }
    table->file = csvfile::openShared(pathArgument(argv[3]), options, error);
    if (!table->file) {
        *pzErr = sqlite3_mprintf("%s", error.c_str());
        return SQLITE_ERROR;
    }
    int rc = sqlite3_declare_vtab(db, schemaOf(table->file->columns).c_str());
    if (rc != SQLITE_OK)
        *pzErr = sqlite3_mprintf("%s", sqlite3_errmsg(db));
    return rc;
}

int csvCreate(sqlite3* db, void*, int argc, const char* const* argv, sqlite3_vtab** ppVtab, char** pzErr)
{
    if (argc < 4) {
        *pzErr = sqlite3_mprintf("%s takes the CSV file path, then options key=value", argv[0]);
        return SQLITE_ERROR;
    }
    CsvTable* table = nullptr;
    int rc;
    try {
        table = new CsvTable{};
        rc = loadTable(db, argc, argv, table, pzErr);
    } catch (const std::bad_alloc&) {
        rc = SQLITE_NOMEM;
    } catch (const std::exception& failure) {
        *pzErr = sqlite3_mprintf("%s", failure.what());
        rc = SQLITE_ERROR;
    }
    if (rc == SQLITE_OK) {
        try {
            table->db = db;
            table->schema = argv[1];
            table->name = argv[2];
            addOpenTable(table);
        } catch (const std::bad_alloc&) {
            rc = SQLITE_NOMEM;
        }
    }
    if (rc != SQLITE_OK) {
        delete table;
        return rc;
    }
    *ppVtab = &table->base;
    return SQLITE_OK;
}

int csvDestroy(sqlite3_vtab* vtab)
{
    CsvTable* table = csvTable(vtab);
    removeOpenTable(table);
    sqlite3_free(table->base.zErrMsg);
    delete table;
    return SQLITE_OK;
}

int csvBestIndex(sqlite3_vtab* vtab, sqlite3_index_info* info)
{
    try {
        return csvfile::planQuery(*csvTable(vtab)->file, info);
    } catch (const std::bad_alloc&) {
        return SQLITE_NOMEM;
    }
}

int csvOpen(sqlite3_vtab* vtab, sqlite3_vtab_cursor** ppCursor)
{
    CsvTable* table = csvTable(vtab);
    auto* cursor = new (std::nothrow)
        CsvCursor{{}, table, csvfile::Visit{1, rowCount(table), false, {}}, 0, 1, 0, csvfile::RowReader(*table->file)};
    if (!cursor)
        return SQLITE_NOMEM;
    ++table->cursors;
    *ppCursor = &cursor->base;
    return SQLITE_OK;
}

int csvClose(sqlite3_vtab_cursor* cursor)
{
    --csvCursor(cursor)->table->cursors;
    delete csvCursor(cursor);
    return SQLITE_OK;
}

// Moves a cursor that visits listed rowids to the one at listedAt.
void moveTo(CsvCursor* cursor, std::size_t listedAt)
{
    const csvfile::Visit& visit = cursor->visit;
    cursor->listedAt = listedAt;
    if (visit.listed)
        cursor->rowid = listedAt < visit.rowids.size() ? visit.rowids[listedAt] : 0;
}

int csvFilter(sqlite3_vtab_cursor* base, int, const char* idxStr, int argc, sqlite3_value** argv)
{
    CsvCursor* cursor = csvCursor(base);
    int rc;
    try {
        rc = csvfile::visitFor(*cursor->table->file, idxStr, argc, argv, cursor->visit);
    } catch (const std::bad_alloc&) {
        rc = SQLITE_NOMEM;
    }
    // A file changed since CREATE fails the first row read; a visit that
    // reads none fails here.
    const csvfile::CsvFile& file = *cursor->table->file;
    if (rc == SQLITE_OK && cursor->visit.empty() && !file.unchanged()) {
        sqlite3_free(cursor->table->base.zErrMsg);
        cursor->table->base.zErrMsg = sqlite3_mprintf("%s changed after the table was created", file.name.c_str());
        rc = SQLITE_ERROR;
    }
    if (rc != SQLITE_OK)
        cursor->visit = csvfile::Visit{};
    cursor->rowid = cursor->visit.first;
    moveTo(cursor, 0);
    return rc;
}

int csvNext(sqlite3_vtab_cursor* base)
{
    CsvCursor* cursor = csvCursor(base);
    if (cursor->visit.listed)
        moveTo(cursor, cursor->listedAt + 1);
    else
        cursor->rowid++;
    return SQLITE_OK;
}

int csvEof(sqlite3_vtab_cursor* base)
{
    const CsvCursor* cursor = csvCursor(base);
    const csvfile::Visit& visit = cursor->visit;
    return (visit.listed ? cursor->listedAt >= visit.rowids.size() : cursor->rowid > visit.last) ? 1 : 0;
}

// Text ends in a NUL, which SQLite keeps when given the length -1; a function
// reading the value as text then need not have SQLite copy it to add one.
void resultFromText(sqlite3_context* ctx, std::string_view text)
{
    if (text.size() <= INT_MAX)
        sqlite3_result_text(ctx, text.data(), -1, SQLITE_TRANSIENT);
    else
        sqlite3_result_text64(ctx, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
}

void resultFromCell(sqlite3_context* ctx, const csvfile::Cell& cell)
{
    if (const auto* integer = std::get_if<sqlite3_int64>(&cell))
        sqlite3_result_int64(ctx, *integer);
    else if (const auto* real = std::get_if<double>(&cell))
        sqlite3_result_double(ctx, *real);
    else if (const auto* text = std::get_if<std::string_view>(&cell))
        resultFromText(ctx, *text);
    else
        sqlite3_result_null(ctx);
}

// Reads the cursor's row unless the reader holds it already.
int readRow(CsvCursor* cursor)
{
    if (cursor->readRowid == cursor->rowid)
        return SQLITE_OK;
    cursor->readRowid = 0;
    std::string error;
    try {
        if (!cursor->reader.read(static_cast<std::size_t>(cursor->rowid - 1), error)) {
            sqlite3_vtab& vtab = cursor->table->base;
            sqlite3_free(vtab.zErrMsg);
            vtab.zErrMsg = sqlite3_mprintf("%s", error.c_str());
            return SQLITE_ERROR;
        }
    } catch (const std::bad_alloc&) {
        return SQLITE_NOMEM;
    }
    cursor->readRowid = cursor->rowid;
    return SQLITE_OK;
}

int csvColumn(sqlite3_vtab_cursor* base, sqlite3_context* ctx, int column)
{
    CsvCursor* cursor = csvCursor(base);
    if (cursor->rowid < 1 || cursor->rowid > rowCount(cursor->table) || column < 0 ||
        static_cast<std::size_t>(column) >= cursor->table->file->columns.size()) {
        sqlite3_result_null(ctx);
        return SQLITE_OK;
    }
    const int rc = readRow(cursor);
    if (rc == SQLITE_OK)
        resultFromCell(ctx, cursor->reader.cell(static_cast<std::size_t>(column)));
    return rc;
}

int csvRowid(sqlite3_vtab_cursor* cursor, sqlite3_int64* rowid)
{
    *rowid = csvCursor(cursor)->rowid;
    return SQLITE_OK;
}

const sqlite3_module csvFileModule = {
    1,            // iVersion
    csvCreate,    // xCreate
    csvCreate,    // xConnect: as CREATE
    csvBestIndex, // xBestIndex
    csvDestroy,   // xDisconnect
    csvDestroy,   // xDestroy: the file itself is left alone
    csvOpen,      // xOpen: positioned on row 1 without xFilter
    csvClose,     // xClose
    csvFilter,    // xFilter: the rows of the plan
    csvNext,      // xNext
    csvEof,       // xEof
    csvColumn,    // xColumn
    csvRowid,     // xRowid
    nullptr,      // xUpdate: read-only
    nullptr,      // xBegin
    nullptr,      // xSync
    nullptr,      // xCommit
    nullptr,      // xRollback
    nullptr,      // xFindFunction
    nullptr,      // xRename
    nullptr,      // xSavepoint
    nullptr,      // xRelease
    nullptr,      // xRollbackTo
    nullptr,      // xShadowName
};

} // namespace

const sqlite3_module* csvModule()
{
    return &csvFileModule;
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

namespace {

CsvTable* tableOf(sqlite3* db, const std::string& schema, const std::string& name)
{
    const std::lock_guard<std::mutex> hold(openTablesLock);
    for (CsvTable* open = newestTable; open; open = open->older) {
        if (open->db == db && sqlite3_stricmp(open->schema.c_str(), schema.c_str()) == 0 &&
            sqlite3_stricmp(open->name.c_str(), name.c_str()) == 0)
            return open;
    }
    return nullptr;
}

} // namespace

const csvfile::CsvFile* csvFileOf(sqlite3* db, const std::string& schema, const std::string& table)
{
    const CsvTable* open = tableOf(db, schema, table);
    return open ? open->file.get() : nullptr;
}

int csvCursorsOf(sqlite3* db, const std::string& schema, const std::string& table)
{
    const CsvTable* open = tableOf(db, schema, table);
    return open ? open->cursors : 0;
}

bool csvSwapFile(sqlite3* db, const std::string& schema, const std::string& table, csvfile::CsvFile& file)
{
    CsvTable* open = tableOf(db, schema, table);
    if (!open || open->cursors > 0)
        return false;
    open->file = csvfile::share(file);
    return true;
}
