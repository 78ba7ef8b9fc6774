// Overlay tables through SQL: what the inner module is asked, how reads merge
// the log, where the log lives and when it ends, and failures on the way.
#include "overlay_fixture.h"
#include "changelog/row_snapshot.h"
#include "history/history.h"
#include "quillmere.h"
#include "routines.h"

#include "engine.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

#include <sys/resource.h>
#include <sys/stat.h>

namespace {

// The first column of the next rows, up to most of them; the statement is
// reset once it has given all.
std::vector<std::string> rowsOf(sqlite3_stmt* statement, size_t most = SIZE_MAX)
{
    std::vector<std::string> rows;
    while (rows.size() < most && sqlite3_step(statement) == SQLITE_ROW)
        rows.push_back(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)));
    if (rows.size() < most)
        sqlite3_reset(statement);
    return rows;
}

TEST_F(OverlayTest, InnerModuleIsMadeScannedAndReleasedAsItsContractSays)
{
    memory_module::setTable("/p/q.tab", numbered(10));
    memory_module::Faults faults[4];
    faults[0].createCode = SQLITE_CANTOPEN;
    faults[0].createMessage = "cannot open: 100% gone";
    faults[1].openCode = SQLITE_IOERR;
    faults[2].createCode = SQLITE_CORRUPT;
    faults[3].scanNextCode = SQLITE_IOERR;
    faults[3].scanNextAtRowid = 4;
    faults[3].scanNextMessage = "gone at row 4";
    for (int i = 0; i < 4; ++i) {
        memory_module::setTable("/f" + std::to_string(i), numbered(10));
        memory_module::setFaults("/f" + std::to_string(i), faults[i]);
    }
    open();
    auto& calls = memory_module::calls();
    ASSERT_EQ(run("CREATE VIRTUAL TABLE t USING overlay('/p/q.tab', 'x y', 3)"), "");
    EXPECT_EQ(calls.clientData, std::vector<void*>{nullptr});
    EXPECT_EQ(calls.argv[0], (std::vector<std::string>{"overlay", "main", "t", "'/p/q.tab'", "'x y'", "3"}));
    // Only rowid = ? reaches the inner module's own plan; everything else is a full scan. The first plan
    // that constrains the rowid asks once whether the module finds its first row by rowid.
    const int lookup = memory_module::rowidLookupPlan;
    // More constraints than the overlay keeps beside the plan without the heap.
    std::string many = "SELECT rowid FROM t WHERE rowid > 7";
    for (int value = 100; value < 120; ++value)
        many += " AND a <> " + std::to_string(value);
    const std::tuple<const char*, const char*, std::vector<int>> reads[] = {
        {many.c_str(), "8 9 10", {0, lookup, 0}},
        {"SELECT rowid, b FROM t WHERE rowid = 4", "4|'r4'", {lookup}},
        {"SELECT rowid FROM t WHERE rowid IN (2, 9) ORDER BY rowid DESC", "9 2", {lookup, lookup}},
        {"SELECT rowid FROM t WHERE rowid > 7", "8 9 10", {0}},
        {"SELECT a FROM t ORDER BY a DESC LIMIT 2", "10 9", {0}},
        {"SELECT rowid FROM t WHERE b = 'r3'", "3", {0}},
    };
    for (const auto& [sql, rows, plans] : reads) {
        calls.filterPlans.clear();
        EXPECT_EQ(run(sql), rows) << sql;
        EXPECT_EQ(calls.filterPlans, plans) << sql;
    }
    // Failures pass through with the inner module's code and message.
    const std::pair<const char*, const char*> failures[] = {
        {"CREATE VIRTUAL TABLE f0 USING overlay('/f0')", "error 14: cannot open: 100% gone"},
        {"CREATE VIRTUAL TABLE f1 USING overlay('/f1'); SELECT * FROM f1", "error 10: disk I/O error"},
        {"CREATE VIRTUAL TABLE f2 USING overlay('/f2')", "error 11: vtable constructor failed: f2"},
        {"CREATE VIRTUAL TABLE m USING overlay", "error 21: Missing filepath"},
        {"CREATE VIRTUAL TABLE f3 USING overlay('/f3'); SELECT rowid FROM f3", "1 2 3 4 error 10: gone at row 4"},
        // An insert lists the inner rows for its rowid: their failure is its own, and SQLite rolls back the
        // statement's transaction, which leaves the next write as it would be.
        {"INSERT INTO f3(a) VALUES (11)", "error 10: gone at row 4"},
        {"UPDATE t SET b = 'next' WHERE rowid = 2; SELECT b FROM t WHERE rowid = 2", "'next'"},
        {"DROP TABLE t; SELECT name FROM sqlite_master", "'f1' 'f3'"},
    };
    for (const auto& [sql, outcome] : failures)
        EXPECT_EQ(run(sql), outcome) << sql;
    // The CREATE refused after the inner xCreate ends the inner table as a DROP would.
    EXPECT_EQ(std::count(calls.lifecycle.begin(), calls.lifecycle.end(), "destroy m"), 1);
    close();
    // Every inner table made is released and every cursor closed; the failed
    // xCreate made no table and the failed xOpen no cursor.
    const auto count = [&calls](const char* event) {
        return std::count_if(calls.lifecycle.begin(), calls.lifecycle.end(),
                             [event](const std::string& call) { return call.rfind(event, 0) == 0; });
    };
    EXPECT_EQ(count("destroy") + count("disconnect"), count("create") + count("connect") - 2);
    EXPECT_EQ(calls.closes, calls.opens - 1);
}

// Modules written elsewhere: one without xCreate makes its tables through
// xConnect; a table-valued one gets its HIDDEN-column arguments and shows the
// rows the log adds where they match them; one that declares WITHOUT ROWID is
// refused, with an xRowid or without.
TEST_F(OverlayTest, ModulesWithoutCreateTableValuedOrWithoutRowid)
{
    memory_module::setTable("/e", numbered(2));
    open();
    ASSERT_EQ(wrapVirtualTableWithTransactions(db, nullptr, memory_module::eponymousModule(), "eponymous"), SQLITE_OK);
    ASSERT_EQ(wrapVirtualTableWithTransactions(db, nullptr, memory_module::rangeModule(), "range"), SQLITE_OK);
    ASSERT_EQ(wrapVirtualTableWithTransactions(db, nullptr, memory_module::keyedModule(), "keyed"), SQLITE_OK);
    ASSERT_EQ(wrapVirtualTableWithTransactions(db, nullptr, memory_module::keyedModuleWithRowid(), "keyed2"),
              SQLITE_OK);
    EXPECT_EQ(run("CREATE VIRTUAL TABLE e USING eponymous('/e'); INSERT INTO e(a) VALUES (3); SELECT a FROM e"),
              "1 2 3");
    EXPECT_EQ(run("CREATE VIRTUAL TABLE r USING range('/r'); SELECT value FROM r(3, 5); SELECT value FROM r"),
              "3 4 5 error 1: no query solution");
    EXPECT_EQ(run("INSERT INTO r(value, first, last) VALUES (9, 3, 5), (8, 1, 2); DELETE FROM r WHERE value = 4 AND "
                  "first = 3 AND last = 5; SELECT group_concat(value) FROM r(3, 5); SELECT ombrix_undo('r'); SELECT "
                  "group_concat(value) FROM r(3, 5)"),
              "'3,5,9' NULL '3,4,5'");
    for (const std::string module : {"keyed", "keyed2"})
        EXPECT_EQ(run("CREATE VIRTUAL TABLE k USING " + module + "('/e')"),
                  "error 1: module " + module + " wraps a table WITHOUT ROWID, which the overlay cannot edit");
    EXPECT_EQ(run("DROP TABLE e; DROP TABLE r"), "");
    const std::vector<std::string> expected{"connect e", "connect k",    "disconnect k", "disconnect e",
                                            "connect k", "disconnect k", "connect e",    "disconnect e"};
    EXPECT_EQ(memory_module::calls().lifecycle, expected);
}

// SQLite closes the cursor of a one-pass UPDATE before it calls xUpdate with the values it read: an inner
// cursor whose values live only as long as it does stays open until its statement has run, and no longer.
TEST_F(OverlayTest, ValuesOutliveTheirInnerCursorForTheirStatementOnly)
{
    memory_module::setTable("/s", numbered(3));
    open();
    ASSERT_EQ(wrapVirtualTableWithTransactions(db, nullptr, memory_module::staticValuesModule(), "fragile"), SQLITE_OK);
    ASSERT_EQ(run("CREATE VIRTUAL TABLE s USING fragile('/s'); BEGIN"), "");
    sqlite3_stmt* update = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "UPDATE s SET a = a + 10 WHERE rowid = ?", -1, &update, nullptr), SQLITE_OK);
    const auto& calls = memory_module::calls();
    for (int rowid = 1; rowid <= 3; ++rowid) {
        sqlite3_bind_int(update, 1, rowid);
        EXPECT_EQ(sqlite3_step(update), SQLITE_DONE);
        sqlite3_reset(update);
        EXPECT_LE(calls.opens - calls.closes, 1) << "inner cursors left open after run " << rowid;
    }
    sqlite3_finalize(update);
    EXPECT_EQ(run("COMMIT; SELECT * FROM s"), "11|'r1' 12|'r2' 13|'r3'");
    EXPECT_EQ(calls.opens, calls.closes);
}

// Modules written elsewhere, each against the same rows on the module alone: one frees the values it handed
// out once another cursor of its table opens, as the overlay's questions to the inner rows do (the log's
// first write, OR REPLACE onto an inner row); one plans full scans alone and does not start over when
// filtered again, as SQLite does for each value of an IN list; one keeps its latest cursor's state in the
// table and frees it at any cursor's close, so that a cursor filtered again must not outlive its successor;
// one plans rowid = ? and finds nothing, and from the first plan on gets no rowid to look up.
TEST_F(OverlayTest, ModulesWithFaultsOfTheirOwn)
{
    memory_module::TableData freeing = numbered(4), scanning = numbered(6), latest = numbered(6), blind = numbered(6);
    freeing.valuesFreedOnOpen = true;
    scanning.scansOnce = true;
    latest.latestCursorState = true;
    blind.rowidLookupFindsNothing = true;
    memory_module::setTable("/f", freeing);
    memory_module::setTable("/s", scanning);
    memory_module::setTable("/l", latest);
    memory_module::setTable("/n", blind);
    open();
    ASSERT_EQ(sqlite3_create_module(db, "plain", memory_module::module(), nullptr), SQLITE_OK);
    ASSERT_EQ(run("CREATE VIRTUAL TABLE f USING overlay('/f'); CREATE VIRTUAL TABLE s USING overlay('/s'); "
                  "CREATE VIRTUAL TABLE l USING overlay('/l'); CREATE VIRTUAL TABLE n USING overlay('/n'); "
                  "CREATE VIRTUAL TABLE ps USING plain('/s')"),
              "");
    EXPECT_EQ(run("UPDATE OR REPLACE f SET rowid = 4 WHERE rowid = 2; UPDATE OR REPLACE f SET rowid = 3 WHERE rowid "
                  "= 1; SELECT rowid, * FROM f"),
              "3|1|'r1' 4|2|'r2'");
    // Asked first while the inner row of old_values is being looked up, which still reads the inner row.
    EXPECT_EQ(run("UPDATE n SET b = 'x' WHERE a = 2; SELECT old_values FROM ombrix_changes('n')"), "'[2,\"r2\"]'");
    for (const std::string table : {"n", "s", "l"}) {
        for (const std::string sql :
             {"SELECT rowid FROM # WHERE rowid IN (3, 6)", "SELECT b FROM # WHERE rowid IN (6,3,7)",
              "SELECT a FROM # WHERE rowid IN (SELECT 5 UNION SELECT 1) ORDER BY a DESC"})
            EXPECT_EQ(run(sql.substr(0, sql.find('#')) + table + sql.substr(sql.find('#') + 1)),
                      run(sql.substr(0, sql.find('#')) + "ps" + sql.substr(sql.find('#') + 1)))
                << table << ": " << sql;
        EXPECT_EQ(run("UPDATE " + table + " SET a = 30 WHERE rowid IN (6,3,7); SELECT group_concat(a) FROM " + table),
                  "'1,2,30,4,5,30'");
    }
    auto& plans = memory_module::calls().filterPlans;
    plans.clear();
    EXPECT_EQ(run("UPDATE n SET b = 'x' WHERE rowid = 2; DELETE FROM n WHERE rowid = 4; SELECT changes(); SELECT "
                  "group_concat(old_values, ' ') FROM ombrix_changes('n')"),
              "1 '[2,\"r2\"] [3,\"r3\"] [6,\"r6\"] [4,\"r4\"]'");
    EXPECT_EQ(std::count(plans.begin(), plans.end(), memory_module::rowidLookupPlan), 0);
}

// Save applies the net changes through the module's own transaction, all or
// none, and the history ends; every refusal leaves rows, module and log as they were.
TEST_F(OverlayTest, SaveWritesTheEditsIntoAModuleThatWritesItsRows)
{
    memory_module::WritableData data;
    for (sqlite3_int64 i = 1; i <= 6; ++i)
        data.rows[i] = {i, "r" + std::to_string(i)};
    memory_module::setWritable("/w", data);
    open();
    ASSERT_EQ(wrapVirtualTableWithTransactions(db, nullptr, memory_module::writableModule(), "writable"), SQLITE_OK);
    ASSERT_EQ(
        run("CREATE VIRTUAL TABLE w USING writable('/w'); CREATE VIRTUAL TABLE o USING overlay('/o');"
            "UPDATE w SET b = 'x' WHERE a = 2; DELETE FROM w WHERE a = 4; INSERT INTO w VALUES (9, 'n');"
            "UPDATE w SET rowid = 20 WHERE a = 5; SELECT ombrix_commit('w'); DELETE FROM w WHERE a = 6;"
            "SELECT ombrix_undo('w'); UPDATE OR REPLACE w SET rowid = 3 WHERE a = 1; INSERT INTO o VALUES (1, 2)"),
        "NULL NULL");
    const std::string shown = "2|2|'x' 3|1|'r1' 6|6|'r6' 7|9|'n' 20|5|'r5'";
    ASSERT_EQ(run("SELECT rowid, * FROM w"), shown);
    const auto unchanged = [&](const std::string& why) {
        EXPECT_EQ(run("SELECT rowid, * FROM w"), shown) << why;
        EXPECT_EQ(memory_module::writableRows("/w"), data.rows) << why;
        EXPECT_EQ(run("SELECT count(*) FROM ombrix_steps('w')"), "2") << why;
        EXPECT_EQ(memory_module::strayRollbacks("/w"), 0) << why;
    };
    for (const auto& [sql, error] : std::vector<std::pair<std::string, std::string>>{
             {"BEGIN; SELECT ombrix_save('w')", "error 1: ombrix_save: cannot save w inside a transaction"},
             {"ROLLBACK; SELECT ombrix_save('w') FROM w", "error 6: ombrix_save: cannot save w while a statement"},
             {"SELECT ombrix_save('w', '/elsewhere')", "error 1: ombrix_save: cannot save w to another path"},
             {"SELECT ombrix_save('o')", "error 1: ombrix_save: cannot save o: its module writes no rows"},
             {"SELECT ombrix_save('main.nothing')", "error 1: ombrix_save: no such table: main.nothing"},
             {"SELECT ombrix_save('w', 'x' || char(0))", "error 1: Usage: ombrix_save('table' [, 'path'])"},
             {"SELECT ombrix_save('w')", "error 10: ombrix_save: the module refused to delete row 1: injected"},
             {"SELECT ombrix_save('w')", "error 10: ombrix_save: the module refused to insert row 7: injected"},
             {"SELECT ombrix_save('w')", "error 13: ombrix_save: the module failed to sync its transaction"},
             {"SELECT ombrix_save('w')", "error 10: ombrix_save: the module failed to begin its transaction"}}) {
        memory_module::WritableData faulty = data;
        faulty.failUpdate = error.find("delete") != std::string::npos   ? 2
                            : error.find("insert") != std::string::npos ? 6
                                                                        : 0;
        faulty.failSync = error.find("sync") != std::string::npos;
        faulty.failBegin = error.find("begin") != std::string::npos;
        memory_module::setWritable("/w", faulty);
        EXPECT_EQ(run(sql).substr(0, error.size()), error) << sql;
        unchanged(sql);
    }
    memory_module::setWritable("/w", data);
    EXPECT_EQ(run("SELECT ombrix_save('main.w', '/w')"), "6");
    EXPECT_EQ(run("SELECT rowid, * FROM w; SELECT count(*) FROM ombrix_steps('w'); SELECT ombrix_undo('w')"),
              shown + " 0 NULL");
    EXPECT_EQ(memory_module::writableRows("/w"),
              (std::map<sqlite3_int64, memory_module::Row>{{2, {sqlite3_int64(2), "x"}},
                                                           {3, {sqlite3_int64(1), "r1"}},
                                                           {6, {sqlite3_int64(6), "r6"}},
                                                           {7, {sqlite3_int64(9), "n"}},
                                                           {20, {sqlite3_int64(5), "r5"}}}));
    EXPECT_EQ(run("UPDATE w SET b = 'y' WHERE a = 6; SELECT ombrix_save('w'); SELECT b FROM w WHERE rowid = 6; "
                  "SELECT ombrix_save('w')"),
              "1 'y' 0");
    EXPECT_EQ(run("CREATE VIRTUAL TABLE k USING writable('/w'); DELETE FROM k WHERE a = 2; SELECT ombrix_save('w')"),
              "error 19: ombrix_save: cannot save w: the change log of table k lies over its rows; its edits would no "
              "longer match them");
    // The inner module renames its table first; the log follows only if it did.
    EXPECT_EQ(run("ALTER TABLE k RENAME TO refused"), "error 10: injected failure");
    EXPECT_EQ(
        run("ALTER TABLE k RENAME TO k2; SELECT count(*) FROM ombrix_steps('k2'); SELECT * FROM ombrix_steps('k')"),
        "1 error 1: No such table ");
}

// Work repeated on one connection leaves the engine's memory where it was:
// what a save, a listing or a failed scan takes, it gives back.
TEST_F(OverlayTest, RepeatedWorkGivesBackTheEnginesMemory)
{
    memory_module::WritableData data;
    for (sqlite3_int64 i = 1; i <= 3; ++i)
        data.rows[i] = {i, "r" + std::to_string(i)};
    memory_module::setWritable("/w", data);
    memory_module::Faults fault;
    fault.scanNextCode = SQLITE_IOERR;
    fault.scanNextAtRowid = 2;
    fault.scanNextMessage = "gone at row 2";
    memory_module::setTable("/f", numbered(4));
    memory_module::setFaults("/f", fault);
    open();
    ASSERT_EQ(wrapVirtualTableWithTransactions(db, nullptr, memory_module::writableModule(), "writable"), SQLITE_OK);
    ASSERT_EQ(run("CREATE VIRTUAL TABLE w USING writable('/w'); CREATE VIRTUAL TABLE f USING overlay('/f')"), "");
    const auto rounds = [&](int from, int to) {
        for (int i = from; i < to; ++i) {
            const std::string value = "'v" + std::to_string(i) + "'";
            ASSERT_EQ(run("UPDATE w SET b = " + value + " WHERE a = 2; INSERT INTO w VALUES (" +
                          std::to_string(i + 10) +
                          ", 'n'); SELECT count(*) FROM ombrix_changes('w'); SELECT ombrix_save('w')"),
                      "2 2");
            ASSERT_EQ(run("SELECT count(*) FROM f"), "error 10: gone at row 2");
        }
    };
    rounds(0, 20);
    const sqlite3_int64 settled = sqlite3_memory_used();
    rounds(20, 60);
    EXPECT_LE(sqlite3_memory_used() - settled, 1024);
}

TEST_F(OverlayTest, RoutinesPointerIsFilledOnceAndNeeded)
{
    open();
    const sqlite3_api_routines* before = sqlite3_api;
    sqlite3_api_routines other = *before;
    EXPECT_EQ(wrapVirtualTableWithTransactions(db, &other, memory_module::module(), "second"), SQLITE_OK);
    EXPECT_EQ(sqlite3_api, before);
    EXPECT_EQ(wrapVirtualTableWithTransactions(db, nullptr, nullptr, "third"), SQLITE_MISUSE);
    sqlite3_api = nullptr;
    EXPECT_EQ(wrapVirtualTableWithTransactions(db, nullptr, memory_module::module(), "fourth"), SQLITE_MISUSE);
    EXPECT_EQ(quillmere_register_undoredo_functions(db), SQLITE_MISUSE);
    sqlite3_api = before;
    // SQLite refuses to replace a function while a statement runs: the registration says so.
    sqlite3_stmt* running = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT 1 UNION ALL SELECT 2", -1, &running, nullptr), SQLITE_OK);
    EXPECT_EQ(sqlite3_step(running), SQLITE_ROW);
    EXPECT_EQ(quillmere_register_undoredo_functions(db), SQLITE_BUSY);
    sqlite3_finalize(running);
    EXPECT_EQ(quillmere_register_undoredo_functions(db), SQLITE_OK);
}

TEST_F(OverlayTest, LookupsAndScansMergeTheLog)
{
    memory_module::setTable("/t", numbered(5));
    memory_module::TableData typed = numbered(4);
    typed.indexedColumn = 1;
    typed.types = {"", "VARCHAR(9)"};
    memory_module::setTable("/typed", typed);
    open();
    ASSERT_EQ(run("CREATE VIRTUAL TABLE t USING overlay('/t')"), "");
    // The inner module answers b = ? itself; with TEXT affinity SQLite compares numbers there as text.
    ASSERT_EQ(run("CREATE VIRTUAL TABLE typed USING overlay('/typed'); UPDATE typed SET b = 5 WHERE rowid = 1; "
                  "UPDATE typed SET b = 5.0 WHERE rowid = 2; UPDATE typed SET b = 'r4' WHERE rowid = 3"),
              "");
    for (const std::string value : {"'5'", "5", "'5.0'", "'r4'"})
        EXPECT_EQ(run("SELECT rowid FROM typed WHERE b = " + value),
                  run("SELECT rowid FROM typed WHERE (b = " + value + ") IS 1"))
            << value;
    // Under another collation SQLite matches the stored rows, as the overlay cannot.
    EXPECT_EQ(run("UPDATE t SET b = 'Xy' WHERE rowid = 2; SELECT rowid FROM t WHERE b = 'xY' COLLATE NOCASE"), "2");
    // Without a declared type the overlay matches the stored rows itself, and SQLite trusts the inner
    // module's answer for its rows as on the inner table alone: no column is read to check it again.
    typed.types.clear();
    memory_module::setTable("/untyped", typed);
    typed.indexedColumn = 0;
    memory_module::setTable("/first", typed);
    ASSERT_EQ(run("CREATE VIRTUAL TABLE untyped USING overlay('/untyped'); UPDATE untyped SET b = 'r4' WHERE rowid = 1;"
                  "CREATE VIRTUAL TABLE first USING overlay('/first'); UPDATE first SET a = 4 WHERE rowid = 1"),
              "");
    for (const char* where : {"untyped WHERE b = 'r4'", "first WHERE a = 4", "typed WHERE b = 'r4'"}) {
        memory_module::calls().columnReads = 0;
        EXPECT_EQ(run(std::string("SELECT count(*) FROM ") + where), "2");
        EXPECT_EQ(memory_module::calls().columnReads > 0, where[0] == 't') << where;
    }
    // After a write during such a scan, the stored rows it has yet to show are matched one by one.
    sqlite3_stmt* matching = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT rowid FROM untyped WHERE b = 'r4'", -1, &matching, nullptr), SQLITE_OK);
    ASSERT_EQ(run("UPDATE untyped SET b = 'r4' WHERE rowid = 3"), "");
    ASSERT_EQ(sqlite3_step(matching), SQLITE_ROW);
    EXPECT_EQ(run("UPDATE untyped SET a = 0 WHERE rowid = 2"), "");
    EXPECT_EQ(rowsOf(matching), (std::vector<std::string>{"3", "4"}));
    sqlite3_finalize(matching);
    ASSERT_EQ(run("UPDATE first SET a = 4.0 WHERE rowid = 2"), "");
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT rowid FROM first WHERE a = 4", -1, &matching, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(matching), SQLITE_ROW);
    EXPECT_EQ(run("UPDATE first SET a = 5.0 WHERE rowid = 2"), "");
    EXPECT_EQ(rowsOf(matching), (std::vector<std::string>{"4"}));
    sqlite3_finalize(matching);
    // A scan under way when the first write makes the log shows the rows the log stores ahead of it, never
    // those it has passed: in a full scan, in a rowid lookup, and over a log kept empty before the scan.
    const std::tuple<const char*, const char*, std::vector<std::string>> scans[] = {
        {"late", "", {"2", "3"}}, {"lookup", " WHERE rowid = 2", {}}, {"kept", "", {"2", "3"}}};
    for (const auto& [table, where, rest] : scans) {
        const std::string name = table;
        memory_module::setTable("/" + name, numbered(2));
        ASSERT_EQ(run("CREATE VIRTUAL TABLE " + name + " USING overlay('/" + name + "')"), "");
        if (name == "kept") {
            ASSERT_EQ(run("SELECT ombrix_keep('kept')"), "NULL");
        }
        sqlite3_stmt* scan = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(db, ("SELECT rowid FROM " + name + where).c_str(), -1, &scan, nullptr), SQLITE_OK);
        ASSERT_EQ(sqlite3_step(scan), SQLITE_ROW);
        EXPECT_EQ(run("UPDATE " + name + " SET b = 'seen' WHERE rowid <= 2; INSERT INTO " + name + "(a) VALUES (3)"),
                  "");
        EXPECT_EQ(rowsOf(scan), rest) << name;
        sqlite3_finalize(scan);
    }

    ASSERT_EQ(run("UPDATE t SET b = 'new' WHERE rowid = 2; DELETE FROM t WHERE rowid = 3; INSERT INTO t(rowid, a) "
                  "VALUES (9, 9), (1099511627776, 40), (9223372036854775807, 63)"),
              "");
    EXPECT_EQ(run("SELECT rowid, b FROM t"),
              "1|'r1' 2|'new' 4|'r4' 5|'r5' 9|NULL 1099511627776|NULL 9223372036854775807|NULL");
    // A lookup gives what the full scan shows; a condition no plan can use forces the scan.
    for (const std::string value : {"-1", "0", "2", "3", "4", "6", "9", "1099511627776", "9223372036854775807",
                                    "'4abc'", "4.5", "NULL", "'4'", "4.0", "x'04'", "'9'"}) {
        EXPECT_EQ(run("SELECT rowid, a, b FROM t WHERE rowid = " + value),
                  run("SELECT rowid, a, b FROM t WHERE (rowid = " + value + ") IS 1"))
            << value;
    }
    // A prepared lookup follows the log as it changes.
    sqlite3_stmt* lookup = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT b FROM t WHERE rowid = 4", -1, &lookup, nullptr), SQLITE_OK);
    EXPECT_EQ(rowsOf(lookup), std::vector<std::string>{"r4"});
    EXPECT_EQ(run("DELETE FROM t WHERE rowid = 4"), "");
    EXPECT_EQ(rowsOf(lookup), std::vector<std::string>{});
    sqlite3_finalize(lookup);
    // A plan with more constraints than most sees all of them and only them.
    std::string many = "SELECT rowid FROM t WHERE rowid <> 2";
    for (int i = 0; i < 20; ++i)
        many += " AND a > " + std::to_string(-i) + " AND rowid <> " + std::to_string(100 + i);
    EXPECT_EQ(run(many), "1 5 9 1099511627776 9223372036854775807");
}

// SQLite tells a table made inside a transaction of no savepoint opened before it, and a one-pass write opens
// none: ROLLBACK TO such a savepoint still takes back what the table wrote, and nothing written before it.
TEST_F(OverlayTest, RollbackToASavepointOlderThanItsTable)
{
    memory_module::setTable("/t", numbered(3));
    memory_module::setTable("/u", numbered(3));
    open();
    ASSERT_EQ(run("CREATE VIRTUAL TABLE u USING overlay('/u')"), "");
    // Writes of another table before the savepoint, and after the ROLLBACK TO, stay.
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {"", "", "'r1,r2,r3'"},
        {"UPDATE u SET b = 'kept' WHERE rowid = 1; ", "", "'kept,r2,r3'"},
        {"", "UPDATE u SET b = 'after' WHERE rowid = 3; ", "'kept,r2,after'"},
    };
    for (const auto& [before, after, rows] : cases) {
        EXPECT_EQ(run("BEGIN; " + before +
                      "SAVEPOINT a; CREATE VIRTUAL TABLE t USING overlay('/t'); UPDATE t SET b = 'lost' WHERE rowid "
                      "= 2; INSERT INTO t(a) VALUES (4); ROLLBACK TO a; " +
                      after + "COMMIT; SELECT name FROM sqlite_master"),
                  "'u'");
        EXPECT_EQ(run("CREATE VIRTUAL TABLE t USING overlay('/t'); SELECT group_concat(a || b) FROM t; DROP TABLE t; "
                      "SELECT group_concat(b) FROM u"),
                  "'1r1,2r2,3r3' " + rows)
            << before << after;
    }
    // Statements expired for another cause (functions registered again) leave what such a table wrote in place.
    ASSERT_EQ(run("BEGIN; CREATE VIRTUAL TABLE t USING overlay('/t'); UPDATE t SET b = 'stays' WHERE rowid = 2"), "");
    ASSERT_EQ(quillmere_register_undoredo_functions(db), SQLITE_OK);
    EXPECT_EQ(run("UPDATE u SET b = 'too' WHERE rowid = 2; COMMIT; SELECT group_concat(b) FROM t; "
                  "SELECT group_concat(b) FROM u"),
              "'r1,stays,r3' 'kept,too,after'");
}

// The first write through a table makes its log and registry row in the history
// file, in WAL mode; DROP TABLE and closing the connection remove them, whatever
// the table's name, and leave the other tables' logs working.
TEST_F(OverlayTest, LogTablesComeAndGoWithTheirTable)
{
    memory_module::setTable("/rivers", numbered(3));
    memory_module::setTable("/crafted", numbered(3));
    open();
    ASSERT_EQ(run("CREATE VIRTUAL TABLE rivers USING overlay('/rivers'); DELETE FROM rivers WHERE rowid = 1"), "");
    EXPECT_EQ(history("PRAGMA journal_mode; SELECT * FROM ombrixOpenedTables"), "'wal' '/rivers'|'rivers'|1");
    for (const std::string name : {"v(a)/*", "ombrixOpenedTables--", "my roads", "say \"hi\""}) {
        std::string table = "\"";
        for (char c : name)
            table += c == '"' ? "\"\"" : std::string(1, c);
        table += "\"";
        const std::string text = "'" + name + "' || ";
        const std::string count = "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name IN (" + text +
                                  "'deletedRows', " + text + "'history', " + text +
                                  "'insertedOrUpdatedRows'); SELECT count(*) FROM sqlite_master WHERE type = 'table'";
        EXPECT_EQ(run("CREATE VIRTUAL TABLE " + table + " USING overlay('/crafted'); UPDATE " + table +
                      " SET b = 'x' WHERE rowid = 2; DELETE FROM " + table + " WHERE rowid = 1; SELECT * FROM " +
                      table),
                  "2|'x' 3|'r3'");
        EXPECT_EQ(history(count), "3 11") << name;
        EXPECT_EQ(run("DROP TABLE " + table), "");
        EXPECT_EQ(history(count), "0 8") << name;
    }
    // A snapshot holds text as its characters, for other programs to read, and each byte of no valid UTF-8
    // sequence (here 0xFF and an encoded surrogate) as U+DC80 + byte - 0x80; reads give back the bytes, also
    // at the edges of each UTF-8 length (U+007F, U+0080, U+07FF, U+0800, U+FFFF, U+10000).
    EXPECT_EQ(run("UPDATE rivers SET b = CAST(x'c2a2f09f9880ffedbfbf7fc280dfbfe0a080efbfbff0908080' AS TEXT) WHERE "
                  "rowid = 2; SELECT hex(b) FROM rivers WHERE rowid = 2"),
              "'C2A2F09F9880FFEDBFBF7FC280DFBFE0A080EFBFBFF0908080'");
    EXPECT_EQ(history("SELECT instr(hex(newValue), '00A2D83DDE00DCFFDCEDDCBFDCBF') > 0 FROM riversinsertedOrUpdatedRows"
                      " WHERE ID = 2"),
              "1");
    // Every kind of value is stored as QDataStream writes a list of variants.
    const std::pair<std::string, QList<QVariant>> rows[] = {
        {"NULL, 1.5", {QVariant(QString()), QVariant(1.5)}},
        {"-7, x'00ff'", {QVariant(qlonglong(-7)), QVariant(QByteArray("\0\xff", 2))}},
        {"'', x''", {QVariant(QStringLiteral("")), QVariant(QByteArray())}},
        // The least and greatest characters of each UTF-8 length.
        {"char(128, 2047, 2048, 65535, 65536, 1114111), 0",
         {QVariant(QString::fromUtf8("\xc2\x80\xdf\xbf\xe0\xa0\x80\xef\xbf\xbf\xf0\x90\x80\x80\xf4\x8f\xbf\xbf")),
          QVariant(qlonglong(0))}},
    };
    for (const auto& [values, row] : rows) {
        EXPECT_EQ(run("UPDATE rivers SET (a, b) = (" + values + ") WHERE rowid = 2"), "");
        EXPECT_EQ(history("SELECT hex(newValue) FROM riversinsertedOrUpdatedRows WHERE ID = 2"),
                  "'" + rowToBlob(row).toHex().toUpper().toStdString() + "'");
    }
    // Snapshots of other programs: a kind this one never writes (here a bool) has the whole row decoded by
    // QDataStream, text and blobs too; UTF-16 text of an odd number of bytes is damage, and the row reads as NULLs.
    const std::pair<QByteArray, std::string> written[] = {
        {rowToBlob({QVariant(QString::fromUtf8("t\xc3\xa9")), QVariant(QByteArray("\0b", 2)), QVariant(true)}),
         "'t\xc3\xa9'|x'0062'"},
        {QByteArray::fromHex("000000010000000a0000000003006100"), "NULL|NULL"}, // one text of 3 bytes
    };
    for (const auto& [snapshot, shown] : written) {
        ASSERT_EQ(history("UPDATE riversinsertedOrUpdatedRows SET newValue = x'" + snapshot.toHex().toStdString() +
                          "' WHERE ID = 2"),
                  "");
        EXPECT_EQ(run("SELECT a, b FROM rivers WHERE rowid = 2"), shown);
    }
    EXPECT_EQ(run("DELETE FROM rivers WHERE rowid = 2; SELECT rowid FROM rivers"), "3");
    // The space of a large value undone and discarded goes back to the file system.
    EXPECT_EQ(run("UPDATE rivers SET b = zeroblob(20000000) WHERE rowid = 3; SELECT ombrix_undo('rivers');"
                  "UPDATE rivers SET b = 'small' WHERE rowid = 3; SELECT ombrix_commit('rivers')"),
              "NULL NULL");
    EXPECT_EQ(history("SELECT page_count * page_size < 1000000 FROM pragma_page_count, pragma_page_size"), "1");
    close();
    EXPECT_EQ(history("SELECT name FROM sqlite_master WHERE type = 'table'; SELECT count(*) FROM ombrixOpenedTables"),
              "'ombrixOpenedTables' 'ombrixStepLabels' 'ombrixCleanMarks' 'ombrixKeptLogs' 'ombrixKeptFiles' 0");
}

// Triggers and views planted in the history file never run inside the
// library's statements. A file that cannot grow (here a file size limit) fails
// the statement, at its commit, with SQLite's code and message, and leaves the
// log, and what reads show, as they were.
TEST_F(OverlayTest, HistoryFileFaultsLeaveTheLogAsItWas)
{
    memory_module::setTable("/t", numbered(5));
    open();
    ASSERT_EQ(run("CREATE VIRTUAL TABLE t USING overlay('/t'); UPDATE t SET b = 'kept' WHERE rowid = 1; INSERT INTO "
                  "t(a) VALUES (6); SELECT ombrix_commit('t'); DELETE FROM t WHERE rowid = 2; SELECT ombrix_undo('t')"),
              "NULL NULL");
    ASSERT_EQ(history("CREATE TRIGGER planted AFTER INSERT ON thistory BEGIN INSERT INTO tinsertedOrUpdatedRows "
                      "VALUES (99, x'00000000'); END; CREATE TRIGGER looping BEFORE UPDATE ON ombrixOpenedTables "
                      "BEGIN SELECT count(*) FROM (WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n) "
                      "SELECT i FROM n); END; CREATE VIEW tdeletedRowsView AS SELECT 1"),
              "");
    // Another connection's transaction on the file makes a write wait for it, up to the busy timeout of the
    // writing connection.
    sqlite3_busy_timeout(db, 5000);
    ASSERT_EQ(history("BEGIN IMMEDIATE"), "");
    std::thread ending([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        history("COMMIT");
    });
    EXPECT_EQ(run("UPDATE t SET b = 'waited' WHERE rowid = 3"), "");
    ending.join();
    auto state = [this] {
        return run("SELECT rowid, * FROM t") + " / " +
               history("SELECT * FROM tinsertedOrUpdatedRows; SELECT * FROM tdeletedRows; SELECT *, rowid FROM "
                       "thistory; SELECT * FROM ombrixOpenedTables");
    };
    const char* const statements[] = {"UPDATE t SET b = 'lost' WHERE rowid = 3",
                                      "UPDATE t SET rowid = 30 WHERE rowid = 6",
                                      "DELETE FROM t WHERE rowid = 1",
                                      "INSERT INTO t(a) VALUES (7)",
                                      "SELECT ombrix_redo('t')",
                                      "SELECT ombrix_undo('t')",
                                      "SELECT ombrix_commit('t')"};
    std::signal(SIGXFSZ, SIG_IGN);
    const std::string wal = home + "/transactions.sqlite-wal";
    for (const char* sql : statements) {
        const std::string before = state();
        struct rlimit limit;
        getrlimit(RLIMIT_FSIZE, &limit);
        const rlim_t unlimited = limit.rlim_cur;
        limit.rlim_cur = std::filesystem::file_size(wal) / 2;
        setrlimit(RLIMIT_FSIZE, &limit);
        const std::string outcome = run(sql);
        limit.rlim_cur = unlimited;
        setrlimit(RLIMIT_FSIZE, &limit);
        EXPECT_EQ(outcome, "error 10: disk I/O error") << sql;
        EXPECT_EQ(state(), before) << sql;
        EXPECT_EQ(run(sql).find("error"), std::string::npos) << sql;
    }
    EXPECT_EQ(history("SELECT count(*) FROM tinsertedOrUpdatedRows WHERE ID = 99"), "0");
    // A function that fails part-way leaves no transaction, and no lock, behind.
    ASSERT_EQ(history("DROP TABLE thistory"), "");
    EXPECT_EQ(run("SELECT ombrix_undo('t')"), "error 1: no such table: thistory");
    EXPECT_EQ(history("CREATE TABLE probe(a)"), "");
}

TEST_F(OverlayTest, SecondLogOfANameOrOfAFileIsRefused)
{
    memory_module::TableData elsewhere = numbered(5);
    elsewhere.rows[0][1] = "elsewhere";
    memory_module::setTable("/roads", numbered(5));
    memory_module::setTable("/elsewhere", elsewhere);
    open();
    ASSERT_EQ(run("CREATE VIRTUAL TABLE roads USING overlay('/roads'); DELETE FROM roads WHERE rowid = 1"), "");
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(":memory:", &other), SQLITE_OK);
    ASSERT_EQ(wrapVirtualTableWithTransactions(other, nullptr, memory_module::module(), "overlay"), SQLITE_OK);
    ASSERT_EQ(quillmere_register_undoredo_functions(other), SQLITE_OK);
    EXPECT_EQ(::run(other, "CREATE VIRTUAL TABLE ROADS USING overlay('/elsewhere'); DELETE FROM ROADS WHERE rowid = 5"),
              "error 19: table roads: another table of that name, on file path /roads, has a change log open in this "
              "process");
    // The deleted row's values are read through a table over the log's file on the connection that asks, and
    // are unknown without one: not read through the table of that name over another file, nor on another
    // connection.
    const std::string oldValues = "SELECT original_rowid, old_values FROM ombrix_changes('roads')";
    EXPECT_EQ(::run(other, oldValues), "1|NULL");
    EXPECT_EQ(run(oldValues), "1|'[1,\"r1\"]'");
    EXPECT_EQ(::run(other, "CREATE VIRTUAL TABLE copy USING overlay('/roads'); DELETE FROM copy WHERE rowid = 5"),
              "error 19: table copy: its file path /roads is already used by the change log of table roads");
    EXPECT_EQ(run("CREATE VIRTUAL TABLE lanes USING overlay('/lanes')"), "");
    EXPECT_EQ(
        ::run(other, "CREATE VIRTUAL TABLE streets USING overlay('/streets'); ALTER TABLE streets RENAME TO Lanes"),
        "error 1: table Lanes is open in this process already");
    EXPECT_EQ(sqlite3_close(other), SQLITE_OK);
    // Inside a transaction of a connection without the table nothing would tell its history how the
    // transaction ends: the history call is refused.
    ASSERT_EQ(sqlite3_open(":memory:", &other), SQLITE_OK);
    ASSERT_EQ(quillmere_register_undoredo_functions(other), SQLITE_OK);
    EXPECT_EQ(::run(other, "BEGIN; SELECT ombrix_undo('roads'); ROLLBACK"),
              "error 1: table roads is not open on this connection, so its history cannot join this connection's "
              "transaction; call this outside the transaction or on a connection that has the table open");
    EXPECT_EQ(sqlite3_close(other), SQLITE_OK);
    EXPECT_EQ(run("SELECT count(*) FROM roads"), "4");
    EXPECT_EQ(history("SELECT ID FROM roadsdeletedRows; SELECT uri, name FROM ombrixOpenedTables"),
              "1 '/roads'|'roads'");
}

// A host whose own database is the history file would wait for itself: a
// table there is refused at once, with the reason; another schema works. One
// made there while HOME pointed elsewhere reads, takes no write, and drops.
TEST_F(OverlayTest, NoTableInsideTheHistoryFile)
{
    memory_module::setTable("/t", numbered(2));
    const std::string file = home + "/transactions.sqlite", elsewhere = home + "/elsewhere";
    const auto refusal = [&](const std::string& table) {
        return "error 1: table " + table + ": its database " + file +
               " is the history database, where the change logs are kept; keep overlay tables in another database";
    };
    ASSERT_EQ(mkdir(elsewhere.c_str(), 0700), 0);
    setenv("HOME", elsewhere.c_str(), 1);
    open(file);
    ASSERT_EQ(run("CREATE VIRTUAL TABLE old USING overlay('/t')"), "");
    close();
    setenv("HOME", home.c_str(), 1);
    open(file);
    EXPECT_EQ(run("CREATE VIRTUAL TABLE t USING overlay('/t')"), refusal("t"));
    EXPECT_EQ(run("SELECT count(*) FROM old; DELETE FROM old"), "2 " + refusal("old"));
    EXPECT_EQ(run("DROP TABLE old; CREATE VIRTUAL TABLE temp.t USING overlay('/t'); DELETE FROM t WHERE rowid = 1; "
                  "SELECT ombrix_undo('t'); SELECT count(*) FROM t"),
              "NULL 2");
}

// Logs and registry rows left by a process that ended without tearing its
// tables down neither show nor block: a table of that name (in any letter
// case), or with that file, clears them when it gets a log.
TEST_F(OverlayTest, LeftoversOfAnEarlierProcessAreCleared)
{
    memory_module::setTable("/roads", numbered(5));
    open();
    ASSERT_EQ(
        history("INSERT INTO ombrixOpenedTables VALUES ('/roads', 'old', 7), ('/x', 'Roads', 3), ('/g', 'gone', 2);"
                "CREATE TABLE roadsdeletedRows (ID integer PRIMARY KEY NOT NULL);"
                "INSERT INTO roadsdeletedRows VALUES (1), (2);"
                "CREATE TABLE roadsinsertedOrUpdatedRows (ID integer PRIMARY KEY NOT NULL, newValue BLOB);"
                "INSERT INTO roadsinsertedOrUpdatedRows VALUES (6, x'00000000');"
                "CREATE TABLE roadshistory(actionTag, oldRowID, newRowID, oldValue, newValue, historyID);"
                "INSERT INTO roadshistory VALUES (1, 1, NULL, NULL, NULL, 9);"
                "CREATE TABLE oldhistory(x); CREATE TABLE unrelated(x);"
                "INSERT INTO ombrixStepLabels VALUES ('ROADS', 9, 'left'), ('old', NULL, 'left');"
                "INSERT INTO ombrixCleanMarks VALUES ('old', 9, 1)"),
        "");
    EXPECT_EQ(run("CREATE VIRTUAL TABLE roads USING overlay('/roads'); DELETE FROM roads WHERE rowid = 5; SELECT "
                  "rowid FROM roads"),
              "1 2 3 4");
    EXPECT_EQ(
        history("SELECT * FROM ombrixOpenedTables; SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY "
                "name"),
        "'/g'|'gone'|2 '/roads'|'roads'|1 'ombrixCleanMarks' 'ombrixKeptFiles' 'ombrixKeptLogs' 'ombrixOpenedTables' "
        "'ombrixStepLabels' 'roadsdeletedRows' "
        "'roadshistory' 'roadsinsertedOrUpdatedRows' 'unrelated'");
    EXPECT_EQ(history("SELECT count(*) FROM ombrixStepLabels; SELECT count(*) FROM ombrixCleanMarks"), "0 0");
    EXPECT_EQ(run("SELECT ombrix_undo('roads', 5); SELECT count(*) FROM roads"), "NULL 5");
    // The process's last log ends: what no live process owns goes, a registry row alone too.
    close();
    EXPECT_EQ(history("SELECT name FROM ombrixOpenedTables"), "");
    history("DROP TABLE unrelated");
}

// A large leftover swept as the last table closes gives its pages back to the
// file system rather than leaving them free inside the history file.
TEST_F(OverlayTest, SweptLeftoversGiveTheirSpaceBack)
{
    memory_module::setTable("/roads", numbered(5));
    open();
    history("CREATE TABLE bighistory(actionTag, oldRowID, newRowID, oldValue, newValue, historyID);"
            "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 1500) "
            "INSERT INTO bighistory SELECT 1, i, NULL, zeroblob(4000), NULL, 1 FROM n");
    EXPECT_EQ(run("CREATE VIRTUAL TABLE roads USING overlay('/roads'); DELETE FROM roads WHERE rowid = 5"), "");
    close();
    EXPECT_EQ(history("SELECT count(*) FROM sqlite_master WHERE name = 'bighistory'; "
                      "SELECT freelist_count < 1024 FROM pragma_freelist_count"),
              "0 1");
}

// Events that make SQLite disconnect and reconnect a table keep its log: the
// edits still show and still undo step by step. A reconnected table takes its
// schema from the inner module afresh (here with one column more), which rows
// stored before read as NULL. DROP TABLE and closing the connection end the
// log, and a reopened database counts the inner rows again.
TEST_F(OverlayTest, OnlyDropTableAndClosingEndALog)
{
    const std::string home = std::getenv("HOME"), file = home + "/host.db";
    const std::pair<std::string, bool> events[] = {
        {"VACUUM", true},
        {"ALTER TABLE plain RENAME TO plain2", true},
        {"PRAGMA writable_schema = RESET; SELECT * FROM missing", true},
        {"another connection", true},
        {"ATTACH '" + home + "/other.db' AS other; CREATE TABLE other.x(y); DETACH other", false}};
    const memory_module::TableData wider{{"a", "b", "c"},
                                         {{sqlite3_int64(1), std::string("r1"), 1.5},
                                          {sqlite3_int64(2), std::string("r2"), 1.5},
                                          {sqlite3_int64(3), std::string("r3"), 1.5}}};
    for (const auto& [event, reconnects] : events) {
        std::remove(file.c_str());
        memory_module::setTable("/t", numbered(3));
        ASSERT_NO_FATAL_FAILURE(open(file));
        ASSERT_EQ(
            run("CREATE VIRTUAL TABLE t USING overlay('/t'); CREATE TABLE plain(x); DELETE FROM t WHERE rowid = 1;"
                "SELECT ombrix_commit('t'); UPDATE t SET a = 20 WHERE rowid = 2"),
            "NULL");
        memory_module::setTable("/t", wider);
        sqlite3* other = nullptr;
        if (event != "another connection")
            run(event);
        else if (sqlite3_open(file.c_str(), &other) == SQLITE_OK)
            ::run(other, "CREATE TABLE elsewhere(y)");
        sqlite3_close(other);
        EXPECT_EQ(run("SELECT * FROM t"), reconnects ? "20|'r2'|NULL 3|'r3'|1.5" : "20|'r2' 3|'r3'") << event;
        EXPECT_EQ(
            run("SELECT ombrix_undo('t'); SELECT rowid, a FROM t; SELECT ombrix_undo('t'); SELECT count(*) FROM t"),
            "NULL 2|2 3|3 NULL 3")
            << event;
        close();
    }
    EXPECT_EQ(history("SELECT count(*) FROM sqlite_master WHERE name GLOB 't*'"), "0");
    memory_module::setTable("/t", numbered(2));
    open(file);
    EXPECT_EQ(run("SELECT count(*) FROM t; SELECT ombrix_undo('t'); INSERT INTO t(a) VALUES (9); SELECT rowid FROM t "
                  "WHERE a = 9"),
              "2 NULL 3");
    // ALTER TABLE ... RENAME moves the log with the table, and DROP TABLE ends
    // it; both change the log at once, so neither runs inside a transaction.
    // A statement prepared before keeps the table under its old name alive, here past the DROP.
    sqlite3_stmt* held = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT * FROM t", -1, &held, nullptr), SQLITE_OK);
    EXPECT_EQ(run("UPDATE t SET a = 7 WHERE rowid = 1; ALTER TABLE t RENAME TO u; SELECT ombrix_undo('t')"),
              "error 1: No such table ");
    EXPECT_EQ(history("SELECT name FROM ombrixOpenedTables; SELECT count(*) FROM sqlite_master WHERE name GLOB 'u*'"),
              "'u' 4");
    EXPECT_EQ(run("BEGIN; ALTER TABLE u RENAME TO v"),
              "error 1: cannot rename table u inside a transaction: its change log changes at once, outside any "
              "transaction");
    // SQLite words a failing DROP of a virtual table from its code alone.
    EXPECT_EQ(run("DROP TABLE u"), "error 1: SQL logic error");
    EXPECT_EQ(
        run("ROLLBACK; SELECT a FROM u WHERE rowid = 1; SELECT ombrix_undo('u'); SELECT a FROM u WHERE rowid = 1"),
        "7 NULL 1");
    EXPECT_EQ(run("DROP TABLE u; SELECT ombrix_undo('u')"), "error 1: No such table ");
    sqlite3_finalize(held);
    EXPECT_EQ(run("CREATE VIRTUAL TABLE t USING overlay('/t'); SELECT count(*) FROM t"), "2");
    EXPECT_EQ(history("SELECT count(*) FROM sqlite_master WHERE name GLOB 't*'"), "0");
    // Here while the table is open again under its new name.
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT * FROM t", -1, &held, nullptr), SQLITE_OK);
    EXPECT_EQ(run("UPDATE t SET a = 5 WHERE rowid = 1; ALTER TABLE t RENAME TO w; SELECT count(*) FROM w"), "2");
    sqlite3_finalize(held);
    EXPECT_EQ(run("BEGIN; SELECT ombrix_undo('w'); COMMIT; SELECT a FROM w WHERE rowid = 1"), "NULL 1");
    // Here past a schema change, which leaves the held table connected beside the one DROP TABLE connects
    // and destroys: the name and its file are free at once, and the held table brings nothing back.
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT b FROM w", -1, &held, nullptr), SQLITE_OK);
    EXPECT_EQ(run("CREATE TABLE g(x); ALTER TABLE g RENAME TO h; DROP TABLE w; SELECT count(*) FROM ombrix_tables; "
                  "SELECT ombrix_keep('w')"),
              "0 error 1: No such table ");
    memory_module::setTable("/w", numbered(1));
    EXPECT_EQ(run("CREATE VIRTUAL TABLE w USING overlay('/w'); UPDATE w SET b = 'n'"), "");
    EXPECT_EQ(sqlite3_step(held), SQLITE_ROW);
    sqlite3_finalize(held);
    EXPECT_EQ(run("SELECT name, file_path, modified FROM ombrix_tables; SELECT b FROM w"), "'w'|'/w'|1 'n'");
    // DROP TABLE on another connection ends the log they share, and frees the name there only.
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(":memory:", &other), SQLITE_OK);
    ASSERT_EQ(wrapVirtualTableWithTransactions(other, nullptr, memory_module::module(), "overlay"), SQLITE_OK);
    EXPECT_EQ(::run(other, "CREATE VIRTUAL TABLE w USING overlay('/w'); DROP TABLE w"), "");
    EXPECT_EQ(sqlite3_close(other), SQLITE_OK);
    EXPECT_EQ(run("SELECT name, modified FROM ombrix_tables; UPDATE w SET b = 'm'; SELECT name, modified FROM "
                  "ombrix_tables; SELECT ombrix_undo('w'); SELECT b FROM w"),
              "'w'|0 'w'|1 NULL 'r1'");
}

// Threads that run whichever statement comes next, of any connection, as libuv's pool runs node-sqlite3's.
class Pool {
public:
    explicit Pool(int size)
    {
        for (int k = 0; k < size; ++k)
            threads.emplace_back([this, k] { work(size_t(k)); });
    }
    ~Pool()
    {
        post(-1, nullptr, "");
        for (std::thread& thread : threads)
            thread.join();
    }
    // Runs sql on db on the thread numbered thread (all of them with -1 and no db: they end).
    std::future<std::string> post(int thread, sqlite3* db, const std::string& sql)
    {
        auto job = std::make_shared<std::packaged_task<std::string()>>([db, sql] { return ::run(db, sql); });
        const std::lock_guard<std::mutex> held(mutex);
        for (size_t k = 0; k < threads.size(); ++k)
            if (thread < 0 || size_t(thread) == k)
                jobs[k].push_back(db ? job : nullptr);
        changed.notify_all();
        return job->get_future();
    }

private:
    void work(size_t k)
    {
        for (;;) {
            std::unique_lock<std::mutex> held(mutex);
            changed.wait(held, [&] { return !jobs[k].empty(); });
            const auto job = jobs[k].front();
            jobs[k].pop_front();
            held.unlock();
            if (!job)
                return;
            (*job)();
        }
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::shared_ptr<std::packaged_task<std::string()>>> jobs[2];
    std::vector<std::thread> threads;
};

// The history transaction is its connection's, whichever thread runs its statements: A's transaction goes
// on and ends on another pool thread than the one it began on, while B's write, on the thread A began on,
// waits for it, up to B's busy timeout.
TEST_F(OverlayTest, AThreadPoolMovesConnectionsBetweenThreads)
{
    memory_module::setTable("/a", numbered(3));
    memory_module::setTable("/b", numbered(3));
    open();
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(":memory:", &other), SQLITE_OK);
    ASSERT_EQ(wrapVirtualTableWithTransactions(other, nullptr, memory_module::module(), "overlay"), SQLITE_OK);
    sqlite3_busy_timeout(db, 5000);
    sqlite3_busy_timeout(other, 5000);
    ASSERT_EQ(run("CREATE VIRTUAL TABLE a USING overlay('/a')"), "");
    ASSERT_EQ(::run(other, "CREATE VIRTUAL TABLE b USING overlay('/b')"), "");
    {
        Pool pool(2);
        for (int round = 0; round < 6; ++round) {
            const std::string value = "'v" + std::to_string(round) + "'";
            const std::string theirs = "UPDATE b SET b = " + value + " WHERE rowid = 1";
            EXPECT_EQ(pool.post(0, db, "BEGIN; UPDATE a SET b = " + value + " WHERE rowid = 1").get(), "");
            std::future<std::string> waits = pool.post(0, other, theirs);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            EXPECT_EQ(pool.post(1, db, round % 2 ? "COMMIT" : "ROLLBACK").get(), "") << round;
            EXPECT_EQ(waits.get(), "") << theirs;
        }
    }
    EXPECT_EQ(run("SELECT b FROM a WHERE rowid = 1; SELECT ombrix_undo('a', 9); SELECT b FROM a WHERE rowid = 1"),
              "'v5' NULL 'r1'");
    EXPECT_EQ(::run(other, "SELECT b FROM b WHERE rowid = 1"), "'v5'");
    // B waits as long as its own busy timeout says, here on the thread of A's open transaction too.
    ASSERT_EQ(run("BEGIN; UPDATE a SET b = 'held' WHERE rowid = 2"), "");
    sqlite3_busy_timeout(other, 200);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(::run(other, "UPDATE b SET b = 'late' WHERE rowid = 2"),
              "error 5: the history database " + home +
                  "/transactions.sqlite is in a transaction of another connection");
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));
    EXPECT_EQ(run("COMMIT"), "");
    EXPECT_EQ(sqlite3_close(other), SQLITE_OK);
}

// A read of a table that no open transaction has changed waits for no work on the history connection (here
// its lock, held by another thread as a long statement holds it), and sees what was committed to the table
// meanwhile, in the middle of a scan too; a table that another connection's open transaction changed is read
// in that transaction, its rows uncommitted, and as committed once it ends.
TEST_F(OverlayTest, ReadsWaitOnlyForTheTransactionThatChangedTheirTable)
{
    memory_module::setTable("/t", numbered(40));
    memory_module::setTable("/u", numbered(3));
    open();
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(":memory:", &other), SQLITE_OK);
    ASSERT_EQ(wrapVirtualTableWithTransactions(other, nullptr, memory_module::module(), "overlay"), SQLITE_OK);
    const std::string create = "CREATE VIRTUAL TABLE t USING overlay('/t'); CREATE VIRTUAL TABLE u USING overlay('/u')";
    ASSERT_EQ(run(create + "; UPDATE t SET b = 'e' || rowid WHERE rowid % 9 = 0; INSERT INTO t(rowid, a) VALUES (50, "
                           "50)"),
              "");
    ASSERT_EQ(::run(other, create + "; BEGIN; UPDATE u SET b = 'open' WHERE rowid = 2"), "");
    SqliteDatabase& database = History::ofProcess().lock()->file().opened()->database;
    const auto whileBusy = [&database](const std::function<std::string()>& read) {
        std::promise<void> taken, freed;
        std::thread holder([&] {
            const SqliteDatabase::Lock held(database);
            taken.set_value();
            freed.get_future().wait_for(std::chrono::seconds(5));
        });
        taken.get_future().wait();
        const auto start = std::chrono::steady_clock::now();
        const std::string outcome = read();
        const bool waited = std::chrono::steady_clock::now() - start > std::chrono::seconds(2);
        freed.set_value();
        holder.join();
        return waited ? "waited: " + outcome : outcome;
    };
    const std::string reads = "SELECT group_concat(ifnull(b, a)) FROM t WHERE rowid % 9 = 0 OR a = 50; SELECT b FROM "
                              "u WHERE rowid = 2";
    for (const char* end : {"ROLLBACK", "BEGIN; UPDATE u SET b = 'kept' WHERE rowid = 2; COMMIT"}) {
        EXPECT_EQ(whileBusy([&] { return run("SELECT b FROM t WHERE rowid = 27; SELECT count(*) FROM t"); }),
                  "'e27' 41");
        EXPECT_EQ(run(reads), "'e9,e18,e27,e36,50' " + std::string(*end == 'R' ? "'open'" : "'r2'"));
        EXPECT_EQ(::run(other, end), "");
    }
    EXPECT_EQ(run(reads), "'e9,e18,e27,e36,50' 'kept'");
    sqlite3_stmt* scan = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT b FROM t WHERE rowid % 9 = 0", -1, &scan, nullptr), SQLITE_OK);
    EXPECT_EQ(whileBusy([&] { return rowsOf(scan, 1).front(); }), "e9");
    EXPECT_EQ(::run(other, "UPDATE t SET b = 'later' WHERE rowid IN (9, 36)"), "");
    EXPECT_EQ(whileBusy([&] { return ::testing::PrintToString(rowsOf(scan)); }), "{ \"e18\", \"e27\", \"later\" }");
    sqlite3_finalize(scan);
    EXPECT_EQ(sqlite3_close(other), SQLITE_OK);
}

} // namespace
