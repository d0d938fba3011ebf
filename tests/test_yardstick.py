"""Sample and model performance records: the metric vocabulary, loose metric
texts, and the metric list view."""
import asyncio
import copy
import pickle

import pydantic
import pytest

from kelvane_analytics_utils.predictive_models.yardstick import tally, yardstick
from kelvane_analytics_utils.predictive_models.yardstick.tally import (
    PerformanceMetrics as M,
    SamplePerformance,
    SamplePerformanceType,
    SampleType,
)
from kelvane_analytics_utils.predictive_models.yardstick.yardstick import PredictiveModelPerformance as Perf


def names(module):
    return [n for n in vars(module) if not n.startswith("__")]


def test_declarations():
    assert names(tally) == ["Dict", "List", "Enum", "strawberry", "BaseModel", "SampleType", "PerformanceMetrics",
                            "SamplePerformance", "SamplePerformancePerformanceType", "SamplePerformanceType"]
    assert names(yardstick) == ["Any", "List", "model_validator", "strawberry", "PerformanceMetrics",
                                "SamplePerformance", "SamplePerformanceType", "BaseModel",
                                "PredictiveModelPerformance", "PredictiveModelPerformanceType"]
    assert [m.value for m in M] == ["AUC", "GINI", "LIFT", "KS", "TAR", "RHO", "ACCURACY"]
    assert [m.value for m in SampleType] == ["TRAIN", "VALID", "TEST", "OOT", "CV"]
    assert M("TAR") is M.TAU
    with pytest.raises(ValueError):
        M("TAU")
    assert SamplePerformance.__annotations__ == {
        "sample": "SampleType", "target": "str", "performance": "Dict[PerformanceMetrics, float]"}
    assert Perf.__annotations__ == {"tally": "List[SamplePerformance]", "performance_metrics": "List[PerformanceMetrics]"}
    assert Perf.__doc__ == "Object to store information about models performance on development sample."
    assert Perf.validate_performance_metric_str.__annotations__ == {"metric": "str", "return": "PerformanceMetrics"}


@pytest.mark.parametrize("given, expected", [
    (["gini", "Lift(10)", "ks"], [M.GINI, M.LIFT, M.KS]),
    (["LIFT"], [M.LIFT]),
    (["lift("], [M.LIFT]),
    (["Lift(5%)", "rho"], [M.LIFT, M.RHO]),
    (["accuracy", "AUC", "AUC"], [M.ACCURACY, M.AUC, M.AUC]),
    (["tar"], [M.TAU]),
    ([M.GINI, "auc", M.TAU], [M.GINI, M.AUC, M.TAU]),
    ((t for t in ["ks"]), [M.KS]),
    ([], []),
])
def test_loose_metric_texts(given, expected):
    assert Perf(performance_metrics=given).performance_metrics == expected
    assert Perf.model_validate({"performance_metrics": expected}).performance_metrics == expected


@pytest.mark.parametrize("text, shown", [("tau", "TAU"), ("lift10", "LIFT10"), ("", ""), ("gini ", "GINI ")])
def test_unknown_metric_texts(text, shown):
    with pytest.raises(pydantic.ValidationError, match=f"'{shown}' is not a valid PerformanceMetrics"):
        Perf(performance_metrics=["auc", text])
    with pytest.raises(ValueError, match=f"'{shown}' is not a valid PerformanceMetrics"):
        Perf.validate_performance_metric_str(text)


class Text(str):
    pass


@pytest.mark.parametrize("item, type_name", [(1, "int"), (None, "NoneType"), (Text("auc"), "Text"), (b"auc", "bytes")])
def test_metric_items_that_are_no_text(item, type_name):
    message = f"Argument 'metric' has incorrect type (expected str, got {type_name})"
    with pytest.raises(TypeError) as err:
        Perf(performance_metrics=["auc", item])
    assert str(err.value) == message
    with pytest.raises(TypeError) as err:
        Perf.validate_performance_metric_str(item)
    assert str(err.value) == message


def test_before_validator_changes_the_data_in_place():
    data = {"performance_metrics": ("gini",), "tally": []}
    assert Perf.validate_performance_metrics(data) is data
    assert data == {"performance_metrics": [M.GINI], "tally": []}
    assert Perf.validate_performance_metrics(["x"]) == ["x"]
    assert Perf().performance_metrics == [] and Perf().tally == []
    assert Perf().tally is not Perf().tally


def test_sample_performance_keeps_mapping_order():
    record = SamplePerformance.model_validate(
        {"sample": "TEST", "target": "bad", "performance": {"GINI": 0.41, "AUC": 0.705, "TAR": 1}})
    assert list(record.performance) == [M.GINI, M.AUC, M.TAU]
    shown = asyncio.run(SamplePerformanceType.performance(None, record))
    assert [(v.metric, v.value) for v in shown] == [(M.GINI, 0.41), (M.AUC, 0.705), (M.TAU, 1.0)]
    assert asyncio.run(SamplePerformanceType.performance(None, SamplePerformance(sample="CV", target="t"))) == []
    with pytest.raises(AttributeError, match="items"):
        asyncio.run(SamplePerformanceType.performance(None, SamplePerformance.model_construct(performance=None)))


@pytest.mark.parametrize("data", [
    {"target": "t"},
    {"sample": "TRAIN"},
    {"sample": "train", "target": "t"},
    {"sample": "TRAIN", "target": "t", "performance": {"TAU": 0.1}},
    {"sample": "TRAIN", "target": "t", "performance": {"AUC": "high"}},
])
def test_invalid_sample_performance(data):
    with pytest.raises(pydantic.ValidationError):
        SamplePerformance(**data)


def test_records_and_members_pickle_and_copy():
    record = Perf(tally=[{"sample": "OOT", "target": "t", "performance": {"KS": 0.3}}], performance_metrics=["tar"])
    for value in [record, record.tally[0], M.TAU, SampleType.OOT]:
        assert pickle.loads(pickle.dumps(value)) == value
        assert copy.deepcopy(value) == value
    assert pickle.loads(pickle.dumps(M.TAU)) is M.TAU
