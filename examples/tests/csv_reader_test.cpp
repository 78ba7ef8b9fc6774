// The CSV reader: quoting and line endings, how fields are typed, the header,
// and the errors that refuse a file, each naming its line.
#include "csv/csv_reader.h"

#include <gtest/gtest.h>

using namespace std::string_literals;

namespace {

// The column names joined by '|', then " / " and each row's cells: 1, 1.5, 'text', NULL.
std::string parsed(const std::string& text)
{
    csvfile::Contents contents;
    std::string out;
    if (!csvfile::parseCsv(text, contents, out))
        return out;
    for (const std::string& column : contents.columns)
        out += (out.empty() ? "" : "|") + column;
    for (const csvfile::Row& row : contents.rows) {
        for (size_t i = 0; i < row.size(); ++i) {
            char real[40];
            if (auto value = std::get_if<double>(&row[i]))
                sqlite3_snprintf(sizeof real, real, "%!.15g", *value);
            out += i ? "|" : " / ";
            out += std::visit([&real](const auto& cell) -> std::string {
                using T = std::decay_t<decltype(cell)>;
                if constexpr (std::is_same_v<T, std::string>)
                    return "'" + cell + "'";
                else if constexpr (std::is_same_v<T, sqlite3_int64>)
                    return std::to_string(cell);
                else if constexpr (std::is_same_v<T, double>)
                    return real;
                else
                    return "NULL";
            }, row[i]);
        }
    }
    return out;
}

TEST(CsvReader, ParsesOrRefusesEachFile)
{
    const std::string misplaced = "misplaced quote: a field that holds quotes must be quoted as a whole, with each "
                                  "inner quote doubled";
    const std::pair<std::string, std::string> files[] = {
        {"a,b\n\"x, y\",\"say \"\"hi\"\"\"\n\"two\nlines\",\"crlf\r\ninside\"\n",
         "a|b / 'x, y'|'say \"hi\"' / 'two\nlines'|'crlf\r\ninside'"},
        {"a,b\r\n1,2\r\n", "a|b / 1|2"},
        {"a,b\r1,2\r", "a|b / 1|2"},
        {"a,b\n1,2", "a|b / 1|2"},
        {"\xEF\xBB\xBFname,kind\n\n a , b\r\n\r\n\nc,d\n\n", "name|kind / ' a '|' b' / 'c'|'d'"},
        {"a,b,c\n,\"\",\n", "a|b|c / NULL|''|NULL"},
        {"n\n0\n-17\n9223372036854775807\n1.5\n-0.25\n2e3\n1.5E-2\n9223372036854775808\n",
         "n / 0 / -17 / 9223372036854775807 / 1.5 / -0.25 / 2000.0 / 0.015 / 9.22337203685478e+18"},
        {"t\n007\n+5\n 5\n5 \n1.\n.5\n1e\n-\n0x10\nNaN\ninf\n1e999\n2024-06-11\n12abc\n",
         "t / '007' / '+5' / ' 5' / '5 ' / '1.' / '.5' / '1e' / '-' / '0x10' / 'NaN' / 'inf' / '1e999' / "
         "'2024-06-11' / '12abc'"},
        {"id,\"road name\",\"say \"\"what\"\"\"\n", "id|road name|say \"what\""},
        {"a,b\nS\xC3\xA3o Paulo,\xF0\x9F\x9A\xA7\n", "a|b / 'S\xC3\xA3o Paulo'|'\xF0\x9F\x9A\xA7'"},
        {"a,,c\n1,2,3\n", "line 1: column 2 of the header has no name"},
        {"\n\na,\"\"\n", "line 3: column 2 of the header has no name"},
        {"id,Name,NAME\n", "line 1: column name \"NAME\" appears twice in the header"},
        {"", "has no header row: the file is empty"},
        {"\n\r\n\n", "has no header row: the file is empty"},
        {"\xEF\xBB\xBF", "has no header row: the file is empty"},
        {"a,b\n1,2\n1,2,3\n", "line 3: the record has 3 fields, the header has 2 fields"},
        {"a,b\n1,2\n\n3\n", "line 4: the record has 1 field, the header has 2 fields"},
        {"a,b\r\n\"x\r\ny\",2\r\n\"p\nq\nr\",2,3\r\n", "line 4: the record has 3 fields, the header has 2 fields"},
        {"a,b\n1,x\"y\n", "line 2: " + misplaced},
        {"a,b\n1,2\n\"x\" ,y\n", "line 3: " + misplaced},
        {"a,b\n\"1\n2\"x,y\n", "line 3: " + misplaced},
        {"a,b\n1,2\n3,\"four\n5,6\n", "line 3: quoted field not closed by the end of the file"},
        {"a,\"b", "line 1: quoted field not closed by the end of the file"},
        {"a,b\n1,2\n\x7f" "ELF\0\0"s, "line 3: NUL byte: this is not a text file"},
        {"a,b\nS\xE3o Paulo,1\n", "line 2: not valid UTF-8"},
        {"a,b\n\xC0\xAF,1\n", "line 2: not valid UTF-8"},     // an overlong '/'
        {"a,b\n\xED\xA0\x80,1\n", "line 2: not valid UTF-8"}, // a surrogate
        {"a,b\n1,\xE2\x82", "line 2: not valid UTF-8"},       // cut short
    };
    for (const auto& [text, expected] : files)
        EXPECT_EQ(parsed(text), expected) << text;
}

} // namespace
