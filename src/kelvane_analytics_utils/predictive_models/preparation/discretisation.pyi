"""Binnings: the bins of an attribute and the assignment of a value to its bin.

A binning replaces a raw attribute value by the number of the bin it falls in:
an interval of a numeric attribute (lower bound excluded, upper bound
included) or a set of categories of a categorical one. Reserved bins
(`PredictiveModelBinName`) take missing values (``1_null``) and values that no
other bin covers (the default bins). Bins without a name are named from their
id and bounds or categories.

Example:
    >>> import math
    >>> from kelvane_analytics_utils.predictive_models.preparation.discretisation import AttributeBinning
    >>> age = AttributeBinning.model_validate({
    ...     "attribute": "age", "attribute_data_type": "NUMERICAL", "discretisation": [
    ...         {"type": "NUMERICAL", "id": 1, "name": "1_null", "value": 0.5},
    ...         {"type": "NUMERICAL", "id": 2, "lower_bound": -math.inf, "upper_bound": 30, "value": 0.2},
    ...         {"type": "NUMERICAL", "id": 3, "lower_bound": 30, "upper_bound": math.inf, "value": 0.7}]})
    >>> [b.name for b in age.discretisation]
    ['1_null', '2_(-inf;30)', '3_(30;inf)']
    >>> age.bin_numeric_attribute(30), age.bin_numeric_attribute(30.5), age.bin_numeric_attribute(None)
    (0.2, 0.7, 0.5)
"""

from __future__ import annotations

from abc import ABC
from enum import Enum
from typing import Any, ClassVar, List, Literal, Optional, Union

from graphql import GraphQLResolveInfo
from strawberry.types.base import StrawberryObjectDefinition
from typing_extensions import Annotated, Self

from kelvane_analytics_utils.utils.base_model import BaseModel

logger: Any

class AttributeDataType(str, Enum):
    """How an attribute's values are binned (also a GraphQL enum): ``CATEGORICAL`` or
    ``NUMERICAL``; each value is the member's name.
    """

    __strawberry_definition__: ClassVar[Any]   # strawberry.enum's definition
    CATEGORICAL = "CATEGORICAL"
    NUMERICAL = "NUMERICAL"

class PredictiveModelBinName(str, Enum):
    """The reserved bin names; bins are told to be reserved by their name only.

    Members and values:

    - ``DEFAULT`` (``"0_default"``): the default bin; a hit is logged as a warning.
    - ``DEFINED_DEFAULT`` (``"0_defined_default"``): a default bin whose value the
      model's author gave; a hit is logged at debug level.
    - ``SYSTEM_DEFAULT`` (``"0_system_default"``): the default bin added when the
      author gave none; a hit is logged as a warning.
    - ``NULL`` (``"1_null"``): the bin of missing values (``None``, NaN, ``"nan"``).

    The enum derives from ``str``: ``PredictiveModelBinName.NULL == "1_null"``.
    """

    DEFAULT = "0_default"
    DEFINED_DEFAULT = "0_defined_default"
    SYSTEM_DEFAULT = "0_system_default"
    NULL = "1_null"

class AbstractAttributeBin(BaseModel, ABC):
    """One bin of an attribute: the fields every kind of bin has.

    Built by keywords only; the ``type`` field of a concrete bin is always set to
    its kind, whatever the caller gives.

    Attributes:
        name: The bin's label: a reserved name, or generated from `id` by the
            concrete bin when not given.
        value: The number that replaces every value falling in the bin.
        frequency: The share of the development sample in the bin.
        target_rate: The target rate of the bin.
        id: The bin's identifier, the prefix of a generated name.
    """

    name: str
    value: Optional[float] = None
    frequency: Optional[float] = None
    target_rate: Optional[float] = None
    id: int
    def __init__(
        self,
        *,
        name: str,
        value: Optional[float] = None,
        frequency: Optional[float] = None,
        target_rate: Optional[float] = None,
        id: int,
    ) -> None: ...

class AttributeBinCategorical(AbstractAttributeBin):
    """A bin of a categorical attribute: a value belongs to it when it is one of
    `categories`.

    Without a ``name`` (or with ``name=None``) the bin is named from its id and
    categories: ``"<id>_{A,B}"``, the categories joined by commas and cut to 47
    characters and ``...`` when longer than 50.

    Attributes:
        type: Always ``AttributeDataType.CATEGORICAL``.
        categories: The categories of the bin.

    Raises:
        KeyError: When a name must be generated and ``id`` is missing.
        pydantic.ValidationError: For fields of the wrong type.

    Example:
        >>> from kelvane_analytics_utils.predictive_models.preparation.discretisation import AttributeBinCategorical
        >>> AttributeBinCategorical(id=7, categories=["A", "B"], value=1.0).name
        '7_{A,B}'
    """

    type: Literal[AttributeDataType.CATEGORICAL]
    categories: Optional[List[str]] = None
    # `name` is made from `id` and `categories` when it is left out or None; a
    # `type` given is replaced by CATEGORICAL.
    def __init__(
        self,
        *,
        name: Optional[str] = None,
        value: Optional[float] = None,
        frequency: Optional[float] = None,
        target_rate: Optional[float] = None,
        id: int,
        type: Literal[AttributeDataType.CATEGORICAL] = ...,
        categories: Optional[List[str]] = None,
    ) -> None: ...

class AttributeBinNumerical(AbstractAttributeBin):
    """A bin of a numeric attribute: the interval from `lower_bound` (excluded) to
    `upper_bound` (included); the bounds may be infinite.

    Without a ``name`` the bin is named from its id and bounds,
    ``"<id>_(<lower>;<upper>)"``, each bound written by `_get_number_formatting`;
    when a bound is missing no name is made and validation fails.

    Attributes:
        type: Always ``AttributeDataType.NUMERICAL``.
        lower_bound: The excluded lower end.
        upper_bound: The included upper end.

    Raises:
        KeyError: When a name must be generated and ``id`` is missing.
        pydantic.ValidationError: When the name is missing and cannot be made, or
            a field has the wrong type.

    Example:
        >>> import math
        >>> from kelvane_analytics_utils.predictive_models.preparation.discretisation import AttributeBinNumerical
        >>> AttributeBinNumerical(id=3, lower_bound=-math.inf, upper_bound=0.5).name
        '3_(-inf;0.500)'
    """

    type: Literal[AttributeDataType.NUMERICAL]
    lower_bound: Optional[float] = None
    upper_bound: Optional[float] = None
    # `name` is made from `id` and the bounds when it is left out (not when it is
    # None) and both bounds are given; a `type` given is replaced by NUMERICAL.
    def __init__(
        self,
        *,
        name: str = ...,
        value: Optional[float] = None,
        frequency: Optional[float] = None,
        target_rate: Optional[float] = None,
        id: int,
        type: Literal[AttributeDataType.NUMERICAL] = ...,
        lower_bound: Optional[float] = None,
        upper_bound: Optional[float] = None,
    ) -> None: ...
    @staticmethod
    def _get_number_formatting(number: Union[float, int]) -> str:
        """Write a bound as generated names show it.

        ``-inf`` and ``inf``; an integral number without decimals (``3`` for 3.0);
        a number above 0.01 with three decimals (``0.500``); any other number (those
        at or below 0.01, negative ones included) in scientific form with two decimals
        (``5.00E-03``, ``-2.50E+00``).
        """

AttributeBin = Annotated[Union[AttributeBinNumerical, AttributeBinCategorical], ...]

class AbstractAttributeBinType:
    """GraphQL view of a bin: its name, value, frequency, target rate, id and kind."""

    name: str
    value: Optional[float]
    frequency: Optional[float]
    target_rate: Optional[float]
    id: int
    __match_args__: ClassVar[tuple[()]]
    __strawberry_definition__: ClassVar[StrawberryObjectDefinition]
    __hash__: ClassVar[None] = None  # type: ignore[assignment]  # compared by value, so unhashable
    def __init__(self, *, name: str, value: Optional[float] = ..., frequency: Optional[float] = ..., target_rate: Optional[float] = ..., id: int) -> None: ...
    def __replace__(self, /, **changes: Any) -> Self: ...
    @classmethod
    def is_type_of(cls, obj: Any, _info: GraphQLResolveInfo[Any]) -> bool:
        """Tell GraphQL whether `obj` is shown by this type: an instance of the view or of its record."""
    @staticmethod
    def from_pydantic(instance: AbstractAttributeBin, extra: dict[str, Any] | None = None) -> AbstractAttributeBinType:
        """Build the view of a record; `extra` gives or overrides field values."""
    def to_pydantic(self, **kwargs: Any) -> AbstractAttributeBin:
        """Build the record from this view; `kwargs` give or override field values."""
    async def type(self, parent: AbstractAttributeBin) -> AttributeDataType:
        """Resolve ``type``: the bin's kind."""

class AttributeBinCategoricalType(AbstractAttributeBinType):
    """GraphQL view of `AttributeBinCategorical`, with its categories."""

    categories: Optional[List[str]]
    __match_args__: ClassVar[tuple[()]]
    __strawberry_definition__: ClassVar[StrawberryObjectDefinition]
    __hash__: ClassVar[None] = None  # type: ignore[assignment]  # compared by value, so unhashable
    def __init__(self, *, name: str, value: Optional[float] = ..., frequency: Optional[float] = ..., target_rate: Optional[float] = ..., id: int, categories: Optional[List[str]] = ...) -> None: ...
    def __replace__(self, /, **changes: Any) -> Self: ...
    @classmethod
    def is_type_of(cls, obj: Any, _info: GraphQLResolveInfo[Any]) -> bool:
        """Tell GraphQL whether `obj` is shown by this type: an instance of the view or of its record."""
    @staticmethod
    def from_pydantic(  # type: ignore[override]
        instance: AttributeBinCategorical, extra: dict[str, Any] | None = None
    ) -> AttributeBinCategoricalType:
        """Build the view of a record; `extra` gives or overrides field values."""
    def to_pydantic(self, **kwargs: Any) -> AttributeBinCategorical:  # type: ignore[override]
        """Build the record from this view; `kwargs` give or override field values."""

class AttributeBinNumericalType(AbstractAttributeBinType):
    """GraphQL view of `AttributeBinNumerical`, with its bounds as numbers and as
    the text of the bin's name.
    """

    lower_bound: Optional[float]
    upper_bound: Optional[float]
    __match_args__: ClassVar[tuple[()]]
    __strawberry_definition__: ClassVar[StrawberryObjectDefinition]
    __hash__: ClassVar[None] = None  # type: ignore[assignment]  # compared by value, so unhashable
    def __init__(self, *, name: str, value: Optional[float] = ..., frequency: Optional[float] = ..., target_rate: Optional[float] = ..., id: int, lower_bound: Optional[float] = ..., upper_bound: Optional[float] = ...) -> None: ...
    def __replace__(self, /, **changes: Any) -> Self: ...
    @classmethod
    def is_type_of(cls, obj: Any, _info: GraphQLResolveInfo[Any]) -> bool:
        """Tell GraphQL whether `obj` is shown by this type: an instance of the view or of its record."""
    @staticmethod
    def from_pydantic(  # type: ignore[override]
        instance: AttributeBinNumerical, extra: dict[str, Any] | None = None
    ) -> AttributeBinNumericalType:
        """Build the view of a record; `extra` gives or overrides field values."""
    def to_pydantic(self, **kwargs: Any) -> AttributeBinNumerical:  # type: ignore[override]
        """Build the record from this view; `kwargs` give or override field values."""
    async def formatted_lower_bound(self, parent: AttributeBinNumerical) -> Optional[str]:
        """Resolve ``formattedLowerBound``: the lower bound written as in bin names
        (``0.250`` for 0.25), or ``None`` when it is not set.
        """
    async def formatted_upper_bound(self, parent: AttributeBinNumerical) -> Optional[str]:
        """Resolve ``formattedUpperBound``: the upper bound written as in bin names,
        or ``None`` when it is not set.
        """

class AttributeBinning(BaseModel):
    """The bins of one attribute, in order.

    Bins may be given as records or as mappings with a ``"type"`` of
    ``"NUMERICAL"`` or ``"CATEGORICAL"``, which picks the kind. Order matters:
    every lookup takes the first bin that qualifies. Nothing checks that
    intervals are disjoint, that ids are unique or that the bins' kind matches
    `attribute_data_type`.

    Attributes:
        attribute: The raw attribute that is binned.
        attribute_data_type: Which lookup applies.
        discretisation: The bins.
        binned_attribute_name: The name under which the binned value is
            published, or ``None`` for the attribute's own name.

    Raises:
        pydantic.ValidationError: For a bin mapping without a known ``"type"``,
            or fields of the wrong type.
    """

    attribute: str
    attribute_data_type: AttributeDataType
    discretisation: List[Union[AttributeBinNumerical, AttributeBinCategorical]] = []
    binned_attribute_name: Optional[str] = None
    def bin_numeric_attribute(self, value: Optional[Union[int, float]]) -> Optional[float]:
        """Return the value of the bin that a number falls in.

        The value is converted with ``float()`` (``None`` becomes NaN). NaN goes to
        the first bin named ``1_null``; any other number to the first numeric bin,
        not reserved, with ``lower_bound < value <= upper_bound``. Otherwise the
        first default bin is used (``0_default`` and ``0_system_default`` are logged
        as a warning, ``0_defined_default`` at debug level), or ``None`` is returned
        when there is none.

        Args:
            value: The raw value: a number, ``None``, or anything ``float()``
                accepts (numeric text such as ``"10"``).

        Returns:
            The bin's value, or ``None``.

        Raises:
            ValueError: For text that is not a number.
            TypeError: For a value ``float()`` refuses by its type, a bin with a
                bound of ``None`` reached before a match, or a bin value that is not
                a ``float``.
            OverflowError: For an integer too large for a float.
        """
    def bin_categoric_attribute(self, value: Optional[str]) -> Optional[float]:
        """Return the value of the bin that a category falls in.

        ``None`` and the text ``"nan"`` go to the first bin named ``1_null``; any other
        text to the first categorical bin, not reserved, whose categories hold it.
        Otherwise the first default bin is used and logged as in
        `bin_numeric_attribute`, or ``None`` is returned when there is none.

        Args:
            value: The raw category, or ``None``.

        Returns:
            The bin's value, or ``None``.

        Raises:
            TypeError: When `value` is neither exactly a ``str`` nor ``None``, or a
                bin without categories is reached before a match.

        Example:
            >>> from kelvane_analytics_utils.predictive_models.preparation.discretisation import AttributeBinning
            >>> region = AttributeBinning.model_validate({
            ...     "attribute": "region", "attribute_data_type": "CATEGORICAL", "discretisation": [
            ...         {"type": "CATEGORICAL", "id": 1, "categories": ["north", "east"], "value": 1.0},
            ...         {"type": "CATEGORICAL", "id": 2, "categories": ["south"], "value": 2.0}]})
            >>> region.bin_categoric_attribute("east"), region.bin_categoric_attribute("west")
            (1.0, None)
        """

class AttributeBinningType:
    """GraphQL view of `AttributeBinning`: the attribute and its bins, each shown by
    the view of its kind.
    """

    attribute: str
    __match_args__: ClassVar[tuple[()]]
    __strawberry_definition__: ClassVar[StrawberryObjectDefinition]
    __hash__: ClassVar[None] = None  # type: ignore[assignment]  # compared by value, so unhashable
    def __init__(self, *, attribute: str) -> None: ...
    def __replace__(self, /, **changes: Any) -> Self: ...
    @classmethod
    def is_type_of(cls, obj: Any, _info: GraphQLResolveInfo[Any]) -> bool:
        """Tell GraphQL whether `obj` is shown by this type: an instance of the view or of its record."""
    @staticmethod
    def from_pydantic(instance: AttributeBinning, extra: dict[str, Any] | None = None) -> AttributeBinningType:
        """Build the view of a record; `extra` gives or overrides field values."""
    def to_pydantic(self, **kwargs: Any) -> AttributeBinning:
        """Build the record from this view; `kwargs` give or override field values."""
    async def discretisation(
        self, parent: AttributeBinning
    ) -> List[Union[AttributeBinNumericalType, AttributeBinCategoricalType]]:
        """Resolve ``discretisation``: the binning's bins, in order."""
