"""YAML and JSON output of records and plain data, and YAML input.

The bundle's YAML document is written with `valid_dumps_yaml` and read back
with `safe_loads_yaml`; the external model's JSON text is written with
`safe_dumps_json`. Both writers convert, at every node they reach, what YAML and
JSON cannot hold (see `format_output_data`): records become mappings without
their default-valued fields, enum members their values, decimals and floats are
rounded to 12 places (YAML; in JSON only decimals), dates and times become ISO
text. The YAML writer also leaves out mapping entries whose value is ``None``,
an empty list or an empty mapping (see `is_invalid`).

Example:
    >>> from kelvane_analytics_utils.utils.dump import safe_dumps_json, valid_dumps_yaml
    >>> print(valid_dumps_yaml({"b": 1 / 3, "a": None, "c": [1, 2]}), end="")
    b: 0.333333333333
    c:
    - 1
    - 2
    >>> print(safe_dumps_json({"a": None}))
    {
      "a": null
    }
"""

from __future__ import annotations

import json
from typing import IO, Any, Optional

from ruamel.yaml.representer import SafeRepresenter as RuamelSafeRepresenter

def format_output_data(obj: Any) -> Any:
    """Convert one value to the form it is written in.

    A weak reference is replaced by its referent (``None`` when it is gone)
    first; then: an enum member becomes its value, a ``Decimal`` a float
    rounded to 12 decimal places, a float is rounded to 12 places, a datetime,
    date or time becomes its ISO text, a ``UUID`` its canonical text, a pydantic
    model ``model_dump(exclude_defaults=True)``, a set a list, and a dataclass
    a mapping (its own ``asdict()`` when it has a callable one). Anything else
    is returned as it is. Containers are not entered: the writers convert their
    items when they reach them.

    Args:
        obj: Any value.

    Returns:
        The converted value, or `obj` itself.

    Raises:
        ValueError: For a ``Decimal`` that is not a number a float can hold
            (a signalling NaN).
    """
def is_invalid(value: Any) -> bool:
    """Whether the YAML writer leaves out a mapping entry holding `value`.

    True for ``None`` and for anything equal to an empty list or an empty
    mapping; false for an empty tuple, an empty set, the empty string, 0 and
    ``False``.

    Example:
        >>> from kelvane_analytics_utils.utils.dump import is_invalid
        >>> [is_invalid(v) for v in (None, [], {}, (), "", 0)]
        [True, True, True, False, False, False]
    """
def filter_data(data: Any) -> Any:
    """Drop the entries of a mapping whose value `is_invalid`.

    Args:
        data: Any value.

    Returns:
        For a ``dict`` (or a subclass), a new plain ``dict`` with the other
        entries in their order; mappings nested in it are left as they are.
        Anything else is returned as it is.
    """

class ValidRepresenter(RuamelSafeRepresenter):
    """The YAML representer of `valid_dump_yaml`: ruamel.yaml's safe representer
    that filters (`filter_data`) and converts (`format_output_data`) every node
    before representing it.
    """

    def represent(self, data: Any) -> None:
        """Represent one document (ruamel.yaml calls this once per document)."""
    def represent_data(self, data: Any) -> Any:
        """Represent one node after filtering and converting it; ruamel.yaml
        calls this for the document and for every key, value and item in it.
        """

def valid_dump_yaml(data: Any, stream: IO[str], **kwds: Any) -> None:
    """Write `data` as YAML to a text stream.

    Mappings and sequences are written in block style, lines up to 120
    characters wide; the keys of a mapping come out sorted when they can be
    compared with each other. A ``list`` (exactly that type) is written as a
    sequence of documents, one per item (an empty list writes nothing); any
    other value, a ``list`` subclass included, as one document.

    Args:
        data: The value or records to write.
        stream: A text stream to write to.
        **kwds: Further keyword arguments of ruamel.yaml's ``dump_all``.

    Raises:
        ruamel.yaml.representer.RepresenterError: For a value that has no YAML
            form after conversion (an arbitrary object).
        RecursionError: For data nested too deeply for the thread's stack.
    """
def valid_dumps_yaml(data: Any, **kwds: Any) -> Optional[str]:
    """Return `data` as YAML text, written as `valid_dump_yaml` writes it.

    Example:
        >>> from kelvane_analytics_utils.utils.dump import valid_dumps_yaml
        >>> print(valid_dumps_yaml([{"a": 1}, {"b": None, "c": [2, 3]}]), end="")
        a: 1
        ---
        c:
        - 2
        - 3
    """
def safe_loads_yaml(content: str) -> Any:
    """Parse a YAML document with ruamel.yaml's safe loader.

    Args:
        content: The YAML text.

    Returns:
        Plain data: mappings, lists and scalars.

    Raises:
        TypeError: When `content` is not exactly a ``str``.
        ruamel.yaml.YAMLError: For text that is not valid YAML.

    Example:
        >>> from kelvane_analytics_utils.utils.dump import safe_loads_yaml
        >>> safe_loads_yaml("a: 1")
        {'a': 1}
    """

class MirelJSONEncoder(json.JSONEncoder):
    """The JSON encoder of `safe_dumps_json`: values that the json module cannot
    write are converted by `format_output_data`.
    """

    def default(self, obj: Any) -> Any:
        """Return the converted form of `obj`.

        Raises:
            TypeError: When `format_output_data` leaves `obj` as it is.
        """

def safe_dumps_json(obj: Any, **kwargs: Any) -> str:
    """Return `obj` as JSON text.

    Indented by 2 blanks and encoded with `MirelJSONEncoder` unless the caller
    gives ``indent`` or ``cls``. Nothing is filtered and plain floats keep all
    their digits; records, decimals, dates, UUIDs and sets are converted by
    `format_output_data`.

    Args:
        obj: The value to write.
        **kwargs: Further keyword arguments of ``json.dumps``.

    Raises:
        TypeError: For a value that cannot be written (an arbitrary object).
    """
