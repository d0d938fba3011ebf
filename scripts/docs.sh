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
.venv/bin/python -m pip install -q --group docs
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
    - <<'EOF'
# pdoc lists the members of a module by their __module__, or by the module's
# source. Compiled modules have no source, and the GraphQL view types that
# strawberry.experimental.pydantic.type makes carry strawberry's module, so
# each compiled module is given, in this process only, an __all__ with the
# public classes and functions of its stub, in the stub's order.
import ast, importlib, pathlib, sys

import pdoc.__main__

import kelvane_analytics_utils

root = pathlib.Path(kelvane_analytics_utils.__file__).parent
for stub in sorted(root.rglob("*.pyi")):
    dotted = ".".join(stub.relative_to(root.parent).with_suffix("").parts)
    names = [node.name for node in ast.parse(stub.read_text()).body if isinstance(node, (ast.ClassDef, ast.FunctionDef))]
    importlib.import_module(dotted).__all__ = [name for name in names if not name.startswith("_")]
sys.argv = ["pdoc", "--docformat", "google", "--no-show-source", "-o", "api", "kelvane_analytics_utils", "!kelvane_analytics_utils._"]
pdoc.__main__.cli()
EOF
)
echo "API reference: docs/api/index.html ($(find docs/api -name '*.html' | wc -l) pages)"
