#!/usr/bin/env bash
# The shared library exports the two C entry points and nothing else of ours;
# of its objects only store/'s, which work on the history connection's handle,
# call the linked SQLite: everything else reaches it through sqlite3_api.
set -euo pipefail
lib="$1"; shift
exported=$(nm -D --defined-only "$lib" | awk '$2 ~ /[TDBRVW]/ {print $3}' | sort)
expected=$(printf '%s\n' quillmere_register_undoredo_functions wrapVirtualTableWithTransactions | sort)
if [ "$exported" != "$expected" ]; then
  echo "exported symbols differ from the C API:"; diff <(echo "$expected") <(echo "$exported"); exit 1
fi
status=0
for object in "$@"; do
  case "$object" in */store/*) continue ;; esac
  direct=$(nm --undefined-only "$object" | awk '{print $2}' | grep '^sqlite3_' | grep -vx sqlite3_api || true)
  if [ -n "$direct" ]; then echo "$object calls SQLite directly: $direct"; status=1; fi
done
exit $status
