#!/usr/bin/env bash
# Installs what is missing, builds warning-free, and runs the whole test suite
# three times: plain, under AddressSanitizer and UndefinedBehaviorSanitizer, and
# under ThreadSanitizer; compiles once more under clang's thread-safety
# analysis; then runs each fuzzer for a bounded time (FUZZ_SECONDS, default 30)
# and checks the code's formatting (scripts/check_format.sh).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bash "$root/scripts/setup.sh"

home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT

run_suite() {
  local dir="$1"; shift
  cmake -S "$root" -B "$root/$dir" -DQUILLMERE_WERROR=ON "$@" >/dev/null
  cmake --build "$root/$dir" -j"$(nproc)"
  (cd "$root/$dir" && HOME="$home" ctest --output-on-failure -j"$(nproc)")
}

run_suite build
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  run_suite build-asan -DQUILLMERE_SANITIZE=ON
# No test runs the benchmarks, and the other two builds compile them.
run_suite build-tsan -DQUILLMERE_TSAN=ON -DQUILLMERE_BENCHMARKS=OFF

# The locks as their annotations state them (common/mutex.h), checked by
# clang's thread-safety analysis: a build that only compiles.
cmake -S "$root" -B "$root/build-tsa" -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DQUILLMERE_WERROR=ON -DQUILLMERE_THREAD_SAFETY=ON -DQUILLMERE_TESTS=OFF -DQUILLMERE_BENCHMARKS=OFF >/dev/null
cmake --build "$root/build-tsa" -j"$(nproc)"

bash "$root/scripts/fuzz.sh"
bash "$root/scripts/check_format.sh"
