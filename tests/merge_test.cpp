// The merge of a change log into the inner rows, driven by a scripted
// manager placed in the table record before any real log exists.
#include "common/error_pair.h"
#include "overlay_fixture.h"

#include <limits>
#include <map>
#include <set>

using memory_module::TableData;

namespace {

class ScriptedManager : public ModificationManager {
public:
    std::set<qint64> deleted;
    std::map<qint64, QList<QVariant>> stored;
    qint64 failDeletedQueryAt = std::numeric_limits<qint64>::min(); // isRowDeleted throws for this rowid
    bool failNextStoredQuery = false; // firstModifiedRowidFrom throws

    void deleteRow(qint64) override {}
    bool isRowDeleted(qint64 rowid) override
    {
        if (rowid == failDeletedQueryAt)
            throw errorWithText(SQLITE_INTERNAL, "history database is locked");
        return deleted.count(rowid) > 0;
    }
    void updateRow(qint64, qint64, int, sqlite3_value**) override {}
    void insertRow(qint64, int, sqlite3_value**) override {}
    bool isRowModified(qint64 rowid) override { return stored.count(rowid) > 0; }
    QVariant modifiedRowValues(qint64 rowid, int column) override
    {
        auto row = stored.find(rowid);
        if (row == stored.end() || column >= row->second.size())
            return QVariant();
        return row->second.at(column);
    }
    bool hasModifiedRowsFrom(qint64 rowid) override { return stored.lower_bound(rowid) != stored.end(); }
    std::optional<qint64> firstModifiedRowidFrom(qint64 rowid) override
    {
        if (failNextStoredQuery)
            throw std::runtime_error("not an ErrorPair");
        auto next = stored.lower_bound(rowid);
        return next == stored.end() ? std::nullopt : std::optional<qint64>(next->first);
    }
    void undo(qint64) override {}
    void redo(qint64) override {}
    void commit() override {}
};

TableData numbered(int count)
{
    TableData data{{"n", "label"}, {}};
    for (int i = 1; i <= count; ++i)
        data.rows.push_back({sqlite3_int64(i * 10), std::string("inner ") + std::to_string(i)});
    return data;
}

QList<QVariant> storedRow(qlonglong n, const QString& label)
{
    return {QVariant(n), QVariant(label)};
}

class MergeTest : public OverlayTest {
protected:
    std::shared_ptr<ScriptedManager> manager = std::make_shared<ScriptedManager>();

    void createTable(int innerRows)
    {
        memory_module::setTable("/t", numbered(innerRows));
        openDatabase();
        ASSERT_EQ(execute("CREATE VIRTUAL TABLE t USING probe('/t')"), SQLITE_OK);
        lastProbedTable()->manager = manager;
    }

    std::vector<ResultRow> rowids() { return query("SELECT rowid FROM t"); }
};

std::vector<ResultRow> rowList(std::initializer_list<int> ids)
{
    std::vector<ResultRow> rows;
    for (int id : ids)
        rows.push_back({"int:" + std::to_string(id)});
    return rows;
}

TEST_F(MergeTest, DeletedRowsAreSkippedWhereverTheyAre)
{
    createTable(5);
    manager->deleted = {1};
    EXPECT_EQ(rowids(), rowList({2, 3, 4, 5}));
    manager->deleted = {1, 3, 5};
    EXPECT_EQ(rowids(), rowList({2, 4}));
    manager->deleted = {1, 2, 3, 4, 5};
    EXPECT_EQ(rowids(), rowList({}));
    manager->stored[6] = storedRow(60, QStringLiteral("added"));
    EXPECT_EQ(rowids(), rowList({6}));
    EXPECT_EQ(query("SELECT count(*) FROM t"), rowList({1}));
}

TEST_F(MergeTest, StoredRowsFollowTheInnerRowsInRowidOrderAcrossGaps)
{
    createTable(3);
    manager->stored[5] = storedRow(50, QStringLiteral("five"));
    manager->stored[4] = storedRow(40, QStringLiteral("four"));
    manager->stored[9] = storedRow(90, QStringLiteral("nine"));
    manager->deleted = {6};
    EXPECT_EQ(query("SELECT rowid, n, label FROM t"),
              (std::vector<ResultRow>{{"int:1", "int:10", "text:inner 1"},
                                      {"int:2", "int:20", "text:inner 2"},
                                      {"int:3", "int:30", "text:inner 3"},
                                      {"int:4", "int:40", "text:four"},
                                      {"int:5", "int:50", "text:five"},
                                      {"int:9", "int:90", "text:nine"}}));
}

TEST_F(MergeTest, EmptyInnerTableShowsOnlyStoredRows)
{
    createTable(0);
    EXPECT_EQ(rowids(), rowList({}));
    manager->stored[1] = storedRow(1, QStringLiteral("one"));
    manager->stored[2] = storedRow(2, QStringLiteral("two"));
    EXPECT_EQ(rowids(), rowList({1, 2}));
}

TEST_F(MergeTest, UpdatedRowKeepsItsPlaceAndShowsItsStoredValues)
{
    createTable(3);
    manager->stored[2] = storedRow(222, QStringLiteral("changed"));
    EXPECT_EQ(query("SELECT rowid, n, label FROM t"),
              (std::vector<ResultRow>{{"int:1", "int:10", "text:inner 1"},
                                      {"int:2", "int:222", "text:changed"},
                                      {"int:3", "int:30", "text:inner 3"}}));
    // SQLite filters merged rows itself, so WHERE sees the stored values.
    EXPECT_EQ(query("SELECT rowid FROM t WHERE n = 222"), rowList({2}));
    EXPECT_EQ(query("SELECT rowid FROM t WHERE n = 20"), rowList({}));
    EXPECT_EQ(query("SELECT rowid FROM t WHERE rowid = 2 AND label = 'changed'"), rowList({2}));
}

TEST_F(MergeTest, StoredValuesKeepTheirTypes)
{
    createTable(1);
    QByteArray withZero("a\0b", 3);
    manager->stored[1] = {QVariant(qlonglong(1) << 40), QVariant(2.5)};
    manager->stored[2] = {QVariant(QStringLiteral("\u00e9t\u00e9 \U0001F600")), QVariant(QByteArray::fromHex("00ff"))};
    manager->stored[3] = {QVariant(QString()), QVariant(QByteArray())};
    manager->stored[4] = {QVariant(QString::fromUtf8(withZero.constData(), 3)), QVariant(int(7))};
    manager->stored[5] = {QVariant(true), QVariant()};
    EXPECT_EQ(query("SELECT n, label FROM t"),
              (std::vector<ResultRow>{{"int:1099511627776", "real:2.5"},
                                      {"text:\xC3\xA9t\xC3\xA9 \xF0\x9F\x98\x80", "blob:00ff"},
                                      {"null", "blob:"},
                                      {std::string("text:") + std::string(withZero.constData(), 3), "int:7"},
                                      {"null", "null"}}));
    EXPECT_EQ(query("SELECT typeof(n), length(n), typeof(label) FROM t WHERE rowid = 4"),
              (std::vector<ResultRow>{{"text:text", "int:1", "text:integer"}}));
}

TEST_F(MergeTest, EndIsReportedOnlyWhenNoStoredRowRemains)
{
    createTable(2);
    manager->deleted = {3, 4};
    manager->stored[5] = storedRow(5, QStringLiteral("after a gap"));
    EXPECT_EQ(rowids(), rowList({1, 2, 5}));
    manager->stored.clear();
    EXPECT_EQ(rowids(), rowList({1, 2}));
}

TEST_F(MergeTest, FailingManagerQueryDuringAScanIsAnError)
{
    createTable(5);
    manager->failDeletedQueryAt = 3;
    std::vector<ResultRow> rows;
    EXPECT_EQ(tryQuery("SELECT rowid FROM t", rows), SQLITE_INTERNAL);
    EXPECT_EQ(lastError, "history database is locked");
    EXPECT_EQ(rows, rowList({1, 2}));
    manager->failDeletedQueryAt = 1;
    EXPECT_EQ(tryQuery("SELECT rowid FROM t", rows), SQLITE_INTERNAL);
    EXPECT_EQ(rows, rowList({}));
}

TEST_F(MergeTest, FailingEndQueryEndsTheScanWithAnErrorNotInSilence)
{
    createTable(2);
    manager->failNextStoredQuery = true;
    std::vector<ResultRow> rows;
    // Every row is visited; the failure at the inner end surfaces as an error.
    EXPECT_EQ(tryQuery("SELECT rowid, label FROM t", rows), SQLITE_INTERNAL);
    EXPECT_EQ(lastError, "Unknown Unhandled exception in code ");
    EXPECT_EQ(tryQuery("SELECT count(*) FROM t", rows), SQLITE_INTERNAL);
    manager->failNextStoredQuery = false;
    EXPECT_EQ(query("SELECT count(*) FROM t"), rowList({2}));
}

TEST_F(MergeTest, RowidLookupsAnswerFromTheLogAndTheInnerTable)
{
    createTable(5);
    manager->stored[2] = storedRow(222, QStringLiteral("updated"));
    manager->stored[9] = storedRow(9, QStringLiteral("inserted"));
    manager->deleted = {3};
    // Every lookup gives what the full scan shows for that rowid; the scan is
    // forced by a condition no plan can use.
    for (int rowid = -1; rowid <= 11; ++rowid) {
        const std::string id = std::to_string(rowid);
        EXPECT_EQ(query("SELECT rowid, n, label FROM t WHERE rowid = " + id),
                  query("SELECT rowid, n, label FROM t WHERE (rowid = " + id + ") IS 1"))
            << rowid;
    }
    EXPECT_EQ(query("SELECT rowid FROM t WHERE rowid IN (3, 2, 9, 4) ORDER BY rowid"), rowList({2, 4, 9}));
    // Values that are not plain integers match as in the full scan.
    for (const char* value : {"'4abc'", "4.5", "NULL", "'4'", "4.0", "x'04'"}) {
        EXPECT_EQ(query(std::string("SELECT rowid FROM t WHERE rowid = ") + value),
                  query(std::string("SELECT rowid FROM t WHERE (rowid = ") + value + ") IS 1"))
            << value;
    }
    // A prepared lookup follows the log as it changes.
    sqlite3_stmt* statement = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT label FROM t WHERE rowid = 4", -1, &statement, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(statement), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)), "inner 4");
    sqlite3_reset(statement);
    manager->deleted.insert(4);
    EXPECT_EQ(sqlite3_step(statement), SQLITE_DONE);
    sqlite3_finalize(statement);
}

TEST_F(MergeTest, ScanPastTheInnerEndJumpsFromOneStoredRowToTheNext)
{
    createTable(2);
    const qint64 far = qint64(1) << 40;
    const qint64 last = std::numeric_limits<qint64>::max();
    manager->stored[far] = storedRow(1, QStringLiteral("far"));
    manager->stored[last] = storedRow(2, QStringLiteral("last"));
    EXPECT_EQ(query("SELECT rowid, label FROM t"),
              (std::vector<ResultRow>{{"int:1", "text:inner 1"},
                                      {"int:2", "text:inner 2"},
                                      {"int:1099511627776", "text:far"},
                                      {"int:9223372036854775807", "text:last"}}));
}

TEST_F(MergeTest, LogCreatedDuringAScanShowsItsStoredRowsAndReportsItsFailures)
{
    createTable(2);
    lastProbedTable()->manager = nullptr;
    sqlite3_stmt* statement = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT rowid FROM t", -1, &statement, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(statement), SQLITE_ROW);
    manager->stored[7] = storedRow(7, QStringLiteral("seven"));
    lastProbedTable()->manager = manager;
    ASSERT_EQ(sqlite3_step(statement), SQLITE_ROW);
    ASSERT_EQ(sqlite3_step(statement), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int64(statement, 0), 7);
    EXPECT_EQ(sqlite3_step(statement), SQLITE_DONE);

    // The end is judged by xEof, which cannot report; the next callback does.
    sqlite3_reset(statement);
    lastProbedTable()->manager = nullptr;
    ASSERT_EQ(sqlite3_step(statement), SQLITE_ROW);
    manager->failNextStoredQuery = true;
    lastProbedTable()->manager = manager;
    ASSERT_EQ(sqlite3_step(statement), SQLITE_ROW);
    EXPECT_EQ(sqlite3_step(statement), SQLITE_INTERNAL);
    EXPECT_STREQ(sqlite3_errmsg(db), "Unknown Unhandled exception in code ");
    sqlite3_finalize(statement);
}

} // namespace
