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


def test_declarations():
    assert [n for n in vars(yardstick) if not n.startswith("__")] == [
        "Any", "List", "model_validator", "strawberry", "PerformanceMetrics", "SamplePerformance",
        "SamplePerformanceType", "BaseModel", "PredictiveModelPerformance", "PredictiveModelPerformanceType"]
    assert [n for n in vars(tally) if not n.startswith("__")][5:] == [
        "SampleType", "PerformanceMetrics", "SamplePerformance", "SamplePerformancePerformanceType",
        "SamplePerformanceType"]
    assert [m.value for m in M] == ["AUC", "GINI", "LIFT", "KS", "TAR", "RHO", "ACCURACY"]
    assert M("TAR") is M.TAU and [m.value for m in SampleType] == ["TRAIN", "VALID", "TEST", "OOT", "CV"]
    with pytest.raises(ValueError):
        M("TAU")
    assert list(Perf.__annotations__.values()) == ["List[SamplePerformance]", "List[PerformanceMetrics]"]


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


class Text(str):
    pass


@pytest.mark.parametrize("item, error, message", [
    ("tau", pydantic.ValidationError, "'TAU' is not a valid PerformanceMetrics"),
    ("lift10", pydantic.ValidationError, "'LIFT10' is not a valid PerformanceMetrics"),
    ("", pydantic.ValidationError, "'' is not a valid PerformanceMetrics"),
    (1, TypeError, "^Argument 'metric' has incorrect type \\(expected str, got int\\)$"),
    (None, TypeError, "got NoneType"),
    (Text("auc"), TypeError, "got Text"),
])
def test_rejected_metrics(item, error, message):
    with pytest.raises(error, match=message):
        Perf(performance_metrics=["auc", item])
    with pytest.raises(TypeError if error is TypeError else ValueError, match=message):
        Perf.validate_performance_metric_str(item)


def test_before_validator_changes_the_data_in_place():
    data = {"performance_metrics": ("gini",), "tally": []}
    assert Perf.validate_performance_metrics(data) is data
    assert data == {"performance_metrics": [M.GINI], "tally": []}
    assert Perf.validate_performance_metrics(["x"]) == ["x"] and Perf().tally is not Perf().tally


def test_sample_performance_keeps_mapping_order():
    record = SamplePerformance.model_validate(
        {"sample": "TEST", "target": "bad", "performance": {"GINI": 0.41, "AUC": 0.705, "TAR": 1}})
    assert list(record.performance) == [M.GINI, M.AUC, M.TAU]
    shown = asyncio.run(SamplePerformanceType.performance(None, record))
    assert [(v.metric, v.value) for v in shown] == [(M.GINI, 0.41), (M.AUC, 0.705), (M.TAU, 1.0)]
    assert asyncio.run(SamplePerformanceType.performance(None, SamplePerformance(sample="CV", target="t"))) == []
    with pytest.raises(AttributeError, match="items"):
        asyncio.run(SamplePerformanceType.performance(None, SamplePerformance.model_construct(performance=None)))


@pytest.mark.parametrize("data", [{"target": "t"}, {"sample": "train", "target": "t"},
                                  {"sample": "CV", "target": "t", "performance": {"TAU": 0.1}},
                                  {"sample": "CV", "target": "t", "performance": {"AUC": "high"}}])
def test_invalid_sample_performance(data):
    with pytest.raises(pydantic.ValidationError):
        SamplePerformance(**data)


def test_records_and_members_pickle_and_copy():
    record = Perf(tally=[{"sample": "OOT", "target": "t", "performance": {"KS": 0.3}}], performance_metrics=["tar"])
    for value in [record, record.tally[0], M.TAU, SampleType.OOT]:
        assert pickle.loads(pickle.dumps(value)) == value == copy.deepcopy(value)
    assert pickle.loads(pickle.dumps(M.TAU)) is M.TAU
