from __future__ import annotations

from datetime import date
from typing import Any, ClassVar, List, Optional

from graphql import GraphQLResolveInfo
from strawberry.types.base import StrawberryObjectDefinition
from typing_extensions import Self

from kelvane_analytics_utils.predictive_models.yardstick.tally import SampleType
from kelvane_analytics_utils.utils.base_model import BaseModel

class ClassFrequency(BaseModel):
    label_class: Any
    number_of_observations: Optional[int] = None

class ClassFrequencyType:
    number_of_observations: Optional[int]
    __match_args__: ClassVar[tuple[()]]
    __strawberry_definition__: ClassVar[StrawberryObjectDefinition]
    def __init__(self, *, number_of_observations: Optional[int] = ...) -> None: ...
    def __replace__(self, /, **changes: Any) -> Self: ...
    @classmethod
    def is_type_of(cls, obj: Any, _info: GraphQLResolveInfo[Any]) -> bool: ...
    @staticmethod
    def from_pydantic(instance: ClassFrequency, extra: dict[str, Any] | None = None) -> ClassFrequencyType: ...
    def to_pydantic(self, **kwargs: Any) -> ClassFrequency: ...
    def label_class(self, parent: ClassFrequency) -> str: ...

class SampleDescription(BaseModel):
    sample_type: Optional[SampleType] = None
    first_date: Optional[date] = None
    last_date: Optional[date] = None
    number_of_observations: Optional[int] = None
    label_class_frequency: Optional[List[ClassFrequency]] = None

class SampleDescriptionType:
    sample_type: Optional[SampleType]
    first_date: Optional[date]
    last_date: Optional[date]
    number_of_observations: Optional[int]
    label_class_frequency: Optional[List[ClassFrequencyType]]
    __match_args__: ClassVar[tuple[()]]
    __strawberry_definition__: ClassVar[StrawberryObjectDefinition]
    def __init__(
        self,
        *,
        sample_type: Optional[SampleType] = ...,
        first_date: Optional[date] = ...,
        last_date: Optional[date] = ...,
        number_of_observations: Optional[int] = ...,
        label_class_frequency: Optional[List[ClassFrequencyType]] = ...,
    ) -> None: ...
    def __replace__(self, /, **changes: Any) -> Self: ...
    @classmethod
    def is_type_of(cls, obj: Any, _info: GraphQLResolveInfo[Any]) -> bool: ...
    @staticmethod
    def from_pydantic(instance: SampleDescription, extra: dict[str, Any] | None = None) -> SampleDescriptionType: ...
    def to_pydantic(self, **kwargs: Any) -> SampleDescription: ...
