#!/usr/bin/env bash
# The main job: installs what is missing, builds, and runs the example session
# in the stock sqlite3 shell: reads, edits, a commit, an undo and a redo on a CSV
# file loaded through the extension, which leaves the file unchanged.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bash "$root/scripts/setup.sh"
cmake -S "$root" -B "$root/build" >/dev/null
cmake --build "$root/build" -j"$(nproc)" >/dev/null
bash "$root/scripts/demo_session.sh" "$root/build"
