from typing import Optional

from kelvane_analytics_utils.utils.base_model import BaseModel

class AttributeTransformation(BaseModel):
    attribute: str
    transformation: str
    transformed_attribute_name: Optional[str] = None

class AttributeTransformationType:
    attribute: str
    transformation: str
    transformed_attribute_name: Optional[str]
    @classmethod
    def from_pydantic(cls, instance: AttributeTransformation, extra: dict | None = None) -> AttributeTransformationType: ...
    def to_pydantic(self, **kwargs: object) -> AttributeTransformation: ...
