#!/usr/bin/env bash
# README's way of calling a history function in DB Browser for SQLite's Execute SQL, run there under Xvfb:
# it undoes one step, which Write Changes keeps. Skips without sqlitebrowser, Xvfb, xdotool or sqlite3.
set -euo pipefail
extension=$1
for tool in sqlitebrowser Xvfb xdotool sqlite3; do
  command -v $tool >/dev/null || { echo "SKIP: $tool is missing"; exit 77; }
done
[ -z "${SANITIZER_PRELOAD:-}" ] || { echo "SKIP: DB Browser does not run with the sanitizers' runtime"; exit 77; }
work=$(mktemp -d)
export HOME=$work
pids=()
trap 'kill "${pids[@]}" 2>/dev/null; wait; rm -rf "$work"' EXIT
cd "$work"
shell() { sqlite3 -cmd ".load '$extension'" maps.sqlite "$@"; }
fail() { echo "FAIL: $*"; exit 1; }

printf 'id,v\n1,10\n2,20\n' >t.csv
shell "CREATE VIRTUAL TABLE t USING editable_csv('$work/t.csv')" "UPDATE t SET v = 11 WHERE id = 1" \
  "SELECT ombrix_commit('t')" "UPDATE t SET v = 12 WHERE id = 1" "SELECT ombrix_keep('t')" >/dev/null

Xvfb -displayfd 3 -screen 0 1280x1024x24 3>display 2>/dev/null &
pids+=($!)
for _ in $(seq 100); do [ -s display ] && break; sleep 0.1; done
export DISPLAY=:$(cat display)
sqlitebrowser -o extensions/list="$extension" -o extensions/enable_load_extension=true maps.sqlite >/dev/null 2>&1 &
pids+=($!)
timeout 20 xdotool search --sync --name '^DB Browser for SQLite - maps.sqlite' >/dev/null || fail "no window"
# Without a window manager the keyboard goes where the pointer is. Execute SQL is the fourth tab; its editor
# is under the tab's toolbar.
xdotool mousemove 600 500 sleep 0.5 key ctrl+Tab ctrl+Tab ctrl+Tab sleep 0.5 mousemove 250 250 click 1
xdotool type "CREATE TEMP TABLE IF NOT EXISTS calls(result); INSERT INTO calls VALUES (ombrix_undo('t'));"
# Run, Write Changes, quit, and leave the SQL tab unsaved (Discard, next to the focused Save).
xdotool key ctrl+Return sleep 3 key ctrl+s sleep 2 key ctrl+q sleep 2 key Tab space
for _ in $(seq 100); do kill -0 "${pids[1]}" 2>/dev/null || break; sleep 0.1; done
! kill -0 "${pids[1]}" 2>/dev/null || fail "DB Browser did not quit: the changes were not written"

got=$(shell "SELECT v FROM t WHERE id = 1" "SELECT undo_steps, redo_steps FROM ombrix_tables")
[ "$got" = $'11\n1|1' ] || fail "one undo in DB Browser left v, undo_steps|redo_steps as $(echo $got), not 11 1|1"
echo "one undo, written"
