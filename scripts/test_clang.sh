#!/usr/bin/env bash
# Builds the package with Clang against libc++ (the standard library macOS
# ships; warnings are errors) into its own venv (.venv-clang) and runs the C++
# unit tests and the whole test suite on that build. Needs clang++ and the
# libc++ headers and libraries (Debian: clang, libc++-dev, libc++abi-dev).
# Usage: scripts/test_clang.sh [pytest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
mkdir -p build
cxx=clang++
flags="-stdlib=libc++"
echo '#include <vector>
int main() { return static_cast<int>(std::vector<int>{}.size()); }' > build/libcxx-check.cpp
"$cxx" $flags build/libcxx-check.cpp -o build/libcxx-check 2>/dev/null ||
    { echo "$cxx cannot build against libc++ (Debian: apt-get install clang libc++-dev libc++abi-dev)" >&2; exit 1; }

source scripts/venv.sh
make_venv .venv-clang
log=build/clang.log
echo "Building kelvane_analytics_utils with $cxx and libc++ into .venv-clang..."
# The build tools live in the venv (no isolated build environment to make on every run).
.venv-clang/bin/python -m pip install -q --group build --group test > "$log" 2>&1 ||
    { tail -n 60 "$log" >&2; exit 1; }
PATH="$PWD/.venv-clang/bin:$PATH" CXX="$cxx" KELVANE_PROBE=1 KELVANE_WERROR=1 \
    .venv-clang/bin/python -m pip install -q --no-build-isolation \
    --config-settings=build-dir=build/clang-libcxx \
    "--config-settings=cmake.define.CMAKE_CXX_FLAGS=$flags" . >> "$log" 2>&1 ||
    { tail -n 60 "$log" >&2; echo "The build failed (full log: $log)" >&2; exit 1; }
# The modules must really link libc++ (not the system's libstdc++).
module=$(.venv-clang/bin/python -c 'import kelvane_analytics_utils.utils.parse as m; print(m.__file__)')
case "$(ldd "$module")" in
    *libc++.so*) ;;
    *) echo "$module is not linked with libc++" >&2; exit 1 ;;
esac

.venv-clang/bin/cmake -S . -B build/clang-core-tests -DKELVANE_CORE_TESTS=ON -DKELVANE_WERROR=ON \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER="$cxx" "-DCMAKE_CXX_FLAGS=$flags" >> "$log"
.venv-clang/bin/cmake --build build/clang-core-tests -j 2 >> "$log"
.venv-clang/bin/ctest --test-dir build/clang-core-tests --output-on-failure
.venv-clang/bin/python -m pytest -q -p no:cacheprovider tests "$@"
