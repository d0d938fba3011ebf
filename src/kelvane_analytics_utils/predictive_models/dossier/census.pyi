"""Descriptions of the samples a model was developed on.

A `SampleDescription` says which kind of sample it is (training, validation,
test, out-of-time, cross-validation), the period it covers, how many
observations it holds and how they split over the classes of the target label
(`ClassFrequency`). A model's description (`PredictiveModelDescription`) keeps
a list of them.

Example:
    >>> from kelvane_analytics_utils.predictive_models.dossier.census import SampleDescription
    >>> sample = SampleDescription.model_validate({
    ...     "sample_type": "TRAIN", "first_date": "2024-01-01", "last_date": "2024-06-30",
    ...     "number_of_observations": 1000,
    ...     "label_class_frequency": [{"label_class": 0, "number_of_observations": 900},
    ...                               {"label_class": 1, "number_of_observations": 100}]})
    >>> sample.sample_type, sample.first_date
    (<SampleType.TRAIN: 'TRAIN'>, datetime.date(2024, 1, 1))
"""

from __future__ import annotations

from datetime import date
from typing import Any, ClassVar, List, Optional

from graphql import GraphQLResolveInfo
from strawberry.types.base import StrawberryObjectDefinition
from typing_extensions import Self

from kelvane_analytics_utils.predictive_models.yardstick.tally import SampleType
from kelvane_analytics_utils.utils.base_model import BaseModel

class ClassFrequency(BaseModel):
    """How many observations of a sample carry one class of the target label.

    Attributes:
        label_class: The class, of any type (a number, a text, a boolean).
        number_of_observations: The number of observations of that class.
    """

    label_class: Any
    number_of_observations: Optional[int] = None

class ClassFrequencyType:
    """GraphQL view of `ClassFrequency`; the class is always shown as a string."""

    number_of_observations: Optional[int]
    __match_args__: ClassVar[tuple[()]]
    __strawberry_definition__: ClassVar[StrawberryObjectDefinition]
    __hash__: ClassVar[None] = None  # type: ignore[assignment]  # compared by value, so unhashable
    def __init__(self, *, number_of_observations: Optional[int] = ...) -> None: ...
    def __replace__(self, /, **changes: Any) -> Self: ...
    @classmethod
    def is_type_of(cls, obj: Any, _info: GraphQLResolveInfo[Any]) -> bool:
        """Tell GraphQL whether `obj` is shown by this type: an instance of the view or of its record."""
    @staticmethod
    def from_pydantic(instance: ClassFrequency, extra: dict[str, Any] | None = None) -> ClassFrequencyType:
        """Build the view of a record; `extra` gives or overrides field values."""
    def to_pydantic(self, **kwargs: Any) -> ClassFrequency:
        """Build the record from this view; `kwargs` give or override field values."""
    def label_class(self, parent: ClassFrequency) -> str:
        """Resolve the field ``label_class``: the text form of the record's class (1 gives ``"1"``)."""

class SampleDescription(BaseModel):
    """Descriptive facts about one sample used to develop the model; every field is optional.

    Attributes:
        sample_type: The kind of sample (a `SampleType` member or its name).
        first_date: The first day the sample covers.
        last_date: The last day the sample covers.
        number_of_observations: The observations in the sample.
        label_class_frequency: The observations per class of the target label.

    Raises:
        pydantic.ValidationError: For a `sample_type` that is no member name of
            `SampleType`, or a value that is not a date where one is expected.
    """

    sample_type: Optional[SampleType] = None
    first_date: Optional[date] = None
    last_date: Optional[date] = None
    number_of_observations: Optional[int] = None
    label_class_frequency: Optional[List[ClassFrequency]] = None

class SampleDescriptionType:
    """GraphQL view of `SampleDescription`, its class frequencies shown by `ClassFrequencyType`."""

    sample_type: Optional[SampleType]
    first_date: Optional[date]
    last_date: Optional[date]
    number_of_observations: Optional[int]
    label_class_frequency: Optional[List[ClassFrequencyType]]
    __match_args__: ClassVar[tuple[()]]
    __strawberry_definition__: ClassVar[StrawberryObjectDefinition]
    __hash__: ClassVar[None] = None  # type: ignore[assignment]  # compared by value, so unhashable
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
    def is_type_of(cls, obj: Any, _info: GraphQLResolveInfo[Any]) -> bool:
        """Tell GraphQL whether `obj` is shown by this type: an instance of the view or of its record."""
    @staticmethod
    def from_pydantic(instance: SampleDescription, extra: dict[str, Any] | None = None) -> SampleDescriptionType:
        """Build the view of a record; `extra` gives or overrides field values."""
    def to_pydantic(self, **kwargs: Any) -> SampleDescription:
        """Build the record from this view; `kwargs` give or override field values."""
