"""Counting values per monitoring bin with StabilityAccumulator, next to numpy
(searchsorted + bincount over the same bounds) and pandas (Series.map +
value_counts over the same categories); memory over 100 batches; and a
million-record day streamed through 4 accumulators and merged, checked
against one pass and a plain computation of the stability index.

Run: python benchmarks/bench_stability.py   (needs numpy and pandas)
"""
import gc
import math
import random
import resource
import sys
import timeit
import tracemalloc
from pathlib import Path

import numpy as np
import pandas as pd

from kelvane_analytics_utils.predictive_models.preparation.discretisation import (
    AttributeBinCategorical,
    AttributeBinning,
    AttributeBinNumerical,
)
from kelvane_analytics_utils.predictive_models.surveillance.stability import StabilityAccumulator
from kelvane_analytics_utils.predictive_models.surveillance.surveillance import PredictiveModelMonitoring

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import plain_rules  # noqa: E402

N = 1_000_000
REPEAT = 5


def numeric_binning(n_regular=20):
    cuts = [-math.inf] + [float(10 * i) for i in range(1, n_regular)] + [math.inf]
    bins = [AttributeBinNumerical(id=i, lower_bound=cuts[i], upper_bound=cuts[i + 1], frequency=1.0 + i % 3)
            for i in range(n_regular)]
    return AttributeBinning(attribute="x", attribute_data_type="NUMERICAL", discretisation=bins), cuts


def categorical_binning(n_regular=20):
    bins = [AttributeBinCategorical(id=i, categories=[f"category_{3 * i + k}" for k in range(3)], frequency=1.0)
            for i in range(n_regular)]
    bins.append(AttributeBinCategorical(id=n_regular, name="0_default", frequency=1.0))
    return AttributeBinning(attribute="c", attribute_data_type="CATEGORICAL", discretisation=bins)


def best(run):
    return min(timeit.repeat(run, number=1, repeat=REPEAT))


def speed():
    rng = np.random.default_rng(1)
    binning, cuts = numeric_binning()
    monitoring = PredictiveModelMonitoring(binning=[binning])
    values = rng.uniform(-5.0, 200.0, N)
    uppers = np.array(cuts[1:])

    def ours():
        StabilityAccumulator(monitoring).add_batch({"x": values})

    def numpy_way():
        np.bincount(np.searchsorted(uppers, values, side="left"), minlength=len(uppers))

    # Same counts on both sides.
    acc = StabilityAccumulator(monitoring)
    acc.add_batch({"x": values})
    assert [b.count for b in acc.report().attributes[0].bins] == numpy_way_counts(uppers, values)
    rows = [("numeric, 20 bins, numpy float64", best(ours), best(numpy_way), "numpy searchsorted+bincount")]

    cat = categorical_binning()
    monitoring = PredictiveModelMonitoring(binning=[cat])
    pool = [c for b in cat.discretisation for c in (b.categories or [])] + ["unknown"]
    texts = [pool[i] for i in rng.integers(0, len(pool), N)]
    mapping = {c: b.id for b in cat.discretisation for c in (b.categories or [])}
    series = pd.Series(texts)   # built once, outside the timing

    def ours_cat():
        StabilityAccumulator(monitoring).add_batch({"c": texts})

    def pandas_way():
        series.map(mapping).value_counts(dropna=False)

    acc = StabilityAccumulator(monitoring)
    acc.add_batch({"c": texts})
    counted = series.map(mapping).fillna(len(cat.discretisation) - 1).value_counts()
    assert [b.count for b in acc.report().attributes[0].bins] == [int(counted.get(i, 0)) for i in range(21)]
    rows.append(("categorical, 21 bins, list of str", best(ours_cat), best(pandas_way), "pandas map+value_counts"))

    print(f"{N:,} values per row, best of {REPEAT}; counts checked equal on both sides")
    print(f"{'column':36} {'ours (ms)':>10} {'other (ms)':>11} {'ratio':>7}  other")
    for label, a, b, other in rows:
        print(f"{label:36} {a * 1e3:10.1f} {b * 1e3:11.1f} {b / a:6.1f}x  {other}")


def numpy_way_counts(uppers, values):
    return np.bincount(np.searchsorted(uppers, values, side="left"), minlength=len(uppers)).tolist()


def rss_kib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def memory():
    binning, _ = numeric_binning()
    monitoring = PredictiveModelMonitoring(binning=[binning, categorical_binning()])
    rng = np.random.default_rng(2)
    batches = [(rng.uniform(-5.0, 200.0, 10_000), [f"category_{i % 70}" for i in range(10_000)])
               for _ in range(2)]
    acc = StabilityAccumulator(monitoring)
    acc.add_batch({"x": batches[0][0], "c": batches[0][1]})   # warm up
    gc.collect()
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    rss_before = rss_kib()
    for i in range(100):
        x, c = batches[i % 2]
        acc.add_batch({"x": x, "c": c}, targets=np.ones(10_000))
    gc.collect()
    after = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    print()
    print("100 batches of 10,000 records (numeric array, list of str, targets):")
    print(f"  memory allocated during the batches and still held after them (tracemalloc): {after - before:+,} bytes")
    print(f"  peak resident set size: {rss_before:,} -> {rss_kib():,} KiB")


def day():
    rng = random.Random(3)
    binning, _ = numeric_binning()
    score = AttributeBinning(attribute="score", attribute_data_type="NUMERICAL", discretisation=[
        AttributeBinNumerical(id=i, lower_bound=i / 10, upper_bound=(i + 1) / 10, frequency=10.0 + i)
        for i in range(10)])
    monitoring = PredictiveModelMonitoring(binning=[binning, categorical_binning()],
                                           predictive_model_output_binning=score)
    nprng = np.random.default_rng(4)
    workers = [StabilityAccumulator(monitoring) for _ in range(4)]
    one_pass = StabilityAccumulator(monitoring)
    for k in range(100):
        n = 10_000
        columns = {"x": nprng.normal(60.0, 40.0, n), "c": [f"category_{rng.randrange(64)}" for _ in range(n)]}
        scores = nprng.uniform(0.0, 1.0, n)
        targets = nprng.integers(0, 2, n)
        workers[k % 4].add_batch(columns, scores=scores, targets=targets)
        one_pass.add_batch(columns, scores=scores, targets=targets)
    merged = StabilityAccumulator(monitoring)
    for w in workers:
        merged.merge(w)
    report, reference = merged.report(), one_pass.report()
    assert report == reference and report.records == 1_000_000
    worst = 0.0
    for attribute, binning_record in zip([report.score] + report.attributes,
                                         [score, binning, monitoring.binning[1]]):
        counts = [b.count for b in attribute.bins]
        psi = plain_rules.stability_psi(binning_record, counts)[3]
        worst = max(worst, abs(psi - attribute.psi))
    assert worst <= 1e-12
    print()
    print("a day of 1,000,000 records in 100 batches through 4 accumulators, merged:")
    print(f"  counts equal to one pass: yes; records {report.records:,}; score psi {report.score.psi:.6f} "
          f"({report.score.level.value}); largest psi difference from the plain computation {worst:.1e}")


if __name__ == "__main__":
    speed()
    memory()
    day()
