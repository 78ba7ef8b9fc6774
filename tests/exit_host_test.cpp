// Runs the exit host as separate processes, each with HOME at a fresh folder,
// and checks that every way of ending exits cleanly and what the history file
// holds afterwards.
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;

namespace {

using Lines = std::vector<std::string>;

// A fresh folder, removed with everything in it at the end.
struct TempDir {
    TempDir()
    {
        std::string pattern = (fs::temp_directory_path() / "quillmere-exit-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp failed");
        path = pattern;
    }
    ~TempDir()
    {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
    fs::path path;
};

std::string readFile(const fs::path& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

struct Outcome {
    int exitCode = -1; // -1 when ended by a signal
    int signal = 0;
    std::string out;
    std::string err;

    // The values of the output lines "label: values", in order.
    Lines rows(const std::string& label) const
    {
        Lines found;
        std::istringstream lines(out);
        const std::string prefix = label + ": ";
        for (std::string line; std::getline(lines, line);) {
            if (line.compare(0, prefix.size(), prefix) == 0)
                found.push_back(line.substr(prefix.size()));
        }
        return found;
    }
};

// Runs program with args and HOME=home, collecting its output.
Outcome runHost(const std::string& program, const fs::path& home, const Lines& args)
{
    TempDir scratch;
    const std::string outPath = (scratch.path / "out").string();
    const std::string errPath = (scratch.path / "err").string();

    Lines environment;
    for (char** entry = environ; *entry; ++entry) {
        if (std::strncmp(*entry, "HOME=", 5) != 0)
            environment.push_back(*entry);
    }
    environment.push_back("HOME=" + home.string());
    Lines arguments{program};
    arguments.insert(arguments.end(), args.begin(), args.end());
    auto pointers = [](Lines& strings) {
        std::vector<char*> list;
        for (std::string& s : strings)
            list.push_back(s.data());
        list.push_back(nullptr);
        return list;
    };
    std::vector<char*> envp = pointers(environment);
    std::vector<char*> argv = pointers(arguments);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);

    Outcome outcome;
    if (spawned != 0) {
        ADD_FAILURE() << "cannot start " << program << ": " << std::strerror(spawned);
        return outcome;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFEXITED(status))
        outcome.exitCode = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        outcome.signal = WTERMSIG(status);
    outcome.out = readFile(outPath);
    outcome.err = readFile(errPath);
    return outcome;
}

Outcome runExitHost(const fs::path& home, const Lines& args)
{
    return runHost(EXIT_HOST_PATH, home, args);
}

#define EXPECT_CLEAN_EXIT(outcome)                                                                    \
    do {                                                                                              \
        EXPECT_EQ((outcome).signal, 0) << "killed by signal\n" << (outcome).err;                      \
        EXPECT_EQ((outcome).exitCode, 0) << (outcome).err;                                            \
    } while (0)

fs::path historyPath(const fs::path& home)
{
    return home / "transactions.sqlite";
}

// A separate read-only look at the history file a host left in home.
class HistoryFile {
public:
    explicit HistoryFile(const fs::path& home)
    {
        if (sqlite3_open_v2(historyPath(home).c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
            ADD_FAILURE() << "cannot open " << historyPath(home) << ": " << sqlite3_errmsg(db);
    }
    ~HistoryFile() { sqlite3_close(db); }
    HistoryFile(const HistoryFile&) = delete;
    HistoryFile& operator=(const HistoryFile&) = delete;

    // Each result row's columns as text joined by "|".
    Lines query(const std::string& sql)
    {
        Lines rows;
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
            ADD_FAILURE() << sqlite3_errmsg(db) << " in " << sql;
            return rows;
        }
        while (sqlite3_step(statement) == SQLITE_ROW) {
            std::string row;
            for (int i = 0; i < sqlite3_column_count(statement); ++i) {
                auto text = reinterpret_cast<const char*>(sqlite3_column_text(statement, i));
                row += (i ? "|" : "") + std::string(text ? text : "NULL");
            }
            rows.push_back(row);
        }
        sqlite3_finalize(statement);
        return rows;
    }

    Lines tables() { return query("SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name"); }

private:
    sqlite3* db = nullptr;
};

// The log tables of one overlay table, in sqlite_master name order.
Lines logTables(const std::string& table)
{
    return {table + "deletedRows", table + "history", table + "insertedOrUpdatedRows"};
}

const Lines baseRows{"1|High Street|primary", "2|Mill Lane|minor", "3|Quarry Road|track"};
const Lines writtenRows{"1|High Street|pedestrian", "2|Mill Lane|closed", "4|Ring Road|primary"};
const Lines reopenedRows{"1|High Street|primary", "2|Mill Lane|minor", "3|Quarry Road|track", "4|Bypass|primary"};

// A later process on the same home names a table as an earlier one did (or
// uses its file) and must see nothing of what the earlier one wrote.
void expectFreshLogOnReopen(const fs::path& home, const std::string& table)
{
    Outcome reopened = runExitHost(home, {"reopen", table});
    EXPECT_CLEAN_EXIT(reopened);
    EXPECT_EQ(reopened.rows("before"), baseRows);
    EXPECT_EQ(reopened.rows("after"), reopenedRows);

    // The second process left its table open: its log holds its one write only.
    HistoryFile history(home);
    EXPECT_EQ(history.tables(), logTables(table));
    EXPECT_EQ(history.query("SELECT ID FROM \"" + table + "insertedOrUpdatedRows\""), Lines{"4"});
    EXPECT_EQ(history.query("SELECT count(*) FROM \"" + table + "deletedRows\""), Lines{"0"});
    EXPECT_EQ(history.query("SELECT actionTag, newRowID FROM \"" + table + "history\""), Lines{"2|4"});
}

struct LeftOpen {
    const char* scenario;
    bool logsCertainlyRemain; // no owner teardown can have run before the exit
};

void PrintTo(const LeftOpen& param, std::ostream* out)
{
    *out << param.scenario;
}

class TablesOpenAtExit : public testing::TestWithParam<LeftOpen> {};

TEST_P(TablesOpenAtExit, RegistryIsDroppedAndLeftoversDoNotReachTheNextProcess)
{
    TempDir home;
    Outcome first = runExitHost(home.path, {GetParam().scenario});
    EXPECT_CLEAN_EXIT(first);
    EXPECT_EQ(first.rows("after"), writtenRows);
    {
        HistoryFile history(home.path);
        const Lines tables = history.tables();
        if (GetParam().logsCertainlyRemain || !tables.empty()) {
            ASSERT_EQ(tables, logTables("roads"));
            EXPECT_EQ(history.query("SELECT ID FROM roadsdeletedRows"), Lines{"3"});
            EXPECT_EQ(history.query("SELECT historyID, count(*) FROM roadshistory GROUP BY historyID"),
                      (Lines{"1|3", "2|1"}));
        }
    }
    expectFreshLogOnReopen(home.path, "roads");
}

INSTANTIATE_TEST_SUITE_P(HostExit, TablesOpenAtExit,
                         testing::Values(LeftOpen{"open-at-exit", true}, LeftOpen{"closed-by-global", false}),
                         [](const testing::TestParamInfo<LeftOpen>& info) {
                             return info.param.logsCertainlyRemain ? "ConnectionNeverClosed"
                                                                   : "ConnectionClosedByGlobalAfterMain";
                         });

TEST(HostExit, KilledHostLeavesRegistryRowsThatAnotherNameOnTheSameFileClears)
{
    TempDir home;
    Outcome killed = runExitHost(home.path, {"killed"});
    EXPECT_EQ(killed.signal, SIGKILL) << killed.err;
    {
        HistoryFile history(home.path);
        Lines expected = logTables("roads");
        expected.push_back("ombrixOpenedTables");
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(history.tables(), expected);
        EXPECT_EQ(history.query("SELECT uri, name, currentHistoryID FROM ombrixOpenedTables"),
                  Lines{"/data/roads.tab|roads|2"});
    }
    // The same file under another name: the dead registry row must not block
    // it, and the dead table's log goes with the row.
    expectFreshLogOnReopen(home.path, "streets");
}

// Everything the library made in the file is gone when the process ends.
class NothingLeftAtExit : public testing::TestWithParam<const char*> {};

TEST_P(NothingLeftAtExit, HistoryFileHoldsNoTables)
{
    TempDir home;
    Outcome outcome = runExitHost(home.path, {GetParam()});
    EXPECT_CLEAN_EXIT(outcome);
    ASSERT_TRUE(fs::exists(historyPath(home.path)));
    EXPECT_EQ(HistoryFile(home.path).tables(), Lines{});
}

INSTANTIATE_TEST_SUITE_P(HostExit, NothingLeftAtExit,
                         testing::Values("torn-down", "closed-by-late-static", "functions-only"),
                         [](const testing::TestParamInfo<const char*>& info) {
                             std::string name;
                             for (const char* c = info.param; *c; ++c)
                                 name += *c == '-' ? '_' : *c;
                             return name;
                         });

TEST(HostExit, ReadsAloneNeverCreateTheHistoryFile)
{
    TempDir home;
    Outcome outcome = runExitHost(home.path, {"reads-only"});
    EXPECT_CLEAN_EXIT(outcome);
    EXPECT_EQ(outcome.rows("row"), baseRows);
    EXPECT_FALSE(fs::exists(historyPath(home.path)));
    EXPECT_TRUE(fs::is_empty(home.path));
}

TEST(HostExit, LibraryLoadedAndUnloadedTwiceBeforeExit)
{
    TempDir home;
    Outcome outcome = runHost(EXIT_HOST_DLOPEN_PATH, home.path, {"dlopen-cycles", "2"});
    EXPECT_CLEAN_EXIT(outcome);
    const Lines undone{"1|High Street|primary", "2|Mill Lane|closed", "4|Ring Road|primary"};
    EXPECT_EQ(outcome.rows("cycle1"), undone);
    EXPECT_EQ(outcome.rows("cycle2"), undone);
    // Otherwise the store would only be destroyed at exit, as in the linked host.
    EXPECT_EQ(outcome.rows("unloaded1"), Lines{"yes"});
    EXPECT_EQ(outcome.rows("unloaded2"), Lines{"yes"});
    EXPECT_EQ(HistoryFile(home.path).tables(), Lines{});
}

} // namespace

int main(int argc, char** argv)
{
    // This process never opens the history file itself, but keeps away from
    // the real home all the same.
    TempDir home;
    setenv("HOME", home.path.c_str(), 1);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
