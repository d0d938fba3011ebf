from __future__ import annotations

from typing import Any, ClassVar, Optional

from graphql import GraphQLResolveInfo
from strawberry.types.base import StrawberryObjectDefinition
from typing_extensions import Self

from kelvane_analytics_utils.utils.base_model import BaseModel

class AttributeTransformation(BaseModel):
    attribute: str
    transformation: str
    transformed_attribute_name: Optional[str] = None

class AttributeTransformationType:
    attribute: str
    transformation: str
    transformed_attribute_name: Optional[str]
    __match_args__: ClassVar[tuple[()]]
    __strawberry_definition__: ClassVar[StrawberryObjectDefinition]
    def __init__(self, *, attribute: str, transformation: str, transformed_attribute_name: Optional[str] = ...) -> None: ...
    def __replace__(self, /, **changes: Any) -> Self: ...
    @classmethod
    def is_type_of(cls, obj: Any, _info: GraphQLResolveInfo[Any]) -> bool: ...
    @staticmethod
    def from_pydantic(instance: AttributeTransformation, extra: dict[str, Any] | None = None) -> AttributeTransformationType: ...
    def to_pydantic(self, **kwargs: Any) -> AttributeTransformation: ...
