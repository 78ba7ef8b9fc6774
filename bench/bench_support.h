// What the benchmark files share: SQLite helpers, the alternating timing of a
// subject and its baselines, the 100,000-row data and the host connection.
#pragma once

#include "memory_module.h"

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

constexpr sqlite3_int64 tableRows = 100000;
constexpr int distinctKeys = 1000; // c2 holds "k0" .. "k999", 100 rows each
// The 10,000 rows of one residue of rowid % 10.
const std::string tenThousandRows = " WHERE rowid % 10 = 0";

// ---------------------------------------------------------------------------
// SQLite helpers: every failure becomes an exception that the benchmark turns
// into SkipWithError, so a broken run shows up in the table instead of hiding.

[[noreturn]] void fail(sqlite3* db, const std::string& what);
void exec(sqlite3* db, const std::string& sql);

class Statement {
public:
    Statement(sqlite3* db, const std::string& sql);
    ~Statement() { sqlite3_finalize(handle); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    sqlite3_stmt* raw() const { return handle; }

    Statement& bind(int index, sqlite3_int64 value)
    {
        sqlite3_bind_int64(handle, index, value);
        return *this;
    }
    Statement& bind(int index, const std::string& value)
    {
        sqlite3_bind_text(handle, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
        return *this;
    }

    // Steps to the end; nothing is read.
    void run();

    // Steps to the end reading every column of every row; returns the row count
    // and adds an order-independent checksum of the values to checksum.
    sqlite3_int64 consume(std::uint64_t& checksum);

    // The first column of the only row, as an integer.
    sqlite3_int64 scalar();

    // The first column of the only row, as text.
    std::string text();

private:
    std::uint64_t rowHash() const;
    void finish(int rc);

    sqlite3* db;
    sqlite3_stmt* handle = nullptr;
};

sqlite3_int64 scalar(sqlite3* db, const std::string& sql);

// A native SQLite database at path, made anew, with what the history database
// has: WAL, synchronous=NORMAL and a 16 MiB page cache, so that both pay the
// same for a commit and neither rereads pages that a smaller cache dropped.
sqlite3* openNativeDatabase(const std::string& path);

// A native database that closes with the process.
struct NativeDatabase {
    sqlite3* db = nullptr;
    ~NativeDatabase() { sqlite3_close(db); }
};

// The file or folder of that name in the benchmarks' home.
std::string homePath(const std::string& name);

// Inserts every row that select gives on from into insert's placeholders on
// into, in one transaction; returns the number of rows.
sqlite3_int64 copyRows(sqlite3* from, const std::string& select, sqlite3* into, const std::string& insert);

// ---------------------------------------------------------------------------
// Timing. Subject and baselines take turns in slices, so that a change in the
// machine's load touches all alike; each runs until its budget is spent (at
// least minReps, at most maxReps repetitions) and keeps the mean of one.

struct Budget {
    double seconds;
    long minReps;
    long maxReps;
};

struct Measured {
    double seconds = 0; // per repetition
    long reps = 0;
};

double secondsSince(Clock::time_point start);

template <typename Operation>
double timeOnce(Operation&& operation)
{
    const auto start = Clock::now();
    operation();
    return secondsSince(start);
}

template <typename Operation>
class Side {
public:
    Side(Budget budget, Operation& once) : budget(budget), once(once) {}

    // Runs until the given share of the budget is spent.
    void runTo(double share)
    {
        const double seconds = budget.seconds * share;
        const auto minReps = static_cast<long>(std::ceil(static_cast<double>(budget.minReps) * share));
        while (reps < budget.maxReps && (reps < minReps || elapsed < seconds)) {
            // An operation that times itself returns the seconds that count.
            if constexpr (std::is_same_v<decltype(once(reps)), double>)
                elapsed += once(reps);
            else
                elapsed += timeOnce([&] { once(reps); });
            ++reps;
        }
    }

    Measured result() const { return {reps ? elapsed / static_cast<double>(reps) : 0, reps}; }

private:
    Budget budget;
    Operation& once;
    double elapsed = 0;
    long reps = 0;
};

// Times one operation alone; once is called with the repetition's index.
template <typename Operation>
Measured measure(const Budget& budget, Operation&& once)
{
    Side<Operation> side(budget, once);
    side.runTo(1);
    return side.result();
}

// Four slices; in each, every side in the order given runs to its share.
template <typename... Sides>
void alternate(Sides&... sides)
{
    constexpr int slices = 4;
    for (int slice = 1; slice <= slices; ++slice) {
        const double share = static_cast<double>(slice) / slices;
        (sides.runTo(share), ...);
    }
}

struct Comparison {
    Measured subject;
    Measured baseline;
    // A second baseline, reported beside the first under its own name.
    std::optional<Measured> other;
    std::string otherName;
};

// Times subject and baseline in alternating slices, baseline first.
template <typename Subject, typename Baseline>
Comparison compare(const Budget& subjectBudget, Subject&& subject, const Budget& baselineBudget, Baseline&& baseline)
{
    Side<Subject> subjectSide(subjectBudget, subject);
    Side<Baseline> baselineSide(baselineBudget, baseline);
    alternate(baselineSide, subjectSide);
    return {subjectSide.result(), baselineSide.result(), std::nullopt, {}};
}

// The same with a second baseline, named otherName in the counters.
template <typename Subject, typename Baseline, typename Other>
Comparison compare(const Budget& subjectBudget, Subject&& subject, const Budget& baselineBudget, Baseline&& baseline,
                   const std::string& otherName, const Budget& otherBudget, Other&& other)
{
    Side<Subject> subjectSide(subjectBudget, subject);
    Side<Baseline> baselineSide(baselineBudget, baseline);
    Side<Other> otherSide(otherBudget, other);
    alternate(baselineSide, otherSide, subjectSide);
    return {subjectSide.result(), baselineSide.result(), otherSide.result(), otherName};
}

// Counters ratio, subject_us, baseline_us, subject_reps and baseline_reps; with
// a second baseline X also X_us, X_reps and ratio_to_X.
void report(benchmark::State& state, const Comparison& c);

// Runs body once per benchmark iteration; an exception skips the benchmark
// with its message.
template <typename Body>
void runComparison(benchmark::State& state, Body&& body)
{
    for (auto _ : state) {
        try {
            report(state, body());
        } catch (const std::exception& error) {
            state.SkipWithError(error.what());
            break;
        }
    }
}

// ---------------------------------------------------------------------------
// Data: 100,000 rows of five columns, one per storage class and one mixed.

std::string keyOf(sqlite3_int64 i);
const memory_module::TableData& tableData();
std::vector<sqlite3_int64> randomRowids(size_t count, unsigned seed);
// Distinct rowids, so that every recorded step changes another row.
std::vector<sqlite3_int64> distinctRowids(size_t count, unsigned seed);

// ---------------------------------------------------------------------------
// The host connection: the overlay module, the inner module registered directly
// as "inner" for the baselines, and the history functions. Tables are made on
// first use and shared by the benchmarks that read them.

class Host {
public:
    static Host& get();

    sqlite3* db = nullptr;

    ~Host() { close(); }
    void close();

    // A fresh overlay table without a log over its own copy of the data. The
    // name is base, with a number added when base was used before (a repeated
    // or failed benchmark leaves its name taken). With indexed set the inner
    // module can look c2 up by value.
    std::string createOverlay(const std::string& base, bool indexed = false);

    // Ends the table and its log, and releases the module's copy of its rows.
    void dropOverlay(const std::string& name);

    // The inner module alone: the baseline of every read.
    const std::string& innerTable();
    // The inner module alone with its index on c2.
    const std::string& indexedInnerTable();

    // An overlay table with no log.
    const std::string& cleanOverlay();

    // An overlay table whose log holds 1% updated, 1% deleted and 1% inserted
    // rows, all written with SQL through the overlay.
    const std::string& loggedOverlay() { return logged(loggedName, false); }
    // The same over the inner module with its index on c2.
    const std::string& loggedIndexedOverlay() { return logged(loggedIndexedName, true); }

    // A plain SQLite table of the inner table's rows, "plain" in a native
    // database of the temporary home (openNativeDatabase), on a connection of
    // its own.
    sqlite3* plainDatabase();

    // Copies the inner table's rows into a new table of that name on db
    // (columns c1 .. c5, same rowids).
    void copyInnerRows(sqlite3* into, const std::string& table);

private:
    Host();

    const std::string& logged(std::string& made, bool indexed);

    sqlite3* plain = nullptr;
    std::map<std::string, int> uses;
    bool innerReady = false;
    bool indexedInnerReady = false;
    const std::string innerName = "inner_t";
    const std::string indexedInnerName = "inner_indexed";
    std::string cleanName;
    std::string loggedName;
    std::string loggedIndexedName;
};

// ---------------------------------------------------------------------------
// The files of benchmarks, and the roles a child process of the benchmark
// binary plays (an exit status, or none when the arguments name no role).

// Registers one benchmark as every file does: one iteration, timed manually.
void addBenchmark(const char* name, void (*function)(benchmark::State&));

void registerReadBenchmarks();
void registerWriteBenchmarks();
void registerHistoryBenchmarks();
void registerCsvBenchmarks();
void registerSaveBenchmarks();
void registerCsvLookupBenchmarks();
void registerFirstOpenBenchmarks();
void registerThreadBenchmarks();
void registerServiceBenchmarks();
std::optional<int> runChildRole(int argc, char** argv);

} // namespace bench
