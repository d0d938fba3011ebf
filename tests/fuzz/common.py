"""Shared pieces of the fuzz tests: hostile values and the comparison of a
native call with its rule (result, exception class and text, log events)."""
import math

from hypothesis import strategies as st
import pydantic
import structlog
from structlog.testing import capture_logs

from fuzz.conftest import CASES

# Text with lone surrogates and quotes; short, so that equal texts are drawn.
TEXT = st.text(st.characters(codec=None, categories=None) | st.sampled_from("'\"an01."), max_size=6)
FLOATS = st.floats(allow_nan=True, allow_infinity=True) | st.sampled_from([-0.0, 0.0, math.nan, math.inf, -math.inf])
INTS = st.integers() | st.sampled_from([2 ** 64, -(2 ** 1100), 10 ** 400])
# Log processors run before the captured events are taken (gc walkers...).
PROCESSORS = []
RESERVED_TEXT = st.sampled_from(["1_null", "0_default", "0_system_default", "0_defined_default"])


class Hostile:
    """Makes objects whose equality, ordering, hashing or truth misbehave.
    Each is built fresh per run (`make`), so that a side effect (clearing the
    list being scanned) happens in the rule's run and in the native run alike."""

    KINDS = ["plain", "eq_true", "eq_raises", "eq_clears", "lt_raises", "hash_raises", "bool_raises"]

    def __init__(self, victim=None):
        self.victim = victim   # a list that "eq_clears" empties

    def str(self, kind, text):
        return self._make(str, kind, text)

    def float(self, kind, x):
        return self._make(float, kind, x)

    def _make(self, base, kind, value):
        victim = self.victim
        ns = {"__hash__": base.__hash__}
        if kind == "eq_true":
            ns["__eq__"] = lambda s, o: True
        elif kind == "eq_raises":
            ns["__eq__"] = _raising
        elif kind == "eq_clears":
            def eq(s, o):
                if victim is not None:
                    victim.clear()
                return base.__eq__(s, o)
            ns["__eq__"] = eq
        elif kind == "lt_raises":
            ns["__lt__"] = ns["__le__"] = ns["__gt__"] = ns["__ge__"] = _raising
        elif kind == "hash_raises":
            ns["__hash__"] = _raising
        elif kind == "bool_raises":
            ns["__bool__"] = _raising
        return type(f"{base.__name__}_{kind}", (base,), ns)(value)


def _raising(*_):
    raise ArithmeticError("hostile")


def outcome(call, index=None):
    """(result, logs) or (exception class, text, logs); a record result is
    named by its position in `index` (a list of records)."""
    with capture_logs() as logs:
        structlog.get_config()["processors"][:0] = PROCESSORS   # the live list capture_logs set up
        try:
            r = call()
        except Exception as e:  # noqa: BLE001 - the class and text are compared
            return ("raised", type(e), str(e), _events(logs))
    if index is not None and r is not None and not isinstance(r, (float, int, str, tuple)):
        r = ("record", next((i for i, b in enumerate(index) if b is r), "other"))
    return (_plain(r), _events(logs))


def _events(logs):
    return [(e["log_level"], e["event"]) for e in logs]


def _plain(r):
    """A value as plain data that compares without running hostile code: the
    class name and the built-in form."""
    name = type(r).__name__.split("_")[0]   # hostile classes are made anew per run: "str_eq_true" -> "str"
    if isinstance(r, float):
        return (name, float.__repr__(r))
    if isinstance(r, str):
        return (name, str.__str__(r))
    if isinstance(r, int):
        return (name, int.__repr__(r))
    if isinstance(r, (list, tuple)):
        return (name, [_plain(x) for x in r])
    if isinstance(r, dict):
        return (name, [(_plain(k), _plain(v)) for k, v in r.items()])
    if isinstance(r, pydantic.BaseModel):   # its __eq__ would compare hostile fields
        return (name, repr(r))
    return (name, r)


def same(name, native, rule, index=None):
    """Runs both and compares; counts one case."""
    CASES[name] += 1
    got, expected = outcome(native, index), outcome(rule, index)
    assert got[:2] != ("raised", SystemError), (name, got)
    assert got == expected, name
    return got

