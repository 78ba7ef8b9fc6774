// The CSV files: the million-row one written once per run into the benchmark's
// home, with the memory readonly_csv holds for it measured as it is first
// scanned; the survey export written where a benchmark asks.
#include "bulk_csv.h"

#include "csv/csv_module.h"
#include "routines.h"

#include "quillmere.h"

#include <malloc.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace bench {

Memory memoryNow()
{
    malloc_trim(0);
    long size = 0;
    long resident = 0;
    FILE* statm = std::fopen("/proc/self/statm", "r");
    const bool read = statm && std::fscanf(statm, "%ld %ld", &size, &resident) == 2;
    if (statm)
        std::fclose(statm);
    if (!read)
        throw std::runtime_error("cannot read /proc/self/statm");
    const struct mallinfo2 heap = mallinfo2();
    return {static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)),
            static_cast<double>(heap.uordblks + heap.hblkhd)};
}

Memory perRow(const Memory& before, const Memory& after, sqlite3_int64 rows)
{
    const auto n = static_cast<double>(rows);
    return {(after.resident - before.resident) / n, (after.heap - before.heap) / n};
}

const std::string csvModuleName = "readonly_csv";
const std::string csvOverlayName = "editable_csv";

void registerCsvModules(sqlite3* db)
{
    if (sqlite3_create_module(db, csvModuleName.c_str(), csvModule(), nullptr) != SQLITE_OK)
        fail(db, "create module " + csvModuleName);
    if (wrapVirtualTableWithTransactions(db, hostRoutines(), csvModule(), csvOverlayName.c_str()) != SQLITE_OK)
        fail(db, "wrapVirtualTableWithTransactions " + csvOverlayName);
}

std::string upperNotes(const std::string& table)
{
    return "UPDATE " + table + " SET note = upper(note)";
}

SurveyRow surveyRow(sqlite3_int64 id)
{
    const sqlite3_int64 i = id - surveyFirstId + 1;
    return {"site " + std::to_string(i % 977), static_cast<double>(i % 1000) * 0.5, "surveyed, " + std::to_string(i)};
}

void writeSurvey(const std::string& path)
{
    FILE* file = std::fopen(path.c_str(), "w");
    if (!file)
        throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
    std::fputs("id,name,v,note\n", file);
    for (sqlite3_int64 id = surveyFirstId; id < surveyFirstId + surveyRows; ++id) {
        const SurveyRow row = surveyRow(id);
        std::fprintf(file, "%lld,%s,%.2f,\"%s\"\n", static_cast<long long>(id), row.name.c_str(), row.v,
                     row.note.c_str());
    }
    if (std::fclose(file) != 0)
        throw std::runtime_error("cannot write " + path);
}

namespace {

// id, a short name, a real v and a note of 19 to 25 characters: about 48 MB.
void writeCsvFile(const std::string& path)
{
    FILE* file = std::fopen(path.c_str(), "w");
    if (!file)
        throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
    std::fputs("id,name,v,note\n", file);
    for (long long i = 1; i <= csvRows; ++i)
        std::fprintf(file, "%lld,name%lld,%.2f,note %lld of bulk edit\n", i, i % 1000,
                     static_cast<double>(i % 10000) * 0.25, i);
    if (std::fclose(file) != 0)
        throw std::runtime_error("cannot write " + path);
}

} // namespace

BulkCsv& BulkCsv::get()
{
    static BulkCsv bulk;
    return bulk;
}

std::string BulkCsv::createOverlay(const std::string& base)
{
    const int use = ++uses[base];
    const std::string name = use == 1 ? base : base + "_" + std::to_string(use);
    exec(Host::get().db, "CREATE VIRTUAL TABLE " + name + " USING " + csvOverlayName + "('" + file + "')");
    return name;
}

void BulkCsv::dropOverlay(const std::string& name)
{
    exec(Host::get().db, "DROP TABLE " + name);
}

BulkCsv::BulkCsv()
{
    sqlite3* db = Host::get().db;
    registerCsvModules(db);
    writeCsvFile(file);
    const Memory before = memoryNow();
    exec(db, "CREATE VIRTUAL TABLE " + inner + " USING " + csvModuleName + "('" + file + "')");
    std::uint64_t sum = 0;
    if (Statement(db, "SELECT * FROM " + inner).consume(sum) != csvRows)
        throw std::runtime_error("readonly_csv does not show the file's rows");
    innerPerRow = perRow(before, memoryNow(), csvRows);

    nativeDatabase.db = openNativeDatabase(homePath("bulk_native.sqlite"));
    exec(native(), "CREATE TABLE native(id, name, v, note)");
    copyRows(db, "SELECT rowid, * FROM " + inner, native(),
             "INSERT INTO native(rowid, id, name, v, note) VALUES (?, ?, ?, ?, ?)");
}

} // namespace bench
