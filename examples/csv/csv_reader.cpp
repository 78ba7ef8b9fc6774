// Loads a CSV file with libcsv in strict mode, fed one line at a time so that
// every error can name the line it was found on.
#include "csv_reader.h"

#include <csv.h>

#include <charconv>
#include <optional>
#include <system_error>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace csvfile {
namespace {

using Field = std::optional<std::string>; // nullopt: an empty unquoted field

struct Reader {
    Contents* out = nullptr;
    std::vector<Field> fields; // the record being read
    bool haveHeader = false;
    bool inRecord = false;
    std::size_t line = 0;       // the line being fed
    std::size_t recordLine = 0; // the line the current record starts on
    std::string error;
};

// Frees the parser however parsing ends.
struct Parser {
    csv_parser state;
    bool ready;
    Parser() { ready = csv_init(&state, CSV_STRICT | CSV_STRICT_FINI | CSV_EMPTY_IS_NULL) == 0; }
    ~Parser()
    {
        if (ready)
            csv_free(&state);
    }
};

// Spaces belong to the field: libcsv is told that no character is blank.
int noBlankCharacters(unsigned char)
{
    return 0;
}

std::string lineError(std::size_t line, const std::string& what)
{
    return "line " + std::to_string(line) + ": " + what;
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// The end of the run of digits starting at i.
std::size_t skipDigits(const char* s, std::size_t n, std::size_t i)
{
    while (i < n && isDigit(s[i]))
        ++i;
    return i;
}

// Whether s holds a JSON number; integral tells whether it has neither a
// fraction nor an exponent.
bool isJsonNumber(const char* s, std::size_t n, bool& integral)
{
    std::size_t i = (n > 0 && s[0] == '-') ? 1 : 0;
    if (i == n || !isDigit(s[i]))
        return false;
    i = s[i] == '0' ? i + 1 : skipDigits(s, n, i);
    integral = true;
    if (i < n && s[i] == '.') {
        std::size_t digits = i + 1;
        i = skipDigits(s, n, digits);
        if (i == digits)
            return false;
        integral = false;
    }
    if (i < n && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < n && (s[i] == '+' || s[i] == '-'))
            ++i;
        std::size_t digits = i;
        i = skipDigits(s, n, digits);
        if (i == digits)
            return false;
        integral = false;
    }
    return i == n;
}

char asciiLower(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Column names compare as SQLite compares them: ASCII letters without case.
bool sameColumnName(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (asciiLower(a[i]) != asciiLower(b[i]))
            return false;
    }
    return true;
}

void takeHeader(Reader& reader)
{
    std::vector<std::string>& columns = reader.out->columns;
    for (std::size_t i = 0; i < reader.fields.size(); ++i) {
        const Field& field = reader.fields[i];
        if (!field || field->empty()) {
            reader.error = lineError(reader.recordLine,
                                     "column " + std::to_string(i + 1) + " of the header has no name");
            return;
        }
        for (const std::string& earlier : columns) {
            if (sameColumnName(earlier, *field)) {
                reader.error = lineError(reader.recordLine,
                                         "column name \"" + *field + "\" appears twice in the header");
                return;
            }
        }
        columns.push_back(*field);
    }
    reader.haveHeader = true;
}

std::string fieldCount(std::size_t count)
{
    return std::to_string(count) + (count == 1 ? " field" : " fields");
}

void takeRow(Reader& reader)
{
    const std::size_t expected = reader.out->columns.size();
    if (reader.fields.size() != expected) {
        reader.error = lineError(reader.recordLine, "the record has " + fieldCount(reader.fields.size()) +
                                                        ", the header has " + fieldCount(expected));
        return;
    }
    Row row;
    row.reserve(expected);
    for (const Field& field : reader.fields)
        row.push_back(field ? cellFromField(field->data(), field->size()) : Cell());
    reader.out->rows.push_back(std::move(row));
}

// libcsv's end-of-field callback.
void fieldRead(void* data, std::size_t size, void* state)
{
    Reader& reader = *static_cast<Reader*>(state);
    if (!reader.error.empty())
        return;
    try {
        if (data)
            reader.fields.emplace_back(std::in_place, static_cast<const char*>(data), size);
        else
            reader.fields.emplace_back();
    } catch (const std::bad_alloc&) {
        reader.error = "out of memory";
    }
}

// libcsv's end-of-record callback.
void recordRead(int, void* state)
{
    Reader& reader = *static_cast<Reader*>(state);
    reader.inRecord = false;
    if (reader.error.empty()) {
        try {
            if (reader.haveHeader)
                takeRow(reader);
            else
                takeHeader(reader);
        } catch (const std::bad_alloc&) {
            reader.error = "out of memory";
        }
    }
    reader.fields.clear();
}

// Whether bytes are well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool isUtf8(std::string_view bytes)
{
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        std::size_t length;
        unsigned char low = 0x80, high = 0xBF;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            low = lead == 0xE0 ? 0xA0 : 0x80;
            high = lead == 0xED ? 0x9F : 0xBF;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            low = lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xF4 ? 0x8F : 0xBF;
        } else {
            return false;
        }
        if (i + length > bytes.size())
            return false;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(bytes[i + k]);
            if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF))
                return false;
        }
        i += length;
    }
    return true;
}

// The index just past the line starting at start: after its LF, CRLF or CR.
std::size_t lineEnd(std::string_view text, std::size_t start)
{
    const std::size_t i = text.find_first_of("\r\n", start);
    if (i == std::string_view::npos)
        return text.size();
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
        return i + 2;
    return i + 1;
}

bool isBlankLine(std::string_view line)
{
    return line.find_first_not_of("\r\n") == std::string_view::npos;
}

bool checkLineText(std::string_view line, Reader& reader)
{
    if (line.find('\0') != std::string_view::npos)
        reader.error = lineError(reader.line, "NUL byte: this is not a text file");
    else if (!isUtf8(line))
        reader.error = lineError(reader.line, "not valid UTF-8");
    return reader.error.empty();
}

bool feedLine(Parser& parser, Reader& reader, std::string_view line)
{
    ++reader.line;
    if (!checkLineText(line, reader))
        return false;
    if (!reader.inRecord && !isBlankLine(line)) {
        reader.inRecord = true;
        reader.recordLine = reader.line;
    }
    const std::size_t fed = csv_parse(&parser.state, line.data(), line.size(), fieldRead, recordRead, &reader);
    if (!reader.error.empty())
        return false;
    if (fed != line.size()) {
        reader.error = csv_error(&parser.state) == CSV_EPARSE
                           ? lineError(reader.line, "misplaced quote: a field that holds quotes must be quoted "
                                                    "as a whole, with each inner quote doubled")
                           : std::string(csv_strerror(csv_error(&parser.state)));
        return false;
    }
    return true;
}

bool finish(Parser& parser, Reader& reader)
{
    if (csv_fini(&parser.state, fieldRead, recordRead, &reader) != 0) {
        reader.error = lineError(reader.recordLine, "quoted field not closed by the end of the file");
        return false;
    }
    if (!reader.error.empty())
        return false;
    if (!reader.haveHeader) {
        reader.error = "has no header row: the file is empty";
        return false;
    }
    return true;
}

} // namespace

Cell cellFromField(const char* data, std::size_t size)
{
    if (!data)
        return Cell();
    bool integral = false;
    if (isJsonNumber(data, size, integral)) {
        if (integral) {
            sqlite3_int64 value = 0;
            if (std::from_chars(data, data + size, value).ec == std::errc())
                return value;
        }
        double real = 0;
        if (std::from_chars(data, data + size, real).ec == std::errc())
            return real;
    }
    return std::string(data, size);
}

bool parseCsv(std::string_view text, Contents& out, std::string& error)
{
    constexpr std::string_view byteOrderMark = "\xEF\xBB\xBF";
    if (text.substr(0, byteOrderMark.size()) == byteOrderMark)
        text.remove_prefix(byteOrderMark.size());

    out = Contents();
    Parser parser;
    if (!parser.ready) {
        error = "out of memory";
        return false;
    }
    csv_set_space_func(&parser.state, noBlankCharacters);
    Reader reader;
    reader.out = &out;
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = lineEnd(text, start);
        if (!feedLine(parser, reader, text.substr(start, end - start))) {
            error = reader.error;
            return false;
        }
        start = end;
    }
    if (!finish(parser, reader)) {
        error = reader.error;
        return false;
    }
    return true;
}

bool readCsvFile(const std::string& path, Contents& out, std::string& error)
{
    const std::string name = "CSV file \"" + path + "\"";
    error.clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot open " + name + ": " + std::generic_category().message(errno);
        return false;
    }
    struct stat status {};
    std::string text;
    if (::fstat(fd, &status) != 0) {
        error = "cannot read " + name + ": " + std::generic_category().message(errno);
    } else if (S_ISDIR(status.st_mode)) {
        error = name + " is a directory";
    } else if (!S_ISREG(status.st_mode)) {
        error = name + " is not a regular file";
    } else {
        char buffer[65536];
        for (;;) {
            const ssize_t got = ::read(fd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0) {
                error = "cannot read " + name + ": " + std::generic_category().message(errno);
                break;
            }
            if (got == 0)
                break;
            text.append(buffer, static_cast<std::size_t>(got));
        }
    }
    ::close(fd);
    if (!error.empty())
        return false;
    if (!parseCsv(text, out, error)) {
        error = name + " " + error;
        return false;
    }
    return true;
}

} // namespace csvfile
