"""Fast paths give what the plain algorithm gives on subclassed, monkey-patched
and tampered records: a class changed after its records were first read, a
str subclass with its own equality, fields reassigned to other types."""
import asyncio

import pytest
from structlog.testing import capture_logs

from kelvane_analytics_utils.predictive_models.preparation.discretisation import (
    AttributeBinCategorical as Cat,
    AttributeBinning,
    AttributeBinNumerical as Num,
    AttributeBinNumericalType,
)
from kelvane_analytics_utils.predictive_models.preparation.preparation import (
    AttributePreprocessing,
    PredictiveModelDummyEncoding,
    PredictiveModelDummyEncodingSingleValue as Single,
)
from kelvane_analytics_utils.predictive_models.preparation.reshaping import AttributeTransformation
from kelvane_analytics_utils.predictive_models.surveillance.surveillance import PredictiveModelMonitoring
from kelvane_analytics_utils.utils.parse import StringFunctions, parse_value


class Touchy(str):
    """A str whose own equality must never be asked by a reserved-name test."""
    def __eq__(self, other):
        raise AssertionError("the name's own __eq__ ran")

    __hash__ = str.__hash__


class Counted(str):
    calls = 0

    def __eq__(self, other):
        Counted.calls += 1
        return str(self) == other

    __hash__ = str.__hash__


def binning(*bins, kind="NUMERICAL"):
    return AttributeBinning(attribute="x", attribute_data_type=kind, discretisation=list(bins))


def numeric_bins():
    touchy = Num(id=5, lower_bound=100.0, upper_bound=200.0, value=5.0)
    touchy.name = Touchy("5_(100;200)")
    return [touchy, Num(id=1, name="1_null", value=0.1), Num(id=2, lower_bound=0.0, upper_bound=10.0, value=1.0),
            Num(id=0, name="0_system_default", value=9.0)]


@pytest.mark.parametrize("value, expected", [(None, 0.1), (5.0, 1.0), (50.0, 9.0)])
def test_reserved_name_tests_ask_the_enum_member(value, expected):
    b = binning(*numeric_bins())
    assert b.bin_numeric_attribute(value) == expected
    assert AttributePreprocessing(binning=[b]).apply_discretisation("x", value) == expected
    assert AttributePreprocessing(binning=[b]).apply_discretisation_batch("x", [value]) == [expected]
    found = PredictiveModelMonitoring(binning=[b]).get_discretisation("x", "NUMERICAL", value)
    assert found.value == (5.0 if value == 150.0 else expected)


def _raise(*_):
    raise ZeroDivisionError("read")


@pytest.fixture(params=["class patched", "subclass"])
def bound_class(request, monkeypatch):
    """A numeric bin class whose upper_bound is read through a property that raises."""
    if request.param == "subclass":
        cls = type("Sub", (Num,), {})
        cls.upper_bound = property(_raise)
        return cls
    b = Num(id=9, lower_bound=0.0, upper_bound=1.0, value=1.0)
    binning(b).bin_numeric_attribute(0.5)   # the class's records were read before the change
    monkeypatch.setattr(Num, "upper_bound", property(_raise), raising=False)
    return Num


@pytest.mark.parametrize("value, raises", [(1.0, False), (7.0, True)])
def test_the_upper_bound_is_read_only_when_the_lower_test_holds(bound_class, value, raises):
    bins = [bound_class(id=2, lower_bound=5.0, upper_bound=10.0, value=1.0), Num(id=0, name="0_default", value=9.0)]
    calls = [lambda: binning(*bins).bin_numeric_attribute(value),
             lambda: AttributePreprocessing(binning=[binning(*bins)]).apply_discretisation("x", value)]
    for call in calls:
        if raises:
            with pytest.raises(ZeroDivisionError):
                call()
        else:
            call()


def test_records_of_a_class_given_a_property_later_are_read_through_it(monkeypatch):
    b = Num(id=2, lower_bound=0.0, upper_bound=1.0, value=1.0)
    prep = AttributePreprocessing(binning=[binning(b)])
    assert prep.apply_discretisation("x", 0.5) == 1.0   # learned before the change
    monkeypatch.setattr(Num, "value", property(lambda self: 4.0), raising=False)
    monkeypatch.setattr(Num, "lower_bound", property(lambda self: 0.25), raising=False)
    assert prep.apply_discretisation("x", 0.5) == 4.0
    assert prep.apply_discretisation_batch("x", [0.5, 0.1]) == [4.0, None]
    assert asyncio.run(_await(AttributeBinNumericalType.formatted_lower_bound(None, parent=b))) == "0.250"
    monkeypatch.setattr(AttributeBinning, "attribute", property(lambda self: "y"), raising=False)
    assert prep.apply_discretisation("x", 0.5) is None
    assert prep.get_discretisation("y") is prep.binning[0]
    monkeypatch.undo()
    monkeypatch.setattr(AttributeBinning, "__getattribute__",
                        lambda self, name: [] if name == "discretisation" else object.__getattribute__(self, name))
    assert prep.apply_discretisation("x", 0.5) is None
    assert PredictiveModelMonitoring(binning=prep.binning).get_discretisation("x", "NUMERICAL", 0.5) is None


async def _await(awaitable):
    return await awaitable


def test_a_monitoring_subclass_lookup_is_called():
    class Mine(PredictiveModelMonitoring):
        @staticmethod
        def _get_numerical_bin(binning, value):
            return ("mine", value)

    assert Mine(binning=[binning(*numeric_bins())]).get_discretisation("x", "NUMERICAL", 3) == ("mine", 3)


def test_every_transformation_is_compared():
    ts = [AttributeTransformation(attribute="a", transformation=t) for t in ("log(a)", "exp(a)")]
    for t in ts:
        t.attribute = Counted("a")
    Counted.calls = 0
    assert AttributePreprocessing(transformations=ts).get_transformation_formula("a") == "(log(a))"
    assert Counted.calls == 2


def test_dummy_fallback_message_is_joined_as_text():
    entry = Single(value="red", encoded_feature_name="colour_red", use_for_undefined=True)
    prep = AttributePreprocessing(dummy_encoding=[PredictiveModelDummyEncoding(attribute="colour", encoding=[entry])])
    entry.encoded_feature_name = 5
    with capture_logs() as logs, pytest.raises(TypeError, match="can only concatenate str"):
        prep.apply_dummy_encoding("colour", "green")
    assert logs == []


def test_quote_rules_are_asked_of_the_class_that_now_answers_them(monkeypatch):
    class Always(StringFunctions):
        @classmethod
        def _has_quotes(cls, val):
            return True

    assert Always._remove_quotes("") == "" and Always._remove_quotes("ab") == ""
    monkeypatch.setattr(StringFunctions, "_has_quotes", classmethod(lambda cls, val: val.startswith("<")))
    assert parse_value("<7>") == "7" and parse_value("'7'") == "'7'"
    assert StringFunctions._remove_quotes("<a>") == "a" and StringFunctions._strip_quotes("<<a>>") == "a"
