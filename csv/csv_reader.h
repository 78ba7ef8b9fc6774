// Opens a CSV file and reads it through once: checks that it parses, keeps the
// header's column names and where each data row starts, or names what is wrong.
#pragma once

#include "key_index.h"

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace csvfile {

// The file offsets of the data rows in file order: four bytes a row in a file
// under 4 GiB, eight in a larger one.
class RowStarts {
public:
    void reset(std::uint64_t fileSize);
    void push(std::uint64_t offset);
    std::size_t size() const { return wide_ ? wideStarts_.size() : narrowStarts_.size(); }
    std::uint64_t operator[](std::size_t row) const { return wide_ ? wideStarts_[row] : narrowStarts_[row]; }

private:
    bool wide_ = false;
    std::vector<std::uint32_t> narrowStarts_;
    std::vector<std::uint64_t> wideStarts_;
};

// How a file is read: its delimiter, whether its first record names the
// columns (else they are c1, c2, ...), whether fields are typed, and the
// column whose values are indexed (none when empty).
struct Options {
    char delimiter = ',';
    bool header = true;
    bool typed = true;
    std::string key;
};

// Whether bytes are well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool isUtf8(std::string_view bytes);

// A CSV file held open after one pass found it well formed. Fields are separated
// by the delimiter, records by LF, CRLF or CR; double-quoted fields hold the
// delimiter, line breaks and doubled quotes. A UTF-8 byte order mark is skipped
// and blank lines are passed over.
struct CsvFile {
    std::string name; // as messages name it: CSV file "path"
    std::string path; // canonical and absolute when opened; as given when it cannot be resolved
    Options options;
    int fd = -1;
    std::vector<std::string> columns;
    RowStarts rows;
    std::size_t keyColumn = SIZE_MAX; // the key's, when options name one
    KeyIndex keys;                    // row numbers from 0, as in rows
    std::uint64_t size = 0;           // as checked
    timespec modified{};              // as checked

    CsvFile() = default;
    CsvFile(const CsvFile&) = delete;
    CsvFile& operator=(const CsvFile&) = delete;
    ~CsvFile();

    // Opens the file at path read-only and checks all of it, read as options says, and indexes the
    // key column it names. On failure returns false with a message that names the file, and the
    // line where one is to blame.
    bool open(const std::string& path, const Options& how, std::string& error);
    // Exchanges everything, the open files included, with other.
    void swap(CsvFile& other) noexcept;
    // Where data row `row` (from 0) ends: where the next one starts, or the file's end.
    std::uint64_t rowEnd(std::size_t row) const { return row + 1 < rows.size() ? rows[row + 1] : size; }
    // Whether the open file still has the size and modification time it had
    // when checked; false too when that cannot be told.
    bool unchanged() const;
};

} // namespace csvfile
