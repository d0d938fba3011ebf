"""The package is typed: every extension module has a stub that mypy's stubtest
finds equal to the runtime, and typed code using the package passes mypy --strict."""
import importlib.machinery
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


def run(*args: str) -> subprocess.CompletedProcess:
    # Outside the source tree, so that the installed package (with its stubs
    # and py.typed) is what mypy finds.
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, cwd=HERE.parent / "build")


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
    files = [HERE / "typed_usage.py", *sorted((HERE.parent / "examples").glob("*.py"))]
    result = run("mypy", "--strict", "--no-incremental", *map(str, files))
    assert result.returncode == 0, result.stdout + result.stderr
    subprocess.run([sys.executable, str(HERE / "typed_usage.py")], check=True)
