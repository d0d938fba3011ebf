"""Bin records, their generated names, the binning of one attribute and the
assignment of a raw value to its bin."""
import asyncio
import gc
import math
import random
import sys
from fractions import Fraction

import pydantic
import pytest
import strawberry
from structlog.testing import capture_logs

import plain_rules

from kelvane_analytics_utils.predictive_models.preparation import discretisation
from kelvane_analytics_utils.predictive_models.preparation.discretisation import (
    AttributeBinCategorical as Cat,
    AttributeBinning,
    AttributeBinningType,
    AttributeBinNumerical as Num,
    AttributeDataType,
    PredictiveModelBinName,
)

INF = math.inf
HIT = "Predictive model hit default value when processing binning of attribute '{}' with value '{}'."


def numeric(*bins, attribute="x"):
    return AttributeBinning(attribute=attribute, attribute_data_type="NUMERICAL", discretisation=list(bins))


def categorical(*bins, attribute="c"):
    return AttributeBinning(attribute=attribute, attribute_data_type="CATEGORICAL", discretisation=list(bins))


# ---------------------------------------------------------------- declarations


def test_namespace_order_and_enums():
    names = [n for n in vars(discretisation) if not n.startswith("__")]
    assert names == [
        "List", "Optional", "Union", "Any", "Literal", "cast", "get_args", "get_origin", "structlog",
        "strawberry", "Annotated", "math", "Field", "ABC", "Enum", "BaseModel", "logger", "AttributeDataType",
        "PredictiveModelBinName", "AbstractAttributeBin", "AttributeBinCategorical", "AttributeBinNumerical",
        "AttributeBin", "AbstractAttributeBinType", "AttributeBinCategoricalType", "AttributeBinNumericalType",
        "AttributeBinning", "AttributeBinningType",
    ]
    assert [m.value for m in PredictiveModelBinName] == ["0_default", "0_defined_default", "0_system_default", "1_null"]
    assert PredictiveModelBinName.NULL == "1_null" and PredictiveModelBinName.SYSTEM_DEFAULT == "0_system_default"
    assert AttributeDataType.NUMERICAL == "NUMERICAL"
    assert Cat.__doc__ == "\n    Class holds information about one bin of categorical attribute.\n\n    "
    assert list(Num(id=1, lower_bound=0, upper_bound=1).model_dump()) == [
        "name", "value", "frequency", "target_rate", "id", "type", "lower_bound", "upper_bound"]


# ---------------------------------------------------------------- generated names


@pytest.mark.parametrize("kwargs, name", [
    (dict(id=5, categories=["A", "B"]), "5_{A,B}"),
    (dict(id=5, categories=[]), "5_{}"),
    (dict(id=5), "5_{None}"),
    (dict(id=5, categories=None), "5_{None}"),
    (dict(id=5, name=None, categories=["A"]), "5_{A}"),
    (dict(id=5, categories=["x" * 24, "y" * 25]), "5_{" + "x" * 24 + "," + "y" * 25 + "}"),  # exactly 50
    (dict(id=5, categories=["x" * 25, "y" * 25]), "5_{" + "x" * 25 + "," + "y" * 21 + "...}"),
    (dict(id=5, categories=["é" * 60]), "5_{" + "é" * 47 + "...}"),                         # characters, not bytes
    (dict(id=7, name="1_null", categories=["A"]), "1_null"),
], ids=repr)
def test_categorical_names(kwargs, name):
    assert Cat(**kwargs).name == name


@pytest.mark.parametrize("lower, upper, name", [
    (-INF, 0.5, "3_(-inf;0.500)"),
    (0.5, INF, "3_(0.500;inf)"),
    (10, 20, "3_(10;20)"),
    (-INF, INF, "3_(-inf;inf)"),
    (0.01, 0.011, "3_(1.00E-02;0.011)"),
    (-2.5, 12.3456, "3_(-2.50E+00;12.346)"),
    (math.nan, 0.005, "3_(NAN;5.00E-03)"),
    (-0.0, 1e20, "3_(0;100000000000000000000)"),
])
def test_numerical_names(lower, upper, name):
    assert Num(id=3, lower_bound=lower, upper_bound=upper).name == name


def test_given_names_and_forced_type():
    assert Num(id=1, name="0_default", lower_bound=0, upper_bound=1).name == "0_default"
    assert Num(id=1, type="CATEGORICAL", lower_bound=0, upper_bound=1).type is AttributeDataType.NUMERICAL
    assert Cat(id=1, type="NUMERICAL", categories=["A"]).type is AttributeDataType.CATEGORICAL


@pytest.mark.parametrize("build, error", [
    (lambda: Cat(categories=["A"]), KeyError),
    (lambda: Num(lower_bound=0, upper_bound=1), KeyError),
    (lambda: Num(id=1, name=None, lower_bound=0, upper_bound=1), pydantic.ValidationError),
    (lambda: Num(id=1, lower_bound=0), pydantic.ValidationError),
    (lambda: Num(id=1, lower_bound="0", upper_bound=1), AttributeError),
    (lambda: Cat(id=1, categories=3), TypeError),
    (lambda: Cat(id=1, categories=[1, 2]), pydantic.ValidationError),
])
def test_construction_failures(build, error):
    with pytest.raises(error):
        build()


def test_binning_from_mappings():
    binning = AttributeBinning.model_validate({
        "attribute": "x", "attribute_data_type": "NUMERICAL",
        "discretisation": [
            {"type": "NUMERICAL", "id": 1, "lower_bound": -INF, "upper_bound": 2},
            {"type": "CATEGORICAL", "id": 2, "categories": ["A"]},
        ],
    })
    assert [(type(b), b.name) for b in binning.discretisation] == [(Num, "1_(-inf;2)"), (Cat, "2_{A}")]
    with pytest.raises(pydantic.ValidationError):
        AttributeBinning.model_validate({"attribute": "x", "attribute_data_type": "NUMERICAL",
                                         "discretisation": [{"id": 1, "lower_bound": 0, "upper_bound": 2}]})
    assert AttributeBinning(attribute="a", attribute_data_type="NUMERICAL").discretisation == []
    assert AttributeBinning(attribute="a", attribute_data_type="NUMERICAL").discretisation is not \
        AttributeBinning(attribute="a", attribute_data_type="NUMERICAL").discretisation


def test_number_formatting_matches_the_interpreter():
    rng = random.Random(11)
    values = [0.5, 0.01, 0.011, -2.5, 0.005, -0.0, 2.0 ** 63, -(2.0 ** 63), 9.2e18, 1e300, 5e-324, math.nan,
              -math.nan, 0.0105, 0.0095, 7, -3, 10 ** 30, True, Fraction(3, 2), Fraction(1, 1000)]
    values += [rng.uniform(-1, 1) * 10 ** rng.randint(-8, 22) for _ in range(3000)]
    values += [float(rng.randint(-10 ** 6, 10 ** 6)) / rng.choice([1, 2, 4, 8, 1000]) for _ in range(2000)]
    for v in values:
        assert Num._get_number_formatting(v) == plain_rules.number_formatting(v), v


# ---------------------------------------------------------------- numeric assignment


@pytest.fixture
def ages():
    return numeric(
        Num(id=1, name="1_null", value=0.1),
        Num(id=2, lower_bound=-INF, upper_bound=10, value=1.0),
        Num(id=3, lower_bound=10, upper_bound=INF, value=2.0),
        Num(id=4, name="0_system_default", value=9.0),
    )


class Floaty:
    def __float__(self):
        return 10.5


@pytest.mark.parametrize("value, expected, logged", [
    (10, 1.0, None), (10.0, 1.0, None), (10.0001, 2.0, None), ("10", 1.0, None), (" 10.5 ", 2.0, None),
    (b"3", 1.0, None), (Floaty(), 2.0, None), (True, 1.0, None), (None, 0.1, None), (math.nan, 0.1, None),
    ("nan", 0.1, None), (INF, 2.0, None), (-INF, 9.0, "-inf"), ("-inf", 9.0, "-inf"),
])
def test_numeric_bins(ages, value, expected, logged):
    with capture_logs() as logs:
        assert ages.bin_numeric_attribute(value) == expected
    assert logs == ([] if logged is None else [{"event": HIT.format("x", logged), "log_level": "warning"}])


@pytest.mark.parametrize("value, error", [("abc", ValueError), ([1], TypeError), (10 ** 400, OverflowError)])
def test_numeric_conversion_failures(ages, value, error):
    with capture_logs() as logs, pytest.raises(error):
        ages.bin_numeric_attribute(value)
    assert logs == []


@pytest.mark.parametrize("names, value, level", [
    (["0_system_default"], "7.0", "warning"),
    (["0_default", "0_system_default"], "7.0", "warning"),
    (["0_defined_default", "0_system_default"], "7.0", "debug"),
    ([], None, None),
])
def test_default_bins_and_their_log(names, value, level):
    bins = [Num(id=2, lower_bound=-INF, upper_bound=1, value=1.0)]
    bins += [Cat(id=10 + i, name=n, value=float(10 + i)) for i, n in enumerate(names)]
    binning = numeric(*bins, attribute="age")
    with capture_logs() as logs:
        result = binning.bin_numeric_attribute(7)
    if level is None:
        assert result is None and logs == []
    else:
        assert result == 10.0
        assert logs == [{"event": HIT.format("age", value), "log_level": level}]
    # Without a NULL bin a missing value goes to the default as nan.
    with capture_logs() as logs:
        binning.bin_numeric_attribute(None)
    assert [e["event"] for e in logs] == ([HIT.format("age", "nan")] if level else [])


@pytest.mark.parametrize("bad, value, message", [
    (dict(lower_bound=None, upper_bound=5), 3.0, "'<' not supported between instances of 'NoneType' and 'float'"),
    (dict(lower_bound=0.0, upper_bound=None), 3, "'<=' not supported between instances of 'float' and 'NoneType'"),
])
def test_none_bound_reached_before_a_match(bad, value, message):
    bad_bin = Num(id=1, name="bad", **bad)
    good = Num(id=2, lower_bound=0, upper_bound=5, value=1.0)
    with pytest.raises(TypeError) as err:
        numeric(bad_bin, good).bin_numeric_attribute(value)
    assert str(err.value) == message
    assert numeric(good, bad_bin).bin_numeric_attribute(value) == 1.0
    # A lower bound that already fails the test leaves the missing upper bound unread.
    assert numeric(Num(id=1, name="b", lower_bound=4.0, upper_bound=None), good).bin_numeric_attribute(3.0) == 1.0


def test_result_check():
    binning = numeric(Num(id=1, lower_bound=0, upper_bound=1, value=1.0))
    binning.discretisation[0].value = 1  # assignment is not validated
    with pytest.raises(TypeError, match="^Expected float, got int$"):
        binning.bin_numeric_attribute(0.5)


def outcome(call):
    with capture_logs() as logs:
        try:
            result = call()
        except Exception as e:  # noqa: BLE001 - the class and text are what is compared
            return type(e), str(e)
    return result, [(e["log_level"], e["event"]) for e in logs]


def test_assignment_matches_the_rules_on_random_binnings():
    rng = random.Random(5)
    edges = [-INF, -2, -0.5, 0, 1, 1.5, 3, INF, None]
    names = [None, None, None, "1_null", "0_default", "0_system_default", "0_defined_default"]
    for _ in range(400):
        bins = []
        for i in range(rng.randint(0, 6)):
            name = rng.choice(names)
            extra = {} if name is None else {"name": name}
            if rng.random() < 0.6:
                lo, hi = rng.choice(edges), rng.choice(edges)
                if name is None and (lo is None or hi is None):
                    extra["name"] = f"open{i}"
                bins.append(Num(id=i, lower_bound=lo, upper_bound=hi, value=float(i), **extra))
            else:
                cats = rng.choice([None, ["A"], ["B", "nan"], ["A", "C"], []])
                bins.append(Cat(id=i, categories=cats, value=float(i), **extra))
        binning = numeric(*bins)
        for v in [None, "nan", -INF, -2, -1.0, 0, 0.5, 1, 1.5, 3, 7, INF]:
            expected = outcome(lambda: plain_rules.bin_numeric(binning, v))
            assert outcome(lambda: binning.bin_numeric_attribute(v)) == expected, (bins, v)
        for v in [None, "nan", "A", "B", "C", "NaN", ""]:
            expected = outcome(lambda: plain_rules.bin_categoric(binning, v))
            assert outcome(lambda: binning.bin_categoric_attribute(v)) == expected, (bins, v)


def test_the_module_logger_is_looked_up_at_each_call(monkeypatch):
    calls = []

    class Recorder:
        def warning(self, event):
            calls.append(("warning", event))

        def debug(self, event):
            calls.append(("debug", event))

    monkeypatch.setattr(discretisation, "logger", Recorder())
    numeric(Num(id=1, name="0_defined_default", value=1.0), attribute="a").bin_numeric_attribute(3)
    categorical(Cat(id=1, name="0_default", value=1.0), attribute="b").bin_categoric_attribute("Z")
    assert calls == [("debug", HIT.format("a", "3.0")), ("warning", HIT.format("b", "Z"))]


class Shrinking:
    """A bound or category whose comparison empties the bin list and the
    categories under the scan."""

    def __init__(self, binning):
        self.binning = binning

    def _empty(self):
        for b in self.binning.discretisation:
            if isinstance(b, Cat) and b.categories:
                b.categories.clear()
        self.binning.discretisation.clear()

    def __lt__(self, other):
        self._empty()
        return True

    __gt__ = __lt__

    def __eq__(self, other):
        self._empty()
        return False

    __hash__ = object.__hash__


def mutable_binning():
    return numeric(Num(id=1, lower_bound=0, upper_bound=1, value=1.0), Num(id=2, lower_bound=1, upper_bound=5, value=2.0),
                   Cat(id=3, categories=["A"], value=3.0), Num(id=4, name="0_default", value=4.0))


@pytest.mark.parametrize("field, call, expected", [
    ("lower_bound", lambda b: b.bin_numeric_attribute(3.0), 2.0),
    ("upper_bound", lambda b: b.bin_numeric_attribute(3.0), TypeError),
    ("categories", lambda b: b.bin_categoric_attribute("A"), None),
])
def test_a_scan_survives_changes_made_by_a_comparison(field, call, expected):
    binning = mutable_binning()
    target = binning.discretisation[2 if field == "categories" else 1]
    setattr(target, field, [Shrinking(binning), "A"] if field == "categories" else Shrinking(binning))
    if expected is TypeError:
        with pytest.raises(TypeError):
            call(binning)
    else:
        assert call(binning) == expected


def test_bins_of_a_derived_class_count_as_their_kind():
    class Wide(Num):
        pass

    binning = mutable_binning()
    binning.discretisation.insert(0, Wide(id=9, lower_bound=2, upper_bound=200, value=9.0))
    assert binning.bin_numeric_attribute(3.0) == 9.0
    assert binning.bin_numeric_attribute(300.0) == 4.0
    assert binning.bin_categoric_attribute("A") == 3.0


def test_lookups_hold_no_references(ages):
    value = ages.discretisation[1].value
    gc.collect()   # garbage left by earlier tests may hold the same shared float
    before = sys.getrefcount(value), sys.getrefcount(None)
    with capture_logs():
        for v in [5, 5.0, "5", None, -INF] * 200:
            ages.bin_numeric_attribute(v)
    assert (sys.getrefcount(value), sys.getrefcount(None)) == before


# ---------------------------------------------------------------- categorical assignment


@pytest.fixture
def colours():
    return categorical(Cat(id=1, name="1_null", value=0.5), Cat(id=2, categories=["A", "B"], value=1.0),
                       Cat(id=3, name="0_default", value=3.0))


@pytest.mark.parametrize("value, expected, logged", [
    ("A", 1.0, False), ("C", 3.0, True), ("nan", 0.5, False), (None, 0.5, False), ("NaN", 3.0, True),
])
def test_categorical_bins(colours, value, expected, logged):
    with capture_logs() as logs:
        assert colours.bin_categoric_attribute(value) == expected
    assert logs == ([{"event": HIT.format("c", value), "log_level": "warning"}] if logged else [])


class Text(str):
    pass


@pytest.mark.parametrize("value, type_name", [(1, "int"), (1.5, "float"), (Text("A"), "Text"), (b"A", "bytes")])
def test_categorical_argument_check(colours, value, type_name):
    with pytest.raises(TypeError) as err:
        colours.bin_categoric_attribute(value)
    assert str(err.value) == f"Argument 'value' has incorrect type (expected str, got {type_name})"


def test_categories_none_reached_before_a_match():
    good = Cat(id=2, categories=["A"], value=1.0)
    with pytest.raises(TypeError, match="^argument of type 'NoneType' is not iterable$"):
        categorical(Cat(id=1, name="empty", categories=None), good).bin_categoric_attribute("A")
    assert categorical(good, Cat(id=1, name="empty")).bin_categoric_attribute("A") == 1.0


# ---------------------------------------------------------------- GraphQL


def test_views_through_a_schema():
    binning = numeric(
        Num(id=1, name="1_null", value=0.0),
        Num(id=2, lower_bound=0.25, upper_bound=-2.5, value=1.0),
        Cat(id=3, categories=["A"], value=2.0),
    )

    @strawberry.type
    class Query:
        @strawberry.field
        def binning(self) -> AttributeBinningType:
            return binning

    schema = strawberry.Schema(query=Query)
    result = asyncio.run(schema.execute("""{ binning { attribute discretisation {
        __typename
        ... on AttributeBinNumericalType { name type lowerBound formattedLowerBound formattedUpperBound }
        ... on AttributeBinCategoricalType { name type categories } } } }"""))
    assert result.errors is None
    assert result.data == {"binning": {"attribute": "x", "discretisation": [
        {"__typename": "AttributeBinNumericalType", "name": "1_null", "type": "NUMERICAL", "lowerBound": None,
         "formattedLowerBound": None, "formattedUpperBound": None},
        {"__typename": "AttributeBinNumericalType", "name": "2_(0.250;-2.50E+00)", "type": "NUMERICAL",
         "lowerBound": 0.25, "formattedLowerBound": "0.250", "formattedUpperBound": "-2.50E+00"},
        {"__typename": "AttributeBinCategoricalType", "name": "3_{A}", "type": "CATEGORICAL", "categories": ["A"]},
    ]}}
    printed = str(schema)
    assert "attributeDataType" not in printed and "binnedAttributeName" not in printed


def test_formatted_bounds_use_the_record_classes_own_formatting():
    class Percent(Num):
        @staticmethod
        def _get_number_formatting(number):
            return f"{number:.0%}"

    bin_ = Percent(id=2, lower_bound=0.25, upper_bound=0.5)
    view = discretisation.AttributeBinNumericalType
    assert asyncio.run(view.formatted_lower_bound(None, bin_)) == "25%"
    assert asyncio.run(view.formatted_upper_bound(None, Num(id=2, lower_bound=0.25, upper_bound=0.5))) == "0.500"
