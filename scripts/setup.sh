#!/usr/bin/env bash
# Creates .venv with CPython 3.13 and installs the package into it.
# Usage: scripts/setup.sh [extras]   e.g. scripts/setup.sh test
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
.venv/bin/python -m pip install -q "$target"
