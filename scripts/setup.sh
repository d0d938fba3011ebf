#!/usr/bin/env bash
# Creates .venv with CPython 3.13 and installs the package into it.
# Usage: scripts/setup.sh [dependency group]   e.g. scripts/setup.sh test
# KELVANE_PROBE=1 also installs the private module the frame's tests use;
# KELVANE_WERROR=1 turns compiler warnings into errors.
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/venv.sh
make_venv .venv
group=()
[ -n "${1:-}" ] && group=(--group "$1")
# The build takes a minute: show its progress (CMake's percentages), and the
# whole log when it fails.
echo "Building kelvane_analytics_utils into .venv (C++ extension modules; about a minute)..."
log=.venv/build.log
set +o pipefail
.venv/bin/python -m pip install -v . "${group[@]}" 2>&1 | tee "$log" |
    awk '/^ *(\*\*\* |\[[0-9]+\/[0-9]+\] |\[ *[0-9]+%\] )/ { sub(/^ +/, ""); print "  " substr($0, 1, 110); fflush() }
         /^Successfully installed/ { print; fflush() }'
status=${PIPESTATUS[0]}
set -o pipefail
if [ "$status" -ne 0 ]; then
    tail -n 60 "$log" >&2
    echo "The build failed (full log: $log)" >&2
    exit "$status"
fi
