// Overlay benchmarks: each one times a subject and its baseline in the same run
// and reports ratio = subject / baseline, with subject_us and baseline_us.
#include "memory_module.h"
#include "routines.h"

#include "quillmere.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr sqlite3_int64 tableRows = 100000;
constexpr int distinctKeys = 1000; // c2 holds "k0" .. "k999", 100 rows each

// ---------------------------------------------------------------------------
// SQLite helpers: every failure becomes an exception that the benchmark turns
// into SkipWithError, so a broken run shows up in the table instead of hiding.

[[noreturn]] void fail(sqlite3* db, const std::string& what)
{
    throw std::runtime_error(what + ": " + (db ? sqlite3_errmsg(db) : "no connection"));
}

void exec(sqlite3* db, const std::string& sql)
{
    char* message = nullptr;
    if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
        std::string text = message ? message : "unknown error";
        sqlite3_free(message);
        throw std::runtime_error(text + " in " + sql);
    }
}

class Statement {
public:
    Statement(sqlite3* db, const std::string& sql) : db(db)
    {
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &handle, nullptr) != SQLITE_OK)
            fail(db, "prepare " + sql);
    }
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
    void run()
    {
        int rc;
        while ((rc = sqlite3_step(handle)) == SQLITE_ROW) {
        }
        finish(rc);
    }

    // Steps to the end reading every column of every row; returns the row count
    // and adds an order-independent checksum of the values to checksum.
    sqlite3_int64 consume(std::uint64_t& checksum)
    {
        sqlite3_int64 rows = 0;
        int rc;
        while ((rc = sqlite3_step(handle)) == SQLITE_ROW) {
            ++rows;
            checksum += rowHash();
        }
        finish(rc);
        return rows;
    }

    // The first column of the only row, as an integer.
    sqlite3_int64 scalar()
    {
        int rc = sqlite3_step(handle);
        if (rc != SQLITE_ROW)
            finish(rc == SQLITE_DONE ? SQLITE_ERROR : rc);
        sqlite3_int64 value = sqlite3_column_int64(handle, 0);
        run();
        return value;
    }

private:
    std::uint64_t rowHash() const
    {
        std::uint64_t hash = 1469598103934665603ull;
        auto mix = [&hash](const void* data, size_t size) {
            auto bytes = static_cast<const unsigned char*>(data);
            for (size_t i = 0; i < size; ++i)
                hash = (hash ^ bytes[i]) * 1099511628211ull;
        };
        // Text and blobs are materialised in full; their size and end bytes
        // stand for them in the checksum, which keeps the reader's own cost low.
        auto mixEnds = [&mix](const void* data, int size) {
            auto bytes = static_cast<const unsigned char*>(data);
            mix(&size, sizeof size);
            if (size > 0) {
                mix(bytes, 1);
                mix(bytes + size - 1, 1);
            }
        };
        const int columns = sqlite3_column_count(handle);
        for (int i = 0; i < columns; ++i) {
            const int type = sqlite3_column_type(handle, i);
            mix(&type, sizeof type);
            switch (type) {
            case SQLITE_INTEGER: {
                sqlite3_int64 value = sqlite3_column_int64(handle, i);
                mix(&value, sizeof value);
                break;
            }
            case SQLITE_FLOAT: {
                double value = sqlite3_column_double(handle, i);
                mix(&value, sizeof value);
                break;
            }
            case SQLITE_TEXT:
                mixEnds(sqlite3_column_text(handle, i), sqlite3_column_bytes(handle, i));
                break;
            case SQLITE_BLOB:
                mixEnds(sqlite3_column_blob(handle, i), sqlite3_column_bytes(handle, i));
                break;
            default:
                break;
            }
        }
        return hash;
    }

    void finish(int rc)
    {
        sqlite3_reset(handle);
        sqlite3_clear_bindings(handle);
        if (rc != SQLITE_DONE)
            fail(db, "step " + std::string(sqlite3_sql(handle)));
    }

    sqlite3* db;
    sqlite3_stmt* handle = nullptr;
};

sqlite3_int64 scalar(sqlite3* db, const std::string& sql)
{
    return Statement(db, sql).scalar();
}

// ---------------------------------------------------------------------------
// Timing. Subject and baseline take turns in slices, so that a change in the
// machine's load touches both alike; each runs until its budget is spent (at
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

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

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

struct Comparison {
    Measured subject;
    Measured baseline;
};

// Times subject and baseline in four alternating slices, baseline first.
template <typename Subject, typename Baseline>
Comparison compare(const Budget& subjectBudget, Subject&& subject, const Budget& baselineBudget,
                   Baseline&& baseline)
{
    Side<Subject> subjectSide(subjectBudget, subject);
    Side<Baseline> baselineSide(baselineBudget, baseline);
    constexpr int slices = 4;
    for (int slice = 1; slice <= slices; ++slice) {
        const double share = static_cast<double>(slice) / slices;
        baselineSide.runTo(share);
        subjectSide.runTo(share);
    }
    return {subjectSide.result(), baselineSide.result()};
}

void report(benchmark::State& state, const Comparison& c)
{
    state.SetIterationTime(c.subject.seconds);
    state.counters["ratio"] = c.subject.seconds / c.baseline.seconds;
    state.counters["subject_us"] = c.subject.seconds * 1e6;
    state.counters["baseline_us"] = c.baseline.seconds * 1e6;
    state.counters["subject_reps"] = static_cast<double>(c.subject.reps);
    state.counters["baseline_reps"] = static_cast<double>(c.baseline.reps);
}

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

std::string keyOf(sqlite3_int64 i)
{
    return "k" + std::to_string(i % distinctKeys);
}

const memory_module::TableData& tableData()
{
    static const memory_module::TableData data = [] {
        memory_module::TableData d;
        d.columns = {"c1", "c2", "c3", "c4", "c5"};
        d.rows.reserve(tableRows);
        for (sqlite3_int64 i = 1; i <= tableRows; ++i) {
            memory_module::Blob blob;
            for (int b = 0; b < 8; ++b)
                blob.bytes.push_back(static_cast<unsigned char>((i >> (8 * b)) & 0xff));
            memory_module::Cell mixed;
            if (i % 10 == 0)
                mixed = std::monostate{};
            else if (i % 2 == 0)
                mixed = i * 3;
            else
                mixed = "row number " + std::to_string(i);
            d.rows.push_back({memory_module::Cell(i * 7 % 1000003), memory_module::Cell(keyOf(i)),
                              memory_module::Cell(static_cast<double>(i) * 0.25), memory_module::Cell(blob),
                              mixed});
        }
        return d;
    }();
    return data;
}

std::vector<sqlite3_int64> randomRowids(size_t count, unsigned seed)
{
    std::mt19937_64 generator(seed);
    std::uniform_int_distribution<sqlite3_int64> pick(1, tableRows);
    std::vector<sqlite3_int64> rowids(count);
    for (auto& rowid : rowids)
        rowid = pick(generator);
    return rowids;
}

// Distinct rowids, so that every recorded step changes another row.
std::vector<sqlite3_int64> distinctRowids(size_t count, unsigned seed)
{
    std::vector<sqlite3_int64> all(static_cast<size_t>(tableRows));
    for (size_t i = 0; i < all.size(); ++i)
        all[i] = static_cast<sqlite3_int64>(i) + 1;
    std::shuffle(all.begin(), all.end(), std::mt19937_64(seed));
    all.resize(count);
    return all;
}

// ---------------------------------------------------------------------------
// The host connection: the overlay module, the inner module registered directly
// as "inner" for the baselines, and the history functions. Tables are made on
// first use and shared by the benchmarks that read them.

class Host {
public:
    static Host& get()
    {
        static Host host;
        return host;
    }

    sqlite3* db = nullptr;

    ~Host() { close(); }

    void close()
    {
        if (plain)
            sqlite3_close(plain);
        plain = nullptr;
        if (db)
            sqlite3_close(db);
        db = nullptr;
    }

    // A fresh overlay table without a log over its own copy of the data. The
    // name is base, with a number added when base was used before (a repeated
    // or failed benchmark leaves its name taken). With indexed set the inner
    // module can look c2 up by value.
    std::string createOverlay(const std::string& base, bool indexed = false)
    {
        const int use = ++uses[base];
        const std::string name = use == 1 ? base : base + "_" + std::to_string(use);
        memory_module::setTable(pathOf(name), indexed ? indexedData() : tableData());
        exec(db, "CREATE VIRTUAL TABLE " + name + " USING overlay('" + pathOf(name) + "')");
        return name;
    }

    // Ends the table and its log, and releases the module's copy of its rows.
    void dropOverlay(const std::string& name)
    {
        exec(db, "DROP TABLE " + name);
        memory_module::setTable(pathOf(name), memory_module::TableData{});
    }

    // The inner module alone: the baseline of every read.
    const std::string& innerTable()
    {
        if (!innerReady) {
            memory_module::setTable(pathOf(innerName), tableData());
            exec(db, "CREATE VIRTUAL TABLE " + innerName + " USING inner('" + pathOf(innerName) + "')");
            innerReady = true;
        }
        return innerName;
    }

    // The inner module alone with its index on c2.
    const std::string& indexedInnerTable()
    {
        if (!indexedInnerReady) {
            memory_module::setTable(pathOf(indexedInnerName), indexedData());
            exec(db, "CREATE VIRTUAL TABLE " + indexedInnerName + " USING inner('" + pathOf(indexedInnerName) + "')");
            indexedInnerReady = true;
        }
        return indexedInnerName;
    }

    // An overlay table with no log.
    const std::string& cleanOverlay()
    {
        if (cleanName.empty())
            cleanName = createOverlay("scan_clean");
        return cleanName;
    }

    // An overlay table whose log holds 1% updated, 1% deleted and 1% inserted
    // rows, all written with SQL through the overlay.
    const std::string& loggedOverlay() { return logged(loggedName, false); }
    // The same over the inner module with its index on c2.
    const std::string& loggedIndexedOverlay() { return logged(loggedIndexedName, true); }

    // A plain SQLite table of the same rows in a WAL file in the temporary home,
    // on a connection of its own, with the durability the history database has
    // (WAL, synchronous=NORMAL), so that both pay the same for a commit.
    sqlite3* plainDatabase()
    {
        if (!plain) {
            const std::string path = std::string(std::getenv("HOME")) + "/plain.sqlite";
            std::filesystem::remove(path);
            if (sqlite3_open(path.c_str(), &plain) != SQLITE_OK)
                fail(plain, "open " + path);
            exec(plain, "PRAGMA journal_mode=WAL");
            exec(plain, "PRAGMA synchronous=NORMAL");
            exec(plain, "CREATE TABLE plain(c1, c2, c3, c4, c5)");
            exec(plain, "BEGIN");
            // Copied from the inner table, so that both hold the same values.
            Statement insert(plain, "INSERT INTO plain(rowid, c1, c2, c3, c4, c5) VALUES (?, ?, ?, ?, ?, ?)");
            Statement source(db, "SELECT rowid, * FROM " + innerTable());
            while (sqlite3_step(source.raw()) == SQLITE_ROW) {
                for (int i = 0; i < 6; ++i)
                    sqlite3_bind_value(insert.raw(), i + 1, sqlite3_column_value(source.raw(), i));
                insert.run();
            }
            sqlite3_reset(source.raw());
            exec(plain, "COMMIT");
            if (scalar(plain, "SELECT count(*) FROM plain") != tableRows)
                throw std::runtime_error("plain table incomplete");
        }
        return plain;
    }

private:
    Host()
    {
        if (sqlite3_open(":memory:", &db) != SQLITE_OK)
            fail(db, "open host database");
        if (wrapVirtualTableWithTransactions(db, hostRoutines(), memory_module::module(), "overlay") != SQLITE_OK)
            fail(db, "wrapVirtualTableWithTransactions");
        if (sqlite3_create_module(db, "inner", memory_module::module(), nullptr) != SQLITE_OK)
            fail(db, "create module inner");
        if (quillmere_register_undoredo_functions(db) != SQLITE_OK)
            fail(db, "quillmere_register_undoredo_functions");
    }

    static std::string pathOf(const std::string& name) { return "/bench/" + name; }

    static const memory_module::TableData& indexedData()
    {
        static const memory_module::TableData data = [] {
            memory_module::TableData d = tableData();
            d.indexedColumn = 1;
            return d;
        }();
        return data;
    }

    const std::string& logged(std::string& made, bool indexed)
    {
        if (made.empty()) {
            const std::string& inner = innerTable();
            const std::string name = createOverlay(indexed ? "logged_indexed" : "logged", indexed);
            exec(db, "UPDATE " + name + " SET c2 = c2 || 'u', c3 = c3 + 1 WHERE rowid % 100 = 1");
            exec(db, "DELETE FROM " + name + " WHERE rowid % 100 = 2");
            exec(db, "INSERT INTO " + name + "(rowid, c1, c2, c3, c4, c5) SELECT rowid + " +
                         std::to_string(tableRows) + ", c1, c2, c3, c4, c5 FROM " + inner +
                         " WHERE rowid <= " + std::to_string(tableRows / 100));
            if (scalar(db, "SELECT count(*) FROM " + name) != tableRows)
                throw std::runtime_error("the logged table does not show 100,000 rows");
            made = name;
        }
        return made;
    }

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

void registerBenchmarks()
{
    auto add = [](const char* name, void (*function)(benchmark::State&)) {
        benchmark::RegisterBenchmark(name, function)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
    };
    add("scan/no_log", BM_ScanNoLog);
    add("scan/log_3pct", BM_ScanLog3Percent);
    add("lookup/rowid", BM_LookupRowid);
    add("lookup/where_c2", BM_WhereColumn);
    add("lookup/where_c2_indexed", BM_WhereIndexedColumn);
    add("lookup/where_c2_indexed_after_write", BM_WhereIndexedColumnAfterWrite);
    add("lookup/rowid_after_other_table_write", BM_LookupAfterOtherTableWrite);
    add("update/single_row_x10000", BM_SingleRowUpdates);
    add("update/single_row_x10000_in_transaction", BM_SingleRowUpdatesInTransaction);
    add("update/one_statement_10000_rows", BM_OneUpdateOf10000Rows);
    add("history/undo_10000_row_step", BM_UndoStep);
    add("history/redo_10000_row_step", BM_RedoStep);
    add("history/undo_1000_small_steps", BM_UndoSmallSteps);
    add("history/one_row_step_1e6_vs_1e2_history_rows", BM_HistorySize);
}

} // namespace

int main(int argc, char** argv)
{
    // A fresh home before anything can reach the history database.
    std::string home = (std::filesystem::temp_directory_path() / "quillmere-bench-XXXXXX").string();
    if (!mkdtemp(home.data())) {
        std::perror("mkdtemp");
        return 2;
    }
    setenv("HOME", home.c_str(), 1);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    registerBenchmarks();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    Host::get().close();
    std::error_code ignored;
    std::filesystem::remove_all(home, ignored);
    return 0;
}
