// Writes what a CSV table shows to a file beside a target: the header and the
// rows no edit touched byte for byte, edited rows keeping the text of each
// unchanged cell, inserted rows after, in rowid order.
#pragma once

#include "csv/csv_writer.h"
#include "extension/save_failure.h"
#include "extension/save_plan.h"
#include "extension/saved_table.h"
#include "extension/table_scan.h"

#include <sqlite3ext.h>

#include <map>
#include <memory>
#include <optional>
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
    // A row written before its place in the file came, and whether its line
    // stays open (the last line of a file without a line break).
    struct Held {
        std::string text;
        bool open;
    };

    void check(bool done);
    std::string lineBreakOf();
    std::string readBytes(std::uint64_t start, std::uint64_t end);
    void copyBytes(std::uint64_t start, std::uint64_t end);
    void copyRows(std::size_t from, std::size_t to);
    void writeMerged();
    void reach(sqlite3_int64 rowid);
    void copyUnchanged(sqlite3_int64 from, sqlite3_int64 to);
    void writeInPlace(sqlite3_int64 rowid, std::optional<sqlite3_int64> fileRow);
    void writeDisplaced(sqlite3_int64 rowid);
    bool appendRow(const TableScan& scan, std::optional<sqlite3_int64> fileRow, std::string& into);
    void writeRow(const TableScan& scan, std::optional<sqlite3_int64> fileRow);
    static Failure vanished(sqlite3_int64 rowid);
    static bool endsLine(std::string_view bytes);
    void startRecord();
    void flush();

    sqlite3* db;
    const SavedTable& table;
    const csvfile::CsvFile& file;
    csvfile::ReplacingFile out;
    SavePlan plan;
    // The rows in the order they are written, passing the displaced ones, and
    // the displaced ones, each met ahead of where the first walk is.
    std::unique_ptr<TableScan> inPlace, ahead;
    std::map<sqlite3_int64, Held> held;
    sqlite3_int64 written = 0;
    std::string buffer;
    std::string lineBreak = "\n";
    std::string error;
    bool openLine = false;
};
