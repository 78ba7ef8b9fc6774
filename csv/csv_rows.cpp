// Reads data rows of a checked CSV file on demand and types their fields. The
// check at open has refused every malformed file, so the parsing here is lean.
#include "csv_rows.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <system_error>

#include <cerrno>
#include <unistd.h>

namespace csvfile {
namespace {

constexpr std::size_t blockSize = 65536;

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Where a run of digits at p ends; value gathers them (wrapping around past 19).
const char* readDigits(const char* p, const char* end, std::uint64_t& value)
{
    for (; p < end; ++p) {
        const unsigned digit = static_cast<unsigned char>(*p) - unsigned{'0'};
        if (digit > 9)
            break;
        value = value * 10 + digit;
    }
    return p;
}

// Whether a decimal's value is given exactly rounded by plain double arithmetic:
// at most 15 digits, exact as a double, scaled by an exact power of ten in one
// step. Sets real to it.
bool exactReal(std::uint64_t digits, std::ptrdiff_t count, long scale, bool negative, double& real)
{
    static constexpr double powers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                        1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    constexpr long maxPower = 22;
    if (count > 15 || scale < -maxPower || scale > maxPower)
        return false;
    const auto value = static_cast<double>(digits);
    real = scale < 0 ? value / powers[-scale] : value * powers[scale];
    real = negative ? -real : real;
    return true;
}

// A field that starts the way JSON writes a number, after its integer part
// (digits, count of them, up to p). What it reads as: a real, or text where
// the rest is not a fraction and an exponent or the value is out of range.
Cell realOrText(const char* data, std::size_t size, const char* p, std::uint64_t digits, std::ptrdiff_t count)
{
    const char* end = data + size;
    const std::string_view text(data, size);
    long scale = 0;
    if (p < end && *p == '.') {
        const char* fraction = p + 1;
        p = readDigits(fraction, end, digits);
        if (p == fraction)
            return text;
        count += p - fraction;
        scale -= p - fraction;
    }
    if (p < end && (*p == 'e' || *p == 'E')) {
        const bool down = ++p < end && *p == '-';
        p += (p < end && (*p == '+' || *p == '-')) ? 1 : 0;
        const char* exponentDigits = p;
        long exponent = 0;
        for (; p < end && isDigit(*p); ++p)
            exponent = std::min(exponent * 10 + (*p - '0'), 100000L);
        if (p == exponentDigits)
            return text;
        scale += down ? -exponent : exponent;
    }
    if (p != end)
        return text;
    double real = 0;
    if (exactReal(digits, count, scale, data[0] == '-', real) || std::from_chars(data, end, real).ec == std::errc())
        return real;
    return text;
}

std::string changedError(const CsvFile& file)
{
    return file.name + " changed after the table was created";
}

// The first c from p on, or end when there is none before it.
const char* find(const char* p, const char* end, char c)
{
    const void* found = p < end ? std::memchr(p, c, static_cast<std::size_t>(end - p)) : nullptr;
    return found ? static_cast<const char*>(found) : end;
}

bool endsRecord(char c)
{
    return c == '\n' || c == '\r';
}

} // namespace

Cell cellFromField(const char* data, std::size_t size)
{
    if (!data)
        return Cell();
    const char* end = data + size;
    const char* p = data + (size > 0 && data[0] == '-' ? 1 : 0);
    if (p == end || !isDigit(*p))
        return std::string_view(data, size);
    std::uint64_t digits = 0;
    const char* integer = p;
    p = *p == '0' ? p + 1 : readDigits(p, end, digits);
    const std::ptrdiff_t count = p - integer;
    if (p < end)
        return realOrText(data, size, p, digits, count);
    if (count <= 18) {
        const auto value = static_cast<sqlite3_int64>(digits);
        return data[0] == '-' ? -value : value;
    }
    sqlite3_int64 value = 0;
    if (std::from_chars(data, end, value).ec == std::errc())
        return value;
    return realOrText(data, size, p, digits, count);
}

bool RowReader::read(std::size_t row, std::string& error)
{
    fields_.clear();
    const std::uint64_t start = file_.rows[row];
    const std::uint64_t end = file_.rowEnd(row);
    if ((start < windowStart_ || end > windowStart_ + windowSize_) && !load(start, end, error))
        return false;
    const char* first = window_.data() + (start - windowStart_);
    if (!split(first, first + (end - start))) {
        fields_.clear();
        error = changedError(file_);
        return false;
    }
    return true;
}

Cell RowReader::cell(std::size_t column) const
{
    if (column >= fields_.size())
        return Cell();
    const Field& field = fields_[column];
    return cellOf(field.data, field.size, file_.options.typed);
}

// Fills the window with the file's bytes from start: up to end for a row looked
// up on its own; a block, or up to end when that is further, for a row that
// follows the window, as in a scan.
bool RowReader::load(std::uint64_t start, std::uint64_t end, std::string& error)
{
    const bool onward = windowSize_ > 0 && start >= windowStart_ && start <= windowStart_ + windowSize_;
    const auto size = static_cast<std::size_t>(
        std::min(std::max<std::uint64_t>(end - start, onward ? blockSize : 0), file_.size - start));
    if (window_.size() < size)
        window_.resize(size);
    windowSize_ = 0;
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = ::pread(file_.fd, window_.data() + got, size - got, static_cast<off_t>(start + got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int code = errno;
            error = "cannot read " + file_.name + ": " + std::generic_category().message(code);
            return false;
        }
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    if (got < size || !file_.unchanged()) {
        error = changedError(file_);
        return false;
    }
    windowStart_ = start;
    windowSize_ = size;
    return true;
}

// Splits the record that starts at p into fields, by the rules the check
// enforced, and copies them to values_, quotes undoubled and each followed by
// a NUL; what follows the record up to end is its line ending and blank lines.
// Whether it holds one field a column.
bool RowReader::split(const char* p, const char* end)
{
    while (end > p && endsRecord(end[-1]))
        --end;
    const std::size_t columns = file_.columns.size();
    const std::size_t room = static_cast<std::size_t>(end - p) + columns;
    if (values_.size() < room)
        values_.resize(room);
    char* out = values_.data();
    for (;;) {
        if (fields_.size() == columns)
            return false;
        char* value = out;
        bool null = false;
        if (p < end && *p == '"') {
            ++p;
            for (;;) {
                const char* quote = find(p, end, '"');
                if (quote == end)
                    return false;
                out = std::copy(p, quote, out);
                p = quote + 1;
                if (p == end || *p != '"')
                    break;
                *out++ = '"';
                ++p;
            }
        } else {
            const char* comma = find(p, end, file_.options.delimiter);
            null = comma == p;
            out = std::copy(p, comma, out);
            p = comma;
        }
        fields_.push_back({null ? nullptr : value, static_cast<std::size_t>(out - value)});
        *out++ = '\0';
        if (p == end)
            return fields_.size() == columns;
        if (*p != file_.options.delimiter)
            return false;
        ++p;
    }
}

} // namespace csvfile
