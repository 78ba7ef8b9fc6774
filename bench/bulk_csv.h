// The CSV files that the file-scale benchmarks share: the million-row file with
// readonly_csv over it, editable_csv tables made per benchmark, the same rows
// natively; and the 200,000-row survey export.
#pragma once

#include "bench_support.h"

#include <map>
#include <string>

namespace bench {

constexpr sqlite3_int64 csvRows = 1000000;

// What the process holds, read after freed memory went back to the system:
// resident bytes (/proc/self/statm) and heap bytes in use (mallinfo2).
struct Memory {
    double resident = 0;
    double heap = 0;
};

Memory memoryNow();
Memory perRow(const Memory& before, const Memory& after, sqlite3_int64 rows);

extern const std::string csvModuleName;
extern const std::string csvOverlayName;

// Registers readonly_csv and its overlay editable_csv on db.
void registerCsvModules(sqlite3* db);

// The UPDATE that puts every note of table in upper case.
std::string upperNotes(const std::string& table);

// The survey export that the lookup and service benchmarks read: ids from
// 1,000,001 up, a name, a real and a note, as a survey has them.
constexpr sqlite3_int64 surveyRows = 200000;
constexpr sqlite3_int64 surveyFirstId = 1000001;

struct SurveyRow {
    std::string name;
    double v;
    std::string note;
};

// The row of id as the file holds it.
SurveyRow surveyRow(sqlite3_int64 id);
void writeSurvey(const std::string& path);

class BulkCsv {
public:
    // Made on first use: the file written, scanned once through readonly_csv
    // (which is when innerPerRow is read), and copied into the native table.
    static BulkCsv& get();

    const std::string file = homePath("bulk.csv");
    const std::string inner = "csv_inner";
    // What readonly_csv holds for the file, per row, after a full scan.
    Memory innerPerRow;

    sqlite3* native() const { return nativeDatabase.db; }

    // An editable_csv table over the file, named as Host::createOverlay names.
    std::string createOverlay(const std::string& base);
    void dropOverlay(const std::string& name);

private:
    BulkCsv();

    NativeDatabase nativeDatabase;
    std::map<std::string, int> uses;
};

} // namespace bench
