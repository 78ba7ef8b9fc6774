// The file path read from the first module argument, and the decoding of
// damaged row snapshots.
#include "changelog/row_snapshot.h"
#include "overlay/file_path.h"

#include <gtest/gtest.h>

namespace {

TEST(FilePath, QuotedOrBareFirstToken)
{
    const std::pair<const char*, const char*> paths[] = {
        {"'/data/maps/roads.tab'", "/data/maps/roads.tab"},
        {"'old maps/a b.tab' trailing words", "old maps/a b.tab"},
        {"  \troads.tab second", "roads.tab"},
        {"'it''s.tab'", "it's.tab"},
        {"''''", "'"},
        {R"('it\'s.tab')", "it's.tab"},
        {R"('maps\roads.tab')", "mapsroads.tab"},
        {R"('a\\b')", "a\\b"},
        {"'no closing quote", "no closing quote"},
        {R"('ends in backslash\)", "ends in backslash"},
        {"''", ""},
        {"'a'' b", "a' b"},
        {"   ", "   "},
        {"", ""},
        {"'/d\xC3\xA4ten/stra\xC3\x9F" "e.tab'", "/d\xC3\xA4ten/stra\xC3\x9F" "e.tab"},
    };
    for (const auto& [argument, path] : paths) {
        const char* argv[] = {"overlay", "main", "t", argument, "extra"};
        EXPECT_EQ(parseFilePath(5, argv).toStdString(), path) << argument;
    }
}

TEST(Snapshot, DamagedBlobsDecodeToNothingRatherThanPartOfARow)
{
    const QList<QVariant> three{QVariant(qlonglong(1)), QVariant(qlonglong(2)), QVariant(qlonglong(3))};
    const QByteArray blob = rowToBlob(three);
    const QByteArray damaged[] = {
        QByteArray(), QByteArray("\0\0", 2), blob.left(blob.size() - 1), blob.left(4 + 13 * 2),
        QByteArray(blob).replace(7, 1, "\x7f"), // a user type
        QByteArray::fromHex("ffffffff"), QByteArray::fromHex("7fffffff") + QByteArray(64, '\0'),
        // One variant holding a list that claims two billion entries, and a real nested list.
        QByteArray::fromHex("00000001" "00000009" "00" "7fffffff"), rowToBlob({QVariant(QVariantList{QVariant(1)})}),
    };
    for (const QByteArray& bytes : damaged)
        EXPECT_TRUE(rowFromBytes(bytes).isEmpty()) << bytes.toHex().constData();
    EXPECT_EQ(rowFromBytes(blob), three);
}

} // namespace
