"""The bundle scoring itself, next to the platform's path through XGBoost, in one run.

Tables:
  1. Exactness: the scorer's batch results against XGBoost's `inplace_predict` (same iteration range), bit for
     bit, on 10,000 rows holding NaNs, infinities and values on and just below the models' split thresholds, for
     every supported objective, dart, parallel trees and a native categorical model; a logistic regression
     against scikit-learn's `predict_proba` (largest relative difference).
  2. One record of 50 attributes (10 binned, one 4-value dummy encoding, 39 raw) through a 300-tree depth-6
     model: `score` next to the platform path (`apply_preprocessing`, a float32 numpy row in feature order,
     `Booster.inplace_predict` at one thread). Target: at least 20x.
  3. 100,000 rows of 50 raw features through a 300-tree depth-6 model: `score_batch` at 1 and 2 threads next to
     `inplace_predict` at one thread. Targets: 1 thread at least 1.0x, 2 threads at least 1.6x the 1-thread figure.
  4. A 1,000-tree model (250 trained trees four times over): building a scorer next to XGBoost loading the same JSON text (target: at least half
     as fast), and the scorer's resident size (growth of the process's RSS per scorer kept) next to the JSON text.
  5. Memory over a million `score` calls: Python blocks and resident memory before and after.

Needs the test dependencies (xgboost-cpu, scikit-learn, pandas): run after `bash scripts/test.sh` as
    .venv/bin/python benchmarks/bench_model_scoring.py [--calls N]
The machine is shared: compare the columns of one run, and repeat a run whose ratio sits near its target.
"""
import argparse
import gc
import json
import math
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import xgboost as xgb

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import test_scoring as agreement   # noqa: E402 - the tests' live models and probe rows

from kelvane_analytics_utils.predictive_models.preparation.preparation import AttributePreprocessing  # noqa: E402
from kelvane_analytics_utils.predictive_models.scorebundle import (  # noqa: E402
    ExtendedPredictiveModel,
    PredictiveModelType,
)
from kelvane_analytics_utils.predictive_models.scoring import ExtendedPredictiveModelScorer as Scorer  # noqa: E402


def per_call(fn, calls, repeats=5):
    """Median seconds per call over `repeats` loops of `calls` calls."""
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        for _ in range(calls):
            fn()
        times.append((time.perf_counter() - start) / calls)
    return statistics.median(times)


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def table(title, header, rows):
    print(f"\n{title}")
    widths = [max(len(str(r[i])) for r in [header] + rows) for i in range(len(header))]
    for r in [header, ["-" * w for w in widths]] + rows:
        print("  " + "  ".join(str(c).ljust(w) for c, w in zip(r, widths)))


def train(features, rows=4000, rounds=300, depth=6, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(rows, len(features)))
    x[rng.random(x.shape) < 0.05] = np.nan
    y = (np.nansum(x[:, :8], axis=1) + rng.normal(size=rows) > 0).astype(float)
    return xgb.train({"objective": "binary:logistic", "max_depth": depth, "eta": 0.05, "nthread": 2, "seed": seed},
                     xgb.DMatrix(x, label=y, feature_names=features), num_boost_round=rounds)


# ------------------------------------------------------------ 1. exactness


def exactness():
    rows = []
    for objective, extra in agreement.VARIANTS:
        booster = agreement.trained(objective, **extra)
        doc = agreement.document(booster)
        probe = agreement.probe_rows(doc)
        got = np.asarray(Scorer(agreement.xgb_bundle(doc)).score_batch(agreement.columns_of(probe)))
        expected = booster.inplace_predict(probe).astype(np.float64)
        label = objective + (" dart" if "rate_drop" in extra else "") + "".join(
            f" {k}={v}" for k, v in extra.items() if k in ("num_parallel_tree", "base_score"))
        rows.append([label, len(probe), int((got.view(np.uint64) != expected.view(np.uint64)).sum())])
    model = agreement.categorical_model()
    frame, _ = agreement.categorical_frame(agreement.ROWS, 1)
    got = np.asarray(Scorer(agreement.xgb_bundle(agreement.document(model.get_booster()))).score_batch(frame))
    expected = model.get_booster().inplace_predict(frame).astype(np.float64)
    rows.append(["native categorical", len(frame), int((got.view(np.uint64) != expected.view(np.uint64)).sum())])
    table("1. Exactness against XGBoost's inplace_predict (bit for bit)", ["model", "rows", "differing values"], rows)
    lr, _ = agreement.logistic_regression()
    probe = np.asfortranarray(np.random.default_rng(3).normal(scale=3.0, size=(agreement.ROWS, 6)))
    scorer = Scorer(ExtendedPredictiveModel(
        predictive_model_type=PredictiveModelType.LOGISTIC_REGRESSION,
        external_model={"feature_names": agreement.FEATURES,
                        "model": {"coef_": lr.coef_.tolist(), "intercept_": lr.intercept_.tolist()}}))
    got = np.asarray(scorer.score_batch(agreement.columns_of(probe)))
    expected = lr.predict_proba(probe)[:, 1]
    print(f"  logistic regression, {len(probe)} rows: largest relative difference to predict_proba "
          f"{np.max(np.abs(got - expected) / np.abs(expected)):.2e} (target 1e-12)")


# ------------------------------------------------------------ 2. one record


def one_record_bundle():
    attributes = [f"a{i}" for i in range(49)] + ["region"]
    binned = {f"a{i}": {"dtype": "NUMERICAL", "bins": [-math.inf] + [k / 2 - 2 for k in range(9)] + [math.inf],
                        "bin_vals": [k / 10 for k in range(10)], "binned_attribute_name": f"a{i}_bin"}
              for i in range(10)}
    encoding = [{"attribute": "region", "encoding": [{"value": f"r{k}", "encoded_feature_name": f"region_r{k}",
                                                      "use_for_undefined": k == 0} for k in range(4)]}]
    preparation = AttributePreprocessing(binning=AttributePreprocessing.add_discretisation(binned),
                                         dummy_encoding=encoding)
    features = [f"a{i}_bin" for i in range(10)] + [f"region_r{k}" for k in range(4)] + attributes[10:49]
    booster = train(features)
    bundle = ExtendedPredictiveModel(predictive_model_type=PredictiveModelType.XGB, attributes=attributes,
                                     preparation=preparation,
                                     external_model={"xgb_model": json.loads(booster.save_raw("json"))})
    rng = np.random.default_rng(4)
    values = {a: float(v) for a, v in zip(attributes[:49], rng.normal(size=49))}
    values["a13"] = None
    values["region"] = "r2"
    return bundle, booster, features, values


def one_record(bundle, booster, features, values):
    booster.set_param({"nthread": 1})
    scorer = Scorer(bundle)
    preparation = bundle.preparation

    def platform():
        prepared = preparation.apply_preprocessing(values)
        row = np.array([[math.nan if (v := prepared.get(f, values.get(f))) is None else v for f in features]],
                       dtype=np.float32)
        return booster.inplace_predict(row)

    assert np.float32(scorer.score(values)) == platform()[0]
    native = per_call(lambda: scorer.score(values), 2000)
    theirs = per_call(platform, 300)
    prepare = per_call(lambda: preparation.apply_preprocessing(values), 2000)
    table("2. One record, 50 attributes, 300 trees of depth 6 (us per call)",
          ["score", "platform path", "of which apply_preprocessing", "speed-up (target 20x)"],
          [[f"{native * 1e6:.1f}", f"{theirs * 1e6:.1f}", f"{prepare * 1e6:.1f}", f"{theirs / native:.1f}x"]])


# ------------------------------------------------------------ 3. batch


def batch():
    features = [f"f{i}" for i in range(50)]
    booster = train(features, seed=1)
    booster.set_param({"nthread": 1})
    scorer = Scorer(ExtendedPredictiveModel(predictive_model_type=PredictiveModelType.XGB,
                                            external_model={"xgb_model": json.loads(booster.save_raw("json"))}))
    rows = np.random.default_rng(5).normal(size=(100_000, 50))
    rows[np.random.default_rng(6).random(rows.shape) < 0.05] = np.nan
    columns = {f: np.ascontiguousarray(rows[:, j]) for j, f in enumerate(features)}
    assert np.array_equal(np.asarray(scorer.score_batch(columns)), booster.inplace_predict(rows).astype(np.float64))
    theirs = per_call(lambda: booster.inplace_predict(rows), 1, repeats=5)
    one = per_call(lambda: scorer.score_batch(columns, n_threads=1), 1, repeats=5)
    two = per_call(lambda: scorer.score_batch(columns, n_threads=2), 1, repeats=5)
    table("3. 100,000 rows of 50 raw features, 300 trees of depth 6 (ms per batch)",
          ["inplace_predict, 1 thread", "score_batch, 1 thread", "score_batch, 2 threads",
           "1 thread vs XGBoost (target 1.0x)", "2 threads vs 1 (target 1.6x)"],
          [[f"{theirs * 1e3:.1f}", f"{one * 1e3:.1f}", f"{two * 1e3:.1f}", f"{theirs / one:.2f}x", f"{one / two:.2f}x"]])


# ------------------------------------------------------------ 4. building


def building():
    features = [f"f{i}" for i in range(50)]
    doc = json.loads(train(features, rounds=250, seed=2).save_raw("json"))
    model = doc["learner"]["gradient_booster"]["model"]   # the 250 trees four times over
    model["trees"] = [dict(tree, id=i) for i, tree in enumerate(model["trees"] * 4)]
    model["tree_info"] = [0] * 1000
    model["iteration_indptr"] = list(range(1001))
    model["gbtree_model_param"]["num_trees"] = "1000"
    text = json.dumps(doc)
    bundle = ExtendedPredictiveModel(predictive_model_type=PredictiveModelType.XGB, external_model={"xgb_model": doc})

    def load():
        booster = xgb.Booster()
        booster.load_model(bytearray(text.encode()))
        return booster

    theirs = per_call(load, 3)
    native = per_call(lambda: Scorer(bundle), 3)
    with_parse = per_call(lambda: Scorer(ExtendedPredictiveModel(
        predictive_model_type=PredictiveModelType.XGB, external_model={"xgb_model": json.loads(text)})), 3)
    grown = resident_growth_per_scorer(text)
    table("4. A 1,000-tree model of depth 6 (ms; the resident size measured in a fresh interpreter)",
          ["XGBoost loads the JSON", "scorer from the bundle", "json.loads + bundle + scorer",
           "XGBoost / scorer (target 0.5x)", "RSS per scorer kept", "JSON text"],
          [[f"{theirs * 1e3:.1f}", f"{native * 1e3:.1f}", f"{with_parse * 1e3:.1f}", f"{theirs / native:.2f}x",
            f"{grown / 1e6:.2f} MB", f"{len(text) / 1e6:.2f} MB"]])


KEPT_SCORERS = """
import gc, json, os, sys
from kelvane_analytics_utils.predictive_models.scorebundle import ExtendedPredictiveModel, PredictiveModelType
from kelvane_analytics_utils.predictive_models.scoring import ExtendedPredictiveModelScorer
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
bundle = ExtendedPredictiveModel(predictive_model_type=PredictiveModelType.XGB,
                                 external_model={"xgb_model": json.loads(sys.stdin.read())})
gc.collect()
before = rss()
kept = [ExtendedPredictiveModelScorer(bundle) for _ in range(10)]
print((rss() - before) / len(kept))
"""


def resident_growth_per_scorer(text):
    """Resident memory added per scorer kept, in a fresh interpreter (so that no
    memory freed by the timing loops is reused)."""
    out = subprocess.run([sys.executable, "-c", KEPT_SCORERS], input=text, capture_output=True, text=True,
                         check=True)
    return float(out.stdout)


# ------------------------------------------------------------ 5. memory


def memory(bundle, values, calls):
    scorer = Scorer(bundle)
    score = scorer.score
    for _ in range(1000):
        score(values)
    gc.collect()
    blocks, rss = sys.getallocatedblocks(), rss_bytes()
    for _ in range(calls):
        score(values)
    gc.collect()
    table(f"5. Memory over {calls:,} score calls (50-attribute record)",
          ["Python blocks added", "RSS growth"],
          [[sys.getallocatedblocks() - blocks, f"{(rss_bytes() - rss) / 1e6:.2f} MB"]])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--calls", type=int, default=1_000_000)
    args = parser.parse_args()
    print(f"xgboost {xgb.__version__}, numpy {np.__version__}, {os.cpu_count()} CPUs")
    exactness()
    record = one_record_bundle()
    one_record(*record)
    batch()
    building()
    memory(record[0], record[3], args.calls)


if __name__ == "__main__":
    main()
