"""The preprocessing record: building binnings, the registry lookups, applying
binnings (one value and batches) and dummy encodings."""
import asyncio
import copy
import gc
import inspect
import math
import random

import pydantic
import structlog
import pytest
import strawberry
from structlog.testing import capture_logs

from kelvane_analytics_utils.predictive_models.preparation import discretisation, preparation
from kelvane_analytics_utils.predictive_models.preparation.discretisation import (
    AttributeBinCategorical,
    AttributeBinning,
    AttributeBinNumerical,
    AttributeDataType,
    PredictiveModelBinName,
)
from kelvane_analytics_utils.predictive_models.preparation.preparation import (
    AttributePreprocessing,
    AttributePreprocessingType,
    PredictiveModelDummyEncoding,
    PredictiveModelDummyEncodingSingleValue,
)

INF = math.inf
NAMING_MESSAGE = (
    "Features created by dummy encoding in predictive model cannot be named the same as feature that is being "
    "encoded. This rule is broken for feature '{}'"
)


def numeric_binning(attribute="x", with_null=True, default=PredictiveModelBinName.SYSTEM_DEFAULT):
    bins = []
    if with_null:
        bins.append(AttributeBinNumerical(id=1, name="1_null", value=0.1))
    bins += [
        AttributeBinNumerical(id=2, lower_bound=-INF, upper_bound=10, value=1.0),
        AttributeBinNumerical(id=3, lower_bound=10, upper_bound=INF, value=2.0),
    ]
    if default is not None:
        bins.append(AttributeBinNumerical(id=0, name=default, value=9.0))
    return AttributeBinning(attribute=attribute, attribute_data_type="NUMERICAL", discretisation=bins)


def categorical_binning(attribute="c"):
    return AttributeBinning(
        attribute=attribute,
        attribute_data_type="CATEGORICAL",
        discretisation=[
            AttributeBinCategorical(id=1, name="1_null", value=0.5),
            AttributeBinCategorical(id=2, categories=["A", "B"], value=1.0),
            AttributeBinCategorical(id=0, name="0_default", value=3.0),
        ],
    )


def events(logs):
    return [(e["log_level"], e["event"]) for e in logs]


# ------------------------------------------------------------ declaration


def test_module_namespace_in_declaration_order():
    names = [n for n in vars(preparation) if not n.startswith("__")]
    assert names == [
        "List", "Optional", "Union", "Dict", "Any", "structlog", "strawberry", "model_validator",
        "AttributeBinning", "AttributeBinningType", "AttributeDataType", "PredictiveModelBinName",
        "AttributeTransformation", "AttributeTransformationType", "BaseModel", "logger",
        "PredictiveModelDummyEncodingSingleValue", "PredictiveModelDummyEncoding", "AttributePreprocessing",
        "AttributePreprocessingType",
    ]


def test_preprocessing_methods_and_docstrings():
    methods = [n for n in vars(AttributePreprocessing) if not n.startswith("_") and callable(getattr(AttributePreprocessing, n))]
    assert methods[:13] == [
        "get_transformation_formula", "add_reshaping", "add_discretisation", "get_discretisation",
        "apply_discretisation", "apply_discretisation_batch", "discretisation_exists",
        "get_all_transformation_attributes", "get_attributes_created_in_transformations",
        "get_all_binning_attributes", "get_attributes_created_in_binning", "get_all_dummy_enc_attributes",
        "apply_dummy_encoding",
    ]
    assert methods[13:] == ["apply_preprocessing"]
    assert str(inspect.signature(AttributePreprocessing.apply_preprocessing)) == (
        "(self, values: 'Dict[str, Any]') -> 'Dict[str, Any]'")
    assert AttributePreprocessing.apply_preprocessing.__doc__
    assert isinstance(inspect.getattr_static(AttributePreprocessing, "add_discretisation"), classmethod)
    assert inspect.signature(AttributePreprocessing.apply_discretisation_batch).return_annotation == "Optional[List[float]]"
    assert AttributePreprocessing.add_discretisation.__doc__.startswith(
        "Create objects with attribute binning from dictionary.\n\n:param attributes_binning:")
    assert "True if binning for given attribute exists" in AttributePreprocessing.discretisation_exists.__doc__


def test_each_record_owns_its_lists():
    a, b = AttributePreprocessing(), AttributePreprocessing()
    a.add_reshaping([{"attribute": "x", "transformation": "log(x)"}])
    assert len(a.transformations) == 1 and b.transformations == [] and AttributePreprocessing().transformations == []


# ------------------------------------------------------------ add_discretisation


def bins_of(binning):
    return [(b.id, b.name, b.value) for b in binning.discretisation]


def test_numerical_definition():
    (binning,) = AttributePreprocessing.add_discretisation({"x": {"dtype": "NUMERICAL", "bins": [-INF, 0, INF]}})
    assert binning.attribute == "x" and binning.attribute_data_type is AttributeDataType.NUMERICAL
    assert binning.binned_attribute_name is None
    assert bins_of(binning) == [(2, "2_(-inf;0)", None), (3, "3_(0;inf)", None), (1, "1_null", 0.0),
                                (0, "0_system_default", 0.0)]
    assert [(b.lower_bound, b.upper_bound) for b in binning.discretisation[:2]] == [(-INF, 0.0), (0.0, INF)]
    assert all(isinstance(b, AttributeBinNumerical) for b in binning.discretisation)
    assert [(b.frequency, b.target_rate) for b in binning.discretisation] == [(None, None)] * 3 + [(0.0, 0.0)]


def test_categorical_definition_with_everything():
    spec = {
        "dtype": AttributeDataType.CATEGORICAL, "binned_attribute_name": "c_bin",
        "bins": [["a", "b"], ["c"]], "bin_vals": [1, 2.5], "bin_frequencies": [0.3, 0.7],
        "bin_target_rates": [0.1, 0.2], "null_val": -1, "null_frequency": 0.05, "null_target_rate": 0.5,
    }
    (binning,) = AttributePreprocessing.add_discretisation({"c": spec})
    assert binning.binned_attribute_name == "c_bin"
    assert bins_of(binning) == [(2, "2_{a,b}", 1.0), (3, "3_{c}", 2.5), (1, "1_null", -1.0),
                                (0, "0_system_default", 0.0)]
    assert [b.categories for b in binning.discretisation] == [["a", "b"], ["c"], None, None]
    assert [(b.frequency, b.target_rate) for b in binning.discretisation] == [
        (0.3, 0.1), (0.7, 0.2), (0.05, 0.5), (0.0, 0.0)]


@pytest.mark.parametrize("default, name, value", [
    (5, "0_defined_default", 5.0),
    (0, "0_defined_default", 0.0),
    (None, "0_system_default", 0.0),
])
def test_default_bin(default, name, value):
    spec = {"dtype": "NUMERICAL", "bins": [0, 1]}
    if default is not None:
        spec["default"] = default
    (binning,) = AttributePreprocessing.add_discretisation({"x": spec})
    assert bins_of(binning)[-1] == (0, name, value)


@pytest.mark.parametrize("dtype", ["NUMERICAL", "CATEGORICAL"])
def test_empty_bins_give_only_reserved_bins(dtype):
    (binning,) = AttributePreprocessing.add_discretisation({"x": {"dtype": dtype, "bins": []}})
    assert [b.id for b in binning.discretisation] == [1, 0]


def test_several_attributes_in_mapping_order():
    result = AttributePreprocessing.add_discretisation({
        "b": {"dtype": "NUMERICAL", "bins": [0, 1, 2]},
        "a": {"dtype": "CATEGORICAL", "bins": [["u"]]},
    })
    assert [r.attribute for r in result] == ["b", "a"]
    assert [len(r.discretisation) for r in result] == [4, 3]


@pytest.mark.parametrize("spec, error", [
    ({"dtype": "NUMERICAL"}, KeyError),
    ({"dtype": "NUMERICAL", "bins": [0, 1, 2], "bin_vals": [1.0]}, IndexError),
    ({"dtype": "CATEGORICAL", "bins": [["a"], ["b"]], "bin_target_rates": [0.1]}, IndexError),
    ({"bins": [0, 1]}, pydantic.ValidationError),
    ({"dtype": "ORDINAL", "bins": [0, 1]}, pydantic.ValidationError),
])
def test_definition_failures(spec, error):
    good = {"dtype": "NUMERICAL", "bins": [0, 1]}
    with pytest.raises(error):
        AttributePreprocessing.add_discretisation({"good": good, "bad": spec})


# ------------------------------------------------------------ registry


def test_transformations():
    record = AttributePreprocessing()
    record.add_reshaping([
        {"attribute": "x", "transformation": "log(x)"},
        {"attribute": "y", "transformation": "y*2", "transformed_attribute_name": "y2"},
        {"attribute": "x", "transformation": "exp(x)", "transformed_attribute_name": "x"},
    ])
    assert record.get_transformation_formula("x") == "(log(x))"
    assert record.get_transformation_formula("z") == "z"
    assert record.get_all_transformation_attributes() == ["x", "y", "x"]
    assert record.get_attributes_created_in_transformations() == ["y2"]


def test_add_reshaping_failures_keep_earlier_elements():
    record = AttributePreprocessing()
    with pytest.raises(TypeError, match=r"AttributeTransformation\(\) argument after \*\* must be a mapping, not NoneType"):
        record.add_reshaping([{"attribute": "x", "transformation": "t"}, None])
    with pytest.raises(pydantic.ValidationError):
        record.add_reshaping([{"attribute": "y", "transformation": "t"}, {"attribute": "z"}])
    assert record.get_all_transformation_attributes() == ["x", "y"]


def test_binning_lookups_and_name_lists():
    first = numeric_binning("x")
    second = numeric_binning("x")
    created = AttributeBinning(attribute="y", attribute_data_type="NUMERICAL", binned_attribute_name="y_bin")
    same = AttributeBinning(attribute="z", attribute_data_type="NUMERICAL", binned_attribute_name="z")
    record = AttributePreprocessing(binning=[first, second, created, same])
    assert record.get_discretisation("x") is first
    assert record.get_discretisation("w") is None
    assert record.discretisation_exists("z") is True and record.discretisation_exists("w") is False
    assert record.get_all_binning_attributes() == ["x", "x", "y", "z"]
    assert record.get_attributes_created_in_binning() == ["y_bin"]


def test_dummy_feature_names():
    record = AttributePreprocessing(dummy_encoding=[
        {"attribute": "a", "encoding": [{"value": 1, "encoded_feature_name": "a_1"},
                                        {"value": 2, "encoded_feature_name": "a_2"}]},
        {"attribute": "b", "encoding": [{"value": "u", "encoded_feature_name": "b_u"}]},
    ])
    assert record.get_all_dummy_enc_attributes() == ["a_1", "a_2", "b_u"]


@pytest.mark.parametrize("call, message", [
    (lambda r: r.add_reshaping(None), "Argument 'transformations' has incorrect type (expected list, got NoneType)"),
    (lambda r: r.add_reshaping(({"attribute": "x", "transformation": "t"},)),
     "Argument 'transformations' has incorrect type (expected list, got tuple)"),
    (lambda r: AttributePreprocessing.add_discretisation([("x", {})]),
     "Argument 'attributes_binning' has incorrect type (expected dict, got list)"),
    (lambda r: r.apply_discretisation(None, 1.0), "Argument 'attribute' has incorrect type (expected str, got NoneType)"),
    (lambda r: r.apply_discretisation_batch("x", (1.0,)),
     "Argument 'attribute_values' has incorrect type (expected list, got tuple)"),
    (lambda r: r.apply_dummy_encoding(1, "a"), "Argument 'attribute' has incorrect type (expected str, got int)"),
    (lambda r: r.discretisation_exists(b"x"), "Argument 'attribute' has incorrect type (expected str, got bytes)"),
])
def test_argument_types_are_checked_first(call, message):
    record = AttributePreprocessing(binning=[numeric_binning("x")])
    before = record.model_dump()
    with capture_logs() as logs, pytest.raises(TypeError) as err:
        call(record)
    assert str(err.value) == message
    assert logs == [] and record.model_dump() == before


# ------------------------------------------------------------ applying binning


def test_apply_discretisation_values():
    record = AttributePreprocessing(binning=[numeric_binning("x"), categorical_binning("c"), numeric_binning("x", default=None)])
    with capture_logs() as logs:
        assert record.apply_discretisation("x", 10) == 1.0
        assert record.apply_discretisation("x", "10.0001") == 2.0
        assert record.apply_discretisation("x", None) == 0.1
        assert record.apply_discretisation("x", -INF) == 9.0
        assert record.apply_discretisation("c", "B") == 1.0
        assert record.apply_discretisation("c", "nan") == 0.5
        assert record.apply_discretisation("w", 1.0) is None
        assert record.apply_discretisation_batch("w", [1.0]) is None
    assert events(logs) == [("warning", "Predictive model hit default value when processing binning of attribute "
                                        "'x' with value '-inf'.")]


def wrapped(call):
    with pytest.raises(Exception) as err:
        call()
    return err.value


@pytest.mark.parametrize("batch", [False, True])
@pytest.mark.parametrize("attribute, value, kind, inner", [
    ("c", 3, TypeError, "Argument 'value' has incorrect type (expected str, got int)"),
    ("x", "ten", ValueError, "could not convert string to float: 'ten'"),
    ("x", 10 ** 400, OverflowError, "int too large to convert to float"),
])
def test_failures_are_rewrapped(batch, attribute, value, kind, inner):
    record = AttributePreprocessing(binning=[numeric_binning("x"), categorical_binning("c")])
    if batch:
        err = wrapped(lambda: record.apply_discretisation_batch(attribute, ["A" if attribute == "c" else 1.0, value, None]))
    else:
        err = wrapped(lambda: record.apply_discretisation(attribute, value))
    assert type(err) is kind
    assert str(err) == f"Binning attribute {attribute}: {inner}"
    assert type(err.__cause__) is kind and str(err.__cause__) == inner


def test_wrongly_typed_bin_value_is_rewrapped():
    binning = numeric_binning("x")
    binning.discretisation[1].value = 1   # assignment is not validated
    record = AttributePreprocessing(binning=[binning])
    err = wrapped(lambda: record.apply_discretisation("x", 5.0))
    assert type(err) is TypeError and str(err) == "Binning attribute x: Expected float, got int"
    assert str(err.__cause__) == "Expected float, got int"
    err = wrapped(lambda: record.apply_discretisation_batch("x", [20.0, 5.0]))
    assert str(err) == "Binning attribute x: Expected float, got int"


def test_interrupts_pass_unwrapped(monkeypatch):
    class Interrupting:
        def warning(self, event):
            raise KeyboardInterrupt(event)

    monkeypatch.setattr(discretisation, "logger", Interrupting())
    record = AttributePreprocessing(binning=[numeric_binning("x")])
    with pytest.raises(KeyboardInterrupt) as err:
        record.apply_discretisation_batch("x", [1.0, -INF])
    assert err.value.__cause__ is None


def test_exception_class_that_cannot_take_one_message():
    class Picky(Exception):
        def __init__(self, a, b):
            super().__init__(a, b)

    class Exploding:
        def __float__(self):
            raise Picky(1, 2)

    record = AttributePreprocessing(binning=[numeric_binning("x")])
    with pytest.raises(TypeError, match="missing 1 required positional argument") as err:
        record.apply_discretisation("x", Exploding())
    assert isinstance(err.value.__context__, Picky)


def test_data_type_that_is_neither():
    binning = numeric_binning("x")
    binning.attribute_data_type = "ORDINAL"
    record = AttributePreprocessing(binning=[binning])
    values = [1.0, "a"]
    assert record.apply_discretisation("x", 1.0) is None
    assert record.apply_discretisation_batch("x", values) is values


def test_batch_returns_a_new_list():
    record = AttributePreprocessing(binning=[numeric_binning("x"), categorical_binning("c")])
    values = []
    result = record.apply_discretisation_batch("x", values)
    assert result == [] and result is not values
    values = [5.0, 50.0]
    assert record.apply_discretisation_batch("x", values) == [1.0, 2.0] and values == [5.0, 50.0]


def per_value(record, attribute, values):
    """The batch's results and log events, built from single lookups."""
    binning = record.get_discretisation(attribute)
    method = (binning.bin_numeric_attribute if binning.attribute_data_type == "NUMERICAL"
              else binning.bin_categoric_attribute)
    with capture_logs() as logs:
        try:
            result = [method(v) for v in values]
        except Exception as ex:
            result = (type(ex), f"Binning attribute {attribute}: {ex}")
    return result, events(logs)


def singles(record, attribute, values):
    """apply_discretisation value by value: results (or failures) and log events."""
    out, logged = [], []
    for v in values:
        with capture_logs() as logs:
            try:
                out.append(record.apply_discretisation(attribute, v))
            except Exception as ex:
                out.append((type(ex), str(ex), type(ex.__cause__)))
        logged += events(logs)
    return out, logged


def expected_singles(record, attribute, values):
    binning = record.get_discretisation(attribute)
    method = (binning.bin_numeric_attribute if binning.attribute_data_type == "NUMERICAL"
              else binning.bin_categoric_attribute)
    out, logged = [], []
    for v in values:
        with capture_logs() as logs:
            try:
                out.append(method(v))
            except Exception as ex:
                out.append((type(ex), f"Binning attribute {attribute}: {ex}", type(ex)))
        logged += events(logs)
    return out, logged


def batch(record, attribute, values):
    with capture_logs() as logs:
        try:
            result = record.apply_discretisation_batch(attribute, values)
        except Exception as ex:
            result = (type(ex), str(ex))
    return result, events(logs)


def same(a, b):
    """Equal results, NaN standing for itself."""
    if isinstance(a, list) and isinstance(b, list):
        return len(a) == len(b) and all(x == y or (x != x and y != y) for x, y in zip(a, b))
    return a == b


def random_numeric_binnings(rng):
    edges = sorted(rng.sample(range(-50, 50), 6))
    bounds = [-INF] + [e / 4 for e in edges] + [INF]
    bins = [AttributeBinNumerical(id=i + 2, lower_bound=lo, upper_bound=hi, value=float(i))
            for i, (lo, hi) in enumerate(zip(bounds, bounds[1:]))]
    gappy = [b for b in bins if rng.random() < 0.7]
    overlapping = bins + [AttributeBinNumerical(id=20, lower_bound=-5, upper_bound=5, value=99.0)]
    rng.shuffle(overlapping)
    reserved = [AttributeBinNumerical(id=1, name="1_null", value=0.5),
                AttributeBinNumerical(id=0, name="0_defined_default", value=7.0),
                AttributeBinNumerical(id=0, name="0_default", value=8.0),
                AttributeBinNumerical(id=5, name="0_system_default", lower_bound=-INF, upper_bound=INF, value=6.0),
                AttributeBinCategorical(id=6, categories=["1"], value=4.0)]
    for regular in (bins, gappy, overlapping):
        mixed = regular + reserved
        rng.shuffle(mixed)
        yield mixed
    yield [b for b in bins if b.upper_bound != INF]            # no default, no null
    nan_bound = bins[:2] + [AttributeBinNumerical(id=9, lower_bound=math.nan, upper_bound=INF, value=3.0)] + bins[2:]
    yield nan_bound
    subclassed = list(bins)
    subclassed.insert(3, OpenBin(id=9, lower_bound=-1, upper_bound=1, value=11.0))
    yield subclassed + reserved


class OpenBin(AttributeBinNumerical):
    """A bin of another class: the lookups take it as a numerical bin."""


def random_values(rng, bins):
    edges = [b.lower_bound for b in bins if isinstance(b, AttributeBinNumerical) and b.lower_bound is not None]
    values = []
    for _ in range(400):
        pick = rng.random()
        if pick < 0.3 and edges:
            e = rng.choice(edges)
            values.append(rng.choice([e, math.nextafter(e, INF), math.nextafter(e, -INF)]))
        elif pick < 0.4:
            values.append(rng.choice([None, math.nan, -INF, INF, 0, -0.0, True, "2.5", " nan ", 10 ** 20]))
        elif pick < 0.5:
            values.append(rng.randint(-20, 20))
        else:
            values.append(rng.uniform(-20, 20))
    return values


@pytest.mark.parametrize("seed", range(8))
def test_numeric_batch_equals_single_lookups(seed):
    rng = random.Random(seed)
    for bins in random_numeric_binnings(rng):
        record = AttributePreprocessing(binning=[
            AttributeBinning(attribute="x", attribute_data_type="NUMERICAL", discretisation=bins)])
        values = random_values(rng, bins)
        expected = per_value(record, "x", values)
        got = batch(record, "x", values)
        assert same(got[0], expected[0]) and got[1] == expected[1]
        one_by_one = singles(record, "x", values)
        wanted = expected_singles(record, "x", values)
        assert same(one_by_one[0], wanted[0]) and one_by_one[1] == wanted[1]


def test_numeric_batch_with_bins_the_index_cannot_answer():
    bins = [AttributeBinNumerical(id=2, lower_bound=0, upper_bound=1, value=1.0),
            AttributeBinNumerical(id=3, lower_bound=1, upper_bound=2, value=2.0),
            AttributeBinNumerical(id=4, lower_bound=2, upper_bound=3, value=3.0),
            AttributeBinNumerical(id=0, name="0_default", value=0.0)]
    binning = AttributeBinning(attribute="x", attribute_data_type="NUMERICAL", discretisation=bins)
    record = AttributePreprocessing(binning=[binning])
    bins[1].upper_bound = None                       # reached only by values above 1
    bins[2].lower_bound = 2                          # an int bound, compared by the host
    for values in ([0.5, 1.0], [0.5, 1.5], [0.5, 2.5], [2.5], [-1.0, 0.25]):
        expected = per_value(record, "x", values)
        assert batch(record, "x", values) == expected
    assert batch(record, "x", [0.5, 1.5])[0] == (
        TypeError, "Binning attribute x: '<=' not supported between instances of 'float' and 'NoneType'")


@pytest.mark.parametrize("seed", range(4))
def test_categorical_batch_equals_single_lookups(seed):
    rng = random.Random(seed)
    cats = ["A", "B", "C", "D", "nan", "NaN", "é", "A"]
    bins = [AttributeBinCategorical(id=i + 2, categories=rng.sample(cats, 3), value=float(i)) for i in range(4)]
    bins += [AttributeBinCategorical(id=1, name="1_null", value=0.5),
             AttributeBinCategorical(id=0, name="0_default", categories=["Z"], value=3.0),
             AttributeBinNumerical(id=9, lower_bound=0, upper_bound=1, value=5.0)]
    rng.shuffle(bins)
    record = AttributePreprocessing(binning=[
        AttributeBinning(attribute="c", attribute_data_type="CATEGORICAL", discretisation=bins)])
    values = [rng.choice(cats + ["Z", "E", None, ""]) for _ in range(300)]
    assert batch(record, "c", values) == per_value(record, "c", values)
    assert singles(record, "c", values) == expected_singles(record, "c", values)
    bins[0].categories = None
    assert batch(record, "c", values) == per_value(record, "c", values)
    assert batch(record, "c", values + [1])[0][0] is TypeError


def reorder_fields(record):
    """The same record with its fields held in another order."""
    object.__setattr__(record, "__dict__", dict(reversed(list(record.__dict__.items()))))
    return record


def test_records_holding_their_fields_in_another_order():
    binnings = [numeric_binning("x"), categorical_binning("c")]
    record = AttributePreprocessing(binning=binnings, dummy_encoding=colour_record().dummy_encoding)
    before = (singles(record, "x", [5.0, 50.0, None, -INF]), singles(record, "c", ["A", "Q"]),
              batch(record, "x", [5.0, 50.0]), record.apply_dummy_encoding("colour", "red"),
              record.get_all_binning_attributes(), record.get_all_dummy_enc_attributes())
    for b in binnings:
        for bin_ in b.discretisation:
            reorder_fields(bin_)
        reorder_fields(b)
    for e in record.dummy_encoding:
        for single in e.encoding:
            reorder_fields(single)
        reorder_fields(e)
    reorder_fields(record)
    after = (singles(record, "x", [5.0, 50.0, None, -INF]), singles(record, "c", ["A", "Q"]),
             batch(record, "x", [5.0, 50.0]), record.apply_dummy_encoding("colour", "red"),
             record.get_all_binning_attributes(), record.get_all_dummy_enc_attributes())
    assert after == before


def test_changed_bins_are_seen_by_the_next_call():
    record = AttributePreprocessing(binning=[numeric_binning("x"), categorical_binning("c")])
    assert record.apply_discretisation("x", 5.0) == 1.0
    record.binning[0].discretisation[1].upper_bound = 4.0
    record.binning[0].discretisation[1].value = 7.5
    assert record.apply_discretisation("x", 3.0) == 7.5
    assert record.apply_discretisation_batch("x", [3.0, 5.0]) == [7.5, 9.0]
    record.binning[1].discretisation[1].categories.append("Q")
    assert record.apply_discretisation("c", "Q") == 1.0
    record.binning[0].attribute = "y"
    assert record.apply_discretisation("x", 3.0) is None and record.apply_discretisation("y", 3.0) == 7.5


def test_batch_uses_an_overridden_lookup():
    class Rounding(AttributeBinning):
        def bin_numeric_attribute(self, value):
            return 42.0

    binning = Rounding(attribute="x", attribute_data_type="NUMERICAL",
                       discretisation=[AttributeBinNumerical(id=2, lower_bound=0, upper_bound=1, value=1.0)])
    record = AttributePreprocessing(binning=[binning])
    assert record.apply_discretisation_batch("x", [0.5, 7.0]) == [42.0, 42.0]
    assert record.apply_discretisation("x", 0.5) == 42.0


# ------------------------------------------------------------ dummy encoding


def colour_record(marked=("blue",), extra=()):
    encoding = [
        {"value": "red", "encoded_feature_name": "colour_red", "use_for_undefined": "red" in marked},
        {"value": "blue", "encoded_feature_name": "colour_blue", "use_for_undefined": "blue" in marked},
        *extra,
    ]
    return AttributePreprocessing(dummy_encoding=[
        {"attribute": "colour", "encoding": encoding},
        {"attribute": "colour", "encoding": [{"value": "red", "encoded_feature_name": "other"}]},
    ])


@pytest.mark.parametrize("marked, value, dummies, logged", [
    (("blue",), "red", {"colour_red": 1, "colour_blue": 0}, []),
    (("blue",), "blue", {"colour_red": 0, "colour_blue": 1}, []),
    (("blue",), "green", {"colour_red": 0, "colour_blue": 1},
     [("info", "Dummy encoding for value 'green' of attribute 'colour' is not defined. "
                "Default value 'colour_blue' was assigned with 1.")]),
    (("red", "blue"), 1.5, {"colour_red": 0, "colour_blue": 1},
     [("info", "Dummy encoding for value '1.5' of attribute 'colour' is not defined. "
                "Default value 'colour_blue' was assigned with 1.")]),
    (("red",), "blue", {"colour_red": 0, "colour_blue": 1}, []),
    ((), None, {"colour_red": 0, "colour_blue": 0},
     [("warning", "Dummy encoding for value 'None' of attribute 'colour' is not defined and no default value "
                  "was assigned. All dummies for given attribute are assigned with 0.")]),
])
def test_dummy_fallback_rules(marked, value, dummies, logged):
    with capture_logs() as logs:
        result = colour_record(marked).apply_dummy_encoding("colour", value)
    assert result == dummies and list(result) == list(dummies)
    assert events(logs) == logged


def test_dummy_encoding_missing_and_empty():
    record = AttributePreprocessing(dummy_encoding=[{"attribute": "e", "encoding": []}])
    with capture_logs() as logs:
        assert record.apply_dummy_encoding("colour", "red") is None
        assert record.apply_dummy_encoding("e", "red") == {}
    assert events(logs) == [
        ("warning", "No dummy encoding for colour was found."),
        ("warning", "Dummy encoding for value 'red' of attribute 'e' is not defined and no default value was "
                    "assigned. All dummies for given attribute are assigned with 0."),
    ]


@pytest.mark.parametrize("value, hits", [
    (1, {"f_int", "f_float"}),
    (1.0, {"f_int", "f_float"}),
    (True, {"f_int", "f_float"}),
    ("1", {"f_text"}),
    (2, set()),
])
def test_dummy_matching_uses_host_equality(value, hits):
    record = AttributePreprocessing(dummy_encoding=[{"attribute": "a", "encoding": [
        {"value": 1, "encoded_feature_name": "f_int"},
        {"value": 1.0, "encoded_feature_name": "f_float"},
        {"value": "1", "encoded_feature_name": "f_text"},
    ]}])
    with capture_logs():
        result = record.apply_dummy_encoding("a", value)
    assert {k for k, v in result.items() if v == 1} == hits


def test_dummy_shared_feature_keeps_the_last_write():
    extra = ({"value": "green", "encoded_feature_name": "colour_red"},)
    result = colour_record(extra=extra).apply_dummy_encoding("colour", "red")
    assert result == {"colour_red": 0, "colour_blue": 0}


def test_dummy_results_are_fresh_and_follow_renamed_features():
    record = colour_record()
    first = record.apply_dummy_encoding("colour", "red")
    first["colour_red"] = 5
    first["extra"] = 1
    assert record.apply_dummy_encoding("colour", "red") == {"colour_red": 1, "colour_blue": 0}
    record.dummy_encoding[0].encoding[0].encoded_feature_name = "colour_rouge"
    assert record.apply_dummy_encoding("colour", "red") == {"colour_rouge": 1, "colour_blue": 0}
    record.dummy_encoding[0].encoding[0].value = "rouge"
    with capture_logs():
        assert record.apply_dummy_encoding("colour", "red") == {"colour_rouge": 0, "colour_blue": 1}
    record.dummy_encoding[0].encoding[0].encoded_feature_name = "colour_red"   # the names met first, again
    assert record.apply_dummy_encoding("colour", "rouge") == {"colour_red": 1, "colour_blue": 0}


def test_dummy_with_values_compared_by_the_host():
    class Loose:
        def __eq__(self, other):
            return other == "blue"

    record = colour_record()
    assert record.apply_dummy_encoding("colour", Loose()) == {"colour_red": 0, "colour_blue": 1}
    record.dummy_encoding[0].encoding[1].use_for_undefined = 1    # truthy, not a bool
    with capture_logs() as logs:
        assert record.apply_dummy_encoding("colour", "green") == {"colour_red": 0, "colour_blue": 1}
    assert events(logs)[0][0] == "info"


def test_dummy_comparison_failure_propagates_unlogged():
    class Unkind:
        def __eq__(self, other):
            raise ArithmeticError("no")

    with capture_logs() as logs, pytest.raises(ArithmeticError):
        colour_record().apply_dummy_encoding("colour", Unkind())
    assert logs == []


def test_dummy_events_go_through_the_current_logger(monkeypatch):
    seen = []

    class Recorder:
        def info(self, *args, **kwargs):
            seen.append(("info", args, kwargs))

        def warning(self, *args, **kwargs):
            seen.append(("warning", args, kwargs))

    monkeypatch.setattr(preparation, "logger", Recorder())
    colour_record().apply_dummy_encoding("colour", "green")
    AttributePreprocessing().apply_dummy_encoding("x", "green")
    assert [s[0] for s in seen] == ["info", "warning"]
    assert all(len(s[1]) == 1 and s[2] == {} for s in seen)


@pytest.mark.parametrize("encoding, ok", [
    ([{"value": "red", "encoded_feature_name": "colour_red"}], True),
    ([{"value": "red", "encoded_feature_name": "colour_red"}, {"value": "x", "encoded_feature_name": "colour"}], False),
])
def test_naming_validator(encoding, ok):
    if ok:
        record = PredictiveModelDummyEncoding(attribute="colour", encoding=encoding)
        assert isinstance(record.encoding[0], PredictiveModelDummyEncodingSingleValue)
        return
    with pytest.raises(pydantic.ValidationError) as err:
        PredictiveModelDummyEncoding(attribute="colour", encoding=encoding)
    assert NAMING_MESSAGE.format("colour") in str(err.value)
    with pytest.raises(pydantic.ValidationError):
        AttributePreprocessing.model_validate({"dummy_encoding": [{"attribute": "colour", "encoding": encoding}]})


# ------------------------------------------------------------ whole scoring record


ATTRIBUTES = ["a", "b", "c", "d"]


def loop_over_methods(record, values):
    """What apply_preprocessing stands for: the per-attribute methods in a loop."""
    if type(values) is not dict:
        raise TypeError(f"Argument 'values' has incorrect type (expected dict, got {type(values).__name__})")
    out, seen = {}, []
    for binning in record.binning:
        attribute = binning.attribute
        if any(attribute == s for s in seen):
            continue
        seen.append(attribute)
        name = binning.binned_attribute_name
        out[attribute if name is None else name] = record.apply_discretisation(attribute, values.get(attribute))
    seen = []
    for encoding in record.dummy_encoding:
        attribute = encoding.attribute
        if any(attribute == s for s in seen):
            continue
        seen.append(attribute)
        out.update(record.apply_dummy_encoding(attribute, values.get(attribute)))
    return out


class LastBinning(AttributePreprocessing):
    def get_discretisation(self, attribute):
        found = [b for b in self.binning if b.attribute == attribute]
        return found[-1] if found else None


def random_scoring_record(rng):
    spec = {}
    for attribute in rng.sample(ATTRIBUTES, rng.randint(1, 4)):
        if rng.random() < 0.6:
            edges = sorted(rng.sample(range(-20, 20), rng.randint(1, 6)))
            spec[attribute] = {"dtype": "NUMERICAL", "bins": [-INF] + edges + [INF]}
        else:
            spec[attribute] = {"dtype": "CATEGORICAL", "bins": [["A", "B"], ["C"], ["nan", "D"]]}
        spec[attribute]["bin_vals"] = [float(rng.randint(0, 9)) for _ in spec[attribute]["bins"]]
        spec[attribute]["binned_attribute_name"] = rng.choice([None, attribute, f"{attribute}_bin", "a", "d_one"])
        if rng.random() < 0.5:
            spec[attribute]["default"] = 5.0
    binning = AttributePreprocessing.add_discretisation(spec)
    binning += [copy.deepcopy(rng.choice(binning)) for _ in range(rng.randint(0, 2))]   # later duplicates
    rng.shuffle(binning)
    for b in binning:
        if rng.random() < 0.3:
            del b.discretisation[rng.choice([-1, -2])]   # no null or no default bin
    encodings = [{"attribute": rng.choice(ATTRIBUTES),
                  "encoding": [{"value": v, "encoded_feature_name": rng.choice(["d_one", "d_two", "b", "a_bin"]),
                                "use_for_undefined": rng.random() < 0.3}
                               for v in rng.sample(["A", "B", 1, 2.5, "nan"], rng.randint(0, 3))]}
                 for _ in range(rng.randint(0, 3))]
    encodings = [e for e in encodings if all(s["encoded_feature_name"] != e["attribute"] for s in e["encoding"])]
    cls = LastBinning if rng.random() < 0.15 else AttributePreprocessing
    return cls(binning=binning, dummy_encoding=encodings)


def mutate(record, rng):
    """One change a caller might make to a record (mutable, unvalidated fields)."""
    changes = []
    if record.binning:
        b = rng.choice(record.binning)
        bin_ = rng.choice(b.discretisation) if b.discretisation else None
        changes += [lambda: setattr(b, "attribute", rng.choice(ATTRIBUTES + [5])),
                    lambda: setattr(b, "binned_attribute_name", rng.choice([None, "a", "x_bin"])),
                    lambda: setattr(b, "attribute_data_type", rng.choice(["NUMERICAL", AttributeDataType.CATEGORICAL])),
                    lambda: setattr(b, "discretisation", tuple(b.discretisation)),
                    lambda: record.binning.reverse(),
                    lambda: record.binning.pop(0)]
        if bin_ is not None:
            changes += [lambda: setattr(bin_, "value", rng.choice([1.5, 3, None])),
                        lambda: setattr(bin_, "upper_bound", rng.choice([0.5, 30.0, "x", None]))
                        if isinstance(bin_, AttributeBinNumerical) else setattr(bin_, "categories", None),
                        lambda: setattr(bin_, "name", rng.choice(["1_null", "0_default", "z"]))]
    if record.dummy_encoding:
        e = rng.choice(record.dummy_encoding)
        changes += [lambda: setattr(e, "attribute", rng.choice(ATTRIBUTES)), lambda: record.dummy_encoding.pop()]
        if e.encoding:
            changes.append(lambda: setattr(rng.choice(e.encoding), "value", rng.choice(["C", 2, None])))
    changes.append(lambda: setattr(record, "binning", list(reversed(record.binning))))
    rng.choice(changes)()


class Recorder:
    """Stands in for both modules' loggers; may change the record at one event."""

    def __init__(self, record, at_event, seed):
        self.events, self.record, self.at_event, self.seed = [], record, at_event, seed

    def log(self, level, event):
        self.events.append((level, event))
        if len(self.events) == self.at_event:
            mutate(self.record, random.Random(self.seed))

    def warning(self, event):
        self.log("warning", event)

    def info(self, event):
        self.log("info", event)

    def debug(self, event):
        self.log("debug", event)


def outcome(run, record, values, at_event, seed, monkeypatch):
    recorder = Recorder(record, at_event, seed)
    monkeypatch.setattr(discretisation, "logger", recorder)
    monkeypatch.setattr(preparation, "logger", recorder)
    try:
        result = run(record, values)
    except Exception as ex:
        result = (type(ex), str(ex), type(ex.__cause__), str(ex.__cause__))
    return result, recorder.events


@pytest.mark.parametrize("seed", range(12))
def test_whole_record_equals_the_loop_over_the_methods(seed, monkeypatch):
    rng = random.Random(seed)
    pools = {"NUMERICAL": [None, math.nan, -INF, 0, 3, -7.5, 2.5, 19.0, True],
             "CATEGORICAL": [None, "A", "C", "nan", "Q"]}
    odd = [10 ** 400, "2", [1], 3, "A"]
    for _ in range(25):
        record = random_scoring_record(rng)
        kinds = {b.attribute: b.attribute_data_type for b in reversed(record.binning)}
        for _ in range(4):
            values = {a: rng.choice(pools.get(kinds.get(a), ["A"]) if rng.random() < 0.95 else odd)
                      for a in rng.sample(ATTRIBUTES, rng.randint(0, 4))}
            if rng.random() < 0.1:
                values[1] = "not an attribute"
            if rng.random() < 0.02:
                values = rng.choice([None, list(values.items())])
            given = copy.copy(values)
            at_event, mutation = rng.randint(0, 3), rng.random()
            twin = copy.deepcopy(record)
            got = outcome(AttributePreprocessing.apply_preprocessing, record, values, at_event, mutation, monkeypatch)
            wanted = outcome(loop_over_methods, twin, values, at_event, mutation, monkeypatch)
            assert got == wanted
            assert values == given
            if rng.random() < 0.5:
                m = rng.random()
                mutate(record, random.Random(m))
                mutate(twin, random.Random(m))


# ------------------------------------------------------------ GraphQL view


def test_view_through_a_schema():
    record = AttributePreprocessing(
        binning=AttributePreprocessing.add_discretisation({"x": {"dtype": "NUMERICAL", "bins": [0, 1]}}),
        dummy_encoding=[{"attribute": "a", "encoding": []}],
    )
    record.add_reshaping([{"attribute": "x", "transformation": "log(x)"}])

    @strawberry.type
    class Query:
        @strawberry.field
        def preparation(self) -> AttributePreprocessingType:
            return record

    schema = strawberry.Schema(query=Query)
    assert "dummyEncoding" not in str(schema)
    result = asyncio.run(schema.execute(
        "{ preparation { binning { attribute discretisation { ... on AttributeBinNumericalType { name } } } "
        "transformations { transformation } } }"))
    assert result.errors is None
    assert result.data["preparation"] == {
        "binning": [{"attribute": "x", "discretisation": [{"name": "2_(0;1)"}, {"name": "1_null"},
                                                          {"name": "0_system_default"}]}],
        "transformations": [{"transformation": "log(x)"}],
    }


def test_batch_result_is_never_reachable_with_empty_slots():
    # A log processor that walks every object the collector tracks runs while
    # the batch is being binned (each value hits the default bin and logs).
    def walk(logger, method, event):
        for o in gc.get_objects():
            if type(o) is list:
                [type(x) for x in o]
        raise structlog.DropEvent

    config = structlog.get_config()
    structlog.configure(processors=[walk])
    try:
        binning = AttributeBinning(attribute="a", attribute_data_type="NUMERICAL",
                                   discretisation=[AttributeBinNumerical(id=0, name="0_system_default", value=9.0)])
        assert AttributePreprocessing(binning=[binning]).apply_discretisation_batch("a", [5.0, 6.0]) == [9.0, 9.0]
    finally:
        structlog.configure(**config)
