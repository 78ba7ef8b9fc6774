// Lookups in a 200,000-row CSV file through editable_csv with 3% of its rows
// edited, by rowid and by its key column, against a native table's; and a
// second connection's open and first lookup against the first's.
#include "bulk_csv.h"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace bench {
namespace {

// A connection of its own with the CSV modules, closed with its owner.
struct CsvConnection {
    sqlite3* db = nullptr;
    CsvConnection()
    {
        if (sqlite3_open(":memory:", &db) != SQLITE_OK)
            fail(db, "open a connection");
        registerCsvModules(db);
    }
    ~CsvConnection() { sqlite3_close(db); }
    CsvConnection(const CsvConnection&) = delete;
    CsvConnection& operator=(const CsvConnection&) = delete;
};

// The file through editable_csv (key=id) with 1% of its rows updated, 1%
// deleted and 1% inserted, and the same rows in a native WAL table whose
// INTEGER PRIMARY KEY is id.
class Survey {
public:
    static Survey& get()
    {
        static Survey survey;
        return survey;
    }

    const std::string file = homePath("survey.csv");
    CsvConnection connection;
    NativeDatabase native;
    // The rows shown, in random order: their rowids and ids.
    std::vector<std::pair<sqlite3_int64, sqlite3_int64>> rows;

private:
    Survey()
    {
        writeSurvey(file);
        sqlite3* db = connection.db;
        exec(db, "CREATE VIRTUAL TABLE survey USING editable_csv('" + file + "', key=id)");
        exec(db, "BEGIN; UPDATE survey SET note = upper(note) WHERE rowid % 100 = 1;"
                 "DELETE FROM survey WHERE rowid % 100 = 2;"
                 "INSERT INTO survey SELECT id + 1000000, name, v, note FROM survey WHERE rowid % 100 = 3; COMMIT");
        native.db = openNativeDatabase(homePath("survey.sqlite"));
        exec(native.db, "CREATE TABLE survey(id INTEGER PRIMARY KEY, name, v, note)");
        copyRows(db, "SELECT id, name, v, note FROM survey", native.db,
                 "INSERT INTO survey(id, name, v, note) VALUES (?, ?, ?, ?)");
        Statement shown(db, "SELECT rowid, id FROM survey");
        while (sqlite3_step(shown.raw()) == SQLITE_ROW)
            rows.emplace_back(sqlite3_column_int64(shown.raw(), 0), sqlite3_column_int64(shown.raw(), 1));
        std::shuffle(rows.begin(), rows.end(), std::mt19937(41));
    }
};

// One lookup a repetition, of a row the table shows (by rowid, or else by id),
// against the native table's by id.
Comparison compareLookups(const std::string& subjectSql, bool byRowid)
{
    Survey& survey = Survey::get();
    Statement subject(survey.connection.db, subjectSql);
    Statement baseline(survey.native.db, "SELECT * FROM survey WHERE id = ?");
    std::uint64_t sum = 0;
    const auto lookup = [&sum](Statement& statement, sqlite3_int64 key) {
        if (statement.bind(1, key).consume(sum) != 1)
            throw std::runtime_error("a lookup found other than one row");
    };
    const auto row = [&](long i) { return survey.rows[static_cast<size_t>(i) % survey.rows.size()]; };
    return compare(
        Budget{4.0, 4, 20000}, [&](long i) { lookup(subject, byRowid ? row(i).first : row(i).second); },
        Budget{2.0, 4, 20000}, [&](long i) { lookup(baseline, row(i).second); });
}

void BM_CsvRowidLookup(benchmark::State& state)
{
    runComparison(state, [] { return compareLookups("SELECT * FROM survey WHERE rowid = ?", true); });
}

void BM_CsvKeyLookup(benchmark::State& state)
{
    runComparison(state, [] { return compareLookups("SELECT * FROM survey WHERE id = ?", false); });
}

// CREATE and a first lookup on a new connection (opened and closed untimed),
// while another connection holds a table over the file (subject) or none
// does (baseline). A copy of the file that no other benchmark holds.
void BM_CsvSecondOpen(benchmark::State& state)
{
    runComparison(state, [] {
        const std::string file = homePath("survey_opened.csv");
        std::filesystem::copy_file(Survey::get().file, file, std::filesystem::copy_options::overwrite_existing);
        const std::string create = "CREATE VIRTUAL TABLE s USING editable_csv('" + file + "', key=id)";
        const std::string lookup = "SELECT * FROM s WHERE id = 1100001";
        std::unique_ptr<CsvConnection> holder;
        std::uint64_t sum = 0;
        const auto openOnce = [&](bool held) {
            if (held && !holder) {
                holder = std::make_unique<CsvConnection>();
                exec(holder->db, create);
            } else if (!held) {
                holder.reset();
            }
            CsvConnection fresh;
            return timeOnce([&] {
                exec(fresh.db, create);
                if (Statement(fresh.db, lookup).consume(sum) != 1)
                    throw std::runtime_error("the first lookup found other than one row");
            });
        };
        return compare(
            Budget{1.0, 10, 500}, [&](long) { return openOnce(true); }, Budget{3.0, 3, 20},
            [&](long) { return openOnce(false); });
    });
}

} // namespace

void registerCsvLookupBenchmarks()
{
    addBenchmark("csv/rowid_lookup_3pct_edited_2e5", BM_CsvRowidLookup);
    addBenchmark("csv/key_lookup_3pct_edited_2e5", BM_CsvKeyLookup);
    addBenchmark("csv/second_connection_open_vs_first_2e5", BM_CsvSecondOpen);
}

} // namespace bench
