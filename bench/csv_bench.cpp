// File-scale benchmarks on the million-row CSV file: the whole-table UPDATE, its
// undo and redo, full scans, and the memory per row that reading and editing take.
#include "bulk_csv.h"

#include <cstdint>
#include <stdexcept>
#include <string>

namespace bench {
namespace {

// The native whole-table UPDATE: the baseline of the bulk writes and walks.
// Repetitions alternate upper() and lower(), so that each changes every note:
// SQLite leaves a page clean where a row is written again with the same bytes.
void updateNative()
{
    static bool upper = false;
    upper = !upper;
    sqlite3* native = BulkCsv::get().native();
    exec(native, upper ? upperNotes("native") : "UPDATE native SET note = lower(note)");
    if (sqlite3_changes(native) != csvRows)
        throw std::runtime_error("the native update changed other than every row");
}

// What stands below the log's cost: the rows that recording the whole-table
// update must write, one stored row and one history row with its step index
// entry per edited row, each holding a snapshot of the row's size (UTF-16
// text), inserted by two set-based statements into tables of the log's shape
// on a file set up as the history file is. Fresh tables each repetition.
class WriteFloor {
public:
    WriteFloor() : database{openNativeDatabase(homePath("write_floor.sqlite"))} {}

    double run()
    {
        sqlite3* db = database.db;
        exec(db, "DROP TABLE IF EXISTS s; DROP TABLE IF EXISTS h;"
                 "CREATE TABLE s (ID integer PRIMARY KEY NOT NULL, newValue BLOB NOT NULL);"
                 "CREATE TABLE h (actionTag INTEGER, oldRowID INTEGER, newRowID INTEGER, oldValue BLOB, "
                 "newValue BLOB, historyID INTEGER NOT NULL); CREATE INDEX hs ON h(historyID);");
        exec(db, "ATTACH '" + homePath("bulk_native.sqlite") + "' AS rows");
        const std::string snapshot = "randomblob(48 + 2 * length(name) + 2 * length(note))";
        const double seconds = timeOnce([&] {
            exec(db, "BEGIN; INSERT INTO h SELECT 3, rowid, rowid, x'00000000', " + snapshot +
                         ", 1 FROM rows.native; INSERT INTO s SELECT rowid, " + snapshot + " FROM rows.native; COMMIT");
        });
        exec(db, "DETACH rows");
        return seconds;
    }

private:
    NativeDatabase database;
};

// Each repetition records into the log of a fresh table, made and dropped untimed.
void BM_CsvUpdateWholeTable(benchmark::State& state)
{
    runComparison(state, [] {
        BulkCsv& bulk = BulkCsv::get();
        sqlite3* db = Host::get().db;
        WriteFloor floor;
        return compare(
            Budget{5.0, 2, 5},
            [&](long) {
                const std::string table = bulk.createOverlay("csv_update");
                const double seconds = timeOnce([&] { exec(db, upperNotes(table)); });
                if (sqlite3_changes(db) != csvRows)
                    throw std::runtime_error("the overlay update changed other than every row");
                bulk.dropOverlay(table);
                return seconds;
            },
            Budget{2.0, 2, 5}, [](long) { updateNative(); }, "write_floor", Budget{2.0, 2, 5},
            [&](long) { return floor.run(); });
    });
}

// An editable_csv table whose history holds one closed step, every note in
// upper case, recorded on first use with the memory it added. The benchmarks
// leave the step applied.
class CsvStep {
public:
    static CsvStep& get()
    {
        static CsvStep step;
        return step;
    }

    std::string name;
    Memory recordedPerRow;

    void undo() const { exec(Host::get().db, "SELECT ombrix_undo('" + name + "')"); }
    void redo() const { exec(Host::get().db, "SELECT ombrix_redo('" + name + "')"); }

    // The note of rowid 10, a row of the step.
    std::string probe() const
    {
        return Statement(Host::get().db, "SELECT note FROM " + name + " WHERE rowid = 10").text();
    }
    static constexpr const char* before = "note 10 of bulk edit";
    static constexpr const char* after = "NOTE 10 OF BULK EDIT";

private:
    CsvStep()
    {
        sqlite3* db = Host::get().db;
        name = BulkCsv::get().createOverlay("csv_step");
        const Memory start = memoryNow();
        exec(db, upperNotes(name));
        if (sqlite3_changes(db) != csvRows)
            throw std::runtime_error("the step's update changed other than every row");
        recordedPerRow = perRow(start, memoryNow(), csvRows);
        exec(db, "SELECT ombrix_commit('" + name + "')");
    }
};

void BM_CsvUndoStep(benchmark::State& state)
{
    runComparison(state, [] {
        const CsvStep& step = CsvStep::get();
        bool checked = false;
        return compare(
            Budget{5.0, 2, 5},
            [&](long) {
                // Timed: the undo. The redo that restores the step is not.
                const double seconds = timeOnce([&] { step.undo(); });
                if (!checked && step.probe() != CsvStep::before)
                    throw std::runtime_error("undo left the step's values");
                checked = true;
                step.redo();
                return seconds;
            },
            Budget{2.0, 2, 5}, [](long) { updateNative(); });
    });
}

void BM_CsvRedoStep(benchmark::State& state)
{
    runComparison(state, [] {
        const CsvStep& step = CsvStep::get();
        bool checked = false;
        return compare(
            Budget{5.0, 2, 5},
            [&](long) {
                step.undo();
                const double seconds = timeOnce([&] { step.redo(); });
                if (!checked && step.probe() != CsvStep::after)
                    throw std::runtime_error("redo did not bring the step's values back");
                checked = true;
                return seconds;
            },
            Budget{2.0, 2, 5}, [](long) { updateNative(); });
    });
}

// Full scans reading every column; the subject's rows all come from the log.
void BM_CsvScanEveryRowEdited(benchmark::State& state)
{
    runComparison(state, [] {
        sqlite3* db = Host::get().db;
        Statement subjectScan(db, "SELECT * FROM " + CsvStep::get().name);
        Statement baselineScan(db, "SELECT * FROM " + BulkCsv::get().inner);
        std::uint64_t sum = 0;
        auto scan = [&sum](Statement& statement) {
            if (statement.consume(sum) != csvRows)
                throw std::runtime_error("a scan read other than every row");
        };
        const Comparison c = compare(
            Budget{4.0, 2, 10}, [&](long) { scan(subjectScan); }, Budget{2.0, 2, 20},
            [&](long) { scan(baselineScan); });
        benchmark::DoNotOptimize(sum);
        return c;
    });
}

// readonly_csv alone against the native table: where the CSV module stands.
void BM_CsvScanInnerAgainstNative(benchmark::State& state)
{
    runComparison(state, [] {
        BulkCsv& bulk = BulkCsv::get();
        Statement subjectScan(Host::get().db, "SELECT * FROM " + bulk.inner);
        Statement baselineScan(bulk.native(), "SELECT * FROM native");
        std::uint64_t subjectSum = 0, baselineSum = 0;
        const Comparison c = compare(
            Budget{2.0, 2, 20},
            [&](long) {
                subjectSum = 0;
                if (subjectScan.consume(subjectSum) != csvRows)
                    throw std::runtime_error("readonly_csv read other than every row");
            },
            Budget{2.0, 2, 20},
            [&](long) {
                baselineSum = 0;
                if (baselineScan.consume(baselineSum) != csvRows)
                    throw std::runtime_error("the native scan read other than every row");
            });
        // No check of the sums: the bulk updates changed the case of the native notes.
        benchmark::DoNotOptimize(subjectSum + baselineSum);
        return c;
    });
}

// Memory per row: what readonly_csv holds for the file, what recording the
// whole-table step added beyond it, and the growth from the first to the third
// undo + redo cycle of that step.
void BM_CsvMemory(benchmark::State& state)
{
    for (auto _ : state) {
        try {
            const Memory inner = BulkCsv::get().innerPerRow;
            const CsvStep& step = CsvStep::get();
            const auto start = Clock::now();
            Memory afterFirst;
            for (int cycle = 1; cycle <= 3; ++cycle) {
                step.undo();
                step.redo();
                if (cycle == 1)
                    afterFirst = memoryNow();
            }
            const Memory growth = perRow(afterFirst, memoryNow(), csvRows);
            if (step.probe() != CsvStep::after)
                throw std::runtime_error("the cycles did not end with the step applied");
            state.SetIterationTime(secondsSince(start));
            state.counters["readonly_csv_rss_bytes_per_row"] = inner.resident;
            state.counters["readonly_csv_heap_bytes_per_row"] = inner.heap;
            state.counters["update_rss_bytes_per_row"] = step.recordedPerRow.resident;
            state.counters["update_heap_bytes_per_row"] = step.recordedPerRow.heap;
            state.counters["undo_redo_rss_growth_bytes_per_row"] = growth.resident;
            state.counters["undo_redo_heap_growth_bytes_per_row"] = growth.heap;
        } catch (const std::exception& error) {
            state.SkipWithError(error.what());
            break;
        }
    }
}

} // namespace

void registerCsvBenchmarks()
{
    addBenchmark("csv/update_whole_table_1e6", BM_CsvUpdateWholeTable);
    addBenchmark("csv/undo_1e6_row_step", BM_CsvUndoStep);
    addBenchmark("csv/redo_1e6_row_step", BM_CsvRedoStep);
    addBenchmark("csv/scan_every_row_edited_1e6", BM_CsvScanEveryRowEdited);
    addBenchmark("csv/scan_readonly_csv_vs_native_1e6", BM_CsvScanInnerAgainstNative);
    addBenchmark("csv/memory_1e6", BM_CsvMemory);
}

} // namespace bench
