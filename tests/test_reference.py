"""The reference stays true: every public class, method and function of the
stubs has a docstring, the examples in the docstrings run as written against the
installed modules, and the quick starts (page and README) show what they print."""
import ast
import doctest
import subprocess
import sys
from pathlib import Path

import pytest

import kelvane_analytics_utils

ROOT = Path(kelvane_analytics_utils.__file__).parent
STUBS = sorted(ROOT.rglob("*.pyi"))


def documented_nodes(tree: ast.Module):
    """(qualified name, node) of the module and of every public class and function in it."""
    yield "<module>", tree
    stack = [("", node) for node in tree.body]
    while stack:
        prefix, node = stack.pop(0)
        if isinstance(node, (ast.ClassDef, ast.FunctionDef, ast.AsyncFunctionDef)) and not node.name.startswith("_"):
            yield prefix + node.name, node
            if isinstance(node, ast.ClassDef):
                stack.extend((f"{prefix}{node.name}.", child) for child in node.body)


@pytest.mark.parametrize("stub", STUBS, ids=lambda p: str(p.relative_to(ROOT)))
def test_every_public_object_has_a_docstring(stub):
    tree = ast.parse(stub.read_text(), str(stub))
    assert [name for name, node in documented_nodes(tree) if not ast.get_docstring(node)] == []


@pytest.mark.parametrize("stub", STUBS, ids=lambda p: str(p.relative_to(ROOT)))
def test_docstring_examples_run(stub):
    tree = ast.parse(stub.read_text(), str(stub))
    parser, runner = doctest.DocTestParser(), doctest.DocTestRunner(verbose=False)
    for name, node in documented_nodes(tree):
        text = ast.get_docstring(node) or ""
        runner.run(parser.get_doctest(text, {}, f"{stub.name}:{name}", str(stub), getattr(node, "lineno", 0)))
    assert runner.summarize(verbose=False).failed == 0


def test_quick_starts_run_as_shown():
    repo = Path(__file__).resolve().parent.parent
    page, example = repo / "docs" / "quickstart.md", repo / "examples" / "quickstart.py"
    if not (page.is_file() and example.is_file()):
        pytest.skip("the quick start page and example are not beside the tests")
    text, code = page.read_text(), example.read_text()
    output = subprocess.run([sys.executable, str(example)], capture_output=True, text=True, check=True, cwd=repo).stdout
    assert f"```python\n{code.rstrip()}\n```" in text
    assert f"```text\n{output.rstrip()}\n```" in text
    # The README's short version prints what its last line's comment says.
    readme = (repo / "README.md").read_text()
    short = readme.split("```python\n", 1)[1].split("```", 1)[0]
    printed = subprocess.run([sys.executable, "-c", short], capture_output=True, text=True, check=True).stdout
    assert printed.strip() == short.rstrip().rsplit("# ", 1)[1]
