// Random sequences of writes, commits, undos and redos through an overlay
// table, checked after every operation against models the test keeps itself:
// a log of numbered steps with a position (every applied step replayed over the
// inner rows), and a plain undo stack of user actions.
#include "history_file.h"
#include "quillmere.h"
#include "step_model.h"

#include <algorithm>
#include <cstdint>
#include <deque>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <tuple>

using memory_module::Blob;
using memory_module::Cell;
using memory_module::Row;
using memory_module::TableData;

namespace {

// Seeds run on every build. A seed that once exposed a fault stays here.
const unsigned regressionSeeds[] = {1, 7, 42, 1009, 65537};
constexpr int operationsPerSeed = 2500;
constexpr int stepsPerActionRun = 200;
constexpr size_t recentKept = 12;

// A statement for the table under test and what it must do: be refused, or
// record these changes in this order (possibly none).
struct Write {
    std::string sql;
    bool refused = false;
    std::vector<Change> changes;
};

std::string hex(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char byte : bytes)
        text += {digits[byte >> 4], digits[byte & 15]};
    return text;
}

// SQL that evaluates to exactly this value, type included.
std::string literal(const Cell& cell)
{
    if (auto integer = std::get_if<sqlite3_int64>(&cell))
        return std::to_string(*integer);
    if (auto real = std::get_if<double>(&cell)) {
        char* text = sqlite3_mprintf("%!.17g", *real);
        std::string result = text;
        sqlite3_free(text);
        return result;
    }
    if (auto text = std::get_if<std::string>(&cell)) {
        if (text->find('\0') != std::string::npos)
            return "CAST(X'" + hex(*text) + "' AS TEXT)";
        std::string quoted = "'";
        for (char c : *text)
            quoted += c == '\'' ? std::string("''") : std::string(1, c);
        return quoted + "'";
    }
    if (auto blob = std::get_if<Blob>(&cell))
        return "X'" + hex(std::string(blob->bytes.begin(), blob->bytes.end())) + "'";
    return "NULL";
}

std::string render(const std::vector<ResultRow>& rows)
{
    std::ostringstream text;
    for (const ResultRow& row : rows) {
        text << "   ";
        for (const std::string& value : row)
            text << " " << value;
        text << "\n";
    }
    return text.str();
}

const char* const columns[] = {"a", "b", "c"};

std::string recentText(const std::deque<std::string>& recent)
{
    std::string text = "recent operations, oldest first:\n";
    for (const std::string& line : recent)
        text += "  " + line + "\n";
    return text;
}

// The table under test, an untouched overlay table over the same inner rows,
// and "ref", a plain table the models are loaded into after every operation.
class RandomHistoryBase : public OverlayTest {
protected:
    std::mt19937 random;
    std::string name;
    Rows inner;
    std::vector<ResultRow> innerRead;
    bool unexpected = false; // a statement failed or was accepted against expectations

    int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); }
    bool oneIn(int n) { return pick(1, n) == 1; }

    void createTables(unsigned seed)
    {
        static int tablesMade = 0;
        random.seed(seed);
        name = "t" + std::to_string(++tablesMade);
        TableData data{{"a", "b", "c"}, {}};
        int count = pick(0, 8);
        for (int i = 1; i <= count; ++i) {
            data.rows.push_back({randomCell(), randomCell(), randomCell()});
            inner[i] = data.rows.back();
        }
        std::string path = "/random/" + name;
        memory_module::setTable(path, data);
        ASSERT_NO_FATAL_FAILURE(openDatabase());
        ASSERT_EQ(quillmere_register_undoredo_functions(db), SQLITE_OK);
        for (const std::string& table : {name, "untouched_" + name})
            ASSERT_EQ(execute("CREATE VIRTUAL TABLE " + table + " USING overlay('" + path + "')"), SQLITE_OK)
                << lastError;
        ASSERT_EQ(execute("CREATE TABLE ref(a, b, c)"), SQLITE_OK);
        innerRead = query("SELECT rowid, * FROM untouched_" + name + " ORDER BY rowid");
        loadReference(inner);
        ASSERT_EQ(innerRead, referenceRows());
    }

    Cell randomCell()
    {
        static const double reals[] = {0.5, -2.25, 0.1, 1e300, -1.5e-300, 3.141592653589793, 1.0, 123456789.125};
        static const std::string texts[] = {"",          "plain", "\xC3\xA9t\xC3\xA9", "\xE6\x97\xA5\xE6\x9C\xAC",
                                            "\xF0\x9F\x98\x80 ok", "it's", "line\nbreak", "42",
                                            std::string("nul\0inside", 10)};
        static const std::vector<unsigned char> blobs[] = {{}, {0x00}, {0xde, 0xad, 0xbe, 0xef}, {0x00, 0xff, 0x10}};
        switch (pick(0, 9)) {
        case 0:
            return std::monostate{};
        case 1:
        case 2:
            return sqlite3_int64(pick(-50, 1000));
        case 3: {
            static const sqlite3_int64 big[] = {INT64_MAX, -INT64_MAX, sqlite3_int64(1) << 40, 0};
            return big[pick(0, 3)];
        }
        case 4:
            return reals[pick(0, 7)];
        case 5:
            return std::uniform_real_distribution<double>(-1e6, 1e6)(random);
        case 6:
        case 7:
            return texts[pick(0, 8)];
        case 8:
            return Blob{blobs[pick(0, 3)]};
        default:
            return std::string("w") + std::to_string(pick(0, 99));
        }
    }

    void loadReference(const Rows& rows)
    {
        ASSERT_EQ(execute("DELETE FROM ref"), SQLITE_OK);
        sqlite3_stmt* insert = nullptr;
        ASSERT_EQ(sqlite3_prepare_v2(db, "INSERT INTO ref(rowid, a, b, c) VALUES (?, ?, ?, ?)", -1, &insert, nullptr),
                  SQLITE_OK);
        for (const auto& [rowid, row] : rows) {
            sqlite3_bind_int64(insert, 1, rowid);
            for (int i = 0; i < 3; ++i)
                bindCell(insert, i + 2, row[static_cast<size_t>(i)]);
            EXPECT_EQ(sqlite3_step(insert), SQLITE_DONE);
            sqlite3_reset(insert);
        }
        sqlite3_finalize(insert);
    }

    std::vector<ResultRow> referenceRows() { return query("SELECT rowid, * FROM ref ORDER BY rowid"); }
    std::vector<ResultRow> tableRows() { return query("SELECT rowid, * FROM " + name + " ORDER BY rowid"); }

    // Rowid and three values of every row a query over ref gives, in its order.
    std::vector<std::pair<sqlite3_int64, Row>> selectRows(const std::string& sql)
    {
        std::vector<std::pair<sqlite3_int64, Row>> rows;
        sqlite3_stmt* statement = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr), SQLITE_OK) << sql;
        while (statement && sqlite3_step(statement) == SQLITE_ROW)
            rows.emplace_back(sqlite3_column_int64(statement, 0),
                              Row{cellOf(sqlite3_column_value(statement, 1)), cellOf(sqlite3_column_value(statement, 2)),
                                  cellOf(sqlite3_column_value(statement, 3))});
        sqlite3_finalize(statement);
        return rows;
    }

    // Compares the table under test with ref and the untouched table with the
    // inner rows; on a difference reports what is needed to reproduce it.
    bool matches(const std::string& context, const std::deque<std::string>& recent)
    {
        std::vector<ResultRow> actual = tableRows(), expected = referenceRows();
        std::vector<ResultRow> untouched = query("SELECT rowid, * FROM untouched_" + name + " ORDER BY rowid");
        if (actual == expected && untouched == innerRead)
            return true;
        std::ostringstream report;
        report << context << "\n" << recentText(recent);
        if (untouched != innerRead)
            report << "the never-written table over the same inner rows changed:\n" << render(untouched);
        report << "expected:\n" << render(expected) << "actual:\n" << render(actual);
        ADD_FAILURE() << report.str();
        return false;
    }

    sqlite3_int64 innerCount() const { return static_cast<sqlite3_int64>(inner.size()); }

    // The rowid an INSERT without one gets: the first after the inner rows that
    // no stored row holds.
    sqlite3_int64 firstFreeRowid(const Rows& visible) const
    {
        sqlite3_int64 rowid = innerCount() + 1;
        while (visible.count(rowid))
            ++rowid;
        return rowid;
    }

    sqlite3_int64 someFreeRowid(const Rows& visible)
    {
        sqlite3_int64 rowid = firstFreeRowid(visible) + pick(0, 3);
        while (visible.count(rowid))
            ++rowid;
        return rowid;
    }

    // A rowid an explicit INSERT or a rowid change must be refused: an inner
    // rowid (visible or deleted), a stored row, or one below 1.
    sqlite3_int64 takenRowid(const Rows& visible)
    {
        std::vector<sqlite3_int64> stored;
        for (const auto& entry : visible)
            if (entry.first > innerCount())
                stored.push_back(entry.first);
        int kind = pick(0, 2);
        if (kind == 0 && innerCount() > 0)
            return pick(1, static_cast<int>(innerCount()));
        if (kind == 1 && !stored.empty())
            return stored[static_cast<size_t>(pick(0, static_cast<int>(stored.size()) - 1))];
        return -pick(0, 3);
    }

    // A visible rowid, or when none is left one that matches nothing.
    sqlite3_int64 someRowid(const Rows& visible)
    {
        if (visible.empty())
            return innerCount() + 100;
        auto entry = visible.begin();
        std::advance(entry, pick(0, static_cast<int>(visible.size()) - 1));
        return entry->first;
    }

    std::string randomCondition(const Rows& visible)
    {
        const char* column = columns[pick(0, 2)];
        static const char* const types[] = {"integer", "real", "text", "blob", "null"};
        sqlite3_int64 from = someRowid(visible);
        switch (pick(0, 4)) {
        case 0:
            return "rowid % " + std::to_string(pick(2, 4)) + " = " + std::to_string(pick(0, 1));
        case 1:
            return "rowid BETWEEN " + std::to_string(from) + " AND " + std::to_string(from + pick(0, 3));
        case 2:
            return std::string("typeof(") + column + ") = '" + types[pick(0, 4)] + "'";
        case 3:
            return std::string(column) + " IS NULL";
        default:
            return std::string(column) + " IS NOT NULL AND rowid > " + std::to_string(from);
        }
    }

    std::string randomExpression(const char* column)
    {
        switch (pick(0, 7)) {
        case 0:
            return columns[pick(0, 2)];
        case 1:
            return std::string("typeof(") + column + ")";
        default:
            return literal(randomCell());
        }
    }

    // The overlay applies an UPDATE or DELETE row by row in ascending rowid
    // order; ref (holding the same rows) tells which rows and which new values.
    std::vector<std::pair<sqlite3_int64, Row>> updatedRows(const std::string& where, std::string& assignments)
    {
        std::string selected;
        for (const char* column : columns) {
            std::string expression = oneIn(2) ? randomExpression(column) : column;
            if (expression != column)
                assignments += std::string(assignments.empty() ? "" : ", ") + column + " = " + expression;
            selected += ", " + expression;
        }
        if (assignments.empty())
            assignments = "a = a";
        return selectRows("SELECT rowid" + selected + " FROM ref" + where + " ORDER BY rowid");
    }

    // A random write against rows that ref and the table under test both hold.
    // Without refusals every write is accepted (it may still change nothing).
    Write randomWrite(const Rows& visible, bool refusals)
    {
        Write write;
        const std::string& t = name;
        int kind = pick(0, 99);
        if (kind < 20) {
            // INSERT without a rowid: several rows, some columns, or a NULL rowid.
            Rows after = visible;
            int form = pick(0, 2), count = form == 0 ? pick(1, 3) : 1;
            write.sql = form == 0 ? "INSERT INTO " + t + "(a, b, c) VALUES "
                      : form == 1 ? "INSERT INTO " + t + "(rowid, a, b, c) VALUES "
                                  : "INSERT INTO " + t + "(b) VALUES ";
            for (int i = 0; i < count; ++i) {
                Row row{std::monostate{}, randomCell(), std::monostate{}};
                if (form != 2)
                    row = {randomCell(), randomCell(), randomCell()};
                write.sql += (i ? ", (" : "(") + std::string(form == 1 ? "NULL, " : "");
                write.sql += form == 2 ? literal(row[1])
                                       : literal(row[0]) + ", " + literal(row[1]) + ", " + literal(row[2]);
                write.sql += ")";
                Change change{firstFreeRowid(after), row};
                applyChange(after, change);
                write.changes.push_back(change);
            }
        } else if (kind < 25) {
            // INSERT of rows read from the table itself.
            std::string where = " WHERE " + randomCondition(visible);
            write.sql = "INSERT INTO " + t + "(a, b, c) SELECT c, a, b FROM " + t + where + " ORDER BY rowid";
            Rows after = visible;
            for (const auto& source : selectRows("SELECT rowid, c, a, b FROM ref" + where + " ORDER BY rowid")) {
                Change change{firstFreeRowid(after), source.second};
                applyChange(after, change);
                write.changes.push_back(change);
            }
        } else if (kind < 37) {
            // INSERT with a rowid, sometimes one that is taken.
            write.refused = refusals && oneIn(3);
            sqlite3_int64 rowid = write.refused ? takenRowid(visible) : someFreeRowid(visible);
            Row row{randomCell(), randomCell(), randomCell()};
            write.sql = "INSERT INTO " + t + "(rowid, a, b, c) VALUES (" + std::to_string(rowid) + ", " +
                        literal(row[0]) + ", " + literal(row[1]) + ", " + literal(row[2]) + ")";
            if (!write.refused)
                write.changes.push_back({rowid, row});
        } else if (kind < 60) {
            // UPDATE of values: one row (rarely a missing one), or several.
            std::string where;
            if (kind < 50)
                where = " WHERE rowid = " + std::to_string(refusals && oneIn(20) ? -5 : someRowid(visible));
            else if (!oneIn(8))
                where = " WHERE " + randomCondition(visible);
            std::string assignments;
            for (const auto& [rowid, row] : updatedRows(where, assignments))
                write.changes.push_back({rowid, row});
            write.sql = "UPDATE " + t + " SET " + assignments + where;
        } else if (kind < 72) {
            // UPDATE moving one row to another rowid, sometimes a taken one,
            // sometimes its own.
            sqlite3_int64 from = someRowid(visible), to = someFreeRowid(visible);
            if (oneIn(10))
                to = from;
            else if (refusals && oneIn(3))
                to = takenRowid(visible), write.refused = to != from;
            std::string where = " WHERE rowid = " + std::to_string(from), assignments;
            auto rows = updatedRows(where, assignments);
            write.sql = "UPDATE " + t + " SET rowid = " + std::to_string(to) + ", " + assignments + where;
            if (rows.empty())
                write.refused = false;
            else if (!write.refused) {
                if (to != from)
                    write.changes.push_back({from, std::nullopt});
                write.changes.push_back({to, rows[0].second});
            }
        } else {
            // DELETE of one row, or of several.
            std::string where = " WHERE rowid = " + std::to_string(someRowid(visible));
            if (kind >= 92)
                where = oneIn(20) ? "" : " WHERE " + randomCondition(visible);
            for (const auto& entry : selectRows("SELECT rowid, a, b, c FROM ref" + where + " ORDER BY rowid"))
                write.changes.push_back({entry.first, std::nullopt});
            write.sql = "DELETE FROM " + t + where;
        }
        return write;
    }

    // Runs a write and checks its outcome; returns a line for the recent list.
    std::string runWrite(const Write& write)
    {
        int rc = execute(write.sql);
        std::string line = write.sql + "  -> " + std::to_string(rc) + (rc ? " " + lastError : "");
        bool expected = write.refused
                            ? rc == SQLITE_CONSTRAINT && lastError == "UNIQUE constraint failed: " + name + ".rowid"
                            : rc == SQLITE_OK;
        if (!expected) {
            ADD_FAILURE() << line << "\nexpected " << (write.refused ? "a refusal" : "success");
            unexpected = true;
        }
        return line;
    }

    void call(const std::string& function, const std::string& steps = "")
    {
        std::string sql = "SELECT " + function + "('" + name + "'" + (steps.empty() ? "" : ", " + steps) + ")";
        if (execute(sql) != SQLITE_OK) {
            ADD_FAILURE() << sql << ": " << lastError;
            unexpected = true;
        }
    }
};

void remember(std::deque<std::string>& recent, const std::string& line)
{
    recent.push_back(line);
    if (recent.size() > recentKept)
        recent.pop_front();
}

class RandomHistoryTest : public RandomHistoryBase, public testing::WithParamInterface<unsigned> {
protected:
    std::unique_ptr<HistoryFile> history;

    // The position the history file holds for the table under test.
    std::string storedPosition()
    {
        auto rows = history->query("SELECT currentHistoryID FROM ombrixOpenedTables WHERE name = '" + name + "'");
        return rows.size() == 1 ? rows[0][0] : "no single row for " + name;
    }
};

TEST_P(RandomHistoryTest, EveryOperationLeavesTheAppliedStepsOverTheInnerRows)
{
    const unsigned seed = GetParam();
    ASSERT_NO_FATAL_FAILURE(createTables(seed));
    StepModel model;
    std::deque<std::string> recent;
    Rows visible = inner;
    bool logged = false, positionDiffered = false;
    for (int index = 0; index < operationsPerSeed; ++index) {
        std::string line;
        // A table nobody has written to has no log for the history functions
        // to move, so until a change is recorded only writes are made.
        int choice = logged ? pick(0, 99) : 0;
        if (choice < 70) {
            Write write = randomWrite(visible, true);
            line = runWrite(write);
            for (const Change& change : write.changes)
                model.record(change);
            if (!logged && !write.changes.empty())
                history = std::make_unique<HistoryFile>();
            logged = logged || !write.changes.empty();
        } else if (choice < 78) {
            call("ombrix_commit");
            model.commit();
            line = "commit";
        } else {
            bool undo = choice < 89;
            static const int counts[] = {1, 0, 1, 1, 2, 3, -1, -2};
            int count = counts[pick(0, 7)];
            bool implicit = count == 1 && oneIn(2);
            call(undo ? "ombrix_undo" : "ombrix_redo", implicit ? "" : std::to_string(count));
            undo ? model.undo(count) : model.redo(count);
            line = std::string(undo ? "undo " : "redo ") + (implicit ? "" : std::to_string(count));
        }
        remember(recent, "#" + std::to_string(index) + " " + line + "   [position now " +
                             std::to_string(model.position) + "]");
        visible = model.replay(inner);
        ASSERT_NO_FATAL_FAILURE(loadReference(visible));
        std::string context = "seed " + std::to_string(seed) + ", operation " + std::to_string(index);
        // Moves through empty steps show only in the stored position. Once it
        // differs, step numbers differ for good; the contents are still checked.
        if (logged && !positionDiffered && storedPosition() != "int:" + std::to_string(model.position)) {
            positionDiffered = true;
            ADD_FAILURE() << context << ": stored position " << storedPosition() << ", expected "
                          << model.position << "\n" << recentText(recent);
        }
        if (unexpected || !matches(context, recent)) {
            ADD_FAILURE() << "stopped at seed " << seed << ", operation " << index;
            return;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(RegressionSeeds, RandomHistoryTest, testing::ValuesIn(regressionSeeds));

// Each action is a few accepted writes with a commit before it or after it, so
// one undo or redo step is exactly one action.
class UserActionTest : public RandomHistoryBase, public testing::WithParamInterface<std::tuple<unsigned, bool>> {
protected:
    std::vector<std::vector<Change>> done, undone;

    Rows current() const
    {
        Rows rows = inner;
        for (const auto& action : done)
            for (const Change& change : action)
                applyChange(rows, change);
        return rows;
    }
};

TEST_P(UserActionTest, UndoAndRedoWalkAPlainStackOfActions)
{
    const auto [seed, commitFirst] = GetParam();
    ASSERT_NO_FATAL_FAILURE(createTables(seed));
    std::deque<std::string> recent;
    std::string where = "seed " + std::to_string(seed) + (commitFirst ? ", commit before" : ", commit after");
    // One undo or redo step. Past either end of the stack it changes nothing
    // visible: the position only moves over steps that hold no rows, the next
    // redo still goes to the lowest step holding rows, and the next action
    // (its commit first, or its first write) discards every step above the
    // position, as a new action empties the redo side of the stack.
    auto step = [&](bool undo) {
        auto& from = undo ? done : undone;
        auto& to = undo ? undone : done;
        bool beyond = from.empty();
        if (!beyond) {
            to.push_back(from.back());
            from.pop_back();
        }
        call(undo ? "ombrix_undo" : "ombrix_redo");
        remember(recent, std::string(undo ? "undo" : "redo") + (beyond ? " beyond the end" : "") + ", " +
                             std::to_string(done.size()) + " done, " + std::to_string(undone.size()) + " undone");
        loadReference(current());
        return matches(where, recent);
    };
    for (int index = 0; index < stepsPerActionRun; ++index) {
        // A table nobody has written to has no log for the history functions
        // to move, so the first action writes before any of them is called.
        int choice = index == 0 ? 0 : pick(0, 99);
        bool ok = true;
        if (choice < 55) {
            if (commitFirst && index > 0)
                call("ombrix_commit");
            Rows rows = current();
            std::vector<Change> action;
            std::string line = "action:";
            for (int writes = pick(1, 4); writes > 0; --writes) {
                loadReference(rows);
                Write write = randomWrite(rows, false);
                while (write.changes.empty())
                    write = randomWrite(rows, false);
                line += " " + runWrite(write) + ";";
                for (const Change& change : write.changes) {
                    applyChange(rows, change);
                    action.push_back(change);
                }
            }
            if (!commitFirst)
                call("ombrix_commit");
            done.push_back(action);
            undone.clear();
            remember(recent, line);
            loadReference(current());
            ok = matches(where, recent);
        } else if (choice < 75) {
            ok = step(true);
        } else if (choice < 95) {
            ok = step(false);
        } else {
            // Undo everything and a little more, then redo everything and more.
            for (size_t n = done.size() + static_cast<size_t>(pick(1, 2)); ok && n > 0; --n)
                ok = step(true);
            for (size_t n = undone.size() + static_cast<size_t>(pick(1, 2)); ok && n > 0; --n)
                ok = step(false);
        }
        if (!ok || unexpected) {
            ADD_FAILURE() << "stopped at " << where << ", step " << index;
            return;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(CommitBeforeOrAfterEachAction, UserActionTest,
                         testing::Combine(testing::Values(3u, 11u, 2024u), testing::Bool()));

} // namespace
