// Moving overlay tables through their history with the SQL functions.
#include "history_file.h"
#include "quillmere.h"
#include "routines.h"

#include <QFile>
#include <QSqlDatabase>

using memory_module::TableData;

namespace {

TableData fiveRows()
{
    TableData data{{"name", "n"}, {}};
    for (int i = 1; i <= 5; ++i)
        data.rows.push_back({std::string("row ") + std::to_string(i), sqlite3_int64(i)});
    return data;
}

class HistoryTest : public OverlayTest {
protected:
    void SetUp() override
    {
        OverlayTest::SetUp();
        memory_module::setTable("/t", fiveRows());
        memory_module::setTable("/u", fiveRows());
        openDatabase();
        ASSERT_EQ(quillmere_register_undoredo_functions(db), SQLITE_OK);
        ASSERT_EQ(execute("CREATE VIRTUAL TABLE t USING overlay('/t')"), SQLITE_OK);
        ASSERT_EQ(execute("CREATE VIRTUAL TABLE u USING overlay('/u')"), SQLITE_OK);
    }

    void run(const std::string& sql) { ASSERT_EQ(execute(sql), SQLITE_OK) << lastError << " in " << sql; }

    // The visible rows of t as "rowid:name".
    std::string rows(const std::string& table = "t")
    {
        std::string text;
        for (const ResultRow& row : query("SELECT rowid, name FROM " + table))
            text += (text.empty() ? "" : " ") + row[0].substr(4) + ":" + row[1].substr(row[1].find(':') + 1);
        return text;
    }

    long long position(const std::string& table = "t")
    {
        HistoryFile history;
        auto result = history.query("SELECT currentHistoryID FROM ombrixOpenedTables WHERE name = '" + table + "'");
        return result.empty() ? -100 : std::stoll(result[0][0].substr(4));
    }

    const std::string initial = "1:row 1 2:row 2 3:row 3 4:row 4 5:row 5";
};

TEST_F(HistoryTest, MessagesOfTheFunctions)
{
    std::vector<ResultRow> result;
    EXPECT_EQ(tryQuery("SELECT ombrix_undo()", result), SQLITE_ERROR);
    EXPECT_EQ(lastError, "Usage: ombrix_undo('Table_Name', steps=1)");
    EXPECT_EQ(tryQuery("SELECT ombrix_redo()", result), SQLITE_ERROR);
    EXPECT_EQ(lastError, "Usage: ombrix_undo('Table_Name', steps=1)");
    for (const char* sql : {"SELECT ombrix_undo('nothing', 2)", "SELECT ombrix_redo(NULL)",
                            "SELECT ombrix_commit(NULL)", "SELECT ombrix_commit('T')"}) {
        EXPECT_EQ(tryQuery(sql, result), SQLITE_ERROR) << sql;
        EXPECT_EQ(lastError, "No such table ") << sql;
    }
    // An open table nobody has written to has no history to move yet.
    EXPECT_EQ(query("SELECT ombrix_commit('t'), ombrix_undo('t'), ombrix_redo('t')"),
              (std::vector<ResultRow>{{"null", "null", "null"}}));
    EXPECT_EQ(tryQuery("SELECT ombrix_commit('t', 1)", result), SQLITE_ERROR);
    EXPECT_NE(lastError.find("wrong number of arguments"), std::string::npos) << lastError;

    run("DELETE FROM t WHERE rowid = 1");
    EXPECT_EQ(tryQuery("SELECT ombrix_undo('T')", result), SQLITE_ERROR);
    EXPECT_EQ(lastError, "No such table ");
    EXPECT_EQ(query("SELECT ombrix_commit('t'), ombrix_undo('t'), ombrix_redo('t')"),
              (std::vector<ResultRow>{{"null", "null", "null"}}));
}

TEST_F(HistoryTest, CommitMovesOnlyItsOwnTable)
{
    run("DELETE FROM t WHERE rowid = 1");
    run("DELETE FROM u WHERE rowid = 1");
    EXPECT_EQ(position(), 1);
    run("SELECT ombrix_commit('t')");
    run("SELECT ombrix_commit('t')");
    EXPECT_EQ(position("t"), 3);
    EXPECT_EQ(position("u"), 1);
}

TEST_F(HistoryTest, StepCountsFollowSqlConversions)
{
    run("DELETE FROM t WHERE rowid = 1");
    for (int i = 2; i <= 5; ++i) {
        run("SELECT ombrix_commit('t')");
        run("DELETE FROM t WHERE rowid = " + std::to_string(i));
    }
    EXPECT_EQ(rows(), "");
    for (const char* none : {"SELECT ombrix_undo('t', 0)", "SELECT ombrix_undo('t', -2)",
                             "SELECT ombrix_undo('t', NULL)", "SELECT ombrix_redo('t', -1)"})
        run(none);
    EXPECT_EQ(position(), 5);
    run("SELECT ombrix_undo('t', '3')");
    EXPECT_EQ(rows(), "3:row 3 4:row 4 5:row 5");
    run("SELECT ombrix_undo('t', 1.9, 'ignored')");
    EXPECT_EQ(rows(), "2:row 2 3:row 3 4:row 4 5:row 5");
    run("SELECT ombrix_redo('t', 2, 'x', 'y')");
    EXPECT_EQ(rows(), "4:row 4 5:row 5");
}

TEST_F(HistoryTest, EditEditUndoRedo)
{
    run("UPDATE t SET name = 'a' WHERE rowid = 1");
    run("DELETE FROM t WHERE rowid = 2");
    const std::string edited = "1:a 3:row 3 4:row 4 5:row 5";
    EXPECT_EQ(rows(), edited);
    run("SELECT ombrix_undo('t')");
    EXPECT_EQ(rows(), initial);
    run("SELECT ombrix_redo('t')");
    EXPECT_EQ(rows(), edited);
    // The redone step is closed: a new edit is undone on its own.
    run("DELETE FROM t WHERE rowid = 3");
    run("SELECT ombrix_undo('t')");
    EXPECT_EQ(rows(), edited);
}

TEST_F(HistoryTest, CommitBeforeEachAction)
{
    run("SELECT ombrix_commit('t')"); // before the first write: nothing to close yet
    run("UPDATE t SET name = 'a' WHERE rowid = 1");
    run("SELECT ombrix_commit('t')");
    run("UPDATE t SET name = 'b' WHERE rowid = 2");
    run("SELECT ombrix_undo('t')");
    EXPECT_EQ(rows(), "1:a 2:row 2 3:row 3 4:row 4 5:row 5");
    run("SELECT ombrix_undo('t')");
    EXPECT_EQ(rows(), initial);
    run("SELECT ombrix_redo('t')");
    EXPECT_EQ(rows(), "1:a 2:row 2 3:row 3 4:row 4 5:row 5");
    run("SELECT ombrix_redo('t')");
    EXPECT_EQ(rows(), "1:a 2:b 3:row 3 4:row 4 5:row 5");
    run("SELECT ombrix_redo('t')");
    EXPECT_EQ(rows(), "1:a 2:b 3:row 3 4:row 4 5:row 5");
}

TEST_F(HistoryTest, CommitAfterEachAction)
{
    run("UPDATE t SET name = 'a' WHERE rowid = 1");
    run("SELECT ombrix_commit('t')");
    run("UPDATE t SET name = 'b' WHERE rowid = 2");
    run("SELECT ombrix_commit('t')");
    run("SELECT ombrix_undo('t')");
    EXPECT_EQ(rows(), "1:a 2:row 2 3:row 3 4:row 4 5:row 5");
    run("SELECT ombrix_redo('t')");
    EXPECT_EQ(rows(), "1:a 2:b 3:row 3 4:row 4 5:row 5");
    run("SELECT ombrix_undo('t')");
    EXPECT_EQ(rows(), "1:a 2:row 2 3:row 3 4:row 4 5:row 5");
    run("SELECT ombrix_undo('t', 5)");
    EXPECT_EQ(rows(), initial);
    run("SELECT ombrix_redo('t', 5)");
    EXPECT_EQ(rows(), "1:a 2:b 3:row 3 4:row 4 5:row 5");
}

TEST_F(HistoryTest, NewWorkAfterAnUndoDiscardsTheRedo)
{
    run("UPDATE t SET name = 'a' WHERE rowid = 1");
    run("SELECT ombrix_commit('t')");
    run("UPDATE t SET name = 'b' WHERE rowid = 2");
    run("SELECT ombrix_undo('t')");
    run("UPDATE t SET name = 'c' WHERE rowid = 3");
    run("SELECT ombrix_redo('t')");
    EXPECT_EQ(rows(), "1:a 2:row 2 3:c 4:row 4 5:row 5");
    run("SELECT ombrix_undo('t')");
    EXPECT_EQ(rows(), "1:a 2:row 2 3:row 3 4:row 4 5:row 5");
    run("SELECT ombrix_undo('t')");
    EXPECT_EQ(rows(), initial);
    // A commit after an undo discards the redo as well.
    run("SELECT ombrix_commit('t')");
    run("SELECT ombrix_redo('t')");
    EXPECT_EQ(rows(), initial);
}

TEST_F(HistoryTest, UndoingTheDeletionOfAnInsertedRowBringsItsValuesBack)
{
    run("INSERT INTO t VALUES ('new', x'0102')");
    run("SELECT ombrix_commit('t')");
    run("DELETE FROM t WHERE rowid = 6");
    run("SELECT ombrix_undo('t')");
    EXPECT_EQ(query("SELECT name, n FROM t WHERE rowid = 6"), (std::vector<ResultRow>{{"text:new", "blob:0102"}}));
    run("SELECT ombrix_undo('t')");
    EXPECT_EQ(rows(), initial);
    run("SELECT ombrix_redo('t', 2)");
    EXPECT_EQ(rows(), "1:row 1 2:row 2 3:row 3 4:row 4 5:row 5");
}

TEST_F(HistoryTest, UndoingTheDeletionOfAnUpdatedRowRestoresTheUpdate)
{
    run("UPDATE t SET name = 'edited' WHERE rowid = 2");
    run("SELECT ombrix_commit('t')");
    run("DELETE FROM t WHERE rowid = 2");
    run("SELECT ombrix_undo('t')");
    EXPECT_EQ(rows(), "1:row 1 2:edited 3:row 3 4:row 4 5:row 5");
    run("SELECT ombrix_undo('t')");
    EXPECT_EQ(rows(), initial);
}

TEST_F(HistoryTest, MovedRowRoundTrips)
{
    run("UPDATE t SET rowid = 40, name = 'moved' WHERE rowid = 4");
    const std::string moved = "1:row 1 2:row 2 3:row 3 5:row 5 40:moved";
    EXPECT_EQ(rows(), moved);
    run("SELECT ombrix_undo('t')");
    EXPECT_EQ(rows(), initial);
    run("SELECT ombrix_redo('t')");
    EXPECT_EQ(rows(), moved);
    HistoryFile history;
    EXPECT_EQ(history.query("SELECT count(*) FROM thistory"), (std::vector<ResultRow>{{"int:2"}}));
    run("UPDATE t SET rowid = 41 WHERE rowid = 40");
    run("SELECT ombrix_undo('t')");
    EXPECT_EQ(rows(), moved);
}

TEST_F(HistoryTest, StepWithAnInsertionAndAnUpdateOfAnotherRowIsRevertedWhole)
{
    run("INSERT INTO t VALUES ('six', 6)");
    run("UPDATE t SET name = 'three' WHERE rowid = 3");
    run("UPDATE t SET name = 'SIX' WHERE rowid = 6");
    run("SELECT ombrix_undo('t')");
    EXPECT_EQ(rows(), initial);
    EXPECT_EQ(position(), 0);
    run("SELECT ombrix_redo('t')");
    EXPECT_EQ(rows(), "1:row 1 2:row 2 3:three 4:row 4 5:row 5 6:SIX");
}

TEST_F(HistoryTest, RowidsBeyondThirtyTwoBits)
{
    run("INSERT INTO t(rowid, name) VALUES (4294967301, 'far')");
    run("UPDATE t SET rowid = 9223372036854775807 WHERE rowid = 4294967301");
    EXPECT_EQ(query("SELECT rowid FROM t WHERE name = 'far'"),
              (std::vector<ResultRow>{{"int:9223372036854775807"}}));
    run("SELECT ombrix_undo('t')");
    EXPECT_EQ(rows(), initial);
    run("SELECT ombrix_redo('t')");
    EXPECT_EQ(query("SELECT rowid FROM t WHERE name = 'far'"),
              (std::vector<ResultRow>{{"int:9223372036854775807"}}));
}

TEST_F(HistoryTest, HugeStepCountsStopAtTheEndsOfTheHistory)
{
    run("DELETE FROM t WHERE rowid = 1");
    run("SELECT ombrix_undo('t', 2000000000)");
    EXPECT_EQ(rows(), initial);
    EXPECT_EQ(position(), 1 - 2000000000);
    run("SELECT ombrix_undo('t', 2000000000)");
    EXPECT_EQ(position(), -2147483647 - 1);
    run("SELECT ombrix_redo('t', 2147483647)");
    EXPECT_EQ(rows(), "2:row 2 3:row 3 4:row 4 5:row 5");
    EXPECT_EQ(position(), 2147483647);
    run("SELECT ombrix_commit('t')");
    EXPECT_EQ(position(), 2147483647);
    // 2^32 + 1 steps is one step, as a 32-bit count.
    run("SELECT ombrix_undo('t', 4294967297)");
    EXPECT_EQ(rows(), initial);
}

TEST_F(HistoryTest, RegistrationNeedsTheRoutinesPointer)
{
    const sqlite3_api_routines* saved = sqlite3_api;
    sqlite3_api = nullptr;
    EXPECT_EQ(quillmere_register_undoredo_functions(db), SQLITE_MISUSE);
    sqlite3_api = saved;
}

} // namespace

namespace {

// The history database cannot be opened: nothing is registered, writes fail
// with a message, and both work once it can be opened. Needs a process in
// which the store was never opened, which is how CTest runs each test.
// HOME naming a file, and HOME where nobody may create files (even root).
class HistoryStoreTest : public testing::TestWithParam<const char*> {};

TEST_P(HistoryStoreTest, UnopenableStoreFailsCleanlyAndIsRetried)
{
    const QByteArray home = qgetenv("HOME");
    if (QFile::exists(QString::fromLocal8Bit(home) + QStringLiteral("/transactions.sqlite")))
        GTEST_SKIP() << "the history store is already open in this process";
    QByteArray blocked = GetParam();
    if (blocked.isEmpty()) {
        blocked = home + "/a-file";
        QFile(QString::fromLocal8Bit(blocked)).open(QIODevice::WriteOnly);
    }
    qputenv("HOME", blocked);

    memory_module::setTable("/t", fiveRows());
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
    ASSERT_EQ(wrapVirtualTableWithTransactions(db, hostRoutines(), memory_module::module(), "overlay"), SQLITE_OK);
    EXPECT_EQ(quillmere_register_undoredo_functions(db), SQLITE_INTERNAL);
    EXPECT_EQ(sqlite3_exec(db, "SELECT ombrix_commit('t')", nullptr, nullptr, nullptr), SQLITE_ERROR);
    EXPECT_STREQ(sqlite3_errmsg(db), "no such function: ombrix_commit");
    ASSERT_EQ(sqlite3_exec(db, "CREATE VIRTUAL TABLE t USING overlay('/t')", nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, "DELETE FROM t WHERE rowid = 1", nullptr, nullptr, nullptr), SQLITE_INTERNAL);
    EXPECT_NE(std::string(sqlite3_errmsg(db)).find("open"), std::string::npos) << sqlite3_errmsg(db);

    qputenv("HOME", home);
    EXPECT_EQ(quillmere_register_undoredo_functions(db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, "DELETE FROM t WHERE rowid = 1", nullptr, nullptr, nullptr), SQLITE_OK)
        << sqlite3_errmsg(db);
    EXPECT_EQ(sqlite3_exec(db, "SELECT ombrix_undo('t')", nullptr, nullptr, nullptr), SQLITE_OK);
    // The failed attempt kept its connection name; the store took the next one.
    EXPECT_TRUE(QSqlDatabase::connectionNames().contains(QStringLiteral("transactions_1")));
    sqlite3_close(db);
}

INSTANTIATE_TEST_SUITE_P(UnusableHome, HistoryStoreTest, testing::Values("", "/proc"));

} // namespace
