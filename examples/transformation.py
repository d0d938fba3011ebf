"""Builds transformation records, validates one from a mapping, dumps them and
queries them through a GraphQL schema."""
import json

import strawberry

from kelvane_analytics_utils.predictive_models.preparation.reshaping import (
    AttributeTransformation,
    AttributeTransformationType,
)
from kelvane_analytics_utils.utils.dump import safe_dumps_json, valid_dumps_yaml

log_income = AttributeTransformation(attribute="income", transformation="log(income + 1)",
                                     transformed_attribute_name="log_income")
age = AttributeTransformation.model_validate({"attribute": "age", "transformation": "min(age, 90)"})

print("YAML (one document per record, default-valued fields left out):")
print(valid_dumps_yaml([log_income, age]))
print("JSON:")
print(safe_dumps_json({"transformations": [log_income, age]}))


@strawberry.type
class Query:
    @strawberry.field
    def transformations(self) -> list[AttributeTransformationType]:
        return [AttributeTransformationType.from_pydantic(r) for r in (log_income, age)]


schema = strawberry.Schema(query=Query)
result = schema.execute_sync("{ transformations { attribute transformation transformedAttributeName } }")
assert result.errors is None, result.errors
print("GraphQL:")
print(json.dumps(result.data, indent=2))
