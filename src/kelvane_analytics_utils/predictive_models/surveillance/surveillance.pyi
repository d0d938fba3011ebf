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
    binning: List[AttributeBinning] = []
    predictive_model_output_binning: Optional[AttributeBinning] = None
    def remove_discretisation(self, attribute: str) -> None: ...
    def discretisation_exists(self, attribute: str) -> bool: ...
    @staticmethod
    def _get_numerical_bin(
        binning: AttributeBinning, value: Optional[float]
    ) -> Optional[Union[AttributeBinNumerical, AbstractAttributeBin]]: ...
    @staticmethod
    def _get_categorical_bin(
        binning: AttributeBinning, value: Optional[Union[str, float]]
    ) -> Optional[Union[AttributeBinCategorical, AbstractAttributeBin]]: ...
    def get_discretisation(
        self, attribute: str, attribute_dtype: AttributeDataType, attribute_value: Union[str, float]
    ) -> Optional[Union[AbstractAttributeBin, AttributeBinNumerical, AttributeBinCategorical]]: ...

class PredictiveModelMonitoringType:
    binning: List[AttributeBinningType]
    predictive_model_output_binning: Optional[AttributeBinningType]
    __match_args__: ClassVar[tuple[()]]
    __strawberry_definition__: ClassVar[StrawberryObjectDefinition]
    def __init__(self, *, binning: List[AttributeBinningType] = ..., predictive_model_output_binning: Optional[AttributeBinningType] = ...) -> None: ...
    def __replace__(self, /, **changes: Any) -> Self: ...
    @classmethod
    def is_type_of(cls, obj: Any, _info: GraphQLResolveInfo[Any]) -> bool: ...
    @staticmethod
    def from_pydantic(instance: PredictiveModelMonitoring, extra: dict[str, Any] | None = None) -> PredictiveModelMonitoringType: ...
    def to_pydantic(self, **kwargs: Any) -> PredictiveModelMonitoring: ...
