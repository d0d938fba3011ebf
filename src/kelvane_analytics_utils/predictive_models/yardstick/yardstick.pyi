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
    tally: List[SamplePerformance] = []
    performance_metrics: List[PerformanceMetrics] = []
    @classmethod
    def validate_performance_metric_str(cls, metric: str) -> PerformanceMetrics: ...
    @classmethod
    def validate_performance_metrics(cls, data: Any) -> Any: ...

class PredictiveModelPerformanceType:
    tally: List[SamplePerformanceType]
    performance_metrics: List[PerformanceMetrics]
    __match_args__: ClassVar[tuple[()]]
    __strawberry_definition__: ClassVar[StrawberryObjectDefinition]
    def __init__(
        self, *, tally: List[SamplePerformanceType] = ..., performance_metrics: List[PerformanceMetrics] = ...
    ) -> None: ...
    def __replace__(self, /, **changes: Any) -> Self: ...
    @classmethod
    def is_type_of(cls, obj: Any, _info: GraphQLResolveInfo[Any]) -> bool: ...
    @staticmethod
    def from_pydantic(
        instance: PredictiveModelPerformance, extra: dict[str, Any] | None = None
    ) -> PredictiveModelPerformanceType: ...
    def to_pydantic(self, **kwargs: Any) -> PredictiveModelPerformance: ...
