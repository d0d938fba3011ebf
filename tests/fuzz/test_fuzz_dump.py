"""YAML and JSON output of generated nested data, against the same rules
written over the libraries in Python."""
import dataclasses
import datetime
import decimal
import enum
import uuid

from hypothesis import given, strategies as st

from kelvane_analytics_utils.predictive_models.preparation.discretisation import AttributeDataType
from kelvane_analytics_utils.predictive_models.preparation.reshaping import AttributeTransformation
from kelvane_analytics_utils.utils import dump
import plain_rules as rules
from fuzz.common import FLOATS, INTS, TEXT, same


@dataclasses.dataclass
class Point:
    x: int
    y: list


class Colour(enum.Enum):
    RED = 1
    BLUE = "b"


class Mapping(dict):
    pass


class Items(list):
    pass


SCALARS = (st.none() | st.booleans() | INTS | FLOATS | TEXT
           | st.decimals(allow_nan=False, places=20) | st.sampled_from([decimal.Decimal("1e-30"), decimal.Decimal("-0")])
           | st.datetimes() | st.dates() | st.times() | st.uuids() | st.sampled_from(list(AttributeDataType) + list(Colour))
           | st.builds(lambda a: AttributeTransformation(attribute=a, transformation="t"), TEXT)
           | st.builds(Point, INTS, st.lists(INTS, max_size=2))
           | st.sets(INTS, max_size=3) | st.just([]) | st.just({}) | st.just(()))
KEYS = TEXT | INTS | st.sampled_from(list(AttributeDataType)) | st.none()
DATA = st.recursive(SCALARS, lambda inner: (
    st.lists(inner, max_size=4) | st.dictionaries(KEYS, inner, max_size=4) | st.tuples(inner, inner)
    | st.builds(Mapping, st.dictionaries(TEXT, inner, max_size=3)) | st.builds(Items, st.lists(inner, max_size=3))),
    max_leaves=12)


@given(data=DATA, indent=st.sampled_from([None, 2, 0]))
def test_output_follows_the_rules(data, indent):
    same("valid_dumps_yaml", lambda: dump.valid_dumps_yaml(data), lambda: rules.valid_dumps_yaml(data))
    same("safe_dumps_json", lambda: dump.safe_dumps_json(data, indent=indent),
         lambda: rules.safe_dumps_json(data, indent=indent))
    for name in ("format_output_data", "is_invalid", "filter_data"):
        same(name, lambda: getattr(dump, name)(data), lambda: getattr(rules, name)(data))
