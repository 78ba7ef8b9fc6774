// Overlay tables through SQL: what the inner module is asked, how reads merge
// the log, where the log lives and when it ends, and failures on the way.
#include "overlay_fixture.h"
#include "quillmere.h"
#include "routines.h"

#include "engine.h"

#include <cstdio>

namespace {

TEST_F(OverlayTest, RegistrationAndTheInnerModuleContract)
{
    memory_module::setTable("/p/q.tab", numbered(10));
    memory_module::Faults faults[4];
    faults[0].createCode = SQLITE_CANTOPEN, faults[0].createMessage = "cannot open: 100% gone";
    faults[1].openCode = SQLITE_IOERR;
    faults[2].countingNextCode = SQLITE_CORRUPT;
    faults[3].scanNextCode = SQLITE_IOERR, faults[3].scanNextAtRowid = 4, faults[3].scanNextMessage = "gone at 4";
    for (int i = 0; i < 4; ++i) {
        memory_module::setTable("/f" + std::to_string(i), numbered(10));
        memory_module::setFaults("/f" + std::to_string(i), faults[i]);
    }
    open();
    // The first registration fills the routines pointer; later ones keep it, and
    // without it or without an inner module nothing is registered.
    const sqlite3_api_routines* before = sqlite3_api;
    sqlite3_api_routines other = *before;
    EXPECT_EQ(wrapVirtualTableWithTransactions(db, &other, memory_module::module(), "second"), SQLITE_OK);
    EXPECT_EQ(sqlite3_api, before);
    EXPECT_EQ(wrapVirtualTableWithTransactions(db, nullptr, nullptr, "third"), SQLITE_MISUSE);
    sqlite3_api = nullptr;
    EXPECT_EQ(wrapVirtualTableWithTransactions(db, nullptr, memory_module::module(), "fourth"), SQLITE_MISUSE);
    EXPECT_EQ(quillmere_register_undoredo_functions(db), SQLITE_MISUSE);
    sqlite3_api = before;
    auto& calls = memory_module::calls();
    ASSERT_EQ(run("CREATE VIRTUAL TABLE t USING overlay('/p/q.tab', 'x y', 3); DELETE FROM t WHERE rowid = 5"), "");
    EXPECT_EQ(calls.clientData, std::vector<void*>{nullptr});
    EXPECT_EQ(calls.argv[0], (std::vector<std::string>{"overlay", "main", "t", "'/p/q.tab'", "'x y'", "3"}));
    // Only rowid = ? reaches the inner module's own plan, unless the log answers
    // it; everything else is a full scan.
    const int lookup = memory_module::rowidLookupPlan;
    const std::tuple<const char*, const char*, std::vector<int>> reads[] = {
        {"SELECT rowid, b FROM t WHERE rowid = 4", "4|'r4'", {lookup}},
        {"SELECT rowid, b FROM t WHERE rowid = 5", "", {}},
        {"SELECT rowid FROM t WHERE rowid IN (2, 9) ORDER BY rowid DESC", "9 2", {lookup, lookup}},
        {"SELECT rowid FROM t WHERE rowid > 8 OR b = 'r3' ORDER BY a DESC", "10 9 3", {0}},
    };
    for (const auto& [sql, rows, plans] : reads) {
        calls.filterPlans.clear();
        EXPECT_EQ(run(sql), rows) << sql;
        EXPECT_EQ(calls.filterPlans, plans) << sql;
    }
    // Failures pass through with the inner module's code and message.
    const std::pair<const char*, const char*> failures[] = {
        {"CREATE VIRTUAL TABLE f0 USING overlay('/f0')", "error 14: cannot open: 100% gone"},
        {"CREATE VIRTUAL TABLE f1 USING overlay('/f1')", "error 10: vtable constructor failed: f1"},
        {"CREATE VIRTUAL TABLE f2 USING overlay('/f2')", "error 11: vtable constructor failed: f2"},
        {"CREATE VIRTUAL TABLE m USING overlay", "error 21: Missing filepath"},
        {"CREATE VIRTUAL TABLE f3 USING overlay('/f3'); SELECT rowid FROM f3", "1 2 3 4 error 10: gone at 4"},
        {"DROP TABLE t; SELECT name FROM sqlite_master", "'f3'"},
    };
    for (const auto& [sql, outcome] : failures)
        EXPECT_EQ(run(sql), outcome) << sql;
    close();
    // Every inner table made is released and every cursor closed; the failed
    // xCreate made no table and the failed xOpen no cursor.
    EXPECT_EQ(calls.destroys, calls.creates - 1);
    EXPECT_EQ(calls.closes, calls.opens - 1);
}

// The first write through a table makes its log and registry row in the history
// file, in WAL mode; a scan under way goes on into the rows it stores. DROP
// TABLE and closing the connection remove the log, whatever the table's name,
// and leave the other tables' logs working.
TEST_F(OverlayTest, LogTablesComeAndGoWithTheirTable)
{
    memory_module::setTable("/rivers", numbered(3));
    memory_module::setTable("/crafted", numbered(3));
    open();
    sqlite3_stmt* scan = nullptr;
    ASSERT_EQ(run("CREATE VIRTUAL TABLE rivers USING overlay('/rivers')"), "");
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT rowid FROM rivers", -1, &scan, nullptr), SQLITE_OK);
    std::string rows;
    while (sqlite3_step(scan) == SQLITE_ROW) {
        rows += std::to_string(sqlite3_column_int64(scan, 0)) + " ";
        rows += rows == "1 " ? run("DELETE FROM rivers WHERE rowid = 1; INSERT INTO rivers(a) VALUES (4)") : "";
    }
    sqlite3_finalize(scan);
    EXPECT_EQ(rows, "1 2 3 4 ");
    EXPECT_EQ(history("PRAGMA journal_mode; SELECT * FROM ombrixOpenedTables"), "'wal' '/rivers'|'rivers'|1");
    const std::string count = "SELECT count(*) FROM sqlite_master WHERE type = 'table'";
    for (const std::string table : {"\"v(a)/*\"", "\"ombrixOpenedTables--\"", "\"my roads\"", "\"say \"\"hi\"\"\""}) {
        EXPECT_EQ(run("CREATE VIRTUAL TABLE " + table + " USING overlay('/crafted'); UPDATE " + table +
                      " SET b = 'x' WHERE rowid = 2; DELETE FROM " + table + " WHERE rowid = 1; SELECT * FROM " + table),
                  "2|'x' 3|'r3'");
        EXPECT_EQ(history(count), "7") << table;
        EXPECT_EQ(run("DROP TABLE " + table), "");
        EXPECT_EQ(history(count), "4") << table;
    }
    EXPECT_EQ(run("DELETE FROM rivers WHERE rowid = 2; SELECT rowid FROM rivers"), "3 4");
    close();
    EXPECT_EQ(history("SELECT name FROM sqlite_master WHERE type = 'table'; SELECT count(*) FROM ombrixOpenedTables"),
              "'ombrixOpenedTables' 0");
}

// A failure of the history database part-way through an operation (here a
// trigger refusing every change to one of the tables) fails the statement with
// its message and leaves the log, and what reads show, as they were.
TEST_F(OverlayTest, FailedOperationLeavesTheLogAsItWas)
{
    memory_module::setTable("/t", numbered(5));
    open();
    ASSERT_EQ(run("CREATE VIRTUAL TABLE t USING overlay('/t'); UPDATE t SET b = 'kept' WHERE rowid = 1; INSERT INTO "
                  "t(a) VALUES (6); SELECT ombrix_commit('t'); DELETE FROM t WHERE rowid = 2; SELECT ombrix_undo('t')"),
              "NULL NULL");
    auto state = [this] {
        return run("SELECT rowid, * FROM t") + " / " +
               history("SELECT * FROM tinsertedOrUpdatedRows; SELECT * FROM tdeletedRows; SELECT *, rowid FROM "
                       "thistory; SELECT * FROM ombrixOpenedTables");
    };
    const char* const statements[] = {"UPDATE t SET b = 'lost' WHERE rowid = 3", "UPDATE t SET rowid = 30 WHERE rowid = 6",
                                      "DELETE FROM t WHERE rowid = 1", "INSERT INTO t(a) VALUES (7)",
                                      "SELECT ombrix_redo('t')", "SELECT ombrix_undo('t')", "SELECT ombrix_commit('t')"};
    int failed = 0;
    for (const char* table : {"tinsertedOrUpdatedRows", "tdeletedRows", "thistory", "ombrixOpenedTables"}) {
        for (const std::string event : {"INSERT", "UPDATE", "DELETE"})
            ASSERT_EQ(history("CREATE TRIGGER refuse_" + event + " BEFORE " + event + " ON " + table +
                              " BEGIN SELECT RAISE(ABORT, 'refused'); END"),
                      "");
        for (const char* sql : statements) {
            const std::string before = state(), outcome = run(sql);
            if (outcome.empty() || outcome == "NULL")
                continue;
            ++failed;
            EXPECT_NE(outcome.find("refused"), std::string::npos) << sql << " on " << table << ": " << outcome;
            EXPECT_EQ(state(), before) << sql << " on " << table;
        }
        ASSERT_EQ(history("DROP TRIGGER refuse_INSERT; DROP TRIGGER refuse_UPDATE; DROP TRIGGER refuse_DELETE"), "");
    }
    EXPECT_GE(failed, 12);
    EXPECT_EQ(run("DELETE FROM t WHERE rowid = 1; SELECT count(*) FROM t WHERE rowid = 1"), "0");
}

TEST_F(OverlayTest, SecondLogOfANameOrOfAFileIsRefused)
{
    memory_module::setTable("/zones", numbered(5));
    memory_module::setTable("/elsewhere", numbered(5));
    open();
    ASSERT_EQ(run("CREATE VIRTUAL TABLE zones USING overlay('/zones'); DELETE FROM zones WHERE rowid = 1"), "");
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(":memory:", &other), SQLITE_OK);
    ASSERT_EQ(wrapVirtualTableWithTransactions(other, nullptr, memory_module::module(), "overlay"), SQLITE_OK);
    EXPECT_EQ(::run(other, "CREATE VIRTUAL TABLE ZONES USING overlay('/elsewhere'); DELETE FROM ZONES WHERE rowid = 5"),
              "error 2: Table ZONES already has a change log open in this process");
    const std::string copy =
        ::run(other, "CREATE VIRTUAL TABLE copy USING overlay('/zones'); DELETE FROM copy WHERE rowid = 5");
    EXPECT_EQ(copy.rfind("error 2: UNIQUE constraint failed: ombrixOpenedTables.uri", 0), 0u) << copy;
    EXPECT_EQ(sqlite3_close(other), SQLITE_OK);
    EXPECT_EQ(run("SELECT count(*) FROM zones"), "4");
    EXPECT_EQ(history("SELECT ID FROM zonesdeletedRows; SELECT uri, name FROM ombrixOpenedTables"),
              "1 '/zones'|'zones'");
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
        ASSERT_EQ(run("CREATE VIRTUAL TABLE t USING overlay('/t'); CREATE TABLE plain(x); DELETE FROM t WHERE rowid = 1;"
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
        EXPECT_EQ(run("SELECT ombrix_undo('t'); SELECT rowid, a FROM t; SELECT ombrix_undo('t'); SELECT count(*) FROM t"),
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
    EXPECT_EQ(run("DROP TABLE t; SELECT ombrix_undo('t')"), "error 1: No such table ");
    EXPECT_EQ(run("CREATE VIRTUAL TABLE t USING overlay('/t'); SELECT count(*) FROM t"), "2");
    EXPECT_EQ(history("SELECT count(*) FROM sqlite_master WHERE name GLOB 't*'"), "0");
}

} // namespace
