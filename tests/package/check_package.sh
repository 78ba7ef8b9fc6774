#!/usr/bin/env bash
# Builds the Debian package, checks its files and dependencies, and runs its
# extension and libraries, unpacked into a temporary root, in sqlite3 and a C host.
set -euo pipefail
source_dir=$1 out=$2
command -v dpkg-deb >/dev/null || { echo "SKIP: dpkg-deb is missing"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export HOME="$work/home"
mkdir -p "$HOME"
unset LD_LIBRARY_PATH

bash "$source_dir/scripts/package.sh" "$out" >"$work/package.log" 2>&1 || { cat "$work/package.log"; exit 1; }
deb=$(tail -1 "$work/package.log")
lib=usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)

dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's|^\./||; /\/$/d; /^$/d' | sort >"$work/files"
sort >"$work/expected" <<END
usr/include/quillmere.h
$lib/cmake/quillmere/quillmereConfig.cmake
$lib/cmake/quillmere/quillmereConfigVersion.cmake
$lib/cmake/quillmere/quillmereTargets-none.cmake
$lib/cmake/quillmere/quillmereTargets.cmake
$lib/libquillmere.so
$lib/libquillmere.so.0
$lib/libquillmere.so.0.1.0
$lib/libquillmere_engine.so
$lib/libquillmere_engine.so.0
$lib/libquillmere_engine.so.0.1.0
$lib/pkgconfig/quillmere.pc
$lib/quillmere_extension.so
usr/share/doc/quillmere/README.md.gz
usr/share/doc/quillmere/changelog.gz
usr/share/doc/quillmere/copyright
END
diff -u "$work/expected" "$work/files"

depends=$(dpkg-deb -f "$deb" Depends)
for package in libqt5core5a libqt5sql5 libqt5sql5-sqlite libsqlite3-0 libcsv3 libshp2; do
  [[ ", $depends," == *", $package"[\ ,]* ]] || { echo "Depends lacks $package: $depends"; exit 1; }
done
[ "$(dpkg-deb -f "$deb" Recommends)" = sqlite3 ] || { echo "Recommends is not sqlite3"; exit 1; }
suggests=$(dpkg-deb -f "$deb" Suggests)
for package in libsqlite3-mod-spatialite libsqlite3-mod-csvtable; do
  [[ ", $suggests," == *", $package,"* ]] || { echo "Suggests lacks $package: $suggests"; exit 1; }
done
apt-get install --simulate "$deb" >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; exit 1; }

root="$work/root"
dpkg-deb -x "$deb" "$root"
for object in "$root/$lib"/*.so.*.* "$root/$lib/quillmere_extension.so"; do
  if readelf -d "$object" | grep -qE 'RPATH|RUNPATH'; then echo "$object has a run-time path"; exit 1; fi
done

# The extension in the stock shell: another extension loaded by its bare name, as
# load_extension takes it; an edit of a CSV file, undone; the file unchanged.
printf 'id,name\n1,Mill Lane\n2,Quarry Road\n' >"$work/roads.csv"
(cd "$work" && /usr/bin/sqlite3 -bail :memory: >"$work/shell.out" 2>&1) <<END || { cat "$work/shell.out"; exit 1; }
.load $root/$lib/quillmere_extension
SELECT quillmere_load('libsqlite3_mod_zipfile');
CREATE VIRTUAL TABLE roads USING editable_csv('roads.csv');
CREATE VIRTUAL TABLE file USING readonly_csv('roads.csv');
UPDATE roads SET name = 'Ring Road' WHERE id = 2;
SELECT group_concat(name, '/') FROM roads;
SELECT ombrix_undo('roads') IS NULL;
SELECT group_concat(name, '/') FROM roads;
SELECT group_concat(name, '/') FROM file;
END
printf 'editable_zipfile\nMill Lane/Ring Road\n1\nMill Lane/Quarry Road\nMill Lane/Quarry Road\n' | diff -u - "$work/shell.out"

# A C host built through the packaged .pc file and run on the packaged libraries.
export PKG_CONFIG_PATH="$root/$lib/pkgconfig" PKG_CONFIG_SYSROOT_DIR="$root"
cc "$source_dir/tests/install/host.c" -o "$work/host" $(pkg-config --cflags --libs quillmere)
LD_LIBRARY_PATH="$root/$lib" "$work/host"
