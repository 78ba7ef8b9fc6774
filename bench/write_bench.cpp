// Write benchmarks: UPDATEs through the overlay, on a fresh table and on one whose
// log holds half its rows, against the plain WAL table's and a trigger undo log's.
#include "bench_support.h"

#include <stdexcept>
#include <string>
#include <vector>

namespace bench {
namespace {

// ---------------------------------------------------------------------------
// Writes through the overlay against the same writes on the plain WAL table.

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
// Writes to a 100,000-row table whose log already holds the 50,000 even rows
// edited, against the plain WAL table and against SQLite's trigger undo log.

const std::string incrementC1 = " SET c1 = c1 + 1";
const std::string evenRows = " WHERE rowid % 2 = 0";

std::string overlayWithHalfLogged(const std::string& base)
{
    Host& host = Host::get();
    const std::string table = host.createOverlay(base);
    exec(host.db, "UPDATE " + table + incrementC1 + evenRows);
    exec(host.db, "SELECT ombrix_commit('" + table + "')");
    return table;
}

// The undo log that SQLite's documentation builds from triggers: each change
// writes the statement that takes it back into undolog. Kept in the table's own
// WAL file, as durable as the overlay's log, and holding the same 50,000 edits.
sqlite3* triggerLogDatabase()
{
    static NativeDatabase native;
    if (!native.db) {
        sqlite3* db = openNativeDatabase(homePath("trigger_log.sqlite"));
        native.db = db;
        Host::get().copyInnerRows(db, "t");
        const std::string oldRow =
            "quote(old.c1) || ', ' || quote(old.c2) || ', ' || quote(old.c3) || ', ' || quote(old.c4) || ', ' || "
            "quote(old.c5)";
        exec(db, "CREATE TABLE undolog(seq INTEGER PRIMARY KEY, sql TEXT)");
        exec(db, "CREATE TRIGGER t_insert AFTER INSERT ON t BEGIN INSERT INTO undolog VALUES (NULL, 'DELETE FROM t "
                 "WHERE rowid = ' || new.rowid); END");
        exec(db, "CREATE TRIGGER t_update AFTER UPDATE ON t BEGIN INSERT INTO undolog VALUES (NULL, 'UPDATE t SET "
                 "(c1, c2, c3, c4, c5) = (' || " +
                     oldRow + " || ') WHERE rowid = ' || old.rowid); END");
        exec(db, "CREATE TRIGGER t_delete AFTER DELETE ON t BEGIN INSERT INTO undolog VALUES (NULL, 'INSERT INTO "
                 "t(rowid, c1, c2, c3, c4, c5) VALUES (' || old.rowid || ', ' || " +
                     oldRow + " || ')'); END");
        exec(db, "UPDATE t" + incrementC1 + evenRows);
        if (scalar(db, "SELECT count(*) FROM undolog") != tableRows / 2)
            throw std::runtime_error("the trigger log does not hold the 50,000 edits");
    }
    return native.db;
}

// 10,000 single-row UPDATEs of distinct rows (half of them in the log) in one
// BEGIN ... COMMIT, commit included.
void BM_SingleRowUpdatesInTransactionHalfLogged(benchmark::State& state)
{
    runComparison(state, [] {
        Host& host = Host::get();
        sqlite3* plain = host.plainDatabase();
        sqlite3* triggered = triggerLogDatabase();
        const std::string table = overlayWithHalfLogged("w_transaction_50k");
        const std::vector<sqlite3_int64> rowids = distinctRowids(10000, 29);
        const std::string byRowid = incrementC1 + " WHERE rowid = ?";
        Statement subjectUpdate(host.db, "UPDATE " + table + byRowid);
        Statement baselineUpdate(plain, "UPDATE plain" + byRowid);
        Statement triggerUpdate(triggered, "UPDATE t" + byRowid);
        auto transaction = [&rowids](sqlite3* db, Statement& update) {
            exec(db, "BEGIN");
            for (sqlite3_int64 rowid : rowids)
                update.bind(1, rowid).run();
            exec(db, "COMMIT");
        };
        const Comparison c = compare(
            Budget{1.0, 2, 10}, [&](long) { transaction(host.db, subjectUpdate); }, Budget{0.5, 2, 20},
            [&](long) { transaction(plain, baselineUpdate); }, "trigger_log", Budget{0.5, 2, 20},
            [&](long) { transaction(triggered, triggerUpdate); });
        const sqlite3_int64 probe = rowids[5];
        const sqlite3_int64 expected = probe * 7 % 1000003 + (probe % 2 == 0 ? 1 : 0) + c.subject.reps;
        if (scalar(host.db, "SELECT c1 FROM " + table + " WHERE rowid = " + std::to_string(probe)) != expected)
            throw std::runtime_error("the overlay transactions lost an update");
        host.dropOverlay(table);
        return c;
    });
}

// One UPDATE of the 10,000 rows of one residue of rowid % 10; residues
// alternate between rows in the log and rows not in it.
void BM_OneUpdateOf10000RowsHalfLogged(benchmark::State& state)
{
    runComparison(state, [] {
        Host& host = Host::get();
        sqlite3* plain = host.plainDatabase();
        sqlite3* triggered = triggerLogDatabase();
        const std::string table = overlayWithHalfLogged("w_bulk_50k");
        const std::string byResidue = incrementC1 + " WHERE rowid % 10 = ?";
        Statement subjectUpdate(host.db, "UPDATE " + table + byResidue);
        Statement baselineUpdate(plain, "UPDATE plain" + byResidue);
        Statement triggerUpdate(triggered, "UPDATE t" + byResidue);
        auto update = [](sqlite3* db, Statement& statement, long i) {
            statement.bind(1, i % 10).run();
            if (sqlite3_changes(db) != 10000)
                throw std::runtime_error("an update changed other than 10000 rows");
        };
        const Comparison c = compare(
            Budget{1.0, 4, 20}, [&](long i) { update(host.db, subjectUpdate, i); }, Budget{0.5, 4, 40},
            [&](long i) { update(plain, baselineUpdate, i); }, "trigger_log", Budget{0.5, 4, 40},
            [&](long i) { update(triggered, triggerUpdate, i); });
        host.dropOverlay(table);
        return c;
    });
}

} // namespace

void registerWriteBenchmarks()
{
    addBenchmark("update/single_row_x10000", BM_SingleRowUpdates);
    addBenchmark("update/single_row_x10000_in_transaction", BM_SingleRowUpdatesInTransaction);
    addBenchmark("update/one_statement_10000_rows", BM_OneUpdateOf10000Rows);
    addBenchmark("update/single_row_x10000_in_transaction_50k_log", BM_SingleRowUpdatesInTransactionHalfLogged);
    addBenchmark("update/one_statement_10000_rows_50k_log", BM_OneUpdateOf10000RowsHalfLogged);
}

} // namespace bench
