from abc import ABC
from enum import Enum
from typing import Any, List, Literal, Optional, Union

import structlog
from typing_extensions import Annotated

from kelvane_analytics_utils.utils.base_model import BaseModel

logger: structlog.typing.FilteringBoundLogger

class AttributeDataType(str, Enum):
    CATEGORICAL = "CATEGORICAL"
    NUMERICAL = "NUMERICAL"

class PredictiveModelBinName(str, Enum):
    DEFAULT = "0_default"
    DEFINED_DEFAULT = "0_defined_default"
    SYSTEM_DEFAULT = "0_system_default"
    NULL = "1_null"

class AbstractAttributeBin(BaseModel, ABC):
    name: str
    value: Optional[float] = None
    frequency: Optional[float] = None
    target_rate: Optional[float] = None
    id: int
    def __init__(self, **kwargs: Any) -> None: ...

class AttributeBinCategorical(AbstractAttributeBin):
    type: Literal[AttributeDataType.CATEGORICAL]
    categories: Optional[List[str]] = None
    def __init__(self, **kwargs: Any) -> None: ...

class AttributeBinNumerical(AbstractAttributeBin):
    type: Literal[AttributeDataType.NUMERICAL]
    lower_bound: Optional[float] = None
    upper_bound: Optional[float] = None
    def __init__(self, **kwargs: Any) -> None: ...
    @staticmethod
    def _get_number_formatting(number: Union[float, int]) -> str: ...

AttributeBin = Annotated[Union[AttributeBinNumerical, AttributeBinCategorical], ...]

class AbstractAttributeBinType:
    name: str
    value: Optional[float]
    frequency: Optional[float]
    target_rate: Optional[float]
    id: int
    async def type(self, parent: AbstractAttributeBin) -> AttributeDataType: ...

class AttributeBinCategoricalType(AbstractAttributeBinType):
    categories: Optional[List[str]]

class AttributeBinNumericalType(AbstractAttributeBinType):
    lower_bound: Optional[float]
    upper_bound: Optional[float]
    async def formatted_lower_bound(self, parent: AttributeBinNumerical) -> Optional[str]: ...
    async def formatted_upper_bound(self, parent: AttributeBinNumerical) -> Optional[str]: ...

class AttributeBinning(BaseModel):
    attribute: str
    attribute_data_type: AttributeDataType
    discretisation: List[Union[AttributeBinNumerical, AttributeBinCategorical]] = []
    binned_attribute_name: Optional[str] = None
    def bin_numeric_attribute(self, value: Optional[Union[int, float]]) -> Optional[float]: ...
    def bin_categoric_attribute(self, value: Optional[str]) -> Optional[float]: ...

class AttributeBinningType:
    attribute: str
    async def discretisation(
        self, parent: AttributeBinning
    ) -> List[Union[AttributeBinNumericalType, AttributeBinCategoricalType]]: ...
