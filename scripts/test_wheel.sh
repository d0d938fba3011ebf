#!/usr/bin/env bash
# Tests a built wheel as a user gets it: installs it into a fresh virtual
# environment with its runtime dependencies and the test group only (wheels
# only, nothing is compiled), and runs the whole test suite against it from a
# copy of tests/, examples/, benchmarks/ and the docs pages outside the
# source tree, with no compiler,
# CMake or make on PATH. The private probe's tests are skipped (a wheel leaves
# the probe out). Everything is made in a temporary directory and removed.
# Usage: scripts/test_wheel.sh [wheel [pytest arguments]]   (default: dist/*.whl)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
wheel=$(realpath "${1:-$(echo dist/*.whl)}")
shift || true
[ -f "$wheel" ] || { echo "no wheel at $wheel (scripts/wheel.sh builds one)" >&2; exit 1; }
source scripts/venv.sh

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
make_venv "$work/venv" fresh

# Every tool of the system on PATH but compilers, assemblers, linkers and
# build tools.
mkdir "$work/bin"
for dir in /usr/local/bin /usr/bin /bin; do
    for tool in "$dir"/*; do
        name=${tool##*/}
        case $name in
            cc | c++ | cpp | c89 | c99 | gcc* | g++* | *-gcc* | *-g++* | clang* | *-clang* | cmake | ctest | cpack | \
                ccmake | ninja | make | gmake | ld | ld.* | *-ld | *-ld.* | as | *-as) continue ;;
        esac
        [ -e "$work/bin/$name" ] || ln -s "$tool" "$work/bin/$name"
    done
done
export PATH="$work/venv/bin:$work/bin"
for tool in cc c++ gcc g++ clang++ cmake ninja make; do
    if command -v "$tool" >/dev/null; then echo "$tool is on PATH: $(command -v "$tool")" >&2; exit 1; fi
done
echo "PATH has no cc, c++, gcc, g++, clang++, cmake, ninja or make"

echo "Installing $(basename "$wheel") with the runtime dependencies and the test group..."
python -m pip install -q --only-binary=:all: "$wheel" --group "$root/pyproject.toml:test"
cp -r "$root/tests" "$root/examples" "$root/benchmarks" "$root/docs" "$root/README.md" "$work/"
cd "$work"
python -c 'import kelvane_analytics_utils as k; print("testing", k.__version__, "installed at", k.__path__[0])'
python -m pytest -q -ra -p no:cacheprovider tests "$@"
