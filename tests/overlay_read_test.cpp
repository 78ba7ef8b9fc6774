// Overlay tables without a change log: creation, teardown and reads that
// must match the inner table exactly.
#include "overlay_fixture.h"
#include "quillmere.h"

#include <QDir>
#include <utility>
#include <QTemporaryDir>

using memory_module::Blob;
using memory_module::TableData;

namespace {

TableData tenRows()
{
    TableData data{{"id", "name", "length", "shape"}, {}};
    for (int i = 1; i <= 10; ++i) {
        data.rows.push_back({sqlite3_int64(100 + i), std::string("road ") + char('a' + (i * 7) % 10),
                             i * 0.5, Blob{{static_cast<unsigned char>(i), 0xff}}});
    }
    data.rows[3][1] = std::monostate{};
    return data;
}

class OverlayReadTest : public OverlayTest {};

TEST_F(OverlayReadTest, NeverWrittenTableReadsExactlyAsTheInnerTable)
{
    memory_module::setTable("/maps/roads.tab", tenRows());
    openDatabase();
    ASSERT_EQ(execute("CREATE VIRTUAL TABLE roads USING overlay('/maps/roads.tab')"), SQLITE_OK) << lastError;
    ASSERT_EQ(execute("CREATE VIRTUAL TABLE inner_roads USING probe('/maps/roads.tab')"), SQLITE_OK);

    const char* queries[] = {
        "SELECT rowid, * FROM %s",
        "SELECT rowid, name FROM %s WHERE rowid = 3",
        "SELECT rowid FROM %s WHERE rowid > 7",
        "SELECT rowid FROM %s WHERE rowid = 42",
        "SELECT id, name FROM %s WHERE name = 'road h'",
        "SELECT name, length FROM %s WHERE length BETWEEN 1 AND 3 ORDER BY name DESC",
        "SELECT rowid FROM %s ORDER BY rowid DESC",
        "SELECT count(*), sum(length), typeof(shape) FROM %s",
        "SELECT rowid FROM %s WHERE name IS NULL",
    };
    // Reads through the overlay are compared with plain SQL over the same rows.
    ASSERT_EQ(execute("CREATE TABLE plain(id, name, length, shape)"), SQLITE_OK);
    ASSERT_EQ(execute("INSERT INTO plain(rowid, id, name, length, shape) SELECT rowid, * FROM roads"), SQLITE_OK);
    ASSERT_EQ(query("SELECT count(*) FROM plain"), (std::vector<ResultRow>{{"int:10"}}));
    for (const char* pattern : queries) {
        char overlaySql[256], plainSql[256];
        std::snprintf(overlaySql, sizeof overlaySql, pattern, "roads");
        std::snprintf(plainSql, sizeof plainSql, pattern, "plain");
        EXPECT_EQ(query(overlaySql), query(plainSql)) << overlaySql;
    }
}

TEST_F(OverlayReadTest, InnerModuleLooksUpRowidsButNeverFiltersOrSortsOtherwise)
{
    memory_module::setTable("/maps/roads.tab", tenRows());
    openDatabase();
    ASSERT_EQ(execute("CREATE VIRTUAL TABLE roads USING overlay('/maps/roads.tab')"), SQLITE_OK);
    auto plans = [] { return std::exchange(memory_module::calls().filterPlans, {}); };
    plans();
    EXPECT_EQ(query("SELECT rowid FROM roads WHERE rowid = 4"), (std::vector<ResultRow>{{"int:4"}}));
    EXPECT_EQ(plans(), std::vector<int>{memory_module::rowidLookupPlan});
    EXPECT_EQ(query("SELECT rowid FROM roads WHERE rowid IN (2, 9) ORDER BY rowid DESC"),
              (std::vector<ResultRow>{{"int:9"}, {"int:2"}}));
    EXPECT_EQ(plans(), (std::vector<int>{memory_module::rowidLookupPlan, memory_module::rowidLookupPlan}));
    for (const char* sql : {"SELECT rowid FROM roads WHERE rowid > 7", "SELECT rowid FROM roads ORDER BY rowid LIMIT 2",
                            "SELECT rowid FROM roads WHERE id = 104"}) {
        query(sql);
        EXPECT_EQ(plans(), std::vector<int>{0}) << sql;
    }
}

TEST_F(OverlayReadTest, FirstNewRowidFollowsTheInnerRows)
{
    memory_module::setTable("/ten", tenRows());
    openDatabase();
    ASSERT_EQ(execute("CREATE VIRTUAL TABLE empty USING probe('/none')"), SQLITE_OK);
    ASSERT_NE(lastProbedTable(), nullptr);
    EXPECT_EQ(lastProbedTable()->firstNewRowid, 1);
    EXPECT_EQ(lastProbedTable()->tableName, QStringLiteral("empty"));
    EXPECT_EQ(lastProbedTable()->filePath, QStringLiteral("/none"));
    EXPECT_EQ(lastProbedTable()->manager, nullptr);
    ASSERT_EQ(execute("CREATE VIRTUAL TABLE ten USING probe('/ten')"), SQLITE_OK);
    EXPECT_EQ(lastProbedTable()->firstNewRowid, 11);
}

TEST_F(OverlayReadTest, InnerCreateSeesNullClientDataAndTheOverlayArguments)
{
    openDatabase();
    ASSERT_EQ(execute("CREATE VIRTUAL TABLE t USING overlay('/p/q.tab', 'x y', 3)"), SQLITE_OK);
    const auto& calls = memory_module::calls();
    ASSERT_EQ(calls.creates, 1);
    EXPECT_EQ(calls.clientData[0], nullptr);
    EXPECT_EQ(calls.argv[0], (std::vector<std::string>{"overlay", "main", "t", "'/p/q.tab'", "'x y'", "3"}));
}

TEST_F(OverlayReadTest, MissingFilePathIsRefusedAfterTheInnerTableWasMadeAndReleased)
{
    openDatabase();
    EXPECT_EQ(execute("CREATE VIRTUAL TABLE t USING overlay"), SQLITE_MISUSE);
    EXPECT_EQ(lastError, "Missing filepath");
    const auto& calls = memory_module::calls();
    EXPECT_EQ(calls.creates, 1);
    EXPECT_EQ(calls.destroys, 1);
    EXPECT_EQ(calls.opens, calls.closes);
    EXPECT_NE(execute("SELECT * FROM t"), SQLITE_OK);
}

TEST_F(OverlayReadTest, InnerCreationFailuresPassThroughAndReleaseEverything)
{
    memory_module::Faults create;
    create.createCode = SQLITE_CANTOPEN;
    create.createMessage = "cannot open /bad: 100% gone";
    memory_module::setFaults("/bad", create);
    memory_module::Faults open;
    open.openCode = SQLITE_IOERR;
    memory_module::setFaults("/unopenable", open);
    memory_module::Faults counting;
    counting.countingNextCode = SQLITE_CORRUPT;
    memory_module::setTable("/corrupt", tenRows());
    memory_module::setFaults("/corrupt", counting);
    openDatabase();

    EXPECT_EQ(execute("CREATE VIRTUAL TABLE a USING overlay('/bad')"), SQLITE_CANTOPEN);
    EXPECT_EQ(lastError, "cannot open /bad: 100% gone");
    EXPECT_EQ(execute("CREATE VIRTUAL TABLE b USING overlay('/unopenable')"), SQLITE_IOERR);
    EXPECT_EQ(execute("CREATE VIRTUAL TABLE c USING overlay('/corrupt')"), SQLITE_CORRUPT);

    const auto& calls = memory_module::calls();
    EXPECT_EQ(calls.creates, 3);
    EXPECT_EQ(calls.destroys, 2); // the failed inner xCreate made nothing to release
    EXPECT_EQ(calls.opens, 2);
    EXPECT_EQ(calls.closes, 1);   // the failed xOpen made no cursor
}

TEST_F(OverlayReadTest, ScanFailureReportsTheInnerCodeAndMessage)
{
    memory_module::Faults faults;
    faults.scanNextCode = SQLITE_IOERR;
    faults.scanNextAtRowid = 4;
    faults.scanNextMessage = "disk went away at row 4";
    memory_module::setTable("/flaky", tenRows());
    memory_module::setFaults("/flaky", faults);
    openDatabase();
    ASSERT_EQ(execute("CREATE VIRTUAL TABLE t USING overlay('/flaky')"), SQLITE_OK);
    std::vector<ResultRow> rows;
    EXPECT_EQ(tryQuery("SELECT rowid FROM t", rows), SQLITE_IOERR);
    EXPECT_EQ(lastError, "disk went away at row 4");
    EXPECT_EQ(rows.size(), 4u);
}

TEST_F(OverlayReadTest, ClosingOrDroppingReleasesTheInnerTable)
{
    openDatabase();
    ASSERT_EQ(execute("CREATE VIRTUAL TABLE a USING overlay('/a')"), SQLITE_OK);
    ASSERT_EQ(execute("CREATE VIRTUAL TABLE b USING overlay('/b')"), SQLITE_OK);
    ASSERT_EQ(execute("DROP TABLE a"), SQLITE_OK);
    EXPECT_EQ(memory_module::calls().destroys, 1);
    closeDatabase();
    EXPECT_EQ(memory_module::calls().destroys, 2);
}

TEST_F(OverlayReadTest, ReopeningTheDatabaseRecreatesAndRecountsTheInnerTable)
{
    QTemporaryDir dir;
    const std::string file = dir.filePath(QStringLiteral("host.db")).toStdString();
    memory_module::setTable("/roads", tenRows());
    openDatabase(file);
    ASSERT_EQ(execute("CREATE VIRTUAL TABLE roads USING probe('/roads')"), SQLITE_OK);
    EXPECT_EQ(lastProbedTable()->firstNewRowid, 11);
    closeDatabase();

    TableData fewer = tenRows();
    fewer.rows.resize(5);
    memory_module::setTable("/roads", fewer);
    openDatabase(file);
    EXPECT_EQ(query("SELECT count(*) FROM roads"), (std::vector<ResultRow>{{"int:5"}}));
    EXPECT_EQ(memory_module::calls().creates, 2);
    EXPECT_EQ(lastProbedTable()->firstNewRowid, 6);
}

TEST_F(OverlayReadTest, RegistrationKeepsARoutinesPointerAlreadySet)
{
    openDatabase();
    const sqlite3_api_routines* before = sqlite3_api;
    ASSERT_NE(before, nullptr);
    sqlite3_api_routines other = *before;
    EXPECT_EQ(wrapVirtualTableWithTransactions(db, &other, memory_module::module(), "second"), SQLITE_OK);
    EXPECT_EQ(sqlite3_api, before);
    EXPECT_EQ(wrapVirtualTableWithTransactions(db, nullptr, nullptr, "third"), SQLITE_MISUSE);
}

} // namespace
