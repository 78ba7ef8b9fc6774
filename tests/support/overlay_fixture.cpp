// Fixture plumbing: the probe module is the overlay module with a creation
// callback that remembers the record it made.
#include "overlay_fixture.h"

#include "overlay/callbacks.h"
#include "quillmere.h"
#include "routines.h"

namespace {

OverlayTable* probedTable = nullptr;

int probeCreate(sqlite3* db, void* registration, int argc, const char* const* argv,
                sqlite3_vtab** ppVtab, char** pzErr)
{
    int rc = overlayCreate(db, registration, argc, argv, ppVtab, pzErr);
    if (rc == SQLITE_OK)
        probedTable = overlayTable(*ppVtab);
    return rc;
}

sqlite3_module makeProbeModule()
{
    sqlite3_module probe = overlayModule;
    probe.xCreate = probeCreate;
    probe.xConnect = probeCreate;
    return probe;
}

const sqlite3_module probeModule = makeProbeModule();

} // namespace

std::string describeValue(sqlite3_value* value)
{
    switch (sqlite3_value_type(value)) {
    case SQLITE_INTEGER:
        return "int:" + std::to_string(sqlite3_value_int64(value));
    case SQLITE_FLOAT: {
        char text[64];
        sqlite3_snprintf(sizeof text, text, "%!.17g", sqlite3_value_double(value));
        return std::string("real:") + text;
    }
    case SQLITE_TEXT:
        return "text:" + std::string(reinterpret_cast<const char*>(sqlite3_value_text(value)),
                                     static_cast<size_t>(sqlite3_value_bytes(value)));
    case SQLITE_BLOB: {
        std::string hex = "blob:";
        auto bytes = static_cast<const unsigned char*>(sqlite3_value_blob(value));
        for (int i = 0; i < sqlite3_value_bytes(value); ++i) {
            char pair[3];
            std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
            hex += pair;
        }
        return hex;
    }
    default:
        return "null";
    }
}

void OverlayTest::SetUp()
{
    memory_module::clear();
    probedTable = nullptr;
}

void OverlayTest::TearDown()
{
    closeDatabase();
    memory_module::clear();
}

void OverlayTest::openDatabase(const std::string& path)
{
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(wrapVirtualTableWithTransactions(db, hostRoutines(), memory_module::module(), "overlay"),
              SQLITE_OK);
    ASSERT_EQ(sqlite3_create_module_v2(db, "probe", &probeModule, newOverlayRegistration(memory_module::module()),
                                       deleteOverlayRegistration),
              SQLITE_OK);
}

void OverlayTest::closeDatabase()
{
    if (db) {
        EXPECT_EQ(sqlite3_close(db), SQLITE_OK);
        db = nullptr;
    }
}

int OverlayTest::execute(const std::string& sql)
{
    char* message = nullptr;
    int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message);
    lastError = message ? message : "";
    sqlite3_free(message);
    return rc;
}

int OverlayTest::tryQuery(const std::string& sql, std::vector<ResultRow>& rows)
{
    rows.clear();
    sqlite3_stmt* statement = nullptr;
    int rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr);
    if (rc == SQLITE_OK) {
        while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
            ResultRow row;
            for (int i = 0; i < sqlite3_column_count(statement); ++i)
                row.push_back(describeValue(sqlite3_column_value(statement, i)));
            rows.push_back(row);
        }
    }
    lastError = rc == SQLITE_DONE ? "" : sqlite3_errmsg(db);
    sqlite3_finalize(statement);
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

std::vector<ResultRow> OverlayTest::query(const std::string& sql)
{
    std::vector<ResultRow> rows;
    EXPECT_EQ(tryQuery(sql, rows), SQLITE_OK) << lastError << " in " << sql;
    return rows;
}

OverlayTable* OverlayTest::lastProbedTable()
{
    return probedTable;
}
