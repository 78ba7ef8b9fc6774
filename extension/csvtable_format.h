// How Debian's csvtable module reads a CSV file, for a save that writes one it
// reads back: its arguments, where each row starts (its rowid), and what it
// makes of a field's text; and the text that makes it read a value back.
#pragma once

#include <QByteArray>

#include <sqlite3ext.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace csvtable {

enum class ColumnType { Text, Integer, Real };

struct Format {
    std::string path;
    // Characters that part fields (none given: ';') and that quote them.
    std::string separators;
    std::string quotes;
    // Neither given: both guessed from the file's first ten lines.
    bool guessed = false;
    // Non-zero: the first line names the columns.
    long header = 0;
    // 1 Latin-1 read as UTF-8, 2 backslash escapes, 8 with 2: \q for a quote.
    long conversion = 0;
    // The declared types, by column; a column past them reads as text.
    std::vector<ColumnType> types;

    ColumnType typeOf(int column) const;
    char separator() const { return separators.empty() ? ';' : separators[0]; }
};

// The format the module's arguments (as CREATE VIRTUAL TABLE gave them, the
// module, schema and table names first) give a file, guessed from its bytes
// where they give neither separators nor quotes.
Format formatOf(const std::vector<QByteArray>& arguments, std::string_view file);
// What the module guesses for file: separators and quotes.
std::pair<std::string, std::string> guess(std::string_view file);

// Where the rows lie: a record per row, each from its start (its rowid) to
// past its line break, after the header line when there is one; then the
// tail: a last line the module never shows (no line break ends it, or a
// carriage return alone, on which it meets the end of the file).
struct Layout {
    std::uint64_t rowsStart = 0;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> rows;
    std::uint64_t tailStart = 0;
};
Layout layoutOf(std::string_view file, const Format& format);

// A value as the module reads it.
struct ReadValue {
    int type = SQLITE_TEXT;
    sqlite3_int64 integer = 0;
    double real = 0;
    std::string text;
};
// What the module reads a field as, its quotes taken off.
ReadValue readField(const std::string& field, ColumnType type, long conversion);

// The fields of a line (without its line break) as the module parts them,
// each with its quotes; none when the module would read the line otherwise
// than its bytes (a NUL byte, a carriage return) or a field is quoted
// otherwise than a save quotes one.
std::vector<std::string_view> fieldsOf(std::string_view line, const Format& format);
// Whether the module reads the field (with its quotes) as value in column.
bool readsAs(std::string_view field, sqlite3_value* value, const Format& format, int column);

// Appends a field that the module reads back as value in a column of
// column's type: false with why set when none does. NULL has no field.
bool appendValue(sqlite3_value* value, const Format& format, int column, std::string& out, std::string& why);

} // namespace csvtable
