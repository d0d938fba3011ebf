"""Population and characteristic stability of a deployed model, counted over the
monitoring binnings its bundle carries, streamed in batches and merged across
workers.

Example:
    >>> from kelvane_analytics_utils.predictive_models.surveillance.stability import StabilityLevel
    >>> StabilityLevel.WATCH.value
    'WATCH'
"""

from __future__ import annotations

from enum import Enum
from typing import Any, ClassVar, Dict, List, Optional, final

from graphql import GraphQLResolveInfo
from strawberry.types.base import StrawberryObjectDefinition
from typing_extensions import Self

from kelvane_analytics_utils.predictive_models.surveillance.surveillance import PredictiveModelMonitoring
from kelvane_analytics_utils.utils.base_model import BaseModel

class StabilityLevel(str, Enum):
    """Customary alarm level of a stability index: ``STABLE`` below 0.10,
    ``WATCH`` from 0.10, ``SHIFT`` from 0.25."""

    __strawberry_definition__: ClassVar[Any]   # strawberry.enum's definition
    STABLE = "STABLE"
    WATCH = "WATCH"
    SHIFT = "SHIFT"

class BinStability(BaseModel):
    """Counts and shares of one bin of a monitoring binning.

    ``expected_share`` is the bin's development ``frequency`` over the sum of
    its binning's frequencies (``None`` unless every bin has a finite,
    non-negative frequency and the sum is positive); ``actual_share`` is
    ``count`` over the values that fell in a bin of the binning (``None``
    before any did); ``psi_term`` is the bin's term of the stability index,
    with shares below 0.0001 taken at 0.0001. ``events`` counts the records
    with target 1, ``event_rate`` is ``events`` over the records of the bin
    whose target was known (``None`` without any); ``target_rate`` is the
    bin's development target rate.
    """

    name: str
    id: int
    expected_share: Optional[float] = None
    count: int = 0
    actual_share: Optional[float] = None
    psi_term: Optional[float] = None
    target_rate: Optional[float] = None
    events: int = 0
    event_rate: Optional[float] = None

class AttributeStability(BaseModel):
    """Stability of one attribute (or of the model's output) over its
    monitoring bins.

    ``counted`` values were counted, ``unmatched`` of them fell in no bin (the
    monitoring lookup answered ``None``: no matching bin and no null or
    default bin). ``psi`` is the sum of the bins' ``psi_term`` (``None`` when
    a side of the comparison is unknown) and ``level`` its alarm level.
    ``bins`` follow the binning's order.
    """

    attribute: str
    counted: int = 0
    unmatched: int = 0
    psi: Optional[float] = None
    level: Optional[StabilityLevel] = None
    bins: List[BinStability] = []

class StabilityReport(BaseModel):
    """Stability of a deployed model: ``records`` counted, the output
    binning's stability in ``score`` (``None`` when the monitoring record has
    no output binning) and each monitored attribute's in ``attributes``, in
    the order the attributes first appear in the monitoring record."""

    records: int = 0
    score: Optional[AttributeStability] = None
    attributes: List[AttributeStability] = []

class BinStabilityType:
    """GraphQL view of :class:`BinStability`."""

    name: str
    id: int
    expected_share: Optional[float]
    count: int
    actual_share: Optional[float]
    psi_term: Optional[float]
    target_rate: Optional[float]
    events: int
    event_rate: Optional[float]
    __match_args__: ClassVar[tuple[()]]
    __strawberry_definition__: ClassVar[StrawberryObjectDefinition]
    __hash__: ClassVar[None] = None  # type: ignore[assignment]  # compared by value, so unhashable
    def __init__(self, *, name: str, id: int, expected_share: Optional[float] = ..., count: int = ..., actual_share: Optional[float] = ..., psi_term: Optional[float] = ..., target_rate: Optional[float] = ..., events: int = ..., event_rate: Optional[float] = ...) -> None: ...
    def __replace__(self, /, **changes: Any) -> Self: ...
    @classmethod
    def is_type_of(cls, obj: Any, _info: GraphQLResolveInfo[Any]) -> bool:
        """Tell GraphQL whether `obj` is shown by this type: an instance of the view or of its record."""
    @staticmethod
    def from_pydantic(instance: BinStability, extra: dict[str, Any] | None = None) -> BinStabilityType:
        """Build the view of a record; `extra` gives or overrides field values."""
    def to_pydantic(self, **kwargs: Any) -> BinStability:
        """Build the record from this view; `kwargs` give or override field values."""

class AttributeStabilityType:
    """GraphQL view of :class:`AttributeStability`."""

    attribute: str
    counted: int
    unmatched: int
    psi: Optional[float]
    level: Optional[StabilityLevel]
    bins: List[BinStabilityType]
    __match_args__: ClassVar[tuple[()]]
    __strawberry_definition__: ClassVar[StrawberryObjectDefinition]
    __hash__: ClassVar[None] = None  # type: ignore[assignment]  # compared by value, so unhashable
    def __init__(self, *, attribute: str, counted: int = ..., unmatched: int = ..., psi: Optional[float] = ..., level: Optional[StabilityLevel] = ..., bins: List[BinStabilityType] = ...) -> None: ...
    def __replace__(self, /, **changes: Any) -> Self: ...
    @classmethod
    def is_type_of(cls, obj: Any, _info: GraphQLResolveInfo[Any]) -> bool:
        """Tell GraphQL whether `obj` is shown by this type: an instance of the view or of its record."""
    @staticmethod
    def from_pydantic(instance: AttributeStability, extra: dict[str, Any] | None = None) -> AttributeStabilityType:
        """Build the view of a record; `extra` gives or overrides field values."""
    def to_pydantic(self, **kwargs: Any) -> AttributeStability:
        """Build the record from this view; `kwargs` give or override field values."""

class StabilityReportType:
    """GraphQL view of :class:`StabilityReport`."""

    records: int
    score: Optional[AttributeStabilityType]
    attributes: List[AttributeStabilityType]
    __match_args__: ClassVar[tuple[()]]
    __strawberry_definition__: ClassVar[StrawberryObjectDefinition]
    __hash__: ClassVar[None] = None  # type: ignore[assignment]  # compared by value, so unhashable
    def __init__(self, *, records: int = ..., score: Optional[AttributeStabilityType] = ..., attributes: List[AttributeStabilityType] = ...) -> None: ...
    def __replace__(self, /, **changes: Any) -> Self: ...
    @classmethod
    def is_type_of(cls, obj: Any, _info: GraphQLResolveInfo[Any]) -> bool:
        """Tell GraphQL whether `obj` is shown by this type: an instance of the view or of its record."""
    @staticmethod
    def from_pydantic(instance: StabilityReport, extra: dict[str, Any] | None = None) -> StabilityReportType:
        """Build the view of a record; `extra` gives or overrides field values."""
    def to_pydantic(self, **kwargs: Any) -> StabilityReport:
        """Build the record from this view; `kwargs` give or override field values."""

@final
class StabilityAccumulator:
    """Counts of observed values per monitoring bin, streamed and mergeable.

    Built from a :class:`PredictiveModelMonitoring`, it keeps a snapshot of
    its binnings: for each attribute the binning ``get_discretisation`` would
    use (the last one), and ``predictive_model_output_binning`` for the
    scores. Later changes of the record do not reach the snapshot. Each value
    is counted in the bin the monitoring lookup answers (numerical
    attributes by ``_get_numerical_bin``'s rules, integers counted as floats;
    categorical ones by ``_get_categorical_bin``'s); a value for which it
    answers ``None`` counts as unmatched.

    A call that raises leaves the counts as they were. Accumulators pickle,
    so workers can ship them, and merge when built from equal binnings::

        acc = StabilityAccumulator(bundle.monitoring)
        acc.add_batch({"age": ages, "region": regions}, scores=scores, targets=defaults)
        report = acc.report()
        report.score.psi, report.score.level

    Raises:
        TypeError: ``monitoring`` is not a ``PredictiveModelMonitoring``, or a
            binning holds what the lookup rules cannot count by (a bin name or
            attribute that is not a str, a bound that is not a float,
            categories that are not str).
    """

    def __new__(cls, monitoring: PredictiveModelMonitoring) -> Self: ...
    def add(self, values: Dict[str, Any], score: Any = None, target: Any = None) -> None:
        """Counts one record.

        Args:
            values: attribute name to raw value; a monitored attribute that is
                absent counts as a missing value (``None``). Numerical
                attributes take numbers or ``None``, categorical ones str,
                numbers (which no category equals) or ``None``.
            score: the model's output, counted in the output binning (``None``:
                a missing score).
            target: the outcome, 0 or 1 (``True``/``False`` and 0.0/1.0 too),
                or ``None`` when unknown; counted as events per bin.

        Raises:
            TypeError: a value of the wrong type (a str for a numerical
                attribute).
            ValueError: a target that is not 0, 1 or ``None``; a score while
                the monitoring record has no output binning.
        """
    def add_batch(self, columns: Dict[str, Any], scores: Any = None, targets: Any = None) -> None:
        """Counts many records, one per position of the columns.

        Args:
            columns: attribute name to column; a column is a list, a tuple,
                another sequence (a numpy array of objects), or a
                1-dimensional buffer of numbers (numpy float64, float32,
                signed or unsigned integer or bool arrays, read in place;
                NaN is a missing value). A monitored attribute without a
                column counts every record as missing; other columns are
                ignored.
            scores: a column of model outputs; ``None`` counts every score as
                missing (when the monitoring record has an output binning).
            targets: a column of outcomes (0, 1, ``None``; NaN in a buffer
                is unknown), or ``None``.

        Raises:
            ValueError: columns of unequal lengths; a target that is not 0, 1
                or ``None``; scores while there is no output binning.
            TypeError: a value of the wrong type, or a column that is a str,
                bytes or a buffer of something other than numbers.
        """
    def merge(self, other: StabilityAccumulator) -> None:
        """Adds the counts of ``other`` to this accumulator.

        Raises:
            ValueError: ``other`` was built from different binnings.
            TypeError: ``other`` is not a ``StabilityAccumulator``.
        """
    def report(self) -> StabilityReport:
        """The shares, stability indexes, levels and event rates of the
        counts so far. Two accumulators with equal counts give equal
        reports."""
    def __reduce__(self) -> Any:
        """Pickle support: the accumulator's binnings and counts, restored exactly."""
