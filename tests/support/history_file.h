// Read access to the history database of the test process ($HOME/transactions.sqlite)
// through a separate SQLite connection, for checking what the log holds.
#pragma once

#include "overlay_fixture.h"

#include <string>
#include <vector>

class HistoryFile {
public:
    HistoryFile();
    ~HistoryFile();
    HistoryFile(const HistoryFile&) = delete;
    HistoryFile& operator=(const HistoryFile&) = delete;

    static std::string path();
    // Rows of sql rendered as describeValue does.
    std::vector<ResultRow> query(const std::string& sql);
    int execute(const std::string& sql);
    // Names of every table in the file, sorted.
    std::vector<std::string> tableNames();

private:
    sqlite3* db = nullptr;
};
