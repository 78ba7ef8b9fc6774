// History benchmarks: undo and redo of steps small and large against recording
// them, the history views against themselves on small logs, and README's join.
#include "bench_support.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace bench {
namespace {

// A rowid no benchmark's WHERE clause matches: above the inner rows, odd.
const std::string spareRowid = std::to_string(2 * tableRows + 1);

// ---------------------------------------------------------------------------
// History walks against recording what they walk over.

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
            t.recordSeconds =
                timeOnce([&] { exec(host.db, "UPDATE " + t.name + " SET c1 = c1 + 1" + tenThousandRows); });
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
// The history views against themselves on small logs: ombrix_tables costs
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

// README's join of a table with its changed rows, 2,000 of them, as written
// (SQLite orders the loops), against the same with the change list forced to
// be the outer loop.
void BM_ChangesJoin(benchmark::State& state)
{
    runComparison(state, [] {
        Host& host = Host::get();
        const std::string table = host.createOverlay("v_join");
        exec(host.db, "UPDATE " + table + " SET c1 = c1 + 1 WHERE rowid % 50 = 0");
        const std::string changes = "ombrix_changes('" + table + "') c";
        Statement join(host.db, "SELECT t.* FROM " + table + " t JOIN " + changes + " ON t.rowid = c.rowid");
        Statement cross(host.db, "SELECT t.* FROM " + changes + " CROSS JOIN " + table + " t ON t.rowid = c.rowid");
        std::uint64_t sum = 0;
        sqlite3_int64 joined = 0, crossed = 0;
        const Comparison c = compare(
            Budget{1.0, 3, 10000}, [&](long) { joined = join.consume(sum); }, Budget{1.0, 3, 10000},
            [&](long) { crossed = cross.consume(sum); });
        if (joined != tableRows / 50 || crossed != tableRows / 50)
            throw std::runtime_error("the joins gave " + std::to_string(joined) + " and " + std::to_string(crossed) +
                                     " rows");
        host.dropOverlay(table);
        return c;
    });
}

} // namespace

void registerHistoryBenchmarks()
{
    addBenchmark("history/undo_10000_row_step", BM_UndoStep);
    addBenchmark("history/redo_10000_row_step", BM_RedoStep);
    addBenchmark("history/undo_1000_small_steps", BM_UndoSmallSteps);
    addBenchmark("history/one_row_step_1e6_vs_1e2_history_rows", BM_HistorySize);
    addBenchmark("views/tables_1e5_vs_1e2_log_rows", BM_TablesViewLogSize);
    addBenchmark("views/changes_per_row_1e4_vs_1e2_rows", BM_ChangesViewPerRow);
    addBenchmark("views/changes_join_2000_vs_cross_join", BM_ChangesJoin);
}

} // namespace bench
