"""Attribute transformation records.

A transformation names a raw attribute, the formula the model applies to it
(free text, never parsed here) and, when the formula makes a new attribute, the
name of that attribute. `AttributePreprocessing` keeps a list of them
(`transformations`) and registers new ones from mappings with `add_reshaping`.

Example:
    >>> from kelvane_analytics_utils.predictive_models.preparation.reshaping import AttributeTransformation
    >>> AttributeTransformation(attribute="income", transformation="log(income + 1)",
    ...                         transformed_attribute_name="log_income").model_dump()
    {'attribute': 'income', 'transformation': 'log(income + 1)', 'transformed_attribute_name': 'log_income'}
"""

from __future__ import annotations

from typing import Any, ClassVar, Optional

from graphql import GraphQLResolveInfo
from strawberry.types.base import StrawberryObjectDefinition
from typing_extensions import Self

from kelvane_analytics_utils.utils.base_model import BaseModel

class AttributeTransformation(BaseModel):
    """One transformation of a raw attribute.

    Attributes:
        attribute: The raw attribute the transformation reads.
        transformation: The formula, as text (for example ``log(income + 1)``).
        transformed_attribute_name: The attribute the transformation creates;
            ``None``, or the name of `attribute` itself, when it rewrites the
            attribute in place.

    Raises:
        pydantic.ValidationError: When `attribute` or `transformation` is
            missing or not a string.
    """

    attribute: str
    transformation: str
    transformed_attribute_name: Optional[str] = None

class AttributeTransformationType:
    """GraphQL view of `AttributeTransformation`, with the same three fields."""

    attribute: str
    transformation: str
    transformed_attribute_name: Optional[str]
    __match_args__: ClassVar[tuple[()]]
    __strawberry_definition__: ClassVar[StrawberryObjectDefinition]
    __hash__: ClassVar[None] = None  # type: ignore[assignment]  # compared by value, so unhashable
    def __init__(self, *, attribute: str, transformation: str, transformed_attribute_name: Optional[str] = ...) -> None: ...
    def __replace__(self, /, **changes: Any) -> Self: ...
    @classmethod
    def is_type_of(cls, obj: Any, _info: GraphQLResolveInfo[Any]) -> bool:
        """Tell GraphQL whether `obj` is shown by this type: an instance of the view or of its record."""
    @staticmethod
    def from_pydantic(instance: AttributeTransformation, extra: dict[str, Any] | None = None) -> AttributeTransformationType:
        """Build the view of a record; `extra` gives or overrides field values."""
    def to_pydantic(self, **kwargs: Any) -> AttributeTransformation:
        """Build the record from this view; `kwargs` give or override field values."""
