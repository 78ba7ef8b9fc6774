#!/usr/bin/env bash
# Runs examples/session.sql in the stock sqlite3 shell from the repository root,
# loading the extension from the given build directory; builds nothing.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
if [ $# -ne 1 ]; then
  echo "usage: $0 BUILD_DIR" >&2
  exit 2
fi
build=$(cd "$1" && pwd)
if [ ! -f "$build/quillmere_extension.so" ]; then
  echo "$build/quillmere_extension.so is missing: build the project there first" >&2
  exit 2
fi
shell=/usr/bin/sqlite3
if [ ! -x "$shell" ]; then
  echo "$shell is missing: install Debian's sqlite3 package" >&2
  exit 2
fi

home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
cd "$root"
# Line-buffered output keeps each echoed statement ahead of its error, if any.
# SANITIZER_PRELOAD, set in sanitizer builds, is preloaded into the shell alone.
sed "s|BUILD_DIR/|$build/|" examples/session.sql |
  HOME="$home" LD_PRELOAD="${SANITIZER_PRELOAD:-}" stdbuf -oL "$shell" -bail -echo :memory:
