"""The scorer on generated forests and rows, against the plain walk of the
rules; and generated corruptions of valid documents, which construction must
refuse with ValueError (never a crash, and never a walk that does not end)."""
import copy
import json
import math

from hypothesis import given, strategies as st
import numpy as np
import xgboost as xgb

from kelvane_analytics_utils.predictive_models.scorebundle import ExtendedPredictiveModel, PredictiveModelType
from kelvane_analytics_utils.predictive_models.scoring import ExtendedPredictiveModelScorer as Scorer
import plain_rules as rules
from fuzz.conftest import CASES

OBJECTIVES = ["binary:logistic", "reg:logistic", "binary:logitraw", "reg:squarederror", "multi:softprob",
              "multi:softmax", "count:poisson", "reg:tweedie", "reg:gamma"]
# A few thresholds, so that rows meet them exactly and just below.
CUTS = [-1.5, -0.25, 0.0, 0.1, 0.5, 3.0, 1e30]
TEMPLATES = {}


def template(objective):
    """A real document of the objective (one round, two features) whose trees are replaced."""
    if objective not in TEMPLATES:
        x = np.array([[0.0, 1.0], [1.0, 0.0], [2.0, 1.0], [3.0, 0.0]] * 5)
        y = np.array([0.0, 1.0, 2.0, 1.0] * 5)
        params = {"objective": objective, "nthread": 1, "max_depth": 1}
        if objective.startswith("multi:"):
            params["num_class"] = 3
        elif objective in ("binary:logistic", "reg:logistic", "binary:logitraw"):
            y = (y > 0.5).astype(float)
        else:
            y = y + 1.0
        booster = xgb.train(params, xgb.DMatrix(x, label=y), num_boost_round=1)
        TEMPLATES[objective] = json.loads(booster.save_raw("json"))
        TEMPLATES[objective]["learner"]["attributes"] = {}
    return copy.deepcopy(TEMPLATES[objective])


@st.composite
def trees(draw, n_features, categorical):
    """One tree as XGBoost saves it: node arrays, categorical splits on the
    categorical features (codes 0..9), leaves holding their value."""
    left, right, parents, feature, condition, default_left, split_type = [], [], [], [], [], [], []
    categories, category_nodes, segments, sizes = [], [], [], []

    def add(parent):
        for array, value in ((left, -1), (right, -1), (parents, parent), (feature, 0), (condition, 0.0),
                             (default_left, 0), (split_type, 0)):
            array.append(value)
        return len(left) - 1

    pending = [(add(2147483647), 0)]   # (node, depth), breadth first as XGBoost numbers them
    while pending:
        node, depth = pending.pop(0)
        if depth >= 4 or not draw(st.booleans()):
            condition[node] = draw(st.floats(-2, 2, width=32))
            continue
        f = draw(st.integers(0, n_features - 1))
        feature[node] = f
        default_left[node] = int(draw(st.booleans()))
        if f in categorical:
            split_type[node] = 1
            chosen = sorted(draw(st.sets(st.integers(0, 9), min_size=1, max_size=5)))
            category_nodes.append(node)
            segments.append(len(categories))
            sizes.append(len(chosen))
            categories.extend(chosen)
        else:
            condition[node] = draw(st.sampled_from(CUTS) | st.floats(-2, 2, width=32))
        for children in (left, right):
            children[node] = add(node)
            pending.append((children[node], depth + 1))
    n = len(left)
    return {"base_weights": [0.0] * n, "categories": categories, "categories_nodes": category_nodes,
            "categories_segments": segments, "categories_sizes": sizes, "default_left": default_left, "id": 0,
            "left_children": left, "loss_changes": [0.0] * n, "parents": parents,
            "right_children": right, "split_conditions": condition, "split_indices": feature,
            "split_type": split_type, "sum_hessian": [1.0] * n,
            "tree_param": {"num_deleted": "0", "num_feature": str(n_features), "num_nodes": str(n),
                           "size_leaf_vector": "1"}}


@st.composite
def documents(draw):
    """A valid document: random objective, features (some categorical), rounds,
    parallel trees, base score, dart weights, with or without round boundaries."""
    objective = draw(st.sampled_from(OBJECTIVES))
    doc = template(objective)
    learner = doc["learner"]
    n_features = draw(st.integers(1, 4))
    categorical = set(draw(st.sets(st.integers(0, n_features - 1), max_size=2)))
    groups = 3 if objective.startswith("multi:") else 1
    parallel = draw(st.integers(1, 2))
    rounds = draw(st.integers(1, 3))
    forest = [draw(trees(n_features, categorical)) for _ in range(rounds * groups * parallel)]
    for i, tree in enumerate(forest):
        tree["id"] = i
    model = learner["gradient_booster"]["model"]
    model["trees"] = forest
    model["tree_info"] = [(i // parallel) % groups for i in range(len(forest))]
    model["gbtree_model_param"] = {"num_parallel_tree": str(parallel), "num_trees": str(len(forest))}
    # The layout of XGBoost 3.1 and later (round boundaries, a base score per group, dropout weights
    # beside the trees) or that of 1.7 (none of these, dart as a booster of its own).
    old = draw(st.booleans())
    dart = draw(st.booleans())
    weights = [draw(st.floats(0.125, 1.5, width=32)) for _ in forest] if dart else []
    low = 0.0625 if objective in rules.LOGIT_OBJECTIVES + rules.LOG_LINK_OBJECTIVES else -3.0
    high = 0.9375 if objective in rules.LOGIT_OBJECTIVES else 3.0
    bases = [draw(st.floats(low, high, width=32)) for _ in range(1 if old else groups)]
    param = learner["learner_model_param"]
    param["num_feature"] = str(n_features)
    learner["feature_names"] = [f"f{i}" for i in range(n_features)]
    learner["feature_types"] = ["c" if i in categorical else "float" for i in range(n_features)]
    if old:
        doc["version"] = [1, 7, 6]
        model.pop("iteration_indptr", None)
        model.pop("cats", None)
        param["base_score"] = f"{bases[0]:.8E}"
        if dart:
            learner["gradient_booster"] = {"name": "dart", "gbtree": learner["gradient_booster"],
                                           "weight_drop": weights}
    else:
        model["iteration_indptr"] = list(range(0, len(forest) + 1, groups * parallel))
        param["base_score"] = "[" + ",".join(f"{b:.8E}" for b in bases) + "]"
        if dart:
            model["weight_drop"] = weights
    return doc


VALUES = st.sampled_from(CUTS) | st.floats(width=32) | st.sampled_from([math.nan, -math.inf, math.inf]) | \
    st.integers(-2, 12).map(float) | st.sampled_from([2.0 ** 24, 2.0 ** 24 - 1, 0.5, 2.5])


def below(x):
    with np.errstate(over="ignore"):   # the float32 below the lowest finite one is -inf
        return float(np.nextafter(np.float32(x), np.float32(-np.inf)))


def bundle(doc):
    return ExtendedPredictiveModel(predictive_model_type=PredictiveModelType.XGB, external_model={"xgb_model": doc})


@given(doc=documents(), data=st.data())
def test_generated_forests_follow_the_walk(doc, data):
    n_features = len(doc["learner"]["feature_names"])
    rows = data.draw(st.lists(st.lists(VALUES | VALUES.map(below), min_size=n_features, max_size=n_features),
                              min_size=1, max_size=6))
    rounds = len(rules.xgb_forest(doc)[3]) - 1
    end = data.draw(st.none() | st.integers(1, rounds))
    margin = data.draw(st.booleans())
    scorer = Scorer(bundle(doc), iteration_end=end)
    columns = {name: [row[j] for row in rows] for j, name in enumerate(doc["learner"]["feature_names"])}
    got = np.asarray(scorer.score_batch(columns, output_margin=margin)).reshape(len(rows), -1)
    for i, row in enumerate(rows):
        CASES["score_batch"] += 1
        expected = [float(v).hex() for v in rules.xgb_score(doc, row, end, margin)]
        assert [float(v).hex() for v in got[i]] == expected, (i, row)
    single = scorer.score(dict(zip(doc["learner"]["feature_names"], rows[0])), output_margin=margin)
    assert [float(v).hex() for v in (single if isinstance(single, list) else [single])] == \
        [float(v).hex() for v in got[0]]


def _inner(tree):
    return [n for n, child in enumerate(tree["left_children"]) if child != -1]


def corrupt(doc, data):
    """One corruption of a valid document, chosen and placed by `data`."""
    booster = doc["learner"]["gradient_booster"]
    model = (booster["gbtree"] if booster["name"] == "dart" else booster)["model"]
    inner_trees = [t for t in model["trees"] if _inner(t)]
    kinds = ["unequal", "wrong type", "group beyond", "tree info length", "no trees"]
    if inner_trees:
        kinds += ["child beyond", "one child", "cycle", "feature beyond"]
    kind = data.draw(st.sampled_from(kinds))
    tree = data.draw(st.sampled_from(inner_trees or model["trees"]))
    n = len(tree["left_children"])
    node = data.draw(st.sampled_from(_inner(tree))) if inner_trees else 0
    side = data.draw(st.sampled_from(["left_children", "right_children"]))
    if kind == "child beyond":
        tree[side][node] = data.draw(st.integers(n, 2 ** 40) | st.integers(-(2 ** 40), -2))
    elif kind == "one child":
        tree[side][node] = -1
    elif kind == "cycle":
        # A child pointing back to the node itself or to one of its ancestors (the root is one of them).
        tree[side][node] = data.draw(st.sampled_from([0, node]))
    elif kind == "feature beyond":
        tree["split_indices"][node] = data.draw(st.integers(len(doc["learner"]["feature_names"]), 2 ** 40)
                                                | st.integers(-(2 ** 40), -1))
    elif kind == "unequal":
        array = data.draw(st.sampled_from(["left_children", "right_children", "split_indices", "split_conditions",
                                           "default_left"]))
        tree[array].pop() if data.draw(st.booleans()) else tree[array].append(tree[array][-1])
    elif kind == "wrong type":
        array = data.draw(st.sampled_from(["left_children", "right_children", "split_indices", "split_conditions",
                                           "default_left"]))
        tree[array][data.draw(st.integers(0, n - 1))] = data.draw(st.sampled_from(["1", None, [1], {"a": 1}]))
    elif kind == "group beyond":
        model["tree_info"][data.draw(st.integers(0, len(model["tree_info"]) - 1))] = data.draw(
            st.integers(3, 2 ** 40) | st.integers(-(2 ** 40), -1))
    elif kind == "tree info length":
        model["tree_info"].pop()
    else:
        model["trees"] = data.draw(st.sampled_from([{}, "trees", None, 3]))
    return kind


@given(doc=documents(), data=st.data())
def test_corrupt_documents_are_refused(doc, data):
    kind = corrupt(doc, data)
    CASES["corrupt document"] += 1
    try:
        Scorer(bundle(doc))
    except ValueError:
        return
    raise AssertionError(f"{kind}: accepted")
