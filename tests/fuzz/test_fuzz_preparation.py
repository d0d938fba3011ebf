"""The preprocessing registry, formulas and dummy encodings on generated
records with hostile fields, against the rules."""
from hypothesis import given, strategies as st

from kelvane_analytics_utils.predictive_models.preparation.discretisation import AttributeBinning
from kelvane_analytics_utils.predictive_models.preparation.preparation import (
    AttributePreprocessing,
    PredictiveModelDummyEncoding,
    PredictiveModelDummyEncodingSingleValue as Single,
)
from kelvane_analytics_utils.predictive_models.preparation.reshaping import AttributeTransformation
import plain_rules as rules
from fuzz.common import FLOATS, TEXT, Hostile, same

ATTR = st.sampled_from(["a", "b", "c"])
HOSTILE = st.sampled_from(Hostile.KINDS + ["none", "int"] * 2)
TAMPER = st.none() | st.none() | HOSTILE

shape = st.fixed_dictionaries({
    "transformations": st.lists(st.tuples(ATTR, TEXT | st.just("log(a)"), st.none() | ATTR, TAMPER), max_size=4),
    "binnings": st.lists(st.tuples(ATTR, st.none() | ATTR, TAMPER), max_size=3),
    "encodings": st.lists(st.tuples(ATTR, st.lists(st.tuples(
        st.sampled_from(["red", "blue", 1, 1.0, "1"]) | FLOATS, st.sampled_from(["f1", "f2", "f3", ""]),
        st.booleans(), TAMPER), max_size=4)), max_size=3),
})


def _tamper(hostile, value, kind):
    if kind is None:
        return value
    if kind == "none":
        return None
    if kind == "int":
        return 5
    return hostile.str(kind, value) if isinstance(value, str) else value


def build(s):
    prep = AttributePreprocessing()
    hostile = Hostile(victim=prep.transformations)
    for attribute, formula, created, kind in s["transformations"]:
        t = AttributeTransformation(attribute=attribute, transformation=formula, transformed_attribute_name=created)
        t.attribute = _tamper(hostile, attribute, kind)
        prep.transformations.append(t)
    for attribute, created, kind in s["binnings"]:
        b = AttributeBinning(attribute=attribute, attribute_data_type="NUMERICAL", binned_attribute_name=created)
        b.binned_attribute_name = _tamper(hostile, created, kind)
        prep.binning.append(b)
    for attribute, singles in s["encodings"]:
        entries = []
        for value, feature, undefined, kind in singles:
            if feature == attribute:
                continue
            e = Single(value=value, encoded_feature_name=feature, use_for_undefined=undefined)
            e.encoded_feature_name = _tamper(hostile, feature, kind)
            entries.append(e)
        prep.dummy_encoding.append(PredictiveModelDummyEncoding(attribute=attribute, encoding=entries))
    return prep


LISTS = {
    "get_all_transformation_attributes": lambda p: [t.attribute for t in p.transformations],
    "get_attributes_created_in_transformations": lambda p: [
        t.transformed_attribute_name for t in p.transformations
        if t.transformed_attribute_name is not None and t.transformed_attribute_name != t.attribute],
    "get_all_binning_attributes": lambda p: [b.attribute for b in p.binning],
    "get_attributes_created_in_binning": lambda p: [
        b.binned_attribute_name for b in p.binning
        if b.binned_attribute_name is not None and b.binned_attribute_name != b.attribute],
    "get_all_dummy_enc_attributes": lambda p: [s.encoded_feature_name for e in p.dummy_encoding for s in e.encoding],
}


@given(s=shape, attribute=ATTR | st.sampled_from(["", "d"]),
       value=st.sampled_from(["red", "blue", "green", 1, 1.0, True, None]) | FLOATS | TEXT)
def test_registry_and_encodings_follow_the_rules(s, attribute, value):
    same("get_transformation_formula", lambda: build(s).get_transformation_formula(attribute),
         lambda: rules.get_transformation_formula(build(s), attribute))
    same("get_discretisation", lambda: _position(build(s), build(s).get_discretisation, attribute),
         lambda: _position(build(s), lambda a: rules.get_discretisation(build(s), a), attribute))
    same("discretisation_exists", lambda: build(s).discretisation_exists(attribute),
         lambda: rules.get_discretisation(build(s), attribute) is not None)
    same("apply_dummy_encoding", lambda: build(s).apply_dummy_encoding(attribute, value),
         lambda: rules.apply_dummy_encoding(build(s), attribute, value))
    for name, rule in LISTS.items():
        same(name, lambda: getattr(build(s), name)(), lambda: rule(build(s)))


def _position(prep, lookup, attribute):
    found = lookup(attribute)
    return None if found is None else [b.attribute for b in prep.binning].index(found.attribute)
