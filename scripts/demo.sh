#!/usr/bin/env bash
# The main job: installs what is missing (Debian's packages too), builds the
# extension, and runs the example session in the stock sqlite3 shell and in
# Debian's Python: a shapefile made with spatialite and a CSV read through
# csvtable, both edited, committed, undone and redone, and left unchanged.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bash "$root/scripts/setup.sh"
cmake -S "$root" -B "$root/build" >/dev/null
cmake --build "$root/build" -j"$(nproc)" --target quillmere_extension >/dev/null
bash "$root/scripts/demo_session.sh" "$root/build"
