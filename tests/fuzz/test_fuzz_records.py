"""General notes, metric names and record validation on generated input,
against the rules; hostile mappings never end in a crash or a SystemError."""
import contextlib
import io

import pydantic
from hypothesis import given, strategies as st

from kelvane_analytics_utils.predictive_models.dossier.dossier import PredictiveModelDescription
from kelvane_analytics_utils.predictive_models.scorebundle import ExtendedPredictiveModel
from kelvane_analytics_utils.predictive_models.yardstick.yardstick import PredictiveModelPerformance
import plain_rules as rules
from fuzz.common import FLOATS, INTS, TEXT, same

KEYS = st.sampled_from(["note", "note_1", "note_9", "notes", "note_٣", "note_x", "note_", "a"]) | TEXT
NOTES = st.lists(st.dictionaries(KEYS, TEXT | INTS, max_size=3) | TEXT | st.none() | INTS, max_size=5)


def _notes(steps, removals, add, remove):
    d = PredictiveModelDescription()
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        for note in steps:
            add(d, note)
        for key in removals:
            remove(d, key)
    return d.general_notes, out.getvalue()


@given(steps=NOTES, removals=st.lists(KEYS | INTS, max_size=3))
def test_general_notes_follow_the_rules(steps, removals):
    same("add/remove_general_note",
         lambda: _notes(steps, removals, lambda d, n: d.add_general_note(n), lambda d, k: d.remove_general_note(k)),
         lambda: _notes(steps, removals, rules.add_general_note, rules.remove_general_note))


@given(metric=TEXT | st.sampled_from(["gini", "Lift(10)", "lift(", "tar", "tau", "auc", "KS"]) | INTS | st.none())
def test_metric_names_follow_the_rules(metric):
    same("validate_performance_metric_str", lambda: PredictiveModelPerformance.validate_performance_metric_str(metric),
         lambda: rules.validate_performance_metric_str(metric))


LEAVES = st.none() | st.booleans() | INTS | FLOATS | TEXT
JSON = st.recursive(LEAVES, lambda inner: st.lists(inner, max_size=3) | st.dictionaries(TEXT, inner, max_size=3),
                    max_leaves=10)
BUNDLE_KEYS = st.sampled_from(["predictive_model_type", "attributes", "preparation", "description", "monitoring",
                               "performance", "external_model", "binning", "transformations", "discretisation",
                               "general_notes", "performance_metrics", "attribute", "type", "name", "id"])
MAPPINGS = st.recursive(st.dictionaries(BUNDLE_KEYS, LEAVES, max_size=4),
                        lambda inner: st.dictionaries(BUNDLE_KEYS, inner | st.lists(inner, max_size=2) | LEAVES,
                                                      max_size=4), max_leaves=12)


@given(data=MAPPINGS)
def test_hostile_mappings_fail_validation_cleanly(data):
    for cls in (ExtendedPredictiveModel, PredictiveModelDescription, PredictiveModelPerformance):
        same(f"{cls.__name__}.model_validate", lambda: _validated(cls, data), lambda: _validated(cls, data))


def _validated(cls, data):
    try:
        return cls.model_validate(data).model_dump()
    except pydantic.ValidationError as e:
        return ("invalid", e.error_count())
