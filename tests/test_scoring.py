"""The native scorer against live XGBoost and scikit-learn: every supported
objective, dart, parallel trees, early stopping and native categories on
generated rows that sit on and just below the models' own split thresholds;
the whole-record preparation against `apply_preprocessing`; the column kinds
of a batch; and the refusals of corrupt documents and bad columns."""
import copy
import functools
import json
import math
import re
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from sklearn.linear_model import LogisticRegression
from structlog.testing import capture_logs
import xgboost as xgb

from kelvane_analytics_utils.predictive_models import scorebundle as sb
from kelvane_analytics_utils.predictive_models.preparation.preparation import AttributePreprocessing
from kelvane_analytics_utils.predictive_models.scoring import ExtendedPredictiveModelScorer as Scorer

M = sb.ExtendedPredictiveModel
T = sb.PredictiveModelType
DATA = Path(__file__).parent / "data"
FEATURES = [f"x{i}" for i in range(6)]
ROWS = 10_000


def training_data(n=600, seed=0):
    """Six features, NaNs in a tenth of the cells, one integer-valued column
    (so that splits sit between repeated values) and a signal to learn."""
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(n, len(FEATURES)))
    x[:, 3] = rng.integers(0, 5, n)
    x[rng.random(x.shape) < 0.1] = np.nan
    filled = np.nan_to_num(x)
    signal = filled[:, 0] - 0.5 * filled[:, 1] + 0.3 * filled[:, 2] + (x[:, 3] == 2) + 0.3 * rng.normal(size=n)
    return x, signal


def labels(objective, signal):
    rng = np.random.default_rng(1)
    if objective.startswith(("binary:", "reg:logistic")):
        return (signal > 0).astype(float)
    if objective.startswith("multi:"):
        return np.digitize(signal, np.quantile(signal, [1 / 3, 2 / 3])).astype(float)
    if objective in ("count:poisson", "reg:tweedie"):
        return rng.poisson(np.exp(0.4 * signal)).astype(float)
    if objective == "reg:gamma":
        return np.exp(0.3 * signal + 0.1 * rng.normal(size=len(signal)))
    if objective == "reg:squaredlogerror":
        return np.abs(signal)
    return signal


@functools.cache
def trained(objective, rounds=8, **extra):
    """A small booster trained live (single thread, fixed seed)."""
    x, signal = training_data()
    params = {"objective": objective, "max_depth": 4, "eta": 0.3, "nthread": 1, "seed": 3, **extra}
    if objective.startswith("multi:"):
        params["num_class"] = 3
    return xgb.train(params, xgb.DMatrix(x, label=labels(objective, signal), feature_names=FEATURES),
                     num_boost_round=rounds)


def document(booster):
    return json.loads(booster.save_raw("json"))


def xgb_bundle(doc, feature_names=None, **fields):
    external = {"xgb_model": doc} if feature_names is None else {"feature_names": feature_names, "xgb_model": doc}
    return M(predictive_model_type=T.XGB, external_model=external, **fields)


def numeric_thresholds(doc):
    """Per feature index, the float32 thresholds of the document's numerical splits."""
    found = {}
    booster = doc["learner"]["gradient_booster"]
    trees = (booster.get("gbtree", booster))["model"]["trees"]
    for tree in trees:
        for node, left in enumerate(tree["left_children"]):
            if left != -1 and tree.get("split_type", [0] * len(tree["left_children"]))[node] == 0:
                found.setdefault(tree["split_indices"][node], set()).add(np.float32(tree["split_conditions"][node]))
    return {f: np.array(sorted(v), dtype=np.float32) for f, v in found.items()}


def probe_rows(doc, n=ROWS, seed=7):
    """Rows drawn from the training data with cells replaced by a split
    threshold, the float32 just below it, a float64 just below it (which
    rounds back up to the threshold in float32), NaN or an infinity."""
    rng = np.random.default_rng(seed)
    width = int(doc["learner"]["learner_model_param"]["num_feature"])
    x = training_data()[0] if width == len(FEATURES) else rng.normal(size=(600, width)).round(1)
    rows = x[rng.integers(0, len(x), n)]
    for feature, cuts in numeric_thresholds(doc).items():
        kind = rng.choice(6, size=n, p=[0.3, 0.25, 0.2, 0.1, 0.1, 0.05])
        on = cuts[rng.integers(0, len(cuts), n)]
        below = np.nextafter(on, np.float32(-np.inf))
        column = rows[:, feature]
        column[kind == 1] = on[kind == 1]
        column[kind == 2] = below[kind == 2]
        column[kind == 3] = np.nextafter(on[kind == 3].astype(np.float64), -np.inf)
        column[kind == 4] = np.nan
        column[kind == 5] = rng.choice([-np.inf, np.inf], size=int((kind == 5).sum()))
    return np.asfortranarray(rows)   # columns contiguous


def columns_of(rows, names=FEATURES):
    return {name: rows[:, j] for j, name in enumerate(names)}


def same_bits(got, expected):
    """`got` (the scorer's float64 results) carries exactly XGBoost's float32 values."""
    got = np.asarray(got)
    assert got.dtype == np.float64
    assert got.shape == expected.shape
    mismatched = np.flatnonzero(got.reshape(len(got), -1).view(np.uint64) != expected.astype(np.float64)
                                .reshape(len(got), -1).view(np.uint64))
    assert mismatched.size == 0, (f"{mismatched.size} of {got.size} values differ, first at row "
                                  f"{mismatched[0] // (got.size // len(got))}")


def agree_row_by_row(scorer, rows, batch, names=FEATURES, sample=200, **options):
    """`score` of a sample of rows (NaN given as None or NaN, alternately) equals the batch's rows."""
    batch = np.asarray(batch)
    for i in np.random.default_rng(2).choice(len(rows), sample, replace=False):
        values = {n: (None if math.isnan(v) and i % 2 else float(v)) for n, v in zip(names, rows[i])}
        single = scorer.score(values, **options)
        expected = batch[i].tolist()
        assert (single if isinstance(single, list) else [single]) == (expected if isinstance(expected, list)
                                                                      else [expected]), i


# ---------------------------------------------------------------- agreement with XGBoost

OBJECTIVES = ["binary:logistic", "reg:logistic", "binary:logitraw", "reg:squarederror", "reg:squaredlogerror",
              "reg:pseudohubererror", "reg:absoluteerror", "multi:softprob", "multi:softmax", "count:poisson",
              "reg:tweedie", "reg:gamma"]
VARIANTS = [(objective, {}) for objective in OBJECTIVES] + [
    ("binary:logistic", {"rate_drop": 0.3, "skip_drop": 0.0, "one_drop": 1}),   # dart
    ("multi:softprob", {"rate_drop": 0.3, "skip_drop": 0.0, "one_drop": 1}),
    ("reg:squarederror", {"num_parallel_tree": 3, "subsample": 0.8, "colsample_bynode": 0.7}),
    ("multi:softprob", {"num_parallel_tree": 2, "subsample": 0.8}),
    ("binary:logistic", {"base_score": 0.2}),
]


@pytest.mark.parametrize("output_margin", [False, True])
@pytest.mark.parametrize("objective, extra", VARIANTS, ids=[f"{o}{'-' + '-'.join(e) if e else ''}" for o, e in VARIANTS])
def test_trees_agree_bit_for_bit_with_xgboost(objective, extra, output_margin):
    booster = trained(objective, **extra)
    doc = document(booster)
    if "rate_drop" in extra:
        assert set(doc["learner"]["gradient_booster"]["model"]["weight_drop"]) - {1.0}
    scorer = Scorer(xgb_bundle(doc))
    rows = probe_rows(doc)
    expected = booster.inplace_predict(rows, predict_type="margin" if output_margin else "value")
    got = scorer.score_batch(columns_of(rows), output_margin=output_margin)
    same_bits(got, expected)
    assert scorer.feature_names == FEATURES
    assert scorer.iteration_end == 8
    assert scorer.output_size == (3 if objective == "multi:softprob" else 1)
    agree_row_by_row(scorer, rows, got, output_margin=output_margin)


def test_early_stopped_model_scores_with_the_rounds_up_to_the_best_one():
    x, signal = training_data(seed=4)
    y = (signal + np.random.default_rng(5).normal(scale=2.0, size=len(signal)) > 0).astype(int)
    model = xgb.XGBClassifier(n_estimators=60, max_depth=4, learning_rate=0.5, early_stopping_rounds=3, n_jobs=1,
                              random_state=3)
    model.fit(x[:400], y[:400], eval_set=[(x[400:], y[400:])], verbose=False)
    booster = model.get_booster()
    rounds = booster.num_boosted_rounds()
    assert model.best_iteration + 1 < rounds
    doc = document(booster)
    bundle = xgb_bundle(doc, feature_names=[f"f{i}" for i in range(6)])
    rows = probe_rows(doc)
    columns = columns_of(rows, [f"f{i}" for i in range(6)])
    scorer = Scorer(bundle)
    assert scorer.iteration_end == bundle.get_external_model_best_iteration() == model.best_iteration + 1
    same_bits(scorer.score_batch(columns), model.predict_proba(rows)[:, 1])
    for end in (1, model.best_iteration + 1, rounds):
        same_bits(Scorer(bundle, iteration_end=end).score_batch(columns),
                  booster.inplace_predict(rows, iteration_range=(0, end)))


def categorical_frame(n, seed):
    rng = np.random.default_rng(seed)
    colours = [f"colour_{i}" for i in range(9)]
    frame = pd.DataFrame({"colour": pd.Categorical(rng.choice(colours, n), categories=colours),
                          "size": rng.normal(size=n), "shape": pd.Categorical(rng.choice(["o", "x", "v"], n))})
    frame.loc[rng.random(n) < 0.1, "colour"] = None
    frame.loc[rng.random(n) < 0.1, "size"] = np.nan
    signal = frame["colour"].cat.codes.isin([1, 4, 6]) + frame["size"].fillna(0) + (frame["shape"] == "x")
    return frame, (signal + rng.normal(size=n) > 1).astype(int)


@functools.cache
def categorical_model():
    frame, y = categorical_frame(800, 0)
    model = xgb.XGBClassifier(n_estimators=12, max_depth=4, tree_method="hist", enable_categorical=True,
                              max_cat_to_onehot=1, n_jobs=1, random_state=3)
    return model.fit(frame, y)


def test_native_categories_agree_with_xgboost():
    model = categorical_model()
    booster = model.get_booster()
    doc = document(booster)
    assert doc["learner"]["feature_types"] == ["c", "float", "c"]
    scorer = Scorer(xgb_bundle(doc))
    frame, _ = categorical_frame(ROWS, 1)
    expected = booster.inplace_predict(frame)
    # Categories by name (a category that is absent is missing), and by code.
    by_name = {"colour": frame["colour"].astype(object).where(frame["colour"].notna(), None).tolist(),
               "size": frame["size"].to_numpy(), "shape": frame["shape"].astype(str).to_numpy(dtype=object)}
    same_bits(scorer.score_batch(by_name), expected)
    same_bits(scorer.score_batch(frame), expected)
    codes = {"colour": frame["colour"].cat.codes.to_numpy(np.float64), "size": frame["size"].to_numpy(),
             "shape": frame["shape"].cat.codes.to_numpy(np.float64)}
    codes["colour"][codes["colour"] < 0] = np.nan
    same_bits(scorer.score_batch(codes), expected)
    # Codes the partitions do not hold, negative, fractional and beyond 2**24 go left, as XGBoost sends them.
    odd = np.tile(np.array([-1.0, -0.5, 2.5, 8.0, 9.0, 40.0, 2.0 ** 24, 2.0 ** 24 - 1, np.nan]), 3)
    rows = np.column_stack([odd, np.linspace(-2, 2, len(odd)), np.resize([0.0, 1.0, 2.0, 7.0], len(odd))])
    same_bits(scorer.score_batch(columns_of(np.asfortranarray(rows), ["colour", "size", "shape"])),
              booster.inplace_predict(rows))
    agree_row_by_row(scorer, rows, booster.inplace_predict(rows).astype(np.float64), ["colour", "size", "shape"],
                     sample=len(rows))
    with pytest.raises(ValueError, match="colour_99"):
        scorer.score({"colour": "colour_99", "size": 0.0, "shape": "x"})


OLD_DOCUMENTS = sorted(DATA.glob("xgb_v*.json"))


@pytest.mark.filterwarnings("ignore:.*booster=dart. is deprecated")
@pytest.mark.parametrize("path", OLD_DOCUMENTS, ids=[p.stem for p in OLD_DOCUMENTS])
def test_documents_of_older_xgboost_majors(path):
    booster = xgb.Booster(model_file=str(path))
    doc = json.loads(path.read_text())
    rows = probe_rows(doc, n=2000)
    names = doc["learner"]["feature_names"]
    scorer = Scorer(xgb_bundle(doc))
    same_bits(scorer.score_batch(columns_of(rows, names)), booster.inplace_predict(rows))


def test_old_documents_are_there():
    assert {p.stem.split("_")[1] for p in OLD_DOCUMENTS} >= {"v1.7", "v2.1"}


# ---------------------------------------------------------------- linear models


@functools.cache
def logistic_regression():
    x, signal = training_data()
    x = np.nan_to_num(x)
    return LogisticRegression(C=0.5).fit(x, signal > 0), x


@pytest.mark.parametrize("layout", ["arrays", "intercept"])
@pytest.mark.parametrize("kind", [T.LOGISTIC_REGRESSION, T.EXPERT_SCORE])
def test_linear_models_agree_with_scikit_learn(kind, layout):
    model, x = logistic_regression()
    external = {"feature_names": FEATURES, "model": {"coef_": model.coef_.tolist()}}
    if layout == "arrays":
        external["model"]["intercept_"] = model.intercept_.tolist()
    else:
        external["intercept"] = float(model.intercept_[0])
    scorer = Scorer(M(predictive_model_type=kind, external_model=external))
    assert scorer.iteration_end is None and scorer.output_size == 1
    rows = np.asfortranarray(np.random.default_rng(3).normal(scale=3.0, size=(ROWS, len(FEATURES))))
    linear = model.decision_function(rows)
    expected = model.predict_proba(rows)[:, 1] if kind == T.LOGISTIC_REGRESSION else linear
    np.testing.assert_allclose(scorer.score_batch(columns_of(rows)), expected, rtol=1e-12, atol=0)
    np.testing.assert_allclose(scorer.score_batch(columns_of(rows), output_margin=True), linear, rtol=1e-12, atol=0)
    agree_row_by_row(scorer, rows, scorer.score_batch(columns_of(rows)))
    with pytest.raises(ValueError, match="x4"):
        scorer.score({f: 1.0 for f in FEATURES if f != "x4"})
    with pytest.raises(ValueError, match="x2"):
        scorer.score_batch({**columns_of(rows[:3]), "x2": [1.0, math.nan, 2.0]})


def test_linear_model_without_feature_names_reads_the_attributes():
    model, x = logistic_regression()
    attributes = [f"a{i}" for i in range(6)]
    bundle = M(predictive_model_type=T.EXPERT_SCORE, attributes=attributes,
               external_model={"model": {"coef_": model.coef_.tolist()}})   # no intercept: 0.0
    rows = np.asfortranarray(x[:50])
    expected = rows @ model.coef_[0]
    np.testing.assert_allclose(Scorer(bundle).score_batch(columns_of(rows, attributes)), expected, rtol=1e-12)


# ---------------------------------------------------------------- preparation of a record

ATTRIBUTES = ["age", "income", "region", "tenure", "segment"]
MODEL_FEATURES = ["age_bin", "log_income", "region_north", "region_south", "tenure", "segment_bin"]


def prepared_bundle():
    """A bundle whose model reads a binned, a transformed, two dummy, a raw and a categorically binned feature."""
    rng = np.random.default_rng(8)
    x = rng.normal(size=(300, len(MODEL_FEATURES)))
    booster = xgb.train({"objective": "binary:logistic", "max_depth": 3, "nthread": 1, "seed": 1},
                        xgb.DMatrix(x, label=(x.sum(axis=1) > 0), feature_names=MODEL_FEATURES), 5)
    preparation = AttributePreprocessing(
        transformations=[{"attribute": "income", "transformation": "log(income)",
                          "transformed_attribute_name": "log_income"}],
        binning=AttributePreprocessing.add_discretisation({
            "age": {"dtype": "NUMERICAL", "bins": [18, 30, 50, 70], "bin_vals": [-1.0, 0.25, 1.5],
                    "binned_attribute_name": "age_bin"},
            "segment": {"dtype": "CATEGORICAL", "bins": [["a", "b"], ["c"]], "bin_vals": [-0.5, 0.5],
                        "binned_attribute_name": "segment_bin"}}),
        dummy_encoding=[{"attribute": "region", "encoding": [
            {"value": "north", "encoded_feature_name": "region_north"},
            {"value": "south", "encoded_feature_name": "region_south", "use_for_undefined": True}]}])
    return xgb_bundle(document(booster), attributes=ATTRIBUTES, preparation=preparation), booster


def composed(bundle, values):
    """The documented composition: `apply_preprocessing`, then the record's own values, else missing;
    XGBoost reads float32."""
    prepared = bundle.preparation.apply_preprocessing(values)
    row = []
    for f in MODEL_FEATURES:
        value = prepared[f] if f in prepared else values.get(f)
        row.append(math.nan if value is None else float(np.float32(value)))
    return row


RECORDS = [
    {"age": 41.0, "income": 3.0, "log_income": 1.1, "region": "north", "tenure": 4, "segment": "a"},
    {"age": 90.0, "log_income": -0.3, "region": "west", "tenure": None, "segment": "z"},   # defaults hit
    {"age": None, "log_income": math.nan, "region": None, "tenure": True, "segment": None},
    {"age": 18, "log_income": 0, "region": "south", "tenure": np.float32(2.5), "segment": "c"},
]


def outcome(call):
    with capture_logs() as logs:
        try:
            result = call()
        except Exception as e:  # noqa: BLE001 - the class and text are compared
            result = (type(e), str(e))
    return result, [(e["log_level"], e["event"]) for e in logs]


def same_floats(a, b):
    return [float(v).hex() for v in a] == [float(v).hex() for v in b]


def test_prepare_and_score_follow_apply_preprocessing():
    bundle, booster = prepared_bundle()
    scorer = Scorer(bundle)
    assert scorer.feature_names == MODEL_FEATURES
    for values in RECORDS:
        (expected, expected_logs), (got, got_logs) = outcome(lambda: composed(bundle, values)), \
            outcome(lambda: scorer.prepare(values))
        assert same_floats(got, expected) and got_logs == expected_logs, values
        score, score_logs = outcome(lambda: scorer.score(values))
        assert score_logs == expected_logs
        assert score == float(booster.inplace_predict(np.array([expected]))[0])
    # The batch: same values as the rows, same events in row order.
    columns = {a: [r.get(a) for r in RECORDS * 3] for a in ATTRIBUTES + ["log_income"]}
    batch, batch_logs = outcome(lambda: scorer.score_batch(columns))
    rows = [outcome(lambda: scorer.score({a: c[i] for a, c in columns.items()})) for i in range(len(RECORDS) * 3)]
    assert np.asarray(batch).tolist() == [r[0] for r in rows]
    assert batch_logs == [event for r in rows for event in r[1]]
    threaded, threaded_logs = outcome(lambda: scorer.score_batch(columns, n_threads=2))
    assert np.asarray(threaded).tolist() == np.asarray(batch).tolist() and threaded_logs == batch_logs
    # A snapshot: later changes to the bundle do not reach the scorer.
    before = scorer.score(RECORDS[0])
    bundle.preparation.binning[0].discretisation[1].value = 9.0
    bundle.external_model["xgb_model"]["learner"]["gradient_booster"]["model"]["trees"].clear()
    assert scorer.score(RECORDS[0]) == before


@pytest.mark.parametrize("values, error, words", [
    ({"age": 41.0, "region": "north", "tenure": 1.0, "segment": "a"}, ValueError, ["log_income", "log(income)"]),
    ({**RECORDS[0], "tenure": "four"}, TypeError, ["tenure"]),
    ({**RECORDS[0], "segment": 3}, TypeError, ["Binning attribute segment: "]),
    ([("age", 1.0)], TypeError, ["Argument 'values' has incorrect type (expected dict, got list)"]),
])
def test_record_errors(values, error, words):
    bundle, _ = prepared_bundle()
    scorer = Scorer(bundle)
    for call in (scorer.prepare, scorer.score):
        with pytest.raises(error) as failure:
            call(values)
        assert all(w in str(failure.value) for w in words), str(failure.value)
    if isinstance(values, dict) and "Binning attribute" in words[0]:
        assert outcome(lambda: scorer.prepare(values)) == outcome(lambda: bundle.preparation.apply_preprocessing(values))


def test_features_nothing_produces_are_refused_at_construction():
    bundle, _ = prepared_bundle()
    bundle.attributes = ["age", "income", "region", "segment"]   # tenure is no longer declared
    with pytest.raises(ValueError, match="tenure"):
        Scorer(bundle)
    doc = bundle.external_model["xgb_model"]
    with pytest.raises(ValueError):
        Scorer(xgb_bundle({**doc, "learner": {k: v for k, v in doc["learner"].items() if k != "feature_names"}}))
    # Names given beside the document win over the document's own.
    renamed = [f"r{i}" for i in range(len(MODEL_FEATURES))]
    assert Scorer(xgb_bundle(doc, feature_names=renamed)).feature_names == renamed


# ---------------------------------------------------------------- columns of a batch


@functools.cache
def raw_scorer():
    booster = trained("binary:logistic", rounds=4)
    return Scorer(xgb_bundle(document(booster))), booster


KINDS = {
    "list": lambda v: v.tolist(),
    "tuple": lambda v: tuple(v.tolist()),
    "float64": lambda v: np.ascontiguousarray(v),
    "float32": lambda v: v.astype(np.float32),
    "int64": lambda v: np.nan_to_num(v, posinf=2.0 ** 40, neginf=-2.0 ** 40).round().astype(np.int64),
    "int32": lambda v: np.nan_to_num(v, posinf=2.0 ** 30, neginf=-2.0 ** 30).round().astype(np.int32),
    "bool": lambda v: np.nan_to_num(v) > 0,
    "object": lambda v: np.array([None if math.isnan(x) else np.float64(x) for x in v], dtype=object),
}


@pytest.mark.parametrize("kind", KINDS)
def test_column_kinds(kind):
    scorer, booster = raw_scorer()
    rows = probe_rows(document(booster), n=500)
    columns = {n: KINDS[kind](c) for n, c in columns_of(rows).items()}
    as_floats = np.column_stack([np.array([math.nan if x is None else float(x) for x in c], dtype=np.float64)
                                 for c in columns.values()])
    got = scorer.score_batch(columns)
    same_bits(got, booster.inplace_predict(as_floats))
    same_bits(scorer.score_batch(pd.DataFrame(columns) if kind != "tuple" else columns), np.asarray(got, np.float32))
    wrapped = np.asarray(got, copy=False)   # no copy needed
    assert wrapped.shape == (500,) and wrapped.dtype == np.float64


def test_numpy_texts_reach_the_rules_as_str():
    bundle, _ = prepared_bundle()
    scorer = Scorer(bundle)
    records = RECORDS * 5
    plain = {a: [r.get(a) for r in records] for a in ATTRIBUTES + ["log_income"]}
    numpy = {a: np.array([np.str_(v) if isinstance(v, str) else v for v in c], dtype=object) for a, c in plain.items()}
    assert outcome(lambda: scorer.score_batch(numpy))[0].tolist() == scorer.score_batch(plain).tolist()


def test_threads_split_the_rows_without_changing_them():
    scorer = Scorer(xgb_bundle(document(trained("multi:softprob"))))
    columns = columns_of(probe_rows(document(trained("multi:softprob")), n=20_001))
    one = np.asarray(scorer.score_batch(columns, n_threads=1))
    two = np.asarray(scorer.score_batch(columns, n_threads=2))
    assert one.shape == (20_001, 3) and one.tobytes() == two.tobytes()
    for n_threads in (1, 2):
        assert np.asarray(scorer.score_batch({f: [] for f in FEATURES}, n_threads=n_threads)).shape == (0, 3)


def _bad_columns():
    good = {f: [0.5, 1.0, math.nan] for f in FEATURES}
    strided = np.arange(12, dtype=np.float64)[::4]
    return [
        ("unequal", {**good, "x1": [0.5]}, ValueError, None),
        ("not a mapping", list(good.items()), TypeError, None),
        ("complex", {**good, "x1": np.ones(3, dtype=complex)}, (TypeError, ValueError), None),
        ("datetime", {**good, "x1": np.array(["2024-01-01"] * 3, dtype="datetime64[D]")}, (TypeError, ValueError),
         None),
        ("text in numbers", {**good, "x2": [0.5, "high", 1.0]}, TypeError, "x2"),
        ("int beyond float", {**good, "x0": [10 ** 400, 1, 2]}, (OverflowError, ValueError, TypeError), None),
        # Accepted through its strides or refused: either is sound, a wrong value is not.
        ("strided", {**good, "x1": strided}, None, {**good, "x1": strided.copy()}),
        ("big ints", {**good, "x0": [2 ** 64, -(2 ** 70), 3]}, None, {**good, "x0": [float(2 ** 64), -float(2 ** 70), 3.0]}),
    ]


@pytest.mark.parametrize("name, columns, error, detail", _bad_columns(), ids=[c[0] for c in _bad_columns()])
def test_bad_columns(name, columns, error, detail):
    scorer, _ = raw_scorer()
    if error is not None:
        with pytest.raises(error) as failure:
            scorer.score_batch(columns)
        assert detail is None or detail in str(failure.value)
        return
    try:
        got = scorer.score_batch(columns)
    except (TypeError, ValueError, BufferError):
        return
    assert np.asarray(got).tobytes() == np.asarray(scorer.score_batch(detail)).tobytes()


# ---------------------------------------------------------------- refused documents and models


def small_document():
    return document(trained("binary:logistic", rounds=2))


def _tree(doc, index=0):
    return doc["learner"]["gradient_booster"]["model"]["trees"][index]


def _inner_node(tree):
    return next(n for n, left in enumerate(tree["left_children"]) if left != -1)


def _set(path, value):
    def corrupt(doc):
        *parents, last = path
        target = doc
        for key in parents:
            target = target[key]
        target[last] = value
    return corrupt


def _tree_edit(edit):
    def corrupt(doc):
        tree = _tree(doc)
        edit(tree, _inner_node(tree))
    return corrupt


CORRUPTIONS = {
    "child beyond the nodes": _tree_edit(lambda t, n: t["left_children"].__setitem__(n, 10_000)),
    "negative child": _tree_edit(lambda t, n: t["right_children"].__setitem__(n, -7)),
    "one child": _tree_edit(lambda t, n: t["right_children"].__setitem__(n, -1)),
    "cycle": _tree_edit(lambda t, n: t["left_children"].__setitem__(t["left_children"][n], n) or
                        t["right_children"].__setitem__(t["left_children"][n], 0)),
    "child is the root": _tree_edit(lambda t, n: t["right_children"].__setitem__(n, 0)),
    "unequal arrays": _tree_edit(lambda t, n: t["split_conditions"].pop()),
    "feature beyond the list": _tree_edit(lambda t, n: t["split_indices"].__setitem__(n, len(FEATURES) + 3)),
    "threshold of the wrong type": _tree_edit(lambda t, n: t["split_conditions"].__setitem__(n, "0.5")),
    "children of the wrong type": _tree_edit(lambda t, n: t.__setitem__("left_children", "0")),
    "no trees list": _set(["learner", "gradient_booster", "model", "trees"], {}),
    "tree of another group": _set(["learner", "gradient_booster", "model", "tree_info"], [0, 4]),
    "tree info too short": _set(["learner", "gradient_booster", "model", "tree_info"], [0]),
    "base score text": _set(["learner", "learner_model_param", "base_score"], "half"),
    "no learner": lambda doc: doc.pop("learner"),
    "no objective": lambda doc: doc["learner"].pop("objective"),
    "rounds beyond the trees": _set(["learner", "gradient_booster", "model", "iteration_indptr"], [0, 1, 5]),
    "categories of a node beyond the list": _tree_edit(
        lambda t, n: (t["split_type"].__setitem__(n, 1), t.update(categories=[1], categories_nodes=[n],
                                                                   categories_segments=[3], categories_sizes=[1]))),
}


@pytest.mark.parametrize("name", CORRUPTIONS)
def test_corrupt_documents_are_refused_at_construction(name):
    doc = small_document()
    CORRUPTIONS[name](doc)
    with pytest.raises(ValueError):
        Scorer(xgb_bundle(doc))


def _ranking():
    x, signal = training_data()
    return xgb.train({"objective": "rank:pairwise", "nthread": 1}, xgb.DMatrix(
        x, label=(signal > 0), qid=np.repeat(np.arange(60), 10), feature_names=FEATURES), 2)


def _vector_leaf():
    x, signal = training_data()
    return xgb.train({"tree_method": "hist", "multi_strategy": "multi_output_tree", "nthread": 1},
                     xgb.DMatrix(x, label=np.column_stack([signal, -signal]), feature_names=FEATURES), 2)


UNSUPPORTED = {
    "rank:pairwise": _ranking,
    "survival:cox": lambda: trained("survival:cox", rounds=2),
    "reg:quantileerror": lambda: trained("reg:quantileerror", rounds=2, quantile_alpha=0.3),
    "binary:hinge": lambda: trained("binary:hinge", rounds=2),
    "gblinear": lambda: trained("reg:squarederror", rounds=2, booster="gblinear"),
    "multi_output_tree": _vector_leaf,
}


@pytest.mark.filterwarnings("ignore::UserWarning")   # XGBoost's deprecation notices
@pytest.mark.parametrize("name", UNSUPPORTED)
def test_unsupported_models_are_named(name):
    bundle = xgb_bundle(document(UNSUPPORTED[name]()))
    with pytest.raises(ValueError, match=None if name == "multi_output_tree" else re.escape(name)):
        Scorer(bundle)


@pytest.mark.parametrize("kind", [T.PMML, T.RANDOM_FOREST, T.COX_PH_FITTER, None])
def test_unsupported_bundle_types_are_named(kind):
    with pytest.raises(ValueError, match=kind.name if kind is not None else None):
        Scorer(M(predictive_model_type=kind, attributes=["a"], external_model={"pmml_model": "<PMML/>"}))


@pytest.mark.parametrize("end, error", [(0, ValueError), (-1, ValueError), (3, ValueError), (True, TypeError),
                                        (1.5, (TypeError, ValueError)), ("2", (TypeError, ValueError))])
def test_iteration_end_outside_the_rounds_is_refused(end, error):
    doc = small_document()
    with pytest.raises(error):
        Scorer(xgb_bundle(doc), iteration_end=end)
    assert Scorer(xgb_bundle(copy.deepcopy(doc)), iteration_end=2).iteration_end == 2
