// A host's own virtual-table module kept in memory: rows chosen per file path,
// injectable failures, a record of how it was called and of every breach of
// SQLite's cursor protocol. Variants stand in for modules written elsewhere.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <map>
#include <string>
#include <variant>
#include <vector>

namespace memory_module {

struct Blob {
    std::vector<unsigned char> bytes;
    bool operator==(const Blob& other) const { return bytes == other.bytes; }
};

using Cell = std::variant<std::monostate, sqlite3_int64, double, std::string, Blob>;
using Row = std::vector<Cell>;

struct TableData {
    std::vector<std::string> columns;
    std::vector<Row> rows;
    // Row i has rowid firstRowid + i * rowidStride.
    sqlite3_int64 firstRowid = 1;
    sqlite3_int64 rowidStride = 1;
    // A column the module can look up by value (an index), or -1.
    int indexedColumn = -1;
    // Declared types, column by column; none where missing.
    std::vector<std::string> types = {};
    // Faults of modules written elsewhere. Text and blobs handed out as static
    // values from buffers the cursor owns, freed when another cursor of the
    // table opens:
    bool valuesFreedOnOpen = false;
    // no plan of its own (full scans alone), and a cursor that goes on from
    // where it stood when filtered again:
    bool scansOnce = false;
    // the state of its latest cursor kept in the table, freed by whichever
    // cursor closes next, so that only one cursor at a time can be used:
    bool latestCursorState = false;
    // a plan of its own for rowid = ? that finds no row:
    bool rowidLookupFindsNothing = false;
};

struct Faults {
    int createCode = SQLITE_OK;        // xCreate fails with this code ...
    std::string createMessage;         // ... and this message (none when empty)
    int openCode = SQLITE_OK;          // every xOpen fails with this code
    int scanNextCode = SQLITE_OK;      // xNext fails ...
    sqlite3_int64 scanNextAtRowid = 0; // ... when leaving this rowid ...
    std::string scanNextMessage;       // ... leaving this in the table's zErrMsg
};

struct CallRecord {
    std::vector<void*> clientData;              // per xCreate or xConnect
    std::vector<std::vector<std::string>> argv; // per xCreate or xConnect
    std::vector<std::string> lifecycle;         // "create t", "connect t", "disconnect t", "destroy t"
    std::vector<int> filterPlans;               // idxNum per xFilter
    int opens = 0;
    int closes = 0;
    int columnReads = 0;
    // Calls SQLite never makes: a cursor read before xFilter or at its end.
    int protocolBreaches = 0;
};

// Safe on several threads at once; calls() is read while no other thread uses the module.
// The data a table created with this file path (first module argument, quotes
// stripped) will hold. Unknown paths give two columns a, b and no rows.
void setTable(const std::string& path, TableData data);
void setFaults(const std::string& path, Faults faults);
void clear();
CallRecord& calls();

const sqlite3_module* module();
// Without xCreate: an eponymous-only module whose tables come from xConnect.
const sqlite3_module* eponymousModule();
// Declares its table WITHOUT ROWID (first column the key) and has no xRowid.
const sqlite3_module* keyedModule();
// The same declaration, with an xRowid all the same.
const sqlite3_module* keyedModuleWithRowid();
// Hands out text and blobs as static values from buffers its cursor owns,
// overwritten and freed when the cursor closes, as some modules elsewhere do.
const sqlite3_module* staticValuesModule();
// Table-valued: rows first..last of CREATE TABLE x(value, first HIDDEN, last
// HIDDEN); a plan without both arguments is refused with SQLITE_CONSTRAINT.
const sqlite3_module* rangeModule();

// A table of the writable module: its columns and rows by rowid, and its
// faults: the failUpdate-th xUpdate of a transaction fails (0: none), and
// xSync with failSync.
struct WritableData {
    std::vector<std::string> columns = {"a", "b"};
    std::map<sqlite3_int64, Row> rows;
    int failUpdate = 0;
    bool failSync = false;
    bool failBegin = false;
    int strayRollbacks = 0; // xRollback calls outside a transaction of the module
};
void setWritable(const std::string& path, WritableData data);
// The rows the last commit left.
std::map<sqlite3_int64, Row> writableRows(const std::string& path);
int strayRollbacks(const std::string& path);
// Writes its own rows, shared by every table over one path, in transactions;
// renames its tables to any name but "refused".
const sqlite3_module* writableModule();

// idxNum of the plans that look a single rowid, or the indexed column's value, up.
constexpr int rowidLookupPlan = 1;
constexpr int columnLookupPlan = 2;

} // namespace memory_module
