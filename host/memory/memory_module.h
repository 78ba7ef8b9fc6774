// A host's own virtual-table module kept in memory: rows chosen per file path,
// injectable failures, and a record of how it was called. Stand-in for tests.
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
};

struct Faults {
    int createCode = SQLITE_OK;       // xCreate fails with this code ...
    std::string createMessage;        // ... and this message (none when empty)
    int openCode = SQLITE_OK;         // every xOpen fails with this code
    int countingNextCode = SQLITE_OK; // xNext of a cursor never filtered fails
    int scanNextCode = SQLITE_OK;     // xNext of a filtered cursor fails ...
    sqlite3_int64 scanNextAtRowid = 0; // ... when leaving this rowid ...
    std::string scanNextMessage;      // ... leaving this in the table's zErrMsg
};

struct CallRecord {
    std::vector<void*> clientData;               // per xCreate
    std::vector<std::vector<std::string>> argv;  // per xCreate
    int creates = 0;
    int destroys = 0;
    int opens = 0;
    int closes = 0;
    std::vector<int> filterPlans;                // idxNum per xFilter
    std::vector<std::string> lifecycle;          // "create t", "destroy t" in call order
};

// The data a table created with this file path (first module argument, quotes
// stripped) will hold. Unknown paths give two columns a, b and no rows.
void setTable(const std::string& path, TableData data);
void setFaults(const std::string& path, Faults faults);
void clear();
CallRecord& calls();

const sqlite3_module* module();

// idxNum of the plan that looks a single rowid up.
constexpr int rowidLookupPlan = 1;

} // namespace memory_module
