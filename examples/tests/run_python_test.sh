#!/usr/bin/env bash
# Runs the Python scenario with Debian's /usr/bin/python3, whose sqlite3 module
# can load extensions (the pyenv python3 cannot), and HOME at a fresh folder;
# skips where it is missing.
set -euo pipefail
python=/usr/bin/python3
[ -x $python ] || { echo "SKIP: $python is missing (Debian's python3 package)"; exit 77; }
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
# SANITIZER_PRELOAD, set in sanitizer builds, is preloaded into Python alone.
HOME="$home" LD_PRELOAD="${SANITIZER_PRELOAD:-}" $python "$(dirname "${BASH_SOURCE[0]}")/python_scenario.py" "$@"
