"""A model's performance on its development samples, and the metrics it is
judged by.

Metrics may be given loosely as text: in any letter case, and lift at any depth
as ``LIFT(...)``; they are turned into `PerformanceMetrics` members when the
record is built.

Example:
    >>> from kelvane_analytics_utils.predictive_models.yardstick.yardstick import PredictiveModelPerformance
    >>> PredictiveModelPerformance(performance_metrics=["gini", "Lift(10)", "ks"]).performance_metrics
    [<PerformanceMetrics.GINI: 'GINI'>, <PerformanceMetrics.LIFT: 'LIFT'>, <PerformanceMetrics.KS: 'KS'>]
"""

from __future__ import annotations

from typing import Any, ClassVar, List

from graphql import GraphQLResolveInfo
from strawberry.types.base import StrawberryObjectDefinition
from typing_extensions import Self

from kelvane_analytics_utils.predictive_models.yardstick.tally import (
    PerformanceMetrics,
    SamplePerformance,
    SamplePerformanceType,
)
from kelvane_analytics_utils.utils.base_model import BaseModel

class PredictiveModelPerformance(BaseModel):
    """A model's performance on its development samples.

    Attributes:
        tally: The performance on each sample (`SamplePerformance`).
        performance_metrics: The metrics the model is judged by, in the order
            given, duplicates kept; texts are read by
            `validate_performance_metric_str`.

    Raises:
        pydantic.ValidationError: For a metric text that names no metric, or a
            metric that is neither a member nor a text.
    """

    tally: List[SamplePerformance] = []
    performance_metrics: List[PerformanceMetrics] = []
    @classmethod
    def validate_performance_metric_str(cls, metric: str) -> PerformanceMetrics:
        """Return the metric that a text names.

        The text is upper-cased, and any text starting with ``LIFT(`` names ``LIFT``.

        Args:
            metric: The metric's value in any letter case (``gini``, ``tar``), or a
                lift such as ``lift(10)``.

        Returns:
            The `PerformanceMetrics` member.

        Raises:
            TypeError: When `metric` is not exactly a ``str``.
            ValueError: When the upper-cased text is no metric's value (``tau``
                among them: the value of ``TAU`` is ``TAR``).

        Example:
            >>> from kelvane_analytics_utils.predictive_models.yardstick.yardstick import PredictiveModelPerformance
            >>> PredictiveModelPerformance.validate_performance_metric_str("Lift(5%)")
            <PerformanceMetrics.LIFT: 'LIFT'>
        """
    @classmethod
    def validate_performance_metrics(cls, data: Any) -> Any:
        """Normalise the ``performance_metrics`` of the input before the fields are
        validated (a before-validator; it runs on every construction and
        ``model_validate``).

        Every item that is not already a `PerformanceMetrics` member is read by
        `validate_performance_metric_str`. The input is changed in place and returned;
        input without ``performance_metrics`` is returned as it is.
        """

class PredictiveModelPerformanceType:
    """GraphQL view of `PredictiveModelPerformance`: the per-sample performances
    (`SamplePerformanceType`) and the metrics.
    """

    tally: List[SamplePerformanceType]
    performance_metrics: List[PerformanceMetrics]
    __match_args__: ClassVar[tuple[()]]
    __strawberry_definition__: ClassVar[StrawberryObjectDefinition]
    __hash__: ClassVar[None] = None  # type: ignore[assignment]  # compared by value, so unhashable
    def __init__(
        self, *, tally: List[SamplePerformanceType] = ..., performance_metrics: List[PerformanceMetrics] = ...
    ) -> None: ...
    def __replace__(self, /, **changes: Any) -> Self: ...
    @classmethod
    def is_type_of(cls, obj: Any, _info: GraphQLResolveInfo[Any]) -> bool:
        """Tell GraphQL whether `obj` is shown by this type: an instance of the view or of its record."""
    @staticmethod
    def from_pydantic(
        instance: PredictiveModelPerformance, extra: dict[str, Any] | None = None
    ) -> PredictiveModelPerformanceType:
        """Build the view of a record; `extra` gives or overrides field values."""
    def to_pydantic(self, **kwargs: Any) -> PredictiveModelPerformance:
        """Build the record from this view; `kwargs` give or override field values."""
