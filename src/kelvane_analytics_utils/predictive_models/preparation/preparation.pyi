from __future__ import annotations

from typing import Any, ClassVar, Dict, List, Optional, Union

from graphql import GraphQLResolveInfo
from strawberry.types.base import StrawberryObjectDefinition
from typing_extensions import Self

from kelvane_analytics_utils.predictive_models.preparation.discretisation import (
    AttributeBinning,
    AttributeBinningType,
    AttributeDataType,
    PredictiveModelBinName,
)
from kelvane_analytics_utils.predictive_models.preparation.reshaping import (
    AttributeTransformation,
    AttributeTransformationType,
)
from kelvane_analytics_utils.utils.base_model import BaseModel

logger: Any

class PredictiveModelDummyEncodingSingleValue(BaseModel):
    value: Union[str, int, float]
    encoded_feature_name: str
    use_for_undefined: bool = False

class PredictiveModelDummyEncoding(BaseModel):
    attribute: str
    encoding: List[PredictiveModelDummyEncodingSingleValue]
    def check_created_attribute_naming(self) -> PredictiveModelDummyEncoding: ...

class AttributePreprocessing(BaseModel):
    transformations: List[AttributeTransformation] = []
    binning: List[AttributeBinning] = []
    dummy_encoding: List[PredictiveModelDummyEncoding] = []
    def get_transformation_formula(self, attribute: str) -> str: ...
    def add_reshaping(self, transformations: List[Dict[str, str]]) -> None: ...
    @classmethod
    def add_discretisation(cls, attributes_binning: Dict[str, Any]) -> List[AttributeBinning]: ...
    def get_discretisation(self, attribute: str) -> Optional[AttributeBinning]: ...
    def apply_discretisation(self, attribute: str, attribute_value: Union[str, int, float]) -> Optional[float]: ...
    def apply_discretisation_batch(
        self, attribute: str, attribute_values: List[Any]
    ) -> Optional[List[Optional[float]]]: ...
    def discretisation_exists(self, attribute: str) -> bool: ...
    def get_all_transformation_attributes(self) -> List[str]: ...
    def get_attributes_created_in_transformations(self) -> List[str]: ...
    def get_all_binning_attributes(self) -> List[str]: ...
    def get_attributes_created_in_binning(self) -> List[str]: ...
    def get_all_dummy_enc_attributes(self) -> List[str]: ...
    def apply_dummy_encoding(
        self, attribute: str, attribute_value: Union[str, int, float]
    ) -> Optional[Dict[str, int]]: ...
    def apply_preprocessing(self, values: Dict[str, Any]) -> Dict[str, Any]: ...

class AttributePreprocessingType:
    binning: List[AttributeBinningType]
    transformations: List[AttributeTransformationType]
    __match_args__: ClassVar[tuple[()]]
    __strawberry_definition__: ClassVar[StrawberryObjectDefinition]
    def __init__(self, *, transformations: List[AttributeTransformationType] = ..., binning: List[AttributeBinningType] = ...) -> None: ...
    def __replace__(self, /, **changes: Any) -> Self: ...
    @classmethod
    def is_type_of(cls, obj: Any, _info: GraphQLResolveInfo[Any]) -> bool: ...
    @staticmethod
    def from_pydantic(instance: AttributePreprocessing, extra: dict[str, Any] | None = None) -> AttributePreprocessingType: ...
    def to_pydantic(self, **kwargs: Any) -> AttributePreprocessing: ...
