"""The package is typed: every extension module has a stub that mypy's stubtest
finds equal to the runtime, pyright knows the type of every public symbol, and
typed code using the package passes mypy --strict and pyright."""
import importlib.machinery
import importlib.util
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

import kelvane_analytics_utils

pytest.importorskip("mypy")

ROOT = Path(kelvane_analytics_utils.__file__).parent
HERE = Path(__file__).parent
PRIVATE = {"kelvane_analytics_utils._frame_probe"}


def extension_modules() -> list[Path]:
    """Every compiled module of the installed package, found on disk."""
    return sorted({path for suffix in importlib.machinery.EXTENSION_SUFFIXES for path in ROOT.rglob(f"*{suffix}")})


def dotted(path: Path) -> str:
    rel = path.relative_to(ROOT.parent)
    return ".".join(rel.parts[:-1] + (rel.name.split(".", 1)[0],))


PATHS = [p for p in extension_modules() if dotted(p) not in PRIVATE]
MODULES = [dotted(p) for p in PATHS]


def run(*args: str, env: dict[str, str] | None = None) -> subprocess.CompletedProcess:
    # Outside the source tree, so that the installed package (with its stubs
    # and py.typed) is what the checkers find.
    return subprocess.run(
        [sys.executable, "-m", *args], capture_output=True, text=True, cwd=HERE.parent / "build", env=env
    )


def typed_files() -> list[str]:
    return [str(HERE / "typed_usage.py"), *map(str, sorted((HERE.parent / "examples").glob("*.py")))]


@pytest.fixture(scope="module", autouse=True)
def build_dir():
    (HERE.parent / "build").mkdir(exist_ok=True)


def test_every_module_has_a_stub_and_the_package_is_typed():
    assert "kelvane_analytics_utils.utils.parse" in MODULES
    assert (ROOT / "py.typed").is_file()
    assert [p.name for p in PATHS if not p.with_name(p.name.split(".", 1)[0] + ".pyi").is_file()] == []


def test_stubs_match_the_runtime():
    result = run("mypy.stubtest", "--concise", "--allowlist", str(HERE / "stubtest_allowlist.txt"), *MODULES)
    assert result.returncode == 0, result.stdout + result.stderr


def test_typed_code_passes_mypy_strict():
    result = run("mypy", "--strict", "--no-incremental", *typed_files())
    assert result.returncode == 0, result.stdout + result.stderr
    subprocess.run([sys.executable, str(HERE / "typed_usage.py")], check=True)


needs_pyright = pytest.mark.skipif(
    importlib.util.find_spec("basedpyright") is None, reason="basedpyright (pyright with its runtime) is not installed"
)


def pyright(*args: str) -> subprocess.CompletedProcess:
    # pyright looks for the environment's packages through the `python` it finds
    # first on the path (--verifytypes takes no --pythonpath): this interpreter's.
    path = os.pathsep.join([str(Path(sys.executable).parent), os.environ.get("PATH", "")])
    return run("basedpyright", *args, env={**os.environ, "PATH": path})


@needs_pyright
def test_every_public_symbol_has_a_known_type():
    # Unknown types inside other packages are left out of the score: counted, they
    # bring it to about 74%, all of it from pydantic's model metaclass, graphql-core's
    # resolve info, ruamel.yaml's representer attributes and typeshed's numbers, which
    # leave some of their own types unknown. No symbol of this package is unknown.
    result = pyright("--verifytypes", "kelvane_analytics_utils", "--ignoreexternal", "--outputjson")
    output = json.loads(result.stdout)
    report = output["typeCompleteness"]
    unknown = {
        symbol["name"]: [d["message"] for d in symbol["diagnostics"] if d["severity"] == "error"]
        for symbol in report["symbols"]
        if not symbol["isTypeKnown"] or symbol["isTypeAmbiguous"]
    }
    assert unknown == {}
    assert report["completenessScore"] == 1, output["generalDiagnostics"]


@needs_pyright
def test_typed_code_passes_pyright(tmp_path):
    # Unneeded `type: ignore` comments are errors, as under mypy --strict: the
    # misspelt bin keyword of typed_usage.py must be an error for pyright too.
    config = tmp_path / "pyrightconfig.json"
    config.write_text(json.dumps({"typeCheckingMode": "standard", "reportUnnecessaryTypeIgnoreComment": "error"}))
    result = pyright("-p", str(config), *typed_files())
    assert result.returncode == 0, result.stdout + result.stderr
