// The history functions: their errors, step counts, the ends of the history,
// and a history database that cannot be opened.
#include "overlay_fixture.h"
#include "quillmere.h"
#include "routines.h"

#include <fstream>

#include <unistd.h>

namespace {

// Each call, then the rowids t shows and its position. Step counts follow
// SQLite's integer conversion as 32-bit numbers; a walk stops at the ends of
// the history, and the position stays within 32 bits.
TEST_F(OverlayTest, HistoryFunctionsAndTheEndsOfTheHistory)
{
    memory_module::setTable("/t", numbered(5));
    memory_module::setTable("/u", numbered(1));
    open();
    ASSERT_EQ(run("CREATE VIRTUAL TABLE t USING overlay('/t'); CREATE VIRTUAL TABLE u USING overlay('/u'); DELETE FROM u"), "");
    const std::string noTable = "error 1: No such table  / '1,2,3,4,5' @", deleted = "NULL|NULL|NULL|NULL / NULL @5",
                      usage = "error 1: Usage: ombrix_undo('Table_Name', steps=1) / '1,2,3,4,5' @";
    const std::pair<const char*, std::string> calls[] = {
        {"SELECT ombrix_undo()", usage},
        {"SELECT ombrix_redo()", usage},
        {"SELECT ombrix_undo('t', 2, 'x')", "NULL / '1,2,3,4,5' @"}, // an open table nobody has written to
        {"SELECT ombrix_commit('t'), ombrix_redo('t')", "NULL|NULL / '1,2,3,4,5' @"},
        {"SELECT ombrix_commit('t', 1)", "error 1: wrong number of arguments to function ombrix_commit() / '1,2,3,4,5' @"},
        {"SELECT ombrix_commit('T')", noTable},
        {"SELECT ombrix_redo(NULL, 2)", noTable},
        {"SELECT ombrix_undo('nothing')", noTable},
        {"DELETE FROM t WHERE rowid = 1; SELECT ombrix_commit('t'); DELETE FROM t WHERE rowid = 2; SELECT ombrix_commit('t');"
         "DELETE FROM t WHERE rowid = 3; SELECT ombrix_commit('t'); DELETE FROM t WHERE rowid = 4; SELECT ombrix_commit('t');"
         "DELETE FROM t WHERE rowid = 5",
         "NULL NULL NULL NULL / NULL @5"},
        {"SELECT ombrix_undo('T')", "error 1: No such table  / NULL @5"},
        {"SELECT ombrix_undo('t', 0), ombrix_undo('t', -2), ombrix_undo('t', NULL), ombrix_redo('t', -1)", deleted},
        {"SELECT ombrix_undo('t', '3')", "NULL / '3,4,5' @2"},
        {"SELECT ombrix_undo('t', 1.9)", "NULL / '2,3,4,5' @1"},
        {"SELECT ombrix_redo('t', 2)", "NULL / '4,5' @3"},
        {"SELECT ombrix_undo('t', 2000000000)", "NULL / '1,2,3,4,5' @-1999999997"},
        {"SELECT ombrix_undo('t', 2000000000)", "NULL / '1,2,3,4,5' @-2147483648"},
        {"SELECT ombrix_redo('t', 2147483647)", "NULL / NULL @2147483647"},
        {"SELECT ombrix_commit('t')", "NULL / NULL @2147483647"},
        {"SELECT ombrix_undo('t', 4294967297)", "NULL / '5' @4"},
    };
    for (const auto& [sql, outcome] : calls) {
        std::string result = run(sql) + " / ";
        result += run("SELECT group_concat(rowid, ',') FROM t") + " @";
        EXPECT_EQ(result + history("SELECT currentHistoryID FROM ombrixOpenedTables WHERE name = 't'"), outcome) << sql;
    }
    EXPECT_EQ(history("SELECT currentHistoryID FROM ombrixOpenedTables WHERE name = 'u'"), "1");
}

// Nothing is registered and writes fail with the reason; once the history
// database can be opened both work. Needs a process in which the history
// database was never opened, as CTest runs each test.
class UnopenableHistoryTest : public OverlayTest, public testing::WithParamInterface<std::string> {};

TEST_P(UnopenableHistoryTest, FailsCleanlyAndIsRetried)
{
    const std::string home = std::getenv("HOME"), file = home + "/transactions.sqlite";
    if (access(file.c_str(), F_OK) == 0)
        GTEST_SKIP() << "the history database is already open in this process";
    const bool garbage = GetParam() == "garbage";
    std::ofstream(garbage ? file : home + "/a-file") << std::string(4096, 'x');
    setenv("HOME", garbage ? home.c_str() : GetParam() == "a file" ? (home + "/a-file").c_str() : "/proc", 1);
    memory_module::setTable("/t", numbered(3));
    ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
    ASSERT_EQ(wrapVirtualTableWithTransactions(db, hostRoutines(), memory_module::module(), "overlay"), SQLITE_OK);
    EXPECT_EQ(quillmere_register_undoredo_functions(db), SQLITE_INTERNAL);
    EXPECT_EQ(run("CREATE VIRTUAL TABLE t USING overlay('/t'); DELETE FROM t WHERE rowid = 1; SELECT 1"),
              garbage ? "error 2: file is not a database Unable to execute statement"
                      : "error 2: unable to open database file Error opening database");
    EXPECT_EQ(run("SELECT count(*) FROM t; SELECT ombrix_commit('t')"), "3 error 1: no such function: ombrix_commit");
    std::ifstream left(file);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(left), {}), garbage ? std::string(4096, 'x') : "");
    std::remove(file.c_str());
    setenv("HOME", home.c_str(), 1);
    EXPECT_EQ(quillmere_register_undoredo_functions(db), SQLITE_OK);
    EXPECT_EQ(run("DELETE FROM t WHERE rowid = 1; SELECT count(*) FROM t; SELECT ombrix_undo('t'); SELECT count(*) FROM t"),
              "2 NULL 3");
}

INSTANTIATE_TEST_SUITE_P(Home, UnopenableHistoryTest, testing::Values("a file", "/proc", "garbage"));

} // namespace
