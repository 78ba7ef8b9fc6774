#!/usr/bin/env bash
# Builds the Debian package quillmere_<version>_<arch>.deb into BUILD (default
# build-package/) with dpkg's own tools, from a build for /usr with Debian's flags.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=$(realpath -m "${1:-$root/build-package}")
bash "$root/scripts/setup.sh" build-essential cmake pkg-config \
  qtbase5-dev libqt5sql5-sqlite libsqlite3-dev libcsv-dev libshp-dev

# Debian's hardening flags; CMake reads no CPPFLAGS, so they join the compilers' flags.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
eval "$(cd "$root" && dpkg-buildflags --export=sh)"
export CFLAGS="$CFLAGS $CPPFLAGS" CXXFLAGS="$CXXFLAGS $CPPFLAGS"
cmake -S "$root" -B "$out" -DCMAKE_BUILD_TYPE=None -DCMAKE_INSTALL_PREFIX=/usr \
  -DQUILLMERE_TESTS=OFF -DQUILLMERE_BENCHMARKS=OFF >/dev/null
cmake --build "$out" -j"$(nproc)"

cd "$out"
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' CMakeCache.txt)
logged=$(dpkg-parsechangelog -l "$root/scripts/debian/changelog" -S Version)
if [ "$logged" != "$version" ]; then
  echo "package: scripts/debian/changelog ends at $logged, the project is at $version: add an entry" >&2
  exit 1
fi

# The package's tree where dpkg-shlibdeps, dpkg-gensymbols and dpkg-gencontrol look.
pkg=debian/quillmere
rm -rf debian && mkdir -p "$pkg/DEBIAN"
cp "$root/scripts/debian/control" "$root/scripts/debian/changelog" debian/
DESTDIR="$out/$pkg" cmake --install . >/dev/null
doc=$pkg/usr/share/doc/quillmere
mkdir -p "$doc"
# Documents over 4 kB are compressed, as Debian's policy asks.
cp "$root/scripts/debian/copyright" "$doc/"
gzip -9n -c "$root/README.md" >"$doc/README.md.gz"
gzip -9n -c debian/changelog >"$doc/changelog.gz"

# Stripped as Debian strips libraries; nothing in the package is executable.
objects=$(find "$pkg/usr/lib" -type f -name '*.so*')
strip --remove-section=.comment --remove-section=.note --strip-unneeded $objects
find "$pkg" -type d -exec chmod 0755 {} +
find "$pkg" -type f -exec chmod 0644 {} +

# The libraries' dependency information for packages that link them, then the
# package's own dependencies; the ldconfig trigger replaces maintainer scripts.
dpkg-gensymbols -pquillmere -P"$pkg" -v"$version" -c0 -q
sed -i '/^[^ *]/a * Build-Depends-Package: quillmere' "$pkg/DEBIAN/symbols"
printf 'libquillmere 0 quillmere (>= %s)\nlibquillmere_engine 0 quillmere (>= %s)\n' "$version" "$version" \
  >"$pkg/DEBIAN/shlibs"
echo "activate-noawait ldconfig" >"$pkg/DEBIAN/triggers"
dpkg-shlibdeps -xquillmere $objects
dpkg-gencontrol -pquillmere -P"$pkg" -v"$version"
(cd "$pkg" && find usr -type f -print0 | sort -z | xargs -0 md5sum >DEBIAN/md5sums)
chmod 0644 "$pkg"/DEBIAN/*

rm -f ./*.deb
dpkg-deb --root-owner-group -Zxz --build "$pkg" "quillmere_${version}_$(dpkg --print-architecture).deb" >/dev/null
ls "$out"/quillmere_*.deb
