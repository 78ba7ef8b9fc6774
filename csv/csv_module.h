// The CSV module: a read-only virtual table over a CSV file whose rows are read
// from the file on demand, fit to be the inner module of a quillmere overlay.
#pragma once

#include "csv_reader.h"

#include <sqlite3.h>

#include <string>

// USING module('file.csv' [, option=value ...]): the header row names the
// columns, the data rows are rowids 1..n in file order.
const sqlite3_module* csvModule();

// name as an SQL identifier in double quotes, inner quotes doubled.
std::string quotedIdentifier(const std::string& name);

// The file a table of the module on db reads, by its schema and name as SQLite
// compares names (the newest where several are open); null when none is.
// Valid while the table stays open, which the caller, on db's thread, sees to.
const csvfile::CsvFile* csvFileOf(sqlite3* db, const std::string& schema, const std::string& table);
// How many cursors of that table are open: statements that read its file.
int csvCursorsOf(sqlite3* db, const std::string& schema, const std::string& table);
// That table reads file from now on, its rowids 1..n in file order, and file
// is left empty. Refused (false) while a cursor of the table is open, or when
// there is no such table.
bool csvSwapFile(sqlite3* db, const std::string& schema, const std::string& table, csvfile::CsvFile& file);
