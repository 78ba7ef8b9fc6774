// The history functions: their errors, step counts, the ends of the history,
// and a history database that cannot be opened.
#include "overlay_fixture.h"
#include "quillmere.h"
#include "routines.h"

#include <filesystem>
#include <fstream>
#include <map>

#include <unistd.h>

namespace {

TEST_F(OverlayTest, HistoryFunctionsNameWhatIsWrong)
{
    memory_module::setTable("/t", numbered(5));
    open();
    const std::string noTable = "error 1: No such table ", usage = "error 1: Usage: ombrix_undo('Table_Name', steps=1)";
    const std::pair<std::string, std::string> calls[] = {
        {"SELECT ombrix_undo()", usage},
        {"SELECT ombrix_redo()", usage},
        {"SELECT ombrix_undo('t')", noTable},
        {"SELECT ombrix_redo(NULL, 2)", noTable},
        {"SELECT ombrix_commit(NULL)", noTable},
        {"SELECT ombrix_commit('t', 'a', 1)", "error 1: wrong number of arguments to function ombrix_commit()"},
        // An open table nobody has written to has no history to move.
        {"CREATE VIRTUAL TABLE t USING overlay('/t'); SELECT ombrix_commit('t'), ombrix_undo('t'), ombrix_redo('t')",
         "NULL|NULL|NULL"},
        // Names compare as SQLite compares them, ignoring the case of ASCII letters.
        {"DELETE FROM t WHERE rowid = 1; SELECT ombrix_undo('T'); SELECT count(*) FROM t", "NULL 5"},
        // A row that an undo takes away while a statement reads it reads as NULL from there on.
        {"INSERT INTO t VALUES (6, 7); SELECT a, ombrix_undo('t'), b FROM t WHERE rowid = 6", "6|NULL|NULL"},
    };
    for (const auto& [sql, outcome] : calls)
        EXPECT_EQ(run(sql), outcome) << sql;
}

// Step counts follow SQLite's integer conversion and are clamped to 32 bits.
// A walk ends at once past either end of the history; the position still
// moves by what is asked, but within a band that leaves room for new steps on
// both sides, so that undo then redo keeps an edit made there and commits
// there still make steps of their own.
TEST_F(OverlayTest, StepCountsAndTheEndsOfTheHistory)
{
    memory_module::setTable("/t", numbered(5));
    memory_module::setTable("/u", numbered(1));
    open();
    ASSERT_EQ(run("CREATE VIRTUAL TABLE t USING overlay('/t'); CREATE VIRTUAL TABLE u USING overlay('/u');"
                  "DELETE FROM u"),
              "");
    for (int i = 1; i <= 5; ++i)
        ASSERT_EQ(run("SELECT ombrix_commit('t'); DELETE FROM t WHERE rowid = " + std::to_string(i)), "NULL");
    const std::pair<const char*, const char*> walks[] = {
        {"SELECT ombrix_undo('t', 0), ombrix_undo('t', -2), ombrix_undo('t', NULL), ombrix_redo('t', -1)", "NULL @5"},
        {"SELECT ombrix_undo('t', '3')", "'3,4,5' @2"},
        {"SELECT ombrix_undo('t', 1.9, 'ignored')", "'2,3,4,5' @1"},
        {"SELECT ombrix_redo('t', 2, 'x', 'y')", "'4,5' @3"},
        {"SELECT ombrix_undo('t', 2000000000)", "'1,2,3,4,5' @-1073741824"},
        {"SELECT ombrix_undo('t', 2000000000)", "'1,2,3,4,5' @-1073741824"},
        {"DELETE FROM t WHERE rowid = 3; SELECT ombrix_undo('t'); SELECT ombrix_redo('t')", "'1,2,4,5' @-1073741823"},
        {"SELECT ombrix_redo('t', 2147483647)", "'1,2,4,5' @1073741824"},
        {"SELECT ombrix_redo('t', 2147483647)", "'1,2,4,5' @1073741824"},
        {"DELETE FROM t WHERE rowid = 1; SELECT ombrix_commit('t'); DELETE FROM t WHERE rowid = 2; "
         "SELECT ombrix_undo('t')",
         "'2,4,5' @1073741824"},
        {"SELECT ombrix_undo('t', 4294967297)", "'1,2,3,4,5' @-1073741825"},
        {"SELECT ombrix_redo('t', 9223372036854775807)", "'4,5' @1073741826"},
    };
    for (const auto& [sql, state] : walks) {
        const std::string rows = run(std::string(sql) + "; SELECT group_concat(rowid, ',') FROM t");
        EXPECT_EQ(rows.substr(rows.rfind(' ') + 1) + " @" +
                      history("SELECT currentHistoryID FROM ombrixOpenedTables WHERE name = 't'"),
                  state)
            << sql << ": " << rows;
    }
    EXPECT_EQ(history("SELECT currentHistoryID FROM ombrixOpenedTables WHERE name = 'u'"), "1");
}

// The history views on a table's way: before its log (a label given then
// names the first step), through labelled steps, the clean mark, undo and redo,
// in views and triggers of a schema that trusts nothing, and in the history
// file's additions, which follow the table through RENAME and DROP.
TEST_F(OverlayTest, HistoryViewsFollowATable)
{
    memory_module::setTable("/t", numbered(5));
    memory_module::setTable("/u", numbered(1));
    open();
    const std::string tables = "SELECT name, file_path, position, undo_steps, redo_steps, modified, clean FROM "
                               "ombrix_tables; ",
                      steps = "SELECT step, state, label FROM ombrix_steps('t')";
    const std::pair<std::string, std::string> calls[] = {
        {"CREATE VIRTUAL TABLE t USING overlay('/t'); CREATE VIRTUAL TABLE \"U\" USING overlay('/u'); " + tables,
         "'U'|'/u'|NULL|0|0|0|1 't'|'/t'|NULL|0|0|0|1"},
        {"SELECT ombrix_label('T', 'Move'); UPDATE t SET rowid = 9 WHERE rowid = 2; DELETE FROM t WHERE rowid = 3; " +
             steps,
         "NULL 1|'open'|'Move'"},
        // Closing the open step names it; with no step open the label names nothing.
        {"SELECT ombrix_mark_clean('t'), ombrix_commit('t', 'Moved'), ombrix_commit('t', 'nothing'); " + tables + steps,
         "NULL|NULL|NULL 'U'|'/u'|NULL|0|0|0|1 't'|'/t'|3|1|0|1|1 1|'applied'|'Moved'"},
        {"SELECT ombrix_label('t', 'Insert'); INSERT INTO t VALUES (6, 'r6'); SELECT clean FROM ombrix_tables "
         "WHERE name = 't'; " +
             steps,
         "NULL 0 1|'applied'|'Moved' 3|'open'|'Insert'"},
        {"SELECT ombrix_undo('t'); SELECT clean, undo_steps, redo_steps FROM ombrix_tables WHERE name = 't'; " + steps,
         "NULL 1|1|1 1|'applied'|'Moved' 3|'undone'|'Insert'"},
        {"SELECT ombrix_undo('t'); SELECT clean FROM ombrix_tables WHERE name = 't'; SELECT ombrix_redo('t'); SELECT "
         "clean FROM ombrix_tables WHERE name = 't'",
         "NULL 0 NULL 1"},
        // New work discards the undone step and its label; NULL removes a label.
        {"UPDATE t SET b = 'x' WHERE rowid = 1; SELECT ombrix_label('t', 'Edit'); " + steps +
             "; SELECT ombrix_label('t', NULL); " + steps,
         "NULL 1|'applied'|'Moved' 2|'open'|'Edit' NULL 1|'applied'|'Moved' 2|'open'|NULL"},
        {"SELECT c.rowid, c.original_rowid, c.change, t.b FROM t JOIN ombrix_changes('t') AS c ON t.rowid = "
         "c.rowid; SELECT * FROM ombrix_changes('t') WHERE rowid IS NULL",
         "1|1|'update'|'x' 9|2|'update'|'r2' NULL|3|'delete'|'[3,\"r3\"]'|NULL"},
        {"SELECT * FROM ombrix_steps('nope')", "error 1: No such table "},
        {"SELECT * FROM ombrix_changes(NULL)", "error 1: No such table "},
        {"SELECT * FROM ombrix_changes('t''); DROP TABLE t; --')", "error 1: No such table "},
        {"SELECT * FROM ombrix_changes", "error 1: Usage: SELECT * FROM ombrix_changes('Table_Name')"},
        {"PRAGMA trusted_schema = OFF; CREATE TABLE x(a); CREATE TABLE seen(n); CREATE TRIGGER x_seen AFTER INSERT ON "
         "x BEGIN INSERT INTO seen SELECT count(*) FROM ombrix_steps('t'); END; INSERT INTO x VALUES (1); CREATE VIEW "
         "v AS SELECT count(*) FROM ombrix_changes('t'); SELECT n FROM seen; SELECT * FROM v",
         "2 3"},
        {"CREATE VIEW w AS SELECT ombrix_mark_clean('t'); SELECT * FROM w",
         "error 1: unsafe use of ombrix_mark_clean()"},
        {"ALTER TABLE t RENAME TO r; SELECT label FROM ombrix_steps('r')", "'Moved' NULL"},
        // A listing shows the log as its scan found it, not the rows its own statement adds.
        {"INSERT INTO r(a, b) SELECT rowid, change FROM ombrix_changes('r') LIMIT 50; SELECT count(*) FROM "
         "ombrix_changes('r'); SELECT a, b FROM r WHERE rowid > 5",
         "6 1|'update' 9|'update' NULL|'delete' 2|'r2'"},
    };
    for (const auto& [sql, outcome] : calls)
        EXPECT_EQ(run(sql), outcome) << sql;
    // A listing holds no read transaction past its end: another connection checkpoints the whole file.
    EXPECT_EQ(run("SELECT count(new_values) FROM ombrix_changes('r')"), "5");
    EXPECT_EQ(history("PRAGMA wal_checkpoint(TRUNCATE)"), "0|0|0");
    EXPECT_EQ(history("SELECT name, historyID, label FROM ombrixStepLabels; SELECT * FROM ombrixCleanMarks"),
              "'r'|1|'Moved' 'r'|1|3");
    // A join on rowid lists the changes and looks each row up in r; a rowid
    // given, as SQLite compares it with an integer, is looked up in the log.
    const auto loops = [&](const std::string& sql) {
        std::string plan = run("EXPLAIN QUERY PLAN " + sql), loops;
        for (size_t at = plan.find("SCAN "); at != std::string::npos; at = plan.find("SCAN ", at + 1))
            loops += plan.substr(at + 5, plan.find(':', at) - at - 5) + ";";
        return loops;
    };
    const std::string join = "SELECT c.rowid, r.b FROM r JOIN ombrix_changes('r') c ON r.rowid = c.rowid";
    EXPECT_EQ(loops(join), "c VIRTUAL TABLE INDEX 0;r VIRTUAL TABLE INDEX 1;");
    EXPECT_EQ(loops("SELECT * FROM r CROSS JOIN ombrix_changes('r') c ON c.rowid = r.rowid"),
              "r VIRTUAL TABLE INDEX 0;c VIRTUAL TABLE INDEX 1;");
    EXPECT_EQ(
        run(join +
            " WHERE c.rowid > 5; SELECT count(*) FROM r CROSS JOIN ombrix_changes('r') c ON c.rowid = "
            "r.rowid; SELECT change FROM ombrix_changes('r') WHERE rowid IN ('9', 9.5, 3, 2); SELECT count(*) FROM "
            "ombrix_tables WHERE rowid = 1"),
        "6|'update' 7|'update' 8|'delete' 9|'r2' 5 'update' 1");
    // The schema changes above made SQLite disconnect U, until a statement uses it again.
    EXPECT_EQ(run("DROP TABLE r; SELECT name FROM ombrix_tables; SELECT count(*) FROM \"U\"; SELECT name FROM "
                  "ombrix_tables"),
              "1 'U'");
    EXPECT_EQ(history("SELECT count(*) FROM ombrixStepLabels; SELECT count(*) FROM ombrixCleanMarks"), "0 0");
}

// Writes and history calls fail with SQLite's code and a message that names
// the reason; reads work, and nothing is written anywhere else. Once the
// history database can be opened both work.
class UnopenableHistoryTest : public OverlayTest, public testing::WithParamInterface<std::string> {};

TEST_P(UnopenableHistoryTest, FailsCleanlyAndIsRetried)
{
    const std::string file = home + "/transactions.sqlite";
    std::string blocked = GetParam();
    if (blocked == "a file")
        std::ofstream(blocked = home + "/a-file") << "x";
    if (blocked == "garbage")
        std::ofstream(file) << std::string(4096, 'x'), blocked = home;
    if (blocked == "unset")
        unsetenv("HOME");
    else
        setenv("HOME", blocked.c_str(), 1);
    const std::map<std::string, std::string> reasons = {
        {"a file", "HOME (" + blocked + ") is not a folder"},
        {"/missing", "HOME (/missing) does not exist"},
        {"", "HOME is empty"},
        {"unset", "HOME is not set"},
        {"/proc", "/proc/transactions.sqlite: unable to open database file"}};
    const std::pair<int, std::string> expected =
        GetParam() == "garbage" ? std::make_pair(SQLITE_NOTADB, "error 26: file is not a database")
                                : std::make_pair(SQLITE_CANTOPEN, "error 14: cannot open the history database" +
                                                                      std::string(GetParam() == "/proc" ? " " : ": ") +
                                                                      reasons.at(GetParam()));
    memory_module::setTable("/t", numbered(3));
    ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
    ASSERT_EQ(wrapVirtualTableWithTransactions(db, hostRoutines(), memory_module::module(), "overlay"), SQLITE_OK);
    EXPECT_EQ(quillmere_register_undoredo_functions(db), expected.first);
    EXPECT_EQ(run("SELECT ombrix_commit('t')"), expected.second);
    EXPECT_EQ(run("CREATE VIRTUAL TABLE t USING overlay('/t'); DELETE FROM t WHERE rowid = 1"), expected.second);
    EXPECT_EQ(run("SELECT count(*) FROM t; SELECT ombrix_undo('t')"), "3 " + expected.second);
    EXPECT_FALSE(std::filesystem::exists("/transactions.sqlite"));
    if (blocked == home) {
        std::ifstream garbage(file);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(garbage), {}), std::string(4096, 'x'));
        std::remove(file.c_str());
    }
    setenv("HOME", home.c_str(), 1);
    EXPECT_EQ(quillmere_register_undoredo_functions(db), SQLITE_OK);
    EXPECT_EQ(run("DELETE FROM t WHERE rowid = 1; SELECT count(*) FROM t; SELECT ombrix_undo('t'); SELECT count(*) "
                  "FROM t"),
              "2 NULL 3");
}

INSTANTIATE_TEST_SUITE_P(Home, UnopenableHistoryTest,
                         testing::Values("a file", "/proc", "garbage", "unset", "", "/missing"));

} // namespace
