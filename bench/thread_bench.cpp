// Thread benchmarks: two connections on two threads, each with an overlay table
// of its own, doing one thread's work each, against one of them alone.
#include "bench_support.h"

#include "routines.h"

#include "quillmere.h"

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace bench {
namespace {

// A connection of its own with an overlay table over its own copy of the
// data, its log holding 1% updated, 1% deleted and 1% inserted rows.
struct Worker {
    sqlite3* db = nullptr;
    std::string table;
    sqlite3_int64 rows = 0;
    // The same data through the inner module alone.
    std::string inner;

    explicit Worker(int number) : table("thread_t" + std::to_string(number)), inner(table + "_inner")
    {
        // A write waits for the other thread's history transaction as long as Python's connections wait.
        if (sqlite3_open(":memory:", &db) != SQLITE_OK || sqlite3_busy_timeout(db, 5000) != SQLITE_OK ||
            wrapVirtualTableWithTransactions(db, hostRoutines(), memory_module::module(), "overlay") != SQLITE_OK ||
            sqlite3_create_module(db, "inner", memory_module::module(), nullptr) != SQLITE_OK ||
            quillmere_register_undoredo_functions(db) != SQLITE_OK)
            fail(db, "a worker's connection");
        const std::string path = "/bench/" + table;
        memory_module::setTable(path, tableData());
        exec(db, "CREATE VIRTUAL TABLE " + table + " USING overlay('" + path + "')");
        exec(db, "CREATE VIRTUAL TABLE " + inner + " USING inner('" + path + "')");
        exec(db, "UPDATE " + table + " SET c2 = c2 || 'u', c3 = c3 + 1 WHERE rowid % 100 = 1");
        exec(db, "DELETE FROM " + table + " WHERE rowid % 100 = 2");
        exec(db, "INSERT INTO " + table + "(rowid, c1, c2, c3, c4, c5) SELECT rowid + " + std::to_string(tableRows) +
                     ", c1, c2, c3, c4, c5 FROM " + table + " WHERE rowid <= " + std::to_string(tableRows / 100));
        rows = scalar(db, "SELECT count(*) FROM " + table);
    }
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;
    ~Worker()
    {
        sqlite3_close(db);
        memory_module::setTable("/bench/" + table, memory_module::TableData{});
    }
};

// Runs work(worker) for the first count workers, each on a thread of its own.
template <typename Work>
void onThreads(Worker (&workers)[2], size_t count, Work&& work)
{
    std::vector<std::thread> threads;
    std::vector<std::string> failures(count);
    for (size_t i = 0; i < count; ++i)
        threads.emplace_back([&, i] {
            try {
                work(workers[i]);
            } catch (const std::exception& error) {
                failures[i] = error.what();
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    for (const std::string& failure : failures)
        if (!failure.empty())
            throw std::runtime_error(failure);
}

// Subject: two threads at once; baseline: the first alone. A ratio of 1 is
// twice the throughput of one thread, 2 the same throughput.
template <typename Work>
Comparison twoAgainstOne(const Budget& budget, Work&& work)
{
    Worker workers[2] = {Worker(0), Worker(1)};
    return compare(
        budget, [&](long) { onThreads(workers, 2, work); }, budget, [&](long) { onThreads(workers, 1, work); });
}

void BM_TwoThreadsScan(benchmark::State& state)
{
    runComparison(state, [] {
        return twoAgainstOne(Budget{4.0, 4, 1000}, [](Worker& worker) {
            Statement scan(worker.db, "SELECT * FROM " + worker.table);
            std::uint64_t sum = 0;
            if (scan.consume(sum) != worker.rows)
                throw std::runtime_error("a thread's scan missed rows");
        });
    });
}

// What two threads gain at best here: the same scans of the inner tables alone.
void BM_TwoThreadsScanInner(benchmark::State& state)
{
    runComparison(state, [] {
        return twoAgainstOne(Budget{4.0, 4, 1000}, [](Worker& worker) {
            Statement scan(worker.db, "SELECT * FROM " + worker.inner);
            std::uint64_t sum = 0;
            if (scan.consume(sum) != tableRows)
                throw std::runtime_error("a thread's scan missed rows");
        });
    });
}

void BM_TwoThreadsWrite(benchmark::State& state)
{
    runComparison(state, [] {
        std::vector<sqlite3_int64> rowids;
        for (sqlite3_int64 rowid : randomRowids(1100, 29))
            if (rowid % 100 != 2 && rowids.size() < 1000)
                rowids.push_back(rowid);
        return twoAgainstOne(Budget{6.0, 4, 1000}, [&rowids](Worker& worker) {
            Statement update(worker.db, "UPDATE " + worker.table + " SET c1 = ? WHERE rowid = ?");
            for (size_t i = 0; i < rowids.size(); ++i) {
                update.bind(1, sqlite3_int64(i)).bind(2, rowids[i]).run();
                if (sqlite3_changes(worker.db) != 1)
                    throw std::runtime_error("an update on a thread changed no row");
            }
        });
    });
}

} // namespace

void registerThreadBenchmarks()
{
    addBenchmark("threads/scan_2_vs_1", BM_TwoThreadsScan);
    addBenchmark("threads/inner_scan_2_vs_1", BM_TwoThreadsScanInner);
    addBenchmark("threads/single_row_updates_2_vs_1", BM_TwoThreadsWrite);
}

} // namespace bench
