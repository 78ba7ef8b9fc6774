#!/usr/bin/env bash
# The shared library must export the two C entry points and nothing else of ours.
set -euo pipefail
lib="$1"
exported=$(nm -D --defined-only "$lib" | awk '$2 ~ /[TDBRVW]/ {print $3}' | sort)
expected=$(printf '%s\n' quillmere_register_undoredo_functions wrapVirtualTableWithTransactions | sort)
if [ "$exported" != "$expected" ]; then
  echo "exported symbols differ from the C API:"; diff <(echo "$expected") <(echo "$exported"); exit 1
fi
echo "exports: $(echo $exported)"
