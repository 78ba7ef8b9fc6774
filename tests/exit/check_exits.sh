#!/usr/bin/env bash
# Runs the exit hosts as separate processes, each scenario with HOME at a fresh
# folder, and compares what they print, their exit statuses and what they leave
# in the history file with the expected file.
set -uo pipefail
host=$1 dlopen_host=$2 expected=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The status of a host, without the shell's own report of a signal that ended it.
run() { { "$@" 2>&3 3>&-; } 3>&2 2>/dev/null; echo "exit $?"; }
{
  for scenario in open-at-exit closed-by-global killed torn-down closed-by-late-static functions-only reads-only; do
    echo "== $scenario"
    export HOME=$(mktemp -d -p "$work")
    run "$host" $scenario
    "$host" dump
    case $scenario in
      reads-only) ls -A "$HOME" ;;
      # A later process on the same home, with a table of the same name or on the same file.
      open-at-exit|closed-by-global) run "$host" reopen roads && "$host" dump ;;
      killed) run "$host" reopen streets && "$host" dump ;;
    esac
  done
  echo "== loaded and unloaded twice"
  export HOME=$(mktemp -d -p "$work")
  run "$dlopen_host"
  "$host" dump
} >"$work/actual" 2>&1
diff -u "$expected" "$work/actual"
