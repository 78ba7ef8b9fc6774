#!/usr/bin/env bash
# Debian's csvtable, zipfile and spatialite modules made editable by quillmere_extension in the
# sqlite3 shell and in Python, leaving their files unchanged; with "valgrind", the shell under memcheck.
#   run_modules_test.sh BUILD_DIR [valgrind]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
extension=$(cd "$1" && pwd)/quillmere_extension
lib=/usr/lib/x86_64-linux-gnu
for need in /usr/bin/sqlite3 /usr/bin/python3 $lib/libsqlite3_mod_{csvtable,zipfile}.so $lib/mod_spatialite.so \
  /usr/lib/python3/dist-packages/xlwt; do
  [ -e "$need" ] || { echo "SKIP: $need is missing (scripts/setup.sh installs it)"; exit 77; }
done
[ "$(nm -D --defined-only "$extension.so" | awk '{print $3}')" = sqlite3_quillmereextension_init ] &&
  readelf -d "$extension.so" | grep -q SYMBOLIC || { echo "FAIL: exports other than the entry point, or no -Bsymbolic"; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/data" && cd "$work/data"

for name in t one two; do printf 'id,name\n1,alpha\n2,beta\n3,gamma\n' >$name.csv; done
printf 'id,name\n1,north\n2,south\n3,east\n' >t.txt
cp $lib/libsqlite3_mod_csvtable.so copy_of_csvtable.so
# probe.so: a module whose client data records its release, and an init that fails.
cc -shared -fPIC -x c - -o probe.so <<'C'
#include <sqlite3ext.h>
#include <stdio.h>
SQLITE_EXTENSION_INIT1
static int no(sqlite3* d, void* c, int n, const char* const* v, sqlite3_vtab** t, char** e) { return SQLITE_ERROR; }
static sqlite3_module module = {1, no, no};
static void release(void* text) { FILE* f = fopen("released.log", "a"); fputs(text, f); fclose(f); }
int sqlite3_probe_init(sqlite3* db, char** e, const sqlite3_api_routines* a) {
  SQLITE_EXTENSION_INIT2(a); return sqlite3_create_module_v2(db, "probe", &module, "probe\n", release); }
int failing_init(sqlite3* db, char** e, const sqlite3_api_routines* a) {
  SQLITE_EXTENSION_INIT2(a); *e = sqlite3_mprintf("no start"); return SQLITE_ERROR; }
C
/usr/bin/python3 -c 'import zipfile
with zipfile.ZipFile("t.zip", "w") as z: [z.writestr(n + ".txt", n) for n in ("alpha", "beta", "gamma")]'
/usr/bin/python3 -c 'import xlwt
book = xlwt.Workbook(); sheet = book.add_sheet("towns")
for r, row in enumerate([("id", "name", "pop"), (1, "Ashby", 120), (2, "Brill", 340), (3, "Coln", 56)]):
    [sheet.write(r, c, value) for c, value in enumerate(row)]
book.save("t.xls")'
/usr/bin/python3 -c 'import json
towns = [(1, "Ashby", [1, 2]), (2, "Brill", [3, 4]), (3, "Coln", [5, 6])]
json.dump({"type": "FeatureCollection", "features": [{"type": "Feature", "properties": {"id": i, "name": name},
  "geometry": {"type": "Point", "coordinates": xy}} for i, name, xy in towns]}, open("t.geojson", "w"))'
SPATIALITE_SECURITY=relaxed /usr/bin/sqlite3 :memory: >"$work/log" 2>&1 <<'SQL' || true
SELECT load_extension('mod_spatialite');
SELECT InitSpatialMetadata(1);
CREATE TABLE roads (id INTEGER PRIMARY KEY, name TEXT);
SELECT AddGeometryColumn('roads', 'geom', 4326, 'LINESTRING', 'XY');
INSERT INTO roads VALUES (1, 'Mill Lane', GeomFromText('LINESTRING(0 0, 1 1)', 4326)),
  (2, 'Kiln Road', GeomFromText('LINESTRING(1 1, 2 0)', 4326)),
  (3, 'Quarry Way', GeomFromText('LINESTRING(2 0, 3 2)', 4326));
SELECT ExportSHP('roads', 'geom', 'roads', 'UTF-8');
SQL
[ -f roads.shp ] || { cat "$work/log"; echo "FAIL: spatialite made no shapefile"; exit 1; }
sha256sum -- * >"$work/before"

# Each client gets a fresh HOME; SANITIZER_PRELOAD (sanitizer builds) is preloaded into it alone.
client() { HOME=$(mktemp -d "$work/home.XXXXXX") LD_PRELOAD="${SANITIZER_PRELOAD:-}" "$@" >"$work/out" 2>&1 || true; }
check() {
  diff -u "$here/modules.expected" "$work/out" || { echo "FAIL: $1 differs from modules.expected"; exit 1; }
  [ "$(cat released.log)" = probe ] || { echo "FAIL: $1: probe's client data released $(wc -l <released.log) times"; exit 1; }
  rm released.log
}
if [ "${2:-}" = valgrind ]; then
  supp="$here/../../tests/valgrind"
  run=(valgrind --quiet --error-exitcode=3 --leak-check=full --errors-for-leak-kinds=definite --keep-debuginfo=yes
    --suppressions="$supp/glibc.supp" --suppressions="$supp/debian_modules.supp")
else
  run=(env ASAN_OPTIONS="${ASAN_OPTIONS:-}:fast_unwind_on_malloc=0"
    LSAN_OPTIONS="suppressions=$here/lsan.supp:print_suppressions=0")
fi
# The shell ends with a second connection that captures csvtable too, closed first.
{ cat "$here/modules.sql"; printf '%s\n' ".connection 1" ".load $extension" \
  "CREATE TEMP TABLE t AS SELECT quillmere_load('$lib/libsqlite3_mod_csvtable.so');" \
  "CREATE VIRTUAL TABLE two USING editable_csvtable('two.csv', 1, 0, ',');" \
  "UPDATE two SET name = 'two' WHERE id = '1';" ".connection 0" ".connection close 1"; } |
  client "${run[@]}" /usr/bin/sqlite3 -batch -cmd ".load $extension" :memory:
check "the shell's output${2:+ under $2}"
if [ "${2:-}" != valgrind ]; then
  # Python keeps much of what it allocates until the process ends.
  ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0" client /usr/bin/python3 "$here/modules_test.py" "$extension" \
    "$here/modules.sql"
  check "Python's output"
fi
# A home that cannot hold the history file: the extension loads and reads; writes and history calls say why not.
# Qt then goes with the extension at exit and leaves its locale codec behind, which only valgrind can name.
[ "${2:-}" = valgrind ] && homeless=("${run[@]}") || homeless=(env ASAN_OPTIONS="${ASAN_OPTIONS:-}:detect_leaks=0")
printf '%s\n' "CREATE VIRTUAL TABLE c USING editable_csv('t.csv');" "SELECT count(*) FROM c;" "DELETE FROM c;" \
  "SELECT ombrix_undo('c');" | { HOME=/nonexistent LD_PRELOAD="${SANITIZER_PRELOAD:-}" "${homeless[@]}" /usr/bin/sqlite3 \
  -cmd ".load $extension" :memory: >"$work/out" 2>&1 || true; }
printf '%s\n' 3 "Runtime error near line 3: cannot open the history database: HOME (/nonexistent) does not exist (14)" \
  "Runtime error near line 4: cannot open the history database: HOME (/nonexistent) does not exist (14)" |
  diff -u - "$work/out" || { echo "FAIL: without a usable home"; exit 1; }
sha256sum --quiet -c "$work/before" || { echo "FAIL: a file read through a module changed"; exit 1; }
