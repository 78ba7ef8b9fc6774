// Units alone, each on fresh state: a log's index of rows and steps, the
// savepoints of the history database, and the registry of open tables.
#include "changelog/log_index.h"
#include "common/error_pair.h"
#include "history/open_tables.h"
#include "store/history_file.h"
#include "store/savepoint.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <array>
#include <optional>
#include <vector>

namespace {

using Rowid = std::optional<qint64>;

// Rows count as changes from the inner table by the limit, learnt late;
// a row moved above it is one update and keeps its origin from counting as
// deleted, until it goes; the first free rowid follows stores and removals.
TEST(LogIndex, CountsRowsAsChangesFromTheInnerTable)
{
    LogIndex index;
    index.store(3);
    index.store(12);
    EXPECT_EQ(index.insertedCount(), 0); // every rowid is the inner table's while the limit is unknown
    index.setInnerLimit(10);
    index.markDeleted(4);
    index.store(13);
    index.setOrigin(13, 5);
    index.markDeleted(5);
    index.setOrigin(3, 7); // an inner rowid keeps its own origin
    EXPECT_EQ((std::array<qint64, 3>{index.insertedCount(), index.updatedCount(), index.deletedCount()}),
              (std::array<qint64, 3>{1, 2, 1}));
    EXPECT_EQ(index.originOf(3), Rowid(3));
    EXPECT_EQ(index.originOf(13), Rowid(5));
    EXPECT_EQ(index.originOf(12), std::nullopt);
    EXPECT_EQ(index.firstDeletionFrom(1), Rowid(4));
    EXPECT_EQ(index.firstDeletionFrom(5), std::nullopt);
    EXPECT_EQ(index.firstUnstoredFrom(12), Rowid(14));
    index.remove(13);
    EXPECT_EQ((std::array<qint64, 3>{index.insertedCount(), index.updatedCount(), index.deletedCount()}),
              (std::array<qint64, 3>{1, 1, 2}));
    EXPECT_EQ(index.firstDeletionFrom(5), Rowid(5));
    EXPECT_EQ(index.firstUnstoredFrom(12), Rowid(13));
    index.store(3);
    index.markDeleted(3); // stored: shown, so not counted as deleted
    index.unmarkDeleted(4);
    EXPECT_EQ((std::array<qint64, 3>{index.insertedCount(), index.updatedCount(), index.deletedCount()}),
              (std::array<qint64, 3>{1, 1, 1}));
}

// Applied steps follow the position both ways and a step added below it;
// discarding the steps above a step takes their carried origins with them;
// the clean mark holds while the position and the top step's rows do.
TEST(LogIndex, StepsFollowThePositionAndTheCleanMark)
{
    LogIndex index;
    index.setPosition(1);
    index.addEntry(1, LogIndex::Entry::Insertion);
    index.addEntry(1, LogIndex::Entry::Update);
    index.addEntry(3, LogIndex::Entry::Deletion);
    index.addEntry(3, LogIndex::Entry::Move);
    EXPECT_EQ(std::make_pair(index.appliedSteps(), index.undoneSteps()), std::make_pair(qint64(1), qint64(1)));
    const LogIndex::Step& moved = index.allSteps().at(3);
    EXPECT_EQ((std::array<qint64, 4>{moved.inserted, moved.updated, moved.deleted, moved.rows}),
              (std::array<qint64, 4>{0, 1, 0, 2}));
    EXPECT_EQ(index.highestStepAtOrBelow(2), std::optional<int>(1));
    EXPECT_EQ(index.highestStepAtOrBelow(0), std::nullopt);
    EXPECT_EQ(index.lowestStepAbove(1), std::optional<int>(3));
    EXPECT_EQ(index.lowestStepAbove(3), std::nullopt);

    index.setCleanMark(index.currentState());
    EXPECT_TRUE(index.isClean());
    index.setPosition(3);
    EXPECT_FALSE(index.isClean());
    EXPECT_EQ(std::make_pair(index.appliedSteps(), index.undoneSteps()), std::make_pair(qint64(2), qint64(0)));
    index.setPosition(1);
    EXPECT_TRUE(index.isClean());
    index.addEntry(1, LogIndex::Entry::Deletion);
    EXPECT_FALSE(index.isClean());
    index.setPosition(std::nullopt);
    EXPECT_EQ(index.appliedSteps(), 0);

    index.setPosition(3);
    index.carry(1, 2, 40);
    index.carry(3, 7, 50);
    index.eraseStepsAbove(1);
    EXPECT_EQ(std::make_pair(index.appliedSteps(), index.undoneSteps()), std::make_pair(qint64(1), qint64(0)));
    EXPECT_EQ(index.carriedOrigin(1, 2), Rowid(40));
    EXPECT_EQ(index.carriedOrigin(3, 7), std::nullopt);
    index.addEntry(2, LogIndex::Entry::Insertion); // below the position: applied at once
    EXPECT_EQ(index.appliedSteps(), 2);
}

// Outside a transaction a savepoint is one, committed at release() and rolled
// back without it, inner ones included; a lightweight one left after a change
// inside a transaction rolls all of it back and refuses more work until the
// owner rolls back too; a release after the transaction was rolled back fails.
TEST(Savepoint, OwnTransactionsAndLightweightGuards)
{
    HistoryFile history;
    const std::shared_ptr<HistoryFile::Open> file = history.open();
    SqliteDatabase& database = file->database;
    const HistoryOwner owner = HistoryOwner::apart(&history);
    const auto rows = [&database] {
        return database.runOnce(QStringLiteral("SELECT group_concat(x) FROM t")).toString().toStdString();
    };
    {
        Savepoint kept(database, owner);
        EXPECT_TRUE(database.inTransaction());
        database.runOnce(QStringLiteral("CREATE TABLE t(x)"));
        database.runOnce(QStringLiteral("INSERT INTO t VALUES (1)"));
        kept.release();
    }
    EXPECT_FALSE(database.inTransaction());
    {
        const Savepoint dropped(database, owner);
        database.runOnce(QStringLiteral("INSERT INTO t VALUES (2)"));
        Savepoint inner(database, owner);
        database.runOnce(QStringLiteral("INSERT INTO t VALUES (3)"));
        inner.release();
    }
    EXPECT_FALSE(database.inTransaction());
    EXPECT_EQ(rows(), "1");
    {
        const SqliteDatabase::Work work(database, owner);
        database.runOnce(QStringLiteral("INSERT INTO t VALUES (4)"));
        {
            const Savepoint guard(database, owner, true);
            database.runOnce(QStringLiteral("INSERT INTO t VALUES (5)"));
        }
        try {
            database.runOnce(QStringLiteral("INSERT INTO t VALUES (6)"));
            ADD_FAILURE() << "an abandoned transaction took more work";
        } catch (const ErrorPair& error) {
            EXPECT_EQ(error.code(), SQLITE_ABORT);
        }
        database.rollback();
    }
    EXPECT_EQ(rows(), "1");
    {
        const SqliteDatabase::Work work(database, owner);
        Savepoint late(database, owner);
        database.runOnce(QStringLiteral("INSERT INTO t VALUES (7)"));
        database.rollback();
        try {
            late.release();
            ADD_FAILURE() << "a savepoint kept what a rollback took back";
        } catch (const ErrorPair& error) {
            EXPECT_EQ(error.code(), SQLITE_ABORT);
        }
    }
    EXPECT_EQ(rows(), "1");
}

// Names are one entry as SQLite compares them; the entry lives while a table
// of it is open or a registration that opened one lasts; DROP closes every
// table of the name on its connection and schema; a rename refuses a name in
// use and moves the entry, growing its version; a first label is taken once.
TEST(OpenTables, EntriesByNameAsLongAsTheirTablesAndHolders)
{
    OpenTables tables;
    int overlays[3], holders[2];
    sqlite3 *one = reinterpret_cast<sqlite3*>(&holders[0]), *two = reinterpret_cast<sqlite3*>(&holders[1]);
    const std::shared_ptr<OpenName> roads =
        tables.open(QStringLiteral("Roads"), &holders[0], {&overlays[0], one, "main", "/r", {}});
    EXPECT_EQ(tables.open(QStringLiteral("ROADS"), &holders[1], {&overlays[1], two, "main", "/r", {}}), roads);
    tables.open(QStringLiteral("roads"), &holders[1], {&overlays[2], two, "main", "/r", {}});
    EXPECT_EQ(tables.find(QStringLiteral("rOADS")), roads);
    EXPECT_EQ(tables.name(*roads), QStringLiteral("Roads"));
    EXPECT_EQ(tables.state(*roads).tables.size(), 3u);
    EXPECT_EQ(tables.logOver(*roads, "/r"), nullptr);

    tables.close(roads, &overlays[0]);
    EXPECT_EQ(tables.state(*roads).tables.size(), 2u);
    tables.drop(roads, two, "temp");
    EXPECT_EQ(tables.state(*roads).tables.size(), 2u);
    tables.drop(roads, two, "main");
    EXPECT_EQ(tables.find(QStringLiteral("roads")), nullptr);

    const std::shared_ptr<OpenName> rivers =
        tables.open(QStringLiteral("rivers"), &holders[0], {&overlays[0], one, "main", "/v", {}});
    const std::shared_ptr<OpenName> lakes =
        tables.open(QStringLiteral("lakes"), &holders[1], {&overlays[1], two, "main", "/l", {}});
    const quint64 version = rivers->version();
    EXPECT_FALSE(tables.rename(rivers, QStringLiteral("LAKES")));
    EXPECT_TRUE(tables.rename(rivers, QStringLiteral("Streams")));
    EXPECT_GT(rivers->version(), version);
    EXPECT_EQ(tables.find(QStringLiteral("rivers")), nullptr);
    EXPECT_EQ(tables.find(QStringLiteral("streams")), rivers);
    EXPECT_EQ(tables.entries(), (std::vector<std::shared_ptr<OpenName>>{rivers, lakes}));

    tables.setFirstLabel(*lakes, QStringLiteral("first"));
    EXPECT_EQ(tables.takeFirstLabel(*lakes), std::optional<QString>(QStringLiteral("first")));
    EXPECT_EQ(tables.takeFirstLabel(*lakes), std::nullopt);

    EXPECT_EQ(tables.releaseHolder(&holders[0]), (std::vector<std::shared_ptr<OpenName>>{rivers}));
    EXPECT_EQ(tables.find(QStringLiteral("streams")), nullptr);
    EXPECT_EQ(tables.takeAll(), (std::vector<std::shared_ptr<OpenName>>{lakes}));
    EXPECT_FALSE(tables.anyLog());
}

} // namespace
