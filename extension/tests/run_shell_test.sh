#!/usr/bin/env bash
# Runs a test script in the stock sqlite3 shell, in a copy of the data folder with
# the extension loaded and HOME at a fresh folder, and compares everything it prints
# with the expected file. Skips where the shell is missing.
set -euo pipefail
extension=$1 script=$2 expected=$3 data=$4 shell=/usr/bin/sqlite3
[ -x $shell ] || { echo "SKIP: $shell is missing (Debian's sqlite3 package)"; exit 77; }
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
# Line-buffered output keeps each echoed statement ahead of its error.
# SANITIZER_PRELOAD, set in sanitizer builds, is preloaded into the shell alone.
cp -R "$data" "$home/data"
(cd "$home/data" && HOME="$home" LD_PRELOAD="${SANITIZER_PRELOAD:-}" stdbuf -oL $shell -echo -cmd ".load '$extension'" \
  :memory: <"$script" >"$home/actual" 2>&1) || true
# Paths under the temporary home read as $HOME, the same in every run.
sed -i "s|$home|\$HOME|g" "$home/actual"
diff -u "$expected" "$home/actual"
