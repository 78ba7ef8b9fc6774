// Loads a whole CSV file into memory: the header row's column names and the data
// rows as typed cells, or an error that names the file and the line.
#pragma once

#include <sqlite3.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace csvfile {

// NULL, integer, real or text: what a field is read as.
using Cell = std::variant<std::monostate, sqlite3_int64, double, std::string>;
using Row = std::vector<Cell>;

struct Contents {
    std::vector<std::string> columns;
    std::vector<Row> rows;
};

// How one field reads. An empty unquoted field (data is null) is NULL. A field
// written the way JSON writes a number is an integer when it has neither a
// fraction nor an exponent and fits 64 bits, otherwise a real; leading zeros,
// a leading '+', surrounding spaces or anything else keep it text.
Cell cellFromField(const char* data, std::size_t size);

// Parses CSV text: fields separated by commas, records by LF, CRLF or CR,
// double-quoted fields holding commas, line breaks and doubled quotes. A UTF-8
// byte order mark is skipped and blank lines are passed over. On failure returns
// false with error set to what went wrong, starting "line N: " where a line
// is to blame.
bool parseCsv(std::string_view text, Contents& out, std::string& error);

// Reads the file at path (opened read-only) and parses it. On failure returns
// false with a message that names the file.
bool readCsvFile(const std::string& path, Contents& out, std::string& error);

} // namespace csvfile
