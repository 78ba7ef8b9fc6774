// The history file, transactions.sqlite in the home folder: where it is, and
// while it is open, its one connection with the file's settings and schema,
// and the owners' locks beside it. Shared by every thread of the process.
#pragma once

#include "common/mutex.h"
#include "store/owner_locks.h"
#include "store/sqlite_database.h"

#include <QString>

#include <memory>

class HistoryFile {
public:
    // The file while it is open. Whoever works on it holds it, and so keeps
    // it open: a change log for its life, an operation for its length.
    struct Open {
        // Opens the connection with the file's settings and shared tables, and
        // the owners' lock file. Throws ErrorPair, SQLITE_CANTOPEN naming the
        // file when it cannot be opened.
        explicit Open(const QString& path);
        SqliteDatabase database;
        OwnerLocks owners;
    };

    // Where the file is: transactions.sqlite in the home folder. Throws
    // ErrorPair (SQLITE_CANTOPEN) saying what is wrong with HOME.
    static QString path();
    // The file's full path when path (a database file) is this file, else an
    // empty string.
    static QString fileAt(const char* path);

    // The file, opened on first use. Throws ErrorPair; the next call tries again.
    std::shared_ptr<Open> open();
    // The file when it is open, or null.
    std::shared_ptr<Open> opened() const;
    // The file when it exists, opened; null when it does not exist or cannot
    // be opened now.
    std::shared_ptr<Open> existing() noexcept;
    // Closes the file when nothing else holds it and no transaction, savepoint
    // or reader is alive, so that the next use opens it afresh where HOME
    // points then; whether it is closed.
    bool closeIfUnused() noexcept;
    // Lets the file go whoever holds it: it closes with its last holder.
    void close() noexcept;

private:
    mutable Mutex mutex;
    std::shared_ptr<Open> current GUARDED_BY(mutex);
};

// The connection of file, held as long as the file.
inline std::shared_ptr<SqliteDatabase> connectionOf(const std::shared_ptr<HistoryFile::Open>& file)
{
    return std::shared_ptr<SqliteDatabase>(file, &file->database);
}
