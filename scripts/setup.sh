#!/usr/bin/env bash
# Creates .venv with CPython 3.13 and installs the package into it.
# Usage: scripts/setup.sh [extras]   e.g. scripts/setup.sh test
# KELVANE_PROBE=1 also installs the private module the frame's tests use;
# KELVANE_WERROR=1 turns compiler warnings into errors.
set -euo pipefail
cd "$(dirname "$0")/.."

is_313() { "$1" -c 'import sys; raise SystemExit(sys.version_info[:2] != (3, 13))' >/dev/null 2>&1; }

find_python() {
    local candidate
    for candidate in "${PYTHON:-}" python3.13 "$HOME"/.pyenv/versions/3.13*/bin/python3.13 \
                     /usr/local/bin/python3.13 /usr/bin/python3.13 python3; do
        [ -n "$candidate" ] || continue
        if is_313 "$candidate"; then echo "$candidate"; return 0; fi
    done
    return 1
}

if [ ! -x .venv/bin/python ] || ! is_313 .venv/bin/python; then
    python=$(find_python) || { echo "CPython 3.13 was not found (set PYTHON=/path/to/python3.13)" >&2; exit 1; }
    rm -rf .venv
    "$python" -m venv .venv
fi
.venv/bin/python -m pip install -q --upgrade pip
target="."
[ -n "${1:-}" ] && target=".[$1]"
# The build takes a minute: show its progress (CMake's percentages), and the
# whole log when it fails.
echo "Building kelvane_analytics_utils into .venv (C++ extension modules; about a minute)..."
log=.venv/build.log
set +o pipefail
.venv/bin/python -m pip install -v "$target" 2>&1 | tee "$log" |
    awk '/^ *(\*\*\* |\[[0-9]+\/[0-9]+\] |\[ *[0-9]+%\] )/ { sub(/^ +/, ""); print "  " substr($0, 1, 110); fflush() }
         /^Successfully installed/ { print; fflush() }'
status=${PIPESTATUS[0]}
set -o pipefail
if [ "$status" -ne 0 ]; then
    tail -n 60 "$log" >&2
    echo "The build failed (full log: $log)" >&2
    exit "$status"
fi
