from __future__ import annotations

from abc import ABC
from enum import Enum
from typing import Any, ClassVar, List, Literal, Optional, Union

from graphql import GraphQLResolveInfo
from strawberry.types.base import StrawberryObjectDefinition
from typing_extensions import Annotated, Self

from kelvane_analytics_utils.utils.base_model import BaseModel

logger: Any

class AttributeDataType(str, Enum):
    __strawberry_definition__: ClassVar[Any]   # strawberry.enum's definition
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
    def __init__(
        self,
        *,
        name: str,
        value: Optional[float] = None,
        frequency: Optional[float] = None,
        target_rate: Optional[float] = None,
        id: int,
    ) -> None: ...

class AttributeBinCategorical(AbstractAttributeBin):
    type: Literal[AttributeDataType.CATEGORICAL]
    categories: Optional[List[str]] = None
    # `name` is made from `id` and `categories` when it is left out or None; a
    # `type` given is replaced by CATEGORICAL.
    def __init__(
        self,
        *,
        name: Optional[str] = None,
        value: Optional[float] = None,
        frequency: Optional[float] = None,
        target_rate: Optional[float] = None,
        id: int,
        type: Literal[AttributeDataType.CATEGORICAL] = ...,
        categories: Optional[List[str]] = None,
    ) -> None: ...

class AttributeBinNumerical(AbstractAttributeBin):
    type: Literal[AttributeDataType.NUMERICAL]
    lower_bound: Optional[float] = None
    upper_bound: Optional[float] = None
    # `name` is made from `id` and the bounds when it is left out (not when it is
    # None) and both bounds are given; a `type` given is replaced by NUMERICAL.
    def __init__(
        self,
        *,
        name: str = ...,
        value: Optional[float] = None,
        frequency: Optional[float] = None,
        target_rate: Optional[float] = None,
        id: int,
        type: Literal[AttributeDataType.NUMERICAL] = ...,
        lower_bound: Optional[float] = None,
        upper_bound: Optional[float] = None,
    ) -> None: ...
    @staticmethod
    def _get_number_formatting(number: Union[float, int]) -> str: ...

AttributeBin = Annotated[Union[AttributeBinNumerical, AttributeBinCategorical], ...]

class AbstractAttributeBinType:
    name: str
    value: Optional[float]
    frequency: Optional[float]
    target_rate: Optional[float]
    id: int
    __match_args__: ClassVar[tuple[()]]
    __strawberry_definition__: ClassVar[StrawberryObjectDefinition]
    def __init__(self, *, name: str, value: Optional[float] = ..., frequency: Optional[float] = ..., target_rate: Optional[float] = ..., id: int) -> None: ...
    def __replace__(self, /, **changes: Any) -> Self: ...
    @classmethod
    def is_type_of(cls, obj: Any, _info: GraphQLResolveInfo[Any]) -> bool: ...
    @staticmethod
    def from_pydantic(instance: AbstractAttributeBin, extra: dict[str, Any] | None = None) -> AbstractAttributeBinType: ...
    def to_pydantic(self, **kwargs: Any) -> AbstractAttributeBin: ...
    async def type(self, parent: AbstractAttributeBin) -> AttributeDataType: ...

class AttributeBinCategoricalType(AbstractAttributeBinType):
    categories: Optional[List[str]]
    __match_args__: ClassVar[tuple[()]]
    __strawberry_definition__: ClassVar[StrawberryObjectDefinition]
    def __init__(self, *, name: str, value: Optional[float] = ..., frequency: Optional[float] = ..., target_rate: Optional[float] = ..., id: int, categories: Optional[List[str]] = ...) -> None: ...
    def __replace__(self, /, **changes: Any) -> Self: ...
    @classmethod
    def is_type_of(cls, obj: Any, _info: GraphQLResolveInfo[Any]) -> bool: ...
    @staticmethod
    def from_pydantic(  # type: ignore[override]
        instance: AttributeBinCategorical, extra: dict[str, Any] | None = None
    ) -> AttributeBinCategoricalType: ...
    def to_pydantic(self, **kwargs: Any) -> AttributeBinCategorical: ...  # type: ignore[override]

class AttributeBinNumericalType(AbstractAttributeBinType):
    lower_bound: Optional[float]
    upper_bound: Optional[float]
    __match_args__: ClassVar[tuple[()]]
    __strawberry_definition__: ClassVar[StrawberryObjectDefinition]
    def __init__(self, *, name: str, value: Optional[float] = ..., frequency: Optional[float] = ..., target_rate: Optional[float] = ..., id: int, lower_bound: Optional[float] = ..., upper_bound: Optional[float] = ...) -> None: ...
    def __replace__(self, /, **changes: Any) -> Self: ...
    @classmethod
    def is_type_of(cls, obj: Any, _info: GraphQLResolveInfo[Any]) -> bool: ...
    @staticmethod
    def from_pydantic(  # type: ignore[override]
        instance: AttributeBinNumerical, extra: dict[str, Any] | None = None
    ) -> AttributeBinNumericalType: ...
    def to_pydantic(self, **kwargs: Any) -> AttributeBinNumerical: ...  # type: ignore[override]
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
    __match_args__: ClassVar[tuple[()]]
    __strawberry_definition__: ClassVar[StrawberryObjectDefinition]
    def __init__(self, *, attribute: str) -> None: ...
    def __replace__(self, /, **changes: Any) -> Self: ...
    @classmethod
    def is_type_of(cls, obj: Any, _info: GraphQLResolveInfo[Any]) -> bool: ...
    @staticmethod
    def from_pydantic(instance: AttributeBinning, extra: dict[str, Any] | None = None) -> AttributeBinningType: ...
    def to_pydantic(self, **kwargs: Any) -> AttributeBinning: ...
    async def discretisation(
        self, parent: AttributeBinning
    ) -> List[Union[AttributeBinNumericalType, AttributeBinCategoricalType]]: ...
