"""Binning, preprocessing and monitoring lookups on generated binnings with
hostile bins, against the rules."""
import gc
import threading

from hypothesis import given, settings, strategies as st

from kelvane_analytics_utils.predictive_models.preparation.discretisation import (
    AttributeBinCategorical as Cat,
    AttributeBinning,
    AttributeBinNumerical as Num,
)
from kelvane_analytics_utils.predictive_models.preparation.preparation import AttributePreprocessing
from kelvane_analytics_utils.predictive_models.surveillance.surveillance import PredictiveModelMonitoring
import plain_rules as rules
from fuzz.conftest import EXAMPLES
from fuzz.common import PROCESSORS, FLOATS, INTS, RESERVED_TEXT, TEXT, Hostile, same

HOSTILE = st.sampled_from(Hostile.KINDS)
# A field value after construction: kept, a hostile subclass of its type, another type, or deleted.
TAMPER = st.sampled_from(["keep"] * 6 + ["hostile", "none", "other", "delete"])

bin_shape = st.fixed_dictionaries({
    "numeric": st.booleans(),
    "name": st.none() | RESERVED_TEXT | TEXT,
    "value": st.none() | FLOATS,
    "lower": FLOATS | st.integers(-3, 3),
    "upper": FLOATS | st.integers(-3, 3),
    "categories": st.none() | st.lists(st.sampled_from(["A", "B", "nan", ""]) | TEXT, max_size=4),
    "tamper": st.tuples(st.sampled_from(["name", "value", "lower_bound", "upper_bound", "categories"]), TAMPER,
                        HOSTILE),
})
NUMERIC_VALUES = st.none() | FLOATS | INTS | st.sampled_from(["nan", " 2.5 ", "inf", "x", b"1"]) | st.builds(list)
CATEGORIC_VALUES = st.none() | st.sampled_from(["A", "B", "nan", "NaN", ""]) | TEXT | INTS


def build(shapes, dtype):
    """A fresh binning of the shapes (records and hostile values made anew)."""
    bins = []
    for i, s in enumerate(shapes):
        extra = {} if s["name"] is None else {"name": s["name"]}
        if s["numeric"]:
            bins.append(Num(id=i, lower_bound=s["lower"], upper_bound=s["upper"], value=s["value"], **extra))
        else:
            bins.append(Cat(id=i, categories=s["categories"], value=s["value"], **extra))
    binning = AttributeBinning(attribute="x", attribute_data_type=dtype, discretisation=bins)
    hostile = Hostile(victim=binning.discretisation)
    for b, s in zip(bins, shapes):
        field, how, kind = s["tamper"]
        if how == "keep" or field not in type(b).model_fields:
            continue
        old = getattr(b, field)
        if how == "delete":
            del b.__dict__[field]
        elif how == "none":
            setattr(b, field, None)
        elif how == "other":
            setattr(b, field, {"name": 3, "value": 1, "lower_bound": "1", "upper_bound": 2 ** 70,
                               "categories": ("A",)}[field])
        elif isinstance(old, str):
            setattr(b, field, hostile.str(kind, old))
        elif isinstance(old, float):
            setattr(b, field, hostile.float(kind, old))
        elif isinstance(old, list):
            setattr(b, field, [hostile.str(kind, c) if isinstance(c, str) else c for c in old])
    return binning


@given(shapes=st.lists(bin_shape, max_size=6), dtype=st.sampled_from(["NUMERICAL", "CATEGORICAL", "NUMERICAL"]),
       numeric=st.lists(NUMERIC_VALUES, min_size=1, max_size=4),
       categoric=st.lists(CATEGORIC_VALUES, min_size=1, max_size=4))
def test_lookups_follow_the_rules(shapes, dtype, numeric, categoric):
    def fresh():
        return build(shapes, dtype)

    for v in numeric:
        same("bin_numeric_attribute", lambda: fresh().bin_numeric_attribute(v),
             lambda: rules.bin_numeric(fresh(), v))
        same("apply_discretisation", lambda: AttributePreprocessing(binning=[fresh()]).apply_discretisation("x", v),
             lambda: rules.apply_discretisation(AttributePreprocessing(binning=[fresh()]), "x", v))
        if isinstance(v, float) or v is None:
            b1, b2 = fresh(), fresh()
            r1, r2 = b1.discretisation[:], b2.discretisation[:]
            same("_get_numerical_bin", lambda: _named(PredictiveModelMonitoring._get_numerical_bin(b1, v), r1),
                 lambda: _named(rules.numerical_bin(b2, v), r2))
        m1, m2 = fresh(), fresh()
        r1 = m1.discretisation[:]
        r2 = m2.discretisation[:]
        got = same("monitoring get_discretisation",
                   lambda: _named(PredictiveModelMonitoring(binning=[m1]).get_discretisation("x", dtype, v), r1),
                   lambda: _named(rules.monitoring_discretisation(PredictiveModelMonitoring(binning=[m2]), "x", dtype,
                                                                  v), r2))
        del got
    for v in categoric:
        same("bin_categoric_attribute", lambda: fresh().bin_categoric_attribute(v),
             lambda: rules.bin_categoric(fresh(), v))
        c1, c2 = fresh(), fresh()
        r1, r2 = c1.discretisation[:], c2.discretisation[:]
        same("_get_categorical_bin", lambda: _named(PredictiveModelMonitoring._get_categorical_bin(c1, v), r1),
             lambda: _named(rules.categorical_bin(c2, v), r2))
    values = numeric if dtype == "NUMERICAL" else categoric
    same("apply_discretisation_batch",
         lambda: AttributePreprocessing(binning=[fresh()]).apply_discretisation_batch("x", list(values)),
         lambda: rules.apply_discretisation_batch(AttributePreprocessing(binning=[fresh()]), "x", list(values)))


def _named(record, bins):
    """A bin record as its position in the binning's original list."""
    if record is None:
        return None
    return next((i for i, b in enumerate(bins) if b is record), "other")


@given(number=FLOATS | INTS | st.sampled_from([True, False]), kind=HOSTILE)
def test_number_formatting_follows_the_rules(number, kind):
    same("_get_number_formatting", lambda: Num._get_number_formatting(number),
         lambda: rules.number_formatting(number))
    if isinstance(number, float):
        def hostile():
            return Hostile().float(kind, number)
        same("_get_number_formatting hostile", lambda: Num._get_number_formatting(hostile()),
             lambda: rules.number_formatting(hostile()))


def _walk_every_container(logger, method, event):
    """A log processor that touches every item of every container the collector tracks."""
    for o in gc.get_objects():
        if type(o) in (list, tuple, dict):
            for x in (o.values() if type(o) is dict else o):
                type(x)
    return event


@settings(max_examples=max(EXAMPLES // 50, 5))
@given(shapes=st.lists(bin_shape, max_size=4), numeric=st.lists(NUMERIC_VALUES, min_size=1, max_size=3),
       categoric=st.lists(CATEGORIC_VALUES, min_size=1, max_size=3), small_stack=st.booleans())
def test_lookups_survive_gc_walkers_and_small_stacks(shapes, numeric, categoric, small_stack):
    PROCESSORS.append(_walk_every_container)
    out = []

    def run():
        try:
            test_lookups_follow_the_rules.hypothesis.inner_test(shapes, "NUMERICAL", numeric, categoric)
        except BaseException as e:  # reported by the caller
            out.append(e)
    try:
        if small_stack:
            old = threading.stack_size(512 * 1024)
            try:
                t = threading.Thread(target=run)
                t.start()
                t.join()
            finally:
                threading.stack_size(old)
        else:
            run()
    finally:
        PROCESSORS.clear()
    if out:
        raise out[0]
