"""Leak and thread guards of the hot methods: reference counts balanced over
many calls (hits, misses, caught errors), and readers that see the same
answers while another thread swaps the records' lists."""
import gc
import math
import sys
import threading

import pytest
import structlog
from structlog.testing import capture_logs

from kelvane_analytics_utils.predictive_models.preparation.discretisation import (
    AttributeBinCategorical as Cat,
    AttributeBinning,
    AttributeBinNumerical as Num,
)
from kelvane_analytics_utils.predictive_models.preparation.preparation import (
    AttributePreprocessing,
    PredictiveModelDummyEncoding,
    PredictiveModelDummyEncodingSingleValue as Single,
)
from kelvane_analytics_utils.predictive_models.preparation.reshaping import AttributeTransformation
from kelvane_analytics_utils.predictive_models.surveillance.surveillance import PredictiveModelMonitoring
from kelvane_analytics_utils.utils import dump, parse


def numeric():
    return AttributeBinning(attribute="x", attribute_data_type="NUMERICAL", discretisation=[
        Num(id=1, name="1_null", value=0.25), Num(id=2, lower_bound=-math.inf, upper_bound=10.0, value=1.5),
        Num(id=3, lower_bound=10.0, upper_bound=100.0, value=2.5), Num(id=0, name="0_default", value=9.5)])


def categorical():
    return AttributeBinning(attribute="c", attribute_data_type="CATEGORICAL", discretisation=[
        Cat(id=1, name="1_null", value=0.25), Cat(id=2, categories=["A", "B"], value=1.5),
        Cat(id=0, name="0_default", value=9.5)])


def preprocessing():
    return AttributePreprocessing(
        binning=[numeric(), categorical()],
        transformations=[AttributeTransformation(attribute="x", transformation="log(x)")],
        dummy_encoding=[PredictiveModelDummyEncoding(attribute="colour", encoding=[
            Single(value="red", encoded_feature_name="colour_red"),
            Single(value="blue", encoded_feature_name="colour_blue", use_for_undefined=True)])])


def _reachable(*roots, depth=3):
    """The roots and the objects their dicts, lists and fields hold, a few levels down."""
    seen, out, level = set(), [], list(roots)
    for _ in range(depth):
        nxt = []
        for o in level:
            if id(o) in seen or o is None or isinstance(o, (bool, type)):
                continue
            seen.add(id(o))
            out.append(o)
            if isinstance(o, (list, tuple)):
                nxt += o
            elif isinstance(o, dict):
                nxt += list(o.keys()) + list(o.values())
            elif hasattr(o, "__dict__"):
                nxt += list(vars(o).values())
        level = nxt
    return out


PREP = preprocessing()
BIG = 10 ** 40
TEXT = "x" + "y" * 3   # not interned
MONITORING = PredictiveModelMonitoring(binning=[numeric(), categorical()])
CALLS = {   # name: (method, argument tuples)
    "bin_numeric_attribute": (PREP.binning[0].bin_numeric_attribute, [(5.0,), (50,), ("7",), (None,), (1e9,), ("x",)]),
    "bin_categoric_attribute": (PREP.binning[1].bin_categoric_attribute, [("A",), ("Z",), (None,), (3,)]),
    "apply_discretisation": (PREP.apply_discretisation, [("x", 5.0), ("x", 1e9), ("x", "bad"), ("c", "B"), ("c", 3),
                                                         (TEXT, 1.0)]),
    "apply_discretisation_batch": (PREP.apply_discretisation_batch, [
        ("x", [5.0, 50.0, None, BIG]), ("c", ["A", "Z", None]), ("c", ["A", 3]), (TEXT, [])]),
    "apply_dummy_encoding": (PREP.apply_dummy_encoding, [("colour", "red"), ("colour", "green"), (TEXT, "red"),
                                                         ("colour", [1])]),
    "get_transformation_formula": (PREP.get_transformation_formula, [("x",), (TEXT,), (5,)]),
    "monitoring get_discretisation": (MONITORING.get_discretisation, [
        ("x", "NUMERICAL", 5.0), ("x", "NUMERICAL", 5), ("c", "CATEGORICAL", "A"), ("c", "CATEGORICAL", "Q")]),
    "parse_value": (parse.parse_value, [("'q'",), ("2.5",), ("7",), ("word",), (None,), (BIG,), (b"1",)]),
    "valid_dumps_yaml": (dump.valid_dumps_yaml, [({"a": [1.5, None], "b": {}},), (PREP.binning[0],), (object(),)]),
    "safe_dumps_json": (dump.safe_dumps_json, [({"a": [1.5, None]},), (PREP.binning[0],), ({1.5: object()},)]),
}


@pytest.mark.parametrize("name", CALLS)
def test_calls_leave_reference_counts_balanced(name):
    method, arguments = CALLS[name]
    watched = _reachable(PREP, MONITORING, BIG, TEXT, arguments)

    def run(times):
        with capture_logs():
            for _ in range(times):
                for args in arguments:
                    try:
                        method(*args)
                    except Exception:  # noqa: BLE001 - caught errors are part of the balance
                        pass
    run(3)
    gc.collect()
    before = [sys.getrefcount(o) for o in watched]
    run(500)
    gc.collect()
    assert [sys.getrefcount(o) for o in watched] == before


def test_readers_agree_with_single_threaded_answers_while_lists_are_swapped():
    prep, monitoring = preprocessing(), PredictiveModelMonitoring(binning=[numeric(), categorical()])
    queries = [lambda: prep.apply_discretisation("x", 50.0), lambda: prep.apply_discretisation("x", -1e9),
               lambda: prep.apply_discretisation_batch("x", [5.0, 500.0, None]),
               lambda: prep.apply_discretisation("c", "A"), lambda: prep.apply_dummy_encoding("colour", "green"),
               lambda: monitoring.get_discretisation("x", "NUMERICAL", 50.0).id,
               lambda: prep.get_transformation_formula("x")]
    config = structlog.get_config()
    structlog.configure(processors=[lambda *_: (_ for _ in ()).throw(structlog.DropEvent)])
    try:
        expected = [q() for q in queries]
        stop, failures = threading.Event(), []

        def writer():
            # Equal lists of other objects: the answers must not change.
            while not stop.is_set():
                prep.binning = [numeric(), categorical()]
                prep.binning[0].discretisation = list(prep.binning[0].discretisation)
                monitoring.binning = [numeric(), categorical()]
                prep.dummy_encoding = preprocessing().dummy_encoding

        def reader():
            for _ in range(300):
                got = [q() for q in queries]
                if got != expected:
                    failures.append(got)

        old = sys.getswitchinterval()
        sys.setswitchinterval(1e-6)
        threads = [threading.Thread(target=reader) for _ in range(8)]
        w = threading.Thread(target=writer)
        try:
            w.start()
            for t in threads:
                t.start()
            for t in threads:
                t.join()
        finally:
            stop.set()
            w.join()
            sys.setswitchinterval(old)
        assert failures == []
    finally:
        structlog.configure(**config)
