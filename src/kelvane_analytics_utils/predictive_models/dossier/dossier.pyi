from __future__ import annotations

from datetime import date
from typing import Any, ClassVar, Dict, List, Optional, Union

from graphql import GraphQLResolveInfo
from strawberry.types.base import StrawberryObjectDefinition
from typing_extensions import Self

from kelvane_analytics_utils.predictive_models.dossier.census import SampleDescription, SampleDescriptionType
from kelvane_analytics_utils.utils.base_model import BaseModel

class AttachedImage(BaseModel):
    type: str
    filename: str
    image: Optional[bytes] = None

class AttachedImageType:
    type: str
    filename: str
    __match_args__: ClassVar[tuple[()]]
    __strawberry_definition__: ClassVar[StrawberryObjectDefinition]
    def __init__(self, *, type: str, filename: str) -> None: ...
    def __replace__(self, /, **changes: Any) -> Self: ...
    @classmethod
    def is_type_of(cls, obj: Any, _info: GraphQLResolveInfo[Any]) -> bool: ...
    @staticmethod
    def from_pydantic(instance: AttachedImage, extra: dict[str, Any] | None = None) -> AttachedImageType: ...
    def to_pydantic(self, **kwargs: Any) -> AttachedImage: ...

class PredictiveModelDescription(BaseModel):
    predictive_model_name: Optional[str] = None
    predictive_model_created: Optional[date] = None
    sample_metadata: Optional[List[SampleDescription]] = None
    attribute_description: Optional[Dict[str, str]] = None
    hyperparameters: Optional[Dict[str, Any]] = None
    number_of_trainable_parameters: Optional[int] = None
    general_notes: Optional[Dict[str, str]] = None
    attached_images: Optional[List[AttachedImage]] = None
    def add_general_note(self, note: Union[Dict[Any, Any], str]) -> None: ...
    def remove_general_note(self, note_key: str) -> None: ...

class AttributeDescriptionType:
    attribute_name: str
    description: str
    __match_args__: ClassVar[tuple[()]]
    __strawberry_definition__: ClassVar[StrawberryObjectDefinition]
    __hash__: ClassVar[None] = None  # type: ignore[assignment]  # compared by value, so unhashable
    def __init__(self, *, attribute_name: str, description: str) -> None: ...
    def __replace__(self, /, **changes: Any) -> Self: ...

class HyperparameterType:
    name: str
    value: str
    __match_args__: ClassVar[tuple[()]]
    __strawberry_definition__: ClassVar[StrawberryObjectDefinition]
    __hash__: ClassVar[None] = None  # type: ignore[assignment]  # compared by value, so unhashable
    def __init__(self, *, name: str, value: str) -> None: ...
    def __replace__(self, /, **changes: Any) -> Self: ...

class GeneralNoteType:
    title: str
    content: str
    __match_args__: ClassVar[tuple[()]]
    __strawberry_definition__: ClassVar[StrawberryObjectDefinition]
    __hash__: ClassVar[None] = None  # type: ignore[assignment]  # compared by value, so unhashable
    def __init__(self, *, title: str, content: str) -> None: ...
    def __replace__(self, /, **changes: Any) -> Self: ...

class PredictiveModelDescriptionType:
    predictive_model_name: Optional[str]
    predictive_model_created: Optional[date]
    number_of_trainable_parameters: Optional[int]
    attached_images: Optional[List[AttachedImageType]]
    sample_metadata: Optional[List[SampleDescriptionType]]
    __match_args__: ClassVar[tuple[()]]
    __strawberry_definition__: ClassVar[StrawberryObjectDefinition]
    def __init__(
        self,
        *,
        predictive_model_name: Optional[str] = ...,
        predictive_model_created: Optional[date] = ...,
        number_of_trainable_parameters: Optional[int] = ...,
        attached_images: Optional[List[AttachedImageType]] = ...,
        sample_metadata: Optional[List[SampleDescriptionType]] = ...,
    ) -> None: ...
    def __replace__(self, /, **changes: Any) -> Self: ...
    @classmethod
    def is_type_of(cls, obj: Any, _info: GraphQLResolveInfo[Any]) -> bool: ...
    @staticmethod
    def from_pydantic(
        instance: PredictiveModelDescription, extra: dict[str, Any] | None = None
    ) -> PredictiveModelDescriptionType: ...
    def to_pydantic(self, **kwargs: Any) -> PredictiveModelDescription: ...
    async def attribute_description(self, parent: PredictiveModelDescription) -> List[AttributeDescriptionType]: ...
    async def hyperparameters(self, parent: PredictiveModelDescription) -> List[HyperparameterType]: ...
    async def general_notes(self, parent: PredictiveModelDescription) -> List[GeneralNoteType]: ...
    async def eval_metric(self, parent: PredictiveModelDescription) -> str: ...
