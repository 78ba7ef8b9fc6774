// A read-only virtual table over a CSV file, checked whole and held open when the
// table is created; each cursor reads the rows it visits from the file on demand.
#include "csv_module.h"

#include "csv_rows.h"

#include <algorithm>
#include <cctype>
#include <climits>
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
    csvfile::CsvFile file;
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

std::string schemaOf(const std::vector<std::string>& columns)
{
    std::string schema = "CREATE TABLE x(";
    for (std::size_t i = 0; i < columns.size(); ++i)
        schema += (i ? ", " : "") + quotedIdentifier(columns[i]);
    return schema + ")";
}

std::string lowered(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string trimmed(const std::string& text)
{
    const std::size_t first = text.find_first_not_of(" \t\n\r");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\n\r") - first + 1);
}

// A value as written, or the text inside single or double quotes.
std::string unquoted(const std::string& value)
{
    const std::string text = trimmed(value);
    if (text.size() >= 2 && (text[0] == '\'' || text[0] == '"') && text.back() == text[0])
        return text.substr(1, text.size() - 2);
    return text;
}

bool readDelimiter(const std::string& value, char& delimiter)
{
    const std::string text = unquoted(value);
    if (text == "," || text == ";" || text == "|" || text == "\t") {
        delimiter = text[0];
        return true;
    }
    if (lowered(text) == "tab" || text == "\\t") {
        delimiter = '\t';
        return true;
    }
    return false;
}

// SQLite's words for a boolean, as PRAGMA reads them.
bool readSwitch(const std::string& value, bool& on)
{
    const std::string text = lowered(unquoted(value));
    for (const char* yes : {"yes", "true", "on", "1"}) {
        if (text == yes)
            return on = true;
    }
    for (const char* no : {"no", "false", "off", "0"}) {
        if (text == no) {
            on = false;
            return true;
        }
    }
    return false;
}

bool readTypes(const std::string& value, bool& typed)
{
    const std::string text = lowered(unquoted(value));
    typed = text == "typed";
    return typed || text == "text";
}

// The options after the path, each key=value at most once: delimiter (',' ';'
// '|' or tab), header (SQLite's boolean words) and types (typed or text).
// Empty when they read, else what is wrong.
std::string readOptions(int argc, const char* const* argv, csvfile::Options& options)
{
    std::vector<std::string> given;
    for (int i = 4; i < argc; ++i) {
        const std::string argument = argv[i];
        const std::size_t equals = argument.find('=');
        const std::string key = lowered(trimmed(argument.substr(0, equals)));
        const std::string value = equals == std::string::npos ? std::string() : argument.substr(equals + 1);
        bool read = equals != std::string::npos;
        if (key == "delimiter")
            read = read && readDelimiter(value, options.delimiter);
        else if (key == "header")
            read = read && readSwitch(value, options.header);
        else if (key == "types")
            read = read && readTypes(value, options.typed);
        else
            return "unknown option \"" + trimmed(argument) + "\": the options are delimiter, header and types";
        if (!read)
            return "option \"" + trimmed(argument) +
                   "\" takes delimiter=',' ';' '|' or tab, header=yes, no, true, false, on, off, 1 or 0, "
                   "types=typed or text";
        if (std::find(given.begin(), given.end(), key) != given.end())
            return "option " + key + " is given twice";
        given.push_back(key);
    }
    return {};
}

int loadTable(sqlite3* db, int argc, const char* const* argv, CsvTable* table, char** pzErr)
{
    csvfile::Options options;
    std::string error = readOptions(argc, argv, options);
    if (!error.empty()) {
        *pzErr = sqlite3_mprintf("%s: %s", argv[0], error.c_str());
        return SQLITE_ERROR;
    }
    if (!table->file.open(pathArgument(argv[3]), options, error)) {
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
    return open ? &open->file : nullptr;
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
    open->file.swap(file);
    return true;
}
