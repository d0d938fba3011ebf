"""Builds transformation records, validates one from a mapping, dumps them and
queries them through a GraphQL schema."""
import json

import strawberry

from kelvane_analytics_utils.predictive_models.preparation.reshaping import (
    AttributeTransformation,
    AttributeTransformationType,
)

log_income = AttributeTransformation(attribute="income", transformation="log(income + 1)",
                                     transformed_attribute_name="log_income")
age = AttributeTransformation.model_validate({"attribute": "age", "transformation": "min(age, 90)"})

print("records:")
for record in (log_income, age):
    print(" ", json.dumps(record.model_dump()))


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
