// Writes what a CSV table shows to a file beside a target: the header and the
// rows no edit touched byte for byte, edited rows keeping the text of each
// unchanged cell, inserted rows after, in rowid order.
#pragma once

#include "csv/csv_writer.h"
#include "extension/save_failure.h"
#include "extension/saved_table.h"

#include <sqlite3ext.h>

#include <string>
#include <string_view>

class Saver {
public:
    Saver(sqlite3* db, const SavedTable& table) : db(db), table(table), file(*table.file) {}

    // Writes and syncs the file beside target; returns the rows written.
    // Throws Failure.
    sqlite3_int64 write(const std::string& target);

    // The written file, readable until replace().
    const std::string& temporaryPath() const { return out.temporaryPath(); }

    // Renames the written file over the target. Throws Failure.
    void replace() { check(out.replace(error)); }

private:
    // Finalizes however the save ends.
    struct Statement {
        sqlite3_stmt* handle = nullptr;
        ~Statement();
    };

    void check(bool done);
    std::string lineBreakOf();
    void prepareRowQuery();
    std::string readBytes(std::uint64_t start, std::uint64_t end);
    void copyBytes(std::uint64_t start, std::uint64_t end);
    void copyRows(std::size_t from, std::size_t to);
    void writeEditedRow(std::size_t row, sqlite3_int64 rowid);
    void writeRow(sqlite3_int64 rowid, const csvfile::RawRecord* raw, const std::string& ending);
    Failure cellFailure(sqlite3_int64 rowid, int column, const std::string& what) const;
    static bool endsLine(std::string_view bytes);
    void startRecord();
    void flush();

    sqlite3* db;
    const SavedTable& table;
    const csvfile::CsvFile& file;
    csvfile::ReplacingFile out;
    Statement rowQuery;
    std::string buffer;
    std::string lineBreak = "\n";
    std::string error;
    bool openLine = false;
};
