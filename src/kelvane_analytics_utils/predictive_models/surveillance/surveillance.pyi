"""Monitoring binnings of a deployed model.

`PredictiveModelMonitoring` is the ``monitoring`` field of a bundle: one binning
per monitored attribute, and optionally one of the model's output. Its lookup,
`PredictiveModelMonitoring.get_discretisation`, returns the bin record that an
observed value falls in (not the bin's value, as the preprocessing lookups do),
so its name, id, frequency and target rate can be compared with what was seen
at development time. It logs nothing.

Example:
    >>> import math
    >>> from kelvane_analytics_utils.predictive_models.preparation.discretisation import (
    ...     AttributeBinning, AttributeDataType)
    >>> from kelvane_analytics_utils.predictive_models.surveillance.surveillance import (
    ...     PredictiveModelMonitoring)
    >>> age = AttributeBinning(attribute="age", attribute_data_type="NUMERICAL", discretisation=[
    ...     {"type": "NUMERICAL", "id": 1, "lower_bound": -math.inf, "upper_bound": 30},
    ...     {"type": "NUMERICAL", "id": 2, "lower_bound": 30, "upper_bound": math.inf}])
    >>> monitoring = PredictiveModelMonitoring(binning=[age])
    >>> monitoring.get_discretisation("age", AttributeDataType.NUMERICAL, 30.0).name
    '1_(-inf;30)'
"""

from __future__ import annotations

from typing import Any, ClassVar, List, Optional, Union

from graphql import GraphQLResolveInfo
from strawberry.types.base import StrawberryObjectDefinition
from typing_extensions import Self

from kelvane_analytics_utils.predictive_models.preparation.discretisation import (
    AbstractAttributeBin,
    AttributeBinCategorical,
    AttributeBinning,
    AttributeBinningType,
    AttributeBinNumerical,
    AttributeDataType,
)
from kelvane_analytics_utils.utils.base_model import BaseModel

class PredictiveModelMonitoring(BaseModel):
    """The binnings used to monitor a model once it is deployed.

    Attributes:
        binning: One binning per monitored attribute, found by its
            ``attribute``. Each record gets its own empty list by default.
        predictive_model_output_binning: The binning of the model's output,
            carried and shown as it is (no method here reads it).
    """

    binning: List[AttributeBinning] = []
    predictive_model_output_binning: Optional[AttributeBinning] = None
    def remove_discretisation(self, attribute: str) -> None:
        """Remove every binning of `attribute` from `binning`, in place.

        The other binnings keep their order; nothing happens when there is none.

        Raises:
            TypeError: When `attribute` is not exactly a ``str``.
        """
    def discretisation_exists(self, attribute: str) -> bool:
        """Whether `binning` holds a binning of `attribute`.

        Raises:
            TypeError: When `attribute` is not exactly a ``str``.
        """
    @staticmethod
    def _get_numerical_bin(
        binning: AttributeBinning, value: Optional[float]
    ) -> Optional[Union[AttributeBinNumerical, AbstractAttributeBin]]:
        """The bin of a number in `binning` (see `get_discretisation`).

        Raises:
            TypeError: When `value` is neither exactly a ``float`` nor ``None``.
        """
    @staticmethod
    def _get_categorical_bin(
        binning: AttributeBinning, value: Optional[Union[str, float]]
    ) -> Optional[Union[AttributeBinCategorical, AbstractAttributeBin]]:
        """The bin of a category in `binning` (see `get_discretisation`)."""
    def get_discretisation(
        self, attribute: str, attribute_dtype: AttributeDataType, attribute_value: Union[str, float]
    ) -> Optional[Union[AbstractAttributeBin, AttributeBinNumerical, AttributeBinCategorical]]:
        """Find the monitoring bin that a value of `attribute` falls in.

        The binning used is the last one of `attribute` in `binning`. Its bins
        are scanned in list order and the first that qualifies wins:

        - numerical (`attribute_dtype` is ``NUMERICAL``): ``None`` and NaN go to
          the bin named ``1_null``; any other value to the first numeric bin
          with both bounds set and ``lower_bound < value <= upper_bound``;
        - categorical (``CATEGORICAL``): ``None`` and any value whose text is
          ``"nan"`` go to ``1_null``; any other value to the first categorical
          bin whose ``categories`` contain it;
        - a value that no bin takes goes to the first default bin (``0_default``,
          ``0_defined_default`` or ``0_system_default``).

        Bins with a missing bound, and categorical bins without categories, are
        skipped. Plain strings ``"NUMERICAL"`` and ``"CATEGORICAL"`` work as the
        data type too.

        Args:
            attribute: The monitored attribute.
            attribute_dtype: How to look the value up.
            attribute_value: The observed value: a ``float`` or ``None`` for a
                numerical lookup (an ``int`` is refused), a string for a
                categorical one.

        Returns:
            The bin record itself, or ``None`` when the attribute has no
            binning, the data type is neither member, or no bin (not even a
            null or default bin) takes the value.

        Raises:
            TypeError: When `attribute` is not exactly a ``str``, or a numerical
                value is neither exactly a ``float`` nor ``None``.
        """

class PredictiveModelMonitoringType:
    """GraphQL view of `PredictiveModelMonitoring`: both binnings, shown by `AttributeBinningType`."""

    binning: List[AttributeBinningType]
    predictive_model_output_binning: Optional[AttributeBinningType]
    __match_args__: ClassVar[tuple[()]]
    __strawberry_definition__: ClassVar[StrawberryObjectDefinition]
    __hash__: ClassVar[None] = None  # type: ignore[assignment]  # compared by value, so unhashable
    def __init__(self, *, binning: List[AttributeBinningType] = ..., predictive_model_output_binning: Optional[AttributeBinningType] = ...) -> None: ...
    def __replace__(self, /, **changes: Any) -> Self: ...
    @classmethod
    def is_type_of(cls, obj: Any, _info: GraphQLResolveInfo[Any]) -> bool:
        """Tell GraphQL whether `obj` is shown by this type: an instance of the view or of its record."""
    @staticmethod
    def from_pydantic(instance: PredictiveModelMonitoring, extra: dict[str, Any] | None = None) -> PredictiveModelMonitoringType:
        """Build the view of a record; `extra` gives or overrides field values."""
    def to_pydantic(self, **kwargs: Any) -> PredictiveModelMonitoring:
        """Build the record from this view; `kwargs` give or override field values."""
