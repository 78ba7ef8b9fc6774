// The journal that makes a set of renames all or nothing across a crash: a
// complete journal is finished by whoever next meets it, an incomplete one undone.
#include "common/file_set_journal.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char* endLine = "end\n";

std::string folderOf(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : slash == 0 ? std::string("/") : path.substr(0, slash);
}

bool failed(const std::string& what, const std::string& path, std::string& error)
{
    error = what + " " + path + ": " + std::strerror(errno);
    return false;
}

bool syncPath(const std::string& path, int flags)
{
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    return ::close(fd) == 0 && synced;
}

// The test suite's way to stop a save between two renames, as a crash would.
void crashAfter(std::size_t renamed)
{
    const char* limit = std::getenv("QUILLMERE_CRASH_AFTER_RENAMES");
    if (limit && *limit && std::strtoul(limit, nullptr, 10) == renamed)
        ::_exit(99);
}

} // namespace

std::string fileSetJournal(const std::string& stem)
{
    const std::size_t slash = stem.rfind('/');
    const std::size_t at = slash == std::string::npos ? 0 : slash + 1;
    return stem.substr(0, at) + "." + stem.substr(at) + ".set-journal";
}

bool replaceFileSet(const std::string& stem, const std::vector<std::pair<std::string, std::string>>& renames,
                    std::string& error)
{
    std::string text;
    for (const auto& [from, to] : renames) {
        if (from.find_first_of("\t\n") != std::string::npos || to.find_first_of("\t\n") != std::string::npos) {
            error = "cannot journal the renames of " + to + ": its path holds a tab or a line break";
            return false;
        }
        text += from + '\t' + to + '\n';
    }
    text += endLine;
    const std::string journal = fileSetJournal(stem);
    const int fd = ::open(journal.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return failed("cannot write", journal, error);
    bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && ::fsync(fd) == 0;
    written = ::close(fd) == 0 && written;
    if (!written || !syncPath(folderOf(journal), O_RDONLY | O_DIRECTORY)) {
        const int saved = errno;
        ::unlink(journal.c_str());
        errno = saved;
        return failed("cannot write", journal, error);
    }
    crashAfter(0);
    std::size_t renamed = 0;
    for (const auto& [from, to] : renames) {
        if (::rename(from.c_str(), to.c_str()) != 0)
            return failed("cannot rename " + from + " to", to, error);
        crashAfter(++renamed);
    }
    if (!syncPath(folderOf(journal), O_RDONLY | O_DIRECTORY))
        return failed("cannot sync the folder of", journal, error);
    if (::unlink(journal.c_str()) != 0)
        return failed("cannot remove", journal, error);
    return true;
}

bool finishFileSet(const std::string& stem, std::string& error)
{
    const std::string journal = fileSetJournal(stem);
    struct stat info;
    if (::stat(journal.c_str(), &info) != 0)
        return true;
    FILE* file = std::fopen(journal.c_str(), "re");
    if (!file)
        return failed("cannot read", journal, error);
    std::string text;
    char buffer[4096];
    for (std::size_t read; (read = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
        text.append(buffer, read);
    std::fclose(file);
    const bool complete = text.size() >= std::strlen(endLine) &&
                          text.compare(text.size() - std::strlen(endLine), std::string::npos, endLine) == 0;
    std::size_t at = 0;
    for (std::size_t end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        const std::string line = text.substr(at, end - at);
        const std::size_t tab = line.find('\t');
        if (tab == std::string::npos)
            continue;
        const std::string from = line.substr(0, tab), to = line.substr(tab + 1);
        if (::stat(from.c_str(), &info) != 0)
            continue;
        if (complete ? ::rename(from.c_str(), to.c_str()) != 0 : ::unlink(from.c_str()) != 0)
            return failed(complete ? "cannot rename " + from + " to" : "cannot remove", complete ? to : from, error);
    }
    if (complete && !syncPath(folderOf(journal), O_RDONLY | O_DIRECTORY))
        return failed("cannot sync the folder of", journal, error);
    if (::unlink(journal.c_str()) != 0)
        return failed("cannot remove", journal, error);
    return true;
}
