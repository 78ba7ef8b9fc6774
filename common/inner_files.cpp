// Canonical file paths and file stamps, read through POSIX on the bytes of a
// path, so that no codec decides which file a name means.
#include "common/inner_files.h"

#include <QByteArray>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
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

// The extension of name after stem and its dot, in lower case.
std::string extensionAfter(const std::string& name, const std::string& stem)
{
    std::string extension = name.substr(stem.size() + 1);
    for (char& c : extension)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return extension;
}

bool oneOf(const std::string& extension, std::initializer_list<const char*> extensions)
{
    return std::any_of(extensions.begin(), extensions.end(), [&](const char* e) { return extension == e; });
}

// The files a format keeps beside its main file, which hold part of its rows.
bool hasSidecars(const std::string& mainExtension)
{
    return mainExtension == "shp";
}

bool knownSidecar(const std::string& mainExtension, const std::string& extension)
{
    return hasSidecars(mainExtension) && oneOf(extension, {"shx", "dbf", "prj", "cpg", "qix", "sbn", "sbx"});
}

// A database, or a journal beside one, changes while it is used, and a
// project's database often shares its data's stem; a new one has no header
// yet, and is known by its name.
bool isDatabaseFile(const std::string& path, const std::string& extension)
{
    const auto endsWith = [&extension](const char* suffix) {
        const size_t length = std::strlen(suffix);
        return extension.size() >= length && extension.compare(extension.size() - length, length, suffix) == 0;
    };
    if (endsWith("-journal") || endsWith("-wal") || endsWith("-shm") ||
        oneOf(extension, {"sqlite", "sqlite3", "db", "db3", "s3db", "sl3", "gpkg"}))
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

qint64 modifiedOf(const struct stat& info)
{
    return qint64(info.st_mtim.tv_sec) * 1000000000 + qint64(info.st_mtim.tv_nsec);
}

FileStamp stampOf(const std::string& path, const struct stat& info)
{
    return {QByteArray(path.data(), int(path.size())), qint64(info.st_size), modifiedOf(info)};
}

std::string bytesOf(const QByteArray& path)
{
    return std::string(path.constData(), size_t(path.size()));
}

QByteArray fromBytes(const std::string& path)
{
    return QByteArray(path.data(), int(path.size()));
}

} // namespace

bool stampBefore(const FileStamp& a, const FileStamp& b)
{
    const int order =
        std::memcmp(a.path.constData(), b.path.constData(), size_t(std::min(a.path.size(), b.path.size())));
    return order != 0 ? order < 0 : a.path.size() < b.path.size();
}

QByteArray canonicalFilePath(const QByteArray& typed)
{
    const std::string path = bytesOf(typed);
    if (path.empty() || path.find('\0') != std::string::npos)
        return typed;
    const std::string real = resolved(path);
    if (!real.empty())
        return fromBytes(real);
    const Split parts = split(path);
    if (parts.name.empty() || parts.name == "." || parts.name == "..")
        return typed;
    const std::string folder = resolved(parts.folder);
    if (folder.empty() || namesBeginning(folder, parts.name + '.').empty())
        return typed;
    return fromBytes(joined(folder, parts.name));
}

std::vector<FileStamp> stampFiles(const QByteArray& canonical)
{
    std::vector<FileStamp> stamps;
    const std::string path = bytesOf(canonical);
    if (path.empty() || path.front() != '/' || path.find('\0') != std::string::npos)
        return stamps;
    struct stat info;
    const bool namesFile = regularFile(path, info);
    if (namesFile)
        stamps.push_back(stampOf(path, info));
    const Split parts = split(path);
    const std::string stem = namesFile ? stemOf(parts.name) : parts.name;
    if (stem.empty() || (namesFile && stem == parts.name))
        return stamps;
    const std::string mainExtension = namesFile ? extensionAfter(parts.name, stem) : std::string();
    if (namesFile && !hasSidecars(mainExtension))
        return stamps;
    size_t sidecars = 0;
    for (const std::string& name : namesBeginning(parts.folder, stem + '.')) {
        const std::string sidecar = joined(parts.folder, name);
        const std::string extension = extensionAfter(name, stem);
        if (name == parts.name || (namesFile && !knownSidecar(mainExtension, extension)) ||
            !regularFile(sidecar, info) || (!namesFile && isDatabaseFile(sidecar, extension)))
            continue;
        if (++sidecars > sidecarLimit)
            break;
        stamps.push_back(stampOf(sidecar, info));
    }
    std::sort(stamps.begin(), stamps.end(), stampBefore);
    return stamps;
}

bool stillAsStamped(const std::vector<FileStamp>& stamps)
{
    return std::all_of(stamps.begin(), stamps.end(), [](const FileStamp& stamp) {
        struct stat info;
        return stat(stamp.path.constData(), &info) == 0 && S_ISREG(info.st_mode) &&
               qint64(info.st_size) == stamp.size && modifiedOf(info) == stamp.modified;
    });
}
