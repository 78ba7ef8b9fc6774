// Makes a group of statements on the history database atomic: everything since
// the savepoint is rolled back unless release() is reached. Savepoints nest.
#pragma once

#include "store/sqlite_database.h"

class Savepoint {
public:
    explicit Savepoint(SqliteDatabase& database);
    ~Savepoint();
    Savepoint(const Savepoint&) = delete;
    Savepoint& operator=(const Savepoint&) = delete;

    // Keeps what was done since the savepoint.
    void release();

private:
    SqliteDatabase& database;
    bool outermost = false;
    bool released = false;
};
