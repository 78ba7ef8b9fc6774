// A read-only virtual table over a CSV file, checked whole and held open when the
// table is created; each cursor reads the rows it visits from the file on demand.
#include "csv_module.h"

#include "csv_rows.h"

#include <cctype>
#include <climits>
#include <new>
#include <string>

namespace {

// Every scan and the overlay's row count see the rows found when the table was
// created: a file changed in place since (its size or modification time differ,
// or a row no longer parses as it did) fails the read that finds out, naming the
// file. A file replaced under its name leaves the table reading the one it opened.
struct CsvTable {
    sqlite3_vtab base;
    csvfile::CsvFile file;
};

// Visits rowids 1..n; past the end the rowid keeps counting up. A row is read
// when a column of it is first asked for.
struct CsvCursor {
    sqlite3_vtab_cursor base;
    CsvTable* table;
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
    return static_cast<sqlite3_int64>(table->file.rows.size());
}

// The file path as the overlay reads its first argument: a bare word, or a
// single-quoted string in which a doubled quote stands for one and a backslash
// takes the next character literally.
std::string pathArgument(const char* argument)
{
    auto blank = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    const char* p = argument;
    while (*p && blank(*p))
        ++p;
    std::string path;
    if (*p != '\'') {
        for (; *p && !blank(*p); ++p)
            path += *p;
        return path;
    }
    for (++p; *p; ++p) {
        if (*p == '\'' && *++p != '\'')
            break;
        if (*p == '\\' && !*++p)
            break;
        path += *p;
    }
    return path;
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

std::string schemaOf(const std::vector<std::string>& columns)
{
    std::string schema = "CREATE TABLE x(";
    for (std::size_t i = 0; i < columns.size(); ++i)
        schema += (i ? ", " : "") + quotedIdentifier(columns[i]);
    return schema + ")";
}

int loadTable(sqlite3* db, const char* path, CsvTable* table, char** pzErr)
{
    std::string error;
    if (!table->file.open(pathArgument(path), error)) {
        *pzErr = sqlite3_mprintf("%s", error.c_str());
        return SQLITE_ERROR;
    }
    int rc = sqlite3_declare_vtab(db, schemaOf(table->file.columns).c_str());
    if (rc != SQLITE_OK)
        *pzErr = sqlite3_mprintf("%s", sqlite3_errmsg(db));
    return rc;
}

int csvCreate(sqlite3* db, void*, int argc, const char* const* argv, sqlite3_vtab** ppVtab, char** pzErr)
{
    if (argc != 4) {
        *pzErr = sqlite3_mprintf("%s takes one argument: the CSV file path", argv[0]);
        return SQLITE_ERROR;
    }
    CsvTable* table = nullptr;
    int rc;
    try {
        table = new CsvTable{};
        rc = loadTable(db, argv[3], table, pzErr);
    } catch (const std::bad_alloc&) {
        rc = SQLITE_NOMEM;
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
    sqlite3_free(table->base.zErrMsg);
    delete table;
    return SQLITE_OK;
}

// Only full scans in rowid order: the cost is the number of rows.
int csvBestIndex(sqlite3_vtab* vtab, sqlite3_index_info* info)
{
    const sqlite3_int64 rows = rowCount(csvTable(vtab));
    info->idxNum = 0;
    info->estimatedCost = static_cast<double>(rows > 0 ? rows : 1);
    info->estimatedRows = rows;
    return SQLITE_OK;
}

int csvOpen(sqlite3_vtab* vtab, sqlite3_vtab_cursor** ppCursor)
{
    CsvTable* table = csvTable(vtab);
    auto* cursor = new (std::nothrow) CsvCursor{{}, table, 1, 0, csvfile::RowReader(table->file)};
    if (!cursor)
        return SQLITE_NOMEM;
    *ppCursor = &cursor->base;
    return SQLITE_OK;
}

int csvClose(sqlite3_vtab_cursor* cursor)
{
    delete csvCursor(cursor);
    return SQLITE_OK;
}

int csvFilter(sqlite3_vtab_cursor* cursor, int, const char*, int, sqlite3_value**)
{
    csvCursor(cursor)->rowid = 1;
    return SQLITE_OK;
}

int csvNext(sqlite3_vtab_cursor* cursor)
{
    csvCursor(cursor)->rowid++;
    return SQLITE_OK;
}

int csvEof(sqlite3_vtab_cursor* base)
{
    const CsvCursor* cursor = csvCursor(base);
    return cursor->rowid > rowCount(cursor->table) ? 1 : 0;
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
        static_cast<std::size_t>(column) >= cursor->table->file.columns.size()) {
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
    csvCreate,    // xConnect: the file is checked again
    csvBestIndex, // xBestIndex
    csvDestroy,   // xDisconnect
    csvDestroy,   // xDestroy: the file itself is left alone
    csvOpen,      // xOpen: positioned on row 1 without xFilter
    csvClose,     // xClose
    csvFilter,    // xFilter: back to row 1
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
