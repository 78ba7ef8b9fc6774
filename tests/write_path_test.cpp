// Writes through overlay tables on a real history file: what the log holds,
// what reads show, and what is refused.
#include "history_file.h"
#include "overlay/callbacks.h"
#include "quillmere.h"

#include <algorithm>

using memory_module::TableData;

namespace {

TableData tenRoads()
{
    TableData data{{"name", "length"}, {}};
    for (int i = 1; i <= 10; ++i)
        data.rows.push_back({std::string("road ") + std::to_string(i), double(i)});
    return data;
}

std::vector<ResultRow> ints(std::initializer_list<long long> values)
{
    std::vector<ResultRow> rows;
    for (long long v : values)
        rows.push_back({"int:" + std::to_string(v)});
    return rows;
}

class WritePathTest : public OverlayTest {
protected:
    void SetUp() override
    {
        OverlayTest::SetUp();
        memory_module::setTable("/maps/roads.tab", tenRoads());
        openDatabase();
        ASSERT_EQ(execute("CREATE VIRTUAL TABLE roads USING probe('/maps/roads.tab')"), SQLITE_OK);
        roads = lastProbedTable();
    }

    std::vector<ResultRow> rowids(const std::string& table = "roads")
    {
        return query("SELECT rowid FROM \"" + table + "\"");
    }

    OverlayTable* roads = nullptr;
};

TEST_F(WritePathTest, FirstWriteCreatesExactlyTheLogTablesAndRegistersTheTable)
{
    ASSERT_EQ(execute("DELETE FROM roads WHERE rowid = 2"), SQLITE_OK) << lastError;
    HistoryFile history;
    EXPECT_EQ(history.tableNames(), (std::vector<std::string>{"ombrixOpenedTables", "roadsdeletedRows",
                                                              "roadshistory", "roadsinsertedOrUpdatedRows"}));
    EXPECT_EQ(history.query("SELECT sql FROM sqlite_master WHERE name LIKE 'roads%' ORDER BY name"),
              (std::vector<ResultRow>{
                  {"text:CREATE TABLE \"roadsdeletedRows\" (ID integer PRIMARY KEY NOT NULL)"},
                  {"text:CREATE TABLE \"roadshistory\"(actionTag INTEGER, oldRowID INTEGER, newRowID INTEGER, "
                   "oldValue BLOB, newValue BLOB, historyID INTEGER NOT NULL)"},
                  {"text:CREATE TABLE \"roadsinsertedOrUpdatedRows\" (ID integer PRIMARY KEY NOT NULL, "
                   "newValue BLOB NOT NULL)"}}));
    EXPECT_EQ(history.query("SELECT * FROM ombrixOpenedTables"),
              (std::vector<ResultRow>{{"text:/maps/roads.tab", "text:roads", "int:1"}}));
    EXPECT_EQ(history.query("SELECT actionTag, oldRowID, newRowID, length(oldValue), newValue, historyID "
                            "FROM roadshistory"),
              (std::vector<ResultRow>{{"int:1", "int:2", "null", "int:4", "null", "int:1"}}));
    EXPECT_EQ(history.query("PRAGMA journal_mode"), (std::vector<ResultRow>{{"text:wal"}}));
    closeDatabase();
    EXPECT_EQ(history.tableNames(), (std::vector<std::string>{"ombrixOpenedTables"}));
    EXPECT_TRUE(history.query("SELECT * FROM ombrixOpenedTables").empty());
}

TEST_F(WritePathTest, InsertsWithoutRowidTakeTheFirstFreeRowidPastTheInnerRows)
{
    ASSERT_EQ(execute("INSERT INTO roads VALUES ('new a', 1.5)"), SQLITE_OK) << lastError;
    EXPECT_EQ(sqlite3_last_insert_rowid(db), 11);
    ASSERT_EQ(execute("INSERT INTO roads VALUES ('new b', 2.5)"), SQLITE_OK);
    EXPECT_EQ(sqlite3_last_insert_rowid(db), 12);
    ASSERT_EQ(execute("DELETE FROM roads WHERE rowid = 11"), SQLITE_OK);
    ASSERT_EQ(execute("INSERT INTO roads VALUES ('again', 3.5)"), SQLITE_OK);
    EXPECT_EQ(sqlite3_last_insert_rowid(db), 11);
    EXPECT_EQ(query("SELECT rowid, name FROM roads WHERE rowid > 9"),
              (std::vector<ResultRow>{{"int:10", "text:road 10"}, {"int:11", "text:again"}, {"int:12", "text:new b"}}));
    EXPECT_EQ(roads->firstNewRowid, 11);
}

TEST_F(WritePathTest, RowidsThatAreNotFreeAreRefusedAndNothingIsRecorded)
{
    ASSERT_EQ(execute("INSERT INTO roads(rowid, name) VALUES (20, 'twenty')"), SQLITE_OK) << lastError;
    ASSERT_EQ(execute("DELETE FROM roads WHERE rowid = 4"), SQLITE_OK);
    HistoryFile history;
    const auto before = history.query("SELECT count(*) FROM roadshistory");
    const char* refused[] = {
        "INSERT INTO roads(rowid, name) VALUES (3, 'inner row')",
        "INSERT INTO roads(rowid, name) VALUES (4, 'deleted inner row')",
        "INSERT INTO roads(rowid, name) VALUES (20, 'stored row')",
        "INSERT INTO roads(rowid, name) VALUES (0, 'zero')",
        "INSERT INTO roads(rowid, name) VALUES (-5, 'negative')",
        "UPDATE roads SET rowid = 20 WHERE rowid = 5",
        "UPDATE roads SET rowid = 4 WHERE rowid = 5",
        "UPDATE roads SET rowid = 7 WHERE rowid = 20",
    };
    for (const char* sql : refused) {
        EXPECT_EQ(execute(sql), SQLITE_CONSTRAINT) << sql;
        EXPECT_EQ(lastError, "UNIQUE constraint failed: roads.rowid") << sql;
    }
    EXPECT_EQ(history.query("SELECT count(*) FROM roadshistory"), before);
    EXPECT_EQ(rowids(), ints({1, 2, 3, 5, 6, 7, 8, 9, 10, 20}));
    EXPECT_EQ(execute("UPDATE roads SET rowid = NULL WHERE rowid = 5"), SQLITE_MISMATCH);
}

TEST_F(WritePathTest, RowsCanBeEditedAgainAndDeletedAfterAnEdit)
{
    ASSERT_EQ(execute("UPDATE roads SET name = 'first' WHERE rowid = 3"), SQLITE_OK) << lastError;
    ASSERT_EQ(execute("UPDATE roads SET name = 'second' WHERE rowid = 3"), SQLITE_OK) << lastError;
    ASSERT_EQ(execute("INSERT INTO roads VALUES ('inserted', 0)"), SQLITE_OK);
    ASSERT_EQ(execute("UPDATE roads SET length = 99 WHERE rowid = 11"), SQLITE_OK) << lastError;
    EXPECT_EQ(query("SELECT name, length FROM roads WHERE rowid IN (3, 11)"),
              (std::vector<ResultRow>{{"text:second", "real:3.0"}, {"text:inserted", "int:99"}}));
    ASSERT_EQ(execute("DELETE FROM roads WHERE rowid = 3"), SQLITE_OK);
    EXPECT_EQ(query("SELECT count(*) FROM roads WHERE rowid = 3"), ints({0}));
    HistoryFile history;
    // oldValue is the row stored before each change: none, then 'first'.
    EXPECT_EQ(history.query("SELECT actionTag, oldRowID, newRowID, length(oldValue) > 4 FROM roadshistory"),
              (std::vector<ResultRow>{{"int:3", "int:3", "int:3", "int:0"},
                                      {"int:3", "int:3", "int:3", "int:1"},
                                      {"int:2", "int:11", "int:11", "int:0"},
                                      {"int:3", "int:11", "int:11", "int:1"},
                                      {"int:1", "int:3", "null", "int:1"}}));
    EXPECT_EQ(history.query("SELECT ID FROM roadsdeletedRows"), ints({3}));
}

TEST_F(WritePathTest, MovingARowRecordsItsDeletionFirstInTheSameStep)
{
    ASSERT_EQ(execute("UPDATE roads SET rowid = 20, name = 'moved' WHERE rowid = 5"), SQLITE_OK) << lastError;
    EXPECT_EQ(query("SELECT rowid, name FROM roads WHERE rowid >= 4"),
              (std::vector<ResultRow>{{"int:4", "text:road 4"}, {"int:6", "text:road 6"}, {"int:7", "text:road 7"},
                                      {"int:8", "text:road 8"}, {"int:9", "text:road 9"}, {"int:10", "text:road 10"},
                                      {"int:20", "text:moved"}}));
    HistoryFile history;
    EXPECT_EQ(history.query("SELECT actionTag, oldRowID, newRowID, historyID FROM roadshistory"),
              (std::vector<ResultRow>{{"int:1", "int:5", "null", "int:1"}, {"int:3", "int:5", "int:20", "int:1"}}));
}

TEST_F(WritePathTest, ValuesReadBackWithTheirTypes)
{
    ASSERT_EQ(execute("INSERT INTO roads VALUES (NULL, 42), (2.5, x'00ff'), ('\xC3\xA9t\xC3\xA9 \xE2\x82\xAC', ''), "
                      "(char(97, 0, 98), -9223372036854775808)"),
              SQLITE_OK)
        << lastError;
    EXPECT_EQ(query("SELECT typeof(name), typeof(length), name, length FROM roads WHERE rowid > 10"),
              (std::vector<ResultRow>{{"text:null", "text:integer", "null", "int:42"},
                                      {"text:real", "text:blob", "real:2.5", "blob:00ff"},
                                      {"text:text", "text:text", "text:\xC3\xA9t\xC3\xA9 \xE2\x82\xAC", "text:"},
                                      {"text:text", "text:integer", std::string("text:a\0b", 8),
                                       "int:-9223372036854775808"}}));
    // Updating one column keeps the NULLs of the others.
    ASSERT_EQ(execute("UPDATE roads SET length = 1 WHERE rowid = 11"), SQLITE_OK);
    EXPECT_EQ(query("SELECT typeof(name) FROM roads WHERE rowid = 11"), (std::vector<ResultRow>{{"text:null"}}));
}

TEST_F(WritePathTest, FailedWriteLeavesNoTraceInTheLog)
{
    ASSERT_EQ(execute("UPDATE roads SET name = 'kept' WHERE rowid = 1"), SQLITE_OK);
    HistoryFile history;
    ASSERT_EQ(history.execute("CREATE TRIGGER refuse BEFORE INSERT ON roadshistory "
                              "BEGIN SELECT RAISE(ABORT, 'history is full'); END"),
              SQLITE_OK);
    const auto snapshot = [&history] {
        return std::make_tuple(history.query("SELECT ID, hex(newValue) FROM roadsinsertedOrUpdatedRows"),
                               history.query("SELECT ID FROM roadsdeletedRows"),
                               history.query("SELECT count(*) FROM roadshistory"));
    };
    const auto before = snapshot();
    EXPECT_EQ(execute("UPDATE roads SET name = 'lost' WHERE rowid = 2"), SQLITE_INTERNAL);
    EXPECT_NE(lastError.find("history is full"), std::string::npos) << lastError;
    EXPECT_EQ(execute("UPDATE roads SET rowid = 30 WHERE rowid = 3"), SQLITE_INTERNAL);
    EXPECT_EQ(execute("DELETE FROM roads WHERE rowid = 1"), SQLITE_INTERNAL);
    EXPECT_EQ(execute("INSERT INTO roads VALUES ('lost', 0)"), SQLITE_INTERNAL);
    EXPECT_EQ(snapshot(), before);
    EXPECT_EQ(query("SELECT name FROM roads WHERE rowid <= 3"),
              (std::vector<ResultRow>{{"text:kept"}, {"text:road 2"}, {"text:road 3"}}));
    ASSERT_EQ(history.execute("DROP TRIGGER refuse"), SQLITE_OK);
    EXPECT_EQ(execute("DELETE FROM roads WHERE rowid = 1"), SQLITE_OK) << lastError;
}

TEST_F(WritePathTest, DroppingOneTableLeavesTheOthersWorking)
{
    memory_module::setTable("/rivers", tenRoads());
    ASSERT_EQ(execute("CREATE VIRTUAL TABLE rivers USING overlay('/rivers')"), SQLITE_OK);
    ASSERT_EQ(execute("DELETE FROM rivers WHERE rowid = 1"), SQLITE_OK);
    ASSERT_EQ(execute("DELETE FROM roads WHERE rowid = 1"), SQLITE_OK);
    ASSERT_EQ(execute("DROP TABLE roads"), SQLITE_OK);
    EXPECT_EQ(query("SELECT count(*) FROM rivers"), ints({9}));
    ASSERT_EQ(execute("DELETE FROM rivers WHERE rowid = 2"), SQLITE_OK) << lastError;
    EXPECT_EQ(query("SELECT count(*) FROM rivers"), ints({8}));
    HistoryFile history;
    EXPECT_EQ(history.tableNames(), (std::vector<std::string>{"ombrixOpenedTables", "riversdeletedRows",
                                                              "rivershistory", "riversinsertedOrUpdatedRows"}));
}

TEST_F(WritePathTest, SecondOwnerOfALiveTableNameIsRefusedWithoutTouchingTheLog)
{
    ASSERT_EQ(execute("DELETE FROM roads WHERE rowid = 1"), SQLITE_OK);
    memory_module::setTable("/elsewhere", tenRoads());
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(":memory:", &other), SQLITE_OK);
    ASSERT_EQ(wrapVirtualTableWithTransactions(other, nullptr, memory_module::module(), "overlay"), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "CREATE VIRTUAL TABLE ROADS USING overlay('/elsewhere')", nullptr, nullptr, nullptr),
              SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(other, "DELETE FROM ROADS WHERE rowid = 5", nullptr, nullptr, nullptr), SQLITE_INTERNAL);
    EXPECT_STREQ(sqlite3_errmsg(other), "Table ROADS already has a change log open in this process");
    // Another table name with the same file is refused by the registry.
    ASSERT_EQ(sqlite3_exec(other, "CREATE VIRTUAL TABLE copy USING overlay('/maps/roads.tab')", nullptr, nullptr,
                           nullptr),
              SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(other, "DELETE FROM copy WHERE rowid = 5", nullptr, nullptr, nullptr), SQLITE_INTERNAL);
    EXPECT_NE(std::string(sqlite3_errmsg(other)).find("UNIQUE"), std::string::npos) << sqlite3_errmsg(other);
    sqlite3_close(other);
    EXPECT_EQ(query("SELECT count(*) FROM roads"), ints({9}));
    HistoryFile history;
    EXPECT_EQ(history.query("SELECT ID FROM roadsdeletedRows"), ints({1}));
    EXPECT_EQ(history.query("SELECT uri, name FROM ombrixOpenedTables"),
              (std::vector<ResultRow>{{"text:/maps/roads.tab", "text:roads"}}));
}

TEST_F(WritePathTest, LeftoversOfAnEarlierProcessNeitherShowNorBlock)
{
    {
        HistoryFile history;
        ASSERT_EQ(history.execute(
                      "CREATE TABLE ombrixOpenedTables (uri string PRIMARY KEY,name string NOT NULL,"
                      "currentHistoryID INTEGER NOT NULL);"
                      "INSERT INTO ombrixOpenedTables VALUES ('/maps/roads.tab', 'old', 7), ('/x', 'Roads', 3);"
                      "CREATE TABLE roadsinsertedOrUpdatedRows (ID integer PRIMARY KEY NOT NULL, newValue BLOB NOT NULL);"
                      "INSERT INTO roadsinsertedOrUpdatedRows VALUES (11, x'00000000');"
                      "CREATE TABLE roadsdeletedRows (ID integer PRIMARY KEY NOT NULL);"
                      "INSERT INTO roadsdeletedRows VALUES (1), (2);"
                      "CREATE TABLE roadshistory(actionTag INTEGER, oldRowID INTEGER, newRowID INTEGER,"
                      " oldValue BLOB, newValue BLOB, historyID INTEGER NOT NULL);"
                      "INSERT INTO roadshistory VALUES (1, 1, NULL, NULL, NULL, 9);"
                      "CREATE TABLE oldhistory(x); CREATE TABLE unrelated(x);"),
                  SQLITE_OK);
    }
    ASSERT_EQ(execute("DELETE FROM roads WHERE rowid = 10"), SQLITE_OK) << lastError;
    EXPECT_EQ(rowids(), ints({1, 2, 3, 4, 5, 6, 7, 8, 9}));
    HistoryFile history;
    EXPECT_EQ(history.query("SELECT * FROM ombrixOpenedTables"),
              (std::vector<ResultRow>{{"text:/maps/roads.tab", "text:roads", "int:1"}}));
    EXPECT_EQ(history.tableNames(), (std::vector<std::string>{"ombrixOpenedTables", "roadsdeletedRows",
                                                              "roadshistory", "roadsinsertedOrUpdatedRows",
                                                              "unrelated"}));
}

TEST_F(WritePathTest, CraftedTableNamesTouchOnlyTheirOwnLog)
{
    const std::vector<std::string> names{"v(a)/*", "ombrixOpenedTables--", "my roads", "say \"\"hi\"\""};
    for (const std::string& quoted : names) {
        SCOPED_TRACE(quoted);
        memory_module::setTable("/crafted", tenRoads());
        ASSERT_EQ(execute("CREATE VIRTUAL TABLE \"" + quoted + "\" USING overlay('/crafted')"), SQLITE_OK)
            << lastError;
        ASSERT_EQ(execute("UPDATE \"" + quoted + "\" SET name = 'x' WHERE rowid = 2"), SQLITE_OK) << lastError;
        ASSERT_EQ(execute("DELETE FROM \"" + quoted + "\" WHERE rowid = 1"), SQLITE_OK) << lastError;
        EXPECT_EQ(query("SELECT name FROM \"" + quoted + "\" WHERE rowid <= 2"), (std::vector<ResultRow>{{"text:x"}}));
        HistoryFile history;
        std::string name = quoted;
        for (size_t at = name.find("\"\""); at != std::string::npos; at = name.find("\"\"", at + 1))
            name.erase(at, 1);
        std::vector<std::string> expected{"ombrixOpenedTables", name + "deletedRows", name + "history",
                                          name + "insertedOrUpdatedRows"};
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(history.tableNames(), expected);
        ASSERT_EQ(execute("DROP TABLE \"" + quoted + "\""), SQLITE_OK);
        EXPECT_EQ(history.tableNames(), (std::vector<std::string>{"ombrixOpenedTables"}));
    }
}

TEST_F(WritePathTest, DeleteWithoutARowidIsRefusedAsMisuse)
{
    sqlite3_stmt* statement = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT NULL", -1, &statement, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(statement), SQLITE_ROW);
    sqlite3_value* null = sqlite3_value_dup(sqlite3_column_value(statement, 0));
    sqlite3_finalize(statement);
    sqlite3_int64 rowid = 0;
    EXPECT_EQ(overlayUpdate(&roads->base, 1, &null, &rowid), SQLITE_MISUSE);
    EXPECT_STREQ(roads->base.zErrMsg, "The incorrect use of vtab. The query is not DELETE/INSERT/UPDATE");
    EXPECT_EQ(overlayUpdate(&roads->base, 0, &null, &rowid), SQLITE_MISUSE);
    EXPECT_NE(roads->manager, nullptr);
    sqlite3_value_free(null);
    EXPECT_EQ(rowids().size(), 10u);
}

} // namespace
