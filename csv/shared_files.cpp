// The files that open tables of the process read, found again by what makes
// two opens the same: each in a list while a table holds it.
#include "shared_files.h"

#include <cstdlib>
#include <mutex>
#include <tuple>
#include <utility>

#include <sys/stat.h>

namespace csvfile {
namespace {

struct Identity {
    dev_t device{};
    ino_t inode{};
    std::uint64_t size{};
    std::int64_t seconds{};
    long nanoseconds{};
    std::string path;
    char delimiter{};
    bool header{};
    bool typed{};
    std::string key; // ASCII letters in lower case, as SQLite compares names

    bool operator==(const Identity& other) const
    {
        const auto tied = [](const Identity& i) {
            return std::tie(i.device, i.inode, i.size, i.seconds, i.nanoseconds, i.path, i.delimiter, i.header, i.typed,
                            i.key);
        };
        return tied(*this) == tied(other);
    }
};

Identity identityOf(const struct stat& status, std::uint64_t size, const timespec& modified, const std::string& path,
                    const Options& options)
{
    Identity identity{status.st_dev, status.st_ino,     size,           modified.tv_sec, modified.tv_nsec,
                      path,          options.delimiter, options.header, options.typed,   options.key};
    for (char& c : identity.key)
        c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    return identity;
}

// A file open in the process, in the list of them, newest first: a list
// through the files themselves, so that nothing of it is left at exit.
struct Shared {
    CsvFile file;
    Identity identity;
    std::weak_ptr<const CsvFile> handle;
    bool listed = false;
    Shared* older = nullptr;
    Shared* newer = nullptr;
};

std::mutex sharedLock;
Shared* newestShared = nullptr;

// The file of that identity that a table holds; null when none does.
std::shared_ptr<const CsvFile> findShared(const Identity& identity)
{
    for (Shared* shared = newestShared; shared; shared = shared->older) {
        if (shared->identity == identity) {
            if (std::shared_ptr<const CsvFile> file = shared->handle.lock())
                return file;
        }
    }
    return nullptr;
}

void unlink(Shared* shared)
{
    const std::lock_guard<std::mutex> hold(sharedLock);
    (shared->newer ? shared->newer->older : newestShared) = shared->older;
    if (shared->older)
        shared->older->newer = shared->newer;
}

std::string canonicalPath(const std::string& path)
{
    char* resolved = ::realpath(path.c_str(), nullptr);
    std::string canonical = resolved ? resolved : path;
    std::free(resolved);
    return canonical;
}

// Shares an opened file, or the same one that another thread shared meanwhile.
std::shared_ptr<const CsvFile> enter(std::unique_ptr<Shared> opened)
{
    struct stat status {};
    CsvFile& file = opened->file;
    if (::fstat(file.fd, &status) != 0) {
        const std::shared_ptr<Shared> alone(std::move(opened));
        return std::shared_ptr<const CsvFile>(alone, &alone->file);
    }
    opened->identity = identityOf(status, file.size, file.modified, file.path, file.options);
    const std::shared_ptr<Shared> owner(opened.release(), [](Shared* gone) {
        if (gone->listed)
            unlink(gone);
        delete gone;
    });
    const std::shared_ptr<const CsvFile> entered(owner, &owner->file);
    const std::lock_guard<std::mutex> hold(sharedLock);
    if (std::shared_ptr<const CsvFile> earlier = findShared(owner->identity))
        return earlier;
    owner->handle = entered;
    owner->listed = true;
    owner->older = newestShared;
    if (newestShared)
        newestShared->newer = owner.get();
    newestShared = owner.get();
    return entered;
}

} // namespace

std::shared_ptr<const CsvFile> openShared(const std::string& path, const Options& options, std::string& error)
{
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
        const Identity identity = identityOf(status, static_cast<std::uint64_t>(status.st_size), status.st_mtim,
                                             canonicalPath(path), options);
        const std::lock_guard<std::mutex> hold(sharedLock);
        if (std::shared_ptr<const CsvFile> shared = findShared(identity))
            return shared;
    }
    auto opened = std::make_unique<Shared>();
    if (!opened->file.open(path, options, error))
        return nullptr;
    return enter(std::move(opened));
}

std::shared_ptr<const CsvFile> share(CsvFile& file)
{
    auto taken = std::make_unique<Shared>();
    taken->file.swap(file);
    return enter(std::move(taken));
}

} // namespace csvfile
