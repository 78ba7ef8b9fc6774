// The CSV module: a read-only virtual table over a CSV file whose rows are read
// from the file on demand, fit to be the inner module of a quillmere overlay.
#pragma once

#include <sqlite3.h>

// USING module('file.csv'): the header row names the columns, the data rows
// are rowids 1..n in file order.
const sqlite3_module* csvModule();
