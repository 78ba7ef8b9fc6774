#!/usr/bin/env bash
# Runs the exit hosts as separate processes, alone or side by side on one HOME,
# each section with HOME at a fresh folder, and compares what they print, their
# exit statuses and what they leave in the history file with the expected file.
set -uo pipefail
host=$1 dlopen_host=$2 expected=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The status of a host, without the shell's own report of a signal that ended it.
run() { { "$@" 2>&3 3>&-; } 3>&2 2>/dev/null; echo "exit $?"; }
section() { echo "== $1"; export HOME=$(mktemp -d -p "$work"); }
# Hosts that stay running, fed statements through pipes; each statement waits
# for its host's answer, so that the processes always interleave the same way.
declare -A to from pid
# An answer names the history file from ~, the section's fresh HOME.
answer() { local line; while IFS= read -r line <&"${from[$1]}" && [ -n "$line" ]; do echo "${line//"$HOME"/\~}"; done; }
start() {
  local in out; mkfifo "$work/$1.in" "$work/$1.out"
  "$host" "${2:-session}" "$1" <"$work/$1.in" >"$work/$1.out" 2>&1 & pid[$1]=$!
  exec {in}>"$work/$1.in" {out}<"$work/$1.out"; rm "$work/$1".*; to[$1]=$in from[$1]=$out; answer "$1"
}
say() { local p=$1 sql; shift; for sql; do echo "$p> $sql"; echo "$sql" >&"${to[$p]}"; answer "$p"; done; }
# Ends a host by closing its input, or with "kill" by SIGKILL.
end() {
  local in=${to[$1]} out=${from[$1]}; [ -z "${2-}" ] || kill -KILL "${pid[$1]}"; exec {in}>&-
  wait "${pid[$1]}" 2>/dev/null; echo "$1 exit $?"; exec {out}<&-
}
create() { echo "CREATE VIRTUAL TABLE $1 USING overlay('/data/${2:-$1}.tab')"; }
# A later process: a table takes the name, or the file, of one an earlier process
# left behind, and shows its own writes only.
reopen() {
  start R; say R "$(create $1 roads)" "INSERT INTO $1 VALUES ('Bypass', 'primary')" "SELECT rowid, * FROM $1"; end R
  "$host" dump
}
{
  for scenario in open-at-exit closed-by-global killed torn-down closed-by-late-static functions-only reads-only; do
    section $scenario
    run "$host" $scenario
    "$host" dump
    case $scenario in
      reads-only) ls -A "$HOME" ;;
      open-at-exit|closed-by-global) reopen roads ;;
      killed) reopen streets ;;
    esac
  done
  section "loaded and unloaded twice"
  run "$dlopen_host"
  "$host" dump

  section "processes sharing one history file"
  tables=("SELECT name FROM sqlite_master WHERE type='table' ORDER BY 1" "SELECT * FROM ombrixOpenedTables ORDER BY 1")
  start A
  say A "$(create roads)" "UPDATE roads SET kind = 'closed' WHERE rowid = 2" "SELECT ombrix_commit('roads')"
  # One process only registers the functions, another writes a table of its own; both end.
  run "$host" functions-only
  start B; say B "$(create streets)" "INSERT INTO streets VALUES (1, 2)"; end B
  say A "UPDATE roads SET kind = 'gone' WHERE rowid = 3" "SELECT ombrix_commit('roads')" "SELECT ombrix_undo('roads')" \
    "$(create lanes)" "DELETE FROM lanes WHERE rowid = 1" "SELECT rowid, * FROM roads"
  # A's table name, then A's file path under another name, then a table of C's own.
  start C
  say C "$(create roads)" "UPDATE roads SET kind = 'x' WHERE rowid = 1" "SELECT ombrix_undo('roads')" \
    "$(create paths roads)" "UPDATE paths SET kind = 'x'" "$(create avenues)" "INSERT INTO avenues VALUES (1, 2)"
  say A "SELECT ombrix_redo('roads')" "SELECT rowid, * FROM roads" "SELECT ombrix_undo('roads', 2)" \
    "SELECT rowid, * FROM roads"
  end C kill
  say A "SELECT ombrix_redo('roads', 2)" "INSERT INTO lanes VALUES ('Loop', 'minor')" "SELECT ombrix_commit('lanes')" \
    "SELECT ombrix_undo('lanes')" "SELECT rowid, * FROM roads"
  "$host" dump "${tables[@]}"
  # A name of C's in another letter case: A takes it over from the dead C, without C's edits.
  say A "$(create AVENUES)" "INSERT INTO AVENUES VALUES (5, 6)" "SELECT rowid, * FROM AVENUES" "DROP TABLE AVENUES"
  # A log made in a transaction that rolled back leaves its name free for others at once, and so
  # does asking for the history of a name nobody has.
  say A "BEGIN" "$(create trails)" "INSERT INTO trails VALUES (1, 2)" "ROLLBACK" "SELECT ombrix_undo('trails')"
  # Opening the history file removes what C left, and only that.
  start D
  "$host" dump "${tables[@]}"
  say D "$(create avenues)" "INSERT INTO avenues VALUES (3, 4)" "SELECT rowid, * FROM avenues" \
    "$(create trails)" "INSERT INTO trails VALUES (5, 6)" "SELECT rowid, * FROM trails" "DROP TABLE trails"
  say A "SELECT ombrix_redo('lanes')" "SELECT rowid, * FROM lanes"
  end D; end A
  "$host" dump

  # Each time the history file is read as the killed writer left it, before a library process opens it.
  section "writers killed in a statement and in a transaction"
  log=("SELECT group_concat(rowid) FROM biginsertedOrUpdatedRows" "SELECT group_concat(rowid) FROM bigdeletedRows"
    "SELECT count(*) FROM bighistory" "SELECT * FROM ombrixOpenedTables")
  start W
  say W "$(create big)" "UPDATE big SET v = 2 WHERE rowid <= 2" "SELECT ombrix_commit('big')" \
    "BEGIN" "DELETE FROM big WHERE rowid = 3" "COMMIT" "stall 320" "UPDATE big SET v = v + 1"
  end W kill
  "$host" dump "${log[@]}"
  start W
  say W "$(create big)" "SELECT rowid, * FROM big WHERE rowid <= 3" "DELETE FROM big WHERE rowid = 5" "BEGIN" \
    "UPDATE big SET v = 0 WHERE rowid > 10" "INSERT INTO big VALUES (7)" "SELECT ombrix_commit('big')" \
    "SELECT count(*) FROM big WHERE v = 0"
  end W kill
  "$host" dump "${log[@]}"

  # The history transaction takes the write lock at the first write, waiting up to the busy timeout of the
  # host's connection: none here, as in the shell.
  section "a host transaction while another process locks the history file"
  start A
  say A "$(create roads)" "UPDATE roads SET kind = 'closed' WHERE rowid = 2"
  start L plain
  say L "BEGIN EXCLUSIVE"
  # Opening the file only reads: another process starts at once.
  run "$host" functions-only
  say A "BEGIN" "UPDATE roads SET kind = 'gone' WHERE rowid = 3" "COMMIT"
  end L
  say A "SELECT rowid, * FROM roads" "SELECT ombrix_undo('roads')" "SELECT rowid, * FROM roads"
  end A
} >"$work/actual" 2>&1
diff -u "$expected" "$work/actual"
