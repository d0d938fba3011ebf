"""YAML and JSON output: filtering of invalid entries, conversion of values, and YAML input."""
import collections
import dataclasses
import datetime
import enum
import gc
import io
import json
import sys
import threading
import uuid
import weakref
from decimal import Decimal
from typing import Any, Dict, List, Optional

import pydantic
import pytest
from ruamel.yaml import YAML
from ruamel.yaml.error import YAMLError
from ruamel.yaml.representer import RepresenterError, SafeRepresenter

from kelvane_analytics_utils.predictive_models.preparation.reshaping import AttributeTransformation
from kelvane_analytics_utils.utils import dump
from kelvane_analytics_utils.utils.dump import (
    MirelJSONEncoder, ValidRepresenter, filter_data, format_output_data, is_invalid, safe_dumps_json,
    safe_loads_yaml, valid_dump_yaml, valid_dumps_yaml,
)


class Kind(str, enum.Enum):
    NUMERICAL = "NUMERICAL"
    CATEGORICAL = "CATEGORICAL"


class Colour(enum.Enum):
    RED = 1


class Ratio(float, enum.Enum):
    THIRD = 0.1234567890123456


class Bin(pydantic.BaseModel):
    name: str
    kind: Kind = Kind.NUMERICAL
    upper: Optional[float] = 1.0
    values: List[str] = ["x"]
    extra: Dict[str, Any] = {}
    transformation: Optional[AttributeTransformation] = None


@dataclasses.dataclass
class Point:
    x: int
    y: Optional[int] = None


@dataclasses.dataclass
class OwnMapping:
    a: int

    def asdict(self):
        return {"own": self.a}


@dataclasses.dataclass
class FieldNamedAsdict:
    a: int
    asdict: int = 5


class Holder:
    """Anything that supports weak references."""


class EmptyList(list):
    pass


def dead_reference():
    ref = weakref.ref(Holder())
    gc.collect()
    return ref


# ------------------------------------------------------------------ YAML


def test_invalid_entries_go_at_every_depth_where_a_mapping_is_a_node():
    data = {
        "a": None, "b": [], "c": {}, "d": 0, "e": "", "f": False, "g": (),
        "x": {"y": None, "z": 1, "w": {"v": [], "u": {"t": None}}},
        "l": [{"q": None, "r": 2}, None, []],
    }
    assert valid_dumps_yaml(data) == (
        "d: 0\ne: ''\nf: false\ng: []\n"
        "l:\n- r: 2\n- null\n- []\n"      # items of a sequence are never dropped
        "x:\n  w:\n    u: {}\n  z: 1\n"   # u was not empty when its parent was filtered
    )


def test_record_first_level_is_not_filtered():
    record = Bin(name="b", upper=None, values=[], extra={"keep": 1, "drop": None, "deep": {"gone": []}})
    assert valid_dumps_yaml(record) == "extra:\n  deep: {}\n  keep: 1\nname: b\nupper: null\nvalues: []\n"
    # Nested in a mapping, a record is still written without its defaults.
    nested = {"bins": [Bin(name="c", transformation=AttributeTransformation(attribute="a", transformation="log(a)"))]}
    assert valid_dumps_yaml(nested) == "bins:\n- name: c\n  transformation:\n    attribute: a\n    transformation: log(a)\n"


@pytest.mark.parametrize(
    "value, text",
    [
        (Decimal("0.1234567890123456"), "0.123456789012"),
        (1 / 3, "0.333333333333"),
        (7, "7"),
        (True, "true"),
        (0.0000000000025, "2e-12"),  # below the tie in binary: rounded down, not half up
        (Decimal("2.5"), "2.5"),
        (float("-inf"), "-.inf"),
        (Ratio.THIRD, "0.1234567890123456"),  # an enum's value is not converted again
    ],
)
def test_numbers(value, text):
    assert valid_dumps_yaml({"v": value}) == f"v: {text}\n"


def test_conversions_of_keys_and_values():
    # Keys are sorted as they are in memory: an enum of str beside a plain enum is not comparable.
    assert valid_dumps_yaml({Kind.CATEGORICAL: Kind.NUMERICAL, Colour.RED: "red"}) == "CATEGORICAL: NUMERICAL\n1: red\n"
    when = datetime.datetime(2024, 1, 2, 3, 4, 5)
    data = {
        "at": when, "on": when.date(), "time": datetime.time(3, 4), "id": uuid.UUID(int=5), "set": {3},
        "point": Point(1), "own": OwnMapping(2), "field": FieldNamedAsdict(3), "gone": dead_reference(),
    }
    assert valid_dumps_yaml(data) == (
        "at: '2024-01-02T03:04:05'\n"
        "field:\n  a: 3\n  asdict: 5\n"
        "gone: null\n"
        "id: 00000000-0000-0000-0000-000000000005\n"
        "on: '2024-01-02'\n"
        "own:\n  own: 2\n"
        "point:\n  x: 1\n  y: null\n"   # a dataclass's mapping is not filtered at its first level
        "set:\n- 3\n"
        "time: 03:04:00\n"
    )
    assert valid_dumps_yaml({"b": 1, 2: "x", "a": 3}) == "b: 1\n2: x\na: 3\n"


def test_top_level_documents():
    assert valid_dumps_yaml([{"a": 1}, {"b": None, "c": 2}]) == "a: 1\n---\nc: 2\n"
    assert valid_dumps_yaml([]) == ""
    assert valid_dumps_yaml(({"a": 1}, 2)) == "- a: 1\n- 2\n"
    # A list subclass is one document; the safe representer has no rule for it.
    with pytest.raises(RepresenterError):
        valid_dumps_yaml(EmptyList([1, 2]))


@pytest.mark.parametrize("value", [Holder(), frozenset({1}), weakref.ref(Colour)])
def test_unrepresentable_values_raise_the_library_error(value):
    with pytest.raises(RepresenterError):
        valid_dumps_yaml({"v": value})


def test_block_style_width_and_keywords():
    text = valid_dumps_yaml({"rows": [[1, 2], {"a": [3]}], "words": " ".join(["word"] * 30)})
    assert text.startswith("rows:\n- - 1\n  - 2\n- a:\n  - 3\n")
    assert all(len(line) <= 120 for line in text.splitlines())
    stream = io.StringIO()
    assert valid_dump_yaml([1, {"a": None, "b": 2}], stream) is None
    assert stream.getvalue() == "1\n---\nb: 2\n"
    assert valid_dumps_yaml({"a": 1}, transform=str.upper) == "A: 1\n"
    with pytest.raises(TypeError):
        valid_dumps_yaml({"a": 1}, indent=4)
    with pytest.raises(TypeError, match="multiple values for argument 'stream'"):
        valid_dumps_yaml({"a": 1}, stream=io.StringIO())


class Tagging(SafeRepresenter):
    def represent_data(self, data):
        if type(data) is int:
            data = data * 10
        return super().represent_data(data)


class Derived(ValidRepresenter, Tagging):
    """Tagging comes between ValidRepresenter and the library class in its order."""


def test_derived_representer_reaches_the_next_class_in_its_order():
    yaml = YAML()
    yaml.Representer = Derived
    stream = io.StringIO()
    yaml.dump({"a": 1, "b": None, "c": Decimal("0.5")}, stream)
    assert stream.getvalue() == "a: 10\nc: 0.5\n"


def test_declarations():
    assert ValidRepresenter.__bases__ == (SafeRepresenter,)
    assert MirelJSONEncoder.__bases__ == (json.JSONEncoder,)
    assert valid_dump_yaml.__annotations__ == {"data": "Any", "stream": "IO[str]", "kwds": "Any", "return": "None"}
    assert [n for n in vars(dump) if not n.startswith("__")][-12:-9] == ["BaseModel", "YAML", "RuamelSafeRepresenter"]
    assert dump.BaseModel is pydantic.BaseModel


# ------------------------------------------------------------------ YAML input


class Text(str):
    pass


def test_safe_loads_yaml():
    assert safe_loads_yaml("a: 1\nb: [x, 2.5]\n") == {"a": 1, "b": ["x", 2.5]}
    record = Bin(name="b", kind=Kind.CATEGORICAL, values=["p"], upper=Decimal("0.25"))
    assert Bin.model_validate(safe_loads_yaml(valid_dumps_yaml(record))) == record
    for malformed in ("a: [1,\n", "!!python/object/apply:os.getcwd []"):   # the safe loader builds no objects
        with pytest.raises(YAMLError):
            safe_loads_yaml(malformed)


@pytest.mark.parametrize("content, got", [(None, "NoneType"), (b"a: 1", "bytes"), (Text("a: 1"), "Text")])
def test_safe_loads_yaml_wants_exactly_str(content, got):
    with pytest.raises(TypeError) as err:
        safe_loads_yaml(content)
    assert str(err.value) == f"Argument 'content' has incorrect type (expected str, got {got})"


# ------------------------------------------------------------------ JSON


def test_json_keeps_entries_and_plain_floats():
    data = {"none": None, "empty": [], "third": 1 / 3, "dec": Decimal("2.5"), "long": Decimal("0.1234567890123456"),
            "kind": Kind.NUMERICAL}
    assert safe_dumps_json(data) == (
        '{\n  "none": null,\n  "empty": [],\n  "third": 0.3333333333333333,\n  "dec": 2.5,\n'
        '  "long": 0.123456789012,\n  "kind": "NUMERICAL"\n}'
    )


def test_json_conversions():
    record = Bin(name="b", extra={"k": None})
    data = [record, {2}, datetime.date(2024, 1, 2), uuid.UUID(int=1), weakref.ref(record), dead_reference()]
    assert json.loads(safe_dumps_json(data, indent=None)) == [
        {"name": "b", "extra": {"k": None}}, [2], "2024-01-02", "00000000-0000-0000-0000-000000000001",
        {"name": "b", "extra": {"k": None}}, None,
    ]


def test_json_options():
    assert safe_dumps_json({"b": 1, "a": [1]}, indent=None) == '{"b": 1, "a": [1]}'
    assert safe_dumps_json({"b": 1, "a": 2}, sort_keys=True, indent=0) == '{\n"a": 2,\n"b": 1\n}'
    assert safe_dumps_json("\u00e9") == '"\\u00e9"'

    class Custom(json.JSONEncoder):
        def default(self, o):
            return "custom"

    assert safe_dumps_json({"d": Decimal("1.5")}, cls=Custom) == '{\n  "d": "custom"\n}'
    with pytest.raises(TypeError):
        safe_dumps_json({}, bogus=1)


@pytest.mark.parametrize("value", [Holder(), frozenset({1}), Colour])
def test_json_refuses_what_is_left_unchanged(value):
    with pytest.raises(TypeError, match="is not JSON serializable"):
        safe_dumps_json({"v": value})


# ------------------------------------------------------------------ per-node steps


@pytest.mark.parametrize(
    "value, invalid",
    [
        (None, True), ([], True), ({}, True), (EmptyList(), True), (collections.OrderedDict(), True),
        ((), False), (set(), False), ("", False), (0, False), (False, False), (0.0, False),
        ([None], False), ({"a": None}, False), (Holder(), False),
    ],
)
def test_is_invalid(value, invalid):
    assert is_invalid(value) is invalid


class Fussy:
    def __eq__(self, other):
        raise RuntimeError("no comparison")


class Shrinking:
    def __init__(self, owner):
        self.owner = owner

    def __eq__(self, other):
        self.owner.clear()
        return False


def test_equality_runs_python_code():
    with pytest.raises(RuntimeError, match="no comparison"):
        filter_data({"a": Fussy()})
    data = {}
    data["a"] = Shrinking(data)
    data["b"] = 1
    with pytest.raises(RuntimeError, match="changed size"):
        filter_data(data)


def test_filter_data():
    inner = {"y": None}
    data = collections.OrderedDict([("b", 1), (None, 2), ("a", None), ("n", inner), ("e", "")])
    result = filter_data(data)
    assert type(result) is dict
    assert list(result.items()) == [("b", 1), (None, 2), ("n", inner), ("e", "")]
    assert result["n"] is inner  # one level deep
    items = [None, []]
    assert filter_data(items) is items


@pytest.mark.parametrize(
    "value, expected",
    [
        (Colour.RED, 1),
        (Decimal("1.0000000000005"), 1.000000000001),
        (True, True),
        (datetime.datetime(2024, 1, 2), "2024-01-02T00:00:00"),
        (Bin(name="b", kind=Kind.CATEGORICAL), {"name": "b", "kind": Kind.CATEGORICAL}),
    ],
)
def test_format_output_data(value, expected):
    result = format_output_data(value)
    assert result == expected and type(result) is type(expected)


def test_format_output_data_leaves_other_values_alone():
    for value in ([1], {"a": None}, (1,), frozenset(), Holder()):
        assert format_output_data(value) is value
    with pytest.raises(ValueError):
        format_output_data(Decimal("sNaN"))


def _nested(depth):
    data = 1
    for _ in range(depth):
        data = {"a": [data]}
    return data


def _in_thread(stack_size, f):
    """f() in a new thread with the given stack size: its result or its exception."""
    out = []

    def run():
        try:
            out.append(f())
        except BaseException as e:
            out.append(e)

    old = threading.stack_size(stack_size)
    try:
        t = threading.Thread(target=run)
        t.start()
        t.join()
    finally:
        threading.stack_size(old)
    return out[0]


def test_deep_documents_end_in_recursion_error_never_in_a_stack_overflow():
    # The representer is entered again for every level, through the library:
    # each level costs C stack, which must be measured, not assumed.
    assert valid_dumps_yaml(_nested(100)).count("- a:") == 99   # plain Python manages ~120 at the default limit
    old = sys.getrecursionlimit()
    sys.setrecursionlimit(100_000)   # plain Python, recursing in Python only, then goes much deeper
    try:
        assert valid_dumps_yaml(_nested(1500)).count("- a:") == 1499
        assert isinstance(_in_thread(1 << 20, lambda: valid_dumps_yaml(_nested(4000))), RecursionError)
        assert _in_thread(1 << 20, lambda: valid_dumps_yaml(_nested(50))).count("- a:") == 49
    finally:
        sys.setrecursionlimit(old)
