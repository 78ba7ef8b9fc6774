// The benchmark binary: a fresh home for the history database, then every file's
// benchmarks; run with a child role's arguments it plays that role instead.
#include "bench_support.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

int main(int argc, char** argv)
{
    // As a host that runs SQLite on several threads configures it: SQLite's
    // memory statistics take one process-wide mutex at every allocation.
    sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
    if (const std::optional<int> status = bench::runChildRole(argc, argv))
        return *status;

    // A fresh home before anything can reach the history database.
    std::string home = (std::filesystem::temp_directory_path() / "quillmere-bench-XXXXXX").string();
    if (!mkdtemp(home.data())) {
        std::perror("mkdtemp");
        return 2;
    }
    setenv("HOME", home.c_str(), 1);

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    bench::registerReadBenchmarks();
    bench::registerWriteBenchmarks();
    bench::registerHistoryBenchmarks();
    bench::registerCsvBenchmarks();
    bench::registerSaveBenchmarks();
    bench::registerCsvLookupBenchmarks();
    bench::registerFirstOpenBenchmarks();
    bench::registerThreadBenchmarks();
    bench::registerServiceBenchmarks();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    bench::Host::get().close();
    std::error_code ignored;
    std::filesystem::remove_all(home, ignored);
    return 0;
}
