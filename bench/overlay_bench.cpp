// Overlay benchmarks: each one times a subject and its baseline in the same run
// and reports ratio = subject / baseline, with subject_us and baseline_us.
#include "bench_support.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace bench {
namespace {

// ---------------------------------------------------------------------------
// 1. Full scans, SELECT * with every value read, against the inner table alone.

Comparison scanAgainstInner(const std::string& subjectTable, const Budget& subjectBudget, bool sameValues)
{
    Host& host = Host::get();
    Statement baselineScan(host.db, "SELECT * FROM " + host.innerTable());
    Statement subjectScan(host.db, "SELECT * FROM " + subjectTable);
    std::uint64_t baselineSum = 0, subjectSum = 0;
    sqlite3_int64 baselineRows = 0, subjectRows = 0;
    const Comparison c = compare(
        subjectBudget,
        [&](long) {
            subjectSum = 0;
            subjectRows = subjectScan.consume(subjectSum);
        },
        Budget{1.0, 4, 1000},
        [&](long) {
            baselineSum = 0;
            baselineRows = baselineScan.consume(baselineSum);
        });
    if (baselineRows != tableRows || subjectRows != tableRows)
        throw std::runtime_error("a scan read " + std::to_string(subjectRows) + " rows");
    if (sameValues && subjectSum != baselineSum)
        throw std::runtime_error("the overlay scan read other values than the inner table");
    return c;
}

void BM_ScanNoLog(benchmark::State& state)
{
    runComparison(state, [] { return scanAgainstInner(Host::get().cleanOverlay(), {1.0, 4, 1000}, true); });
}

void BM_ScanLog3Percent(benchmark::State& state)
{
    runComparison(state, [] { return scanAgainstInner(Host::get().loggedOverlay(), {2.0, 1, 1000}, false); });
}

// ---------------------------------------------------------------------------
// 2. Lookups on the table with the 3% log, against the inner table alone.

void BM_LookupRowid(benchmark::State& state)
{
    runComparison(state, [] {
        Host& host = Host::get();
        const std::vector<sqlite3_int64> rowids = randomRowids(10000, 7);
        Statement baselineLookup(host.db, "SELECT * FROM " + host.innerTable() + " WHERE rowid = ?");
        Statement subjectLookup(host.db, "SELECT * FROM " + host.loggedOverlay() + " WHERE rowid = ?");
        std::uint64_t sum = 0;
        sqlite3_int64 baselineFound = 0;
        const Comparison c = compare(
            Budget{4.0, 4, 10000},
            [&](long i) { subjectLookup.bind(1, rowids[static_cast<size_t>(i)]).consume(sum); },
            Budget{0.5, 10000, 10000},
            [&](long i) { baselineFound += baselineLookup.bind(1, rowids[static_cast<size_t>(i)]).consume(sum); });
        benchmark::DoNotOptimize(sum);
        if (baselineFound != c.baseline.reps)
            throw std::runtime_error("inner lookups missed rows");
        return c;
    });
}

void BM_WhereColumn(benchmark::State& state)
{
    runComparison(state, [] {
        Host& host = Host::get();
        const std::vector<sqlite3_int64> keys = randomRowids(1000, 11);
        Statement baselineCount(host.db, "SELECT count(*) FROM " + host.innerTable() + " WHERE c2 = ?");
        Statement subjectCount(host.db, "SELECT count(*) FROM " + host.loggedOverlay() + " WHERE c2 = ?");
        sqlite3_int64 total = 0;
        const Comparison c = compare(
            Budget{4.0, 4, 1000},
            [&](long i) { total += subjectCount.bind(1, keyOf(keys[static_cast<size_t>(i)])).scalar(); },
            Budget{1.0, 8, 1000},
            [&](long i) {
                const sqlite3_int64 n = baselineCount.bind(1, keyOf(keys[static_cast<size_t>(i)])).scalar();
                if (n != tableRows / distinctKeys)
                    throw std::runtime_error("inner count " + std::to_string(n));
            });
        benchmark::DoNotOptimize(total);
        return c;
    });
}

// WHERE c2 = ? where the inner module has an index on c2: the overlay hands it
// the constraint and looks the stored rows up by value.
void BM_WhereIndexedColumn(benchmark::State& state)
{
    runComparison(state, [] {
        Host& host = Host::get();
        const std::vector<sqlite3_int64> keys = randomRowids(1000, 11);
        Statement baselineCount(host.db, "SELECT count(*) FROM " + host.indexedInnerTable() + " WHERE c2 = ?");
        Statement subjectCount(host.db, "SELECT count(*) FROM " + host.loggedIndexedOverlay() + " WHERE c2 = ?");
        sqlite3_int64 total = 0;
        const Comparison c = compare(
            Budget{2.0, 1000, 100000},
            [&](long i) { total += subjectCount.bind(1, keyOf(keys[static_cast<size_t>(i % 1000)])).scalar(); },
            Budget{1.0, 1000, 100000},
            [&](long i) {
                const sqlite3_int64 n = baselineCount.bind(1, keyOf(keys[static_cast<size_t>(i % 1000)])).scalar();
                if (n != tableRows / distinctKeys)
                    throw std::runtime_error("inner count " + std::to_string(n));
            });
        benchmark::DoNotOptimize(total);
        return c;
    });
}

// WHERE c2 = ? on an indexed inner module with 3,000 stored rows, each right
// after a one-row write to the table, against the same lookup without writes:
// a write updates the log's by-value index rather than making it anew.
void BM_WhereIndexedColumnAfterWrite(benchmark::State& state)
{
    runComparison(state, [] {
        Host& host = Host::get();
        const std::string table = host.createOverlay("l_indexed_write", true);
        exec(host.db, "UPDATE " + table + " SET c2 = c2 || 'u' WHERE rowid % 33 = 1");
        const std::vector<sqlite3_int64> keys = randomRowids(1000, 13);
        Statement count(host.db, "SELECT count(*) FROM " + table + " WHERE c2 = ?");
        Statement write(host.db, "UPDATE " + table + " SET c3 = ? WHERE rowid = 34");
        sqlite3_int64 total = 0;
        auto lookup = [&](long i) { total += count.bind(1, keyOf(keys[static_cast<size_t>(i % 1000)])).scalar(); };
        const Comparison c = compare(
            Budget{1.0, 100, 10000},
            [&](long i) {
                write.bind(1, i).run();
                return timeOnce([&] { lookup(i); });
            },
            Budget{0.5, 100, 10000}, lookup);
        benchmark::DoNotOptimize(total);
        host.dropOverlay(table);
        return c;
    });
}

// A rowid lookup on a table with a 100,000-row log right after a write to
// another table, against the same lookup warm: a write to one table leaves the
// others' indexes as they are.
void BM_LookupAfterOtherTableWrite(benchmark::State& state)
{
    runComparison(state, [] {
        Host& host = Host::get();
        const std::string big = host.createOverlay("l_big");
        const std::string other = host.createOverlay("l_other");
        exec(host.db, "UPDATE " + big + " SET c1 = c1 + 1");
        const std::vector<sqlite3_int64> rowids = randomRowids(10000, 19);
        Statement lookup(host.db, "SELECT * FROM " + big + " WHERE rowid = ?");
        Statement write(host.db, "UPDATE " + other + " SET c1 = ? WHERE rowid = 1");
        std::uint64_t sum = 0;
        lookup.bind(1, 1).consume(sum);
        const Comparison c = compare(
            Budget{1.0, 100, 10000},
            [&](long i) {
                write.bind(1, i).run();
                return timeOnce([&] { lookup.bind(1, rowids[static_cast<size_t>(i)]).consume(sum); });
            },
            Budget{0.5, 100, 10000},
            [&](long i) { lookup.bind(1, rowids[static_cast<size_t>(i)]).consume(sum); });
        benchmark::DoNotOptimize(sum);
        host.dropOverlay(big);
        host.dropOverlay(other);
        return c;
    });
}

// ---------------------------------------------------------------------------
// 3. Writes through the overlay against the same writes on the plain WAL table.

const std::string tenThousandRows = " WHERE rowid % 10 = 0";

// A rowid no benchmark's WHERE clause matches: above the inner rows, odd.
const std::string spareRowid = std::to_string(2 * tableRows + 1);

void BM_SingleRowUpdates(benchmark::State& state)
{
    runComparison(state, [] {
        Host& host = Host::get();
        sqlite3* plain = host.plainDatabase();
        const std::string table = host.createOverlay("w_single");
        const std::vector<sqlite3_int64> rowids = randomRowids(10000, 13);
        Statement baselineUpdate(plain, "UPDATE plain SET c1 = ? WHERE rowid = ?");
        Statement subjectUpdate(host.db, "UPDATE " + table + " SET c1 = ? WHERE rowid = ?");
        // One untimed write each: the overlay's log exists and the plain file's
        // pages are cached before timing starts.
        baselineUpdate.bind(1, -1).bind(2, 1).run();
        subjectUpdate.bind(1, -1).bind(2, 1).run();
        const Comparison c = compare(
            Budget{8.0, 4, 10000},
            [&](long i) {
                subjectUpdate.bind(1, i).bind(2, rowids[static_cast<size_t>(i)]).run();
                if (sqlite3_changes(host.db) != 1)
                    throw std::runtime_error("an overlay update changed no row");
            },
            Budget{3.0, 200, 10000},
            [&](long i) { baselineUpdate.bind(1, i).bind(2, rowids[static_cast<size_t>(i)]).run(); });
        host.dropOverlay(table);
        return c;
    });
}

// 10,000 single-row UPDATEs inside one BEGIN ... COMMIT, commit included.
void BM_SingleRowUpdatesInTransaction(benchmark::State& state)
{
    runComparison(state, [] {
        Host& host = Host::get();
        sqlite3* plain = host.plainDatabase();
        const std::string table = host.createOverlay("w_transaction");
        const std::vector<sqlite3_int64> rowids = distinctRowids(10000, 23);
        Statement baselineUpdate(plain, "UPDATE plain SET c1 = ? WHERE rowid = ?");
        Statement subjectUpdate(host.db, "UPDATE " + table + " SET c1 = ? WHERE rowid = ?");
        subjectUpdate.bind(1, -1).bind(2, 1).run();
        auto transaction = [&rowids](sqlite3* db, Statement& update, long round) {
            exec(db, "BEGIN");
            for (size_t i = 0; i < rowids.size(); ++i)
                update.bind(1, round * 100000 + static_cast<long>(i)).bind(2, rowids[i]).run();
            exec(db, "COMMIT");
        };
        const Comparison c = compare(
            Budget{0, 1, 1}, [&](long round) { transaction(host.db, subjectUpdate, round); }, Budget{0.5, 2, 20},
            [&](long round) { transaction(plain, baselineUpdate, round); });
        if (scalar(host.db, "SELECT c1 FROM " + table + " WHERE rowid = " + std::to_string(rowids[5])) != 5)
            throw std::runtime_error("the overlay transaction lost an update");
        host.dropOverlay(table);
        return c;
    });
}

void BM_OneUpdateOf10000Rows(benchmark::State& state)
{
    runComparison(state, [] {
        Host& host = Host::get();
        sqlite3* plain = host.plainDatabase();
        // The first recording of these rows is the case that matters: each
        // repetition records them in a fresh table, made and dropped untimed.
        const Comparison c = compare(
            Budget{0, 4, 4},
            [&](long) {
                const std::string table = host.createOverlay("w_bulk");
                const double seconds =
                    timeOnce([&] { exec(host.db, "UPDATE " + table + " SET c1 = c1 + 1" + tenThousandRows); });
                if (sqlite3_changes(host.db) != 10000)
                    throw std::runtime_error("the overlay update changed other than 10000 rows");
                host.dropOverlay(table);
                return seconds;
            },
            Budget{0.5, 4, 40},
            [&](long) {
                exec(plain, "UPDATE plain SET c1 = c1 + 1" + tenThousandRows);
                if (sqlite3_changes(plain) != 10000)
                    throw std::runtime_error("the plain update changed other than 10000 rows");
            });
        return c;
    });
}

// ---------------------------------------------------------------------------
// 4. History walks against recording what they walk over.

// A table whose history holds one 10,000-row step, recorded (and timed) on
// first use. The undo and redo benchmarks leave the step applied.
struct StepTable {
    std::string name;
    double recordSeconds = 0;

    static StepTable& get()
    {
        static StepTable table = [] {
            Host& host = Host::get();
            StepTable t;
            t.name = host.createOverlay("h_step");
            // The log is made and its first step closed before the timed step.
            exec(host.db, "INSERT INTO " + t.name + "(rowid, c1) VALUES (" + spareRowid + ", 0)");
            exec(host.db, "SELECT ombrix_commit('" + t.name + "')");
            t.recordSeconds = timeOnce([&] { exec(host.db, "UPDATE " + t.name + " SET c1 = c1 + 1" + tenThousandRows); });
            if (sqlite3_changes(host.db) != 10000)
                throw std::runtime_error("the step's update changed other than 10000 rows");
            exec(host.db, "SELECT ombrix_commit('" + t.name + "')");
            return t;
        }();
        return table;
    }

    void undo() const { exec(Host::get().db, "SELECT ombrix_undo('" + name + "')"); }
    void redo() const { exec(Host::get().db, "SELECT ombrix_redo('" + name + "')"); }

    // c1 of rowid 10, a row of the step: 70 before it, 71 with it.
    sqlite3_int64 probe() const { return scalar(Host::get().db, "SELECT c1 FROM " + name + " WHERE rowid = 10"); }
};

void BM_UndoStep(benchmark::State& state)
{
    runComparison(state, [] {
        const StepTable& step = StepTable::get();
        bool checked = false;
        Comparison c;
        c.baseline = {step.recordSeconds, 1};
        c.subject = measure(Budget{1.0, 1, 5}, [&](long) {
            // Timed: the undo. The redo that restores the step is not.
            const double seconds = timeOnce([&] { step.undo(); });
            if (!checked && step.probe() != 70)
                throw std::runtime_error("undo left the step's values");
            checked = true;
            step.redo();
            return seconds;
        });
        return c;
    });
}

void BM_RedoStep(benchmark::State& state)
{
    runComparison(state, [] {
        const StepTable& step = StepTable::get();
        bool checked = false;
        Comparison c;
        c.baseline = {step.recordSeconds, 1};
        c.subject = measure(Budget{1.0, 1, 5}, [&](long) {
            step.undo();
            const double seconds = timeOnce([&] { step.redo(); });
            if (!checked && step.probe() != 71)
                throw std::runtime_error("redo did not bring the step's values back");
            checked = true;
            return seconds;
        });
        return c;
    });
}

// Up to 1,000 single-row updates, each followed by ombrix_commit, recorded
// within a time budget; then one ombrix_undo over all the steps recorded.
// Both figures are totals over the same steps (subject_reps says how many).
void BM_UndoSmallSteps(benchmark::State& state)
{
    runComparison(state, [] {
        Host& host = Host::get();
        const std::string table = host.createOverlay("h_small");
        exec(host.db, "INSERT INTO " + table + "(rowid, c1) VALUES (" + spareRowid + ", 0)");
        exec(host.db, "SELECT ombrix_commit('" + table + "')");
        const std::vector<sqlite3_int64> rowids = distinctRowids(1000, 17);
        Statement update(host.db, "UPDATE " + table + " SET c1 = ? WHERE rowid = ?");
        Statement commit(host.db, "SELECT ombrix_commit('" + table + "')");
        const Measured recording = measure(Budget{10.0, 4, 1000}, [&](long i) {
            update.bind(1, -i).bind(2, rowids[static_cast<size_t>(i)]).run();
            commit.run();
        });
        const std::string undo = "SELECT ombrix_undo('" + table + "', " + std::to_string(recording.reps) + ")";
        Comparison c;
        c.baseline = {recording.seconds * static_cast<double>(recording.reps), recording.reps};
        c.subject = {timeOnce([&] { exec(host.db, undo); }), recording.reps};
        host.dropOverlay(table);
        return c;
    });
}

// Undo, redo and commit of a one-row step on a table whose history holds a
// million rows, against the same on a table whose history holds a hundred.
void BM_HistorySize(benchmark::State& state)
{
    runComparison(state, [] {
        Host& host = Host::get();
        auto prepare = [&](const std::string& base, const std::string& where, int updates) {
            const std::string table = host.createOverlay(base);
            for (int i = 0; i < updates; ++i) {
                exec(host.db, "UPDATE " + table + " SET c1 = c1 + 1" + where);
                exec(host.db, "SELECT ombrix_commit('" + table + "')");
            }
            return table;
        };
        const std::string small = prepare("h_small_history", " WHERE rowid <= 10", 10);
        const std::string large = prepare("h_large_history", "", 10);
        // One cycle: a one-row step recorded (untimed), then undo, redo and commit.
        auto cycle = [&](const std::string& table, long i) {
            exec(host.db, "UPDATE " + table + " SET c2 = 'cycle" + std::to_string(i) + "' WHERE rowid = 7");
            return timeOnce([&] {
                exec(host.db, "SELECT ombrix_undo('" + table + "')");
                exec(host.db, "SELECT ombrix_redo('" + table + "')");
                exec(host.db, "SELECT ombrix_commit('" + table + "')");
            });
        };
        const Comparison c = compare(
            Budget{1.0, 20, 2000}, [&](long i) { return cycle(large, i); }, Budget{1.0, 20, 2000},
            [&](long i) { return cycle(small, i); });
        host.dropOverlay(large);
        host.dropOverlay(small);
        return c;
    });
}

// ---------------------------------------------------------------------------
// 5. The history views against themselves on small logs: ombrix_tables costs
// the same whatever the logs hold, ombrix_changes the same per row listed.

// ombrix_tables with a 100,000-row log on one table, against the same query
// while that log held 100 rows; the run's other tables are listed in both.
void BM_TablesViewLogSize(benchmark::State& state)
{
    runComparison(state, [] {
        Host& host = Host::get();
        const std::string table = host.createOverlay("v_tables");
        Statement list(host.db, "SELECT * FROM ombrix_tables");
        std::uint64_t sum = 0;
        auto scan = [&](long) { list.consume(sum); };
        exec(host.db, "UPDATE " + table + " SET c1 = c1 + 1 WHERE rowid <= 100");
        Comparison c;
        c.baseline = measure(Budget{1.0, 1000, 100000}, scan);
        exec(host.db, "UPDATE " + table + " SET c1 = c1 + 1");
        c.subject = measure(Budget{1.0, 1000, 100000}, scan);
        if (scalar(host.db, "SELECT updated FROM ombrix_tables WHERE name = '" + table + "'") != tableRows)
            throw std::runtime_error("ombrix_tables counts other than every row updated");
        host.dropOverlay(table);
        return c;
    });
}

// The time per row of listing ombrix_changes of 10,000 changed rows, against
// the same of 100: updated, deleted, moved and inserted rows alike.
void BM_ChangesViewPerRow(benchmark::State& state)
{
    runComparison(state, [] {
        Host& host = Host::get();
        auto logged = [&](const std::string& base, int every) {
            const std::string table = host.createOverlay(base);
            const std::string where = " WHERE rowid % " + std::to_string(every) + " = ";
            exec(host.db, "UPDATE " + table + " SET c1 = 0" + where + "0");
            exec(host.db, "DELETE FROM " + table + where + "1");
            exec(host.db, "UPDATE " + table + " SET rowid = rowid + " + std::to_string(2 * tableRows) + where + "2");
            exec(host.db, "INSERT INTO " + table + "(c1) SELECT c1 FROM " + table + where + "3");
            return table;
        };
        const std::string small = logged("v_changes_small", 4000), large = logged("v_changes_large", 40);
        Statement smallList(host.db, "SELECT * FROM ombrix_changes('" + small + "')");
        Statement largeList(host.db, "SELECT * FROM ombrix_changes('" + large + "')");
        std::uint64_t sum = 0;
        sqlite3_int64 smallRows = 0, largeRows = 0;
        Comparison c = compare(
            Budget{1.0, 10, 10000}, [&](long) { largeRows = largeList.consume(sum); }, Budget{1.0, 1000, 1000000},
            [&](long) { smallRows = smallList.consume(sum); });
        if (smallRows != 100 || largeRows != 10000)
            throw std::runtime_error("ombrix_changes listed " + std::to_string(smallRows) + " and " +
                                     std::to_string(largeRows) + " rows");
        c.subject.seconds /= static_cast<double>(largeRows);
        c.baseline.seconds /= static_cast<double>(smallRows);
        host.dropOverlay(small);
        host.dropOverlay(large);
        return c;
    });
}

} // namespace

void registerOverlayBenchmarks()
{
    addBenchmark("scan/no_log", BM_ScanNoLog);
    addBenchmark("scan/log_3pct", BM_ScanLog3Percent);
    addBenchmark("lookup/rowid", BM_LookupRowid);
    addBenchmark("lookup/where_c2", BM_WhereColumn);
    addBenchmark("lookup/where_c2_indexed", BM_WhereIndexedColumn);
    addBenchmark("lookup/where_c2_indexed_after_write", BM_WhereIndexedColumnAfterWrite);
    addBenchmark("lookup/rowid_after_other_table_write", BM_LookupAfterOtherTableWrite);
    addBenchmark("update/single_row_x10000", BM_SingleRowUpdates);
    addBenchmark("update/single_row_x10000_in_transaction", BM_SingleRowUpdatesInTransaction);
    addBenchmark("update/one_statement_10000_rows", BM_OneUpdateOf10000Rows);
    addBenchmark("history/undo_10000_row_step", BM_UndoStep);
    addBenchmark("history/redo_10000_row_step", BM_RedoStep);
    addBenchmark("history/undo_1000_small_steps", BM_UndoSmallSteps);
    addBenchmark("history/one_row_step_1e6_vs_1e2_history_rows", BM_HistorySize);
    addBenchmark("views/tables_1e5_vs_1e2_log_rows", BM_TablesViewLogSize);
    addBenchmark("views/changes_per_row_1e4_vs_1e2_rows", BM_ChangesViewPerRow);
}

} // namespace bench
