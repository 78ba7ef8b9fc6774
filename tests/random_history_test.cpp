// Random sequences of writes, commits, undos and redos through an overlay table,
// checked after every operation against the step model: the table reads as the
// applied steps replayed over the inner rows (loaded into the plain table ref),
// a rowid lookup agrees with the scan, a table over the same inner rows that is never
// written stays as it was, and the stored position is the model's.
#include "overlay_fixture.h"
#include "step_model.h"

#include <deque>
#include <random>

using memory_module::Blob;
using memory_module::Cell;
using memory_module::Row;

namespace {

// A seed that once exposed a fault stays here; each runs with its own table name.
const unsigned seeds[] = {1, 7, 42, 1009, 65537};
const char* const names[] = {"t", "my \"roads\"", "v(a)/*", "ombrixOpenedTables--", "T\xC3\xA9"};
constexpr int operations = 2500;

std::string enclosed(const std::string& text, char quote)
{
    std::string result(1, quote);
    for (char c : text)
        result += c == quote ? std::string(2, c) : std::string(1, c);
    return result + quote;
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
    if (text && text->find('\0') == std::string::npos)
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

// A statement for the table under test and what it must do: be refused as a
// rowid that is not free, or record these changes in this order (maybe none).
struct Write {
    std::string sql;
    bool refused = false;
    std::vector<Change> changes;
};

class RandomHistoryTest : public OverlayTest, public testing::WithParamInterface<int> {
protected:
    std::mt19937 random;
    std::string name, table; // the table's name, and the name as an SQL identifier
    Rows inner, visible;

    int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); }
    bool oneIn(int n) { return pick(1, n) == 1; }
    sqlite3_int64 innerCount() const { return sqlite3_int64(inner.size()); }

    Cell randomCell()
    {
        static const double reals[] = {0.5, -2.25, 0.1, 1e300, -1.5e-300, 3.141592653589793, 1.0, 123456789.125};
        static const std::string texts[] = {"",     "plain", "\xC3\xA9t\xC3\xA9", "\xF0\x9F\x98\x80 ok",
                                            "it's", "a\nb",  "42",                std::string("nul\0inside", 10)};
        static const std::vector<unsigned char> blobs[] = {{}, {0x00}, {0xde, 0xad, 0xbe, 0xef}};
        static const sqlite3_int64 big[] = {INT64_MAX, -INT64_MAX, sqlite3_int64(1) << 40, 0};
        switch (pick(0, 9)) {
        case 0:
            return std::monostate{};
        case 1:
        case 2:
            return sqlite3_int64(pick(-50, 1000));
        case 3:
            return big[pick(0, 3)];
        case 4:
            return reals[pick(0, 7)];
        case 5:
            return std::uniform_real_distribution<double>(-1e6, 1e6)(random);
        case 6:
        case 7:
            return texts[pick(0, 7)];
        case 8:
            return Blob{blobs[pick(0, 2)]};
        default:
            return "w" + std::to_string(pick(0, 99));
        }
    }

    std::string values(const Row& row) { return literal(row[0]) + ", " + literal(row[1]) + ", " + literal(row[2]); }

    void loadReference()
    {
        std::string sql = "DELETE FROM ref; INSERT INTO ref(rowid, a, b, c) VALUES ";
        for (const auto& [rowid, row] : visible)
            sql += "(" + std::to_string(rowid) + ", " + values(row) + "), ";
        ASSERT_EQ(run(visible.empty() ? "DELETE FROM ref" : sql.substr(0, sql.size() - 2)), "");
    }

    // Rowid and values of each row a query over ref gives, in its order.
    std::vector<std::pair<sqlite3_int64, Row>> select(const std::string& sql)
    {
        std::vector<std::pair<sqlite3_int64, Row>> rows;
        sqlite3_stmt* statement = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr), SQLITE_OK) << sql;
        while (statement && sqlite3_step(statement) == SQLITE_ROW)
            rows.emplace_back(sqlite3_column_int64(statement, 0),
                              Row{cellOf(statement, 1), cellOf(statement, 2), cellOf(statement, 3)});
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

    sqlite3_int64 someFreeRowid()
    {
        const sqlite3_int64 far = INT64_MAX - pick(0, 1);
        if (oneIn(25) && !visible.count(far))
            return far;
        sqlite3_int64 rowid = firstFree(visible) + pick(0, 3);
        while (visible.count(rowid))
            ++rowid;
        return rowid;
    }

    // A rowid that is not free: an inner one (visible or deleted), a stored one, or one below 1.
    sqlite3_int64 takenRowid()
    {
        std::vector<sqlite3_int64> stored;
        for (const auto& entry : visible)
            if (entry.first > innerCount())
                stored.push_back(entry.first);
        const int kind = pick(0, 2);
        if (kind == 0 && innerCount() > 0)
            return pick(1, int(innerCount()));
        if (kind == 1 && !stored.empty())
            return stored[size_t(pick(0, int(stored.size()) - 1))];
        return -pick(0, 3);
    }

    // A visible rowid, or one that matches nothing when none is left.
    sqlite3_int64 someRowid()
    {
        if (visible.empty())
            return innerCount() + 100;
        auto entry = visible.begin();
        std::advance(entry, pick(0, int(visible.size()) - 1));
        return entry->first;
    }

    std::string condition()
    {
        static const char* const types[] = {"integer", "real", "text", "blob", "null"};
        const std::string column(1, char('a' + pick(0, 2))), from = std::to_string(someRowid());
        switch (pick(0, 4)) {
        case 0:
            return "rowid % " + std::to_string(pick(2, 4)) + " = " + std::to_string(pick(0, 1));
        case 1:
            return "rowid BETWEEN " + from + " AND " + from + " + " + std::to_string(pick(0, 3));
        case 2:
            return "typeof(" + column + ") = '" + types[pick(0, 4)] + "'";
        case 3:
            return column + " IS NULL";
        default:
            return column + " IS NOT NULL AND rowid > " + from;
        }
    }

    // The assignments of an UPDATE, and the rows it writes with their new values
    // in ascending rowid order, as the overlay applies them; ref tells which.
    std::vector<std::pair<sqlite3_int64, Row>> updated(const std::string& where, std::string& assignments)
    {
        std::string selected;
        for (const std::string column : {"a", "b", "c"}) {
            std::string value = column;
            if (oneIn(2)) {
                const int form = pick(0, 7);
                value = form == 0 ? std::string(1, char('a' + pick(0, 2)))
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

    Write randomWrite()
    {
        Write write;
        Rows after = visible;
        auto insert = [&](const Row& row) {
            const Change change{firstFree(after), row};
            applyChange(after, change);
            write.changes.push_back(change);
        };
        const int kind = pick(0, 99);
        if (kind < 20) {
            // INSERT without a rowid: several rows, a NULL rowid, or one column.
            const int form = pick(0, 2);
            write.sql = "INSERT INTO " + table + (form == 0 ? "(a, b, c)" : form == 1 ? "(rowid, a, b, c)" : "(b)") +
                        " VALUES ";
            for (int i = form == 0 ? pick(1, 3) : 1; i > 0; --i) {
                Row row{randomCell(), randomCell(), randomCell()};
                if (form == 2)
                    row[0] = row[2] = std::monostate{};
                write.sql += "(" + (form == 0 ? values(row) : form == 1 ? "NULL, " + values(row) : literal(row[1]));
                write.sql += i > 1 ? "), " : ")";
                insert(row);
            }
        } else if (kind < 25) {
            // INSERT of rows read from the table itself.
            const std::string where = " WHERE " + condition();
            write.sql = "INSERT INTO " + table + "(a, b, c) SELECT c, a, b FROM " + table + where + " ORDER BY rowid";
            for (const auto& source : select("SELECT rowid, c, a, b FROM ref" + where + " ORDER BY rowid"))
                insert(source.second);
        } else if (kind < 37) {
            // INSERT with a rowid, sometimes one that is not free.
            write.refused = oneIn(3);
            const sqlite3_int64 rowid = write.refused ? takenRowid() : someFreeRowid();
            const Row row{randomCell(), randomCell(), randomCell()};
            write.sql = "INSERT INTO " + table + "(rowid, a, b, c) VALUES (" + std::to_string(rowid) + ", " +
                        values(row) + ")";
            if (!write.refused)
                write.changes.push_back({rowid, row});
        } else if (kind < 60) {
            // UPDATE of values: one row (rarely a missing one), some rows, or all.
            const std::string where = kind < 50  ? " WHERE rowid = " + std::to_string(oneIn(20) ? -5 : someRowid())
                                      : oneIn(8) ? ""
                                                 : " WHERE " + condition();
            std::string assignments;
            for (const auto& [rowid, row] : updated(where, assignments))
                write.changes.push_back({rowid, row});
            write.sql = "UPDATE " + table + " SET " + assignments + where;
        } else if (kind < 72) {
            // UPDATE moving one row to another rowid: a free one, its own, or one not free.
            const sqlite3_int64 from = someRowid();
            sqlite3_int64 to = oneIn(10) ? from : someFreeRowid();
            if (to != from && oneIn(3)) {
                to = takenRowid();
                write.refused = to != from;
            }
            const std::string where = " WHERE rowid = " + std::to_string(from);
            std::string assignments;
            const auto rows = updated(where, assignments);
            write.sql = "UPDATE " + table + " SET rowid = " + std::to_string(to) + ", " + assignments + where;
            if (rows.empty()) {
                write.refused = false;
            } else if (!write.refused) {
                if (to != from)
                    write.changes.push_back({from, std::nullopt});
                write.changes.push_back({to, rows[0].second});
            }
        } else {
            // DELETE of one row, some rows, or all.
            const std::string where = kind < 92  ? " WHERE rowid = " + std::to_string(someRowid())
                                      : oneIn(20) ? ""
                                                  : " WHERE " + condition();
            for (const auto& row : select("SELECT rowid, a, b, c FROM ref" + where + " ORDER BY rowid"))
                write.changes.push_back({row.first, std::nullopt});
            write.sql = "DELETE FROM " + table + where;
        }
        return write;
    }

    // A rowid to look up: a visible one or any near the inner rows, as an integer,
    // as text, or with a fraction that matches nothing.
    std::string lookupValue()
    {
        const std::string rowid = std::to_string(oneIn(3) ? pick(-1, int(innerCount()) + 12) : someRowid());
        const int form = pick(0, 5);
        return form == 0 ? "'" + rowid + "'" : form == 1 ? rowid + ".5" : rowid;
    }
};

TEST_P(RandomHistoryTest, EveryOperationLeavesTheAppliedStepsOverTheInnerRows)
{
    random.seed(seeds[GetParam()]);
    name = names[GetParam()];
    table = enclosed(name, '"');
    const std::string untouched = enclosed("untouched " + name, '"'), nameText = enclosed(name, '\'');
    memory_module::TableData data{{"a", "b", "c"}, {}};
    for (int i = pick(0, 8); i > 0; --i) {
        data.rows.push_back({randomCell(), randomCell(), randomCell()});
        inner[innerCount() + 1] = data.rows.back();
    }
    memory_module::setTable("/random", data);
    ASSERT_NO_FATAL_FAILURE(open());
    ASSERT_EQ(run("CREATE VIRTUAL TABLE " + table + " USING overlay('/random'); CREATE VIRTUAL TABLE " + untouched +
                  " USING overlay('/random'); CREATE TABLE ref(a, b, c)"),
              "");
    visible = inner;
    ASSERT_NO_FATAL_FAILURE(loadReference());
    const std::string innerRows = run("SELECT rowid, * FROM ref ORDER BY rowid");
    StepModel model;
    std::deque<std::string> recent;
    bool logged = false;
    for (int index = 0; index < operations; ++index) {
        // Until a change is recorded the table has no log for the history functions to move.
        const int choice = logged ? pick(0, 99) : 0;
        std::string sql, expected = "NULL";
        if (choice < 70) {
            const Write write = randomWrite();
            sql = write.sql;
            expected = write.refused ? "error 19: UNIQUE constraint failed: " + name + ".rowid" : "";
            for (const Change& change : write.changes)
                model.record(change);
            logged = logged || !write.changes.empty();
        } else if (choice < 78) {
            sql = "SELECT ombrix_commit(" + nameText + ")";
            model.commit();
        } else {
            static const int counts[] = {1, 0, 1, 1, 2, 3, -1, -2};
            const int count = counts[pick(0, 7)];
            const bool undo = choice < 89, implicit = count == 1 && oneIn(2);
            sql = std::string("SELECT ombrix_") + (undo ? "undo(" : "redo(") + nameText +
                  (implicit ? "" : ", " + std::to_string(count)) + ")";
            undo ? model.undo(count) : model.redo(count);
        }
        const std::string outcome = run(sql);
        recent.push_back("#" + std::to_string(index) + " " + sql + " -> " + outcome + " [position " +
                         std::to_string(model.position) + "]");
        if (recent.size() > 12)
            recent.pop_front();
        visible = model.replay(inner);
        ASSERT_NO_FATAL_FAILURE(loadReference());
        const std::string lookup = " WHERE rowid = " + lookupValue();
        const std::string position =
            logged ? history("SELECT currentHistoryID FROM ombrixOpenedTables WHERE name = " + nameText) : "";
        const std::string labels[] = {"outcome", "rows", "lookup" + lookup, "untouched table", "position"};
        const std::string actual[] = {outcome, run("SELECT rowid, * FROM " + table),
                                      run("SELECT rowid, * FROM " + table + lookup),
                                      run("SELECT rowid, * FROM " + untouched), position};
        const std::string wanted[] = {expected, run("SELECT rowid, * FROM ref ORDER BY rowid"),
                                      run("SELECT rowid, * FROM " + table + " WHERE (" + lookup.substr(7) + ") IS 1"),
                                      innerRows,
                                      logged ? std::to_string(model.position) : ""};
        for (int i = 0; i < 5; ++i) {
            if (actual[i] == wanted[i])
                continue;
            std::string report;
            for (const std::string& line : recent)
                report += "  " + line + "\n";
            FAIL() << "seed " << seeds[GetParam()] << ", operation " << index << ", recent operations:\n"
                   << report << labels[i] << ": expected\n  " << wanted[i] << "\nactual\n  " << actual[i];
        }
    }
}

INSTANTIATE_TEST_SUITE_P(RegressionSeeds, RandomHistoryTest, testing::Range(0, 5));

} // namespace
