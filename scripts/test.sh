#!/usr/bin/env bash
# Sets up .venv and runs the whole test suite: the Python tests and the C++
# unit tests of the core logic.
set -euo pipefail
cd "$(dirname "$0")/.."
# The tests of the frame use its private probe module, built for them only.
# The dev group brings the test tools and CMake for the C++ unit tests.
KELVANE_PROBE=1 bash scripts/setup.sh dev
.venv/bin/cmake -S . -B build/core-tests -DKELVANE_CORE_TESTS=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
.venv/bin/cmake --build build/core-tests -j 2 >/dev/null
.venv/bin/ctest --test-dir build/core-tests --output-on-failure
.venv/bin/pytest -q tests
