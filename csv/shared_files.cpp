// The files that open tables of the process read, found again by what makes
// two opens the same: one weak entry a file, gone with the file's last holder.
#include "shared_files.h"

#include <cstdlib>
#include <map>
#include <mutex>
#include <tuple>
#include <utility>

#include <sys/stat.h>

namespace csvfile {
namespace {

struct Identity {
    dev_t device;
    ino_t inode;
    std::uint64_t size;
    std::int64_t seconds;
    long nanoseconds;
    std::string path;
    char delimiter;
    bool header;
    bool typed;
    std::string key; // ASCII letters in lower case, as SQLite compares names

    bool operator<(const Identity& other) const
    {
        const auto tied = [](const Identity& i) {
            return std::tie(i.device, i.inode, i.size, i.seconds, i.nanoseconds, i.path, i.delimiter, i.header, i.typed,
                            i.key);
        };
        return tied(*this) < tied(other);
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

struct Entry {
    const CsvFile* file;
    std::weak_ptr<const CsvFile> shared;
};

// Lives as long as the process: tables may still close while it exits.
struct Registry {
    std::mutex lock;
    std::map<Identity, Entry> files;
};

Registry& registry()
{
    static Registry* const files = new Registry;
    return *files;
}

std::string canonicalPath(const std::string& path)
{
    char* resolved = ::realpath(path.c_str(), nullptr);
    std::string canonical = resolved ? resolved : path;
    std::free(resolved);
    return canonical;
}

// Shares an opened file, or the one another thread entered meanwhile.
std::shared_ptr<const CsvFile> enter(std::unique_ptr<CsvFile> opened)
{
    struct stat status {};
    if (::fstat(opened->fd, &status) != 0)
        return std::shared_ptr<const CsvFile>(std::move(opened));
    const Identity identity = identityOf(status, opened->size, opened->modified, opened->path, opened->options);
    const CsvFile* file = opened.get();
    const std::shared_ptr<const CsvFile> entered(opened.release(), [identity](const CsvFile* gone) {
        {
            Registry& files = registry();
            const std::lock_guard<std::mutex> hold(files.lock);
            const auto at = files.files.find(identity);
            if (at != files.files.end() && at->second.file == gone)
                files.files.erase(at);
        }
        delete gone;
    });
    std::shared_ptr<const CsvFile> earlier;
    {
        Registry& files = registry();
        const std::lock_guard<std::mutex> hold(files.lock);
        Entry& entry = files.files[identity];
        earlier = entry.shared.lock();
        if (!earlier)
            entry = {file, entered};
    }
    return earlier ? earlier : entered;
}

} // namespace

std::shared_ptr<const CsvFile> openShared(const std::string& path, const Options& options, std::string& error)
{
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
        const Identity identity = identityOf(status, static_cast<std::uint64_t>(status.st_size), status.st_mtim,
                                             canonicalPath(path), options);
        Registry& files = registry();
        const std::lock_guard<std::mutex> hold(files.lock);
        const auto at = files.files.find(identity);
        if (at != files.files.end()) {
            if (std::shared_ptr<const CsvFile> shared = at->second.shared.lock())
                return shared;
        }
    }
    auto opened = std::make_unique<CsvFile>();
    if (!opened->open(path, options, error))
        return nullptr;
    return enter(std::move(opened));
}

std::shared_ptr<const CsvFile> share(CsvFile& file)
{
    auto taken = std::make_unique<CsvFile>();
    taken->swap(file);
    return enter(std::move(taken));
}

} // namespace csvfile
