// Failures of the history database while the host lives: each reaches the
// statement as an error, and the log stays exactly as it was.
#include "history_file.h"
#include "quillmere.h"

#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>

using memory_module::TableData;

namespace {

TableData tenRows()
{
    TableData data{{"name"}, {}};
    for (int i = 1; i <= 10; ++i)
        data.rows.push_back({std::string("row ") + std::to_string(i)});
    return data;
}

class FaultTest : public OverlayTest {
protected:
    void openTable()
    {
        memory_module::setTable("/t", tenRows());
        openDatabase();
        ASSERT_EQ(execute("CREATE VIRTUAL TABLE t USING overlay('/t')"), SQLITE_OK);
    }

    // Everything the log of t holds.
    std::vector<std::vector<ResultRow>> logOfT(HistoryFile& history)
    {
        return {history.query("SELECT ID, hex(newValue) FROM tinsertedOrUpdatedRows ORDER BY ID"),
                history.query("SELECT ID FROM tdeletedRows ORDER BY ID"),
                history.query("SELECT *, rowid FROM thistory ORDER BY rowid"),
                history.query("SELECT * FROM ombrixOpenedTables")};
    }

    // Runs a PRAGMA on the library's own connection to the history file.
    static void onLibraryConnection(const QString& pragma)
    {
        QSqlQuery query(QSqlDatabase::database(QStringLiteral("transactions"), false));
        ASSERT_TRUE(query.exec(pragma));
    }
};

TEST_F(FaultTest, HistoryFileThatIsNotADatabase)
{
    QFile file(QString::fromStdString(HistoryFile::path()));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(4096, 'x'));
    file.close();
    openTable();
    EXPECT_EQ(quillmere_register_undoredo_functions(db), SQLITE_INTERNAL);
    EXPECT_EQ(execute("DELETE FROM t WHERE rowid = 1"), SQLITE_INTERNAL);
    EXPECT_NE(lastError.find("file is not a database"), std::string::npos) << lastError;
    EXPECT_EQ(query("SELECT count(*) FROM t"), (std::vector<ResultRow>{{"int:10"}}));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), QByteArray(4096, 'x'));
}

TEST_F(FaultTest, HistoryFileLockedBeyondTheBusyTimeout)
{
    openTable();
    ASSERT_EQ(execute("UPDATE t SET name = 'kept' WHERE rowid = 1"), SQLITE_OK);
    HistoryFile history;
    const auto before = logOfT(history);
    ASSERT_EQ(history.execute("BEGIN IMMEDIATE"), SQLITE_OK);
    EXPECT_EQ(execute("UPDATE t SET name = 'lost' WHERE rowid = 2"), SQLITE_INTERNAL);
    EXPECT_NE(lastError.find("database is locked"), std::string::npos) << lastError;
    // Reads go on while another connection writes.
    EXPECT_EQ(query("SELECT name FROM t WHERE rowid <= 2"), (std::vector<ResultRow>{{"text:kept"}, {"text:row 2"}}));
    ASSERT_EQ(history.execute("COMMIT"), SQLITE_OK);
    EXPECT_EQ(logOfT(history), before);
    EXPECT_EQ(execute("UPDATE t SET name = 'now' WHERE rowid = 2"), SQLITE_OK) << lastError;
}

TEST_F(FaultTest, DiskFillingUpInTheMiddleOfAnOperation)
{
    openTable();
    ASSERT_EQ(quillmere_register_undoredo_functions(db), SQLITE_OK);
    ASSERT_EQ(execute("DELETE FROM t WHERE rowid = 1"), SQLITE_OK);
    HistoryFile history;
    const std::string big = "UPDATE t SET name = zeroblob(3000) || 'x' WHERE rowid = ";
    // Allow the file to grow by only a few pages: the first big row fits, a
    // later one runs out of room part-way through its statements.
    const int pages = std::stoi(history.query("PRAGMA page_count")[0][0].substr(4));
    onLibraryConnection(QStringLiteral("PRAGMA max_page_count = %1").arg(pages + 3));
    int failedAt = 0;
    for (int rowid = 2; rowid <= 10 && !failedAt; ++rowid) {
        const auto before = logOfT(history);
        if (execute(big + std::to_string(rowid)) != SQLITE_OK) {
            failedAt = rowid;
            EXPECT_NE(lastError.find("full"), std::string::npos) << lastError;
            EXPECT_EQ(logOfT(history), before);
        }
    }
    ASSERT_NE(failedAt, 0) << "the history file never filled up";
    EXPECT_EQ(query("SELECT count(*) FROM t"), (std::vector<ResultRow>{{"int:9"}}));
    EXPECT_EQ(execute("SELECT ombrix_undo('t', 100)"), SQLITE_OK) << lastError;
    onLibraryConnection(QStringLiteral("PRAGMA max_page_count = 1073741823"));
    EXPECT_EQ(execute(big + std::to_string(failedAt)), SQLITE_OK) << lastError;
}

} // namespace
