#include "overlay_fixture.h"

#include "quillmere.h"
#include "routines.h"

#include <cstdlib>

namespace {

std::string render(sqlite3_value* value)
{
    auto bytes = static_cast<const unsigned char*>(sqlite3_value_blob(value));
    const size_t size = static_cast<size_t>(sqlite3_value_bytes(value));
    char real[40];
    std::string hex;
    for (size_t i = 0; i < size; ++i)
        hex += {"0123456789abcdef"[bytes[i] >> 4], "0123456789abcdef"[bytes[i] & 15]};
    switch (sqlite3_value_type(value)) {
    case SQLITE_INTEGER:
        return std::to_string(sqlite3_value_int64(value));
    case SQLITE_FLOAT:
        return sqlite3_snprintf(sizeof real, real, "%!.17g", sqlite3_value_double(value));
    case SQLITE_TEXT:
        return "'" + std::string(reinterpret_cast<const char*>(bytes), size) + "'";
    case SQLITE_BLOB:
        return "x'" + hex + "'";
    default:
        return "NULL";
    }
}

} // namespace

std::string run(sqlite3* db, const std::string& sql)
{
    std::string out;
    for (const char* rest = sql.c_str(); *rest;) {
        sqlite3_stmt* statement = nullptr;
        int rc = sqlite3_prepare_v2(db, rest, -1, &statement, &rest);
        while (statement && (rc = sqlite3_step(statement)) == SQLITE_ROW) {
            for (int i = 0; i < sqlite3_column_count(statement); ++i)
                out += (i ? "|" : out.empty() ? "" : " ") + render(sqlite3_column_value(statement, i));
        }
        const std::string message = sqlite3_errmsg(db);
        sqlite3_finalize(statement);
        if (rc != SQLITE_OK && rc != SQLITE_DONE)
            return out + (out.empty() ? "" : " ") + "error " + std::to_string(rc) + ": " + message;
    }
    return out;
}

memory_module::TableData numbered(int count)
{
    memory_module::TableData data{{"a", "b"}, {}};
    for (int i = 1; i <= count; ++i)
        data.rows.push_back({sqlite3_int64(i), "r" + std::to_string(i)});
    return data;
}

void OverlayTest::open(const std::string& path)
{
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(wrapVirtualTableWithTransactions(db, hostRoutines(), memory_module::module(), "overlay"), SQLITE_OK);
    ASSERT_EQ(quillmere_register_undoredo_functions(db), SQLITE_OK);
}

void OverlayTest::close()
{
    EXPECT_EQ(sqlite3_close(db), SQLITE_OK);
    db = nullptr;
}

std::string OverlayTest::history(const std::string& sql)
{
    if (!historyDb)
        sqlite3_open((std::string(std::getenv("HOME")) + "/transactions.sqlite").c_str(), &historyDb);
    sqlite3_busy_timeout(historyDb, 5000);
    return ::run(historyDb, sql);
}
