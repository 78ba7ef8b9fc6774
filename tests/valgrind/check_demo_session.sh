#!/usr/bin/env bash
# Runs the example session in the sqlite3 shell under valgrind memcheck: no
# memory error anywhere, and nothing definitely lost when the shell exits.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build="$1"
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
cd "$root"
sed "s|BUILD_DIR/|$build/|" examples/session.sql |
  HOME="$home" valgrind --quiet --error-exitcode=3 --leak-check=full --errors-for-leak-kinds=definite \
    --suppressions="$root/tests/valgrind/glibc.supp" /usr/bin/sqlite3 -bail :memory: >"$home/out"
grep -q unchanged "$home/out" || { echo "the session did not finish"; tail -20 "$home/out"; exit 1; }
