"""Monitoring binnings and the lookup of the bin record a value falls in."""
import asyncio
import math

import pytest
import strawberry
from structlog.testing import capture_logs

from kelvane_analytics_utils.predictive_models.preparation.discretisation import (
    AttributeBinCategorical as Cat,
    AttributeBinning,
    AttributeBinNumerical as Num,
    AttributeDataType,
)
from kelvane_analytics_utils.predictive_models.surveillance import surveillance
from kelvane_analytics_utils.predictive_models.surveillance.surveillance import (
    PredictiveModelMonitoring,
    PredictiveModelMonitoringType,
)

INF = math.inf
NUMERICAL, CATEGORICAL = AttributeDataType.NUMERICAL, AttributeDataType.CATEGORICAL


def binning(attribute, *bins, kind="NUMERICAL"):
    return AttributeBinning(attribute=attribute, attribute_data_type=kind, discretisation=list(bins))


@pytest.fixture
def monitoring():
    age = binning("age", Num(id=1, name="1_null"), Num(id=2, lower_bound=-INF, upper_bound=30),
                  Num(id=3, lower_bound=30, upper_bound=INF), Num(id=4, name="0_system_default"))
    colour = binning("colour", Cat(id=1, name="1_null"), Cat(id=2, categories=["A", "B"]), Cat(id=3, name="0_default"),
                     kind="CATEGORICAL")
    return PredictiveModelMonitoring(binning=[age, colour])


def test_namespace_and_defaults():
    assert [n for n in vars(surveillance) if not n.startswith("__")] == [
        "List", "Optional", "Union", "math", "strawberry", "AbstractAttributeBin", "AttributeBinning",
        "AttributeBinNumerical", "AttributeBinCategorical", "AttributeBinningType", "AttributeDataType",
        "PredictiveModelBinName", "BaseModel", "PredictiveModelMonitoring", "PredictiveModelMonitoringType"]
    a, b = PredictiveModelMonitoring(), PredictiveModelMonitoring()
    assert a.binning == [] and a.binning is not b.binning and a.predictive_model_output_binning is None


@pytest.mark.parametrize("dtype, value, name", [
    (NUMERICAL, 30.0, "2_(-inf;30)"), (NUMERICAL, 30.5, "3_(30;inf)"), (NUMERICAL, None, "1_null"),
    (NUMERICAL, math.nan, "1_null"), (NUMERICAL, -INF, "0_system_default"), ("NUMERICAL", INF, "3_(30;inf)"),
    (CATEGORICAL, "A", "2_{A,B}"), (CATEGORICAL, "Z", "0_default"), (CATEGORICAL, "nan", "1_null"),
    (CATEGORICAL, None, "1_null"), ("CATEGORICAL", math.nan, "1_null"), (CATEGORICAL, 1.5, "0_default"),
])
def test_lookup(monitoring, dtype, value, name):
    attribute = "age" if dtype == "NUMERICAL" else "colour"
    with capture_logs() as logs:
        assert monitoring.get_discretisation(attribute, dtype, value).name == name
    assert logs == []


@pytest.mark.parametrize("attribute, dtype", [("height", NUMERICAL), ("age", "OTHER"), ("age", None)])
def test_lookup_without_answer(monitoring, attribute, dtype):
    assert monitoring.get_discretisation(attribute, dtype, 1.0) is None


class Real(float):
    pass


@pytest.mark.parametrize("value, type_name", [(30, "int"), ("30", "str"), (Real(3.0), "Real")])
def test_numeric_value_must_be_a_float(monitoring, value, type_name):
    message = f"Argument 'value' has incorrect type (expected float, got {type_name})"
    with pytest.raises(TypeError) as err:
        monitoring.get_discretisation("age", NUMERICAL, value)
    assert str(err.value) == message
    with pytest.raises(TypeError) as err:
        PredictiveModelMonitoring._get_numerical_bin(binning=monitoring.binning[0], value=value)
    assert str(err.value) == message


@pytest.mark.parametrize("call", [
    lambda m: m.get_discretisation(1, NUMERICAL, 1.0),
    lambda m: m.discretisation_exists(None),
    lambda m: m.remove_discretisation(b"age"),
])
def test_attribute_must_be_a_str(monitoring, call):
    with pytest.raises(TypeError, match="^Argument 'attribute' has incorrect type"):
        call(monitoring)


def test_last_binning_of_the_attribute_wins(monitoring):
    monitoring.binning.append(binning("age", Num(id=9, lower_bound=-INF, upper_bound=INF)))
    assert monitoring.get_discretisation("age", NUMERICAL, 1.0).name == "9_(-inf;inf)"
    monitoring.binning = None
    assert monitoring.get_discretisation("age", NUMERICAL, 1.0) is None


def test_monitoring_and_assignment_answer_differently():
    # A reserved bin with bounds, a bin without a bound and one without
    # categories: the assignment skips the first and fails on the others; the
    # monitoring lookup matches the first and skips the others.
    numbers = binning("x", Num(id=1, name="0_default", lower_bound=0, upper_bound=10, value=9.0),
                      Num(id=2, name="open", lower_bound=None, upper_bound=5, value=8.0),
                      Num(id=3, lower_bound=0, upper_bound=10, value=1.0))
    assert PredictiveModelMonitoring._get_numerical_bin(numbers, 4.0).name == "0_default"
    with pytest.raises(TypeError):
        numbers.bin_numeric_attribute(4.0)
    del numbers.discretisation[0]
    assert PredictiveModelMonitoring._get_numerical_bin(numbers, 4.0).name == "3_(0;10)"
    assert PredictiveModelMonitoring._get_numerical_bin(numbers, 40.0) is None

    words = binning("w", Cat(id=1, name="empty"), Cat(id=2, name="1_null", categories=["A"], value=0.5),
                    Cat(id=3, categories=["A"], value=1.0), kind="CATEGORICAL")
    assert PredictiveModelMonitoring._get_categorical_bin(words, "A").name == "1_null"
    with pytest.raises(TypeError):
        words.bin_categoric_attribute("A")
    del words.discretisation[0]
    assert words.bin_categoric_attribute("A") == 1.0


def test_exists_and_remove(monitoring):
    assert monitoring.discretisation_exists("age") is True
    assert monitoring.discretisation_exists("height") is False
    age, colour = monitoring.binning
    monitoring.binning[:] = [age, age, colour, age]
    bins = monitoring.binning
    assert monitoring.remove_discretisation("age") is None
    assert monitoring.binning is bins and bins == [colour]
    monitoring.remove_discretisation("age")
    assert bins == [colour] and monitoring.discretisation_exists("age") is False


def test_view_through_a_schema(monitoring):
    monitoring.predictive_model_output_binning = binning("score", Num(id=1, lower_bound=0, upper_bound=0.5))

    @strawberry.type
    class Query:
        @strawberry.field
        def monitoring(self) -> PredictiveModelMonitoringType:
            return monitoring

    schema = strawberry.Schema(query=Query)
    result = asyncio.run(schema.execute("""{ monitoring {
        binning { attribute discretisation { ... on AttributeBinNumericalType { name formattedUpperBound }
                                             ... on AttributeBinCategoricalType { categories } } }
        predictiveModelOutputBinning { attribute discretisation { ... on AttributeBinNumericalType { name } } } } }"""))
    assert result.errors is None
    data = result.data["monitoring"]
    assert data["binning"][0]["discretisation"][1] == {"name": "2_(-inf;30)", "formattedUpperBound": "30"}
    assert data["binning"][1]["discretisation"][1] == {"categories": ["A", "B"]}
    assert data["predictiveModelOutputBinning"] == {"attribute": "score", "discretisation": [{"name": "1_(0;0.500)"}]}
