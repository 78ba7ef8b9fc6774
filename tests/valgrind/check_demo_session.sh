#!/usr/bin/env bash
# Runs the example session in the sqlite3 shell under valgrind memcheck: no
# memory error anywhere, and nothing definitely lost when the shell exits.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
supp="$root/tests/valgrind"
out=$(DEMO_SHELL_PREFIX="valgrind --quiet --error-exitcode=3 --leak-check=full --errors-for-leak-kinds=definite
  --suppressions=$supp/glibc.supp --suppressions=$supp/debian_modules.supp" \
  bash "$root/scripts/demo_session.sh" "$1" shell 2>&1) || { echo "$out" | tail -60; exit 1; }
[ "$(grep -c '│ unchanged ' <<<"$out")" = 3 ] || { echo "the session did not finish"; echo "$out" | tail -20; exit 1; }
