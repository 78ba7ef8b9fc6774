// The file path read from the first module argument, as SQLite hands it over.
#include "common/error_pair.h"
#include "overlay/file_path.h"

#include <gtest/gtest.h>

namespace {

QString pathOf(const char* argument)
{
    const char* argv[] = {"overlay", "main", "t", argument, "extra"};
    return parseFilePath(5, argv);
}

TEST(FilePath, QuotedAndBareArguments)
{
    EXPECT_EQ(pathOf("'/data/maps/roads.tab'"), QStringLiteral("/data/maps/roads.tab"));
    EXPECT_EQ(pathOf("'old maps/a b.tab'"), QStringLiteral("old maps/a b.tab"));
    EXPECT_EQ(pathOf("roads.tab second"), QStringLiteral("roads.tab"));
    EXPECT_EQ(pathOf("  \troads.tab"), QStringLiteral("roads.tab"));
    EXPECT_EQ(pathOf("'a.tab' trailing words"), QStringLiteral("a.tab"));
}

TEST(FilePath, DoubledQuoteAndBackslashEscapes)
{
    // SQL itself writes a quote inside a string as two.
    EXPECT_EQ(pathOf("'it''s.tab'"), QStringLiteral("it's.tab"));
    EXPECT_EQ(pathOf("''''"), QStringLiteral("'"));
    EXPECT_EQ(pathOf(R"('it\'s.tab')"), QStringLiteral("it's.tab"));
    EXPECT_EQ(pathOf(R"('maps\roads.tab')"), QStringLiteral("mapsroads.tab"));
    EXPECT_EQ(pathOf(R"('a\\b')"), QStringLiteral("a\\b"));
}

TEST(FilePath, UnfinishedTextEndsTheToken)
{
    EXPECT_EQ(pathOf("'no closing quote"), QStringLiteral("no closing quote"));
    EXPECT_EQ(pathOf(R"('ends in backslash\)"), QStringLiteral("ends in backslash"));
    EXPECT_EQ(pathOf("''"), QString());
    EXPECT_EQ(pathOf("'a'' b"), QStringLiteral("a' b"));
}

TEST(FilePath, BlankArgumentIsKeptUnchanged)
{
    EXPECT_EQ(pathOf("   "), QStringLiteral("   "));
    EXPECT_EQ(pathOf(""), QString());
}

TEST(FilePath, Utf8IsDecoded)
{
    EXPECT_EQ(pathOf("'/d\xC3\xA4ten/stra\xC3\x9F" "e.tab'"), QStringLiteral("/d\u00e4ten/stra\u00dfe.tab"));
}

TEST(FilePath, MissingArgumentIsMisuse)
{
    const char* argv[] = {"overlay", "main", "t"};
    try {
        parseFilePath(3, argv);
        FAIL() << "no error";
    } catch (ErrorPair& error) {
        EXPECT_EQ(error.code(), SQLITE_MISUSE);
        EXPECT_STREQ(error.message(), "Missing filepath");
    }
}

} // namespace
