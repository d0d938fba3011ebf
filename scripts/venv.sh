# Sourced by the scripts: CPython 3.13 and virtual environments made with it.
#   make_venv DIR [fresh]   a venv at DIR with pip >= 25.1 (which installs
#                           dependency groups); an existing one is kept unless
#                           it is not CPython 3.13 or "fresh" is given.
# The interpreter is $PYTHON, python3.13 on PATH, or one under ~/.pyenv or
# /usr; the message says so when none is found.

is_313() { "$1" -c 'import sys; raise SystemExit(sys.version_info[:2] != (3, 13))' >/dev/null 2>&1; }

find_python() {
    local candidate
    for candidate in "${PYTHON:-}" python3.13 "$HOME"/.pyenv/versions/3.13*/bin/python3.13 \
                     /usr/local/bin/python3.13 /usr/bin/python3.13 python3; do
        [ -n "$candidate" ] || continue
        if is_313 "$candidate"; then echo "$candidate"; return 0; fi
    done
    echo "CPython 3.13 was not found (set PYTHON=/path/to/python3.13)" >&2
    return 1
}

make_venv() {
    local dir=$1 fresh=${2:-} python
    if [ -n "$fresh" ] || [ ! -x "$dir/bin/python" ] || ! is_313 "$dir/bin/python"; then
        python=$(find_python) || return 1
        rm -rf "$dir"
        "$python" -m venv "$dir"
    fi
    "$dir/bin/python" -m pip install -q --upgrade "pip>=25.1"
}
