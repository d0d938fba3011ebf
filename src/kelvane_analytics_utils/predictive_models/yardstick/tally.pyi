from enum import Enum
from typing import Dict, List

import strawberry

from kelvane_analytics_utils.utils.base_model import BaseModel

class SampleType(str, Enum):
    TRAIN = "TRAIN"
    VALID = "VALID"
    TEST = "TEST"
    OOT = "OOT"
    CV = "CV"

class PerformanceMetrics(str, Enum):
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
    def __init__(self, *, metric: PerformanceMetrics, value: float) -> None: ...

class SamplePerformanceType:
    sample: SampleType
    target: str
    async def performance(self, parent: SamplePerformance) -> List[SamplePerformancePerformanceType]: ...
    def __init__(self, *, sample: SampleType, target: str) -> None: ...
    @staticmethod
    def from_pydantic(instance: SamplePerformance, extra: dict | None = None) -> SamplePerformanceType: ...
    def to_pydantic(self, **kwargs: object) -> SamplePerformance: ...
