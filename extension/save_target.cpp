// The files a save refuses to replace, told by their canonical path or, for
// files that exist, by device and inode, whatever name reaches them.
#include "extension/save_target.h"

#include "common/error_pair.h"
#include "common/identifiers.h"
#include "common/inner_files.h"
#include "extension/save_failure.h"
#include "history/history.h"

#include <QFile>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

SQLITE_EXTENSION_INIT3

namespace {

std::string resolved(const std::string& path)
{
    const std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
    return real ? std::string(real.get()) : std::string();
}

// A file by its canonical path, or for a file not there yet its folder's with
// its name, and when it exists by device and inode.
struct Identity {
    std::string path;
    bool exists = false;
    struct stat status {};

    explicit Identity(const std::string& given)
    {
        exists = ::stat(given.c_str(), &status) == 0;
        path = resolved(given);
        if (!path.empty())
            return;
        const std::size_t slash = given.rfind('/');
        const std::string folder = resolved(slash == std::string::npos ? "." : given.substr(0, slash + 1));
        path = folder.empty() ? given : folder + (folder == "/" ? "" : "/") + given.substr(slash + 1);
    }

    bool sameFile(const Identity& other) const
    {
        return path == other.path ||
               (exists && other.exists && status.st_dev == other.status.st_dev && status.st_ino == other.status.st_ino);
    }
};

Failure refused(int code, const std::string& path, const std::string& why)
{
    return Failure{code, "cannot save to " + path + ": " + why};
}

// The files of a SQLite database besides the database itself.
void refuseDatabaseFiles(const Identity& target, const std::string& database, const std::string& what)
{
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
        if (target.sameFile(Identity(database + suffix)))
            throw refused(SQLITE_ERROR, target.path, "it is " + what);
    }
}

// The history file with its companions and the owners' lock file, the
// connection's databases, and whatever starts as a SQLite database does.
void refuseDatabases(sqlite3* db, const Identity& target)
{
    std::string history;
    try {
        history = QFile::encodeName(HistoryFile::path()).toStdString();
    } catch (const ErrorPair&) {
        // Without a home there is no history file to spare.
    }
    if (!history.empty()) {
        refuseDatabaseFiles(target, history, "a file of the history database");
        if (target.sameFile(Identity(history + "-owners")))
            throw refused(SQLITE_ERROR, target.path, "it is the lock file of the history database");
    }
    std::vector<std::pair<std::string, std::string>> databases; // schema, file
    sqlite3_stmt* list = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA database_list", -1, &list, nullptr) == SQLITE_OK) {
        while (sqlite3_step(list) == SQLITE_ROW) {
            const auto* schema = reinterpret_cast<const char*>(sqlite3_column_text(list, 1));
            const auto* file = reinterpret_cast<const char*>(sqlite3_column_text(list, 2));
            if (schema && file && *file)
                databases.emplace_back(schema, file);
        }
    }
    sqlite3_finalize(list);
    for (const auto& [schema, file] : databases)
        refuseDatabaseFiles(target, file, "a file of database " + schema);
    char header[16] = {};
    const int fd = target.exists ? ::open(target.path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK) : -1;
    const bool database = fd >= 0 && ::read(fd, header, sizeof header) == sizeof header &&
                          std::memcmp(header, "SQLite format 3", 16) == 0;
    if (fd >= 0)
        ::close(fd);
    if (database)
        throw refused(SQLITE_ERROR, target.path, "it is a SQLite database");
}

// A log lies over the files its path names; the table's own log aside.
void refuseFilesOfLogs(History* history, const std::string& name, bool hasLog, const std::string& ownFile,
                       const Identity& target)
{
    if (!history)
        return;
    for (const LogPath& log : history->livingLogPaths()) {
        if (hasLog && sameIdentifier(log.name, QString::fromStdString(name)) &&
            Identity(log.filePath.toStdString()).sameFile(Identity(ownFile)))
            continue;
        std::vector<std::string> files{log.filePath.toStdString()};
        for (const FileStamp& stamp : stampFiles(log.filePath))
            files.push_back(stamp.path.toStdString());
        for (const std::string& file : files) {
            if (target.sameFile(Identity(file)))
                throw refused(SQLITE_CONSTRAINT, target.path,
                              std::string("the ") + (log.kept ? "kept " : "") + "change log of table " +
                                  log.name.toStdString() + " lies over it; its edits would no longer match the file");
        }
    }
}

// The file the table reads, by another name than the one it opened.
Failure otherName(const Identity& target, const std::string& name, const std::string& ownFile)
{
    return refused(SQLITE_ERROR, target.path,
                   "it is the file " + name + " reads, by another name than " + ownFile +
                       " (a hard link, or the file moved): save over " + ownFile + " or to a file of its own");
}

} // namespace

bool isOwnFileTarget(sqlite3* db, const SavedTable& table, const char* path)
{
    const Identity target(path ? std::string(path) : table.file->path);
    refuseFilesOfLogs(table.history.get(), table.name, table.log != nullptr, table.file->path, target);
    if (target.path == table.file->path)
        return true;
    struct stat opened {};
    if (target.exists && ::fstat(table.file->fd, &opened) == 0 && opened.st_dev == target.status.st_dev &&
        opened.st_ino == target.status.st_ino)
        throw otherName(target, table.name, table.file->path);
    refuseDatabases(db, target);
    return false;
}

bool isOwnPathTarget(sqlite3* db, History* history, const std::string& name, bool hasLog, const std::string& ownFile,
                     const char* path)
{
    const Identity target(path ? std::string(path) : ownFile);
    refuseFilesOfLogs(history, name, hasLog, ownFile, target);
    if (target.path == ownFile)
        return true;
    if (target.sameFile(Identity(ownFile)))
        throw otherName(target, name, ownFile);
    refuseDatabases(db, target);
    return false;
}
