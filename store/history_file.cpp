// Opening the history file: the HOME check, the connection's settings and
// the shared tables' schemas; closing it once nothing holds it.
#include "store/history_file.h"

#include "common/error_pair.h"
#include "store/history_tables.h"

#include <QDir>

#include <sqlite3.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char historyFileName[] = "/transactions.sqlite";

// The home folder, refused when HOME does not name a folder: Qt would fall
// back to the root folder. Checked on the bytes of HOME: Qt's file names go
// through the locale's codec, which a host that never writes need not load.
QString homeFolder()
{
    const char* home = std::getenv("HOME");
    struct stat info;
    QString wrong;
    if (!home)
        wrong = QStringLiteral("HOME is not set");
    else if (!*home)
        wrong = QStringLiteral("HOME is empty");
    else if (stat(home, &info) != 0)
        wrong = QStringLiteral("HOME (%1) %2")
                    .arg(QString::fromUtf8(home),
                         errno == ENOENT ? QStringLiteral("does not exist") : QString::fromUtf8(std::strerror(errno)));
    else if (!S_ISDIR(info.st_mode))
        wrong = QStringLiteral("HOME (%1) is not a folder").arg(QString::fromUtf8(home));
    if (!wrong.isEmpty())
        throw ErrorPair(SQLITE_CANTOPEN, QStringLiteral("cannot open the history database: ") + wrong);
    return QDir::homePath();
}

std::string resolvedPath(const char* path)
{
    std::unique_ptr<char, decltype(&std::free)> resolved(realpath(path, nullptr), &std::free);
    return resolved ? std::string(resolved.get()) : std::string();
}

} // namespace

QString HistoryFile::path()
{
    return homeFolder() + QLatin1String(historyFileName);
}

QString HistoryFile::fileAt(const char* path)
{
    const char* home = std::getenv("HOME");
    if (!path || !*path || !home || !*home)
        return QString();
    const std::string file = resolvedPath(path);
    if (file.empty() || file != resolvedPath((std::string(home) + historyFileName).c_str()))
        return QString();
    return QString::fromUtf8(file.c_str());
}

// Opening only reads, so that a process never waits for another one's
// transaction to get the file.
HistoryFile::Open::Open(const QString& path)
try : database(path), owners(path + QStringLiteral("-owners")) {
    // A new file gives freed pages back to the file system.
    if (database.runOnce(QStringLiteral("SELECT count(*) FROM sqlite_master")).toInt() == 0)
        database.runOnce(QStringLiteral("PRAGMA auto_vacuum=INCREMENTAL"));
    if (database.runOnce(QStringLiteral("PRAGMA journal_mode")).toString() != QStringLiteral("wal"))
        database.runOnce(QStringLiteral("PRAGMA journal_mode=WAL"));
    database.runOnce(QStringLiteral("PRAGMA synchronous=NORMAL"));
    // Some builds of SQLite (Debian's among them) overwrite every freed page
    // with zeros, which doubles the writes of undo and dropping a log; deleted
    // rows are still cleared within pages that are written anyway.
    database.runOnce(QStringLiteral("PRAGMA secure_delete=FAST"));
    database.runOnce(QStringLiteral("PRAGMA journal_size_limit=4194304"));
    // Pages that edit after edit rewrites (a log's rows, its step index) are
    // copied into the file once per 32 MB of log rather than at every commit.
    database.runOnce(QStringLiteral("PRAGMA wal_autocheckpoint=8192"));
    // Room for a large transaction's pages, which would otherwise spill into
    // the WAL file before the commit writes them again.
    database.runOnce(QStringLiteral("PRAGMA cache_size=-16384"));
    for (const char* schema : sharedTableSchemas)
        database.runOnce(QString::fromLatin1(schema));
} catch (const ErrorPair& error) {
    // SQLite's words name no file; the owners' lock file names its own.
    if (error.code() != SQLITE_CANTOPEN || error.message().startsWith("cannot open "))
        throw;
    throw ErrorPair(
        SQLITE_CANTOPEN,
        QStringLiteral("cannot open the history database %1: %2").arg(path, QString::fromUtf8(error.message())));
}

std::shared_ptr<HistoryFile::Open> HistoryFile::open()
{
    const MutexLock held(mutex);
    if (!current)
        current = std::make_shared<Open>(path());
    return current;
}

std::shared_ptr<HistoryFile::Open> HistoryFile::opened() const
{
    const MutexLock held(mutex);
    return current;
}

std::shared_ptr<HistoryFile::Open> HistoryFile::existing() noexcept
{
    try {
        const MutexLock held(mutex);
        struct stat info;
        if (!current && stat(path().toUtf8().constData(), &info) == 0)
            current = std::make_shared<Open>(path());
        return current;
    } catch (...) {
        return nullptr;
    }
}

bool HistoryFile::closeIfUnused() noexcept
{
    std::shared_ptr<Open> closing;
    {
        const MutexLock held(mutex);
        if (!current)
            return true;
        // Nobody can take another hold on it while the mutex is held.
        if (current.use_count() > 1 || current->database.inTransaction() || current->database.inUse())
            return false;
        closing = std::move(current);
    }
    return true;
}

void HistoryFile::close() noexcept
{
    std::shared_ptr<Open> closing;
    const MutexLock held(mutex);
    closing = std::move(current);
}
