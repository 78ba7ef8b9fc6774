// Turns bytes into writes, commits, undos and redos on an overlay table (with
// crafted table names) and checks after each that the overlay reads as the
// step model says, that refusals are the expected ones, and that nothing crashes.
#include "memory_module.h"
#include "quillmere.h"
#include "routines.h"
#include "step_model.h"

#include <QDir>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using memory_module::Cell;
using memory_module::Row;

constexpr sqlite3_int64 innerRows = 4;
const char* const tableNames[] = {"t", "v(a)/*", "ombrixOpenedTables--", "my roads", "say \"hi\"", "T\xC3\xA9"};

class Bytes {
public:
    Bytes(const uint8_t* data, size_t size) : data(data), size(size) {}
    bool empty() const { return at >= size; }
    uint8_t next() { return at < size ? data[at++] : 0; }

private:
    const uint8_t* data;
    size_t size;
    size_t at = 0;
};

[[noreturn]] void fail(const std::string& what)
{
    std::fprintf(stderr, "mismatch: %s\n", what.c_str());
    std::abort();
}

std::string quoted(const std::string& name)
{
    std::string result = "\"";
    for (char c : name)
        result += c == '"' ? std::string("\"\"") : std::string(1, c);
    return result + "\"";
}

Cell cellFrom(Bytes& bytes)
{
    const uint8_t kind = bytes.next();
    switch (kind % 5) {
    case 0:
        return std::monostate{};
    case 1:
        return sqlite3_int64(uint64_t(sqlite3_int64(int8_t(bytes.next()))) << (kind % 64));
    case 2:
        return double(int8_t(bytes.next())) / 4;
    case 3:
        return std::string("w") + std::to_string(bytes.next());
    default:
        return memory_module::Blob{{bytes.next(), 0}};
    }
}

sqlite3_int64 rowidFrom(Bytes& bytes)
{
    const uint8_t pick = bytes.next();
    switch (pick % 8) {
    case 0:
        return -sqlite3_int64(pick);
    case 1:
        return INT64_MAX - (pick % 3);
    default:
        return pick % 12;
    }
}

struct Session {
    sqlite3* db = nullptr;
    std::string table;
    StepModel model;
    Rows inner;
    // The log comes into being with the first write that reaches the table,
    // refused or not; before it the history functions change nothing.
    bool logged = false;

    // Runs sql with values bound in order; returns the result code.
    int run(const std::string& sql, const std::vector<Cell>& values = {})
    {
        sqlite3_stmt* statement = nullptr;
        int rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr);
        if (rc != SQLITE_OK)
            fail("prepare " + sql + ": " + sqlite3_errmsg(db));
        for (size_t i = 0; i < values.size(); ++i)
            bindCell(statement, int(i + 1), values[i]);
        while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
        }
        sqlite3_finalize(statement);
        return rc == SQLITE_DONE ? SQLITE_OK : rc;
    }

    void expectOk(const std::string& sql, const std::vector<Cell>& values = {})
    {
        if (run(sql, values) != SQLITE_OK)
            fail(sql + ": " + sqlite3_errmsg(db));
    }

    void expectRefused(const std::string& sql, const std::vector<Cell>& values = {})
    {
        if (run(sql, values) != SQLITE_CONSTRAINT)
            fail(sql + " was not refused");
        logged = true;
    }

    void record(const Change& change)
    {
        model.record(change);
        logged = true;
    }

    Rows visible() const { return model.replay(inner); }

    bool isFree(sqlite3_int64 rowid) const { return rowid > innerRows && !visible().count(rowid); }

    void compare()
    {
        Rows shown;
        sqlite3_stmt* statement = nullptr;
        sqlite3_prepare_v2(db, ("SELECT rowid, a, b FROM " + quoted(table)).c_str(), -1, &statement, nullptr);
        int rc;
        while ((rc = sqlite3_step(statement)) == SQLITE_ROW)
            shown[sqlite3_column_int64(statement, 0)] = {cellOf(sqlite3_column_value(statement, 1)),
                                                         cellOf(sqlite3_column_value(statement, 2))};
        sqlite3_finalize(statement);
        if (rc != SQLITE_DONE)
            fail(std::string("scan: ") + sqlite3_errmsg(db));
        if (shown != visible())
            fail("overlay differs from the model");
    }

    void step(Bytes& bytes)
    {
        const std::string t = quoted(table);
        const uint8_t op = bytes.next() % 8;
        switch (op) {
        case 0: { // INSERT without rowid
            const Cell a = cellFrom(bytes);
            const Cell b = cellFrom(bytes);
            sqlite3_int64 rowid = innerRows + 1;
            const Rows rows = visible();
            while (rows.count(rowid))
                ++rowid;
            expectOk("INSERT INTO " + t + "(a, b) VALUES (?, ?)", {a, b});
            record({rowid, Row{a, b}});
            break;
        }
        case 1: { // INSERT with a rowid
            const sqlite3_int64 rowid = rowidFrom(bytes);
            const Cell a = cellFrom(bytes);
            const std::string sql = "INSERT INTO " + t + "(rowid, a) VALUES (?, ?)";
            if (!isFree(rowid)) {
                expectRefused(sql, {rowid, a});
            } else {
                expectOk(sql, {rowid, a});
                record({rowid, Row{a, std::monostate{}}});
            }
            break;
        }
        case 2: { // UPDATE of a value
            const sqlite3_int64 rowid = rowidFrom(bytes);
            const Cell b = cellFrom(bytes);
            const Rows rows = visible();
            expectOk("UPDATE " + t + " SET b = ? WHERE rowid = ?", {b, rowid});
            if (rows.count(rowid))
                record({rowid, Row{rows.at(rowid)[0], b}});
            break;
        }
        case 3: { // UPDATE of a rowid
            const sqlite3_int64 from = rowidFrom(bytes);
            const sqlite3_int64 to = rowidFrom(bytes);
            const Rows rows = visible();
            const std::string sql = "UPDATE " + t + " SET rowid = ? WHERE rowid = ?";
            if (!rows.count(from)) {
                expectOk(sql, {to, from});
            } else if (from == to) {
                expectOk(sql, {to, from});
                record({from, rows.at(from)});
            } else if (!isFree(to)) {
                expectRefused(sql, {to, from});
            } else {
                expectOk(sql, {to, from});
                record({from, std::nullopt});
                record({to, rows.at(from)});
            }
            break;
        }
        case 4: { // DELETE
            const sqlite3_int64 rowid = rowidFrom(bytes);
            const bool present = visible().count(rowid) > 0;
            expectOk("DELETE FROM " + t + " WHERE rowid = ?", {rowid});
            if (present)
                record({rowid, std::nullopt});
            break;
        }
        case 5:
            expectOk("SELECT ombrix_commit(?)", {table});
            if (logged)
                model.commit();
            break;
        case 6: {
            const int steps = int(bytes.next() % 5) - 1;
            expectOk("SELECT ombrix_undo(?, ?)", {table, sqlite3_int64(steps)});
            if (logged)
                model.undo(steps);
            break;
        }
        default: {
            const int steps = int(bytes.next() % 5) - 1;
            expectOk("SELECT ombrix_redo(?, ?)", {table, sqlite3_int64(steps)});
            if (logged)
                model.redo(steps);
            break;
        }
        }
        compare();
    }
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    const std::string home = QDir::tempPath().toStdString() + "/quillmere-fuzz-XXXXXX";
    std::vector<char> path(home.begin(), home.end());
    path.push_back('\0');
    if (mkdtemp(path.data()))
        setenv("HOME", path.data(), 1);
    memory_module::setTable("/inner", memory_module::TableData{
                                          {"a", "b"},
                                          {{sqlite3_int64(1), std::string("one")},
                                           {2.5, std::monostate{}},
                                           {std::string("three"), memory_module::Blob{{3}}},
                                           {std::monostate{}, sqlite3_int64(-4)}}});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Bytes bytes(data, size);
    Session session;
    session.table = tableNames[bytes.next() % (sizeof tableNames / sizeof *tableNames)];
    session.inner = {{1, {sqlite3_int64(1), std::string("one")}},
                     {2, {2.5, std::monostate{}}},
                     {3, {std::string("three"), memory_module::Blob{{3}}}},
                     {4, {std::monostate{}, sqlite3_int64(-4)}}};
    sqlite3_open(":memory:", &session.db);
    wrapVirtualTableWithTransactions(session.db, hostRoutines(), memory_module::module(), "overlay");
    quillmere_register_undoredo_functions(session.db);
    session.expectOk("CREATE VIRTUAL TABLE " + quoted(session.table) + " USING overlay('/inner')");
    for (int steps = 0; !bytes.empty() && steps < 64; ++steps)
        session.step(bytes);
    sqlite3_close(session.db);
    return 0;
}
