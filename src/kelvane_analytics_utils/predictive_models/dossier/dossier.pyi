"""Descriptions of how a model was developed, and their GraphQL views.

`PredictiveModelDescription` is the ``description`` field of a bundle: the
model's name and creation date, its development samples, a text per attribute,
the hyperparameters, the number of trainable parameters, free-text general
notes and attached images. Notes given as plain text are numbered
automatically (``note_1``, ``note_2``, ...).

Example:
    >>> from kelvane_analytics_utils.predictive_models.dossier.dossier import PredictiveModelDescription
    >>> description = PredictiveModelDescription(predictive_model_name="churn")
    >>> description.add_general_note("Trained on 2024 data.")
    >>> description.add_general_note({"owner": "risk team"})
    >>> description.general_notes
    {'note_1': 'Trained on 2024 data.', 'owner': 'risk team'}
"""

from __future__ import annotations

from datetime import date
from typing import Any, ClassVar, Dict, List, Optional, Union

from graphql import GraphQLResolveInfo
from strawberry.types.base import StrawberryObjectDefinition
from typing_extensions import Self

from kelvane_analytics_utils.predictive_models.dossier.census import SampleDescription, SampleDescriptionType
from kelvane_analytics_utils.utils.base_model import BaseModel

class AttachedImage(BaseModel):
    """An image attached to a description (a chart, a table).

    The bytes stay in memory only: dumps, and so the bundle's YAML document, carry
    the `type` and the `filename`; the bytes travel as a file of that name in the
    bundle's file set and are put back when a bundle is loaded.

    Attributes:
        type: What kind of image it is, as free text.
        filename: The image's file name in the bundle's file set.
        image: The image bytes, or ``None``; left out of every dump.
    """

    type: str
    filename: str
    image: Optional[bytes] = None

class AttachedImageType:
    """GraphQL view of `AttachedImage`: its `type` and `filename` (never the bytes)."""

    type: str
    filename: str
    __match_args__: ClassVar[tuple[()]]
    __strawberry_definition__: ClassVar[StrawberryObjectDefinition]
    __hash__: ClassVar[None] = None  # type: ignore[assignment]  # compared by value, so unhashable
    def __init__(self, *, type: str, filename: str) -> None: ...
    def __replace__(self, /, **changes: Any) -> Self: ...
    @classmethod
    def is_type_of(cls, obj: Any, _info: GraphQLResolveInfo[Any]) -> bool:
        """Tell GraphQL whether `obj` is shown by this type: an instance of the view or of its record."""
    @staticmethod
    def from_pydantic(instance: AttachedImage, extra: dict[str, Any] | None = None) -> AttachedImageType:
        """Build the view of a record; `extra` gives or overrides field values."""
    def to_pydantic(self, **kwargs: Any) -> AttachedImage:
        """Build the record from this view; `kwargs` give or override field values."""

class PredictiveModelDescription(BaseModel):
    """What is known about a model's development; every field is optional.

    Attributes:
        predictive_model_name: The model's name (a bundle loaded without one gets
            its ``directory_name``).
        predictive_model_created: The day the model was made.
        sample_metadata: The samples it was developed on (`SampleDescription`).
        attribute_description: A text per attribute name.
        hyperparameters: Hyperparameter values by name; ``"eval_metric"`` is shown
            by the GraphQL field ``evalMetric``.
        number_of_trainable_parameters: The size of the model.
        general_notes: Free-text notes by key, in the order they were added.
        attached_images: Images attached to the description.
    """

    predictive_model_name: Optional[str] = None
    predictive_model_created: Optional[date] = None
    sample_metadata: Optional[List[SampleDescription]] = None
    attribute_description: Optional[Dict[str, str]] = None
    hyperparameters: Optional[Dict[str, Any]] = None
    number_of_trainable_parameters: Optional[int] = None
    general_notes: Optional[Dict[str, str]] = None
    attached_images: Optional[List[AttachedImage]] = None
    def add_general_note(self, note: Union[Dict[Any, Any], str]) -> None:
        """Add one or more general notes.

        `general_notes` becomes an empty mapping first when it is ``None`` (whatever
        `note` is). A text is stored under the next generated key: ``"note_"`` and one
        more than the highest number of the existing keys that start with ``note``
        (keys such as ``notes`` that carry no number count as 0; freed numbers below
        the highest are not reused). A mapping adds each of its entries in order; an
        entry whose key exists already is not added, and the line ``Note <key> already
        exists. Note not added.`` is printed instead. Any other value adds nothing.

        Args:
            note: The note text, or a mapping of notes by key.

        Example:
            >>> from kelvane_analytics_utils.predictive_models.dossier.dossier import PredictiveModelDescription
            >>> d = PredictiveModelDescription(general_notes={"note_1": "a", "note_7": "b"})
            >>> d.add_general_note("c")
            >>> list(d.general_notes)
            ['note_1', 'note_7', 'note_8']
            >>> d.add_general_note({"note_1": "z"})
            Note note_1 already exists. Note not added.
        """
    def remove_general_note(self, note_key: str) -> None:
        """Remove the general note stored under `note_key`, if there is one.

        Removing the last note leaves an empty mapping. A missing key, or a
        description without notes, is not an error.

        Raises:
            TypeError: When `note_key` is not exactly a ``str``.
        """

class AttributeDescriptionType:
    """GraphQL object of one attribute's description: `attribute_name` and its `description`."""

    attribute_name: str
    description: str
    __match_args__: ClassVar[tuple[()]]
    __strawberry_definition__: ClassVar[StrawberryObjectDefinition]
    __hash__: ClassVar[None] = None  # type: ignore[assignment]  # compared by value, so unhashable
    def __init__(self, *, attribute_name: str, description: str) -> None: ...
    def __replace__(self, /, **changes: Any) -> Self: ...

class HyperparameterType:
    """GraphQL object of one hyperparameter: its `name` and its `value` as text."""

    name: str
    value: str
    __match_args__: ClassVar[tuple[()]]
    __strawberry_definition__: ClassVar[StrawberryObjectDefinition]
    __hash__: ClassVar[None] = None  # type: ignore[assignment]  # compared by value, so unhashable
    def __init__(self, *, name: str, value: str) -> None: ...
    def __replace__(self, /, **changes: Any) -> Self: ...

class GeneralNoteType:
    """GraphQL object of one general note: its key as `title` and its text as `content`."""

    title: str
    content: str
    __match_args__: ClassVar[tuple[()]]
    __strawberry_definition__: ClassVar[StrawberryObjectDefinition]
    __hash__: ClassVar[None] = None  # type: ignore[assignment]  # compared by value, so unhashable
    def __init__(self, *, title: str, content: str) -> None: ...
    def __replace__(self, /, **changes: Any) -> Self: ...

class PredictiveModelDescriptionType:
    """GraphQL view of `PredictiveModelDescription`.

    The name, creation date, number of trainable parameters, images and samples
    are shown as they are; the three mappings (attribute descriptions,
    hyperparameters, general notes) as lists of name/value objects, in the
    mappings' order; and the evaluation metric of the training as ``evalMetric``.
    """

    predictive_model_name: Optional[str]
    predictive_model_created: Optional[date]
    number_of_trainable_parameters: Optional[int]
    attached_images: Optional[List[AttachedImageType]]
    sample_metadata: Optional[List[SampleDescriptionType]]
    __match_args__: ClassVar[tuple[()]]
    __strawberry_definition__: ClassVar[StrawberryObjectDefinition]
    __hash__: ClassVar[None] = None  # type: ignore[assignment]  # compared by value, so unhashable
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
    def is_type_of(cls, obj: Any, _info: GraphQLResolveInfo[Any]) -> bool:
        """Tell GraphQL whether `obj` is shown by this type: an instance of the view or of its record."""
    @staticmethod
    def from_pydantic(
        instance: PredictiveModelDescription, extra: dict[str, Any] | None = None
    ) -> PredictiveModelDescriptionType:
        """Build the view of a record; `extra` gives or overrides field values."""
    def to_pydantic(self, **kwargs: Any) -> PredictiveModelDescription:
        """Build the record from this view; `kwargs` give or override field values."""
    async def attribute_description(self, parent: PredictiveModelDescription) -> List[AttributeDescriptionType]:
        """Resolve ``attributeDescription``: one object per entry of the record's
        `attribute_description` (an empty list when it is ``None``).
        """
    async def hyperparameters(self, parent: PredictiveModelDescription) -> List[HyperparameterType]:
        """Resolve ``hyperparameters``: one object per hyperparameter, its value as
        text (100 gives ``"100"``); an empty list when there are none.
        """
    async def general_notes(self, parent: PredictiveModelDescription) -> List[GeneralNoteType]:
        """Resolve ``generalNotes``: one object per note, in the order the notes were
        added; an empty list when there are none.
        """
    async def eval_metric(self, parent: PredictiveModelDescription) -> str:
        """Resolve ``evalMetric``: the metric the model was trained against.

        Read from the hyperparameter ``"eval_metric"``: ``"unknown"`` when there is
        none; the text of a Python literal is read (``"'auc'"`` gives ``auc``, and the
        text of a list its last item, so ``"['auc', 'logloss']"`` gives ``logloss``);
        any other text (``auc``) is shown as it is.

        Raises:
            TypeError: When the metric read is not a string (a number, a list held
                as such in the hyperparameters).
            IndexError: When it is the text of an empty list.
        """
