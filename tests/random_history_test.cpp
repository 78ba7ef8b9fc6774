// Random writes, queries, history steps and host transactions on overlay tables over each inner module, checked
// against the step model (its rows in the native table ref) and against ref running what a native table runs alike;
// then the same from several threads at once, with readers and two connections taking turns on one thread.
#include "routines.h" // SQLite's own calls, before the headers that would reach it as an extension does

#include "extension/capture.h"
#include "overlay/callbacks.h"
#include "overlay_fixture.h"
#include "step_model.h"

#include "quillmere.h"

#include <dlfcn.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <fstream>
#include <memory>
#include <random>
#include <thread>

using memory_module::Blob;
using memory_module::Cell;
using memory_module::Row;
using namespace std::string_literals;

// LeakSanitizer's, when it runs.
extern "C" void __lsan_disable() __attribute__((weak));
extern "C" void __lsan_enable() __attribute__((weak));

namespace {

// Two seeds for each inner table, each with a table name of its own.
const unsigned seeds[] = {1, 7, 42, 1009, 65537, 3, 11, 2024, 5, 99};
const char* const names[] = {"t", "my \"roads\"", "v(a)/*", "ombrixOpenedTables--", "T\xC3\xA9"};
constexpr int operations = 2500;

// First rowid, rowid step and indexed column of the memory module's rows: 1..n, from 1000 in steps of 7,
// an index on b, and 1..n with text and blobs handed out as static values freed at xClose; a step of 0
// stands for Debian's csvtable, whose rowids are byte offsets.
const sqlite3_int64 inners[][3] = {{1, 1, -1}, {1000, 7, -1}, {1, 1, 1}, {0, 0, -1}, {1, 1, -2}};

// Queries run on the table and on ref alike: %T the table, %C a condition.
const std::vector<std::string> queries = {
    "SELECT rowid, * FROM %T WHERE %C ORDER BY rowid",
    "SELECT rowid, c, a FROM %T WHERE %C ORDER BY c DESC, rowid LIMIT 2 OFFSET 1",
    "SELECT typeof(b), count(*), max(rowid), min(a) FROM %T WHERE %C GROUP BY 1 ORDER BY 1",
    "SELECT r.rowid, x.rowid, x.c FROM ref AS r JOIN %T AS x ON x.b = r.b ORDER BY 1, 2",
};

// ON CONFLICT modes, in the order of how widely a statement may use them.
enum Conflict { Abort, Ignore, Rollback, Replace, Fail };
const char* const conflictSql[] = {"", " OR IGNORE", " OR ROLLBACK", " OR REPLACE", " OR FAIL"};

std::string replaced(std::string text, const std::string& from, const std::string& to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// ASCII letters in the other case: the same table name to SQLite.
std::string flippedCase(std::string text)
{
    for (char& c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        c = char(std::isupper(byte) ? std::tolower(byte) : std::toupper(byte));
    }
    return text;
}

std::string enclosed(const std::string& text, char quote)
{
    return quote + replaced(text, std::string(1, quote), std::string(2, quote)) + quote;
}

// SQL that evaluates to exactly this value, type included.
std::string literal(const Cell& cell)
{
    if (auto integer = std::get_if<sqlite3_int64>(&cell))
        return std::to_string(*integer);
    if (auto real = std::get_if<double>(&cell)) {
        char text[40];
        sqlite3_snprintf(sizeof text, text, "%!.17g", *real);
        return text;
    }
    auto text = std::get_if<std::string>(&cell);
    if (text && std::all_of(text->begin(), text->end(), [](char c) { return c > 0; }))
        return enclosed(*text, '\'');
    auto blob = std::get_if<Blob>(&cell);
    if (!text && !blob)
        return "NULL";
    std::string hex;
    for (unsigned char byte : text ? std::vector<unsigned char>(text->begin(), text->end()) : blob->bytes)
        hex += {"0123456789abcdef"[byte >> 4], "0123456789abcdef"[byte & 15]};
    return text ? "CAST(x'" + hex + "' AS TEXT)" : "x'" + hex + "'";
}

Cell cellOf(sqlite3_stmt* statement, int column)
{
    const int type = sqlite3_column_type(statement, column);
    if (type == SQLITE_INTEGER)
        return sqlite3_column_int64(statement, column);
    if (type == SQLITE_FLOAT)
        return sqlite3_column_double(statement, column);
    if (type == SQLITE_NULL)
        return std::monostate{};
    auto bytes = static_cast<const unsigned char*>(sqlite3_column_blob(statement, column));
    std::vector<unsigned char> data(bytes, bytes + sqlite3_column_bytes(statement, column));
    if (type == SQLITE_TEXT)
        return std::string(data.begin(), data.end());
    return Blob{data};
}

// A statement (%T the table) and what it must do: record these changes, or fail on a rowid that is not
// free, keeping the changes before that row only with OR FAIL.
struct Write {
    std::string sql;
    Conflict conflict = Abort;
    bool refused = false;
    bool native = false; // a native table does the same with it
    std::vector<Change> changes;
};

// The rowid and values of the row a statement of "SELECT rowid, a, b, c" stands on.
std::pair<sqlite3_int64, Row> rowOf(sqlite3_stmt* statement)
{
    return {sqlite3_column_int64(statement, 0), Row{cellOf(statement, 1), cellOf(statement, 2), cellOf(statement, 3)}};
}

// A connection with the memory module's overlay as "overlay" and the history functions, or null.
sqlite3* connect(const std::string& path)
{
    sqlite3* db = nullptr;
    // A write waits for another connection's transaction as long as Python's connections wait by default.
    if (sqlite3_open(path.c_str(), &db) == SQLITE_OK && sqlite3_busy_timeout(db, 5000) == SQLITE_OK &&
        wrapVirtualTableWithTransactions(db, hostRoutines(), memory_module::module(), "overlay") == SQLITE_OK &&
        quillmere_register_undoredo_functions(db) == SQLITE_OK)
        return db;
    sqlite3_close(db);
    return nullptr;
}

// One connection's randomized run: an overlay table over an inner module, the native table ref, a table never
// written and another overlay table, with a generator, a step model and the host transaction's saved states.
// Table names, inner paths and files carry the session's number (none for 0): the library's table names are
// process-wide. A session runs on any thread, on one at a time; the first failed check is kept in failure.
class RandomSession {
public:
    RandomSession(const std::string& home, int number, unsigned seed, const std::string& name,
                  const sqlite3_int64 (&kind)[3])
        : number(number), seed(seed), kind(kind), home(home), name(name)
    {
    }
    ~RandomSession() { close(); }

    // Opens the connection and makes the tables; false on a failure or when skipped.
    bool start()
    {
        db = connect(file());
        if (!check("connection", db ? "open" : "failed", "open") ||
            !check("journal", run("PRAGMA journal_mode = MEMORY; PRAGMA synchronous = OFF"), "'memory'"))
            return false;
        // Debian's csvtable never frees its constructors' copy of their arguments.
        if (__lsan_disable)
            __lsan_disable();
        const bool made = createTables();
        if (__lsan_enable)
            __lsan_enable();
        visible = inner;
        return made && loadReference();
    }

    // One random operation, then every check.
    bool step();
    // The checks of the state the last operation left.
    bool verify();

    bool check(const std::string& label, const std::string& actual, const std::string& wanted)
    {
        if (actual != wanted && failure.empty())
            failure = "session " + std::to_string(number) + " (" + name + "), seed " + std::to_string(seed) +
                      ", operation " + std::to_string(index) + ", " + label + "\n  expected: " + wanted +
                      "\n  actual:   " + actual + "\n  recent operations:" + recent;
        return actual == wanted;
    }

    // Outside any host transaction: another connection may write.
    bool idle() const { return saved.empty() && !opened; }
    std::string run(const std::string& sql) { return ::run(db, sql); }
    // A file, so that the tables outlive the connection when it is opened again.
    std::string file() const { return home + "/random" + suffix + ".db"; }

    void close()
    {
        sqlite3_close(historyDb);
        check("close", std::to_string(sqlite3_close(db)), "0");
        db = historyDb = nullptr;
    }

    const int number;
    const unsigned seed;
    const sqlite3_int64 (&kind)[3];
    const std::string home, name, suffix = number ? std::to_string(number) : "";
    // The table as an SQL identifier, a table never written, the other table, the name as text and in the other
    // letter case.
    const std::string table = enclosed(name, '"'), untouched = enclosed("untouched " + name, '"'),
                      otherTable = "other" + suffix, nameText = enclosed(name, '\''),
                      otherCase = enclosed(flippedCase(name), '\'');
    std::string module = "overlay", arguments = "'/random" + suffix + "'";
    sqlite3* db = nullptr;
    Rows visible;
    std::string innerRows, failure, recent; // recent: the last operations, for a failure's report
    StepModel model;
    bool skipped = false;
    int index = 0;   // of the next operation
    int longest = 0; // operations a host transaction may last, when set

private:
    std::mt19937 random{seed};
    sqlite3* historyDb = nullptr;
    Rows inner;
    sqlite3_int64 firstNew = 1;
    // The values written to the other table, which joins host transactions at other levels.
    std::string other;
    // The host transaction's states at BEGIN (no name) and at each savepoint.
    struct Saved {
        std::string name;
        StepModel model;
        std::string other;
    };
    std::vector<Saved> saved;
    // After BEGIN or SAVEPOINT, often another savepoint or a history call, so that tables and history calls
    // join the history transaction at every level.
    bool opened = false;
    int lasted = 0;
    // ref as the last statement left it, when it must hold the model's rows.
    std::optional<std::string> left;

    void restore(const Saved& state) { model = state.model, other = state.other; }

    // Runs sql on $HOME/transactions.sqlite through a connection of the session's own.
    std::string history(const std::string& sql)
    {
        if (!historyDb) {
            sqlite3_open((home + "/transactions.sqlite").c_str(), &historyDb);
            sqlite3_busy_timeout(historyDb, 5000);
        }
        return ::run(historyDb, sql);
    }

    int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); }
    bool oneIn(int n) { return pick(1, n) == 1; }
    template <class T>
    auto& anyOf(const T& all)
    {
        return *std::next(std::begin(all), pick(0, int(std::size(all)) - 1));
    }

    Cell randomCell()
    {
        static const double reals[] = {0.5, -2.25, 0.1, 1e300, -1.5e-300, 3.141592653589793, 1.0, 123456789.125};
        static const std::string texts[] = {
            "", "plain", "\xC3\xA9t\xC3\xA9", "\xF0\x9F\x98\x80 ok", "it's", "a\nb", "42", "\xEF\xBB\xBF!",
            "\xEF\xBF\xBE", "x\xEF\xBF\xBF", "nul\0inside"s,
            // Not UTF-8: bytes no sequence allows, an encoded surrogate, a stray byte after a 4-byte sequence.
            "\xC0\xFF"
            "A",
            "\xED\xB2\x80", "\xF0\x90\x82\x80\x80"};
        static const std::vector<unsigned char> blobs[] = {{}, {0x00}, {0xde, 0xad, 0xbe, 0xef}};
        static const sqlite3_int64 big[] = {INT64_MAX, -INT64_MAX, sqlite3_int64(1) << 40, 0};
        switch (pick(0, 7)) {
        case 0:
            return std::monostate{};
        case 1:
            return sqlite3_int64(pick(-50, 1000));
        case 2:
            return anyOf(big);
        case 3:
            return anyOf(reals);
        case 4:
            return std::uniform_real_distribution<double>(-1e6, 1e6)(random);
        case 5:
            return anyOf(texts);
        case 6:
            return Blob{anyOf(blobs)};
        default:
            return "w" + std::to_string(pick(0, 99));
        }
    }

    std::string values(const Row& row) { return literal(row[0]) + ", " + literal(row[1]) + ", " + literal(row[2]); }

    bool loadReference()
    {
        std::string sql = "DELETE FROM ref; INSERT INTO ref(rowid, a, b, c) VALUES ";
        for (const auto& [rowid, row] : visible)
            sql += "(" + std::to_string(rowid) + ", " + values(row) + "), ";
        return check("ref loaded", run(visible.empty() ? "DELETE FROM ref" : sql.substr(0, sql.size() - 2)), "");
    }

    // Rowid and values of each row a query gives, in its order.
    std::vector<std::pair<sqlite3_int64, Row>> select(const std::string& sql)
    {
        std::vector<std::pair<sqlite3_int64, Row>> rows;
        sqlite3_stmt* statement = nullptr;
        check(sql, std::to_string(sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr)), "0");
        while (statement && sqlite3_step(statement) == SQLITE_ROW)
            rows.push_back(rowOf(statement));
        sqlite3_finalize(statement);
        return rows;
    }

    // A new row may take a rowid above the inner rows that no row holds; without one it takes the first.
    bool isFree(const Rows& rows, sqlite3_int64 rowid) const { return rowid >= firstNew && !rows.count(rowid); }
    sqlite3_int64 firstFree(const Rows& rows) const
    {
        sqlite3_int64 rowid = firstNew;
        while (rows.count(rowid))
            ++rowid;
        return rowid;
    }

    sqlite3_int64 someFreeRowid(const Rows& rows)
    {
        sqlite3_int64 rowid = oneIn(25) ? INT64_MAX - pick(0, 1) : firstFree(rows) + pick(0, 3);
        while (!isFree(rows, rowid))
            --rowid;
        return rowid;
    }

    // A visible rowid, or one that matches nothing when none is left.
    sqlite3_int64 someRowid() { return visible.empty() ? -5 : anyOf(visible).first; }

    // A rowid that is not free: a visible one, an inner one (visible or deleted), or one below the first
    // new rowid that no inner row has.
    sqlite3_int64 takenRowid()
    {
        const int kind = pick(0, 2);
        if (kind == 0 && !visible.empty())
            return someRowid();
        if (!inner.empty()) {
            const sqlite3_int64 rowid = anyOf(inner).first;
            if (kind == 1)
                return rowid;
            if (rowid + 1 < firstNew && !inner.count(rowid + 1))
                return rowid + 1;
        }
        return -pick(0, 3);
    }

    std::string condition()
    {
        static const char* const types[] = {"integer", "real", "text", "blob", "null"};
        const int index = pick(0, 2);
        const std::string column(1, char('a' + index)),
            from = std::to_string(someRowid()), near = std::to_string(oneIn(3) ? firstNew + pick(-3, 12) : someRowid());
        auto someValue = [&](size_t at) { return literal(visible.empty() ? randomCell() : anyOf(visible).second[at]); };
        switch (pick(0, 7)) {
        case 0:
            return "rowid % " + std::to_string(pick(2, 4)) + " = " + std::to_string(pick(0, 1));
        case 1:
            return "rowid BETWEEN " + from + " AND " + from + " + " + std::to_string(pick(0, 3));
        case 2:
            return "typeof(" + column + ") = '" + types[pick(0, 4)] + "'";
        case 3:
            return column + " IS NULL";
        case 4:
            return column + " IS NOT NULL AND rowid > " + from;
        case 5:
            return column + " = " + someValue(size_t(index));
        case 6: // a rowid as an integer, as text, or with a fraction that matches nothing
            return "rowid = " + (oneIn(6) ? "'" + near + "'" : oneIn(5) ? near + ".5" : near);
        default:
            return "b IN (" + someValue(1) + ", " + literal(randomCell()) + ")";
        }
    }

    // The WHERE clause of an UPDATE or DELETE: one row (mostly), some, or all.
    std::string where(bool single)
    {
        return single     ? " WHERE rowid = " + std::to_string(oneIn(20) ? -5 : someRowid())
               : oneIn(8) ? ""
                          : " WHERE " + condition();
    }

    // The assignments of an UPDATE, and the rows it writes with their new values; ref tells which.
    std::vector<std::pair<sqlite3_int64, Row>> updated(const std::string& where, std::string& assignments)
    {
        std::string selected;
        for (const std::string column : {"a", "b", "c"}) {
            std::string value = column;
            if (oneIn(2)) {
                const int form = pick(0, 7);
                value = form == 0   ? std::string(1, char('a' + pick(0, 2)))
                        : form == 1 ? "typeof(" + column + ")"
                                    : literal(randomCell());
                assignments += (assignments.empty() ? "" : ", ") + column + " = " + value;
            }
            selected += ", " + value;
        }
        if (assignments.empty())
            assignments = "a = a";
        return select("SELECT rowid" + selected + " FROM ref" + where + " ORDER BY rowid");
    }

    // A row written at to (moved from from, if given), or false: the statement fails there, keeping the rows
    // before only with OR FAIL. A native table differs only at a rowid not free that shows no row.
    bool put(Write& write, Rows& after, std::optional<sqlite3_int64> from, sqlite3_int64 to, const Row& row)
    {
        const bool moved = from != to, shown = after.count(to) > 0;
        if (moved && !isFree(after, to)) {
            write.native = write.native && shown;
            if (write.conflict == Ignore)
                return true;
            if (write.conflict != Replace || !shown) {
                write.refused = true;
                if (write.conflict != Fail)
                    write.changes.clear();
                return false;
            }
        }
        // Counted as the overlay records it: a row replaced on an inner rowid is updated, elsewhere deleted first.
        std::array<int, 3> counts = {0, 1, shown && moved && from ? 1 : 0};
        if (!from)
            counts = shown && to < firstNew ? std::array<int, 3>{0, 1, 0} : std::array<int, 3>{1, 0, shown ? 1 : 0};
        for (const Change& change : {Change{from.value_or(to), std::nullopt}, Change{to, row, from, counts}}) {
            if (change.values || (from && moved)) {
                applyChange(after, change);
                write.changes.push_back(change);
            }
        }
        return true;
    }

    Write randomWrite()
    {
        Write write;
        write.native = true;
        Rows after = visible;
        const int kind = pick(0, 99);
        if (kind < 30) {
            // INSERT of rows with a rowid (free, not free, the statement's last written) or NULL.
            write.conflict = Conflict(pick(0, 4));
            write.sql = std::string("INSERT") + conflictSql[write.conflict] + " INTO %T(rowid, a, b, c) VALUES ";
            for (int i = pick(1, 3); i > 0; --i) {
                const Row row{randomCell(), randomCell(), randomCell()};
                const int form = pick(0, 4);
                std::optional<sqlite3_int64> rowid;
                if (form > 0)
                    rowid = form < 3                              ? someFreeRowid(after)
                            : form == 4 && !write.changes.empty() ? write.changes.back().rowid
                                                                  : takenRowid();
                write.native = write.native && rowid;
                write.sql +=
                    "(" + (rowid ? std::to_string(*rowid) : "NULL") + ", " + values(row) + (i > 1 ? "), " : ")");
                if (!write.refused)
                    put(write, after, std::nullopt, rowid ? *rowid : firstFree(after), row);
            }
        } else if (kind < 35) {
            // INSERT of rows read from the table itself.
            const std::string where = " WHERE " + condition();
            write.sql = "INSERT INTO %T(a, b, c) SELECT c, a, b FROM %T" + where + " ORDER BY rowid";
            write.native = false;
            for (const auto& source : select("SELECT rowid, c, a, b FROM ref" + where + " ORDER BY rowid"))
                put(write, after, std::nullopt, firstFree(after), source.second);
        } else if (kind < 70) {
            // UPDATE of one row, some or all, one maybe moved. With several, OR FAIL would keep rows in scan
            // order and OR REPLACE might replace a row the statement updates too: neither is used.
            const bool single = kind < 55;
            const std::string where = this->where(single);
            write.conflict = Conflict(pick(0, single ? 4 : 2));
            std::string assignments;
            const auto rows = updated(where, assignments);
            const sqlite3_int64 from = rows.empty() ? 0 : anyOf(rows).first;
            sqlite3_int64 to = from;
            if (!rows.empty() && oneIn(2)) {
                to = oneIn(10) ? from : oneIn(3) ? takenRowid() : someFreeRowid(visible);
                assignments += ", rowid = CASE rowid WHEN " + std::to_string(from) + " THEN " + std::to_string(to) +
                               " ELSE rowid END";
            }
            write.sql = std::string("UPDATE") + conflictSql[write.conflict] + " %T SET " + assignments + where;
            for (auto row = rows.begin(); row != rows.end() && !write.refused; ++row)
                put(write, after, row->first, row->first == from ? to : row->first, row->second);
        } else {
            // DELETE of one row, some rows, or all.
            const std::string where = this->where(kind < 92);
            for (const auto& row : select("SELECT rowid, a, b, c FROM ref" + where + " ORDER BY rowid"))
                write.changes.push_back({row.first, std::nullopt, std::nullopt, {0, 0, 1}});
            write.sql = "DELETE FROM %T" + where;
        }
        return write;
    }

    // BEGIN or SAVEPOINT outside a transaction; inside one SAVEPOINT, RELEASE, ROLLBACK TO, COMMIT or
    // ROLLBACK (only these two when ending), kept in the saved states as SQLite keeps its own. A savepoint not
    // open is an error.
    std::string transactionStatement(std::string& expected, bool savepointOnly, bool ending)
    {
        const std::string savepoint = "s" + std::to_string(pick(0, 2));
        const int kind = ending ? pick(4, 5) : savepointOnly ? 1 : saved.empty() ? pick(0, 1) : pick(1, 5);
        if (kind < 2) {
            saved.push_back({kind ? savepoint : "", model, other});
            return kind ? "SAVEPOINT " + savepoint : "BEGIN";
        }
        if (kind > 3) {
            if (kind == 5)
                restore(saved.front());
            saved.clear();
            return kind == 4 ? "COMMIT" : "ROLLBACK";
        }
        const auto named = [&](const auto& state) { return state.name == savepoint; };
        const size_t at = size_t(saved.rend() - std::find_if(saved.rbegin(), saved.rend(), named));
        if (at == 0)
            expected = "error 1: no such savepoint: " + savepoint;
        else if (kind == 3)
            restore(saved[at - 1]);
        saved.erase(saved.begin() + long(at == 0 ? saved.size() : kind == 3 ? at : at - 1), saved.end());
        return (kind == 3 ? "ROLLBACK TO " : "RELEASE ") + savepoint;
    }

    bool registered(const char* what, int rc) { return check(what, std::to_string(rc), "0"); }

    // The overlay of the inner module on the connection, and the plain module; csv: Debian's csvtable.
    bool registerModules(std::string* csvName = nullptr)
    {
        if (!kind[1]) {
            // Its module and client data, recorded by the capturing routines table while its init runs.
            static void* library = dlopen("/usr/lib/x86_64-linux-gnu/libsqlite3_mod_csvtable.so", RTLD_NOW);
            auto init = reinterpret_cast<int (*)(sqlite3*, char**, const sqlite3_api_routines*)>(
                library ? dlsym(library, "sqlite3_extension_init") : nullptr);
            const std::set<std::string> refused;
            ModuleCapture capture(db, refused);
            if (!init || init(db, nullptr, capturingRoutines()) != SQLITE_OK || capture.modules().empty()) {
                skipped = true;
                return false;
            }
            const CapturedModule csv = capture.modules().front();
            if (csvName)
                *csvName = csv.name;
            return registered("overlay_csv",
                              registerOverlay(db, "overlay_csv", csv.module, csv.clientData, History::ofProcess()));
        }
        const sqlite3_module* inner = kind[2] == -2 ? memory_module::staticValuesModule() : memory_module::module();
        return (kind[2] != -2 || registered("overlay_static", registerOverlay(db, "overlay_static", inner, nullptr,
                                                                              History::ofProcess()))) &&
               registered("plain", sqlite3_create_module(db, "plain", inner, nullptr));
    }

    // The inner table, read once through the plain module, the overlay tables and ref.
    bool createTables()
    {
        std::string csvName;
        if (!registerModules(&csvName))
            return false;
        if (!kind[1]) {
            static const std::string fields[] = {"", "1", "-7", "2.5", "\xC3\xA9t\xC3\xA9", "x\xEF\xBF\xBF", "1e300"};
            std::string text = "a,b,c\n";
            for (int i = pick(2, 9); i > 0; --i)
                text += anyOf(fields) + ",w" + std::to_string(pick(0, 20)) + "," + anyOf(fields) + "\n";
            const std::string csv = home + "/inner" + suffix + ".csv";
            std::ofstream(csv) << text;
            module = "overlay_csv";
            arguments = "'" + csv + "', 1, 0, ','";
            if (!check("plain", run("CREATE VIRTUAL TABLE plain USING " + csvName + "(" + arguments + ")"), ""))
                return false;
        } else {
            memory_module::TableData data{
                {"a", "b", "c"}, {}, kind[0], kind[1], int(std::max<sqlite3_int64>(kind[2], -1))};
            for (int i = pick(0, 8); i > 0; --i)
                data.rows.push_back({randomCell(), randomCell(), randomCell()});
            memory_module::setTable("/random" + suffix, data);
            if (kind[2] == -2)
                module = "overlay_static";
            if (!check("plain", run("CREATE VIRTUAL TABLE plain USING plain(" + arguments + ")"), ""))
                return false;
        }
        for (const auto& [rowid, row] : select("SELECT rowid, a, b, c FROM plain"))
            inner[rowid] = row;
        firstNew = inner.empty() ? 1 : std::max<sqlite3_int64>(inner.rbegin()->first + 1, 1);
        innerRows = run("SELECT rowid, * FROM plain");
        return check("tables",
                     run("CREATE VIRTUAL TABLE " + table + " USING " + module + "(" + arguments +
                         "); CREATE VIRTUAL TABLE " + untouched + " USING " + module + "(" + arguments +
                         "); CREATE VIRTUAL TABLE " + otherTable + " USING overlay('/other" + suffix +
                         "'); CREATE TABLE ref(a, b, c)"),
                     "");
    }
};

bool RandomSession::step()
{
    const int next = opened ? pick(0, 2) : 0;
    int choice = next == 1 ? 88 : next == 2 ? pick(60, 87) : pick(0, 99);
    // With a limit, a host transaction that lasts that long ends: other threads' writes wait for it.
    lasted = saved.empty() ? 0 : lasted + 1;
    const bool ending = longest && lasted > longest;
    if (ending)
        choice = 88;
    // Now and then the log is kept and the connection, with every log it held, ends; the tables of a new
    // one take the kept log up and go on from where it stood. The other table's log, not kept, is gone.
    if (saved.empty() && !opened && oneIn(40)) {
        if (!check("keep", run("SELECT ombrix_keep(" + otherCase + ")"), "NULL"))
            return false;
        close();
        db = connect(file());
        if (!check("connection", db ? "open" : "failed", "open") || !check("sync", run("PRAGMA synchronous = OFF"), ""))
            return false;
        if (__lsan_disable)
            __lsan_disable();
        // csvtable's leak again, in its xConnect.
        const bool reconnected =
            registerModules() &&
            (!__lsan_disable || kind[1] ||
             check("reconnect", run("SELECT 0 FROM plain, " + table + ", " + untouched + " WHERE 0"), ""));
        if (__lsan_enable)
            __lsan_enable();
        if (!reconnected)
            return false;
        other.clear();
        recent += "\n  (kept, connection opened again)";
    }
    // Until a change is recorded the table may have no log for the history functions to move.
    if (model.empty() && choice >= 60 && choice < 88)
        choice = 4;
    Write write;
    std::string sql, expected = "NULL";
    bool settled = false; // ref stays as SQLite left it
    if (choice < 4) {
        sql = "INSERT INTO " + otherTable + "(a) VALUES (" + std::to_string(index) + ")", expected.clear();
        other += (other.empty() ? "" : ",") + std::to_string(index);
    } else if (choice < 60) {
        write = randomWrite();
        // Refused, it rolls back the host transaction, ref with it: ref as left shows what it did.
        if (write.refused && write.conflict == Rollback && !saved.empty()) {
            restore(saved.front());
            saved.clear();
            settled = true;
            write.native = false;
        }
        sql = replaced(write.sql, "%T", table);
        expected = write.refused ? "error 19: UNIQUE constraint failed: " + name + ".rowid" : "";
    } else if (choice < 68) {
        // A commit, one that names the step it closes, a label for the open step, or the clean mark.
        const int call = pick(0, 5);
        const std::string label = "L" + std::to_string(index);
        sql = call < 3    ? "SELECT ombrix_commit(" + nameText + ")"
              : call == 3 ? "SELECT ombrix_commit(" + nameText + ", '" + label + "')"
              : call == 4 ? "SELECT ombrix_label(" + nameText + ", '" + label + "')"
                          : "SELECT ombrix_mark_clean(" + nameText + ")";
        call < 4    ? model.commit(call == 3 ? std::optional<std::string>(label) : std::nullopt)
        : call == 4 ? model.label(label)
                    : model.markClean();
    } else if (choice < 88) {
        static const int counts[] = {1, 0, 1, 1, 2, 3, -1, -2};
        const int count = counts[pick(0, 7)];
        const bool undo = choice < 79, implicit = count == 1 && oneIn(2);
        sql = std::string("SELECT ombrix_") + (undo ? "undo(" : "redo(") + nameText +
              (implicit ? "" : ", " + std::to_string(count)) + ")";
        undo ? model.undo(count) : model.redo(count);
    } else {
        expected.clear();
        sql = transactionStatement(expected, next == 1, ending);
        settled = true;
    }
    const std::string outcome = run(sql);
    opened = sql.rfind("BEGIN", 0) == 0 || sql.rfind("SAVEPOINT", 0) == 0;
    const std::string nativeOutcome = write.native ? run(replaced(write.sql, "%T", "ref")) : "";
    for (const Change& change : write.changes)
        model.record(change);
    recent = recent.substr(recent.size() > 4000 ? recent.size() - 4000 : 0) + "\n  #" + std::to_string(index) + " " +
             sql + " -> " + outcome + " [position " + std::to_string(model.position) + "]";
    visible = model.replay(inner);
    if (settled || write.native)
        left = run("SELECT rowid, * FROM ref ORDER BY rowid");
    const bool passed =
        check("outcome", outcome, expected) &&
        check("outcome on ref", nativeOutcome, write.native ? replaced(expected, name + ".rowid", "ref.rowid") : "") &&
        verify();
    ++index;
    return passed;
}

bool RandomSession::verify()
{
    if (!loadReference())
        return false;
    const std::string query = replaced(anyOf(queries), "%C", condition());
    const std::string position =
        saved.empty() ? history("SELECT currentHistoryID FROM ombrixOpenedTables WHERE name = " + nameText) : "";
    const std::string refRows = run("SELECT rowid, * FROM ref ORDER BY rowid");
    // The history views, inside host transactions too, with the table named in another letter case.
    const auto [changes, counts] = model.changesView(inner, firstNew);
    const auto [applied, undone] = model.appliedAndUndone();
    // Read first: a kept log shows its counts once a table has taken it up.
    const std::string tableRows = run("SELECT rowid, * FROM " + table);
    const std::string shown = run("SELECT position, undo_steps, redo_steps, inserted, updated, deleted, modified, "
                                  "clean FROM ombrix_tables WHERE name = " +
                                  nameText);
    const std::string summary =
        (model.empty() && shown.rfind("NULL|", 0) == 0 ? "NULL" : std::to_string(model.position)) + "|" +
        std::to_string(applied) + "|" + std::to_string(undone) + "|" + std::to_string(counts[0]) + "|" +
        std::to_string(counts[1]) + "|" + std::to_string(counts[2]) + "|" + (changes.empty() ? "0|" : "1|") +
        (model.clean() ? "1" : "0");
    const std::string checks[][3] = {
        {"ref as left", left.value_or(""), left ? refRows : ""},
        {"rows", tableRows, refRows},
        {query, run(replaced(query, "%T", table)), run(replaced(query, "%T", "ref"))},
        {"untouched table", run("SELECT rowid, * FROM " + untouched), innerRows},
        {"other table", run("SELECT group_concat(a) FROM " + otherTable), other.empty() ? "NULL" : "'" + other + "'"},
        {"position", position,
         saved.empty() && (!model.empty() || !position.empty()) ? std::to_string(model.position) : ""},
        {"ombrix_tables", shown, summary},
        {"ombrix_steps",
         run("SELECT step, state, inserted, updated, deleted, label FROM ombrix_steps(" + otherCase + ")"),
         model.stepsView()},
        {"ombrix_changes", run("SELECT rowid, original_rowid, change FROM ombrix_changes(" + otherCase + ")"),
         changes}};
    left.reset();
    for (const auto& [label, actual, wanted] : checks)
        if (!check(label, actual, wanted))
            return false;
    return true;
}

class RandomHistoryTest : public OverlayTest, public testing::WithParamInterface<int> {};

TEST_P(RandomHistoryTest, EveryOperationMatchesTheModelAndTheNativeTable)
{
    RandomSession session(home, 0, seeds[GetParam()], names[GetParam() % 5], inners[GetParam() / 2]);
    const bool started = session.start();
    if (session.skipped)
        GTEST_SKIP() << "Debian's csvtable extension is not installed";
    ASSERT_TRUE(started) << session.failure;
    while (session.index < operations)
        ASSERT_TRUE(session.step()) << session.failure;
}

// Each session's operations on a thread of its own: fewer, since up to ten share two cores.
constexpr int threadOperations = 250;

bool refusedBusy(const std::string& outcome)
{
    return outcome.rfind("error 5: the history database /", 0) == 0 &&
           outcome.find("/transactions.sqlite is in a transaction of another connection") != std::string::npos;
}

template <class Listed>
std::string listed(const Listed& rows)
{
    std::string text;
    for (const auto& [rowid, row] : rows)
        text += " " + std::to_string(rowid) + ": " + literal(row[0]) + ", " + literal(row[1]) + ", " + literal(row[2]);
    return text;
}

// A scan of a's table stepped part way and left open while b makes an operation on the same thread, then read
// to its end: exactly a's rows.
bool scanAcross(RandomSession& a, RandomSession& b, size_t before)
{
    sqlite3_stmt* scan = nullptr;
    sqlite3_prepare_v2(a.db, ("SELECT rowid, a, b, c FROM " + a.table).c_str(), -1, &scan, nullptr);
    std::vector<std::pair<sqlite3_int64, Row>> rows;
    int stepped = SQLITE_ROW;
    const auto next = [&] {
        return stepped == SQLITE_ROW && (stepped = sqlite3_step(scan)) == SQLITE_ROW &&
               (rows.push_back(rowOf(scan)), true);
    };
    while (rows.size() < before && next()) {}
    a.recent += "\n  (a scan open after " + std::to_string(rows.size()) + " rows while " + b.name + " ran)";
    b.recent += "\n  (" + a.name + "'s scan open)";
    const bool passed = b.step();
    while (next()) {}
    const int finished = sqlite3_finalize(scan);
    return passed && a.check("scan left open", std::to_string(stepped) + " " + std::to_string(finished), "101 0") &&
           a.check("rows of the scan left open", listed(rows), listed(a.visible));
}

// While a's host transaction holds the history file (BEGIN and a write), b's write or history call on the same
// thread waits for b's busy timeout, then fails with SQLITE_BUSY, and b reads exactly; a's ROLLBACK leaves both
// as they were.
bool refusedWhileHeld(RandomSession& a, RandomSession& b, bool historyCall)
{
    a.recent += "\n  (BEGIN and a write, held while " + b.name + " wrote)";
    b.recent += "\n  (a write while " + a.name + "'s transaction was open)";
    if (!a.check("transaction held", a.run("BEGIN; INSERT INTO " + a.otherTable + "(a) VALUES (-1)"), ""))
        return false;
    sqlite3_busy_timeout(b.db, 50);
    const auto start = std::chrono::steady_clock::now();
    const std::string outcome = b.run(historyCall ? "SELECT ombrix_commit(" + b.nameText + ")"
                                                  : "INSERT INTO " + b.otherTable + "(a) VALUES (-1)");
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    sqlite3_busy_timeout(b.db, 5000);
    const std::string seen = outcome + " after " + std::to_string(waited.count()) + " ms";
    return b.check("write refused",
                   refusedBusy(outcome) && waited.count() >= 50 && waited.count() < 2500 ? "in time" : seen,
                   "in time") &&
           b.verify() && a.check("rollback", a.run("ROLLBACK"), "") && a.verify();
}

// A connection of its own on a thread of its own, while the sessions run: the tables of the sessions over the
// memory module made again under their names and paths (sharing their logs), and ombrix_tables. Only what no
// write races is checked: reads fail with nothing but the documented SQLITE_BUSY, a scan shows each rowid once,
// and a table never written shows its inner rows. Returns the first failure.
std::string readAlong(const std::vector<RandomSession*>& sessions, const std::atomic<int>& running,
                      const std::atomic<bool>& failed)
{
    sqlite3* db = connect(":memory:");
    if (!db || registerOverlay(db, "overlay_static", memory_module::staticValuesModule(), nullptr,
                               History::ofProcess()) != SQLITE_OK)
        return "no connection";
    std::string failure;
    int round = 0;
    const auto read = [&](const std::string& what, const std::string& sql, const std::string& wanted) {
        const std::string outcome = run(db, sql);
        if (outcome != wanted && !refusedBusy(outcome) && failure.empty())
            failure =
                "round " + std::to_string(round) + ", " + what + "\n  expected: " + wanted + "\n  actual:   " + outcome;
    };
    for (const RandomSession* s : sessions)
        read("tables of " + s->name,
             "CREATE VIRTUAL TABLE " + s->table + " USING " + s->module + "(" + s->arguments +
                 "); CREATE VIRTUAL TABLE " + s->untouched + " USING " + s->module + "(" + s->arguments + ")",
             "");
    for (; failure.empty() && running > 0 && !failed; ++round) {
        for (const RandomSession* s : sessions) {
            read("rowids of " + s->name, "SELECT count(*) = count(DISTINCT rowid) FROM " + s->table, "1");
            read("untouched table of " + s->name, "SELECT rowid, * FROM " + s->untouched, s->innerRows);
        }
        read("ombrix_tables",
             "SELECT count(*) - count(DISTINCT name), count(*) FILTER (WHERE min(undo_steps, "
             "redo_steps, inserted, updated, deleted) < 0) FROM (SELECT * FROM ombrix_tables)",
             "0|0");
    }
    return sqlite3_close(db) == SQLITE_OK || !failure.empty() ? failure : "close: " + std::string(sqlite3_errmsg(db));
}

// 2 to 8 sessions on threads of their own, two more taking turns on one thread, and readers: every session's
// checks hold exactly while the others write (a write waits for another thread's transaction, never fails).
TEST_P(RandomHistoryTest, SessionsOnThreadsMatchTheirModelsWhileOthersRead)
{
    const unsigned seed = seeds[GetParam()];
    const int writers = 2 + GetParam() % 7, readers = 1 + GetParam() % 2;
    std::vector<std::unique_ptr<RandomSession>> sessions;
    for (int k = 1; k <= writers + 2; ++k) {
        const int at = (GetParam() + k) % 5;
        sessions.push_back(std::make_unique<RandomSession>(home, k, seed + unsigned(k),
                                                           names[at] + (" " + std::to_string(k)), inners[at]));
        sessions.back()->longest = 12;
    }
    std::vector<char> ready(sessions.size());
    std::atomic<int> started{0}, running{writers + 1};
    std::atomic<bool> failed{false};
    // Sessions first to first + count - 1 on one thread: one, or two taking turns whenever neither is in a host
    // transaction, now and then with a scan of one left open or a transaction of one held across the other's write.
    const auto runSessions = [&](size_t first, size_t count) {
        RandomSession &a = *sessions[first], &b = *sessions[first + count - 1];
        for (size_t k = first; k < first + count; ++k)
            ready[k] = sessions[k]->start();
        started += int(count);
        std::mt19937 random(seed + unsigned(first));
        const auto pick = [&](int n) { return std::uniform_int_distribution<int>(0, n - 1)(random); };
        RandomSession* current = &a;
        bool passed = ready[first] && ready[first + count - 1];
        while (passed && !failed && a.index + b.index < 2 * threadOperations) {
            const int roll = current->idle() ? pick(12) : -1;
            RandomSession &x = pick(2) ? a : b, &y = &x == &a ? b : a;
            if (roll == 0 && count == 2)
                passed = scanAcross(x, y, size_t(pick(4))), current = &y;
            else if (roll == 1 && count == 2)
                passed = refusedWhileHeld(x, y, !y.model.empty() && pick(2));
            else
                passed = (current = roll < 0 ? current : roll < 7 ? &a : &b)->step();
        }
        a.close();
        b.close();
        failed = failed || !a.failure.empty() || !b.failure.empty();
        --running;
    };
    std::vector<std::thread> threads;
    for (int k = 0; k <= writers; ++k)
        threads.emplace_back(runSessions, size_t(k), k < writers ? 1 : 2);
    std::vector<std::string> readerFailures(static_cast<size_t>(readers));
    for (auto& failure : readerFailures)
        threads.emplace_back([&] {
            while (started < int(sessions.size()))
                std::this_thread::yield();
            std::vector<RandomSession*> read;
            for (size_t k = 0; k < sessions.size(); ++k)
                if (ready[k] && sessions[k]->kind[1])
                    read.push_back(sessions[k].get());
            failure = readAlong(read, running, failed);
        });
    for (std::thread& thread : threads)
        thread.join();
    for (const auto& s : sessions)
        EXPECT_TRUE(s->failure.empty()) << s->failure;
    for (const std::string& failure : readerFailures)
        EXPECT_TRUE(failure.empty()) << "reader, seed " << seed << ": " << failure;
}

INSTANTIATE_TEST_SUITE_P(RegressionSeeds, RandomHistoryTest, testing::Range(0, 10));

} // namespace
