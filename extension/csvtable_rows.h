// The bytes of a csvtable file that holds what its overlay table shows: the
// file's lines no edit touched as they are, edited rows in their places,
// inserted rows after them.
#pragma once

#include "common/named_table.h"
#include "extension/csvtable_format.h"
#include "overlay/records.h"

#include <string>

struct CsvtableFile {
    std::string bytes;
    // The rows csvtable reads from bytes, header and hidden last line aside.
    sqlite3_int64 rows = 0;
};

// Reads the table's rows (one scan) and the changes its log lists, beside
// file, the bytes of its file read as format. Throws Failure or ErrorPair.
CsvtableFile composeCsvtableFile(sqlite3* db, OverlayTable& table, const NamedTable& named,
                                 const csvtable::Format& format, std::string_view file);
