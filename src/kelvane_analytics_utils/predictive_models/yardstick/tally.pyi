from __future__ import annotations

from enum import Enum
from typing import Any, ClassVar, Dict, List

from graphql import GraphQLResolveInfo
from strawberry.types.base import StrawberryObjectDefinition
from typing_extensions import Self

from kelvane_analytics_utils.utils.base_model import BaseModel

class SampleType(str, Enum):
    __strawberry_definition__: ClassVar[Any]   # strawberry.enum's definition
    TRAIN = "TRAIN"
    VALID = "VALID"
    TEST = "TEST"
    OOT = "OOT"
    CV = "CV"

class PerformanceMetrics(str, Enum):
    __strawberry_definition__: ClassVar[Any]   # strawberry.enum's definition
    AUC = "AUC"
    GINI = "GINI"
    LIFT = "LIFT"
    KS = "KS"
    TAU = "TAR"
    RHO = "RHO"
    ACCURACY = "ACCURACY"

class SamplePerformance(BaseModel):
    sample: SampleType
    target: str
    performance: Dict[PerformanceMetrics, float] = {}

class SamplePerformancePerformanceType:
    metric: PerformanceMetrics
    value: float
    __match_args__: ClassVar[tuple[()]]
    __strawberry_definition__: ClassVar[StrawberryObjectDefinition]
    __hash__: ClassVar[None] = None  # type: ignore[assignment]  # compared by value, so unhashable
    def __init__(self, *, metric: PerformanceMetrics, value: float) -> None: ...
    def __replace__(self, /, **changes: Any) -> Self: ...

class SamplePerformanceType:
    sample: SampleType
    target: str
    __match_args__: ClassVar[tuple[()]]
    __strawberry_definition__: ClassVar[StrawberryObjectDefinition]
    def __init__(self, *, sample: SampleType, target: str) -> None: ...
    def __replace__(self, /, **changes: Any) -> Self: ...
    @classmethod
    def is_type_of(cls, obj: Any, _info: GraphQLResolveInfo[Any]) -> bool: ...
    @staticmethod
    def from_pydantic(instance: SamplePerformance, extra: dict[str, Any] | None = None) -> SamplePerformanceType: ...
    def to_pydantic(self, **kwargs: Any) -> SamplePerformance: ...
    async def performance(self, parent: SamplePerformance) -> List[SamplePerformancePerformanceType]: ...
