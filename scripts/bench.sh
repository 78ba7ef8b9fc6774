#!/usr/bin/env bash
# Builds the benchmarks (Release, build-bench), runs them with HOME at a fresh temporary folder
# and prints each ratio to its baseline next to its target; arguments go to the benchmark binary.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="$root/build-bench"
bash "$root/scripts/setup.sh"

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DQUILLMERE_WERROR=ON -DQUILLMERE_BENCHMARKS=ON >/dev/null
cmake --build "$build" -j"$(nproc)" --target overlay_bench

home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
json="$build/overlay_bench.json"

cpu=$(sed -n 's/^model name[[:space:]]*:[[:space:]]*//p' /proc/cpuinfo | head -n1)
echo
echo "machine: ${cpu:-unknown CPU}, $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
tree=$(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)
if [ -n "$(git -C "$root" status --porcelain --untracked-files=no 2>/dev/null)" ]; then
  tree="$tree with uncommitted changes"
fi
echo "tree:    $tree"
echo "running overlay_bench (about one to three minutes) ..."
HOME="$home" "$build/bench/overlay_bench" --benchmark_format=json "$@" >"$json"

/usr/bin/python3 - "$json" <<'EOF'
import json, re, sys

# Targets: the largest acceptable ratio of subject time to baseline time.
targets = {
    "scan/log_3pct": 2.0,
    "lookup/rowid": 5.0,
    "lookup/where_c2_indexed": 2.0,
    "lookup/where_c2_indexed_after_write": 2.0,
    "lookup/rowid_after_other_table_write": 2.0,
    "update/single_row_x10000": 3.0,
    "update/single_row_x10000_in_transaction": 3.0,
    "update/one_statement_10000_rows": 3.0,
    "history/undo_10000_row_step": 2.0,
    "history/redo_10000_row_step": 2.0,
    "history/one_row_step_1e6_vs_1e2_history_rows": 2.0,
}

def duration(us):
    if us >= 1e6:
        return "%.2f s" % (us / 1e6)
    if us >= 1e3:
        return "%.2f ms" % (us / 1e3)
    return "%.1f us" % us

def ratio(r):
    return "%.3g" % r if r < 1000 else "%.0f" % r

with open(sys.argv[1]) as f:
    runs = json.load(f)["benchmarks"]

rows = [("benchmark", "subject", "baseline", "ratio", "reps s/b", "target")]
for run in runs:
    name = re.sub(r"/(iterations:\d+|manual_time)", "", run["name"])
    if run.get("error_occurred"):
        rows.append((name, "-", "-", "-", "-", "ERROR: " + run.get("error_message", "")))
        continue
    limit = targets.get(name)
    if limit is None:
        target = "reported only"
    else:
        target = "<= %gx %s" % (limit, "met" if run["ratio"] <= limit else "MISSED")
    reps = "%d/%d" % (run["subject_reps"], run["baseline_reps"])
    rows.append((name, duration(run["subject_us"]), duration(run["baseline_us"]), ratio(run["ratio"]), reps, target))

widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
print()
for n, row in enumerate(rows):
    cells = [row[0].ljust(widths[0])] + [row[i].rjust(widths[i]) for i in range(1, 5)] + [row[5]]
    print("  ".join(cells))
    if n == 0:
        print("  ".join("-" * w for w in widths))
print()
print("subject and baseline: mean time of one repetition (history/undo_1000_small_steps:")
print("totals over the steps recorded); ratio = subject / baseline, both timed in this run.")
EOF
echo "raw results: $json"
