// The first open of a history file that a dead process left a million-row log
// in, and the child roles of the benchmark binary that leave and open it.
#include "bulk_csv.h"

#include "routines.h"

#include "quillmere.h"

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

// The library keeps its history connection for the life of a process, so each
// open is a child process of this binary, in a home of its own.

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
        exec(db, "UPDATE fresh SET c1 = c1 + 1 WHERE rowid = 1");
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

void registerFirstOpenBenchmarks()
{
    addBenchmark("csv/first_open_after_left_log_1e6", BM_FirstOpenAfterLeftLog);
}

} // namespace bench
