// csv_save against Python's csv writer: both in one Debian Python process that
// loaded the extension, writing the same edited table on commands from here.
#include "bench_support.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace bench {
namespace {

const char* const python = "/usr/bin/python3";

// Makes a 200,000-row file of the bulk file's shape, edits every tenth row,
// prints the rows edited, then answers each line "save" (csv_save) or "python"
// (csv.writer over SELECT *) with the seconds it took and the rows written.
const char* const saverScript = R"py(import csv, os, sqlite3, sys, time
extension, home = sys.argv[1:3]
os.chdir(home)
os.environ["HOME"] = home
with open("rows.csv", "w") as out:
    out.write("id,name,v,note\n")
    out.writelines(f"{i},name{i % 1000},{i % 10000 * 0.25:.2f},note {i} of bulk edit\n" for i in range(1, 200001))
db = sqlite3.connect(":memory:", isolation_level=None)
db.enable_load_extension(True)
db.load_extension(extension)
db.execute("CREATE VIRTUAL TABLE t USING editable_csv('rows.csv')")
db.execute("UPDATE t SET note = upper(note) WHERE rowid % 10 = 0")
print(db.total_changes, flush=True)
for command in sys.stdin:
    start = time.perf_counter()
    if command == "save\n":
        rows = db.execute("SELECT csv_save('t', 'saved.csv')").fetchone()[0]
        seconds = time.perf_counter() - start
    else:
        with open("written.csv", "w", newline="") as out:
            cursor = db.execute("SELECT * FROM t")
            writer = csv.writer(out)
            writer.writerow([column[0] for column in cursor.description])
            writer.writerows(cursor)
        seconds = time.perf_counter() - start
        rows = sum(1 for line in open("written.csv")) - 1
    print(seconds, rows, flush=True)
)py";

// A child process that takes lines on its stdin and answers each with one.
class Child {
public:
    explicit Child(const std::vector<std::string>& arguments)
    {
        if (access(arguments.front().c_str(), X_OK) != 0)
            throw std::runtime_error(arguments.front() + " is missing");
        std::vector<char*> argv;
        for (const std::string& argument : arguments)
            argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0)
            throw std::runtime_error("pipe: " + std::string(std::strerror(errno)));
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        for (int end : {in[0], in[1], out[0], out[1]})
            posix_spawn_file_actions_addclose(&actions, end);
        const int rc = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        toChild = in[1];
        fromChild = fdopen(out[0], "r");
        if (rc != 0) {
            pid = -1;
            throw std::runtime_error("cannot start " + arguments.front() + ": " + std::strerror(rc));
        }
    }

    // Its stdin closed, the child ends.
    ~Child()
    {
        close(toChild);
        if (fromChild)
            std::fclose(fromChild);
        int status = 0;
        while (pid > 0 && waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    }

    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // The next line the child writes, after line (none when empty) is sent.
    std::string ask(const std::string& line = "")
    {
        const std::string sent = line.empty() ? "" : line + "\n";
        char reply[256];
        if (write(toChild, sent.data(), sent.size()) != static_cast<ssize_t>(sent.size()) || !fromChild ||
            !std::fgets(reply, sizeof reply, fromChild))
            throw std::runtime_error("the child process ended without answering");
        return reply;
    }

private:
    pid_t pid = -1;
    int toChild = -1;
    FILE* fromChild = nullptr;
};

// csv_save of a 200,000-row editable_csv table with 20,000 rows edited,
// against Python's csv writer writing SELECT * of the same table.
void BM_CsvSaveAgainstPython(benchmark::State& state)
{
    runComparison(state, [] {
        const std::string home = homePath("save");
        std::filesystem::create_directories(home);
        Child child({python, "-c", saverScript, QUILLMERE_EXTENSION_FILE, home});
        if (std::stol(child.ask()) != 20000)
            throw std::runtime_error("the update edited other than 20,000 rows");
        auto timed = [&child](const char* command) {
            const std::string reply = child.ask(command);
            std::size_t end = 0;
            const double seconds = std::stod(reply, &end);
            if (std::stol(reply.substr(end)) != 200000)
                throw std::runtime_error(std::string(command) + " wrote other than 200,000 rows");
            return seconds;
        };
        return compare(
            Budget{4.0, 3, 20}, [&](long) { return timed("save"); }, Budget{4.0, 3, 20},
            [&](long) { return timed("python"); });
    });
}

} // namespace

void registerSaveBenchmarks()
{
    addBenchmark("csv/save_2e5_rows_2e4_edited_vs_python", BM_CsvSaveAgainstPython);
}

} // namespace bench
