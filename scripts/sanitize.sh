#!/usr/bin/env bash
# Builds the package with AddressSanitizer and UndefinedBehaviorSanitizer into
# its own venv (.venv-san) and runs the whole test suite under them; any
# sanitizer report fails the run. The interpreter's own allocator is set to
# malloc so that every object goes through the sanitizer's allocator, the
# runtimes are preloaded (the interpreter itself is not instrumented), and
# leak detection is off (the interpreter keeps memory to its exit on purpose).
# The build is optimised lightly (-O1, line tables only): the sanitizers see
# the same code paths, and CI spends a minute less compiling.
# Usage: scripts/sanitize.sh [pytest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
mkdir -p build

source scripts/venv.sh
make_venv .venv-san

flags="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined"
echo "Building kelvane_analytics_utils with sanitizers into .venv-san..."
# The build tools live in the venv (no isolated build environment to make on every run).
.venv-san/bin/python -m pip install -q --group build \
    > build/sanitize.log 2>&1 || { tail -n 60 build/sanitize.log >&2; exit 1; }
PATH="$PWD/.venv-san/bin:$PATH" KELVANE_PROBE=1 .venv-san/bin/python -m pip install -q --no-build-isolation \
    --config-settings=build-dir=build/sanitize \
    --config-settings=cmake.build-type=RelWithDebInfo \
    "--config-settings=cmake.define.CMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG" \
    "--config-settings=cmake.define.CMAKE_CXX_FLAGS=$flags" \
    "--config-settings=cmake.define.CMAKE_SHARED_LINKER_FLAGS=-fsanitize=address,undefined" \
    . --group test >> build/sanitize.log 2>&1 || { tail -n 60 build/sanitize.log >&2; exit 1; }

cxx=$(.venv-san/bin/python -c 'import sysconfig; print((sysconfig.get_config_var("CXX") or "c++").split()[0])')
command -v "$cxx" >/dev/null || cxx=c++
runtimes="$("$cxx" -print-file-name=libasan.so):$("$cxx" -print-file-name=libubsan.so)"
reports=build/sanitizer-reports
rm -rf "$reports" && mkdir -p "$reports"
export LD_PRELOAD="$runtimes" PYTHONMALLOC=malloc
export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=1:log_path=$PWD/$reports/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$PWD/$reports/ubsan"
status=0
.venv-san/bin/python -m pytest -q -p no:cacheprovider tests "$@" || status=$?
unset LD_PRELOAD
if compgen -G "$reports/*" >/dev/null; then
    echo "sanitizer reports:" >&2
    cat "$reports"/* >&2
    exit 1
fi
exit $status
