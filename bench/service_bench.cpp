// A small threaded web service over the 200,000-row survey export: eight
// threads, a connection each, serving reads by key, edits and undos through
// editable_csv, against the same service over a native WAL table.
#include "bulk_csv.h"

#include "quillmere.h"

#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace bench {
namespace {

constexpr int serviceThreads = 8;
// How long the threads serve requests in one repetition.
constexpr std::chrono::milliseconds repetition{250};
// As long as a service lets a request wait for a lock (Python's default).
constexpr int busyTimeoutMs = 5000;

enum Kind { Read, Edit, Undo, kindCount };
const char* const kindNames[kindCount] = {"read", "edit", "undo"};
// The columns edits set, in turn, in their order in SurveyRow.
const char* const editedColumns[] = {"name", "v", "note"};

struct Request {
    Kind kind;
    sqlite3_int64 id;
    int column;
    long serial;
};

// One thread's requests: 70% reads by key, 25% edits, 5% undos, of ids drawn
// evenly from the file's. Seeded by the thread's number, so that both sides
// serve the same requests.
class Requests {
public:
    explicit Requests(unsigned seed) : random(seed) {}

    Request next()
    {
        const int roll = percent(random);
        const Kind kind = roll < 70 ? Read : roll < 95 ? Edit : Undo;
        const Request request{kind, surveyFirstId + row(random), static_cast<int>(serial % 3), serial};
        ++serial;
        return request;
    }

private:
    std::mt19937_64 random;
    std::uniform_int_distribution<int> percent{0, 99};
    std::uniform_int_distribution<sqlite3_int64> row{0, surveyRows - 1};
    long serial = 0;
};

// What threads measured: each request's time by kind, and the time they spent
// on a core and how often they slept (voluntary context switches).
struct Tally {
    std::vector<double> latencyUs[kindCount];
    double cpuSeconds = 0;
    double sleeps = 0;
    double requests = 0;

    void add(const Tally& other)
    {
        for (int kind = 0; kind < kindCount; ++kind)
            latencyUs[kind].insert(latencyUs[kind].end(), other.latencyUs[kind].begin(), other.latencyUs[kind].end());
        cpuSeconds += other.cpuSeconds;
        sleeps += other.sleeps;
        requests += other.requests;
    }
};

// The calling thread's CPU seconds and voluntary context switches so far.
std::pair<double, double> threadUsage()
{
    timespec cpu{};
    rusage usage{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
    getrusage(RUSAGE_THREAD, &usage);
    return {static_cast<double>(cpu.tv_sec) + static_cast<double>(cpu.tv_nsec) * 1e-9,
            static_cast<double>(usage.ru_nvcsw)};
}

double percentile(std::vector<double> values, double share)
{
    if (values.empty())
        return 0;
    const auto at = values.begin() + static_cast<long>(share * static_cast<double>(values.size() - 1));
    std::nth_element(values.begin(), at, values.end());
    return *at;
}

struct CloseConnection {
    void operator()(sqlite3* db) const { sqlite3_close(db); }
};
using Connection = std::unique_ptr<sqlite3, CloseConnection>;

Connection openConnection(const std::string& path)
{
    sqlite3* db = nullptr;
    const int rc = sqlite3_open(path.c_str(), &db);
    Connection connection(db);
    if (rc != SQLITE_OK || sqlite3_busy_timeout(db, busyTimeoutMs) != SQLITE_OK)
        fail(db, "open " + path);
    return connection;
}

std::string editSql(int column)
{
    return "UPDATE t SET " + std::string(editedColumns[column]) + " = ? WHERE id = ?";
}

// One thread of the service with its connection. The native table's undo
// writes back the file's value of the cell its newest edit set, kept on a
// stack of its own; with the stack empty it does nothing, and still counts.
class Worker {
public:
    Worker(Connection opened, bool native, unsigned seed)
        : connection(std::move(opened)),
          native(native),
          requests(seed),
          lookup(connection.get(), "SELECT * FROM t WHERE id = ?"),
          edits{{connection.get(), editSql(0)}, {connection.get(), editSql(1)}, {connection.get(), editSql(2)}}
    {
        if (!native)
            undoCall.emplace(connection.get(), "SELECT ombrix_undo('t')");
    }

    // Serves requests on the calling thread into tally, a new one as long as
    // the deadline has not passed.
    void serve(Clock::time_point deadline, Tally& tally)
    {
        const auto before = threadUsage();
        while (Clock::now() < deadline) {
            const Request request = requests.next();
            const auto start = Clock::now();
            if (request.kind == Read)
                read(request.id);
            else if (request.kind == Edit)
                edit(request);
            else
                undo();
            tally.latencyUs[request.kind].push_back(secondsSince(start) * 1e6);
            ++tally.requests;
        }
        const auto after = threadUsage();
        tally.cpuSeconds += after.first - before.first;
        tally.sleeps += after.second - before.second;
    }

private:
    void read(sqlite3_int64 id)
    {
        std::uint64_t sum = 0;
        if (lookup.bind(1, id).consume(sum) != 1)
            throw std::runtime_error("a read by key found other than one row");
    }

    void edit(const Request& request)
    {
        const auto serial = std::to_string(request.serial);
        set(request.column, request.id, {"edited " + serial, static_cast<double>(request.serial) * 0.25, serial});
        if (native)
            undoStack.emplace_back(request.id, request.column);
    }

    void undo()
    {
        if (!native) {
            undoCall->run();
        } else if (!undoStack.empty()) {
            const auto [id, column] = undoStack.back();
            undoStack.pop_back();
            set(column, id, surveyRow(id));
        }
    }

    void set(int column, sqlite3_int64 id, const SurveyRow& values)
    {
        Statement& update = edits[column];
        if (column == 1)
            sqlite3_bind_double(update.raw(), 1, values.v);
        else
            update.bind(1, column == 0 ? values.name : values.note);
        update.bind(2, id).run();
        if (sqlite3_changes(connection.get()) != 1)
            throw std::runtime_error("an edit changed other than one row");
    }

    Connection connection;
    const bool native;
    Requests requests;
    Statement lookup;
    Statement edits[3];
    std::optional<Statement> undoCall;
    std::vector<std::pair<sqlite3_int64, int>> undoStack;
};

// One side of the comparison: a worker per thread, and what they measured.
class Service {
public:
    Service(std::vector<Connection> connections, bool native)
    {
        for (size_t i = 0; i < connections.size(); ++i)
            workers.push_back(std::make_unique<Worker>(std::move(connections[i]), native, 17 + unsigned(i)));
    }

    // One repetition: every worker serves requests on a thread of its own
    // until the repetition's time is up. Returns the seconds from the first
    // thread's start to the last one's end.
    double run()
    {
        std::vector<Tally> tallies(workers.size());
        std::vector<std::string> failures(workers.size());
        std::vector<std::thread> threads;
        const auto start = Clock::now();
        const auto deadline = start + repetition;
        try {
            for (size_t i = 0; i < workers.size(); ++i)
                threads.emplace_back([&, i] {
                    try {
                        workers[i]->serve(deadline, tallies[i]);
                    } catch (const std::exception& error) {
                        failures[i] = error.what();
                    }
                });
        } catch (...) {
            for (std::thread& thread : threads)
                thread.join();
            throw;
        }
        for (std::thread& thread : threads)
            thread.join();
        const double seconds = secondsSince(start);
        for (const std::string& failure : failures)
            if (!failure.empty())
                throw std::runtime_error(failure);
        for (const Tally& tally : tallies)
            total.add(tally);
        wallSeconds += seconds;
        return seconds;
    }

    // The service's time per request: its threads' time together, over the
    // requests they served.
    double secondsPerRequest() const { return total.requests ? wallSeconds / total.requests : 0; }

    // side_rps, side_KIND_p50_us and _p95_us, side_cpu_us_per_request and
    // side_sleeps_per_request.
    void report(benchmark::State& state, const std::string& side) const
    {
        state.counters[side + "_rps"] = 1 / secondsPerRequest();
        for (int kind = 0; kind < kindCount; ++kind) {
            const std::string name = side + "_" + kindNames[kind];
            state.counters[name + "_p50_us"] = percentile(total.latencyUs[kind], 0.5);
            state.counters[name + "_p95_us"] = percentile(total.latencyUs[kind], 0.95);
        }
        state.counters[side + "_cpu_us_per_request"] = total.cpuSeconds / total.requests * 1e6;
        state.counters[side + "_sleeps_per_request"] = total.sleeps / total.requests;
    }

private:
    std::vector<std::unique_ptr<Worker>> workers;
    Tally total;
    double wallSeconds = 0;
};

// Eight connections, each with its own t over the file (one log for all).
std::vector<Connection> overlayConnections(const std::string& file)
{
    std::vector<Connection> connections;
    for (int i = 0; i < serviceThreads; ++i) {
        Connection connection = openConnection(":memory:");
        registerCsvModules(connection.get());
        if (quillmere_register_undoredo_functions(connection.get()) != SQLITE_OK)
            fail(connection.get(), "quillmere_register_undoredo_functions");
        exec(connection.get(), "CREATE VIRTUAL TABLE t USING " + csvOverlayName + "('" + file + "', key=id)");
        connections.push_back(std::move(connection));
    }
    return connections;
}

// Eight connections to a native WAL database whose t holds the rows from.
std::vector<Connection> nativeConnections(const std::string& path, sqlite3* from)
{
    std::vector<Connection> connections;
    connections.emplace_back(openNativeDatabase(path));
    sqlite3* made = connections.back().get();
    sqlite3_busy_timeout(made, busyTimeoutMs);
    exec(made, "CREATE TABLE t(id INTEGER PRIMARY KEY, name, v, note)");
    copyRows(from, "SELECT id, name, v, note FROM t", made, "INSERT INTO t VALUES (?, ?, ?, ?)");
    while (connections.size() < serviceThreads) {
        connections.push_back(openConnection(path));
        exec(connections.back().get(), "PRAGMA synchronous=NORMAL; PRAGMA cache_size=-16384");
    }
    return connections;
}

// Ratio: the subject's time per request (the service's whole time over the
// requests it served) to the native table's.
void BM_WebService(benchmark::State& state)
{
    runComparison(state, [&state] {
        const std::string file = homePath("service_survey.csv");
        writeSurvey(file);
        std::vector<Connection> overlay = overlayConnections(file);
        std::vector<Connection> native = nativeConnections(homePath("service.sqlite"), overlay.front().get());
        Service subject(std::move(overlay), false);
        Service baseline(std::move(native), true);
        const Budget budget{3.0, 4, 40};
        Comparison c = compare(
            budget, [&](long) { return subject.run(); }, budget, [&](long) { return baseline.run(); });
        c.subject.seconds = subject.secondsPerRequest();
        c.baseline.seconds = baseline.secondsPerRequest();
        subject.report(state, "subject");
        baseline.report(state, "baseline");
        return c;
    });
}

} // namespace

void registerServiceBenchmarks()
{
    addBenchmark("service/web_mix_8_threads_2e5", BM_WebService);
}

} // namespace bench
