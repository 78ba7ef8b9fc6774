// Canonical file paths and file stamps, read through POSIX on the UTF-8 bytes
// of a path, so that no locale codec decides which file a name means.
#include "common/inner_files.h"

#include <QByteArray>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

namespace {

// More files sharing one stem than this are no set of sidecars.
constexpr size_t sidecarLimit = 64;

std::string resolved(const std::string& path)
{
    std::unique_ptr<char, decltype(&std::free)> real(realpath(path.c_str(), nullptr), &std::free);
    return real ? std::string(real.get()) : std::string();
}

std::string joined(const std::string& folder, const std::string& name)
{
    return folder == "/" ? folder + name : folder + '/' + name;
}

struct Split {
    std::string folder;
    std::string name;
};

Split split(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return {".", path};
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

std::string stemOf(const std::string& name)
{
    const size_t dot = name.rfind('.');
    return dot == std::string::npos ? name : name.substr(0, dot);
}

bool endsWith(const std::string& text, const char* suffix)
{
    const size_t length = std::strlen(suffix);
    return text.size() >= length && text.compare(text.size() - length, length, suffix) == 0;
}

// A database, or a journal beside one, changes while it is used, and a
// project's database often shares its data's stem.
bool isDatabaseFile(const std::string& path)
{
    if (endsWith(path, "-journal") || endsWith(path, "-wal") || endsWith(path, "-shm"))
        return true;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    char header[16] = {};
    const bool database =
        read(fd, header, sizeof header) == sizeof header && std::memcmp(header, "SQLite format 3", sizeof header) == 0;
    close(fd);
    return database;
}

// Names in folder that begin with prefix, sorted.
std::vector<std::string> namesBeginning(const std::string& folder, const std::string& prefix)
{
    std::vector<std::string> names;
    const auto close = [](DIR* open) { closedir(open); };
    std::unique_ptr<DIR, decltype(close)> dir(opendir(folder.c_str()), close);
    if (!dir)
        return names;
    while (const dirent* entry = readdir(dir.get())) {
        if (std::strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0)
            names.emplace_back(entry->d_name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool regularFile(const std::string& path, struct stat& info)
{
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

FileStamp stampOf(const std::string& path, const struct stat& info)
{
    return {QString::fromUtf8(path.c_str()), qint64(info.st_size),
            qint64(info.st_mtim.tv_sec) * 1000000000 + qint64(info.st_mtim.tv_nsec)};
}

} // namespace

QString canonicalFilePath(const QString& typed)
{
    const std::string path = typed.toStdString();
    if (path.empty() || path.find('\0') != std::string::npos)
        return typed;
    const std::string real = resolved(path);
    if (!real.empty())
        return QString::fromUtf8(real.c_str());
    const Split parts = split(path);
    if (parts.name.empty() || parts.name == "." || parts.name == "..")
        return typed;
    const std::string folder = resolved(parts.folder);
    if (folder.empty() || namesBeginning(folder, parts.name + '.').empty())
        return typed;
    return QString::fromUtf8(joined(folder, parts.name).c_str());
}

std::vector<FileStamp> stampFiles(const QString& canonical)
{
    std::vector<FileStamp> stamps;
    const std::string path = canonical.toStdString();
    if (path.empty() || path.front() != '/' || path.find('\0') != std::string::npos)
        return stamps;
    struct stat info;
    if (regularFile(path, info))
        stamps.push_back(stampOf(path, info));
    const Split parts = split(path);
    const std::string stem = stemOf(parts.name);
    if (stem.empty())
        return stamps;
    size_t sidecars = 0;
    for (const std::string& name : namesBeginning(parts.folder, stem + '.')) {
        const std::string sidecar = joined(parts.folder, name);
        if (name == parts.name || !regularFile(sidecar, info) || isDatabaseFile(sidecar))
            continue;
        if (++sidecars > sidecarLimit)
            break;
        stamps.push_back(stampOf(sidecar, info));
    }
    std::sort(stamps.begin(), stamps.end(), [](const FileStamp& a, const FileStamp& b) { return a.path < b.path; });
    return stamps;
}
