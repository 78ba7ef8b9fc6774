// Thread benchmarks: two connections on two threads, each with an overlay table
// of its own, doing one thread's work each, against one of them alone; and a
// reader beside another connection's writes, against a native reader's.
#include "bench_support.h"

#include "routines.h"

#include "quillmere.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
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

    explicit Worker(int number, const memory_module::TableData& data = tableData())
        : table("thread_t" + std::to_string(number)), inner(table + "_inner")
    {
        // A write waits for the other thread's history transaction as long as Python's connections wait.
        if (sqlite3_open(":memory:", &db) != SQLITE_OK || sqlite3_busy_timeout(db, 5000) != SQLITE_OK ||
            wrapVirtualTableWithTransactions(db, hostRoutines(), memory_module::module(), "overlay") != SQLITE_OK ||
            sqlite3_create_module(db, "inner", memory_module::module(), nullptr) != SQLITE_OK ||
            quillmere_register_undoredo_functions(db) != SQLITE_OK)
            fail(db, "a worker's connection");
        const std::string path = "/bench/" + table;
        memory_module::setTable(path, data);
        exec(db, "CREATE VIRTUAL TABLE " + table + " USING overlay('" + path + "')");
        exec(db, "CREATE VIRTUAL TABLE " + inner + " USING inner('" + path + "')");
        exec(db, "UPDATE " + table + " SET c2 = c2 || 'u', c3 = c3 + 1 WHERE rowid % 100 = 1");
        exec(db, "DELETE FROM " + table + " WHERE rowid % 100 = 2");
        exec(db, "INSERT INTO " + table + "(rowid, c1, c2, c3, c4, c5) SELECT rowid + " +
                     std::to_string(data.rows.size()) + ", c1, c2, c3, c4, c5 FROM " + table +
                     " WHERE rowid <= " + std::to_string(tableRows / 100));
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

// A thread that writes single-row UPDATEs to a table of its connection,
// autocommit, while switched on.
class Writer {
public:
    Writer(sqlite3* db, const std::string& table)
        : update(db, "UPDATE " + table + " SET c1 = ?1 WHERE rowid = ?2"), thread([this] { loop(); })
    {
    }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;
    ~Writer()
    {
        {
            const std::lock_guard<std::mutex> held(mutex);
            ending = true;
        }
        changed.notify_all();
        thread.join();
    }

    // Switches it on, and returns once it has written a row.
    void start()
    {
        std::unique_lock<std::mutex> held(mutex);
        writing = true;
        const long from = written;
        changed.notify_all();
        changed.wait(held, [&] { return written > from + 1 || !failure.empty(); });
    }
    // Switches it off once the row under way is written.
    void stop()
    {
        std::unique_lock<std::mutex> held(mutex);
        writing = false;
        changed.wait(held, [&] { return !busy; });
        if (!failure.empty())
            throw std::runtime_error(failure);
    }

private:
    void loop()
    {
        std::unique_lock<std::mutex> held(mutex);
        for (sqlite3_int64 n = 1;; ++n) {
            busy = false;
            changed.notify_all();
            changed.wait(held, [&] { return writing || ending; });
            if (ending)
                return;
            busy = true;
            held.unlock();
            std::string error;
            try {
                update.bind(1, n).bind(2, 1 + n * 7919 % tableRows).run();
            } catch (const std::exception& e) {
                error = e.what();
            }
            held.lock();
            ++written;
            if (!error.empty()) {
                failure = error;
                writing = false;
            }
        }
    }

    Statement update;
    std::mutex mutex;
    std::condition_variable changed;
    bool writing = false, ending = false, busy = false;
    long written = 0;
    std::string failure;
    std::thread thread;
};

// A native WAL file with the reader's table r and the writer's table w, each
// of the 100,000 rows, and a connection for each.
struct NativePair {
    NativeDatabase reader, writer;
    NativePair()
    {
        const std::string path = homePath("beside.sqlite");
        reader.db = openNativeDatabase(path);
        Host::get().copyInnerRows(reader.db, "r");
        Host::get().copyInnerRows(reader.db, "w");
        if (sqlite3_open(path.c_str(), &writer.db) != SQLITE_OK || sqlite3_busy_timeout(writer.db, 5000) != SQLITE_OK)
            fail(writer.db, "the native writer's connection");
        exec(writer.db, "PRAGMA synchronous=NORMAL; PRAGMA cache_size=-16384");
    }
};

// A read on the reader's connection of table (a scan, or rowid lookups),
// timed alone and beside the writer, for the overlay and for native tables.
// The subject is the overlay beside its writer scaled by native's slowdown,
// so that the ratio is the overlay's slowdown over native's.
template <typename Read>
void besideWriter(benchmark::State& state, Read&& read)
{
    for (auto _ : state) {
        try {
            Worker workers[2] = {Worker(0), Worker(1)};
            NativePair native;
            Writer overlayWriter(workers[1].db, workers[1].table), nativeWriter(native.writer.db, "w");
            auto alone = [](sqlite3* db, const std::string& table, sqlite3_int64 rows, Read& read) {
                return [db, table, rows, &read](long) { return timeOnce([&] { read(db, table, rows); }); };
            };
            auto beside = [](sqlite3* db, const std::string& table, sqlite3_int64 rows, Read& read, Writer& writer) {
                return [db, table, rows, &read, &writer](long) {
                    writer.start();
                    const double seconds = timeOnce([&] { read(db, table, rows); });
                    writer.stop();
                    return seconds;
                };
            };
            const Worker& reader = workers[0];
            auto overlayAlone = alone(reader.db, reader.table, reader.rows, read);
            auto overlayBeside = beside(reader.db, reader.table, reader.rows, read, overlayWriter);
            auto nativeAlone = alone(native.reader.db, "r", tableRows, read);
            auto nativeBeside = beside(native.reader.db, "r", tableRows, read, nativeWriter);
            const Budget budget{3.0, 4, 1000};
            Side<decltype(overlayAlone)> a(budget, overlayAlone);
            Side<decltype(overlayBeside)> b(budget, overlayBeside);
            Side<decltype(nativeAlone)> c(budget, nativeAlone);
            Side<decltype(nativeBeside)> d(budget, nativeBeside);
            alternate(a, c, b, d);
            const double nativeSlowdown = d.result().seconds / c.result().seconds;
            report(state, {{b.result().seconds / nativeSlowdown, b.result().reps}, a.result(), std::nullopt, {}});
            state.counters["overlay_slowdown"] = b.result().seconds / a.result().seconds;
            state.counters["native_slowdown"] = nativeSlowdown;
            state.counters["native_alone_us"] = c.result().seconds * 1e6;
            state.counters["native_beside_us"] = d.result().seconds * 1e6;
        } catch (const std::exception& error) {
            state.SkipWithError(error.what());
            break;
        }
    }
}

void BM_ScanBesideWriter(benchmark::State& state)
{
    besideWriter(state, [](sqlite3* db, const std::string& table, sqlite3_int64 rows) {
        Statement scan(db, "SELECT * FROM " + table);
        std::uint64_t sum = 0;
        if (scan.consume(sum) != rows)
            throw std::runtime_error("a scan beside a writer missed rows");
    });
}

void BM_LookupsBesideWriter(benchmark::State& state)
{
    static const std::vector<sqlite3_int64> rowids = randomRowids(2000, 31);
    besideWriter(state, [](sqlite3* db, const std::string& table, sqlite3_int64) {
        Statement lookup(db, "SELECT * FROM " + table + " WHERE rowid = ?");
        std::uint64_t sum = 0;
        for (sqlite3_int64 rowid : rowids)
            lookup.bind(1, rowid).consume(sum);
    });
}

// The longest one lookup of a stored row on reader takes while work runs on
// another thread, over two runs of it, and work's length.
struct Stalls {
    Measured longest, work;
};

template <typename Work>
Stalls longestLookupDuring(sqlite3* reader, const std::string& table, Work&& work)
{
    Statement lookup(reader, "SELECT * FROM " + table + " WHERE rowid = ?");
    Stalls stalls;
    for (int run = 0; run < 2; ++run) {
        std::atomic<bool> done{false};
        std::string failure;
        std::thread working([&] {
            try {
                stalls.work.seconds += timeOnce(work) / 2;
            } catch (const std::exception& error) {
                failure = error.what();
            }
            done = true;
        });
        std::uint64_t sum = 0;
        // Rows of the log: every lookup reads the history file.
        for (sqlite3_int64 n = 0; !done; ++n, ++stalls.longest.reps) {
            const double once = timeOnce([&] { lookup.bind(1, 1 + n * 100 % tableRows).consume(sum); });
            stalls.longest.seconds = std::max(stalls.longest.seconds, once);
        }
        working.join();
        if (!failure.empty())
            throw std::runtime_error(failure);
    }
    stalls.work.reps = 2;
    return stalls;
}

// The longest a reader's lookup of a stored row takes while another
// connection runs one UPDATE of 200,000 rows of another table, against the
// longest while nothing else runs for as long: on a busy machine a thread
// waits for a core now and then whatever it does.
void BM_ReadDuringLongUpdate(benchmark::State& state)
{
    for (auto _ : state) {
        try {
            static const memory_module::TableData data = [] {
                memory_module::TableData d = tableData();
                d.rows.insert(d.rows.end(), tableData().rows.begin(), tableData().rows.end());
                return d;
            }();
            Worker reader(0), writer(1, data);
            const Stalls during = longestLookupDuring(
                reader.db, reader.table, [&] { exec(writer.db, "UPDATE " + writer.table + " SET c1 = c1 + 1"); });
            const Stalls quiet = longestLookupDuring(reader.db, reader.table, [&] {
                std::this_thread::sleep_for(std::chrono::duration<double>(during.work.seconds));
            });
            report(state, {during.longest, quiet.longest, std::nullopt, {}});
            state.counters["statement_us"] = during.work.seconds * 1e6;
            state.counters["longest_share_of_statement"] = during.longest.seconds / during.work.seconds;
        } catch (const std::exception& error) {
            state.SkipWithError(error.what());
            break;
        }
    }
}

} // namespace

void registerThreadBenchmarks()
{
    addBenchmark("threads/scan_2_vs_1", BM_TwoThreadsScan);
    addBenchmark("threads/inner_scan_2_vs_1", BM_TwoThreadsScanInner);
    addBenchmark("threads/single_row_updates_2_vs_1", BM_TwoThreadsWrite);
    addBenchmark("threads/scan_beside_writer_vs_native", BM_ScanBesideWriter);
    addBenchmark("threads/rowid_lookups_beside_writer_vs_native", BM_LookupsBesideWriter);
    addBenchmark("threads/longest_lookup_during_2e5_row_update", BM_ReadDuringLongUpdate);
}

} // namespace bench
