#!/usr/bin/env bash
# Builds the API reference into docs/api/ (HTML, not committed) with pdoc, from
# the package installed in .venv: pdoc imports every module, finds the compiled
# ones by itself and reads their signatures and docstrings from the stub beside
# each. Any warning (a stub it cannot read, a docstring it cannot place) fails
# the build. Sets up .venv first when it is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
[ -x .venv/bin/python ] || bash scripts/setup.sh
.venv/bin/python -m pip install -q "pdoc>=16,<17"
rm -rf docs/api
# Run from outside the source tree so that the installed package is the one read.
(cd docs && ../.venv/bin/python -W error -m pdoc --docformat google -o api \
    kelvane_analytics_utils '!kelvane_analytics_utils._')
echo "API reference: docs/api/index.html ($(find docs/api -name '*.html' | wc -l) pages)"
