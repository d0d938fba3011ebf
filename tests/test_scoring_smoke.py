"""The scorer on a small hand-written XGBoost document: one record and columns
agree, the preparation runs as apply_preprocessing does, a corrupt document is
refused, and scoring leaks no references."""
import copy
import math
import sys

import pytest
import structlog

from kelvane_analytics_utils.predictive_models.preparation.preparation import AttributePreprocessing
from kelvane_analytics_utils.predictive_models.scorebundle import ExtendedPredictiveModel
from kelvane_analytics_utils.predictive_models.scoring import ExtendedPredictiveModelScorer


def tree(split_feature, threshold, leaves, default_left=1):
    return {
        "tree_param": {"num_nodes": "3", "size_leaf_vector": "1", "num_feature": "3"},
        "left_children": [1, -1, -1],
        "right_children": [2, -1, -1],
        "parents": [2147483647, 0, 0],
        "split_indices": [split_feature, 0, 0],
        "split_conditions": [threshold, *leaves],
        "default_left": [default_left, 0, 0],
        "split_type": [0, 0, 0],
        "categories": [], "categories_nodes": [], "categories_segments": [], "categories_sizes": [],
        "base_weights": [0.0, 0.0, 0.0], "loss_changes": [0.0, 0.0, 0.0], "sum_hessian": [1.0, 1.0, 1.0],
        "id": 0,
    }


def document():
    trees = [tree(0, 0.5, [-0.25, 0.5]), tree(1, 1.0, [0.125, -0.375], default_left=0), tree(2, 0.5, [0.0625, 0.25])]
    return {"learner": {
        "attributes": {},
        "feature_names": ["age_bin", "income", "colour_red"],
        "feature_types": ["float", "float", "float"],
        "learner_model_param": {"base_score": "6E-1", "num_class": "0", "num_feature": "3", "num_target": "1"},
        "objective": {"name": "binary:logistic", "reg_loss_param": {"scale_pos_weight": "1"}},
        "gradient_booster": {"name": "gbtree", "model": {
            "gbtree_model_param": {"num_parallel_tree": "1", "num_trees": "3"},
            "trees": trees, "tree_info": [0, 0, 0], "iteration_indptr": [0, 1, 2, 3]}},
    }}


def bundle(doc=None):
    return ExtendedPredictiveModel(
        predictive_model_type="XGB", attributes=["age", "income", "colour"],
        external_model={"xgb_model": doc or document()},
        preparation=AttributePreprocessing(
            binning=AttributePreprocessing.add_discretisation({"age": {
                "dtype": "NUMERICAL", "bins": [-math.inf, 30, math.inf], "bin_vals": [0.2, 0.7], "null_val": 0.0,
                "binned_attribute_name": "age_bin"}}),
            dummy_encoding=[{"attribute": "colour", "encoding": [
                {"value": "red", "encoded_feature_name": "colour_red"},
                {"value": "blue", "encoded_feature_name": "colour_blue", "use_for_undefined": True}]}]))


RECORDS = [
    {"age": 41.0, "income": 2.0, "colour": "red"},
    {"age": 12, "income": None, "colour": "green"},
    {"age": None, "income": 1.0, "colour": "blue"},
    {"income": float("nan")},
]


def test_one_record_and_columns_agree_with_the_walk():
    np = pytest.importorskip("numpy")
    scorer = ExtendedPredictiveModelScorer(bundle())
    assert scorer.feature_names == ["age_bin", "income", "colour_red"]
    assert (scorer.output_size, scorer.iteration_end) == (1, 3)
    # age_bin 0.7 >= 0.5: right; income 2.0 >= 1.0: right; colour_red 1 >= 0.5: right.
    margin = np.float32(math.log(0.6 / 0.4)) + np.float32(0.5) + np.float32(-0.375) + np.float32(0.25)
    assert scorer.score(RECORDS[0], output_margin=True) == float(np.float32(margin))
    with structlog.testing.capture_logs() as one:
        scores = [scorer.score(r) for r in RECORDS]
    columns = {"age": [r.get("age") for r in RECORDS], "income": np.array([r.get("income", np.nan) for r in RECORDS], dtype=float),
               "colour": np.array([r.get("colour") for r in RECORDS], dtype=object)}
    with structlog.testing.capture_logs() as batch:
        result = np.asarray(scorer.score_batch(columns, n_threads=2))
    assert result.tolist() == scores and one == batch and len(one) == 2
    age_bin, income, colour_red = scorer.prepare(RECORDS[1])
    assert (age_bin, colour_red) == (float(np.float32(0.2)), 0.0) and math.isnan(income)


@pytest.mark.parametrize("damage, message", [
    (lambda t: t["left_children"].__setitem__(0, 7), "does not exist"),
    (lambda t: t["right_children"].__setitem__(0, -1), "one child"),
    (lambda t: t["left_children"].__setitem__(0, 0), "reached twice"),
    (lambda t: t["split_conditions"].pop(), "differ in length"),
    (lambda t: t["split_indices"].__setitem__(0, 3), "feature 3"),
    (lambda t: t["split_conditions"].__setitem__(1, "0.5"), "expected a number"),
])
def test_a_corrupt_document_is_refused(damage, message):
    doc = document()
    damage(doc["learner"]["gradient_booster"]["model"]["trees"][1])
    with pytest.raises(ValueError, match=message):
        ExtendedPredictiveModelScorer(bundle(doc))


def test_the_scorer_is_a_snapshot_and_leaks_nothing():
    model = bundle()
    scorer = ExtendedPredictiveModelScorer(model)
    before = scorer.score(RECORDS[0])
    model.preparation.binning[0].discretisation[2].value = 0.1
    assert scorer.score(RECORDS[0]) == before
    record = copy.deepcopy(RECORDS[0])
    counts = [sys.getrefcount(v) for v in record.values()]
    for _ in range(1000):
        scorer.score(record)
        scorer.prepare(record)
    assert [sys.getrefcount(v) for v in record.values()] == counts
