// The connection layer on real files: connection names, binding, errors.
#include "common/error_pair.h"
#include "store/sqlite_database.h"

#include <gtest/gtest.h>

#include <QSqlDatabase>
#include <QTemporaryDir>

namespace {

// Exposes the shared handle, as the factory hands it to managers.
struct SharedDatabase : SqliteDatabase {
    using SqliteDatabase::SqliteDatabase;
    QSqlDatabase handle() const { return connection; }
};

class SqliteDatabaseTest : public testing::Test {
protected:
    QTemporaryDir dir;
    QString file(const char* name) const { return dir.filePath(QLatin1String(name)); }
};

TEST_F(SqliteDatabaseTest, ConnectionNamesAreTheBaseNameWithTheFirstFreeSuffix)
{
    EXPECT_EQ(SqliteDatabase::uniqueConnectionName(file("a.b.sqlite")), QStringLiteral("a"));
    SqliteDatabase first(file("transactions.sqlite"), true);
    SqliteDatabase second(file("transactions.sqlite"), true);
    QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("transactions_3"));
    SqliteDatabase third(file("transactions.sqlite"), true);
    SqliteDatabase fourth(file("transactions.sqlite"), true);
    const QStringList names = QSqlDatabase::connectionNames();
    EXPECT_TRUE(names.contains(QStringLiteral("transactions")));
    EXPECT_TRUE(names.contains(QStringLiteral("transactions_1")));
    EXPECT_TRUE(names.contains(QStringLiteral("transactions_2")));
    EXPECT_TRUE(names.contains(QStringLiteral("transactions_4")));
}

TEST_F(SqliteDatabaseTest, ValuesAreBoundInOrderWithTheirTypes)
{
    SqliteDatabase db(file("t.sqlite"), true);
    db.executeQuery(QStringLiteral("CREATE TABLE t(a, b, c, d)"), {});
    db.executeQuery(QStringLiteral("INSERT INTO t VALUES (?, ?, ?, ?)"),
                    {QVariant(qlonglong(1) << 40), QVariant(QByteArray("\0x", 2)), QVariant(QVariant::String),
                     QVariant(QStringLiteral("text"))});
    QSqlQuery row = db.executeQuery(QStringLiteral("SELECT typeof(a), typeof(b), typeof(c), typeof(d), a, length(b) "
                                                   "FROM t WHERE a = ?"),
                                    {QVariant(qlonglong(1) << 40)});
    ASSERT_TRUE(row.first());
    EXPECT_EQ(row.value(0).toString(), QStringLiteral("integer"));
    EXPECT_EQ(row.value(1).toString(), QStringLiteral("blob"));
    EXPECT_EQ(row.value(2).toString(), QStringLiteral("null"));
    EXPECT_EQ(row.value(3).toString(), QStringLiteral("text"));
    EXPECT_EQ(row.value(4).toLongLong(), qlonglong(1) << 40);
    EXPECT_EQ(row.value(5).toInt(), 2);
    row.finish();
    // A kept statement runs again with new values.
    EXPECT_TRUE(db.firstValue(QStringLiteral("SELECT 1 FROM t WHERE a = ?"), {QVariant(qlonglong(1) << 40)}).isValid());
    EXPECT_FALSE(db.firstValue(QStringLiteral("SELECT 1 FROM t WHERE a = ?"), {QVariant(qlonglong(2))}).isValid());
    EXPECT_FALSE(db.firstValue(QStringLiteral("SELECT a FROM t WHERE a = ?"), {QVariant(7)}).isValid());
}

TEST_F(SqliteDatabaseTest, FailuresCarryQtsTextVerbatimWithCodeTwo)
{
    SqliteDatabase db(file("t.sqlite"), true);
    for (const QList<QVariant>& binds : {QList<QVariant>{}, QList<QVariant>{QVariant(1)}}) {
        try {
            db.executeQuery(QStringLiteral("SELECT * FROM \"100%s missing\" WHERE 1 = ?"), binds);
            FAIL() << "no error";
        } catch (ErrorPair& error) {
            EXPECT_EQ(error.code(), SQLITE_INTERNAL);
            EXPECT_NE(std::string(error.message()).find("no such table: 100%s missing"), std::string::npos)
                << error.message();
        }
    }
}

TEST_F(SqliteDatabaseTest, SharingAnOpenConnectionDoesNotReopenIt)
{
    SharedDatabase owner(file("t.sqlite"), true);
    owner.executeQuery(QStringLiteral("CREATE TEMP TABLE scratch(x)"), {});
    {
        // Reopening a QSQLITE connection would close the file and lose TEMP tables.
        SqliteDatabase sharer(owner.handle(), false);
        sharer.executeQuery(QStringLiteral("INSERT INTO scratch VALUES (?)"), {QVariant(1)});
    }
    EXPECT_TRUE(owner.firstValue(QStringLiteral("SELECT x FROM scratch WHERE x = ?"), {QVariant(1)}).isValid());
}

TEST_F(SqliteDatabaseTest, UnopenableFileIsAnError)
{
    try {
        SqliteDatabase db(file("no/such/dir/t.sqlite"), true);
        FAIL() << "opened";
    } catch (ErrorPair& error) {
        EXPECT_EQ(error.code(), SQLITE_INTERNAL);
        EXPECT_NE(error.message(), nullptr);
    }
}

} // namespace
