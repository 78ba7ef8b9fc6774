// The index's memory of the first free rowid, kept up to date as rows come and go.
#include "changelog/log_index.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

TEST(LogIndex, FirstFreeRowidFollowsStoredAndRemovedRows)
{
    LogIndex index;
    const QList<QVariant> row{QVariant(1)};
    EXPECT_EQ(index.firstUnstoredFrom(11), 11);
    for (qint64 rowid = 11; rowid <= 20; ++rowid)
        index.store(rowid, row);
    EXPECT_EQ(index.firstUnstoredFrom(11), 21);
    index.remove(15);
    EXPECT_EQ(index.firstUnstoredFrom(11), 15);
    index.remove(18);
    EXPECT_EQ(index.firstUnstoredFrom(11), 15);
    index.store(15, row);
    EXPECT_EQ(index.firstUnstoredFrom(11), 18);
    index.store(18, row);
    index.store(22, row);
    EXPECT_EQ(index.firstUnstoredFrom(11), 21);
    index.store(21, row);
    EXPECT_EQ(index.firstUnstoredFrom(11), 23);
    index.remove(3);
    index.store(40, row);
    EXPECT_EQ(index.firstUnstoredFrom(11), 23);
    // Another starting point is walked afresh.
    EXPECT_EQ(index.firstUnstoredFrom(40), 41);
    EXPECT_EQ(index.firstUnstoredFrom(12), 23);
}

TEST(LogIndex, NoFreeRowidUpToTheLargest)
{
    LogIndex index;
    const qint64 last = std::numeric_limits<qint64>::max();
    index.store(last - 1, {});
    index.store(last, {});
    EXPECT_EQ(index.firstUnstoredFrom(last - 1), std::nullopt);
    index.remove(last);
    EXPECT_EQ(index.firstUnstoredFrom(last - 1), last);
}

} // namespace
