// A read-only virtual table over a CSV file. The file is read whole when the
// table is created, so every scan and the overlay's row count see the same rows.
#include "csv_module.h"

#include "csv_reader.h"

#include <cctype>
#include <new>
#include <string>

namespace {

struct CsvTable {
    sqlite3_vtab base;
    csvfile::Contents contents;
};

// Visits rowids 1..n; past the end the rowid keeps counting up.
struct CsvCursor {
    sqlite3_vtab_cursor base;
    const CsvTable* table;
    sqlite3_int64 rowid;
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
    return static_cast<sqlite3_int64>(table->contents.rows.size());
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

std::string schemaOf(const csvfile::Contents& contents)
{
    std::string schema = "CREATE TABLE x(";
    for (std::size_t i = 0; i < contents.columns.size(); ++i)
        schema += (i ? ", " : "") + quotedIdentifier(contents.columns[i]);
    return schema + ")";
}

int loadTable(sqlite3* db, const char* path, CsvTable* table, char** pzErr)
{
    std::string error;
    if (!csvfile::readCsvFile(pathArgument(path), table->contents, error)) {
        *pzErr = sqlite3_mprintf("%s", error.c_str());
        return SQLITE_ERROR;
    }
    int rc = sqlite3_declare_vtab(db, schemaOf(table->contents).c_str());
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
    auto* cursor = new (std::nothrow) CsvCursor{};
    if (!cursor)
        return SQLITE_NOMEM;
    cursor->table = csvTable(vtab);
    cursor->rowid = 1;
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

void resultFromCell(sqlite3_context* ctx, const csvfile::Cell& cell)
{
    if (const auto* integer = std::get_if<sqlite3_int64>(&cell))
        sqlite3_result_int64(ctx, *integer);
    else if (const auto* real = std::get_if<double>(&cell))
        sqlite3_result_double(ctx, *real);
    else if (const auto* text = std::get_if<std::string>(&cell))
        sqlite3_result_text64(ctx, text->data(), text->size(), SQLITE_TRANSIENT, SQLITE_UTF8);
    else
        sqlite3_result_null(ctx);
}

int csvColumn(sqlite3_vtab_cursor* base, sqlite3_context* ctx, int column)
{
    const CsvCursor* cursor = csvCursor(base);
    const auto& rows = cursor->table->contents.rows;
    if (cursor->rowid < 1 || cursor->rowid > rowCount(cursor->table) || column < 0 ||
        static_cast<std::size_t>(column) >= cursor->table->contents.columns.size()) {
        sqlite3_result_null(ctx);
        return SQLITE_OK;
    }
    resultFromCell(ctx, rows[static_cast<std::size_t>(cursor->rowid - 1)][static_cast<std::size_t>(column)]);
    return SQLITE_OK;
}

int csvRowid(sqlite3_vtab_cursor* cursor, sqlite3_int64* rowid)
{
    *rowid = csvCursor(cursor)->rowid;
    return SQLITE_OK;
}

const sqlite3_module csvFileModule = {
    1,            // iVersion
    csvCreate,    // xCreate
    csvCreate,    // xConnect: the file is read again
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
