from typing import Any, ClassVar
from graphql import GraphQLResolveInfo
from strawberry.types.base import StrawberryObjectDefinition
from typing_extensions import Self
from enum import Enum
from typing import Dict, List

import strawberry

from kelvane_analytics_utils.utils.base_model import BaseModel

class SampleType(str, Enum):
    def __new__(cls, value: object) -> Self: ...
    __strawberry_definition__: ClassVar[Any]   # strawberry.enum\'s definition
    TRAIN = "TRAIN"
    VALID = "VALID"
    TEST = "TEST"
    OOT = "OOT"
    CV = "CV"

class PerformanceMetrics(str, Enum):
    def __new__(cls, value: object) -> Self: ...
    __strawberry_definition__: ClassVar[Any]   # strawberry.enum\'s definition
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
    __match_args__: ClassVar[tuple[()]]
    __strawberry_definition__: ClassVar[StrawberryObjectDefinition]
    def __replace__(self, /, **changes: Any) -> Self: ...
    metric: PerformanceMetrics
    value: float
    def __init__(self, *, metric: PerformanceMetrics, value: float) -> None: ...

class SamplePerformanceType:
    __match_args__: ClassVar[tuple[()]]
    __strawberry_definition__: ClassVar[StrawberryObjectDefinition]
    def __replace__(self, /, **changes: Any) -> Self: ...
    @classmethod
    def is_type_of(cls, obj: Any, _info: GraphQLResolveInfo) -> bool: ...
    sample: SampleType
    target: str
    async def performance(self, parent: SamplePerformance) -> List[SamplePerformancePerformanceType]: ...
    def __init__(self, *, sample: SampleType, target: str) -> None: ...
    @staticmethod
    def from_pydantic(instance: SamplePerformance, extra: dict | None = None) -> SamplePerformanceType: ...
    def to_pydantic(self, **kwargs: object) -> SamplePerformance: ...
