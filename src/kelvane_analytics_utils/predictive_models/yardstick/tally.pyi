"""The kinds of development sample, the performance metrics, and a model's
performance on one sample.

Example:
    >>> from kelvane_analytics_utils.predictive_models.yardstick.tally import SamplePerformance
    >>> test = SamplePerformance.model_validate(
    ...     {"sample": "TEST", "target": "default_12m", "performance": {"GINI": 0.41, "AUC": 0.705}})
    >>> test.performance
    {<PerformanceMetrics.GINI: 'GINI'>: 0.41, <PerformanceMetrics.AUC: 'AUC'>: 0.705}
"""

from __future__ import annotations

from enum import Enum
from typing import Any, ClassVar, Dict, List

from graphql import GraphQLResolveInfo
from strawberry.types.base import StrawberryObjectDefinition
from typing_extensions import Self

from kelvane_analytics_utils.utils.base_model import BaseModel

class SampleType(str, Enum):
    """The kinds of sample a model is developed and checked on (also a GraphQL enum).

    Members: ``TRAIN``, ``VALID`` (validation), ``TEST``, ``OOT`` (out of time),
    ``CV`` (cross-validation); each value is the member's name.
    """

    __strawberry_definition__: ClassVar[Any]   # strawberry.enum's definition
    TRAIN = "TRAIN"
    VALID = "VALID"
    TEST = "TEST"
    OOT = "OOT"
    CV = "CV"

class PerformanceMetrics(str, Enum):
    """The metrics a model's performance is measured by (also a GraphQL enum).

    Members: ``AUC``, ``GINI``, ``LIFT``, ``KS``, ``TAU``, ``RHO``, ``ACCURACY``.
    Each value is the member's name except for ``TAU``, whose value is ``"TAR"``:
    ``PerformanceMetrics("TAR")`` is ``TAU``, and ``"TAU"`` is no value of the enum.
    """

    __strawberry_definition__: ClassVar[Any]   # strawberry.enum's definition
    AUC = "AUC"
    GINI = "GINI"
    LIFT = "LIFT"
    KS = "KS"
    TAU = "TAR"
    RHO = "RHO"
    ACCURACY = "ACCURACY"

class SamplePerformance(BaseModel):
    """A model's performance on one sample.

    Attributes:
        sample: Which sample (a `SampleType` member or its name).
        target: The target the metrics were computed for.
        performance: The value of each metric, by `PerformanceMetrics` member
            (given by member or value, such as ``"GINI"``), in the order given.

    Raises:
        pydantic.ValidationError: When `sample` or `target` is missing, or a
            sample, metric or value is not one of its kind.
    """

    sample: SampleType
    target: str
    performance: Dict[PerformanceMetrics, float] = {}

class SamplePerformancePerformanceType:
    """GraphQL object of one metric of a sample and its value."""

    metric: PerformanceMetrics
    value: float
    __match_args__: ClassVar[tuple[()]]
    __strawberry_definition__: ClassVar[StrawberryObjectDefinition]
    __hash__: ClassVar[None] = None  # type: ignore[assignment]  # compared by value, so unhashable
    def __init__(self, *, metric: PerformanceMetrics, value: float) -> None: ...
    def __replace__(self, /, **changes: Any) -> Self: ...

class SamplePerformanceType:
    """GraphQL view of `SamplePerformance`; the metric mapping is shown as a list of
    `SamplePerformancePerformanceType` objects.
    """

    sample: SampleType
    target: str
    __match_args__: ClassVar[tuple[()]]
    __strawberry_definition__: ClassVar[StrawberryObjectDefinition]
    __hash__: ClassVar[None] = None  # type: ignore[assignment]  # compared by value, so unhashable
    def __init__(self, *, sample: SampleType, target: str) -> None: ...
    def __replace__(self, /, **changes: Any) -> Self: ...
    @classmethod
    def is_type_of(cls, obj: Any, _info: GraphQLResolveInfo[Any]) -> bool:
        """Tell GraphQL whether `obj` is shown by this type: an instance of the view or of its record."""
    @staticmethod
    def from_pydantic(instance: SamplePerformance, extra: dict[str, Any] | None = None) -> SamplePerformanceType:
        """Build the view of a record; `extra` gives or overrides field values."""
    def to_pydantic(self, **kwargs: Any) -> SamplePerformance:
        """Build the record from this view; `kwargs` give or override field values."""
    async def performance(self, parent: SamplePerformance) -> List[SamplePerformancePerformanceType]:
        """Resolve ``performance``: one metric/value object per entry of the record's
        `performance`, in its order.
        """
