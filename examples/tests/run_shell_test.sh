#!/usr/bin/env bash
# Runs a test script in the sqlite3 shell with the extension loaded and
# compares everything it prints with the expected file. HOME is a fresh folder.
set -euo pipefail
if [ $# -ne 5 ]; then
  echo "usage: $0 SHELL EXTENSION SCRIPT EXPECTED WORKDIR" >&2
  exit 2
fi
shell=$1 extension=$2 script=$3 expected=$4 workdir=$5
if [ ! -x "$shell" ]; then
  echo "SKIP: $shell is missing (Debian's sqlite3 package)"
  exit 77
fi

home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
actual="$home/actual.txt"
# Line-buffered output keeps each echoed statement ahead of its error.
# SANITIZER_PRELOAD, set in sanitizer builds, is preloaded into the shell alone.
(cd "$workdir" && HOME="$home" LD_PRELOAD="${SANITIZER_PRELOAD:-}" stdbuf -oL "$shell" -echo -cmd ".load '$extension'" :memory: <"$script" >"$actual" 2>&1) || true
if ! diff -u "$expected" "$actual"; then
  echo "FAIL: the output of $script differs from $expected (above)"
  exit 1
fi
