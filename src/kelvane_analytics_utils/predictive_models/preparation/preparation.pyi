from typing import Any, Dict, List, Optional, Union

import structlog

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

logger: structlog.typing.FilteringBoundLogger

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
    def apply_discretisation_batch(self, attribute: str, attribute_values: List) -> Optional[List[float]]: ...
    def discretisation_exists(self, attribute: str) -> bool: ...
    def get_all_transformation_attributes(self) -> List[str]: ...
    def get_attributes_created_in_transformations(self) -> List[str]: ...
    def get_all_binning_attributes(self) -> List[str]: ...
    def get_attributes_created_in_binning(self) -> List[str]: ...
    def get_all_dummy_enc_attributes(self) -> List[str]: ...
    def apply_dummy_encoding(
        self, attribute: str, attribute_value: Union[str, int, float]
    ) -> Optional[Dict[str, int]]: ...

class AttributePreprocessingType:
    binning: List[AttributeBinningType]
    transformations: List[AttributeTransformationType]
    @classmethod
    def from_pydantic(cls, instance: AttributePreprocessing, extra: dict | None = None) -> AttributePreprocessingType: ...
    def to_pydantic(self, **kwargs: object) -> AttributePreprocessing: ...
