"""Stability of a deployed model from its monitoring binnings: counts per bin by
the monitoring lookup, shares, stability index, events, merging and pickling."""
import asyncio
import math
import pickle
import random

import numpy as np
import pytest
import strawberry

import plain_rules as plain
from kelvane_analytics_utils.predictive_models.preparation.discretisation import (
    AttributeBinCategorical,
    AttributeBinning,
    AttributeBinNumerical,
)
from kelvane_analytics_utils.predictive_models.surveillance import stability as st
from kelvane_analytics_utils.predictive_models.surveillance.surveillance import PredictiveModelMonitoring
from kelvane_analytics_utils.utils.dump import valid_dumps_yaml

INF = math.inf
NUMBERS = [-INF, -3.0, -1.0, 0.0, 0.5, 1.0, 2.0, 2.5, 7.0, INF]
TEXTS = ["A", "B", "C", "D", "é", "nan", "Ω\u0394", "x" * 20]
RESERVED = ["1_null", "0_default", "0_defined_default", "0_system_default"]


def numeric_binning(rng, attribute):
    bins = []
    for i in range(rng.randint(0, 7)):
        lower, upper = sorted(rng.sample(NUMBERS, 2))
        if rng.random() < 0.1:
            lower = None
        name = rng.choice(RESERVED) if rng.random() < 0.25 else f"{i}_n"
        bins.append(AttributeBinNumerical(id=i, name=name, lower_bound=lower, upper_bound=upper,
                                          frequency=rng.choice([None] + [float(rng.randint(0, 50))] * 6),
                                          target_rate=rng.random()))
    if rng.random() < 0.3:
        bins.append(AttributeBinCategorical(id=99, name=rng.choice(RESERVED), categories=["A"], frequency=3.0))
    return AttributeBinning(attribute=attribute, attribute_data_type="NUMERICAL", discretisation=bins)


def categorical_binning(rng, attribute):
    bins = []
    for i in range(rng.randint(0, 6)):
        categories = rng.sample(TEXTS, rng.randint(0, 3)) if rng.random() < 0.9 else None
        name = rng.choice(RESERVED) if rng.random() < 0.25 else f"{i}_c"
        bins.append(AttributeBinCategorical(id=i, name=name, categories=categories,
                                            frequency=rng.choice([None] + [float(rng.randint(0, 50))] * 6)))
    return AttributeBinning(attribute=attribute, attribute_data_type="CATEGORICAL", discretisation=bins)


def generated_monitoring(seed):
    rng = random.Random(seed)
    binnings = [numeric_binning(rng, "age"), categorical_binning(rng, "region"), numeric_binning(rng, "income")]
    if rng.random() < 0.5:
        binnings.append(categorical_binning(rng, "age") if rng.random() < 0.5 else numeric_binning(rng, "age"))
    output = numeric_binning(rng, "score") if rng.random() < 0.8 else None
    return PredictiveModelMonitoring(binning=binnings, predictive_model_output_binning=output)


def generated_records(seed, monitoring, n):
    rng = random.Random(seed + 1000)
    kinds = {b.attribute: b.attribute_data_type for b in plain.stability_binnings(monitoring).values()}

    def value(kind):
        r = rng.random()
        if r < 0.08:
            return None
        if kind == "NUMERICAL":
            if r < 0.12:
                return math.nan
            if r < 0.25:
                return rng.randint(-4, 8)
            return rng.choice(NUMBERS + [rng.uniform(-4, 8)])
        return rng.choice(TEXTS + ["Z", math.nan, 1.5, 3]) if r < 0.3 else rng.choice(TEXTS)

    records = [{a: value(k) for a, k in kinds.items()} for _ in range(n)]
    scores = [value("NUMERICAL") for _ in range(n)] if monitoring.predictive_model_output_binning else None
    targets = [rng.choice([0, 1, None, True, 0.0]) for _ in range(n)]
    return records, scores, targets


def expected_counts(binning, values, targets, lookup):
    """Counts, events and records with a known target per bin, and the unmatched
    count, by a lookup applied value by value."""
    bins = binning.discretisation
    n = len(bins)
    count, known, events, unmatched = [0] * n, [0] * n, [0] * n, 0
    for value, target in zip(values, targets):
        found = lookup(binning, value)
        if found is None:
            unmatched += 1
            continue
        i = next(i for i, b in enumerate(bins) if b is found)
        count[i] += 1
        if target is not None:
            known[i] += 1
            events[i] += int(target)
    return count, known, events, unmatched


def real_lookup(binning, value):
    m = PredictiveModelMonitoring
    if binning.attribute_data_type == "NUMERICAL":
        return m._get_numerical_bin(binning, None if value is None else float(value))
    return m._get_categorical_bin(binning, value)


def check_attribute(report, binning, values, targets):
    for lookup in (real_lookup, plain.stability_bin):
        count, known, events, unmatched = expected_counts(binning, values, targets, lookup)
        assert [b.count for b in report.bins] == count
        assert [b.events for b in report.bins] == events
        assert [b.event_rate for b in report.bins] == [e / k if k else None for e, k in zip(events, known)]
        assert (report.counted, report.unmatched) == (len(values), unmatched)
    expected, actual, terms, psi = plain.stability_psi(binning, count)
    assert [b.expected_share for b in report.bins] == expected
    assert [b.actual_share for b in report.bins] == actual
    assert [b.psi_term for b in report.bins] == pytest.approx(terms, abs=1e-12)
    assert (report.psi is None) == (psi is None)
    if psi is not None:
        assert abs(report.psi - psi) <= 1e-12
        assert report.level == plain.stability_level(report.psi)
    assert [(b.name, b.id, b.target_rate) for b in report.bins] == [
        (b.name, b.id, b.target_rate) for b in binning.discretisation]


@pytest.mark.parametrize("seed", range(40))
def test_counts_follow_the_monitoring_lookup_value_by_value(seed):
    monitoring = generated_monitoring(seed)
    records, scores, targets = generated_records(seed, monitoring, 300)
    one, batch, arrays = (st.StabilityAccumulator(monitoring) for _ in range(3))
    for i, record in enumerate(records):
        one.add(record, score=scores[i] if scores else None, target=targets[i])
    binnings = plain.stability_binnings(monitoring)
    columns = {a: [r[a] for r in records] for a in binnings}
    batch.add_batch(columns, scores=scores, targets=targets)
    # Numeric columns as float64 arrays (None as NaN), targets as an object array.
    as_arrays = {a: np.array([math.nan if v is None else v for v in c], dtype=np.float64)
                 if binnings[a].attribute_data_type == "NUMERICAL" else np.array(c, dtype=object)
                 for a, c in columns.items()}
    arrays.add_batch(as_arrays, scores=None if scores is None else np.array(
        [math.nan if v is None else v for v in scores]), targets=np.array(targets, dtype=object))

    report = one.report()
    assert report == batch.report() == arrays.report()
    assert report.records == len(records)
    assert [a.attribute for a in report.attributes] == list(binnings)
    for attribute, binning in zip(report.attributes, binnings.values()):
        check_attribute(attribute, binning, columns[binning.attribute], targets)
    if scores is None:
        assert report.score is None
    else:
        check_attribute(report.score, monitoring.predictive_model_output_binning, scores, targets)


def simple_monitoring(**output):
    age = AttributeBinning(attribute="age", attribute_data_type="NUMERICAL", discretisation=[
        AttributeBinNumerical(id=0, name="1_null", frequency=10.0),
        AttributeBinNumerical(id=1, lower_bound=-INF, upper_bound=30.0, frequency=40.0, target_rate=0.1),
        AttributeBinNumerical(id=2, lower_bound=30.0, upper_bound=INF, frequency=50.0, target_rate=0.2),
    ])
    region = AttributeBinning(attribute="region", attribute_data_type="CATEGORICAL", discretisation=[
        AttributeBinCategorical(id=0, categories=["A", "B"]),
        AttributeBinCategorical(id=1, name="0_default"),
    ])
    return PredictiveModelMonitoring(binning=[age, region], **output)


@pytest.mark.parametrize("dtype", ["float64", "float32", "int64", "int32", "bool"])
def test_numpy_buffers_count_like_lists(dtype):
    values = np.array([0, 1, 29, 30, 31, 45], dtype=dtype)
    from_array, from_list = st.StabilityAccumulator(simple_monitoring()), st.StabilityAccumulator(simple_monitoring())
    from_array.add_batch({"age": values}, targets=np.array([1, 0, 1, 1, 0, 0], dtype=dtype if dtype != "float32" else "f8"))
    from_list.add_batch({"age": values.tolist()}, targets=[1, 0, 1, 1, 0, 0])
    assert from_array.report() == from_list.report()
    # A strided view is read in place.
    strided = st.StabilityAccumulator(simple_monitoring())
    strided.add_batch({"age": np.repeat(values, 2)[::2]})
    assert [b.count for b in strided.report().attributes[0].bins] == [b.count for b in from_list.report().attributes[0].bins]


def test_empty_bin_correction_and_levels():
    acc = st.StabilityAccumulator(simple_monitoring())
    acc.add_batch({"age": [1.0] * 60 + [40.0] * 40})   # nothing in the null bin: actual share 0
    age = acc.report().attributes[0]
    assert [b.actual_share for b in age.bins] == [0.0, 0.6, 0.4]
    floor = plain.SHARE_FLOOR
    assert age.bins[0].psi_term == pytest.approx((floor - 0.1) * math.log(floor / 0.1))
    assert math.isfinite(age.psi) and age.level == st.StabilityLevel.SHIFT
    region = acc.report().attributes[1]
    assert region.psi is None and region.level is None and region.bins[0].expected_share is None
    assert [b.count for b in region.bins] == [0, 100]   # a missing column: every value missing


def test_merge_and_pickle_round_trips():
    monitoring = generated_monitoring(3)
    records, scores, targets = generated_records(3, monitoring, 400)
    columns = {a: [r[a] for r in records] for a in plain.stability_binnings(monitoring)}
    whole = st.StabilityAccumulator(monitoring)
    whole.add_batch(columns, scores=scores, targets=targets)
    workers = [st.StabilityAccumulator(monitoring) for _ in range(4)]
    for k in range(0, 400, 40):
        part = {a: c[k:k + 40] for a, c in columns.items()}
        workers[(k // 40) % 4].add_batch(part, scores=scores and scores[k:k + 40], targets=targets[k:k + 40])
    shipped = [pickle.loads(pickle.dumps(w, protocol=p)) for w, p in zip(workers, [0, 2, 4, 5])]
    merged = st.StabilityAccumulator(monitoring)
    for w in shipped:
        merged.merge(w)
    assert merged.report() == whole.report()
    assert pickle.loads(pickle.dumps(merged)).report() == whole.report()
    merged.merge(merged)
    assert merged.report().records == 800


def test_report_dumps_as_yaml_and_answers_graphql():
    acc = st.StabilityAccumulator(simple_monitoring(predictive_model_output_binning=AttributeBinning(
        attribute="score", attribute_data_type="NUMERICAL",
        discretisation=[AttributeBinNumerical(id=0, lower_bound=0.0, upper_bound=1.0, frequency=1.0)])))
    acc.add({"age": 25, "region": "A"}, score=0.5, target=1)
    acc.add({"age": None, "region": "Q"}, score=0.7, target=0)
    report = acc.report()
    text = valid_dumps_yaml(report)
    assert "records: 2" in text and "level: SHIFT" in text and "psi_term" in text
    assert st.StabilityReport.model_validate(report.model_dump()) == report

    @strawberry.type
    class Query:
        @strawberry.field
        def stability(self) -> st.StabilityReportType:
            return st.StabilityReportType.from_pydantic(report)

    result = asyncio.run(strawberry.Schema(query=Query).execute(
        "{ stability { records score { attribute psi level bins { count eventRate } } "
        "attributes { attribute counted bins { name expectedShare actualShare } } } }"))
    assert result.errors is None
    data = result.data["stability"]
    assert data["records"] == 2 and data["score"]["level"] == "STABLE"
    assert data["score"]["bins"] == [{"count": 2, "eventRate": 0.5}]
    assert data["attributes"][0]["bins"][0] == {"name": "1_null", "expectedShare": 0.1, "actualShare": 0.5}


BAD_CALLS = [
    (lambda a: a.add_batch({"age": [1.0, 2.0], "region": ["A"]}), ValueError, "equal lengths"),
    (lambda a: a.add_batch({"age": [1.0]}, targets=[0, 1]), ValueError, "equal lengths"),
    (lambda a: a.add_batch({"age": [1.0, "2"]}), TypeError, "must be a number"),
    (lambda a: a.add_batch({"age": np.array(["1", "2"])}), TypeError, "buffer of numbers"),
    (lambda a: a.add_batch({"age": "12"}), TypeError, "must be a list"),
    (lambda a: a.add_batch({"region": ["A", object()]}), TypeError, "must be a str"),
    (lambda a: a.add_batch({"age": [1.0, 2.0]}, targets=[0, 2]), ValueError, "target must be 0, 1 or None"),
    (lambda a: a.add_batch({"age": np.zeros(2)}, targets=np.array([0.5, 1.0])), ValueError, "target must be"),
    (lambda a: a.add_batch({"age": [1.0]}, scores=[0.5]), ValueError, "no output binning"),
    (lambda a: a.add({"age": 1.0}, target="1"), ValueError, "target must be"),
    (lambda a: a.add({"age": 1.0, "region": b"A"}), TypeError, "must be a str"),
    (lambda a: a.add({"age": 10 ** 400}), OverflowError, "too large"),
    (lambda a: a.add([1.0]), TypeError, "incorrect type"),
    (lambda a: a.merge(st.StabilityAccumulator(PredictiveModelMonitoring())), ValueError, "different monitoring"),
    (lambda a: a.merge(generated_monitoring(1)), TypeError, "StabilityAccumulator"),
    (lambda a: st._restore_accumulator(pickle.dumps(a)[:-40]), ValueError, "restore"),
]


@pytest.mark.parametrize(("call", "error", "message"), BAD_CALLS)
def test_bad_input_raises_and_leaves_the_counts(call, error, message):
    acc = st.StabilityAccumulator(simple_monitoring())
    acc.add_batch({"age": [5.0, None, 50.0], "region": ["A", "B", None]}, targets=[1, None, 0])
    before = acc.report()
    with pytest.raises(error, match=message):
        call(acc)
    assert acc.report() == before


def test_snapshot_refuses_what_it_cannot_count_by_the_lookup_rules():
    monitoring = simple_monitoring()
    monitoring.binning[1].discretisation[0].categories = ["A", 1]
    with pytest.raises(TypeError, match="categories"):
        st.StabilityAccumulator(monitoring)
    with pytest.raises(TypeError, match="PredictiveModelMonitoring"):
        st.StabilityAccumulator({"binning": []})
    monitoring = simple_monitoring()
    acc = st.StabilityAccumulator(monitoring)
    monitoring.binning.clear()   # the accumulator keeps its snapshot
    acc.add({"age": 1})
    assert acc.report().attributes[0].counted == 1


def test_counting_leaves_reference_counts_as_they_were():
    import sys

    acc = st.StabilityAccumulator(simple_monitoring())
    texts, numbers = ["A", "Z" * 3, "nan", None], [1.5, 40.0, 10 ** 3, None]
    bad_numbers = [1.5, "x", 2.0, None]
    array = np.array([1.0, 2.0, 3.0, 4.0])
    watched = texts + numbers + [texts, numbers, bad_numbers, array]
    before = [sys.getrefcount(o) for o in watched]
    for _ in range(3):
        acc.add_batch({"age": numbers, "region": texts}, targets=[1, 0, None, 1])
        acc.add_batch({"age": array, "region": tuple(texts)})
        acc.add({"age": numbers[0], "region": texts[0]}, target=1)
        with pytest.raises(TypeError):
            acc.add_batch({"age": bad_numbers, "region": texts})
        acc.report()
    assert [sys.getrefcount(o) for o in watched] == before
