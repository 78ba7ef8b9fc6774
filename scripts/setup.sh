#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build and test the project, or
# only the packages named as arguments. Idempotent: with all present it only checks.
set -euo pipefail

packages=("$@")
[ ${#packages[@]} -gt 0 ] || packages=(
  build-essential cmake pkg-config
  qtbase5-dev libqt5sql5-sqlite
  libsqlite3-dev sqlite3
  libcsv-dev libshp-dev
  libsqlite3-mod-csvtable libsqlite3-mod-zipfile libsqlite3-mod-spatialite spatialite-bin python3-xlwt
  libgtest-dev libgmock-dev googletest
  libbenchmark-dev
  clang libclang-rt-14-dev valgrind
  clang-format-14
  sqlitebrowser xvfb xdotool
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "setup: installing ${missing[*]}" >&2
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
