// Raw records, fields written back, and the file replaced by a rename: a file
// is flushed before it takes the target's name, and the folder after.
#include "csv_writer.h"

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <system_error>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace csvfile {
namespace {

std::string folderOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string baseOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool needsQuotes(std::string_view text, char delimiter)
{
    if (text.empty())
        return true;
    for (char c : text) {
        if (c == delimiter || c == '"' || c == '\r' || c == '\n')
            return true;
    }
    return false;
}

void appendText(std::string_view text, char delimiter, std::string& out)
{
    if (!needsQuotes(text, delimiter)) {
        out += text;
        return;
    }
    out += '"';
    for (char c : text) {
        out += c;
        if (c == '"')
            out += '"';
    }
    out += '"';
}

// A real as Python's repr writes it, in its shortest digits that read back
// as the same double: plainly from 1e-4 up to 1e16 (with ".0" where it would
// read as an integer), with an exponent outside that range. Without types,
// in whichever of the two is shorter.
void appendReal(double real, bool typed, std::string& out)
{
    char text[40];
    const auto append = [&](const char* end) { out.append(text, std::size_t(end - text)); };
    if (!typed) {
        append(std::to_chars(text, text + sizeof text, real).ptr);
        return;
    }
    const double size = std::fabs(real);
    if (size == 0 || (size >= 1e-4 && size < 1e16)) {
        const char* end = std::to_chars(text, text + sizeof text, real, std::chars_format::fixed).ptr;
        append(end);
        if (std::memchr(text, '.', std::size_t(end - text)) == nullptr)
            out += ".0";
        return;
    }
    append(std::to_chars(text, text + sizeof text, real, std::chars_format::scientific).ptr);
}

} // namespace

RawRecord splitRecord(std::string_view bytes, char delimiter)
{
    RawRecord record;
    std::size_t at = 0;
    for (;;) {
        const std::size_t start = at;
        if (at < bytes.size() && bytes[at] == '"') {
            for (++at; at < bytes.size(); ++at) {
                if (bytes[at] != '"')
                    continue;
                if (at + 1 < bytes.size() && bytes[at + 1] == '"') {
                    ++at;
                    continue;
                }
                ++at;
                break;
            }
        } else {
            while (at < bytes.size() && bytes[at] != delimiter && bytes[at] != '\r' && bytes[at] != '\n')
                ++at;
        }
        record.fields.push_back(bytes.substr(start, at - start));
        if (at < bytes.size() && bytes[at] == delimiter) {
            ++at;
            continue;
        }
        record.ending = bytes.substr(at);
        return record;
    }
}

Cell cellOfRaw(std::string_view raw, const Options& options, std::string& scratch)
{
    if (raw.empty())
        return options.typed ? Cell() : Cell(std::string_view());
    std::string_view text = raw;
    if (raw.front() == '"') {
        scratch.clear();
        for (std::size_t i = 1; i + 1 < raw.size(); ++i) {
            scratch += raw[i];
            if (raw[i] == '"')
                ++i;
        }
        text = scratch;
    }
    return options.typed ? cellFromField(text.data() ? text.data() : "", text.size()) : Cell(text);
}

bool sameValue(const Cell& cell, sqlite3_value* value)
{
    switch (sqlite3_value_type(value)) {
    case SQLITE_NULL:
        return std::holds_alternative<std::monostate>(cell);
    case SQLITE_INTEGER: {
        const auto* integer = std::get_if<sqlite3_int64>(&cell);
        return integer && *integer == sqlite3_value_int64(value);
    }
    case SQLITE_FLOAT: {
        const auto* real = std::get_if<double>(&cell);
        const double given = sqlite3_value_double(value);
        return real && std::memcmp(real, &given, sizeof given) == 0;
    }
    case SQLITE_TEXT: {
        const auto* text = std::get_if<std::string_view>(&cell);
        const auto* bytes = reinterpret_cast<const char*>(sqlite3_value_text(value));
        return text && bytes && *text == std::string_view(bytes, static_cast<std::size_t>(sqlite3_value_bytes(value)));
    }
    default:
        return false;
    }
}

bool appendField(sqlite3_value* value, const Options& options, std::string& out, std::string& error)
{
    switch (sqlite3_value_type(value)) {
    case SQLITE_NULL:
        if (!options.typed)
            error = "NULL, which a file read as text cannot hold (an empty field reads as '')";
        return options.typed;
    case SQLITE_INTEGER: {
        char digits[24];
        const auto written = std::to_chars(digits, digits + sizeof digits, sqlite3_value_int64(value));
        out.append(digits, written.ptr);
        return true;
    }
    case SQLITE_FLOAT: {
        const double real = sqlite3_value_double(value);
        if (!std::isfinite(real)) {
            error = "an infinite real, which a CSV file cannot hold";
            return false;
        }
        appendReal(real, options.typed, out);
        return true;
    }
    case SQLITE_TEXT: {
        const auto* bytes = reinterpret_cast<const char*>(sqlite3_value_text(value));
        const std::string_view text(bytes ? bytes : "", static_cast<std::size_t>(sqlite3_value_bytes(value)));
        if (text.find('\0') != std::string_view::npos || !isUtf8(text)) {
            error = "text that is not UTF-8, which the CSV module cannot read back";
            return false;
        }
        appendText(text, options.delimiter, out);
        return true;
    }
    default:
        error = "a blob, which a CSV file cannot hold";
        return false;
    }
}

ReplacingFile::~ReplacingFile()
{
    if (fd_ >= 0)
        ::close(fd_);
    if (!temporary_.empty())
        ::unlink(temporary_.c_str());
}

bool ReplacingFile::fail(const char* what, std::string& error)
{
    error = std::string(what) + " " + target_ + ": " + std::generic_category().message(errno);
    return false;
}

bool ReplacingFile::open(const std::string& target, std::string& error)
{
    target_ = target;
    struct stat status {};
    const bool exists = ::stat(target.c_str(), &status) == 0;
    if (exists && !S_ISREG(status.st_mode)) {
        error = "cannot write " + target + ": " + (S_ISDIR(status.st_mode) ? "it is a folder" : "not a regular file");
        return false;
    }
    // Made as open(2) makes any file, mode 0666 less the umask; mkstemp's 0600
    // would need a mode of its own.
    thread_local std::minstd_rand random(static_cast<unsigned>(
        std::chrono::steady_clock::now().time_since_epoch().count() ^ (static_cast<long>(::getpid()) << 16)));
    static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    for (int attempt = 0; fd_ < 0; ++attempt) {
        std::string name = folderOf(target) + "/." + baseOf(target) + ".";
        for (int i = 0; i < 6; ++i)
            name += letters[random() % (sizeof letters - 1)];
        fd_ = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd_ >= 0)
            temporary_ = name;
        else if (errno != EEXIST || attempt == 100)
            return fail("cannot write", error);
    }
    if (!exists)
        return true;
    // A file replaced keeps its owner and group where this process may give
    // them (as root, or as the owner into a group of its own), and its mode.
    const bool owned =
        ::fchown(fd_, status.st_uid, status.st_gid) == 0 || ::fchown(fd_, static_cast<uid_t>(-1), status.st_gid) == 0;
    static_cast<void>(owned);
    if (::fchmod(fd_, status.st_mode & 07777) != 0)
        return fail("cannot write", error);
    return true;
}

bool ReplacingFile::write(std::string_view bytes, std::string& error)
{
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd_, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0)
            return fail("cannot write", error);
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

bool ReplacingFile::sync(std::string& error)
{
    if (::fsync(fd_) != 0)
        return fail("cannot write", error);
    const int closed = ::close(fd_);
    fd_ = -1;
    if (closed != 0)
        return fail("cannot write", error);
    return true;
}

bool ReplacingFile::replace(std::string& error)
{
    if (::rename(temporary_.c_str(), target_.c_str()) != 0)
        return fail("cannot replace", error);
    temporary_.clear();
    const int folder = ::open(folderOf(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        ::fsync(folder);
        ::close(folder);
    }
    return true;
}

} // namespace csvfile
