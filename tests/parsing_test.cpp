// The file path read from the first module argument, the decoding of damaged
// row snapshots, and the rowid set against std::set.
#include "changelog/row_snapshot.h"
#include "changelog/rowid_set.h"
#include "overlay/file_path.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <malloc.h>
#include <random>
#include <set>

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
        {"'/d\xC3\xA4ten/stra\xC3\x9F"
         "e.tab'",
         "/d\xC3\xA4ten/stra\xC3\x9F"
         "e.tab"},
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
    QByteArray userType = blob;
    userType[7] = char(0x7f);
    const QByteArray damaged[] = {
        QByteArray(),
        QByteArray("\0\0", 2),
        blob.left(blob.size() - 1),
        blob.left(4 + 13 * 2),
        userType,
        QByteArray::fromHex("ffffffff"),
        QByteArray::fromHex("7fffffff") + QByteArray(64, '\0'),
        // One variant holding a list that claims two billion entries, and a real nested list.
        QByteArray::fromHex("00000001"
                            "00000009"
                            "00"
                            "7fffffff"),
        rowToBlob({QVariant(QVariantList{QVariant(1)})}),
    };
    for (const QByteArray& bytes : damaged)
        EXPECT_TRUE(rowFromBlob(bytes).isEmpty()) << bytes.toHex().constData();
    EXPECT_EQ(rowFromBlob(blob), three);
    // The writer's kinds of value are read in place, and read as rowFromBlob reads them.
    const QList<QVariant> mixed{
        QVariant(qlonglong(-7)),        QVariant(2.5),       QVariant(QStringLiteral("t\u00e4")),
        QVariant(QByteArray("\0b", 2)), QVariant(QString()), QVariant(QByteArray())};
    const RowSnapshot snapshot(rowToBlob(mixed));
    ASSERT_EQ(snapshot.count(), mixed.size());
    for (int column = 0; column < mixed.size(); ++column) {
        EXPECT_NE(snapshot.field(column), nullptr) << column;
        EXPECT_EQ(snapshot.value(column), rowFromBlob(rowToBlob(mixed))[column]) << column;
    }
}

// Chunks fill up into bitmaps and empty out into arrays again, rowids far apart
// move between blocks and chunks; rowids at both ends of the 64-bit range and
// around chunk borders.
TEST(RowidSet, AgreesWithAnOrderedSet)
{
    constexpr qint64 least = std::numeric_limits<qint64>::min(), most = std::numeric_limits<qint64>::max();
    const std::pair<qint64, qint64> bases[] = {{least, 1},
                                               {-65536, 1},
                                               {0, 1},
                                               {65536 * 7, 1},
                                               {most - 70000, 1},
                                               {qint64(1) << 40, 1500},
                                               {-(qint64(1) << 62), qint64(1) << 40}};
    std::mt19937_64 random(5);
    RowidSet set;
    std::set<qint64> model;
    auto firstAbsent = [&model](qint64 from) -> std::optional<qint64> {
        for (auto at = model.lower_bound(from); at != model.end() && *at == from; ++at) {
            if (from == most)
                return std::nullopt;
            ++from;
        }
        return from;
    };
    auto agrees = [&](qint64 probe) {
        auto bound = model.lower_bound(probe);
        ASSERT_EQ(set.lowerBound(probe), bound == model.end() ? std::nullopt : std::optional<qint64>(*bound));
        ASSERT_EQ(set.firstAbsentFrom(probe), firstAbsent(probe)) << probe;
        ASSERT_EQ(set.contains(probe), model.count(probe) > 0);
        ASSERT_EQ(set.size(), qint64(model.size()));
    };
    for (int round = 0; round < 70000; ++round) {
        const auto [base, step] = bases[random() % 5 ? random() % 5 : 5 + random() % 2];
        const qint64 rowid = base + qint64(random() % (round < 40000 ? 70000 : 9000)) * step;
        if (round < 40000 || random() % 3 == 0)
            EXPECT_EQ(set.insert(rowid), model.insert(rowid).second);
        else
            EXPECT_EQ(set.erase(rowid), model.erase(rowid) > 0);
        if (round % 97 == 0)
            agrees(base + qint64(random() % 70000) * step);
    }
    std::vector<qint64> listed;
    set.forEach([&listed](qint64 rowid) { listed.push_back(rowid); });
    EXPECT_EQ(listed, std::vector<qint64>(model.begin(), model.end()));
    // Emptied in order: bitmaps turn back into arrays, chunks into blocks.
    for (size_t erased = 0; erased < listed.size(); ++erased) {
        EXPECT_TRUE(set.erase(listed[erased]));
        model.erase(listed[erased]);
        if (erased % 97 == 0)
            agrees(listed[erased] + qint64(random() % 3));
    }
    EXPECT_EQ(set.insert(most), model.insert(most).second);
    EXPECT_EQ(set.firstAbsentFrom(most), firstAbsent(most));
    // A run of a chunk's members that ends one short of its last rowid leaves that one free.
    RowidSet run;
    for (qint64 rowid = 65495; rowid < 65535; ++rowid)
        run.insert(rowid);
    EXPECT_EQ(run.firstAbsentFrom(65495), std::optional<qint64>(65535));
}

// Rowids far apart, given in order or not, cost at most 32 bytes each; rowids
// side by side a bit or two.
TEST(RowidSet, MembersFarApartStayCheap)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer's allocator keeps books of its own";
#endif
    auto bytesPerMember = [](const std::vector<qint64>& rowids) {
        const size_t before = mallinfo2().uordblks;
        RowidSet set;
        for (qint64 rowid : rowids)
            set.insert(rowid);
        EXPECT_EQ(set.size(), qint64(rowids.size()));
        return double(mallinfo2().uordblks - before) / double(rowids.size());
    };
    std::vector<qint64> apart, together;
    for (qint64 i = -500000; i < 500000; ++i) {
        apart.push_back(i * (qint64(1) << 40));
        together.push_back(i);
    }
    EXPECT_LE(bytesPerMember(together), 1.0);
    EXPECT_LE(bytesPerMember(apart), 32.0);
    std::shuffle(apart.begin(), apart.end(), std::mt19937_64(7));
    EXPECT_LE(bytesPerMember(apart), 32.0);
}

} // namespace
