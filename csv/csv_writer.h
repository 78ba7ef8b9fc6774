// Writing a CSV file the module reads: records as written split into their raw
// fields, values written as the shortest text that reads back the same, and a
// file replaced whole or not at all.
#pragma once

#include "csv_reader.h"
#include "csv_rows.h"

#include <sqlite3.h>

#include <string>
#include <string_view>
#include <vector>

namespace csvfile {

// One record of a checked file as written: each field's text with its quotes,
// and what follows the last field (its line ending and any blank lines).
struct RawRecord {
    std::vector<std::string_view> fields;
    std::string_view ending;
};

// Splits the bytes of one record that the check at open accepted.
RawRecord splitRecord(std::string_view bytes, char delimiter);

// What a raw field reads as under options; text may point into scratch.
Cell cellOfRaw(std::string_view raw, const Options& options, std::string& scratch);

// Whether value is the cell: the same type and value (text by its bytes).
bool sameValue(const Cell& cell, sqlite3_value* value);

// Appends value as a field that reads back as the same type and value where
// options allow it: NULL as an empty field, an integer in decimal, a real in
// its shortest digits that read back as it (as Python's repr), text quoted where it holds the
// delimiter, a quote or a line break, or is empty. Without types every field
// reads as text, and NULL has no field. Returns false with error set for what
// a CSV file cannot hold: a blob, an infinite real, NULL without types.
bool appendField(sqlite3_value* value, const Options& options, std::string& out, std::string& error);

// A file written beside its target under a temporary name, then flushed and
// renamed over the target: the target is the old file or the new one, never a
// mix. A new file's mode follows the umask; a replaced one's mode, owner and
// group stay. Dropped unfinished, the temporary file goes.
class ReplacingFile {
public:
    ReplacingFile() = default;
    ReplacingFile(const ReplacingFile&) = delete;
    ReplacingFile& operator=(const ReplacingFile&) = delete;
    ~ReplacingFile();

    // Each returns false with error set, naming the target and why.
    bool open(const std::string& target, std::string& error);
    bool write(std::string_view bytes, std::string& error);
    // Flushes the temporary file to disk and closes it; it may then be read.
    bool sync(std::string& error);
    // Renames the synced temporary file over the target.
    bool replace(std::string& error);

    const std::string& temporaryPath() const { return temporary_; }

private:
    bool fail(const char* what, std::string& error);

    std::string target_;
    std::string temporary_;
    int fd_ = -1;
};

} // namespace csvfile
