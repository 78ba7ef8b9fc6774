// The shared part of the benchmarks: statements, reports, the 100,000-row data
// and the host connection with its overlay, inner and plain tables.
#include "bench_support.h"

#include "routines.h"

#include "quillmere.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <random>

namespace bench {

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

// ---------------------------------------------------------------------------
// Statement

Statement::Statement(sqlite3* db, const std::string& sql) : db(db)
{
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &handle, nullptr) != SQLITE_OK)
        fail(db, "prepare " + sql);
}

void Statement::run()
{
    int rc;
    while ((rc = sqlite3_step(handle)) == SQLITE_ROW) {}
    finish(rc);
}

sqlite3_int64 Statement::consume(std::uint64_t& checksum)
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

sqlite3_int64 Statement::scalar()
{
    int rc = sqlite3_step(handle);
    if (rc != SQLITE_ROW)
        finish(rc == SQLITE_DONE ? SQLITE_ERROR : rc);
    sqlite3_int64 value = sqlite3_column_int64(handle, 0);
    run();
    return value;
}

std::string Statement::text()
{
    int rc = sqlite3_step(handle);
    if (rc != SQLITE_ROW)
        finish(rc == SQLITE_DONE ? SQLITE_ERROR : rc);
    const auto* bytes = reinterpret_cast<const char*>(sqlite3_column_text(handle, 0));
    std::string value(bytes ? bytes : "", static_cast<size_t>(sqlite3_column_bytes(handle, 0)));
    run();
    return value;
}

std::uint64_t Statement::rowHash() const
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

void Statement::finish(int rc)
{
    sqlite3_reset(handle);
    sqlite3_clear_bindings(handle);
    if (rc != SQLITE_DONE)
        fail(db, "step " + std::string(sqlite3_sql(handle)));
}

sqlite3_int64 scalar(sqlite3* db, const std::string& sql)
{
    return Statement(db, sql).scalar();
}

std::string homePath(const std::string& name)
{
    return std::string(std::getenv("HOME")) + "/" + name;
}

sqlite3* openNativeDatabase(const std::string& path)
{
    for (const char* suffix : {"", "-wal", "-shm"})
        std::filesystem::remove(path + suffix);
    sqlite3* db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) {
        const std::string message = "open " + path + ": " + sqlite3_errmsg(db);
        sqlite3_close(db);
        throw std::runtime_error(message);
    }
    try {
        exec(db, "PRAGMA journal_mode=WAL");
        exec(db, "PRAGMA synchronous=NORMAL");
        exec(db, "PRAGMA cache_size=-16384");
    } catch (...) {
        sqlite3_close(db);
        throw;
    }
    return db;
}

sqlite3_int64 copyRows(sqlite3* from, const std::string& select, sqlite3* into, const std::string& insert)
{
    exec(into, "BEGIN");
    Statement target(into, insert);
    Statement source(from, select);
    const int columns = sqlite3_column_count(source.raw());
    sqlite3_int64 rows = 0;
    int rc;
    while ((rc = sqlite3_step(source.raw())) == SQLITE_ROW) {
        for (int i = 0; i < columns; ++i)
            sqlite3_bind_value(target.raw(), i + 1, sqlite3_column_value(source.raw(), i));
        target.run();
        ++rows;
    }
    sqlite3_reset(source.raw());
    if (rc != SQLITE_DONE)
        fail(from, "step " + select);
    exec(into, "COMMIT");
    return rows;
}

// ---------------------------------------------------------------------------
// Timing and reports

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void report(benchmark::State& state, const Comparison& c)
{
    state.SetIterationTime(c.subject.seconds);
    state.counters["ratio"] = c.subject.seconds / c.baseline.seconds;
    state.counters["subject_us"] = c.subject.seconds * 1e6;
    state.counters["baseline_us"] = c.baseline.seconds * 1e6;
    state.counters["subject_reps"] = static_cast<double>(c.subject.reps);
    state.counters["baseline_reps"] = static_cast<double>(c.baseline.reps);
    if (c.other) {
        state.counters[c.otherName + "_us"] = c.other->seconds * 1e6;
        state.counters[c.otherName + "_reps"] = static_cast<double>(c.other->reps);
        state.counters["ratio_to_" + c.otherName] = c.subject.seconds / c.other->seconds;
    }
}

void addBenchmark(const char* name, void (*function)(benchmark::State&))
{
    benchmark::RegisterBenchmark(name, function)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
}

// ---------------------------------------------------------------------------
// Data

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
                              memory_module::Cell(static_cast<double>(i) * 0.25), memory_module::Cell(blob), mixed});
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
// Host

namespace {

std::string pathOf(const std::string& name)
{
    return "/bench/" + name;
}

const memory_module::TableData& indexedData()
{
    static const memory_module::TableData data = [] {
        memory_module::TableData d = tableData();
        d.indexedColumn = 1;
        return d;
    }();
    return data;
}

} // namespace

Host& Host::get()
{
    static Host host;
    return host;
}

Host::Host()
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

void Host::close()
{
    if (plain)
        sqlite3_close(plain);
    plain = nullptr;
    if (db)
        sqlite3_close(db);
    db = nullptr;
}

std::string Host::createOverlay(const std::string& base, bool indexed)
{
    const int use = ++uses[base];
    const std::string name = use == 1 ? base : base + "_" + std::to_string(use);
    memory_module::setTable(pathOf(name), indexed ? indexedData() : tableData());
    exec(db, "CREATE VIRTUAL TABLE " + name + " USING overlay('" + pathOf(name) + "')");
    return name;
}

void Host::dropOverlay(const std::string& name)
{
    exec(db, "DROP TABLE " + name);
    memory_module::setTable(pathOf(name), memory_module::TableData{});
}

const std::string& Host::innerTable()
{
    if (!innerReady) {
        memory_module::setTable(pathOf(innerName), tableData());
        exec(db, "CREATE VIRTUAL TABLE " + innerName + " USING inner('" + pathOf(innerName) + "')");
        innerReady = true;
    }
    return innerName;
}

const std::string& Host::indexedInnerTable()
{
    if (!indexedInnerReady) {
        memory_module::setTable(pathOf(indexedInnerName), indexedData());
        exec(db, "CREATE VIRTUAL TABLE " + indexedInnerName + " USING inner('" + pathOf(indexedInnerName) + "')");
        indexedInnerReady = true;
    }
    return indexedInnerName;
}

const std::string& Host::cleanOverlay()
{
    if (cleanName.empty())
        cleanName = createOverlay("scan_clean");
    return cleanName;
}

sqlite3* Host::plainDatabase()
{
    if (!plain) {
        plain = openNativeDatabase(homePath("plain.sqlite"));
        copyInnerRows(plain, "plain");
    }
    return plain;
}

void Host::copyInnerRows(sqlite3* into, const std::string& table)
{
    exec(into, "CREATE TABLE " + table + "(c1, c2, c3, c4, c5)");
    // Copied from the inner table, so that both hold the same values.
    const sqlite3_int64 rows =
        copyRows(db, "SELECT rowid, * FROM " + innerTable(), into,
                 "INSERT INTO " + table + "(rowid, c1, c2, c3, c4, c5) VALUES (?, ?, ?, ?, ?, ?)");
    if (rows != tableRows || scalar(into, "SELECT count(*) FROM " + table) != tableRows)
        throw std::runtime_error("table " + table + " incomplete");
}

const std::string& Host::logged(std::string& made, bool indexed)
{
    if (made.empty()) {
        const std::string& inner = innerTable();
        const std::string name = createOverlay(indexed ? "logged_indexed" : "logged", indexed);
        exec(db, "UPDATE " + name + " SET c2 = c2 || 'u', c3 = c3 + 1 WHERE rowid % 100 = 1");
        exec(db, "DELETE FROM " + name + " WHERE rowid % 100 = 2");
        exec(db, "INSERT INTO " + name + "(rowid, c1, c2, c3, c4, c5) SELECT rowid + " + std::to_string(tableRows) +
                     ", c1, c2, c3, c4, c5 FROM " + inner + " WHERE rowid <= " + std::to_string(tableRows / 100));
        if (scalar(db, "SELECT count(*) FROM " + name) != tableRows)
            throw std::runtime_error("the logged table does not show 100,000 rows");
        made = name;
    }
    return made;
}

} // namespace bench
