"""Literal values parsed from text, and the quote helpers."""
import math
import random

import pytest

from kelvane_analytics_utils.utils.parse import StringFunctions, parse_value


class Text(str):
    pass


class Castable:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        if self.value is None:
            raise ValueError("no number")
        return self.value

    def __str__(self):
        return "castable"


@pytest.mark.parametrize(
    "val, expected",
    [
        ("42", 42), ("42.5", 42.5), ("42.0", 42), ("1e3", 1000), ("1_000", 1000), (" 7 ", 7), ("\t-7\n", -7),
        ("1e999", math.inf), ("1e-999", 0), ("5e-324", 5e-324), ("Infinity", math.inf),
        ("9007199254740993", 9007199254740992),  # the float's value, not the text's
        ("\uff14\uff12", 42),                     # full-width digits are digits to float()
        (b"12.5", 12.5), (5, 5), (2.0, 2), (2.5, 2.5), (True, 1), (Castable(3.0), 3), (Castable(0.25), 0.25),
        # Texts.
        ("'42'", "42"), ("\"'x'\"", "'x'"), ("'", ""), ("'x\"", "'x\""), ("\u2018x\u2019", "\u2018x\u2019"),
        ("abc", "abc"), ("", ""), ("1e", "1e"), ("1__0", "1__0"), ("0x10", "0x10"), (b"abc", "b'abc'"),
        (Castable(None), "castable"),  # the object's own ValueError is caught as well
    ],
)
def test_parse_value(val, expected):
    result = parse_value(val)
    assert result == expected and type(result) is type(expected)


@pytest.mark.parametrize("val", ["nan", "-NaN", float("nan")])
def test_nan_stays_a_float(val):
    result = parse_value(val)
    assert type(result) is float and math.isnan(result)


@pytest.mark.parametrize("val, error", [(None, TypeError), ([1], TypeError), ({}, TypeError), (10**400, OverflowError)])
def test_failures_reach_the_caller(val, error):
    with pytest.raises(error):
        parse_value(val)


def test_str_subclass_is_refused_by_the_quote_test():
    with pytest.raises(TypeError) as err:
        parse_value(Text("1"))
    assert str(err.value) == "Argument 'val' has incorrect type (expected str, got Text)"


def _reference(val):
    """The parsing rules step by step, on the host's own float()."""
    if isinstance(val, str) and len(val) > 0 and val[0] in "'\"" and val[0] == val[-1]:
        return val[1:-1]
    try:
        number = float(val)
    except ValueError:
        return str(val)
    return int(number) if number.is_integer() else number


@pytest.mark.parametrize(
    "alphabet, longest",
    [
        # Texts close to numbers and words, so that every branch of the grammar is hit.
        ("0123456789_.eE+- \t\x0b\x1cinfatyINFATY'\"\x00", 8),
        # Long decimals, where the value must be rounded exactly as the host rounds it.
        ("0123456789.e-", 30),
    ],
)
def test_agrees_with_the_host_float_on_random_texts(alphabet, longest):
    rng = random.Random(1234)
    for _ in range(20000):
        text = "".join(rng.choice(alphabet) for _ in range(rng.randint(0, longest)))
        expected, result = _reference(text), parse_value(text)
        if isinstance(expected, float) and math.isnan(expected):
            assert isinstance(result, float) and math.isnan(result), repr(text)
        else:
            assert result == expected and type(result) is type(expected), repr(text)


@pytest.mark.parametrize(
    "val, has, removed, stripped",
    [
        ("'x'", True, "x", "x"),
        ("'\"'x'\"'", True, "\"'x'\"", "x"),
        ("'", True, "", ""),
        ("'''", True, "'", ""),
        ("''''", True, "''", ""),
        ("", False, "", ""),
        ("'x\"", False, "'x\"", "'x\""),
        ("`x`", False, "`x`", "`x`"),
        ("'x' ", False, "'x' ", "'x' "),
    ],
)
def test_quote_helpers(val, has, removed, stripped):
    assert StringFunctions._has_quotes(val) is has
    assert StringFunctions._remove_quotes(val) == removed
    assert StringFunctions._strip_quotes(val) == stripped


@pytest.mark.parametrize("name", ["_has_quotes", "_remove_quotes", "_strip_quotes"])
@pytest.mark.parametrize("val, got", [(None, "NoneType"), (1, "int"), (Text("'x'"), "Text")])
def test_val_must_be_exactly_str(name, val, got):
    with pytest.raises(TypeError) as err:
        getattr(StringFunctions, name)(val)
    assert str(err.value) == f"Argument 'val' has incorrect type (expected str, got {got})"


def test_derived_class_uses_its_own_quote_test():
    # The quote helpers call through cls, so a derived class can widen the quote set.
    backticks = type(
        "Backticks",
        (StringFunctions,),
        {"_has_quotes": classmethod(lambda cls, val: len(val) > 0 and val[0] == val[-1] and val[0] in "`'\"")},
    )
    assert backticks._remove_quotes("`x`") == "x"
    assert backticks._strip_quotes("`'x'`") == "x"
    assert StringFunctions._strip_quotes("`'x'`") == "`'x'`"
