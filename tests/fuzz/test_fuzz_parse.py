"""Value parsing and the quote functions on generated text, against the rules."""
from hypothesis import given, strategies as st

from kelvane_analytics_utils.utils.parse import StringFunctions, parse_value
import plain_rules as rules
from fuzz.common import FLOATS, INTS, TEXT, same

QUOTED = st.builds(lambda q, t, r: q * r + t + q * r, st.sampled_from(["'", '"', "'\"", ""]), TEXT,
                   st.integers(0, 3))
NUMBER_TEXT = st.builds(str, FLOATS | INTS) | st.sampled_from([" 7 ", "1_000", "1e3", "-inf", "NaN", "0x10", "٣"])
VALUES = QUOTED | NUMBER_TEXT | TEXT | FLOATS | INTS | st.sampled_from([None, True, b"2.5", b"x", [], "\ud800"])


class Sub(str):
    pass


@given(val=VALUES, wrap=st.booleans())
def test_parsing_follows_the_rules(val, wrap):
    if wrap and isinstance(val, str):
        val = Sub(val)
    same("parse_value", lambda: parse_value(val), lambda: rules.parse_value(val))
    for name in ("_has_quotes", "_remove_quotes", "_strip_quotes"):
        rule = {"_has_quotes": rules.has_quotes, "_remove_quotes": rules.remove_quotes,
                "_strip_quotes": rules.strip_quotes}[name]
        same(name, lambda: getattr(StringFunctions, name)(val), lambda: rule(val))
