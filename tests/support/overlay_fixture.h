// A connection with the overlay wrapped around the in-memory module, plus a
// probe module that hands tests the record of every overlay table it creates.
#pragma once

#include "memory_module.h"
#include "overlay/records.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// One result row, each value rendered as "type:value" (NULL as "null").
using ResultRow = std::vector<std::string>;

class OverlayTest : public testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Opens db (":memory:" or a file) with the overlay registered as "overlay"
    // and the probe as "probe".
    void openDatabase(const std::string& path = ":memory:");
    void closeDatabase();

    // Runs sql; returns the result code and leaves the message in lastError.
    int execute(const std::string& sql);
    // Runs a query and collects its rows; returns SQLITE_OK or the error code.
    int tryQuery(const std::string& sql, std::vector<ResultRow>& rows);
    // As tryQuery, failing the test on an error.
    std::vector<ResultRow> query(const std::string& sql);

    // The overlay table created last through the "probe" module.
    static OverlayTable* lastProbedTable();

    sqlite3* db = nullptr;
    std::string lastError;
};

// Renders a value as query() does.
std::string describeValue(sqlite3_value* value);
