// Checks a CSV file with libcsv in strict mode, read in blocks and fed one line
// at a time so that every error can name the line it was found on.
#include "csv_reader.h"

#include <csv.h>

#include <cstdlib>
#include <new>
#include <string_view>
#include <system_error>
#include <utility>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace csvfile {
namespace {

constexpr std::size_t blockSize = 65536;

struct Reader {
    CsvFile* out = nullptr;
    std::vector<std::string> header; // the header's fields while it is read
    std::vector<bool> headerNull;    // which of them are empty and unquoted
    std::size_t fields = 0;          // in the record being read
    bool haveHeader = false;
    bool inRecord = false;
    std::size_t line = 0;          // the line being fed
    std::size_t recordLine = 0;    // the line the current record starts on
    std::uint64_t recordStart = 0; // the file offset the current record starts at
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

// What failed, on which file, and why by errno.
std::string systemError(const char* what, const std::string& name)
{
    const int code = errno;
    return what + (" " + name) + ": " + std::generic_category().message(code);
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

// The column that options name the key, once the columns have names.
void findKeyColumn(Reader& reader)
{
    CsvFile& file = *reader.out;
    if (file.options.key.empty())
        return;
    for (std::size_t i = 0; i < file.columns.size(); ++i) {
        if (sameColumnName(file.columns[i], file.options.key))
            file.keyColumn = i;
    }
    if (file.keyColumn == SIZE_MAX)
        reader.error = "has no column \"" + file.options.key + "\" to index (option key)";
}

// Without a header the first record's fields count the columns, c1, c2, ...,
// and the record is the first data row.
void nameColumns(Reader& reader)
{
    CsvFile& file = *reader.out;
    for (std::size_t i = 0; i < reader.header.size(); ++i)
        file.columns.push_back("c" + std::to_string(i + 1));
    findKeyColumn(reader);
    if (file.keyColumn < reader.header.size()) {
        const std::string& key = reader.header[file.keyColumn];
        file.keys.add(cellOf(reader.headerNull[file.keyColumn] ? nullptr : key.data(), key.size(), file.options.typed),
                      0);
    }
    reader.header.clear();
    reader.headerNull.clear();
    reader.haveHeader = true;
    file.rows.push(reader.recordStart);
}

void takeHeader(Reader& reader)
{
    if (!reader.out->options.header)
        return nameColumns(reader);
    std::vector<std::string>& columns = reader.out->columns;
    for (std::size_t i = 0; i < reader.header.size(); ++i) {
        const std::string& field = reader.header[i];
        if (field.empty()) {
            reader.error =
                lineError(reader.recordLine, "column " + std::to_string(i + 1) + " of the header has no name");
            return;
        }
        for (const std::string& earlier : columns) {
            if (sameColumnName(earlier, field)) {
                reader.error =
                    lineError(reader.recordLine, "column name \"" + field + "\" appears twice in the header");
                return;
            }
        }
        columns.push_back(field);
    }
    findKeyColumn(reader);
    reader.header.clear();
    reader.headerNull.clear();
    reader.haveHeader = true;
}

std::string fieldCount(std::size_t count)
{
    return std::to_string(count) + (count == 1 ? " field" : " fields");
}

void takeRow(Reader& reader)
{
    const std::size_t expected = reader.out->columns.size();
    if (reader.fields != expected) {
        reader.error = lineError(reader.recordLine,
                                 "the record has " + fieldCount(reader.fields) +
                                     (reader.out->options.header ? ", the header has " : ", the first record has ") +
                                     fieldCount(expected));
        return;
    }
    reader.out->rows.push(reader.recordStart);
}

// libcsv's end-of-field callback: the header's fields are kept, the others
// counted, and a data row's key filed.
void fieldRead(void* data, std::size_t size, void* state)
{
    Reader& reader = *static_cast<Reader*>(state);
    if (!reader.error.empty())
        return;
    const std::size_t column = reader.fields++;
    CsvFile& file = *reader.out;
    try {
        if (reader.haveHeader) {
            if (column == file.keyColumn)
                file.keys.add(cellOf(static_cast<const char*>(data), size, file.options.typed), file.rows.size());
            return;
        }
        reader.header.emplace_back(data ? static_cast<const char*>(data) : "", data ? size : 0);
        reader.headerNull.push_back(!data);
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
    reader.fields = 0;
}

// The index just past the line starting at start: after its LF, CRLF or CR.
std::size_t lineEnd(std::string_view text, std::size_t start)
{
    std::size_t i = start;
    while (i < text.size() && text[i] != '\n' && text[i] != '\r')
        ++i;
    if (i == text.size())
        return i;
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

// Feeds the line found at file offset `offset`.
bool feedLine(Parser& parser, Reader& reader, std::string_view line, std::uint64_t offset)
{
    ++reader.line;
    if (!checkLineText(line, reader))
        return false;
    if (!reader.inRecord && !isBlankLine(line)) {
        reader.inRecord = true;
        reader.recordLine = reader.line;
        reader.recordStart = offset;
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

// Whether the line of text that ends at end is known to be whole: a CR that
// ends the text may yet be followed by an LF.
bool isWholeLine(std::string_view text, std::size_t end, bool atFileEnd)
{
    return atFileEnd || end < text.size() || (end > 0 && text[end - 1] == '\n');
}

// Reads the file through in blocks and feeds the parser each whole line; the
// start of a line that runs past a block waits for the rest. Sets bytesRead,
// or returns false with error set.
bool feedFile(CsvFile& file, Parser& parser, Reader& reader, std::uint64_t& bytesRead, std::string& error)
{
    constexpr std::string_view byteOrderMark = "\xEF\xBB\xBF";
    std::string text;             // what is read and not yet fed
    std::uint64_t textOffset = 0; // the file offset of text[0]
    bool markChecked = false;
    for (bool atFileEnd = false; !atFileEnd;) {
        const std::size_t kept = text.size();
        text.resize(kept + blockSize);
        const ssize_t got = ::read(file.fd, &text[kept], blockSize);
        text.resize(kept + static_cast<std::size_t>(got > 0 ? got : 0));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            error = systemError("cannot read", file.name);
            return false;
        }
        atFileEnd = got == 0;
        if (!markChecked && (text.size() >= byteOrderMark.size() || atFileEnd)) {
            markChecked = true;
            if (std::string_view(text).substr(0, byteOrderMark.size()) == byteOrderMark) {
                text.erase(0, byteOrderMark.size());
                textOffset = byteOrderMark.size();
            }
        }
        if (!markChecked)
            continue;
        std::size_t start = 0;
        while (start < text.size()) {
            const std::size_t end = lineEnd(text, start);
            if (!isWholeLine(text, end, atFileEnd))
                break;
            if (!feedLine(parser, reader, std::string_view(text).substr(start, end - start), textOffset + start)) {
                error = file.name + " " + reader.error;
                return false;
            }
            start = end;
        }
        text.erase(0, start);
        textOffset += start;
    }
    bytesRead = textOffset;
    return true;
}

} // namespace

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

void RowStarts::reset(std::uint64_t fileSize)
{
    wide_ = fileSize > UINT32_MAX;
    narrowStarts_.clear();
    wideStarts_.clear();
}

void RowStarts::push(std::uint64_t offset)
{
    if (wide_)
        wideStarts_.push_back(offset);
    else
        narrowStarts_.push_back(static_cast<std::uint32_t>(offset));
}

CsvFile::~CsvFile()
{
    if (fd >= 0)
        ::close(fd);
}

bool CsvFile::unchanged() const
{
    struct stat status {};
    return ::fstat(fd, &status) == 0 && static_cast<std::uint64_t>(status.st_size) == size &&
           status.st_mtim.tv_sec == modified.tv_sec && status.st_mtim.tv_nsec == modified.tv_nsec;
}

void CsvFile::swap(CsvFile& other) noexcept
{
    std::swap(name, other.name);
    std::swap(path, other.path);
    std::swap(options, other.options);
    std::swap(fd, other.fd);
    std::swap(columns, other.columns);
    std::swap(rows, other.rows);
    std::swap(keyColumn, other.keyColumn);
    keys.swap(other.keys);
    std::swap(size, other.size);
    std::swap(modified, other.modified);
}

bool CsvFile::open(const std::string& path, const Options& how, std::string& error)
{
    name = "CSV file \"" + path + "\"";
    char* resolved = ::realpath(path.c_str(), nullptr);
    this->path = resolved ? resolved : path;
    std::free(resolved);
    options = how;
    error.clear();
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = systemError("cannot open", name);
        return false;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        error = systemError("cannot read", name);
        return false;
    }
    if (S_ISDIR(status.st_mode)) {
        error = name + " is a directory";
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        error = name + " is not a regular file";
        return false;
    }
    size = static_cast<std::uint64_t>(status.st_size);
    modified = status.st_mtim;
    rows.reset(size);

    Parser parser;
    if (!parser.ready) {
        error = name + " out of memory";
        return false;
    }
    csv_set_space_func(&parser.state, noBlankCharacters);
    csv_set_delim(&parser.state, static_cast<unsigned char>(options.delimiter));
    Reader reader;
    reader.out = this;
    std::uint64_t bytesRead = 0;
    if (!feedFile(*this, parser, reader, bytesRead, error))
        return false;
    if (!finish(parser, reader)) {
        error = name + " " + reader.error;
        return false;
    }
    if (bytesRead != size || !unchanged()) {
        error = name + " changed while it was read";
        return false;
    }
    keys.finish();
    return true;
}

} // namespace csvfile
