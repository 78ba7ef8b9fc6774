// Random sequences of writes, commits, undos and redos through an overlay table,
// checked after every operation against a model of the history rules of its own
// (numbered steps of row changes and a position; steps at or below the position
// are applied, steps above it reverted): the table reads as the applied steps
// replayed over the inner rows (loaded into the plain table ref), a rowid lookup
// agrees with the scan, a table over the same inner rows that is never written
// stays as it was, and the stored position is the model's.
#include "overlay_fixture.h"

#include <deque>
#include <map>
#include <optional>
#include <random>

namespace {

// A row as SQL literals of its values a, b and c, each giving back its value exactly.
using Row = std::vector<std::string>;
using Rows = std::map<sqlite3_int64, Row>;

// One row written: values stored under a rowid, or (no values) a rowid deleted.
struct Change {
    sqlite3_int64 rowid;
    std::optional<Row> values;
};

void applyChange(Rows& rows, const Change& change)
{
    if (change.values)
        rows[change.rowid] = *change.values;
    else
        rows.erase(change.rowid);
}

struct StepModel {
    long long position = 1;
    std::map<long long, std::vector<Change>> steps;

    // New work discards what could be redone, and starts a step of its own then.
    void record(const Change& change)
    {
        if (steps.upper_bound(position) != steps.end()) {
            steps.erase(steps.upper_bound(position), steps.end());
            position += steps.count(position);
        }
        steps[position].push_back(change);
    }
    void commit()
    {
        steps.erase(steps.upper_bound(position), steps.end());
        ++position;
    }
    // Steps that hold no changes are passed over.
    void undo(long long times)
    {
        for (; times > 0; --times) {
            auto above = steps.upper_bound(position);
            position = above == steps.begin() ? position - 1 : std::prev(above)->first - 1;
        }
    }
    // After a redo, as after a commit, the next change starts a step of its own.
    void redo(long long times)
    {
        bool reapplied = false;
        for (; times > 0; --times) {
            auto next = steps.upper_bound(position);
            reapplied = reapplied || next != steps.end();
            position = next == steps.end() ? position + 1 : next->first;
        }
        position += reapplied && steps.upper_bound(position) == steps.end();
    }
    Rows replay(Rows rows) const
    {
        for (auto step = steps.begin(); step != steps.upper_bound(position); ++step)
            for (const Change& change : step->second)
                applyChange(rows, change);
        return rows;
    }
};

// A seed that once exposed a fault stays here; each runs with its own table name.
const unsigned seeds[] = {1, 7, 42, 1009, 65537};
// Each seed's table name, and the name as an SQL identifier.
const std::pair<std::string, std::string> names[] = {
    {"t", "t"}, {"my \"roads\"", "\"my \"\"roads\"\"\""}, {"v(a)/*", "\"v(a)/*\""},
    {"ombrixOpenedTables--", "\"ombrixOpenedTables--\""}, {"T\xC3\xA9", "\"T\xC3\xA9\""}};

// SQL whose value is a literal that gives back the value of x exactly, type included.
std::string literalOf(const std::string& x)
{
    return "CASE typeof(" + x + ") WHEN 'text' THEN 'CAST(x''' || hex(" + x + ") || ''' AS TEXT)' WHEN 'real' THEN "
           "printf('%!.17g', " + x + ") ELSE quote(" + x + ") END";
}

// Values of the inner rows, each with its literal.
const std::pair<memory_module::Cell, const char*> innerValues[] = {
    {std::monostate{}, "NULL"}, {sqlite3_int64(-INT64_MAX), "-9223372036854775807"}, {2.5, "2.5"},
    {std::string("r\xC3\xA9"), "'r\xC3\xA9'"}, {memory_module::Blob{{0, 1}}, "x'0001'"}, {sqlite3_int64(7), "7"}};

class RandomHistoryTest : public OverlayTest, public testing::WithParamInterface<int> {
protected:
    std::mt19937 random;
    std::string name, table; // the table's name, and the name as an SQL identifier
    Rows inner, visible;

    int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); }
    bool oneIn(int n) { return pick(1, n) == 1; }
    sqlite3_int64 innerCount() const { return sqlite3_int64(inner.size()); }

    std::string randomValue()
    {
        static const char* const fixed[] = {
            "9223372036854775807", "-9223372036854775807", "1099511627776", "0", "0.5", "-2.25", "0.1", "1e300",
            "-1.5e-300", "1.0", "''", "'it''s'", "'\xC3\xA9t\xC3\xA9 \xF0\x9F\x98\x80'", "'a\nb'", "'42'",
            "CAST(x'6e756c00696e73696465' AS TEXT)", "x''", "x'00'", "x'deadbeef'"};
        char real[40];
        const int kind = pick(0, 6);
        const double number = std::uniform_real_distribution<double>(-1e6, 1e6)(random);
        return kind == 0   ? std::to_string(pick(-50, 1000))
               : kind == 1 ? sqlite3_snprintf(sizeof real, real, "%!.17g", number)
               : kind == 2 ? "'w" + std::to_string(pick(0, 99)) + "'"
               : kind == 3 ? "NULL"
                           : fixed[pick(0, int(std::size(fixed)) - 1)];
    }

    std::string values(const Row& row) { return row[0] + ", " + row[1] + ", " + row[2]; }

    // Rowid and values of each row ref gives for three expressions and a condition, in rowid order.
    std::vector<std::pair<sqlite3_int64, Row>> select(const Row& expressions, const std::string& where)
    {
        std::vector<std::pair<sqlite3_int64, Row>> rows;
        const std::string sql = "SELECT rowid, " + literalOf(expressions[0]) + ", " + literalOf(expressions[1]) + ", " +
                                literalOf(expressions[2]) + " FROM ref" + where + " ORDER BY rowid";
        sqlite3_stmt* statement = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr), SQLITE_OK) << sql;
        while (statement && sqlite3_step(statement) == SQLITE_ROW) {
            rows.push_back({sqlite3_column_int64(statement, 0), {}});
            for (int i = 1; i <= 3; ++i)
                rows.back().second.push_back(reinterpret_cast<const char*>(sqlite3_column_text(statement, i)));
        }
        sqlite3_finalize(statement);
        return rows;
    }

    // The rowid an INSERT without one gets: the first after the inner rows that no row holds.
    sqlite3_int64 firstFree(const Rows& rows) const
    {
        sqlite3_int64 rowid = innerCount() + 1;
        while (rows.count(rowid))
            ++rowid;
        return rowid;
    }

    sqlite3_int64 freeRowid()
    {
        sqlite3_int64 rowid = oneIn(25) ? INT64_MAX - pick(0, 1) : firstFree(visible) + pick(0, 3);
        while (visible.count(rowid))
            --rowid;
        return rowid > innerCount() ? rowid : firstFree(visible);
    }

    // A rowid that is not free: an inner one (visible or deleted), a stored one, or one below 1.
    sqlite3_int64 takenRowid()
    {
        const sqlite3_int64 rowid = someRowid();
        if (oneIn(3) && innerCount() > 0)
            return pick(1, int(innerCount()));
        return visible.count(rowid) && rowid > innerCount() && oneIn(2) ? rowid : -pick(0, 3);
    }

    // A visible rowid, or one that matches nothing when none is left.
    sqlite3_int64 someRowid()
    {
        if (visible.empty())
            return innerCount() + 100;
        return std::next(visible.begin(), pick(0, int(visible.size()) - 1))->first;
    }

    std::string condition()
    {
        const std::string column(1, char('a' + pick(0, 2))), from = std::to_string(someRowid());
        const std::string forms[] = {"rowid % 3 = " + std::to_string(pick(0, 2)), column + " IS NULL",
                                     "rowid BETWEEN " + from + " AND " + from + " + 3",
                                     "typeof(" + column + ") IN ('integer', 'blob')",
                                     column + " IS NOT NULL AND rowid > " + from};
        return forms[pick(0, 4)];
    }

    // The SET list of an UPDATE, and the rows it writes with their new values in
    // ascending rowid order, as the overlay applies them; ref tells which.
    std::vector<std::pair<sqlite3_int64, Row>> updated(const std::string& where, std::string& assignments)
    {
        Row selected;
        for (const std::string column : {"a", "b", "c"}) {
            const int form = pick(0, 5);
            selected.push_back(form == 0   ? std::string(1, char('a' + pick(0, 2)))
                               : form == 1 ? "typeof(" + column + ")"
                               : form == 2 ? randomValue()
                                           : column);
            if (selected.back() != column)
                assignments += (assignments.empty() ? "" : ", ") + column + " = " + selected.back();
        }
        assignments = assignments.empty() ? "a = a" : assignments;
        return select(selected, where);
    }

    // A random statement for the table under test, and the changes it must record
    // in this order, or nullopt when it must be refused as a rowid that is not free.
    std::pair<std::string, std::optional<std::vector<Change>>> randomWrite()
    {
        std::vector<Change> changes;
        const int kind = pick(0, 99);
        if (kind < 25) {
            // INSERT without a rowid: one or more rows given, or read from the table itself.
            Rows after = visible;
            auto insert = [&](const Row& row) {
                changes.push_back({firstFree(after), row});
                applyChange(after, changes.back());
            };
            std::string sql = "INSERT INTO " + table + "(a, b, c) ";
            if (kind < 5) {
                const std::string where = " WHERE " + condition();
                for (const auto& source : select({"c", "a", "b"}, where))
                    insert(source.second);
                return {sql + "SELECT c, a, b FROM " + table + where + " ORDER BY rowid", changes};
            }
            for (int i = pick(1, 3); i > 0; --i) {
                const Row row{randomValue(), randomValue(), randomValue()};
                sql += (changes.empty() ? "VALUES (" : ", (") + values(row) + ")";
                insert(row);
            }
            return {sql, changes};
        }
        if (kind < 37) {
            // INSERT with a rowid, sometimes one that is not free.
            const bool refused = oneIn(3);
            const Row row{randomValue(), randomValue(), randomValue()};
            const sqlite3_int64 rowid = refused ? takenRowid() : freeRowid();
            changes.push_back({rowid, row});
            return {"INSERT INTO " + table + "(rowid, a, b, c) VALUES (" + std::to_string(rowid) + ", " + values(row) + ")",
                    refused ? std::nullopt : std::optional(changes)};
        }
        if (kind < 72) {
            // UPDATE of values: one row (rarely a missing one), some rows, or all;
            // or of one row's rowid, to a free one, its own, or one not free.
            const sqlite3_int64 from = oneIn(20) ? -5 : someRowid();
            const bool move = kind >= 60;
            sqlite3_int64 to = oneIn(10) ? from : oneIn(3) ? takenRowid() : freeRowid();
            const std::string where = kind < 50 || move ? " WHERE rowid = " + std::to_string(from)
                                      : oneIn(8)         ? ""
                                                         : " WHERE " + condition();
            std::string assignments = move ? "rowid = " + std::to_string(to) : "";
            const auto rows = updated(where, assignments);
            const bool refused = move && !rows.empty() && to != from && (to <= innerCount() || visible.count(to));
            for (const auto& [rowid, row] : rows) {
                if (move && to != from)
                    changes.push_back({rowid, std::nullopt});
                changes.push_back({move ? to : rowid, row});
            }
            return {"UPDATE " + table + " SET " + assignments + where, refused ? std::nullopt : std::optional(changes)};
        }
        // DELETE of one row, some rows, or all.
        const std::string where = kind < 92  ? " WHERE rowid = " + std::to_string(someRowid())
                                  : oneIn(20) ? ""
                                              : " WHERE " + condition();
        for (const auto& row : select({"a", "b", "c"}, where))
            changes.push_back({row.first, std::nullopt});
        return {"DELETE FROM " + table + where, changes};
    }
};

TEST_P(RandomHistoryTest, EveryOperationLeavesTheAppliedStepsOverTheInnerRows)
{
    random.seed(seeds[GetParam()]);
    std::tie(name, table) = names[GetParam()];
    const std::string untouched = "untouched", nameText = "'" + name + "'";
    memory_module::TableData data{{"a", "b", "c"}, {}};
    for (int i = pick(0, 8); i > 0; --i) {
        memory_module::Row cells;
        Row literals;
        for (int column = 0; column < 3; ++column) {
            const auto& [cell, text] = innerValues[pick(0, int(std::size(innerValues)) - 1)];
            cells.push_back(cell);
            literals.push_back(text);
        }
        data.rows.push_back(cells);
        inner[innerCount() + 1] = literals;
    }
    memory_module::setTable("/random", data);
    ASSERT_NO_FATAL_FAILURE(open());
    ASSERT_EQ(run("CREATE VIRTUAL TABLE " + table + " USING overlay('/random'); CREATE VIRTUAL TABLE " + untouched +
                  " USING overlay('/random'); CREATE TABLE ref(a, b, c)"),
              "");
    StepModel model;
    std::deque<std::string> recent;
    std::string innerRows;
    bool logged = false;
    for (int index = 0; index <= 2500; ++index) {
        // Until a change is recorded the table has no log for the history functions to move.
        const int choice = index == 0 ? -1 : logged ? pick(0, 99) : 0;
        std::string sql = "SELECT NULL", expected = "NULL";
        if (choice >= 0 && choice < 70) {
            const auto [write, changes] = randomWrite();
            sql = write;
            expected = changes ? "" : "error 19: UNIQUE constraint failed: " + name + ".rowid";
            for (const Change& change : changes.value_or(std::vector<Change>{}))
                model.record(change);
            logged = logged || (changes && !changes->empty());
        } else if (choice >= 70 && choice < 78) {
            sql = "SELECT ombrix_commit(" + nameText + ")";
            model.commit();
        } else if (choice >= 78) {
            const int count = std::vector<int>{1, 0, 1, 1, 2, 3, -1, -2}[pick(0, 7)];
            const bool undo = choice < 89, implicit = count == 1 && oneIn(2);
            sql = std::string("SELECT ombrix_") + (undo ? "undo(" : "redo(") + nameText +
                  (implicit ? "" : ", " + std::to_string(count)) + ")";
            undo ? model.undo(count) : model.redo(count);
        }
        const std::string outcome = run(sql);
        recent.push_back("#" + std::to_string(index) + " " + sql + " -> " + outcome);
        if (recent.size() > 12)
            recent.pop_front();
        visible = model.replay(inner);
        std::string load = "DELETE FROM ref; INSERT INTO ref(rowid, a, b, c) VALUES ";
        for (const auto& [rowid, row] : visible)
            load += "(" + std::to_string(rowid) + ", " + values(row) + "), ";
        ASSERT_EQ(run(visible.empty() ? "DELETE FROM ref" : load.substr(0, load.size() - 2)), "");
        const std::string ref = run("SELECT rowid, * FROM ref ORDER BY rowid");
        innerRows = index == 0 ? ref : innerRows;
        // A rowid to look up: a visible one or any near the inner rows, as an
        // integer, as text, or with a fraction that matches nothing.
        const std::string rowid = std::to_string(oneIn(3) ? pick(-1, int(innerCount()) + 12) : someRowid());
        const std::string lookup = std::vector<std::string>{rowid, rowid, "'" + rowid + "'", rowid + ".5"}[pick(0, 3)];
        const std::string labels[] = {"outcome", "rows", "rowid = " + lookup, "untouched table", "position"};
        const std::string actual[] = {
            outcome, run("SELECT rowid, * FROM " + table),
            run("SELECT rowid, * FROM " + table + " WHERE rowid = " + lookup), run("SELECT rowid, * FROM " + untouched),
            logged ? history("SELECT currentHistoryID FROM ombrixOpenedTables WHERE name = " + nameText) : ""};
        const std::string wanted[] = {expected, ref,
                                      run("SELECT rowid, * FROM " + table + " WHERE (rowid = " + lookup + ") IS 1"),
                                      innerRows, logged ? std::to_string(model.position) : ""};
        for (int i = 0; i < 5; ++i) {
            std::string report;
            for (const std::string& line : recent)
                report += "  " + line + "\n";
            ASSERT_EQ(actual[i], wanted[i]) << "seed " << seeds[GetParam()] << ", operation " << index << ", "
                                            << labels[i] << "; recent operations:\n" << report;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(RegressionSeeds, RandomHistoryTest, testing::Range(0, 5));

} // namespace
