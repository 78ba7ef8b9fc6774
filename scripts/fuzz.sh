#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time
# (FUZZ_SECONDS, default 30) from the seed corpus in fuzz/corpus/<target>.
# A crash leaves its input in build-fuzz/crashes and fails the run.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${FUZZ_SECONDS:-30}
build="$root/build-fuzz"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DQUILLMERE_FUZZ=ON -DQUILLMERE_TESTS=OFF \
  -DQUILLMERE_WERROR=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target fuzzers >/dev/null
mkdir -p "$build/crashes"
# One target per seed corpus, so that a stale binary of a removed target never runs.
for corpus in "$root"/fuzz/corpus/*; do
  name=$(basename "$corpus")
  fuzzer="$build/fuzz/${name}_fuzzer"
  work=$(mktemp -d)
  echo "fuzz: $name for ${seconds}s"
  HOME="$work" "$fuzzer" -max_total_time="$seconds" -print_final_stats=0 \
    -artifact_prefix="$build/crashes/$name-" "$work" "$corpus" >"$work/log" 2>&1 || {
      tail -40 "$work/log"; echo "fuzz: $name failed"; rm -rf "$work"; exit 1; }
  grep -E '^Done' "$work/log" || true
  rm -rf "$work"
done
