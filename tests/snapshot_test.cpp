// Row snapshots: byte layout, round trips, and decoding of damaged blobs.
#include "changelog/row_snapshot.h"

#include <gtest/gtest.h>

#include <QDataStream>

namespace {

TEST(Snapshot, EmptyRowIsFourZeroBytes)
{
    EXPECT_EQ(rowToBlob({}), QByteArray(4, '\0'));
    EXPECT_TRUE(rowFromBytes(QByteArray(4, '\0')).isEmpty());
}

TEST(Snapshot, CountPrefixIsBigEndianAndLayoutIsQtStreamVersion16)
{
    const QList<QVariant> row{QVariant(qlonglong(1)), QVariant(QStringLiteral("a")), QVariant(2.0)};
    const QByteArray blob = rowToBlob(row);
    EXPECT_EQ(blob.left(4), QByteArray::fromHex("00000003"));
    QByteArray expected;
    QDataStream stream(&expected, QIODevice::WriteOnly);
    stream.setVersion(QDataStream::Qt_5_4);
    stream << row;
    EXPECT_EQ(blob, expected);
    // qlonglong: type 4, not null, 8 bytes big-endian.
    EXPECT_EQ(blob.mid(4, 13), QByteArray::fromHex("00000004" "00" "0000000000000001"));
}

TEST(Snapshot, RoundTripKeepsTypesValuesAndNullStrings)
{
    const QList<QVariant> row{QVariant(qlonglong(-9000000000000000000LL)), QVariant(0.1),
                              QVariant(QStringLiteral("\u00e9t\u00e9\u0000x")), QVariant(QByteArray("\0\xff", 2)),
                              QVariant(QString()), QVariant(QByteArray())};
    const QList<QVariant> back = rowFromBytes(rowToBlob(row));
    ASSERT_EQ(back.size(), row.size());
    for (int i = 0; i < row.size(); ++i) {
        EXPECT_EQ(back[i].type(), row[i].type()) << i;
        EXPECT_EQ(back[i], row[i]) << i;
    }
    EXPECT_TRUE(back[4].toString().isNull());
    EXPECT_FALSE(back[2].toString().isNull());
}

TEST(Snapshot, DamagedBlobsDecodeToNothingRatherThanPartOfARow)
{
    const QByteArray three = rowToBlob({QVariant(qlonglong(1)), QVariant(qlonglong(2)), QVariant(qlonglong(3))});
    EXPECT_TRUE(rowFromBytes(QByteArray()).isEmpty());
    EXPECT_TRUE(rowFromBytes(QByteArray("\0\0", 2)).isEmpty());
    EXPECT_TRUE(rowFromBytes(three.left(three.size() - 1)).isEmpty());
    EXPECT_TRUE(rowFromBytes(three.left(4 + 13 * 2)).isEmpty());
    QByteArray badType = three;
    badType[7] = char(0x7f); // a user type id
    EXPECT_TRUE(rowFromBytes(badType).isEmpty());
    EXPECT_EQ(rowFromBytes(three).size(), 3);
}

TEST(Snapshot, HugeCountsAndNestedContainersAreRefusedQuickly)
{
    EXPECT_TRUE(rowFromBytes(QByteArray::fromHex("ffffffff")).isEmpty());
    EXPECT_TRUE(rowFromBytes(QByteArray::fromHex("7fffffff") + QByteArray(64, '\0')).isEmpty());
    // One variant holding a list that claims two billion entries.
    EXPECT_TRUE(rowFromBytes(QByteArray::fromHex("00000001" "00000009" "00" "7fffffff")).isEmpty());
    const QList<QVariant> nested{QVariant(QVariantList{QVariant(1)})};
    EXPECT_TRUE(rowFromBytes(rowToBlob(nested)).isEmpty());
}

} // namespace
