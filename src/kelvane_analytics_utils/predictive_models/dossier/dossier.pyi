from typing import Any, ClassVar
from graphql import GraphQLResolveInfo
from strawberry.types.base import StrawberryObjectDefinition
from typing_extensions import Self
import ast
from datetime import date
from typing import Any, Dict, List, Optional, Union

import strawberry
from pydantic import Field

from kelvane_analytics_utils.predictive_models.dossier.census import SampleDescription, SampleDescriptionType
from kelvane_analytics_utils.utils.base_model import BaseModel

class AttachedImage(BaseModel):
    type: str
    filename: str
    image: Optional[bytes] = None

class AttachedImageType:
    __match_args__: ClassVar[tuple[()]]
    __strawberry_definition__: ClassVar[StrawberryObjectDefinition]
    def __replace__(self, /, **changes: Any) -> Self: ...
    @classmethod
    def is_type_of(cls, obj: Any, _info: GraphQLResolveInfo) -> bool: ...
    type: str
    filename: str
    def __init__(self, *, type: str, filename: str) -> None: ...
    @staticmethod
    def from_pydantic(instance: AttachedImage, extra: dict | None = None) -> AttachedImageType: ...
    def to_pydantic(self, **kwargs: object) -> AttachedImage: ...

class PredictiveModelDescription(BaseModel):
    predictive_model_name: Optional[str] = None
    predictive_model_created: Optional[date] = None
    sample_metadata: Optional[List[SampleDescription]] = None
    attribute_description: Optional[Dict[str, str]] = None
    hyperparameters: Optional[Dict[str, Any]] = None
    number_of_trainable_parameters: Optional[int] = None
    general_notes: Optional[Dict[str, str]] = None
    attached_images: Optional[List[AttachedImage]] = None
    def add_general_note(self, note: Union[Dict, str]) -> None: ...
    def remove_general_note(self, note_key: str) -> None: ...

class AttributeDescriptionType:
    __match_args__: ClassVar[tuple[()]]
    __strawberry_definition__: ClassVar[StrawberryObjectDefinition]
    def __replace__(self, /, **changes: Any) -> Self: ...
    attribute_name: str
    description: str
    def __init__(self, *, attribute_name: str, description: str) -> None: ...

class HyperparameterType:
    __match_args__: ClassVar[tuple[()]]
    __strawberry_definition__: ClassVar[StrawberryObjectDefinition]
    def __replace__(self, /, **changes: Any) -> Self: ...
    name: str
    value: str
    def __init__(self, *, name: str, value: str) -> None: ...

class GeneralNoteType:
    __match_args__: ClassVar[tuple[()]]
    __strawberry_definition__: ClassVar[StrawberryObjectDefinition]
    def __replace__(self, /, **changes: Any) -> Self: ...
    title: str
    content: str
    def __init__(self, *, title: str, content: str) -> None: ...

class PredictiveModelDescriptionType:
    __match_args__: ClassVar[tuple[()]]
    __strawberry_definition__: ClassVar[StrawberryObjectDefinition]
    def __replace__(self, /, **changes: Any) -> Self: ...
    @classmethod
    def is_type_of(cls, obj: Any, _info: GraphQLResolveInfo) -> bool: ...
    predictive_model_name: Optional[str]
    predictive_model_created: Optional[date]
    number_of_trainable_parameters: Optional[int]
    attached_images: Optional[List[AttachedImageType]]
    sample_metadata: Optional[List[SampleDescriptionType]]
    async def attribute_description(self, parent: PredictiveModelDescription) -> List[AttributeDescriptionType]: ...
    async def hyperparameters(self, parent: PredictiveModelDescription) -> List[HyperparameterType]: ...
    async def general_notes(self, parent: PredictiveModelDescription) -> List[GeneralNoteType]: ...
    async def eval_metric(self, parent: PredictiveModelDescription) -> str: ...
    def __init__(
        self,
        *,
        predictive_model_name: Optional[str] = ...,
        predictive_model_created: Optional[date] = ...,
        number_of_trainable_parameters: Optional[int] = ...,
        attached_images: Optional[List[AttachedImageType]] = ...,
        sample_metadata: Optional[List[SampleDescriptionType]] = ...,
    ) -> None: ...
    @staticmethod
    def from_pydantic(
        instance: PredictiveModelDescription, extra: dict | None = None
    ) -> PredictiveModelDescriptionType: ...
    def to_pydantic(self, **kwargs: object) -> PredictiveModelDescription: ...
