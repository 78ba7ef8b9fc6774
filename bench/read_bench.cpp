// Read benchmarks: full scans and lookups through the overlay, each timed
// against the same read of the inner table alone in the same run.
#include "bench_support.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace bench {
namespace {

// ---------------------------------------------------------------------------
// Full scans, SELECT * with every value read, against the inner table alone.

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
// Lookups on the table with the 3% log, against the inner table alone.

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
            Budget{4.0, 4, 10000}, [&](long i) { subjectLookup.bind(1, rowids[static_cast<size_t>(i)]).consume(sum); },
            Budget{0.5, 10000, 10000},
            [&](long i) { baselineFound += baselineLookup.bind(1, rowids[static_cast<size_t>(i)]).consume(sum); });
        benchmark::DoNotOptimize(sum);
        if (baselineFound != c.baseline.reps)
            throw std::runtime_error("inner lookups missed rows");
        return c;
    });
}

// An IN list of 100 rowids: SQLite filters one cursor again for each value.
void BM_LookupRowidList(benchmark::State& state)
{
    runComparison(state, [] {
        Host& host = Host::get();
        std::string list;
        for (sqlite3_int64 rowid : randomRowids(100, 23))
            list += (list.empty() ? "" : ",") + std::to_string(rowid);
        Statement baselineLookup(host.db, "SELECT * FROM " + host.innerTable() + " WHERE rowid IN (" + list + ")");
        Statement subjectLookup(host.db, "SELECT * FROM " + host.loggedOverlay() + " WHERE rowid IN (" + list + ")");
        std::uint64_t sum = 0;
        sqlite3_int64 baselineFound = 0;
        const Comparison c = compare(
            Budget{2.0, 4, 1000}, [&](long) { subjectLookup.consume(sum); }, Budget{0.5, 100, 1000},
            [&](long) { baselineFound += baselineLookup.consume(sum); });
        benchmark::DoNotOptimize(sum);
        if (baselineFound == 0)
            throw std::runtime_error("inner lookups found no rows");
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
            Budget{0.5, 100, 10000}, [&](long i) { lookup.bind(1, rowids[static_cast<size_t>(i)]).consume(sum); });
        benchmark::DoNotOptimize(sum);
        host.dropOverlay(big);
        host.dropOverlay(other);
        return c;
    });
}

} // namespace

void registerReadBenchmarks()
{
    addBenchmark("scan/no_log", BM_ScanNoLog);
    addBenchmark("scan/log_3pct", BM_ScanLog3Percent);
    addBenchmark("lookup/rowid", BM_LookupRowid);
    addBenchmark("lookup/rowid_in_list_100", BM_LookupRowidList);
    addBenchmark("lookup/where_c2", BM_WhereColumn);
    addBenchmark("lookup/where_c2_indexed", BM_WhereIndexedColumn);
    addBenchmark("lookup/where_c2_indexed_after_write", BM_WhereIndexedColumnAfterWrite);
    addBenchmark("lookup/rowid_after_other_table_write", BM_LookupAfterOtherTableWrite);
}

} // namespace bench
