#!/usr/bin/env bash
# Builds the API reference into docs/api/ (HTML, not committed) with pdoc, from
# the package installed in .venv: pdoc imports the package, finds every public
# module in it by itself, and reads each compiled module's signatures and
# docstrings from the stub beside it. Warnings are errors (a stub pdoc cannot
# import, a stub member that does not match the module), except two kinds that
# say nothing about the package:
# - "Cannot determine where <record field> is taken from, assuming current
#   file": compiled classes have no Python source for pdoc to read, so it
#   places the fields declared by annotation only in the class itself, which
#   is where they are declared;
# - annotations of the ruamel.yaml representer's own methods, which
#   ValidRepresenter inherits: ruamel.yaml imports the typing names they use
#   only for type checkers, so they cannot be evaluated.
# Sets up .venv first when it is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
[ -x .venv/bin/python ] || bash scripts/setup.sh
.venv/bin/python -m pip install -q "pdoc>=16,<17"
rm -rf docs/api
annotation="Error parsing type annotation"
inherited="for kelvane_analytics_utils.utils.dump.ValidRepresenter."
# From inside docs/, so that the installed package is the one imported.
(cd docs && ../.venv/bin/python -W error \
    -W "ignore:Cannot determine where kelvane_analytics_utils." \
    -W "ignore:$annotation Any $inherited" \
    -W "ignore:$annotation Optional[Any] $inherited" \
    -W "ignore:$annotation Optional[int] for ruamel.yaml." \
    -W "ignore:$annotation List[Any] for ruamel.yaml." \
    -W "ignore:$annotation Dict[Any, Any] for ruamel.yaml." \
    -m pdoc --docformat google -o api kelvane_analytics_utils '!kelvane_analytics_utils._')
echo "API reference: docs/api/index.html ($(find docs/api -name '*.html' | wc -l) pages)"
