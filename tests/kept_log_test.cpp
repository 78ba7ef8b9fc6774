// Kept change logs across processes: taken up after an exit or a SIGKILL as
// the acknowledged work left them, by one process at a time, and refused when
// the files behind them changed; file paths that name one file share one log.
#include "overlay_fixture.h"
#include "quillmere.h"
#include "routines.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

// A connection of a process of its own, with the overlay over the memory module.
sqlite3* connect(const std::string& path = ":memory:")
{
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    wrapVirtualTableWithTransactions(db, hostRoutines(), memory_module::module(), "overlay");
    quillmere_register_undoredo_functions(db);
    return db;
}

// Writes and history calls, each one statement that either happens whole or not at all.
std::vector<std::string> stream(unsigned seed, int count)
{
    std::mt19937 random(seed);
    const auto pick = [&random](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
    std::vector<std::string> statements;
    for (int i = 0; i < count; ++i) {
        const std::string n = std::to_string(i), row = std::to_string(pick(1, 12));
        const std::string all[] = {
            "UPDATE t SET b = 'v" + n + "' WHERE rowid = " + row,
            "INSERT INTO t(a, b) VALUES (" + n + ", 'n" + n + "')",
            "DELETE FROM t WHERE rowid = " + row,
            "UPDATE t SET b = b || '+' WHERE rowid % 3 = " + std::to_string(i % 3),
            "UPDATE t SET rowid = rowid + 100 WHERE rowid = " + row,
            "SELECT ombrix_commit('t')",
            "SELECT ombrix_commit('t', 'step " + n + "')",
            "SELECT ombrix_undo('t', " + std::to_string(pick(1, 2)) + ")",
            "SELECT ombrix_redo('t')",
            "BEGIN; UPDATE t SET b = 'tx" + n + "' WHERE rowid <= " + row +
                "; SELECT ombrix_commit('t'); DELETE FROM t "
                "WHERE rowid = " +
                std::to_string(pick(1, 12)) + "; COMMIT",
        };
        static const int weights[] = {0, 0, 0, 1, 1, 2, 3, 4, 5, 6, 7, 8, 9};
        statements.push_back(all[weights[pick(0, 12)]]);
    }
    return statements;
}

const char setup[] = "CREATE VIRTUAL TABLE t USING overlay('/t'); SELECT ombrix_keep('t')";

// The way out that a refused kept log's message names: the files accepted, with these arguments, or the log dropped.
std::string accepted(const std::string& arguments, const std::string& name)
{
    return "; if the files are the ones the log was made over, run SELECT ombrix_accept_files(" + arguments +
           ") and create the table again; to drop the kept log and its edits, run SELECT ombrix_discard('" + name +
           "')";
}

// Everything a user sees of t and its history, then the same with every step undone and with every step
// redone.
std::string dump(sqlite3* db)
{
    std::string shown;
    for (const char* sql : {"SELECT 'now'", "SELECT ombrix_undo('t', 1000)", "SELECT ombrix_redo('t', 1000)"}) {
        shown += run(db, sql) + ": " + run(db, "SELECT rowid, * FROM t") + " / " +
                 run(db, "SELECT * FROM ombrix_tables") + " / " + run(db, "SELECT * FROM ombrix_steps('t')") + " / " +
                 run(db, "SELECT * FROM ombrix_changes('t')");
        shown += "\n";
    }
    return shown;
}

std::string readFile(const std::string& path)
{
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

class KeptLogTest : public OverlayTest {
protected:
    // Runs body in a process of its own, with HOME at home, and gives its process id. The process ends
    // without running any destructor, as a killed one does, unless body ends it otherwise.
    template <class Body>
    pid_t inChild(const std::string& childHome, Body body)
    {
        std::fflush(nullptr);
        const pid_t pid = fork();
        if (pid == 0) {
            setenv("HOME", childHome.c_str(), 1);
            memory_module::setTable("/t", numbered(12));
            body();
            _exit(0);
        }
        return pid;
    }

    static void finish(pid_t pid)
    {
        int status = 0;
        waitpid(pid, &status, 0);
    }

    // What a process that ran the first count statements of the stream shows, in a home of its own.
    std::string reference(const std::vector<std::string>& statements, size_t count)
    {
        const std::string own = home + "/reference" + std::to_string(count);
        mkdir(own.c_str(), 0700);
        finish(inChild(own, [&] {
            sqlite3* db = connect();
            ::run(db, setup);
            for (size_t i = 0; i < count; ++i)
                ::run(db, statements[i]);
            std::ofstream(own + "/dump") << dump(db);
        }));
        return readFile(own + "/dump");
    }

    // What a new process shows when it takes the kept log up.
    std::string resumed()
    {
        finish(inChild(home, [&] {
            sqlite3* db = connect();
            std::ofstream(home + "/resumed") << ::run(db, "CREATE VIRTUAL TABLE t USING overlay('/t')") << dump(db);
        }));
        return readFile(home + "/resumed");
    }
};

// A process keeps its log, works through a seeded stream and ends: normally, or killed at a random moment.
// The next process shows exactly the acknowledged statements, or those and the one in flight, whole: rows,
// position, steps, and the same rows after undoing and redoing every step.
TEST_F(KeptLogTest, ANewProcessTakesUpWhatTheLastOneAcknowledged)
{
    std::mt19937 random(2026);
    for (int round = 0; round < 6; ++round) {
        const std::vector<std::string> statements = stream(unsigned(round) + 1, round == 0 ? 40 : 400);
        // The writer acknowledges each statement and waits for the word to run the next one.
        int acks[2], goes[2];
        ASSERT_EQ(pipe(acks), 0);
        ASSERT_EQ(pipe(goes), 0);
        const pid_t writer = inChild(home, [&] {
            ::close(acks[0]);
            ::close(goes[1]);
            sqlite3* db = connect();
            ::run(db, setup);
            char go;
            for (size_t i = 0; i < statements.size() && read(goes[0], &go, 1) == 1; ++i) {
                ::run(db, statements[i]);
                const int done = int(i) + 1;
                if (write(acks[1], &done, sizeof done) != sizeof done)
                    _exit(1);
            }
            sqlite3_close(db);
            std::exit(0);
        });
        ::close(acks[1]);
        ::close(goes[0]);
        int acknowledged = 0;
        const int killAfter = round == 0 ? -1 : std::uniform_int_distribution<int>(5, 150)(random);
        while (acknowledged != killAfter && write(goes[1], "g", 1) == 1 &&
               read(acks[0], &acknowledged, sizeof acknowledged) == sizeof acknowledged) {}
        if (killAfter > 0) {
            // Killed while it runs the next statement, or a moment before or after.
            ASSERT_EQ(write(goes[1], "g", 1), 1);
            usleep(useconds_t(std::uniform_int_distribution<int>(0, 800)(random)));
            kill(writer, SIGKILL);
        }
        ::close(goes[1]);
        finish(writer);
        for (int done = 0; read(acks[0], &done, sizeof done) == sizeof done;)
            acknowledged = done;
        ::close(acks[0]);
        const std::string shown = resumed();
        const std::string whole = reference(statements, size_t(acknowledged));
        if (shown != whole && size_t(acknowledged) < statements.size())
            EXPECT_EQ(shown, reference(statements, size_t(acknowledged) + 1)) << "round " << round;
        else
            EXPECT_EQ(shown, whole) << "round " << round << ", " << acknowledged << " acknowledged";
        for (const char* file : {"/transactions.sqlite", "/transactions.sqlite-wal", "/transactions.sqlite-shm"})
            std::remove((home + file).c_str());
    }
}

// Two processes that open the kept table at once: one takes the log up, the other, waiting for that as its busy
// timeout lets it, is told it is in use.
TEST_F(KeptLogTest, OneProcessAtATimeTakesAKeptLogUp)
{
    finish(inChild(home, [] {
        sqlite3* db = connect();
        ::run(db, setup);
        ::run(db, "UPDATE t SET b = 'kept' WHERE rowid = 1");
        sqlite3_close(db);
        std::exit(0);
    }));
    int start[2], end[2];
    ASSERT_EQ(pipe(start), 0);
    ASSERT_EQ(pipe(end), 0);
    pid_t racers[2];
    for (int i = 0; i < 2; ++i) {
        racers[i] = inChild(home, [&, i] {
            ::close(start[1]);
            ::close(end[1]);
            sqlite3* db = connect();
            sqlite3_busy_timeout(db, 5000);
            char go;
            if (read(start[0], &go, 1) != 1)
                _exit(1);
            std::ofstream(home + "/racer" + std::to_string(i))
                << ::run(db, "CREATE VIRTUAL TABLE t USING overlay('/t'); SELECT b FROM t WHERE rowid = 1");
            // Holds what it took until both have tried.
            while (read(end[0], &go, 1) > 0) {}
        });
    }
    ::close(start[0]);
    ::close(end[0]);
    ASSERT_EQ(write(start[1], "gg", 2), 2);
    for (int waited = 0; waited < 500 && (readFile(home + "/racer0").empty() || readFile(home + "/racer1").empty());
         ++waited)
        usleep(10000);
    ::close(end[1]);
    ::close(start[1]);
    finish(racers[0]);
    finish(racers[1]);
    std::vector<std::string> outcomes = {readFile(home + "/racer0"), readFile(home + "/racer1")};
    std::sort(outcomes.begin(), outcomes.end());
    EXPECT_EQ(outcomes, (std::vector<std::string>{"'kept'", "error 5: table t: its change log is in use by another "
                                                            "process"}));
}

// Files on disk: the log is refused when a file it was made over changed, sidecars and all, and
// ombrix_discard is the way out; a database beside them may change. Every spelling of one file is one log.
TEST_F(KeptLogTest, FilesBehindAKeptLogMustBeUnchanged)
{
    const std::string stem = home + "/roads";
    for (const char* extension : {".shp", ".dbf", ".shx"})
        std::ofstream(stem + extension) << "data of " << extension;
    memory_module::setTable(stem, numbered(3));
    const std::string create = "CREATE VIRTUAL TABLE roads USING overlay('" + stem + "')";
    ASSERT_NO_FATAL_FAILURE(open(home + "/project.db"));
    EXPECT_EQ(run(create + "; UPDATE roads SET b = 'edited' WHERE rowid = 2; SELECT ombrix_keep('roads')"), "NULL");
    close();
    // The project's database shares the stem of the shapefile's files and changes as it is used.
    ASSERT_EQ(rename((home + "/project.db").c_str(), (home + "/roads.sqlite").c_str()), 0);
    ASSERT_NO_FATAL_FAILURE(open(home + "/roads.sqlite"));
    EXPECT_EQ(run("SELECT b FROM roads WHERE rowid = 2; SELECT kept, held FROM ombrix_tables"), "'edited' 1|'here'");
    close();
    std::ofstream(stem + ".dbf", std::ios::app) << "more";
    ASSERT_NO_FATAL_FAILURE(open(home + "/roads.sqlite"));
    const std::string refused = "error 1: table roads: cannot take up its kept change log: file " + stem +
                                ".dbf changed size from 12 to 16 bytes since the log began, so its edits may no "
                                "longer match the rows" +
                                accepted("'roads'", "roads");
    EXPECT_EQ(run("SELECT * FROM roads"), refused);
    EXPECT_EQ(run("SELECT name, file_path, position, kept, held FROM ombrix_tables"),
              "'roads'|'" + stem + "'|1|1|NULL");
    EXPECT_EQ(run("SELECT ombrix_discard('roads'); SELECT b FROM roads WHERE rowid = 2"), "NULL 'r2'");
    EXPECT_EQ(run("SELECT ombrix_discard('roads')"), "error 1: table roads has no kept change log");
    EXPECT_EQ(history("SELECT count(*) FROM sqlite_master WHERE name LIKE 'roads%'"), "0");

    // One file under three spellings is one log; the same name over another file is refused.
    char* outer = getcwd(nullptr, 0);
    std::ofstream(home + "/data.csv") << "a,b\n";
    memory_module::setTable(home + "/data.csv", numbered(2));
    memory_module::setTable(home + "/./data.csv", numbered(2));
    ASSERT_EQ(chdir(home.c_str()), 0);
    memory_module::setTable("data.csv", numbered(2));
    EXPECT_EQ(run("CREATE VIRTUAL TABLE a USING overlay('data.csv'); UPDATE a SET b = 'x' WHERE rowid = 1;"
                  "CREATE VIRTUAL TABLE b USING overlay('" +
                  home + "/./data.csv'); UPDATE b SET b = 'y'"),
              "error 19: table b: its file path " + home + "/data.csv is already used by the change log of table a");
    EXPECT_EQ(run("SELECT ombrix_keep('a')"), "NULL");
    close();
    ASSERT_NO_FATAL_FAILURE(open());
    std::ofstream(home + "/other.csv") << "a,b\n";
    memory_module::setTable(home + "/other.csv", numbered(2));
    EXPECT_EQ(run("CREATE VIRTUAL TABLE a USING overlay('other.csv')"),
              "error 1: table a: its kept change log was made over file path " + home + "/data.csv, not " + home +
                  "/other.csv; open the table over " + home + "/data.csv" +
                  accepted("'a', '" + home + "/other.csv'", "a"));
    EXPECT_EQ(run("CREATE VIRTUAL TABLE a USING overlay('" + home + "/data.csv'); SELECT b FROM a"), "'x' 'r2'");
    EXPECT_EQ(chdir(outer), 0);
    std::free(outer);
}

// A kept log that no table holds is listed from its records alone, values before and after as JSON; the user
// vouches for its files, moved or not, and the next CREATE takes it up. Held elsewhere, it is in use.
TEST_F(KeptLogTest, ARefusedLogIsListedAndItsFilesAccepted)
{
    const std::string csv = home + "/d.csv", moved = home + "/sub/d.csv";
    std::ofstream(csv) << "a,b\n";
    memory_module::setTable(csv, numbered(3));
    memory_module::setTable(moved, numbered(3));
    const auto create = [](const std::string& path) { return "CREATE VIRTUAL TABLE t USING overlay('" + path + "')"; };
    const std::string listed = "SELECT * FROM ombrix_steps('t'); SELECT * FROM ombrix_changes('t')";
    const std::string steps = "1|'applied'|0|1|0|'first' 2|'open'|1|1|1|NULL ";
    const auto changes = [](const std::string& r1, const std::string& r2, const std::string& r3) {
        return "1|1|'update'|" + r1 + "|'[0.1,{\"blob\":\"00ff\"}]' 2|2|'update'|" + r2 +
               "|'[-1e+300,null]' 4|NULL|'insert'|NULL|'[1.0,\"say \\\"hi\\\"\\t\xC3\xA9\"]' NULL|3|'delete'|" + r3 +
               "|NULL";
    };
    open();
    EXPECT_EQ(run(create(csv) +
                  "; UPDATE t SET a = 0.1, b = x'00ff' WHERE rowid = 1; SELECT ombrix_commit('t', 'first'); INSERT "
                  "INTO t VALUES (1.0, 'say \"hi\"' || char(9) || '\xC3\xA9'); UPDATE t SET a = -1e300, b = NULL "
                  "WHERE rowid = 2; DELETE FROM t WHERE rowid = 3; SELECT ombrix_keep('t'); " +
                  listed),
              "NULL NULL " + steps + changes("'[1,\"r1\"]'", "'[2,\"r2\"]'", "'[3,\"r3\"]'"));
    close();
    std::ofstream(csv, std::ios::app) << "1,x\n";
    open();
    EXPECT_EQ(run(create(csv)), "error 1: table t: cannot take up its kept change log: file " + csv +
                                    " changed size from 4 to 8 bytes since the log began, so its edits may no longer "
                                    "match the rows" +
                                    accepted("'t'", "t"));
    // Without its table the log holds no inner values; nothing is taken up.
    EXPECT_EQ(run(listed + "; SELECT held FROM ombrix_tables"), steps + changes("NULL", "NULL", "NULL") + " NULL");
    EXPECT_EQ(run("SELECT ombrix_accept_files('u')"), "error 1: table u has no kept change log");
    EXPECT_EQ(run("BEGIN; SELECT ombrix_accept_files('t')"),
              "error 1: cannot accept the files of the kept change log of table t inside a transaction: it changes at "
              "once, outside any transaction");
    EXPECT_EQ(run("ROLLBACK; SELECT ombrix_accept_files('t'); " + create(csv) + "; SELECT rowid, * FROM t"),
              "NULL 1|0.10000000000000001|x'00ff' 2|-1.0e+300|NULL 4|1.0|'say \"hi\"\t\xC3\xA9'");
    EXPECT_EQ(run("SELECT ombrix_accept_files('t')"),
              "error 6: table t: its change log is open in this process; only the files of a kept log that no table "
              "has open can be accepted");
    close();

    // The folder moved: the log moves with the files, unless another log has their path.
    ASSERT_EQ(mkdir((home + "/sub").c_str(), 0700), 0);
    ASSERT_EQ(rename(csv.c_str(), moved.c_str()), 0);
    open();
    EXPECT_EQ(run(create(moved)), "error 1: table t: its kept change log was made over file path " + csv + ", not " +
                                      moved + "; open the table over " + csv + accepted("'t', '" + moved + "'", "t"));
    EXPECT_EQ(run("CREATE VIRTUAL TABLE u USING overlay('" + moved +
                  "'); DELETE FROM u; SELECT ombrix_accept_files('t', '" + home + "/./sub/d.csv')"),
              "error 19: table t: its file path " + moved + " is already used by the change log of table u");
    EXPECT_EQ(run("DROP TABLE u; SELECT ombrix_accept_files('t', '" + home + "/./sub/d.csv'); " + create(moved) +
                  "; SELECT count(*) FROM t"),
              "NULL 3");
    close();

    int hold[2];
    ASSERT_EQ(pipe(hold), 0);
    const pid_t holder = inChild(home, [&] {
        ::close(hold[1]);
        sqlite3* db = connect();
        std::ofstream(home + "/held") << ::run(db, create(moved) + "; SELECT 1");
        char end;
        while (read(hold[0], &end, 1) > 0) {}
    });
    ::close(hold[0]);
    for (int waited = 0; waited < 500 && readFile(home + "/held").empty(); ++waited)
        usleep(10000);
    open();
    const std::string busy = "error 5: table t: its kept change log is in use by another process";
    EXPECT_EQ(run("SELECT * FROM ombrix_changes('t')"), busy);
    EXPECT_EQ(run("SELECT ombrix_accept_files('t')"), busy);
    ::close(hold[1]);
    finish(holder);
}

// A first ombrix_keep on one connection while another, on another thread, lists the log: the listing reads
// the log through the table that holds it, never as one in use by another process.
TEST_F(KeptLogTest, AListingBesideAFirstKeepReadsTheLogHeldHere)
{
    memory_module::setTable("/s", numbered(3));
    open();
    sqlite3* other = connect();
    std::vector<std::string> refused;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    while (std::chrono::steady_clock::now() < end) {
        ASSERT_EQ(run("CREATE VIRTUAL TABLE s USING overlay('/s')"), "");
        std::atomic<bool> kept{false};
        std::thread lister([&] {
            for (bool last = false; !last;) {
                last = kept;
                const std::string listed = ::run(other, "SELECT * FROM ombrix_changes('s')");
                if (!listed.empty())
                    refused.push_back(listed);
            }
        });
        EXPECT_EQ(run("SELECT ombrix_keep('s')"), "NULL");
        kept = true;
        lister.join();
        ASSERT_EQ(run("DROP TABLE s"), "");
    }
    // Two listings of a kept log that no table holds, at once.
    EXPECT_EQ(run("CREATE VIRTUAL TABLE s USING overlay('/s'); DELETE FROM s WHERE rowid = 2; SELECT ombrix_keep('s')"),
              "NULL");
    close();
    open();
    std::thread lister([&] {
        for (int i = 0; i < 200; ++i) {
            const std::string listed = ::run(other, "SELECT change FROM ombrix_changes('s')");
            if (listed != "'delete'")
                refused.push_back(listed);
        }
    });
    std::vector<std::string> alsoRefused;
    for (int i = 0; i < 200; ++i) {
        const std::string listed = run("SELECT change FROM ombrix_changes('s')");
        if (listed != "'delete'")
            alsoRefused.push_back(listed);
    }
    lister.join();
    EXPECT_EQ(refused, std::vector<std::string>());
    EXPECT_EQ(alsoRefused, std::vector<std::string>());
    // A listing under way when a table of this process takes the log up ends: it read the log as kept.
    sqlite3_stmt* listing = nullptr;
    sqlite3_prepare_v2(db, "SELECT * FROM ombrix_changes('s')", -1, &listing, nullptr);
    EXPECT_EQ(sqlite3_step(listing), SQLITE_ROW);
    EXPECT_EQ(::run(other, "CREATE VIRTUAL TABLE s USING overlay('/s'); DELETE FROM s"), "");
    EXPECT_EQ(sqlite3_step(listing), SQLITE_ABORT);
    EXPECT_EQ(std::string(sqlite3_errmsg(db)),
              "table s: its kept change log was taken up by a table of this process while it was listed; list it "
              "again");
    sqlite3_finalize(listing);
    sqlite3_close(other);
}

// A write refused for a taken rowid, the first to need the table's first new rowid since it was kept,
// changes nothing: the host's transaction goes on, and under OR IGNORE the statement succeeds.
TEST_F(KeptLogTest, AWriteRefusedAfterKeepingLeavesTheTransactionOpen)
{
    memory_module::setTable("/k", numbered(3));
    open();
    EXPECT_EQ(run("CREATE VIRTUAL TABLE t USING overlay('/k'); SELECT ombrix_keep('t'); BEGIN; DELETE FROM t WHERE "
                  "rowid = 1; INSERT INTO t(rowid, a) VALUES (3, 5)"),
              "NULL error 19: UNIQUE constraint failed: t.rowid");
    EXPECT_EQ(run("INSERT INTO t(a) VALUES (7); COMMIT; SELECT ombrix_keep('t'); INSERT OR IGNORE INTO t(rowid, a) "
                  "VALUES (2, 5); SELECT rowid, a FROM t"),
              "NULL 2|2 3|3 4|7");
}

// A file changed under a table open on two connections, each read on a thread of its own: statements are
// refused until one of them ends the log, then both read the file without the edits; the kept log waits, and
// once its files are accepted a write takes it up again.
TEST_F(KeptLogTest, StatementsAfterTheFilesChangedEndTheLog)
{
    const std::string csv = home + "/f.csv";
    std::ofstream(csv) << "a,b\n";
    memory_module::setTable(csv, numbered(3));
    const std::string create = "CREATE VIRTUAL TABLE t USING overlay('" + csv + "')";
    open();
    sqlite3* other = connect();
    ASSERT_EQ(run(create + "; DELETE FROM t WHERE rowid = 2; SELECT ombrix_keep('t')") + ::run(other, create), "NULL");
    std::ofstream(csv, std::ios::app) << "1,x\n";
    const std::string refused = "error 1: table t: file " + csv +
                                " changed size from 4 to 8 bytes since its change log began, so its edits may no "
                                "longer match the rows";
    std::vector<std::string> seen[2];
    const auto read = [&](sqlite3* connection, std::vector<std::string>& shown) {
        for (int i = 0; i < 40; ++i) {
            const std::string count = ::run(connection, "SELECT count(*) FROM t");
            shown.push_back(count.compare(0, refused.size(), refused) == 0 ? "refused" : count);
        }
    };
    std::thread reader(read, other, std::ref(seen[1]));
    read(db, seen[0]);
    reader.join();
    for (const std::vector<std::string>& shown : seen) {
        EXPECT_EQ(shown.back(), "3");
        EXPECT_TRUE(std::is_partitioned(shown.begin(), shown.end(), [](const auto& s) { return s == "refused"; }));
    }
    EXPECT_TRUE(seen[0].front() == "refused" || seen[1].front() == "refused");
    EXPECT_EQ(run("SELECT kept, held FROM ombrix_tables; SELECT ombrix_accept_files('t'); DELETE FROM t WHERE "
                  "rowid = 1; SELECT count(*) FROM t"),
              "1|NULL NULL 1");
    // A statement that wrote nothing leaves SQLite's count of changes as it was; a later transaction checks again.
    EXPECT_EQ(run("INSERT OR IGNORE INTO t(rowid, a) VALUES (3, 5); SELECT count(*) FROM t"), "1");
    std::ofstream(csv, std::ios::app) << "2,y\n";
    EXPECT_EQ(run("INSERT INTO t(a) VALUES (7)").substr(0, 40), refused.substr(0, 40));
    sqlite3_close(other);
}

// Paths that name no file are compared as the text they are, numbers or not.
TEST_F(KeptLogTest, PathsThatReadAsNumbersStayApart)
{
    open();
    for (const char* path : {"0123", "123", "1e2", "100", " 7 ", "\t7", "7"}) {
        memory_module::setTable(path, numbered(1));
        const std::string name = "\"t" + std::string(path) + "\"";
        EXPECT_EQ(run("CREATE VIRTUAL TABLE " + name + " USING overlay('" + path + "'); UPDATE " + name +
                      " SET b = 'in " + path + "'"),
                  "");
    }
    EXPECT_EQ(run("SELECT group_concat(file_path, '|') FROM ombrix_tables"), "'\t7| 7 |0123|100|123|1e2|7'");
    EXPECT_EQ(run("SELECT x.b, y.b FROM \"t0123\" AS x, \"t1e2\" AS y"), "'in 0123'|'in 1e2'");
    EXPECT_EQ(history("SELECT count(*), count(DISTINCT uri) FROM ombrixOpenedTables"), "7|7");
}

// Marks planted in the history file cannot make taking a log up crash, hang, run SQL of theirs or touch
// another table's log.
TEST_F(KeptLogTest, PlantedMarksAreRefusedOrTakenUpSafely)
{
    memory_module::setTable("/t", numbered(3));
    memory_module::setTable("/u", numbered(3));
    open();
    ASSERT_EQ(run("CREATE VIRTUAL TABLE u USING overlay('/u'); UPDATE u SET b = 'mine' WHERE rowid = 1"), "");
    const std::string uLog =
        history("SELECT * FROM uinsertedOrUpdatedRows; SELECT * FROM ombrixOpenedTables WHERE name = 'u'");
    ASSERT_EQ(history("INSERT INTO ombrixKeptLogs VALUES ('t', '/t', 'abc');"
                      "INSERT INTO ombrixKeptLogs VALUES ('x''); DROP TABLE uhistory; --', '/u', NULL)"),
              "");
    // A mark without its log, and one whose name would end a string literal.
    EXPECT_EQ(run("CREATE VIRTUAL TABLE t USING overlay('/t')"),
              "error 11: table t: its kept change log is incomplete in the history database; to drop the kept log "
              "and its edits, run SELECT ombrix_discard('t')");
    EXPECT_EQ(run("SELECT ombrix_discard('x''); DROP TABLE uhistory; --')"), "NULL");
    EXPECT_EQ(run("SELECT ombrix_discard('u')"),
              "error 6: table u: its change log is open in this process; only a kept log that no table has open can "
              "be discarded (DROP TABLE drops an open one)");
    // A log with an absurd position, a first new rowid that is no number and a file list of paths that
    // were never there: the list differs from the files (none), the rest is taken up as it is.
    ASSERT_EQ(history("CREATE TABLE tinsertedOrUpdatedRows (ID integer PRIMARY KEY NOT NULL, newValue BLOB NOT "
                      "NULL); CREATE TABLE tdeletedRows (ID integer PRIMARY KEY NOT NULL); CREATE TABLE thistory "
                      "(actionTag INTEGER, oldRowID INTEGER, newRowID INTEGER, oldValue BLOB, newValue BLOB, "
                      "historyID INTEGER NOT NULL); INSERT INTO ombrixOpenedTables VALUES ('/t', 't', "
                      "1099511627776); INSERT INTO thistory VALUES (3, 1, 1, x'00', x'0102', 9223372036854775807)"),
              "");
    EXPECT_EQ(run("CREATE VIRTUAL TABLE t USING overlay('/t')"),
              "error 11: table t: its kept change log is incomplete in the history database; to drop the kept log "
              "and its edits, run SELECT ombrix_discard('t')");
    ASSERT_EQ(history("UPDATE ombrixOpenedTables SET currentHistoryID = 2147483647 WHERE name = 't';"
                      "INSERT INTO ombrixKeptFiles VALUES ('t', '/etc/passwd', 1, 1)"),
              "");
    EXPECT_EQ(run("CREATE VIRTUAL TABLE t USING overlay('/t')"),
              "error 1: table t: cannot take up its kept change log: file /etc/passwd is gone since the log began, "
              "so its edits may no longer match the rows" +
                  accepted("'t'", "t"));
    ASSERT_EQ(history("DELETE FROM ombrixKeptFiles"), "");
    EXPECT_EQ(run("CREATE VIRTUAL TABLE t USING overlay('/t'); SELECT ombrix_undo('t', 5); SELECT ombrix_redo('t', "
                  "5); SELECT count(*) FROM t; UPDATE t SET b = 'later' WHERE rowid = 3; SELECT b FROM t WHERE rowid "
                  "= 3"),
              "NULL NULL 3 'later'");
    EXPECT_EQ(history("SELECT * FROM uinsertedOrUpdatedRows; SELECT * FROM ombrixOpenedTables WHERE name = 'u'"), uLog);
}

// ombrix_discard drops a kept log at once, in a history transaction of its own: refused inside a transaction
// of its connection, whatever came before it, and after the busy timeout of its connection (none here) while
// another connection's transaction holds the file.
TEST_F(KeptLogTest, DiscardIsATransactionOfItsOwn)
{
    memory_module::setTable("/k", numbered(2));
    memory_module::setTable("/w", numbered(2));
    open();
    ASSERT_EQ(run("CREATE VIRTUAL TABLE k USING overlay('/k'); UPDATE k SET b = 'e' WHERE rowid = 1; SELECT "
                  "ombrix_keep('k')"),
              "NULL");
    close();
    open();
    sqlite3* other = connect();
    const std::string refused = "error 1: cannot discard the kept change log of table k inside a transaction: it "
                                "goes at once, outside any transaction";
    EXPECT_EQ(run("CREATE VIRTUAL TABLE w USING overlay('/w'); BEGIN; UPDATE w SET b = 'w' WHERE rowid = 1"), "");
    EXPECT_EQ(::run(other, "SELECT ombrix_discard('k')"),
              "error 5: the history database " + home +
                  "/transactions.sqlite is in a transaction of another connection");
    EXPECT_EQ(run("SELECT ombrix_discard('k')"), refused);
    EXPECT_EQ(run("ROLLBACK; BEGIN; SELECT ombrix_discard('k')"), refused);
    EXPECT_EQ(run("ROLLBACK; SELECT name FROM ombrix_tables WHERE kept"), "'k'");
    EXPECT_EQ(::run(other, "SELECT ombrix_discard('k'); SELECT count(*) FROM ombrix_tables WHERE kept"), "NULL 0");
    sqlite3_close(other);
}

} // namespace

namespace {

// The mark goes where the log goes: along with RENAME, away with DROP TABLE; keeping it back ends the log
// with its table again.
TEST_F(KeptLogTest, TheMarkFollowsRenameAndDrop)
{
    memory_module::setTable("/u", numbered(2));
    open(home + "/project.db");
    EXPECT_EQ(run("CREATE VIRTUAL TABLE u USING overlay('/u'); UPDATE u SET b = 'mine' WHERE rowid = 1; SELECT "
                  "ombrix_keep('u'); ALTER TABLE u RENAME TO w"),
              "NULL");
    close();
    // A process that ends its last log sweeps up what dead processes left, but not a kept log.
    memory_module::setTable("/x", numbered(1));
    open();
    EXPECT_EQ(run("CREATE VIRTUAL TABLE x USING overlay('/x'); DELETE FROM x"), "");
    close();
    open(home + "/project.db");
    EXPECT_EQ(run("SELECT name, kept, held FROM ombrix_tables; SELECT ombrix_undo('w'); SELECT b FROM w"),
              "'w'|1|NULL NULL 'r1' 'r2'");
    EXPECT_EQ(run("SELECT ombrix_keep('w', 0); SELECT kept FROM ombrix_tables"), "NULL 0");
    close();
    open(home + "/project.db");
    EXPECT_EQ(run("SELECT b FROM w; SELECT ombrix_keep('w'); UPDATE w SET b = 'again' WHERE rowid = 2"),
              "'r1' 'r2' NULL");
    close();
    // Taken up by a table whose name differs in case only, the log's rows in the file take that name.
    open();
    EXPECT_EQ(run("CREATE VIRTUAL TABLE W USING overlay('/u'); SELECT ombrix_commit('W'); SELECT b FROM W"),
              "NULL 'r1' 'again'");
    EXPECT_EQ(history("SELECT * FROM ombrixOpenedTables; SELECT name FROM ombrixKeptLogs"), "'/u'|'W'|2 'W'");
    close();
    open(home + "/project.db");
    EXPECT_EQ(run("SELECT b FROM w; DROP TABLE w; SELECT count(*) FROM ombrix_tables"), "'r1' 'again' 0");
    EXPECT_EQ(history("SELECT count(*) FROM ombrixKeptLogs; SELECT count(*) FROM sqlite_master WHERE name LIKE 'w%'"),
              "0 0");
}

} // namespace

namespace {

// Which files the check counts, as the table opened them: a path that names a file counts that file and its
// format's sidecars, a stem the files that share it but no database, new or not; paths are bytes, and a
// table that reconnects over its log is checked as one that takes it up.
TEST_F(KeptLogTest, TheFilesCheckedAreTheDataAsTheTableOpenedIt)
{
    const auto write = [](const std::string& path, const std::string& text) { std::ofstream(path) << text; };
    // Keeps an edit of t over path, with between run after CREATE and after before the next connection
    // takes t up; then discards it.
    const auto resume = [&](const std::string& path, const std::function<void()>& between,
                            const std::function<void()>& after) {
        memory_module::setTable(path, numbered(2));
        open();
        run("CREATE VIRTUAL TABLE t USING overlay('" + path + "')");
        between();
        run("UPDATE t SET b = 'kept' WHERE rowid = 1; SELECT ombrix_keep('t')");
        close();
        after();
        open();
        const std::string shown = run("CREATE VIRTUAL TABLE t USING overlay('" + path + "'); SELECT b FROM t");
        run("DROP TABLE t");
        run("SELECT ombrix_discard('t')");
        close();
        return shown;
    };
    const auto refused = [](const std::string& difference) {
        return "error 1: table t: cannot take up its kept change log: file " + difference +
               " since the log began, so its edits may no longer match the rows" + accepted("'t'", "t");
    };
    const auto none = [] {};
    write(home + "/a.csv", "a,b\n");
    EXPECT_EQ(resume(home + "/a.csv", none,
                     [&] {
                         for (const char* beside : {"/a.sqlite", "/a.csv.bak", "/a.txt"})
                             write(home + beside, "");
                     }),
              "'kept' 'r2'");
    for (const char* file : {"/roads.shp", "/roads.dbf", "/roads.prj"})
        write(home + file, "1");
    EXPECT_EQ(resume(home + "/roads.shp", none, [&] { write(home + "/roads.prj", "22"); }),
              refused(home + "/roads.prj changed size from 1 to 2 bytes"));
    // Names sorted alike in the file and on disk, whatever their code units; a new database left out.
    for (const char* file : {"/s.csv", "/s.\xF0\x9F\x98\x80", "/s.\xEF\xBC\x81"})
        write(home + file, "1");
    EXPECT_EQ(resume(home + "/s", none, none), "'kept' 'r2'");
    write(home + "/u.csv", "1");
    EXPECT_EQ(resume(home + "/u", none, [&] { write(home + "/u.db", ""); }), "'kept' 'r2'");
    // A path that is no UTF-8, stamped and stored as its bytes.
    write(home + "/b\xFF.csv", "1");
    EXPECT_EQ(resume(home + "/b\xFF.csv", none, [&] { write(home + "/b\xFF.csv", "22"); }),
              refused(home + "/b\xEF\xBF\xBD.csv changed size from 1 to 2 bytes"));
    // A file replaced between CREATE and the first write: the table reads the one it opened and is not edited.
    write(home + "/r.csv", "1");
    memory_module::setTable(home + "/r.csv", numbered(2));
    open();
    run("CREATE VIRTUAL TABLE t USING overlay('" + home + "/r.csv')");
    write(home + "/new.csv", "22");
    rename((home + "/new.csv").c_str(), (home + "/r.csv").c_str());
    EXPECT_EQ(run("UPDATE t SET b = 'x' WHERE rowid = 1"),
              "error 1: table t: file " + home +
                  "/r.csv changed size from 1 to 2 bytes since the table opened it; the table reads its files as it "
                  "opened them and cannot be edited: create it again to edit them as they are");
    EXPECT_EQ(run("SELECT b FROM t; SELECT count(*) FROM ombrix_changes('t')"), "'r1' 'r2' 0");
    close();

    // A kept table in a database file, reconnected after its file changed under it.
    write(home + "/c.csv", "1");
    memory_module::setTable(home + "/c.csv", numbered(2));
    open(home + "/p.db");
    run("CREATE VIRTUAL TABLE t USING overlay('" + home +
        "/c.csv'); UPDATE t SET b = 'kept' WHERE rowid = 1; "
        "SELECT ombrix_keep('t')");
    write(home + "/c.csv", "22");
    sqlite3* other = nullptr;
    sqlite3_open((home + "/p.db").c_str(), &other);
    EXPECT_EQ(::run(other, "CREATE TABLE other(x)"), "");
    sqlite3_close(other);
    EXPECT_EQ(run("SELECT b FROM t WHERE rowid = 1"), refused(home + "/c.csv changed size from 1 to 2 bytes"));
    EXPECT_EQ(run("SELECT ombrix_discard('t'); SELECT b FROM t WHERE rowid = 1"), "NULL 'r1'");
}

// Table names that read as numbers are names: "+007" keeps its log across connections, "1" and "1E+0" (the number 1
// too) have logs of their own, and a registry row that an earlier version stored as a number still finds its log.
TEST_F(KeptLogTest, NamesThatReadAsNumbersKeepTheirOwnLogs)
{
    const std::string create = "CREATE VIRTUAL TABLE \"+007\" USING overlay('/a'); CREATE VIRTUAL TABLE \"1\" USING "
                               "overlay('/b'); CREATE VIRTUAL TABLE \"1E+0\" USING overlay('/c'); CREATE VIRTUAL "
                               "TABLE \"1.\" USING overlay('/d');";
    for (const char* path : {"/a", "/b", "/c", "/d"})
        memory_module::setTable(path, numbered(2));
    open();
    EXPECT_EQ(run(create +
                  "UPDATE \"+007\" SET b = 'x' WHERE rowid = 1; UPDATE \"1\" SET b = 'y'; UPDATE \"1\" SET "
                  "b = 'z'; UPDATE \"1E+0\" SET b = 'w'; SELECT ombrix_undo('1E+0'); SELECT ombrix_keep('+007'); "
                  "SELECT ombrix_keep('1'); SELECT ombrix_keep('1E+0'); UPDATE \"1.\" SET b = 'v'; SELECT "
                  "ombrix_keep('1.')"),
              "NULL NULL NULL NULL NULL");
    close();
    EXPECT_EQ(history("UPDATE ombrixOpenedTables SET name = 1 WHERE CAST(name AS TEXT) = '1'"), "");
    open();
    EXPECT_EQ(run(create + "SELECT name, position FROM ombrix_tables; SELECT x.b, y.b, z.b FROM \"+007\" x, \"1\" y, "
                           "\"1E+0\" z WHERE x.rowid = 1 AND y.rowid = 1 AND z.rowid = 1"),
              "'+007'|1 '1'|1 '1.'|1 '1E+0'|0 'x'|'z'|'r1'");
}

// A scan shares one read snapshot of the history across lookups; a write of this process, while the scan
// goes on, starts from what another connection wrote meanwhile, not from the scan's old snapshot.
TEST_F(KeptLogTest, AWriteDuringAScanSeesWhatAnotherProcessWrote)
{
    memory_module::setTable("/t", numbered(12));
    memory_module::setTable("/u", numbered(2));
    open();
    sqlite3* other = connect();
    ASSERT_EQ(run("CREATE VIRTUAL TABLE t USING overlay('/t'); UPDATE t SET b = 'e' WHERE rowid < 4") +
                  ::run(other, "CREATE VIRTUAL TABLE u USING overlay('/u')"),
              "");
    sqlite3_stmt* scan = nullptr;
    sqlite3_prepare_v2(db, "SELECT b FROM t", -1, &scan, nullptr);
    ASSERT_EQ(sqlite3_step(scan), SQLITE_ROW);
    EXPECT_EQ(history("CREATE TABLE elsewhere(x); INSERT INTO elsewhere VALUES (1)"), "");
    EXPECT_EQ(::run(other, "UPDATE u SET b = 'u' WHERE rowid = 1; SELECT b FROM u"), "'u' 'r2'");
    int rows = 1;
    while (sqlite3_step(scan) == SQLITE_ROW)
        ++rows;
    EXPECT_EQ(sqlite3_finalize(scan), SQLITE_OK);
    EXPECT_EQ(rows, 12);
    sqlite3_close(other);
}

} // namespace
