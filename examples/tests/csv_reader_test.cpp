// Tests of the CSV reader: quoting and line endings, how fields are typed, the
// header, and the errors that refuse a file, each naming its line.
#include "csv/csv_reader.h"
#include "scratch.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace std::string_literals;
using csvfile::Cell;
using csvfile::Contents;

namespace {

Contents parsed(std::string_view text)
{
    Contents contents;
    std::string error;
    EXPECT_TRUE(csvfile::parseCsv(text, contents, error)) << error;
    return contents;
}

std::string parseError(std::string_view text)
{
    Contents contents;
    std::string error;
    EXPECT_FALSE(csvfile::parseCsv(text, contents, error));
    return error;
}

Cell field(const char* text)
{
    return csvfile::cellFromField(text, std::char_traits<char>::length(text));
}

Cell text(const char* value)
{
    return Cell(std::string(value));
}

Cell integer(sqlite3_int64 value)
{
    return Cell(value);
}

} // namespace

TEST(CsvQuoting, QuotedFieldsHoldCommasQuotesAndLineBreaks)
{
    Contents contents = parsed("a,b\n"
                               "\"x, y\",\"say \"\"hi\"\"\"\n"
                               "\"two\nlines\",\"crlf\r\ninside\"\n");
    ASSERT_EQ(contents.rows.size(), 2u);
    EXPECT_EQ(contents.rows[0], (csvfile::Row{text("x, y"), text("say \"hi\"")}));
    EXPECT_EQ(contents.rows[1], (csvfile::Row{text("two\nlines"), text("crlf\r\ninside")}));
}

TEST(CsvQuoting, RecordsEndWithLfCrlfOrCrAndTheLastNeedsNone)
{
    const csvfile::Row expected{integer(1), integer(2)};
    for (std::string_view file : {"a,b\n1,2\n", "a,b\r\n1,2\r\n", "a,b\r1,2\r", "a,b\n1,2"}) {
        Contents contents = parsed(file);
        EXPECT_EQ(contents.columns, (std::vector<std::string>{"a", "b"}));
        ASSERT_EQ(contents.rows.size(), 1u) << file;
        EXPECT_EQ(contents.rows[0], expected) << file;
    }
}

TEST(CsvQuoting, BlankLinesAndAByteOrderMarkAreSkippedButSpacesKept)
{
    Contents contents = parsed("\xEF\xBB\xBFname,kind\n\n a , b\r\n\r\n\nc,d\n\n");
    EXPECT_EQ(contents.columns, (std::vector<std::string>{"name", "kind"}));
    ASSERT_EQ(contents.rows.size(), 2u);
    EXPECT_EQ(contents.rows[0], (csvfile::Row{text(" a "), text(" b")}));
    EXPECT_EQ(contents.rows[1], (csvfile::Row{text("c"), text("d")}));
}

TEST(CsvValues, EmptyUnquotedIsNullAndQuotedEmptyIsEmptyText)
{
    Contents contents = parsed("a,b,c\n,\"\",\n");
    ASSERT_EQ(contents.rows.size(), 1u);
    EXPECT_EQ(contents.rows[0], (csvfile::Row{Cell(), text(""), Cell()}));
}

TEST(CsvValues, NumbersWrittenAsJsonWritesThemAreIntegersAndReals)
{
    EXPECT_EQ(field("0"), integer(0));
    EXPECT_EQ(field("-17"), integer(-17));
    EXPECT_EQ(field("9223372036854775807"), integer(9223372036854775807));
    EXPECT_EQ(field("1.5"), Cell(1.5));
    EXPECT_EQ(field("-0.25"), Cell(-0.25));
    EXPECT_EQ(field("2e3"), Cell(2000.0));
    EXPECT_EQ(field("1.5E-2"), Cell(0.015));
    // Too large for 64 bits: a real, as SQLite reads such a literal.
    EXPECT_EQ(field("9223372036854775808"), Cell(9223372036854775808.0));
}

TEST(CsvValues, AnythingElseStaysTextExactlyAsWritten)
{
    for (const char* value : {"007", "+5", " 5", "5 ", "1.", ".5", "1e", "-", "0x10", "1,000", "NaN", "inf",
                              "1e999", "2024-06-11", "12abc", ""}) {
        EXPECT_EQ(field(value), text(value)) << value;
    }
    EXPECT_EQ(csvfile::cellFromField(nullptr, 0), Cell());
}

TEST(CsvHeader, GivesTheColumnNamesAndAHeaderAloneGivesNoRows)
{
    Contents contents = parsed("id,\"road name\",\"say \"\"what\"\"\"\n");
    EXPECT_EQ(contents.columns, (std::vector<std::string>{"id", "road name", "say \"what\""}));
    EXPECT_TRUE(contents.rows.empty());
}

TEST(CsvHeader, EveryColumnNeedsADistinctName)
{
    EXPECT_EQ(parseError("a,,c\n1,2,3\n"), "line 1: column 2 of the header has no name");
    EXPECT_EQ(parseError("\n\na,\"\"\n"), "line 3: column 2 of the header has no name");
    EXPECT_EQ(parseError("id,Name,NAME\n"), "line 1: column name \"NAME\" appears twice in the header");
}

TEST(CsvHeader, AFileWithoutOneIsRefused)
{
    EXPECT_EQ(parseError(""), "has no header row: the file is empty");
    EXPECT_EQ(parseError("\n\r\n\n"), "has no header row: the file is empty");
    EXPECT_EQ(parseError("\xEF\xBB\xBF"), "has no header row: the file is empty");
}

TEST(CsvErrors, ARecordWithTheWrongFieldCountNamesTheLineItStartsOn)
{
    EXPECT_EQ(parseError("a,b\n1,2\n1,2,3\n"), "line 3: the record has 3 fields, the header has 2 fields");
    EXPECT_EQ(parseError("a,b\n1,2\n\n3\n"), "line 4: the record has 1 field, the header has 2 fields");
    // Line breaks inside quotes and CRLF endings count as lines.
    EXPECT_EQ(parseError("a,b\r\n\"x\r\ny\",2\r\n\"p\nq\nr\",2,3\r\n"),
              "line 4: the record has 3 fields, the header has 2 fields");
}

TEST(CsvErrors, MisplacedQuotesAreRefusedAtTheirLine)
{
    const std::string misplaced = "misplaced quote: a field that holds quotes must be quoted as a whole, "
                                  "with each inner quote doubled";
    EXPECT_EQ(parseError("a,b\n1,x\"y\n"), "line 2: " + misplaced);
    EXPECT_EQ(parseError("a,b\n1,2\n\"x\" ,y\n"), "line 3: " + misplaced);
    EXPECT_EQ(parseError("a,b\n\"1\n2\"x,y\n"), "line 3: " + misplaced);
}

TEST(CsvErrors, AnUnclosedQuoteNamesTheLineItsRecordStartsOn)
{
    EXPECT_EQ(parseError("a,b\n1,2\n3,\"four\n5,6\n"), "line 3: quoted field not closed by the end of the file");
    EXPECT_EQ(parseError("a,\"b"), "line 1: quoted field not closed by the end of the file");
}

TEST(CsvErrors, BinaryOrNonUtf8TextIsRefused)
{
    EXPECT_EQ(parseError("a,b\n1,2\n\x7f" "ELF\0\0"s), "line 3: NUL byte: this is not a text file");
    EXPECT_EQ(parseError("a,b\nS\xE3o Paulo,1\n"), "line 2: not valid UTF-8");
    EXPECT_EQ(parseError("a,b\n\xC0\xAF,1\n"), "line 2: not valid UTF-8");       // overlong '/'
    EXPECT_EQ(parseError("a,b\n\xED\xA0\x80,1\n"), "line 2: not valid UTF-8");   // a surrogate
    EXPECT_EQ(parseError("a,b\n1,\xE2\x82"), "line 2: not valid UTF-8");          // cut short
    Contents contents = parsed("a,b\nS\xC3\xA3o Paulo,\xF0\x9F\x9A\xA7\n");
    EXPECT_EQ(contents.rows[0][0], text("S\xC3\xA3o Paulo"));
}

TEST(CsvFiles, AFileIsReadWhenItIsReadOnly)
{
    const std::string path = writeScratchFile("read-only.csv", "a,b\n1,x\n");
    ASSERT_EQ(chmod(path.c_str(), 0444), 0);
    Contents contents;
    std::string error;
    ASSERT_TRUE(csvfile::readCsvFile(path, contents, error)) << error;
    EXPECT_EQ(contents.rows.size(), 1u);
}

TEST(CsvFiles, ErrorsNameTheFile)
{
    Contents contents;
    std::string error;
    const std::string missing = scratchPath("missing.csv");
    EXPECT_FALSE(csvfile::readCsvFile(missing, contents, error));
    EXPECT_EQ(error, "cannot open CSV file \"" + missing + "\": No such file or directory");

    EXPECT_FALSE(csvfile::readCsvFile(scratchPath(""), contents, error));
    EXPECT_EQ(error, "CSV file \"" + scratchPath("") + "\" is a directory");

    EXPECT_FALSE(csvfile::readCsvFile("/dev/null", contents, error));
    EXPECT_EQ(error, "CSV file \"/dev/null\" is not a regular file");

    const std::string ragged = writeScratchFile("ragged.csv", "a,b\n1\n");
    EXPECT_FALSE(csvfile::readCsvFile(ragged, contents, error));
    EXPECT_EQ(error, "CSV file \"" + ragged + "\" line 2: the record has 1 field, the header has 2 fields");
}
