// The fixture of the SQL tests: a connection with the overlay wrapped around the
// in-memory module as "overlay" and the history functions registered. Results
// read as SQL literals (1, 2.5, 'text', x'00ff', NULL), columns joined by '|'
// and rows by ' '; a failure ends them with "error CODE: message".
#pragma once

#include "memory_module.h"

#include <gtest/gtest.h>

#include <string>

// Runs every statement of sql in turn and renders their rows.
std::string run(sqlite3* db, const std::string& sql);

// memory_module rows {i, 'r<i>'} for i = 1..count, in columns a and b.
memory_module::TableData numbered(int count);

class OverlayTest : public testing::Test {
protected:
    void SetUp() override { memory_module::clear(); }
    void TearDown() override { close(); sqlite3_close(historyDb); memory_module::clear(); }

    void open(const std::string& path = ":memory:");
    void close();
    std::string run(const std::string& sql) { return ::run(db, sql); }
    // Runs sql on $HOME/transactions.sqlite through a connection of the test's own.
    std::string history(const std::string& sql);

    sqlite3* db = nullptr;
    sqlite3* historyDb = nullptr;
};
