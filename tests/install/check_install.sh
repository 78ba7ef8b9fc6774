#!/usr/bin/env bash
# Installs the build tree into a temporary prefix, checks that the library finds
# its neighbours through $ORIGIN and exports the C API and nothing else of ours,
# builds a C host against it with CMake's package and with pkg-config, and runs
# both without LD_LIBRARY_PATH.
set -euo pipefail
build="$1"
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset LD_LIBRARY_PATH
export HOME="$work/home"
mkdir -p "$HOME"

cmake --install "$build" --prefix "$work/prefix" >/dev/null
lib="$work/prefix/lib/libquillmere.so"
readelf -d "$lib" | grep -q 'RUNPATH.*\$ORIGIN' || { echo "no \$ORIGIN RUNPATH"; exit 1; }
exported=$(nm -D --defined-only "$lib" | awk '$2 ~ /[TDBRVW]/ {print $3}' | sort | xargs)
[ "$exported" = "quillmere_register_undoredo_functions wrapVirtualTableWithTransactions" ] || {
  echo "exported symbols differ from the C API: $exported"; exit 1; }

cmake -S "$here" -B "$work/cmake-host" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cmake-host" >/dev/null
"$work/cmake-host/installed_host"

export PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig"
cc "$here/host.c" -o "$work/pkg-host" $(pkg-config --cflags --libs quillmere) -Wl,-rpath,"$work/prefix/lib"
"$work/pkg-host"
