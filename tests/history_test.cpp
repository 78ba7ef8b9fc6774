// The history functions: their errors, step counts, the ends of the history,
// and a history database that cannot be opened.
#include "overlay_fixture.h"
#include "quillmere.h"
#include "routines.h"

#include <fstream>

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
        {"SELECT ombrix_commit('t', 1)", "error 1: wrong number of arguments to function ombrix_commit()"},
        // An open table nobody has written to has no history to move.
        {"CREATE VIRTUAL TABLE t USING overlay('/t'); SELECT ombrix_commit('t'), ombrix_undo('t'), ombrix_redo('t')",
         "NULL|NULL|NULL"},
        {"SELECT ombrix_commit('T')", noTable},
        {"DELETE FROM t WHERE rowid = 1; SELECT ombrix_undo('T')", noTable},
        {"SELECT ombrix_undo('t'); SELECT count(*) FROM t", "NULL 5"},
    };
    for (const auto& [sql, outcome] : calls)
        EXPECT_EQ(run(sql), outcome) << sql;
}

// Step counts follow SQLite's integer conversion, as 32-bit numbers; a walk
// stops at the ends of the history and the position stays within 32 bits.
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
        {"ombrix_undo('t', 0)", "NULL @5"},
        {"ombrix_undo('t', -2)", "NULL @5"},
        {"ombrix_undo('t', NULL)", "NULL @5"},
        {"ombrix_redo('t', -1)", "NULL @5"},
        {"ombrix_undo('t', '3')", "'3,4,5' @2"},
        {"ombrix_undo('t', 1.9, 'ignored')", "'2,3,4,5' @1"},
        {"ombrix_redo('t', 2, 'x', 'y')", "'4,5' @3"},
        {"ombrix_undo('t', 2000000000)", "'1,2,3,4,5' @-1999999997"},
        {"ombrix_undo('t', 2000000000)", "'1,2,3,4,5' @-2147483648"},
        {"ombrix_redo('t', 2147483647)", "NULL @2147483647"},
        {"ombrix_commit('t')", "NULL @2147483647"},
        {"ombrix_undo('t', 4294967297)", "'5' @4"},
    };
    for (const auto& [call, state] : walks) {
        const std::string rows = run(std::string("SELECT ") + call + "; SELECT group_concat(rowid, ',') FROM t");
        EXPECT_EQ(rows + " @" + history("SELECT currentHistoryID FROM ombrixOpenedTables WHERE name = 't'"),
                  std::string("NULL ") + state)
            << call;
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
    std::string blocked = GetParam();
    if (blocked == "a file")
        std::ofstream(blocked = home + "/a-file") << "x";
    if (blocked == "garbage")
        std::ofstream(file) << std::string(4096, 'x'), blocked = home;
    setenv("HOME", blocked.c_str(), 1);
    memory_module::setTable("/t", numbered(3));
    ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
    ASSERT_EQ(wrapVirtualTableWithTransactions(db, hostRoutines(), memory_module::module(), "overlay"), SQLITE_OK);
    EXPECT_EQ(quillmere_register_undoredo_functions(db), SQLITE_INTERNAL);
    EXPECT_EQ(run("SELECT ombrix_commit('t')"), "error 1: no such function: ombrix_commit");
    const std::string failed = run("CREATE VIRTUAL TABLE t USING overlay('/t'); DELETE FROM t WHERE rowid = 1");
    EXPECT_EQ(failed, GetParam() == "garbage" ? "error 2: file is not a database Unable to execute statement"
                                               : "error 2: unable to open database file Error opening database");
    EXPECT_EQ(run("SELECT count(*) FROM t"), "3");
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
                         testing::Values("a file", "/proc", "garbage"));

} // namespace
