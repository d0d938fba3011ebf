"""The attribute transformation record and its GraphQL view."""
import pydantic
import pytest
import strawberry

from kelvane_analytics_utils.predictive_models.preparation.reshaping import (
    AttributeTransformation,
    AttributeTransformationType,
)


def test_declaration():
    assert AttributeTransformation.__annotations__ == {
        "attribute": "str",
        "transformation": "str",
        "transformed_attribute_name": "Optional[str]",
    }
    assert AttributeTransformation.__doc__ is None or "transformation" not in AttributeTransformation.__doc__


def test_dump_keeps_declared_order_and_default():
    record = AttributeTransformation(attribute="x", transformation="log(x)")
    assert record.model_dump() == {"attribute": "x", "transformation": "log(x)", "transformed_attribute_name": None}
    assert list(record.model_dump()) == ["attribute", "transformation", "transformed_attribute_name"]


def test_built_from_a_mapping():
    data = {"attribute": "x", "transformation": "x * 2", "transformed_attribute_name": "x2"}
    assert AttributeTransformation(**data) == AttributeTransformation.model_validate(data)


@pytest.mark.parametrize("missing", ["attribute", "transformation"])
def test_required_fields(missing):
    data = {"attribute": "x", "transformation": "x * 2"}
    del data[missing]
    with pytest.raises(pydantic.ValidationError) as err:
        AttributeTransformation(**data)
    assert err.value.errors()[0]["loc"] == (missing,)


def test_view_through_a_schema():
    @strawberry.type
    class Query:
        @strawberry.field
        def transformations(self) -> list[AttributeTransformationType]:
            return [
                AttributeTransformationType.from_pydantic(AttributeTransformation(attribute="a", transformation="b")),
                AttributeTransformationType.from_pydantic(
                    AttributeTransformation(attribute="c", transformation="d", transformed_attribute_name="e")
                ),
            ]

    schema = strawberry.Schema(query=Query)
    printed = str(schema)
    assert "attribute: String!" in printed
    assert "transformation: String!" in printed
    assert "transformedAttributeName: String\n" in printed
    result = schema.execute_sync("{ transformations { attribute transformation transformedAttributeName } }")
    assert result.errors is None
    assert result.data["transformations"] == [
        {"attribute": "a", "transformation": "b", "transformedAttributeName": None},
        {"attribute": "c", "transformation": "d", "transformedAttributeName": "e"},
    ]
