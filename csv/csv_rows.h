// Data rows of a checked CSV file read on demand, through a window of the file
// whose size is bounded by a block or the longest row, and their fields typed.
#pragma once

#include "csv_cells.h"
#include "csv_reader.h"

#include <sqlite3.h>

#include <string_view>

namespace csvfile {

// Reads one row at a time of a file that outlives it.
class RowReader {
public:
    explicit RowReader(const CsvFile& file) noexcept : file_(file) {}

    // Reads data row `row` (from 0). Returns false with error set, naming the
    // file, when it cannot be read or no longer is what was checked: its size
    // or modification time changed, or the row no longer parses the same way.
    bool read(std::size_t row, std::string& error);
    // A field of the row read last, typed by cellFromField, or as the text
    // written (an empty field too) where the file's options ask for no types;
    // its text stays valid until the next read and is followed by a NUL.
    Cell cell(std::size_t column) const;

private:
    struct Field {
        const char* data; // null for an empty unquoted field
        std::size_t size;
    };

    bool load(std::uint64_t start, std::uint64_t end, std::string& error);
    bool split(const char* p, const char* end);

    const CsvFile& file_;
    std::vector<char> window_; // file bytes from windowStart_, windowSize_ of them valid
    std::uint64_t windowStart_ = 0;
    std::size_t windowSize_ = 0;
    std::vector<char> values_; // the fields of the row read last, each followed by a NUL
    std::vector<Field> fields_;
};

} // namespace csvfile
