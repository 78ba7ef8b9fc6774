// csvtable's reading, step by step as the module takes it: a line runs to a
// line break outside quotes (a carriage return is one, NUL bytes are passed
// over), fields part at any separator outside quotes, a leading quote and its
// closing one come off with doubled quotes made single, and the text is then
// converted and typed.
#include "extension/csvtable_format.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <tuple>

SQLITE_EXTENSION_INIT3

namespace csvtable {
namespace {

// The module's own unquoting of an argument: one pair of matching quotes off.
std::string unquoted(const QByteArray& argument)
{
    std::string text = argument.toStdString();
    if (text.size() >= 2 && (text[0] == '"' || text[0] == '\'') && text.back() == text[0])
        return text.substr(1, text.size() - 2);
    return text;
}

ColumnType typeNamed(const char* type)
{
    const std::size_t length = std::strlen(type);
    if (length >= 3 && ::strncasecmp(type, "integer", 7) == 0)
        return ColumnType::Integer;
    for (const char* real : {"double", "float", "real"}) {
        if (length >= std::strlen(real) && ::strncasecmp(type, real, std::strlen(real)) == 0)
            return ColumnType::Real;
    }
    return ColumnType::Text;
}

// Reads the line from at as the module does; returns false at the end of the
// file. Sets end past its line break, and hitEnd when the module met the end
// of the file on the way (it then shows no row for the line). Each byte the
// module keeps of the line goes to keep.
template <typename Keep>
bool readLine(std::string_view file, std::size_t& at, std::string_view quotes, bool& dos, bool& hitEnd, Keep&& keep)
{
    bool any = false;
    char quote = 0;
    hitEnd = false;
    for (;;) {
        if (at >= file.size()) {
            hitEnd = true;
            return any;
        }
        char c = file[at++];
        if (c == '\0')
            continue;
        if (c == '\r') {
            if (at >= file.size())
                hitEnd = true;
            else if (file[at] == '\n')
                dos = true, ++at;
            c = '\n';
        }
        if (dos && c == '\032' && at >= file.size()) {
            hitEnd = true;
            return any;
        }
        any = true;
        keep(c);
        if (const void* found = quotes.empty() ? nullptr : std::memchr(quotes.data(), c, quotes.size())) {
            if (!quote)
                quote = c;
            else if (*static_cast<const char*>(found) == quote)
                quote = 0;
        }
        if (!quote && c == '\n')
            return true;
    }
}

bool isSpecial(char c, const Format& format)
{
    return c == '\n' || c == '\r' ||
           (format.separators.empty() ? c == ';' : format.separators.find(c) != std::string::npos) ||
           format.quotes.find(c) != std::string::npos;
}

// Text written so that the module's conversions give it back: backslashes and
// control characters escaped, and under conversion 1 single bytes.
bool converted(std::string_view text, long conversion, std::string& data, std::string& why)
{
    data.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == 0) {
            why = "a NUL character, which csvtable passes over";
            return false;
        }
        if (conversion & 2) {
            static const char controls[] = "\\\\\nn\tt\rr\ff\vv\bb\aa";
            const char* found = std::strchr(controls, text[i]);
            if (found && (found - controls) % 2 == 0) {
                data += '\\';
                data += found[1];
                continue;
            }
        }
        // The module widens a byte from 0x80 up as a signed char: each comes
        // back as one of U+0780..U+07BF (0x80..0xBF) or U+07C0..U+07FF
        // (0xC0..0xFF), and only those can be written.
        if ((conversion & 1) && c >= 0x80) {
            const unsigned char next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
            if ((c != 0xDE && c != 0xDF) || (next & 0xC0) != 0x80) {
                why = "a character that the file's conversion 1 (Latin-1) does not give back";
                return false;
            }
            data += static_cast<char>((c == 0xDF ? 0xC0 : 0x80) | (next & 0x3F));
            ++i;
            continue;
        }
        data += text[i];
    }
    return true;
}

std::string shown(const ReadValue& value)
{
    switch (value.type) {
    case SQLITE_INTEGER:
        return "the integer " + std::to_string(value.integer);
    case SQLITE_FLOAT: {
        char digits[40];
        return "the real " + std::string(digits, std::to_chars(digits, digits + sizeof digits, value.real).ptr);
    }
    default:
        return "the text '" + value.text + "'";
    }
}

} // namespace

ColumnType Format::typeOf(int column) const
{
    return column >= 0 && static_cast<std::size_t>(column) < types.size() ? types[static_cast<std::size_t>(column)]
                                                                          : ColumnType::Text;
}

std::pair<std::string, std::string> guess(std::string_view file)
{
    long histogram[256] = {};
    long lines = 0;
    std::size_t at = 0;
    bool dos = false, hitEnd = false;
    for (int i = 0; i < 10 && at < file.size(); ++i) {
        if (!readLine(file, at, {}, dos, hitEnd, [&](char c) { ++histogram[static_cast<unsigned char>(c)]; }))
            break;
        ++lines;
    }
    std::string quotes, separators;
    for (char quote : {'"', '\''}) {
        if (histogram[static_cast<unsigned char>(quote)] > 1)
            quotes += quote;
    }
    for (const auto& [separator, least] : {std::pair{',', 2}, {';', 2}, {'\t', 2}, {' ', 4}, {'|', 2}}) {
        if (histogram[static_cast<unsigned char>(separator)] > least * lines)
            separators += separator;
    }
    return {separators, quotes};
}

Format formatOf(const std::vector<QByteArray>& arguments, std::string_view file)
{
    Format format;
    const auto argument = [&](std::size_t index) {
        return index < arguments.size() ? unquoted(arguments[index]) : std::string();
    };
    format.path = argument(3);
    format.header = std::strtol(argument(4).c_str(), nullptr, 10);
    format.conversion = std::strtol(argument(5).c_str(), nullptr, 10);
    format.separators = argument(6);
    format.quotes = argument(7);
    if (format.separators.empty() && format.quotes.empty()) {
        format.guessed = true;
        std::tie(format.separators, format.quotes) = guess(file);
    }
    // Without a header the arguments name each column and its type; with a
    // negative one they give the header's columns their types.
    for (std::size_t index = 8; index < arguments.size() && format.header <= 0; ++index) {
        const std::string given = argument(index);
        const char* type = given.c_str();
        if (format.header == 0) {
            type += std::strcspn(type, " \t");
            type += std::strspn(type, " \t");
        }
        format.types.push_back(typeNamed(type));
    }
    return format;
}

Layout layoutOf(std::string_view file, const Format& format)
{
    Layout layout;
    std::size_t at = 0;
    bool dos = false, hitEnd = false;
    const auto skip = [](char) {};
    if (format.header)
        readLine(file, at, format.quotes, dos, hitEnd, skip);
    layout.rowsStart = layout.tailStart = at;
    for (;;) {
        const std::size_t start = at;
        if (!readLine(file, at, format.quotes, dos, hitEnd, skip) || hitEnd)
            break;
        layout.rows.emplace_back(start, at);
        layout.tailStart = at;
    }
    return layout;
}

ReadValue readField(const std::string& field, ColumnType type, long conversion)
{
    std::string data = field;
    static const char numeric[] = "Ee+-.,0123456789";
    const bool number =
        !data.empty() && std::strchr(numeric + 2, data[0]) && data.find_first_not_of(numeric) == std::string::npos;
    const std::size_t comma = data.find(',');
    if (number && comma != std::string::npos) {
        // A number with a decimal comma: its first comma becomes a point.
        data[comma] = '.';
    } else if (conversion) {
        std::string out;
        for (std::size_t i = 0; i < data.size(); ++i) {
            const char c = data[i];
            if ((conversion & 10) == 10 && c == '\\' && i + 1 < data.size() && data[i + 1] == 'q') {
                out += '\'';
                ++i;
            } else if ((conversion & 2) && c == '\\') {
                if (i + 1 >= data.size())
                    break;
                static const char escapes[] = "n\nt\tr\rf\fv\vb\ba\a?\?''\"\"\\\\";
                const char next = data[++i];
                const char* found = std::strchr(escapes, next);
                while (found && (found - escapes) % 2 != 0)
                    found = std::strchr(found + 1, next);
                if (found)
                    out += found[1];
                else
                    out += std::string{c, next};
            } else if ((conversion & 1) && (c & 0x80)) {
                out += static_cast<char>(0xC0 | ((c >> 6) & 0x1F));
                out += static_cast<char>(0x80 | (c & 0x3F));
            } else {
                out += c;
            }
        }
        data = out;
    }
    ReadValue value;
    char* end = nullptr;
    if (type == ColumnType::Integer) {
        const long long integer = std::strtoll(data.c_str(), &end, 0);
        if (end != data.c_str() && !*end) {
            value.type = SQLITE_INTEGER;
            value.integer = integer;
            return value;
        }
    } else if (type == ColumnType::Real) {
        const double real = std::strtod(data.c_str(), &end);
        if (end != data.c_str() && !*end) {
            value.type = SQLITE_FLOAT;
            value.real = real;
            return value;
        }
    }
    value.text = data.c_str();
    return value;
}

std::vector<std::string_view> fieldsOf(std::string_view line, const Format& format)
{
    std::vector<std::string_view> fields;
    if (line.find_first_of(std::string_view("\0\r", 2)) != std::string_view::npos)
        return fields;
    std::size_t start = 0;
    char quote = 0;
    for (std::size_t at = 0; at <= line.size(); ++at) {
        const char c = at < line.size() ? line[at] : '\0';
        if (at < line.size() && format.quotes.find(c) != std::string::npos) {
            if (!quote)
                quote = c;
            else if (c == quote)
                quote = 0;
        }
        if (at == line.size() || (!quote && isSpecial(c, format) && format.quotes.find(c) == std::string::npos)) {
            fields.push_back(line.substr(start, at - start));
            start = at + 1;
        }
    }
    for (std::string_view field : fields) {
        const bool quoted = !field.empty() && format.quotes.find(field[0]) != std::string::npos;
        std::string_view inner = quoted ? field.substr(1, field.size() - 2) : field;
        bool plain = !quoted || (field.size() >= 2 && field.back() == field[0]);
        for (std::size_t at = 0; plain && at < inner.size(); ++at) {
            if (format.quotes.find(inner[at]) == std::string::npos)
                continue;
            plain = quoted && inner[at] == field[0] && at + 1 < inner.size() && inner[at + 1] == field[0];
            ++at;
        }
        if (!plain)
            return {};
    }
    return fields;
}

bool readsAs(std::string_view field, sqlite3_value* value, const Format& format, int column)
{
    std::string data;
    if (!field.empty() && format.quotes.find(field[0]) != std::string::npos) {
        for (std::size_t at = 1; at + 1 < field.size(); ++at) {
            data += field[at];
            if (field[at] == field[0])
                ++at;
        }
    } else {
        data = field;
    }
    const ReadValue back = readField(data, format.typeOf(column), format.conversion);
    if (back.type != sqlite3_value_type(value))
        return false;
    switch (back.type) {
    case SQLITE_INTEGER:
        return back.integer == sqlite3_value_int64(value);
    case SQLITE_FLOAT: {
        const double real = sqlite3_value_double(value);
        return std::memcmp(&back.real, &real, sizeof real) == 0;
    }
    default:
        return back.text == std::string_view(reinterpret_cast<const char*>(sqlite3_value_text(value)),
                                             static_cast<std::size_t>(sqlite3_value_bytes(value)));
    }
}

bool appendValue(sqlite3_value* value, const Format& format, int column, std::string& out, std::string& why)
{
    const ColumnType type = format.typeOf(column);
    std::string text;
    char digits[40];
    switch (sqlite3_value_type(value)) {
    case SQLITE_INTEGER:
        text.assign(digits, std::to_chars(digits, digits + sizeof digits, sqlite3_value_int64(value)).ptr);
        break;
    case SQLITE_FLOAT:
        text.assign(digits, std::to_chars(digits, digits + sizeof digits, sqlite3_value_double(value)).ptr);
        break;
    case SQLITE_TEXT:
        text.assign(reinterpret_cast<const char*>(sqlite3_value_text(value)),
                    static_cast<std::size_t>(sqlite3_value_bytes(value)));
        break;
    default:
        why = sqlite3_value_type(value) == SQLITE_NULL ? "NULL, which csvtable reads only for fields missing at the "
                                                         "end of a line"
                                                       : "a blob, which a CSV file cannot hold";
        return false;
    }
    std::string data;
    if (!converted(text, format.conversion, data, why))
        return false;
    // Read back: the same value, or a number as the column's type holds it
    // (its text in a text column, 8 as 8.0 in a real one, 2.0 as 2 in an
    // integer one) when that is the same number.
    const ReadValue back = readField(data, type, format.conversion);
    const int given = sqlite3_value_type(value);
    const double real = sqlite3_value_double(value);
    bool same = false;
    if (given == SQLITE_TEXT || back.type == SQLITE_TEXT)
        same = back.type == SQLITE_TEXT && back.text == text && (given == SQLITE_TEXT || type == ColumnType::Text);
    else if (given == SQLITE_INTEGER && back.type == SQLITE_INTEGER)
        same = back.integer == sqlite3_value_int64(value);
    else if (given == SQLITE_FLOAT && back.type == SQLITE_FLOAT)
        same = std::memcmp(&back.real, &real, sizeof real) == 0;
    else if (given == SQLITE_INTEGER)
        same = back.real >= -0x1p63 && back.real < 0x1p63 &&
               static_cast<sqlite3_int64>(back.real) == sqlite3_value_int64(value);
    else
        same = static_cast<double>(back.integer) == real;
    if (!same) {
        why = "a value that csvtable would read back as " + shown(back);
        return false;
    }
    bool quote = false;
    for (char c : data)
        quote = quote || isSpecial(c, format);
    if (!quote) {
        out += data;
        return true;
    }
    if (format.quotes.empty()) {
        why = "a separator, quote or line break, which the file cannot hold: csvtable reads it without quotes";
        return false;
    }
    const char mark = format.quotes[0];
    out += mark;
    for (char c : data) {
        out += c;
        if (c == mark)
            out += mark;
    }
    out += mark;
    return true;
}

} // namespace csvtable
