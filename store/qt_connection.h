// The Qt side of a connection to the history database: added, opened, closed
// and removed by the thread that made it, as Qt asks; every thread works on
// the SQLite handle beneath it, one at a time, as SQLite's multi-thread mode asks.
#pragma once

#include <QString>

#include <thread>

struct sqlite3;

class QtConnection {
public:
    // Adds a QSQLITE connection to the SQLite file at path (created when
    // missing) and opens it. Throws ErrorPair with SQLite's code and message.
    explicit QtConnection(const QString& path);
    // Closes and removes the connection on the thread that made it; another
    // thread hands that to the thread that made it, which does it when it
    // next makes a connection or when it ends. Qt closes what it still holds
    // as the process ends.
    ~QtConnection();
    QtConnection(const QtConnection&) = delete;
    QtConnection& operator=(const QtConnection&) = delete;

    sqlite3* handle() const { return handle_; }

private:
    QString name;
    std::thread::id maker;
    sqlite3* handle_ = nullptr;
};
