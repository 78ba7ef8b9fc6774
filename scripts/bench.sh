#!/usr/bin/env bash
# Builds the benchmarks (Release, build-bench), runs them with HOME at a fresh temporary folder
# and prints each ratio to its baseline next to its target, then the absolute figures (memory per
# row, first open) next to theirs; arguments go to the benchmark binary.
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
echo "running overlay_bench (about five to ten minutes) ..."
HOME="$home" "$build/bench/overlay_bench" --benchmark_format=json "$@" >"$json"

/usr/bin/python3 - "$json" <<'EOF'
import json, re, sys

# Targets: the largest acceptable ratio of subject time to baseline time. A
# benchmark with a second baseline X reports "NAME vs X" on a row of its own.
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
    "views/tables_1e5_vs_1e2_log_rows": 1.5,
    "views/changes_per_row_1e4_vs_1e2_rows": 1.5,
    "views/changes_join_2000_vs_cross_join": 3.0,
    "csv/save_2e5_rows_2e4_edited_vs_python": 1.5,
    "update/single_row_x10000_in_transaction_50k_log": 3.0,
    "update/single_row_x10000_in_transaction_50k_log vs trigger_log": (1.0, "moonshot"),
    "update/one_statement_10000_rows_50k_log": 3.0,
    "csv/update_whole_table_1e6": 10.0,
    "csv/undo_1e6_row_step": 6.0,
    "csv/redo_1e6_row_step": 6.0,
    "csv/scan_every_row_edited_1e6": 2.0,
    "csv/rowid_lookup_3pct_edited_2e5": 3.0,
    "csv/key_lookup_3pct_edited_2e5": 3.0,
    "csv/second_connection_open_vs_first_2e5": 0.05,
    # Two threads do twice one thread's work: 1.25 is 1.6 times its
    # throughput, 2.0 the same.
    "threads/scan_2_vs_1": 1.25,
    "threads/single_row_updates_2_vs_1": 2.0,
    # Eight threads serving requests: half native's requests per second at least.
    "service/web_mix_8_threads_2e5": 2.0,
    # A reader beside another connection's single-row writes: its slowdown
    # over a native reader's beside a native writer in its file.
    "threads/scan_beside_writer_vs_native": 1.5,
    "threads/rowid_lookups_beside_writer_vs_native": 1.5,
}

# Absolute targets: the largest acceptable value of a counter, with its unit
# ("us" counters are shown as durations). Counters of a benchmark without a
# ratio are listed with these, as reported only where no target is set.
absolute = {
    ("csv/first_open_after_left_log_1e6", "subject_us"): (0.5e6, "us", ""),
    ("csv/memory_1e6", "readonly_csv_rss_bytes_per_row"): (16, "B/row", "plus a bounded buffer"),
    ("csv/memory_1e6", "update_rss_bytes_per_row"): (64, "B/row", ""),
    ("csv/memory_1e6", "undo_redo_rss_growth_bytes_per_row"): (4, "B/row", "no growth"),
}
bytes_per_row = re.compile(r"_bytes_per_row$")
# Counters of a benchmark with a ratio that are listed with the figures.
listed = {"service/web_mix_8_threads_2e5": re.compile(r"_(rps|p50_us|p95_us|cpu_us_per_request|sleeps_per_request)$")}

def unit_of(counter):
    if re.search(r"_us(_per_request)?$", counter):
        return "us"
    if counter.endswith("_rps"):
        return "/s"
    if counter.endswith("_per_request"):
        return "per request"
    return "B/row"

def shown_in(unit):
    if unit == "us":
        return duration
    form = {"/s": "%.0f %s", "per request": "%.3g %s"}.get(unit, "%.1f %s")
    return lambda x: form % (x, unit)

def duration(us):
    if us >= 1e6:
        return "%.2f s" % (us / 1e6)
    if us >= 1e3:
        return "%.2f ms" % (us / 1e3)
    return "%.1f us" % us

def ratio(r):
    return "%.3g" % r if r < 1000 else "%.0f" % r

def verdict(value, target, show):
    limit, note = target if isinstance(target, tuple) else (target, "")
    note = " (%s)" % note if note else ""
    return "<= %s%s %s" % (show(limit), note, "met" if value <= limit else "MISSED")

def table(rows, right):
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    print()
    for n, row in enumerate(rows):
        cells = [row[i].rjust(widths[i]) if i in right else row[i].ljust(widths[i]) for i in range(len(row))]
        print("  ".join(cells).rstrip())
        if n == 0:
            print("  ".join("-" * w for w in widths))

with open(sys.argv[1]) as f:
    runs = json.load(f)["benchmarks"]

rows = [("benchmark", "subject", "baseline", "ratio", "reps s/b", "target")]
figures = [("benchmark", "counter", "value", "target")]
for run in runs:
    name = re.sub(r"/(iterations:\d+|manual_time)", "", run["name"])
    if run.get("error_occurred"):
        rows.append((name, "-", "-", "-", "-", "ERROR: " + run.get("error_message", "")))
        continue
    if "ratio" in run:
        limit = targets.get(name)
        target = "reported only" if limit is None else verdict(run["ratio"], limit, lambda x: "%gx" % x)
        if limit is None and any(key[0] == name for key in absolute):
            target = "absolute target below"
        reps = "%d/%d" % (run["subject_reps"], run["baseline_reps"])
        rows.append((name, duration(run["subject_us"]), duration(run["baseline_us"]), ratio(run["ratio"]), reps, target))
        for counter in sorted(run):
            if counter.startswith("ratio_to_"):
                other = counter[len("ratio_to_"):]
                label = "%s vs %s" % (name, other)
                limit = targets.get(label)
                target = "reported only" if limit is None else verdict(run[counter], limit, lambda x: "%gx" % x)
                reps = "%d/%d" % (run["subject_reps"], run[other + "_reps"])
                rows.append(("  vs " + other, duration(run["subject_us"]), duration(run[other + "_us"]),
                             ratio(run[counter]), reps, target))
    for counter in sorted(run):
        key = (name, counter)
        shown = name in listed and listed[name].search(counter)
        if key not in absolute and not shown and ("ratio" in run or not bytes_per_row.search(counter)):
            continue
        value = run[counter]
        limit, unit, note = absolute.get(key, (None, unit_of(counter), ""))
        show = shown_in(unit)
        target = "reported only" if limit is None else verdict(value, (limit, note), show)
        figures.append((name, counter, show(value), target))

table(rows, right={1, 2, 3, 4})
print()
print("subject and baseline: mean time of one repetition (history/undo_1000_small_steps:")
print("totals over the steps recorded; views/changes_per_row: per row listed; service:")
print("the service's time per request, all threads together); ratio =")
print("subject / baseline, both timed in this run;")
print("a 'vs' row compares the same subject with a second baseline of that run.")
if len(figures) > 1:
    table(figures, right={2})
    print()
    print("memory: per row of the million-row file, resident (rss) and heap in use, each")
    print("read after malloc_trim; first_open: one fresh process's first open of the history")
    print("file that a killed process left a million-row log in. service: requests a second,")
    print("each kind's median and 95th percentile, and per request the threads' time on a")
    print("core and their sleeps (voluntary context switches).")
EOF
echo "raw results: $json"
