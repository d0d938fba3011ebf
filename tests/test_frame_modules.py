"""The module frame seen through the package's own modules (no private probe
needed, so these also run against an installed wheel): one shared library per
module, initialised once, and records read field by field."""
import importlib
import math
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import kelvane_analytics_utils

RESHAPING = "kelvane_analytics_utils.predictive_models.preparation.reshaping"
MODULES = {
    "scorebundle": "predictive_models/scorebundle",
    "content": "predictive_models/content",
    "discretisation": "predictive_models/preparation/discretisation",
    "preparation": "predictive_models/preparation/preparation",
    "reshaping": "predictive_models/preparation/reshaping",
    "dossier": "predictive_models/dossier/dossier",
    "census": "predictive_models/dossier/census",
    "surveillance": "predictive_models/surveillance/surveillance",
    "stability": "predictive_models/surveillance/stability",
    "scoring": "predictive_models/scoring",
    "yardstick": "predictive_models/yardstick/yardstick",
    "tally": "predictive_models/yardstick/tally",
    "dump": "utils/dump",
    "parse": "utils/parse",
}


def run_python(code: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True)


# ------------------------------------------------------------------ modules


def test_no_python_source_stands_at_a_module_path():
    root = Path(kelvane_analytics_utils.__file__).parent
    for rel in MODULES.values():
        assert not (root / f"{rel}.py").exists()
        assert not (root / f"{rel}.pyx").exists()


def test_module_is_a_shared_library_and_imports_once():
    first = importlib.import_module(RESHAPING)
    assert first.__file__.endswith(".so")
    assert importlib.import_module(RESHAPING) is first
    assert importlib.reload(first) is first
    assert first.AttributeTransformation is importlib.import_module(RESHAPING).AttributeTransformation


def test_reinitialisation_with_another_module_object_is_refused():
    module = importlib.import_module(RESHAPING)
    del sys.modules[RESHAPING]
    try:
        with pytest.raises(RuntimeError) as err:
            importlib.import_module(RESHAPING)
        assert str(err.value) == (
            "Module 'reshaping' has already been imported. Re-initialisation is not supported."
        )
    finally:
        sys.modules[RESHAPING] = module


def test_failed_initialisation_names_the_module_and_can_be_retried():
    out = run_python(f"""
        import sys, traceback
        sys.modules["kelvane_analytics_utils.utils.base_model"] = None   # make the import fail
        try:
            import {RESHAPING}
        except ImportError:
            text = traceback.format_exc()
            assert "init {RESHAPING}" in text, text
        else:
            raise SystemExit("import should have failed")
        assert "{RESHAPING}" not in sys.modules
        del sys.modules["kelvane_analytics_utils.utils.base_model"]
        import {RESHAPING} as r
        print(r.AttributeTransformation(attribute="a", transformation="b").attribute)
    """)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "a"


def test_reshaping_initialises_no_sibling_module():
    out = run_python(f"""
        import sys
        import {RESHAPING}
        print(sorted(m for m in sys.modules if m.startswith("kelvane_analytics_utils.") and "base_model" not in m))
    """)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == str(sorted([
        "kelvane_analytics_utils.predictive_models",
        "kelvane_analytics_utils.predictive_models.preparation",
        RESHAPING,
        "kelvane_analytics_utils.utils",
    ]))


def test_version_is_the_installed_distributions_and_other_names_still_fail():
    out = run_python("""
        import importlib.metadata, kelvane_analytics_utils as k
        assert k.__version__ == importlib.metadata.version("kelvane_analytics_utils"), k.__version__
        try:
            k.no_such_name
        except AttributeError as e:
            print(e)
        from kelvane_analytics_utils import utils   # subpackages still import by name
        print(utils.__name__)
    """)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == [
        "module 'kelvane_analytics_utils' has no attribute 'no_such_name'", "kelvane_analytics_utils.utils"]


# ------------------------------------------------------------------ direct field reading

def _numeric_binning():
    from kelvane_analytics_utils.predictive_models.preparation.preparation import AttributePreprocessing

    [binning] = AttributePreprocessing.add_discretisation(
        {"a": {"dtype": "NUMERICAL", "bins": [-math.inf, 1.0, 2.0, math.inf], "bin_vals": [10.0, 20.0, 30.0]}})
    return AttributePreprocessing(binning=[binning]), binning


def _reorder(record):
    items = list(record.__dict__.items())
    items.reverse()
    object.__setattr__(record, "__dict__", dict(items))


@pytest.mark.parametrize("value, expected", [(0.5, 10.0), (1.5, 20.0), (2.5, 30.0)])
def test_records_whose_dict_was_rebuilt_in_another_order_read_right(value, expected):
    record, binning = _numeric_binning()
    assert record.apply_discretisation("a", value) == expected   # learns the usual layout first
    for bin_ in binning.discretisation:
        _reorder(bin_)
    _reorder(binning)
    _reorder(record)
    assert binning.bin_numeric_attribute(value) == expected
    assert record.apply_discretisation("a", value) == expected
    assert record.apply_discretisation_batch("a", [value]) == [expected]


def test_subclass_records_are_read_by_attribute_access():
    from kelvane_analytics_utils.predictive_models.preparation.discretisation import AttributeBinNumerical

    class Shifted(AttributeBinNumerical):
        def __getattribute__(self, name):
            value = super().__getattribute__(name)
            return value + 100.0 if name == "value" else value

    record, binning = _numeric_binning()
    binning.discretisation[0] = Shifted(**binning.discretisation[0].model_dump())
    assert binning.bin_numeric_attribute(0.5) == 110.0
    assert record.apply_discretisation("a", 0.5) == 110.0
