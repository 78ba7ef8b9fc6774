// A table that a save function's argument names, found as SQLite finds a table
// that a statement names, and the text arguments such functions take.
#pragma once

#include "common/routines.h"

#include <string>

struct NamedTable {
    std::string schema;
    std::string name;
};

// 'table' or 'schema.table', where schema is a database of db: unqualified,
// temp first, then main, then attached databases in the order attached. The
// table is connected, as a statement reading it would connect it. Throws
// ErrorPair: no such table, or one that cannot be connected.
NamedTable findNamedTable(sqlite3* db, const std::string& given);

// schema.name as SQL text, each part quoted.
std::string qualifiedName(const NamedTable& table);

// A text argument, or null for NULL and for text holding a NUL byte, which
// would end a path or a name before its end.
const char* textArgument(sqlite3_value* value);
