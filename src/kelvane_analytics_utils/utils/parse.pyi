"""Literal values read from text.

`parse_value` turns a literal written as text (a cell of a table, a value in a
condition) into the value it stands for: a quoted text loses its quotes, a
number becomes an ``int`` when it is integral and a ``float`` otherwise, and
anything else stays text. The quote characters are the apostrophe and the
double quote.

Example:
    >>> from kelvane_analytics_utils.utils.parse import parse_value
    >>> [parse_value(v) for v in ("42", "42.5", "1e3", "'42'", "abc")]
    [42, 42.5, 1000, '42', 'abc']
"""

from __future__ import annotations

from typing import Any, Union

class StringFunctions:
    """The quote helpers `parse_value` uses (class methods; each takes exactly a ``str``)."""

    @classmethod
    def _has_quotes(cls, val: str) -> bool:
        """Whether `val` starts and ends with the same quote character (a lone quote counts)."""
    @classmethod
    def _remove_quotes(cls, val: str) -> str:
        """`val` without one layer of enclosing quotes, or `val` when it has none."""
    @classmethod
    def _strip_quotes(cls, val: str) -> str:
        """`val` without any of its layers of enclosing quotes."""

def parse_value(val: Any) -> Union[str, int, float]:
    """Return the value that a literal stands for.

    Args:
        val: A text, or any value that ``float()`` accepts.

    Returns:
        For a text in quotes (both ends the same quote character), the text
        inside them, unchanged even when it looks like a number; otherwise, when
        ``float(val)`` succeeds, an ``int`` for an integral number (``"3.0"``
        and ``2.0`` give 3 and 2) and the ``float`` for any other (NaN and the
        infinities included); otherwise ``str(val)``.

    Raises:
        TypeError: When ``float()`` refuses `val` by its type (``None``, a
            list), or `val` is a ``str`` subclass.
        OverflowError: For an integer too large for a float.
    """
