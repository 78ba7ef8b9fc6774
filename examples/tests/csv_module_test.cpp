// Tests of the CSV module: the cursor behaviour the overlay relies on, driven
// callback by callback, and the table as SQL sees it when used on its own.
#include "csv/csv_module.h"
#include "scratch.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

// A module that makes its table with the CSV module's xCreate, inside its own,
// as the overlay does, and keeps the table so the test can drive its cursors.
sqlite3_vtab* capturedTable = nullptr;

int capturingCreate(sqlite3* db, void* aux, int argc, const char* const* argv, sqlite3_vtab** ppVtab,
                    char** pzErr)
{
    int rc = csvModule()->xCreate(db, aux, argc, argv, ppVtab, pzErr);
    capturedTable = rc == SQLITE_OK ? *ppVtab : nullptr;
    return rc;
}

sqlite3_module capturingModule()
{
    sqlite3_module module = *csvModule();
    module.xCreate = capturingCreate;
    module.xConnect = capturingCreate;
    return module;
}

class CsvModuleTest : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_create_module(db, "csv", csvModule(), nullptr), SQLITE_OK);
        ASSERT_EQ(sqlite3_create_module(db, "capturing_csv", &capturing, nullptr), SQLITE_OK);
    }

    void TearDown() override
    {
        sqlite3_close(db);
        capturedTable = nullptr;
    }

    // Runs sql; the error message, or "" when it succeeds.
    std::string run(const std::string& sql)
    {
        char* message = nullptr;
        int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message);
        std::string error = rc == SQLITE_OK ? "" : (message ? message : "error without a message");
        sqlite3_free(message);
        return error;
    }

    // The rows of a query, each value as text ("NULL" for NULL), columns joined by '|'.
    std::vector<std::string> rows(const std::string& sql)
    {
        std::vector<std::string> result;
        sqlite3_stmt* statement = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
        while (statement && sqlite3_step(statement) == SQLITE_ROW) {
            std::string row;
            for (int i = 0; i < sqlite3_column_count(statement); ++i) {
                auto value = reinterpret_cast<const char*>(sqlite3_column_text(statement, i));
                row += (i ? "|" : "") + std::string(value ? value : "NULL");
            }
            result.push_back(row);
        }
        sqlite3_finalize(statement);
        return result;
    }

    // A table of the capturing module over a file holding bytes.
    sqlite3_vtab* capture(const std::string& bytes)
    {
        const std::string path = writeScratchFile("captured.csv", bytes);
        EXPECT_EQ(run("CREATE VIRTUAL TABLE captured USING capturing_csv('" + path + "')"), "");
        return capturedTable;
    }

    sqlite3_vtab_cursor* open(sqlite3_vtab* table)
    {
        sqlite3_vtab_cursor* cursor = nullptr;
        EXPECT_EQ(csvModule()->xOpen(table, &cursor), SQLITE_OK);
        if (cursor)
            cursor->pVtab = table;
        return cursor;
    }

    static sqlite3_int64 rowid(sqlite3_vtab_cursor* cursor)
    {
        sqlite3_int64 value = 0;
        EXPECT_EQ(csvModule()->xRowid(cursor, &value), SQLITE_OK);
        return value;
    }

    static bool atEnd(sqlite3_vtab_cursor* cursor) { return csvModule()->xEof(cursor) != 0; }
    static void next(sqlite3_vtab_cursor* cursor) { EXPECT_EQ(csvModule()->xNext(cursor), SQLITE_OK); }

    sqlite3* db = nullptr;
    sqlite3_module capturing = capturingModule();
};

} // namespace

TEST_F(CsvModuleTest, ContractOpenStartsOnTheFirstRowAndAScanVisitsRowidsInOrder)
{
    sqlite3_vtab* table = capture("a\nx\ny\nz\n");
    ASSERT_NE(table, nullptr);
    sqlite3_vtab_cursor* cursor = open(table);
    std::vector<sqlite3_int64> visited;
    for (int guard = 0; !atEnd(cursor) && guard < 10; ++guard, next(cursor))
        visited.push_back(rowid(cursor));
    EXPECT_EQ(visited, (std::vector<sqlite3_int64>{1, 2, 3}));
    csvModule()->xClose(cursor);
}

TEST_F(CsvModuleTest, ContractPastTheEndTheRowidKeepsCountingUp)
{
    sqlite3_vtab* table = capture("a\nx\ny\n");
    sqlite3_vtab_cursor* cursor = open(table);
    next(cursor);
    next(cursor);
    EXPECT_TRUE(atEnd(cursor));
    EXPECT_EQ(rowid(cursor), 3);
    next(cursor);
    EXPECT_TRUE(atEnd(cursor));
    EXPECT_EQ(rowid(cursor), 4);
    csvModule()->xClose(cursor);
}

TEST_F(CsvModuleTest, ContractAnEmptyTableIsAtTheEndAtOnceWithRowidOne)
{
    sqlite3_vtab* table = capture("a,b\n");
    sqlite3_vtab_cursor* cursor = open(table);
    EXPECT_TRUE(atEnd(cursor));
    EXPECT_EQ(rowid(cursor), 1);
    csvModule()->xClose(cursor);
}

TEST_F(CsvModuleTest, ContractFilterRestartsAtRowOneAndCursorsAreIndependent)
{
    sqlite3_vtab* table = capture("a\nx\ny\nz\n");
    sqlite3_vtab_cursor* first = open(table);
    sqlite3_vtab_cursor* second = open(table);
    next(first);
    next(first);
    EXPECT_EQ(rowid(first), 3);
    EXPECT_EQ(rowid(second), 1);
    EXPECT_EQ(csvModule()->xFilter(first, 0, nullptr, 0, nullptr), SQLITE_OK);
    EXPECT_EQ(rowid(first), 1);
    EXPECT_FALSE(atEnd(first));
    csvModule()->xClose(first);
    csvModule()->xClose(second);
}

TEST_F(CsvModuleTest, SqlSchemaComesFromTheHeaderAndValuesKeepTheirTypes)
{
    const std::string path = writeScratchFile("types.csv", "id,\"road name\",\"odd \"\"col\"\"\",length\n"
                                                           "1,\"Mill Lane, East\",,0.4\n"
                                                           "2,\"\",007,12\n");
    ASSERT_EQ(run("CREATE VIRTUAL TABLE t USING csv('" + path + "')"), "");
    EXPECT_EQ(rows("SELECT name FROM pragma_table_info('t')"),
              (std::vector<std::string>{"id", "road name", "odd \"col\"", "length"}));
    EXPECT_EQ(rows("SELECT rowid, typeof(id), \"road name\", typeof(\"road name\"), typeof(\"odd \"\"col\"\"\"), "
                   "typeof(length) FROM t"),
              (std::vector<std::string>{"1|integer|Mill Lane, East|text|null|real", "2|integer||text|text|integer"}));
    EXPECT_EQ(rows("SELECT id FROM t WHERE length > 1 ORDER BY id DESC"), (std::vector<std::string>{"2"}));
}

TEST_F(CsvModuleTest, SqlThePathIsABareWordOrQuotedWithBackslashEscapes)
{
    writeScratchFile("a \\ file.csv", "a\nquoted\n");
    writeScratchFile("bare.csv", "a\nbare\n");
    const std::string home = scratchPath("");
    ASSERT_EQ(run("CREATE VIRTUAL TABLE q USING csv('" + home + "a\\ \\\\ \\file.csv')"), "");
    // A bare word must be one SQL token: a temporary folder's name may not be.
    const std::filesystem::path cwd = std::filesystem::current_path();
    std::filesystem::current_path(home);
    const std::string bare = run("CREATE VIRTUAL TABLE b USING csv(bare.csv)");
    std::filesystem::current_path(cwd);
    ASSERT_EQ(bare, "");
    EXPECT_EQ(rows("SELECT a FROM q UNION ALL SELECT a FROM b"), (std::vector<std::string>{"quoted", "bare"}));
}
