// Host events that make SQLite disconnect and reconnect virtual tables: only
// DROP TABLE and closing the connection end a change log.
#include "history_file.h"
#include "quillmere.h"

#include <QTemporaryDir>

using memory_module::TableData;

namespace {

class HostEventsTest : public OverlayTest {
protected:
    void SetUp() override
    {
        OverlayTest::SetUp();
        memory_module::setTable("/t", TableData{{"a"}, {{sqlite3_int64(1)}, {sqlite3_int64(2)}, {sqlite3_int64(3)}}});
        openDatabase(file);
        ASSERT_EQ(quillmere_register_undoredo_functions(db), SQLITE_OK);
        ASSERT_EQ(execute("CREATE VIRTUAL TABLE t USING overlay('/t')"), SQLITE_OK);
        ASSERT_EQ(execute("CREATE TABLE plain(x)"), SQLITE_OK);
        ASSERT_EQ(execute("DELETE FROM t WHERE rowid = 1"), SQLITE_OK);
        ASSERT_EQ(execute("SELECT ombrix_commit('t')"), SQLITE_OK);
        ASSERT_EQ(execute("UPDATE t SET a = 20 WHERE rowid = 2"), SQLITE_OK);
    }

    // The edits are still shown, and their history still undoes step by step.
    void expectLogKept()
    {
        EXPECT_EQ(query("SELECT rowid, a FROM t"), (std::vector<ResultRow>{{"int:2", "int:20"}, {"int:3", "int:3"}}));
        ASSERT_EQ(execute("SELECT ombrix_undo('t')"), SQLITE_OK) << lastError;
        EXPECT_EQ(query("SELECT rowid, a FROM t"), (std::vector<ResultRow>{{"int:2", "int:2"}, {"int:3", "int:3"}}));
        ASSERT_EQ(execute("SELECT ombrix_undo('t')"), SQLITE_OK) << lastError;
        EXPECT_EQ(query("SELECT count(*) FROM t"), (std::vector<ResultRow>{{"int:3"}}));
    }

    QTemporaryDir dir;
    const std::string file = dir.filePath(QStringLiteral("host.db")).toStdString();
};

TEST_F(HostEventsTest, VacuumKeepsTheLog)
{
    ASSERT_EQ(execute("VACUUM"), SQLITE_OK);
    expectLogKept();
}

TEST_F(HostEventsTest, SchemaChangeByAnotherConnectionKeepsTheLog)
{
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "CREATE TABLE elsewhere(y)", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(other);
    expectLogKept();
}

TEST_F(HostEventsTest, AlterOfAnotherTableAndSchemaReloadKeepTheLog)
{
    ASSERT_EQ(execute("ALTER TABLE plain RENAME TO plain2"), SQLITE_OK);
    ASSERT_EQ(execute("PRAGMA writable_schema = RESET"), SQLITE_OK);
    EXPECT_NE(execute("SELECT * FROM missing"), SQLITE_OK);
    expectLogKept();
    EXPECT_GE(memory_module::calls().destroys, 1); // SQLite did reconnect t
}

TEST_F(HostEventsTest, AttachAndDetachKeepTheLog)
{
    const std::string attached = dir.filePath(QStringLiteral("other.db")).toStdString();
    ASSERT_EQ(execute("ATTACH '" + attached + "' AS other"), SQLITE_OK);
    ASSERT_EQ(execute("CREATE TABLE other.x(y)"), SQLITE_OK);
    ASSERT_EQ(execute("DETACH other"), SQLITE_OK);
    expectLogKept();
}

TEST_F(HostEventsTest, ClosingTheConnectionEndsTheLog)
{
    closeDatabase();
    HistoryFile history;
    EXPECT_EQ(history.tableNames(), (std::vector<std::string>{"ombrixOpenedTables"}));
    openDatabase(file);
    EXPECT_EQ(query("SELECT count(*) FROM t"), (std::vector<ResultRow>{{"int:3"}}));
    ASSERT_EQ(quillmere_register_undoredo_functions(db), SQLITE_OK);
    EXPECT_EQ(execute("SELECT ombrix_undo('t')"), SQLITE_OK); // open, no log: nothing to undo
    ASSERT_EQ(execute("DELETE FROM t WHERE rowid = 3"), SQLITE_OK) << lastError;
    EXPECT_EQ(query("SELECT count(*) FROM t"), (std::vector<ResultRow>{{"int:2"}}));
}

TEST_F(HostEventsTest, DropTableEndsTheLogAndANewTableStartsEmpty)
{
    ASSERT_EQ(execute("DROP TABLE t"), SQLITE_OK);
    EXPECT_EQ(execute("SELECT ombrix_undo('t')"), SQLITE_ERROR);
    EXPECT_EQ(lastError, "No such table ");
    ASSERT_EQ(execute("CREATE VIRTUAL TABLE t USING overlay('/t')"), SQLITE_OK);
    EXPECT_EQ(query("SELECT count(*) FROM t"), (std::vector<ResultRow>{{"int:3"}}));
    ASSERT_EQ(execute("DELETE FROM t WHERE rowid = 3"), SQLITE_OK) << lastError;
    HistoryFile history;
    EXPECT_EQ(history.query("SELECT count(*) FROM thistory"), (std::vector<ResultRow>{{"int:1"}}));
}

} // namespace
