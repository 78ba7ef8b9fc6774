#!/usr/bin/env bash
# Runs examples/session.sql in the sqlite3 shell and in Debian's Python (or the one named) with the
# extension from BUILD_DIR, on a shapefile it makes first, then examples/resume.sql in a second run
# of each with the same HOME, which takes up the change log the first one kept; builds nothing.
# DEMO_SHELL_PREFIX, when set, goes before the shell's command (a valgrind run).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
if [ $# -lt 1 ] || [ $# -gt 2 ]; then
  echo "usage: $0 BUILD_DIR [shell|python]" >&2
  exit 2
fi
build=$(cd "$1" && pwd)
if [ ! -f "$build/quillmere_extension.so" ]; then
  echo "$build/quillmere_extension.so is missing: build the project there first" >&2
  exit 2
fi
lib=/usr/lib/x86_64-linux-gnu
for need in /usr/bin/sqlite3 /usr/bin/python3 $lib/libsqlite3_mod_csvtable.so $lib/mod_spatialite.so; do
  if [ ! -e "$need" ]; then
    echo "$need is missing: scripts/setup.sh installs it" >&2
    exit 2
  fi
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/shapefile"
cd "$root"
# ExportSHP writes files only when spatialite's security is relaxed.
sed "s|DEMO_DIR/|$work/shapefile/|g" examples/make_roads_shapefile.sql |
  SPATIALITE_SECURITY=relaxed /usr/bin/sqlite3 -bail :memory: >"$work/shapefile.log" 2>&1 ||
  { cat "$work/shapefile.log"; echo "could not make the shapefile" >&2; exit 1; }

# The session, then the run after it (examples/resume.sql), which takes up the log it kept.
script() {
  sed "s|BUILD_DIR/|$build/|g; s|DEMO_DIR/|$work/shapefile/|g" "examples/$1.sql"
}
# Line-buffered output keeps each echoed statement ahead of its error, if any.
# SANITIZER_PRELOAD, set in sanitizer builds, is preloaded into the shell alone.
if [ "${2:-shell}" = shell ]; then
  [ -z "${2:-}" ] && echo "=== In the sqlite3 shell"
  home=$(mktemp -d "$work/home.XXXXXX")
  for run in session resume; do
    [ $run = resume ] && echo && echo "=== The next run of the shell, with the same HOME"
    script $run | HOME=$home LD_PRELOAD="${SANITIZER_PRELOAD:-}" \
      stdbuf -oL ${DEMO_SHELL_PREFIX:-} /usr/bin/sqlite3 -bail -echo :memory:
  done
fi
if [ "${2:-python}" = python ]; then
  [ -z "${2:-}" ] && echo && echo "=== In Debian's Python (/usr/bin/python3)"
  home=$(mktemp -d "$work/home.XXXXXX")
  for run in session resume; do
    [ $run = resume ] && echo && echo "=== The next run of Python, with the same HOME"
    script $run | HOME=$home LD_PRELOAD="${SANITIZER_PRELOAD:-}" /usr/bin/python3 examples/session.py
  done
fi
