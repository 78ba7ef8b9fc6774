// Bulk edits at real-file scale: a million-row CSV file behind editable_csv (time,
// memory, a history file left by a dead process), and writes into a big log.
#include "bench_support.h"

#include "csv/csv_module.h"
#include "routines.h"

#include "quillmere.h"

#include <malloc.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace bench {
namespace {

std::string homePath(const std::string& name)
{
    return std::string(std::getenv("HOME")) + "/" + name;
}

// A native database that closes with the process.
struct NativeDatabase {
    sqlite3* db = nullptr;
    ~NativeDatabase() { sqlite3_close(db); }
};

// ---------------------------------------------------------------------------
// 1. Writes to a 100,000-row table whose log already holds the 50,000 even rows
// edited, against the plain WAL table and against SQLite's trigger undo log.

const std::string incrementC1 = " SET c1 = c1 + 1";
const std::string evenRows = " WHERE rowid % 2 = 0";

std::string overlayWithHalfLogged(const std::string& base)
{
    Host& host = Host::get();
    const std::string table = host.createOverlay(base);
    exec(host.db, "UPDATE " + table + incrementC1 + evenRows);
    exec(host.db, "SELECT ombrix_commit('" + table + "')");
    return table;
}

// The undo log that SQLite's documentation builds from triggers: each change
// writes the statement that takes it back into undolog. Kept in the table's own
// WAL file, as durable as the overlay's log, and holding the same 50,000 edits.
sqlite3* triggerLogDatabase()
{
    static NativeDatabase native;
    if (!native.db) {
        sqlite3* db = openNativeDatabase(homePath("trigger_log.sqlite"));
        native.db = db;
        Host::get().copyInnerRows(db, "t");
        const std::string oldRow =
            "quote(old.c1) || ', ' || quote(old.c2) || ', ' || quote(old.c3) || ', ' || quote(old.c4) || ', ' || "
            "quote(old.c5)";
        exec(db, "CREATE TABLE undolog(seq INTEGER PRIMARY KEY, sql TEXT)");
        exec(db, "CREATE TRIGGER t_insert AFTER INSERT ON t BEGIN INSERT INTO undolog VALUES (NULL, 'DELETE FROM t "
                 "WHERE rowid = ' || new.rowid); END");
        exec(db, "CREATE TRIGGER t_update AFTER UPDATE ON t BEGIN INSERT INTO undolog VALUES (NULL, 'UPDATE t SET "
                 "(c1, c2, c3, c4, c5) = (' || " +
                     oldRow + " || ') WHERE rowid = ' || old.rowid); END");
        exec(db, "CREATE TRIGGER t_delete AFTER DELETE ON t BEGIN INSERT INTO undolog VALUES (NULL, 'INSERT INTO "
                 "t(rowid, c1, c2, c3, c4, c5) VALUES (' || old.rowid || ', ' || " +
                     oldRow + " || ')'); END");
        exec(db, "UPDATE t" + incrementC1 + evenRows);
        if (scalar(db, "SELECT count(*) FROM undolog") != tableRows / 2)
            throw std::runtime_error("the trigger log does not hold the 50,000 edits");
    }
    return native.db;
}

// 10,000 single-row UPDATEs of distinct rows (half of them in the log) in one
// BEGIN ... COMMIT, commit included.
void BM_SingleRowUpdatesInTransactionHalfLogged(benchmark::State& state)
{
    runComparison(state, [] {
        Host& host = Host::get();
        sqlite3* plain = host.plainDatabase();
        sqlite3* triggered = triggerLogDatabase();
        const std::string table = overlayWithHalfLogged("w_transaction_50k");
        const std::vector<sqlite3_int64> rowids = distinctRowids(10000, 29);
        const std::string byRowid = incrementC1 + " WHERE rowid = ?";
        Statement subjectUpdate(host.db, "UPDATE " + table + byRowid);
        Statement baselineUpdate(plain, "UPDATE plain" + byRowid);
        Statement triggerUpdate(triggered, "UPDATE t" + byRowid);
        auto transaction = [&rowids](sqlite3* db, Statement& update) {
            exec(db, "BEGIN");
            for (sqlite3_int64 rowid : rowids)
                update.bind(1, rowid).run();
            exec(db, "COMMIT");
        };
        const Comparison c = compare(
            Budget{1.0, 2, 10}, [&](long) { transaction(host.db, subjectUpdate); }, Budget{0.5, 2, 20},
            [&](long) { transaction(plain, baselineUpdate); }, "trigger_log", Budget{0.5, 2, 20},
            [&](long) { transaction(triggered, triggerUpdate); });
        const sqlite3_int64 probe = rowids[5];
        const sqlite3_int64 expected = probe * 7 % 1000003 + (probe % 2 == 0 ? 1 : 0) + c.subject.reps;
        if (scalar(host.db, "SELECT c1 FROM " + table + " WHERE rowid = " + std::to_string(probe)) != expected)
            throw std::runtime_error("the overlay transactions lost an update");
        host.dropOverlay(table);
        return c;
    });
}

// One UPDATE of the 10,000 rows of one residue of rowid % 10; residues
// alternate between rows in the log and rows not in it.
void BM_OneUpdateOf10000RowsHalfLogged(benchmark::State& state)
{
    runComparison(state, [] {
        Host& host = Host::get();
        sqlite3* plain = host.plainDatabase();
        sqlite3* triggered = triggerLogDatabase();
        const std::string table = overlayWithHalfLogged("w_bulk_50k");
        const std::string byResidue = incrementC1 + " WHERE rowid % 10 = ?";
        Statement subjectUpdate(host.db, "UPDATE " + table + byResidue);
        Statement baselineUpdate(plain, "UPDATE plain" + byResidue);
        Statement triggerUpdate(triggered, "UPDATE t" + byResidue);
        auto update = [](sqlite3* db, Statement& statement, long i) {
            statement.bind(1, i % 10).run();
            if (sqlite3_changes(db) != 10000)
                throw std::runtime_error("an update changed other than 10000 rows");
        };
        const Comparison c = compare(
            Budget{1.0, 4, 20}, [&](long i) { update(host.db, subjectUpdate, i); }, Budget{0.5, 4, 40},
            [&](long i) { update(plain, baselineUpdate, i); }, "trigger_log", Budget{0.5, 4, 40},
            [&](long i) { update(triggered, triggerUpdate, i); });
        host.dropOverlay(table);
        return c;
    });
}

// ---------------------------------------------------------------------------
// 2. A million-row CSV file: readonly_csv over it, editable_csv (its overlay)
// tables made per benchmark, and the same rows in a native WAL table.

constexpr sqlite3_int64 csvRows = 1000000;

// What the process holds, read after freed memory went back to the system:
// resident bytes (/proc/self/statm) and heap bytes in use (mallinfo2).
struct Memory {
    double resident = 0;
    double heap = 0;
};

Memory memoryNow()
{
    malloc_trim(0);
    long size = 0;
    long resident = 0;
    FILE* statm = std::fopen("/proc/self/statm", "r");
    const bool read = statm && std::fscanf(statm, "%ld %ld", &size, &resident) == 2;
    if (statm)
        std::fclose(statm);
    if (!read)
        throw std::runtime_error("cannot read /proc/self/statm");
    const struct mallinfo2 heap = mallinfo2();
    return {static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)),
            static_cast<double>(heap.uordblks + heap.hblkhd)};
}

Memory perRow(const Memory& before, const Memory& after, sqlite3_int64 rows)
{
    const auto n = static_cast<double>(rows);
    return {(after.resident - before.resident) / n, (after.heap - before.heap) / n};
}

const std::string csvModuleName = "readonly_csv";
const std::string csvOverlayName = "editable_csv";

void registerCsvModules(sqlite3* db)
{
    if (sqlite3_create_module(db, csvModuleName.c_str(), csvModule(), nullptr) != SQLITE_OK)
        fail(db, "create module " + csvModuleName);
    if (wrapVirtualTableWithTransactions(db, hostRoutines(), csvModule(), csvOverlayName.c_str()) != SQLITE_OK)
        fail(db, "wrapVirtualTableWithTransactions " + csvOverlayName);
}

// id, a short name, a real v and a note of 19 to 25 characters: about 48 MB.
void writeCsvFile(const std::string& path)
{
    FILE* file = std::fopen(path.c_str(), "w");
    if (!file)
        throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
    std::fputs("id,name,v,note\n", file);
    for (long long i = 1; i <= csvRows; ++i)
        std::fprintf(file, "%lld,name%lld,%.2f,note %lld of bulk edit\n", i, i % 1000,
                     static_cast<double>(i % 10000) * 0.25, i);
    if (std::fclose(file) != 0)
        throw std::runtime_error("cannot write " + path);
}

std::string upperNotes(const std::string& table)
{
    return "UPDATE " + table + " SET note = upper(note)";
}

class BulkCsv {
public:
    static BulkCsv& get()
    {
        static BulkCsv bulk;
        return bulk;
    }

    const std::string file = homePath("bulk.csv");
    const std::string inner = "csv_inner";
    // What readonly_csv holds for the file, per row, after a full scan.
    Memory innerPerRow;

    sqlite3* native() const { return nativeDatabase.db; }

    std::string createOverlay(const std::string& base)
    {
        const int use = ++uses[base];
        const std::string name = use == 1 ? base : base + "_" + std::to_string(use);
        exec(Host::get().db, "CREATE VIRTUAL TABLE " + name + " USING " + csvOverlayName + "('" + file + "')");
        return name;
    }

    void dropOverlay(const std::string& name) { exec(Host::get().db, "DROP TABLE " + name); }

private:
    BulkCsv()
    {
        sqlite3* db = Host::get().db;
        registerCsvModules(db);
        writeCsvFile(file);
        const Memory before = memoryNow();
        exec(db, "CREATE VIRTUAL TABLE " + inner + " USING " + csvModuleName + "('" + file + "')");
        std::uint64_t sum = 0;
        if (Statement(db, "SELECT * FROM " + inner).consume(sum) != csvRows)
            throw std::runtime_error("readonly_csv does not show the file's rows");
        innerPerRow = perRow(before, memoryNow(), csvRows);

        nativeDatabase.db = openNativeDatabase(homePath("bulk_native.sqlite"));
        exec(native(), "CREATE TABLE native(id, name, v, note)");
        copyRows(db, "SELECT rowid, * FROM " + inner, native(),
                 "INSERT INTO native(rowid, id, name, v, note) VALUES (?, ?, ?, ?, ?)");
    }

    NativeDatabase nativeDatabase;
    std::map<std::string, int> uses;
};

// The native whole-table UPDATE: the baseline of the bulk writes and walks.
// Repetitions alternate upper() and lower(), so that each changes every note:
// SQLite leaves a page clean where a row is written again with the same bytes.
void updateNative()
{
    static bool upper = false;
    upper = !upper;
    sqlite3* native = BulkCsv::get().native();
    exec(native, upper ? upperNotes("native") : "UPDATE native SET note = lower(note)");
    if (sqlite3_changes(native) != csvRows)
        throw std::runtime_error("the native update changed other than every row");
}

// What stands below the log's cost: the rows that recording the whole-table
// update must write, one stored row and one history row with its step index
// entry per edited row, each holding a snapshot of the row's size (UTF-16
// text), inserted by two set-based statements into tables of the log's shape
// on a file set up as the history file is. Fresh tables each repetition.
class WriteFloor {
public:
    WriteFloor() : database{openNativeDatabase(homePath("write_floor.sqlite"))} {}

    double run()
    {
        sqlite3* db = database.db;
        exec(db, "DROP TABLE IF EXISTS s; DROP TABLE IF EXISTS h;"
                 "CREATE TABLE s (ID integer PRIMARY KEY NOT NULL, newValue BLOB NOT NULL);"
                 "CREATE TABLE h (actionTag INTEGER, oldRowID INTEGER, newRowID INTEGER, oldValue BLOB, "
                 "newValue BLOB, historyID INTEGER NOT NULL); CREATE INDEX hs ON h(historyID);");
        exec(db, "ATTACH '" + homePath("bulk_native.sqlite") + "' AS rows");
        const std::string snapshot = "randomblob(48 + 2 * length(name) + 2 * length(note))";
        const double seconds = timeOnce([&] {
            exec(db, "BEGIN; INSERT INTO h SELECT 3, rowid, rowid, x'00000000', " + snapshot +
                         ", 1 FROM rows.native; INSERT INTO s SELECT rowid, " + snapshot +
                         " FROM rows.native; COMMIT");
        });
        exec(db, "DETACH rows");
        return seconds;
    }

private:
    NativeDatabase database;
};

// Each repetition records into the log of a fresh table, made and dropped untimed.
void BM_CsvUpdateWholeTable(benchmark::State& state)
{
    runComparison(state, [] {
        BulkCsv& bulk = BulkCsv::get();
        sqlite3* db = Host::get().db;
        WriteFloor floor;
        return compare(
            Budget{5.0, 2, 5},
            [&](long) {
                const std::string table = bulk.createOverlay("csv_update");
                const double seconds = timeOnce([&] { exec(db, upperNotes(table)); });
                if (sqlite3_changes(db) != csvRows)
                    throw std::runtime_error("the overlay update changed other than every row");
                bulk.dropOverlay(table);
                return seconds;
            },
            Budget{2.0, 2, 5}, [](long) { updateNative(); }, "write_floor", Budget{2.0, 2, 5},
            [&](long) { return floor.run(); });
    });
}

// An editable_csv table whose history holds one closed step, every note in
// upper case, recorded on first use with the memory it added. The benchmarks
// leave the step applied.
class CsvStep {
public:
    static CsvStep& get()
    {
        static CsvStep step;
        return step;
    }

    std::string name;
    Memory recordedPerRow;

    void undo() const { exec(Host::get().db, "SELECT ombrix_undo('" + name + "')"); }
    void redo() const { exec(Host::get().db, "SELECT ombrix_redo('" + name + "')"); }

    // The note of rowid 10, a row of the step.
    std::string probe() const
    {
        return Statement(Host::get().db, "SELECT note FROM " + name + " WHERE rowid = 10").text();
    }
    static constexpr const char* before = "note 10 of bulk edit";
    static constexpr const char* after = "NOTE 10 OF BULK EDIT";

private:
    CsvStep()
    {
        sqlite3* db = Host::get().db;
        name = BulkCsv::get().createOverlay("csv_step");
        const Memory start = memoryNow();
        exec(db, upperNotes(name));
        if (sqlite3_changes(db) != csvRows)
            throw std::runtime_error("the step's update changed other than every row");
        recordedPerRow = perRow(start, memoryNow(), csvRows);
        exec(db, "SELECT ombrix_commit('" + name + "')");
    }
};

void BM_CsvUndoStep(benchmark::State& state)
{
    runComparison(state, [] {
        const CsvStep& step = CsvStep::get();
        bool checked = false;
        return compare(
            Budget{5.0, 2, 5},
            [&](long) {
                // Timed: the undo. The redo that restores the step is not.
                const double seconds = timeOnce([&] { step.undo(); });
                if (!checked && step.probe() != CsvStep::before)
                    throw std::runtime_error("undo left the step's values");
                checked = true;
                step.redo();
                return seconds;
            },
            Budget{2.0, 2, 5}, [](long) { updateNative(); });
    });
}

void BM_CsvRedoStep(benchmark::State& state)
{
    runComparison(state, [] {
        const CsvStep& step = CsvStep::get();
        bool checked = false;
        return compare(
            Budget{5.0, 2, 5},
            [&](long) {
                step.undo();
                const double seconds = timeOnce([&] { step.redo(); });
                if (!checked && step.probe() != CsvStep::after)
                    throw std::runtime_error("redo did not bring the step's values back");
                checked = true;
                return seconds;
            },
            Budget{2.0, 2, 5}, [](long) { updateNative(); });
    });
}

// Full scans reading every column; the subject's rows all come from the log.
void BM_CsvScanEveryRowEdited(benchmark::State& state)
{
    runComparison(state, [] {
        sqlite3* db = Host::get().db;
        Statement subjectScan(db, "SELECT * FROM " + CsvStep::get().name);
        Statement baselineScan(db, "SELECT * FROM " + BulkCsv::get().inner);
        std::uint64_t sum = 0;
        auto scan = [&sum](Statement& statement) {
            if (statement.consume(sum) != csvRows)
                throw std::runtime_error("a scan read other than every row");
        };
        const Comparison c = compare(
            Budget{4.0, 2, 10}, [&](long) { scan(subjectScan); }, Budget{2.0, 2, 20},
            [&](long) { scan(baselineScan); });
        benchmark::DoNotOptimize(sum);
        return c;
    });
}

// readonly_csv alone against the native table: where the CSV module stands.
void BM_CsvScanInnerAgainstNative(benchmark::State& state)
{
    runComparison(state, [] {
        BulkCsv& bulk = BulkCsv::get();
        Statement subjectScan(Host::get().db, "SELECT * FROM " + bulk.inner);
        Statement baselineScan(bulk.native(), "SELECT * FROM native");
        std::uint64_t subjectSum = 0, baselineSum = 0;
        const Comparison c = compare(
            Budget{2.0, 2, 20},
            [&](long) {
                subjectSum = 0;
                if (subjectScan.consume(subjectSum) != csvRows)
                    throw std::runtime_error("readonly_csv read other than every row");
            },
            Budget{2.0, 2, 20},
            [&](long) {
                baselineSum = 0;
                if (baselineScan.consume(baselineSum) != csvRows)
                    throw std::runtime_error("the native scan read other than every row");
            });
        // No check of the sums: the bulk updates changed the case of the native notes.
        benchmark::DoNotOptimize(subjectSum + baselineSum);
        return c;
    });
}

// Memory per row: what readonly_csv holds for the file, what recording the
// whole-table step added beyond it, and the growth from the first to the third
// undo + redo cycle of that step.
void BM_CsvMemory(benchmark::State& state)
{
    for (auto _ : state) {
        try {
            const Memory inner = BulkCsv::get().innerPerRow;
            const CsvStep& step = CsvStep::get();
            const auto start = Clock::now();
            Memory afterFirst;
            for (int cycle = 1; cycle <= 3; ++cycle) {
                step.undo();
                step.redo();
                if (cycle == 1)
                    afterFirst = memoryNow();
            }
            const Memory growth = perRow(afterFirst, memoryNow(), csvRows);
            if (step.probe() != CsvStep::after)
                throw std::runtime_error("the cycles did not end with the step applied");
            state.SetIterationTime(secondsSince(start));
            state.counters["readonly_csv_rss_bytes_per_row"] = inner.resident;
            state.counters["readonly_csv_heap_bytes_per_row"] = inner.heap;
            state.counters["update_rss_bytes_per_row"] = step.recordedPerRow.resident;
            state.counters["update_heap_bytes_per_row"] = step.recordedPerRow.heap;
            state.counters["undo_redo_rss_growth_bytes_per_row"] = growth.resident;
            state.counters["undo_redo_heap_growth_bytes_per_row"] = growth.heap;
        } catch (const std::exception& error) {
            state.SkipWithError(error.what());
            break;
        }
    }
}

// ---------------------------------------------------------------------------
// 3. The first open of a history file that a dead process left a million-row
// log in. The library keeps its history connection for the life of a process,
// so each open is a child process of this binary, in a home of its own.

const std::string leaveLogRole = "--bench-child=leave-log";
const std::string firstOpenRole = "--bench-child=first-open";

std::string ownExecutable()
{
    char path[PATH_MAX];
    const ssize_t size = readlink("/proc/self/exe", path, sizeof path - 1);
    if (size <= 0)
        throw std::runtime_error("cannot find this program: " + std::string(std::strerror(errno)));
    return std::string(path, static_cast<size_t>(size));
}

// Runs this binary with the arguments and returns what it wrote to stdout.
std::string runChild(const std::vector<std::string>& arguments)
{
    const std::string program = ownExecutable();
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0)
        throw std::runtime_error("pipe: " + std::string(std::strerror(errno)));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeEnds[0]);
    posix_spawn_file_actions_addclose(&actions, pipeEnds[1]);
    pid_t child = 0;
    const int rc = posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeEnds[1]);
    std::string output;
    while (rc == 0) {
        char buffer[256];
        const ssize_t got = read(pipeEnds[0], buffer, sizeof buffer);
        if (got > 0)
            output.append(buffer, static_cast<size_t>(got));
        else if (got == 0 || errno != EINTR)
            break;
    }
    close(pipeEnds[0]);
    if (rc != 0)
        throw std::runtime_error("cannot start " + program + ": " + std::strerror(rc));
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {}
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error("child " + arguments.front() + " failed (status " + std::to_string(status) + ")");
    return output;
}

// A home made anew for a child, holding copies of the files in from (none
// when from is empty).
std::string freshHome(const std::string& name, const std::string& from)
{
    const std::string home = homePath(name);
    std::filesystem::remove_all(home);
    std::filesystem::create_directory(home);
    if (!from.empty()) {
        for (const auto& entry : std::filesystem::directory_iterator(from))
            std::filesystem::copy_file(entry.path(), home + "/" + entry.path().filename().string());
    }
    return home;
}

// The history files as a process that edited every row of the CSV file left
// them when it ended without closing anything.
const std::string& leftLogFiles()
{
    static const std::string home = [] {
        const std::string made = freshHome("left_log", "");
        if (runChild({leaveLogRole, made, BulkCsv::get().file}) != std::to_string(csvRows) + "\n")
            throw std::runtime_error("the child left no million-row log");
        return made;
    }();
    return home;
}

// The history files as a process left them that closed its log.
const std::string& cleanFiles()
{
    static const std::string home = [] {
        const std::string made = freshHome("clean_log", "");
        runChild({firstOpenRole, made});
        return made;
    }();
    return home;
}

const std::string leftTable = "left_behind";

// Whether the history file in home still holds a table of the dead process's log.
bool holdsLeftLog(const std::string& home)
{
    NativeDatabase history;
    const std::string path = home + "/transactions.sqlite";
    if (sqlite3_open_v2(path.c_str(), &history.db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK)
        fail(history.db, "open " + path);
    return scalar(history.db, "SELECT count(*) FROM sqlite_master WHERE name LIKE '" + leftTable + "%'") != 0;
}

double firstOpenSeconds(const std::string& home)
{
    const std::string output = runChild({firstOpenRole, home});
    char* end = nullptr;
    const double seconds = std::strtod(output.c_str(), &end);
    if (end == output.c_str())
        throw std::runtime_error("the child reported no time: " + output);
    return seconds;
}

void BM_FirstOpenAfterLeftLog(benchmark::State& state)
{
    runComparison(state, [] {
        const std::string& left = leftLogFiles();
        const std::string& clean = cleanFiles();
        const Comparison c = compare(
            Budget{1.0, 2, 5},
            [&](long) {
                const std::string home = freshHome("open_left", left);
                const double seconds = firstOpenSeconds(home);
                if (holdsLeftLog(home))
                    throw std::runtime_error("the first open left the dead process's log in place");
                return seconds;
            },
            Budget{1.0, 2, 5}, [&](long) { return firstOpenSeconds(freshHome("open_clean", clean)); });
        std::filesystem::remove_all(homePath("open_left"));
        std::filesystem::remove_all(homePath("open_clean"));
        return c;
    });
}

// The child roles. Each takes its home folder as its first argument.

sqlite3* openChildHost(const std::string& home)
{
    setenv("HOME", home.c_str(), 1);
    sqlite3* db = nullptr;
    if (sqlite3_open(":memory:", &db) != SQLITE_OK)
        fail(db, "open host database");
    return db;
}

// Edits every row of the CSV file through editable_csv, then ends at once, as
// a crash would: nothing is closed. Writes the number of rows edited.
int leaveLog(const std::string& home, const std::string& file)
{
    sqlite3* db = openChildHost(home);
    registerCsvModules(db);
    if (quillmere_register_undoredo_functions(db) != SQLITE_OK)
        fail(db, "quillmere_register_undoredo_functions");
    exec(db, "CREATE VIRTUAL TABLE " + leftTable + " USING " + csvOverlayName + "('" + file + "')");
    exec(db, upperNotes(leftTable));
    std::printf("%d\n", sqlite3_changes(db));
    std::fflush(stdout);
    _exit(0);
}

// Times what a fresh process does first: registering the overlay and the
// history functions (which opens the history file), creating an overlay table
// and its first write. Writes the seconds; ends closing everything.
int firstOpen(const std::string& home)
{
    memory_module::TableData data;
    data.columns = {"c1"};
    data.rows = {{memory_module::Cell(sqlite3_int64{1})}, {memory_module::Cell(sqlite3_int64{2})}};
    memory_module::setTable("/bench/fresh", data);
    sqlite3* db = openChildHost(home);
    const double seconds = timeOnce([&] {
        if (wrapVirtualTableWithTransactions(db, hostRoutines(), memory_module::module(), "overlay") != SQLITE_OK)
            fail(db, "wrapVirtualTableWithTransactions");
        if (quillmere_register_undoredo_functions(db) != SQLITE_OK)
            fail(db, "quillmere_register_undoredo_functions");
        exec(db, "CREATE VIRTUAL TABLE fresh USING overlay('/bench/fresh')");
        exec(db, "UPDATE fresh" + incrementC1 + " WHERE rowid = 1");
    });
    std::printf("%.9f\n", seconds);
    sqlite3_close(db);
    return 0;
}

} // namespace

std::optional<int> runChildRole(int argc, char** argv)
{
    if (argc < 3)
        return std::nullopt;
    const std::string role = argv[1];
    try {
        if (role == leaveLogRole && argc == 4)
            return leaveLog(argv[2], argv[3]);
        if (role == firstOpenRole && argc == 3)
            return firstOpen(argv[2]);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s: %s\n", role.c_str(), error.what());
        return 1;
    }
    return std::nullopt;
}

void registerBulkBenchmarks()
{
    addBenchmark("update/single_row_x10000_in_transaction_50k_log", BM_SingleRowUpdatesInTransactionHalfLogged);
    addBenchmark("update/one_statement_10000_rows_50k_log", BM_OneUpdateOf10000RowsHalfLogged);
    addBenchmark("csv/update_whole_table_1e6", BM_CsvUpdateWholeTable);
    addBenchmark("csv/undo_1e6_row_step", BM_CsvUndoStep);
    addBenchmark("csv/redo_1e6_row_step", BM_CsvRedoStep);
    addBenchmark("csv/scan_every_row_edited_1e6", BM_CsvScanEveryRowEdited);
    addBenchmark("csv/scan_readonly_csv_vs_native_1e6", BM_CsvScanInnerAgainstNative);
    addBenchmark("csv/memory_1e6", BM_CsvMemory);
    addBenchmark("csv/first_open_after_left_log_1e6", BM_FirstOpenAfterLeftLog);
}

} // namespace bench
