"""The preprocessing of a model: transformations, binnings and dummy encodings,
and their application to raw values.

`AttributePreprocessing` is the ``preparation`` field of a bundle. It holds the
three kinds of step, builds binnings from a plain description
(`AttributePreprocessing.add_discretisation`), answers which attributes the
steps read and create, and turns raw values into the model's inputs:
`AttributePreprocessing.apply_discretisation` and
`AttributePreprocessing.apply_dummy_encoding` one attribute at a time,
`AttributePreprocessing.apply_preprocessing` a whole record. Log events go
through the module's structlog ``logger``.

Example:
    >>> import math
    >>> from kelvane_analytics_utils.predictive_models.preparation.preparation import AttributePreprocessing
    >>> prep = AttributePreprocessing.model_validate({
    ...     "binning": AttributePreprocessing.add_discretisation({
    ...         "age": {"dtype": "NUMERICAL", "bins": [-math.inf, 30, math.inf], "bin_vals": [0.2, 0.7],
    ...                 "binned_attribute_name": "age_bin"}}),
    ...     "dummy_encoding": [{"attribute": "colour", "encoding": [
    ...         {"value": "red", "encoded_feature_name": "colour_red"},
    ...         {"value": "blue", "encoded_feature_name": "colour_blue", "use_for_undefined": True}]}]})
    >>> prep.apply_preprocessing({"age": 41.0, "colour": "red"})
    {'age_bin': 0.7, 'colour_red': 1, 'colour_blue': 0}
"""

from __future__ import annotations

from typing import Any, ClassVar, Dict, List, Optional, Union

from graphql import GraphQLResolveInfo
from strawberry.types.base import StrawberryObjectDefinition
from typing_extensions import Self

from kelvane_analytics_utils.predictive_models.preparation.discretisation import (
    AttributeBinning,
    AttributeBinningType,
    AttributeDataType,
    PredictiveModelBinName,
)
from kelvane_analytics_utils.predictive_models.preparation.reshaping import (
    AttributeTransformation,
    AttributeTransformationType,
)
from kelvane_analytics_utils.utils.base_model import BaseModel

logger: Any

class PredictiveModelDummyEncodingSingleValue(BaseModel):
    """One value of an encoded attribute and the 0/1 feature that stands for it.

    Attributes:
        value: The attribute value (a text or a number; compared with ``==``, so 1
            matches 1.0 but not ``"1"``).
        encoded_feature_name: The name of the feature.
        use_for_undefined: Whether this feature is set to 1 when the value matches
            no entry (the last entry so marked wins).
    """

    value: Union[str, int, float]
    encoded_feature_name: str
    use_for_undefined: bool = False

class PredictiveModelDummyEncoding(BaseModel):
    """The dummy (one-hot) encoding of one attribute.

    Attributes:
        attribute: The encoded attribute.
        encoding: Its values and features, in the order of the result of
            `AttributePreprocessing.apply_dummy_encoding`.

    Raises:
        pydantic.ValidationError: When a feature has the name of the encoded
            attribute (see `check_created_attribute_naming`).
    """

    attribute: str
    encoding: List[PredictiveModelDummyEncodingSingleValue]
    def check_created_attribute_naming(self) -> PredictiveModelDummyEncoding:
        """Refuse a feature named like the encoded attribute (an after-validator,
        run on every construction).

        Returns:
            The record itself.

        Raises:
            ValueError: Naming the attribute; the caller of the construction receives
                it as a ``pydantic.ValidationError``.
        """

class AttributePreprocessing(BaseModel):
    """The steps that turn a model's raw attributes into its inputs.

    Lookups by attribute take the first entry of that attribute in list order; a
    later entry of the same attribute is never found by them.

    Attributes:
        transformations: Transformations, in the order they were added.
        binning: Binnings, one per binned attribute.
        dummy_encoding: Dummy encodings, one per encoded attribute.
    """

    transformations: List[AttributeTransformation] = []
    binning: List[AttributeBinning] = []
    dummy_encoding: List[PredictiveModelDummyEncoding] = []
    def get_transformation_formula(self, attribute: str) -> str:
        """Return the text that stands for `attribute` in the model's formula.

        Returns:
            The first transformation of `attribute` in parentheses (``(log(x))``), or
            `attribute` itself when it has none.

        Raises:
            TypeError: When `attribute` is not exactly a ``str``.
        """
    def add_reshaping(self, transformations: List[Dict[str, str]]) -> None:
        """Append transformations built from mappings to `transformations`.

        Args:
            transformations: Mappings with the keys ``attribute``,
                ``transformation`` and optionally ``transformed_attribute_name``;
                nothing is replaced or de-duplicated.

        Raises:
            TypeError: When `transformations` is not exactly a ``list``.
            pydantic.ValidationError: For a mapping that is not a valid
                transformation (those before it stay appended).
        """
    @classmethod
    def add_discretisation(cls, attributes_binning: Dict[str, Any]) -> List[AttributeBinning]:
        """Build binnings from a plain description (nothing is stored).

        `attributes_binning` maps each attribute to a mapping with the keys:

        - ``"dtype"``: ``"NUMERICAL"`` or ``"CATEGORICAL"`` (or the member);
        - ``"bins"`` (required): for a numerical attribute the bin edges, one more
          than the bins; for a categorical one a list of category lists, one per bin;
        - ``"bin_vals"``, ``"bin_frequencies"``, ``"bin_target_rates"``: lists by bin
          position (each bin's field is ``None`` without them);
        - ``"null_val"`` (0.0 without it), ``"null_frequency"``,
          ``"null_target_rate"``: the null bin's fields;
        - ``"default"``: the default bin's value; with it the default bin is named
          ``0_defined_default``, without it ``0_system_default`` with value 0.0;
        - ``"binned_attribute_name"``.

        Each binning holds the regular bins (ids 2, 3, ..., named from their bounds
        or categories), then the null bin (id 1), then the default bin (id 0).

        Returns:
            One `AttributeBinning` per attribute, in the mapping's order.

        Raises:
            TypeError: When `attributes_binning` is not exactly a ``dict``.
            KeyError: When a description has no ``"bins"``.
            pydantic.ValidationError: For a description that makes invalid bins.

        Example:
            >>> from kelvane_analytics_utils.predictive_models.preparation.preparation import AttributePreprocessing
            >>> [region] = AttributePreprocessing.add_discretisation(
            ...     {"region": {"dtype": "CATEGORICAL", "bins": [["north", "east"], ["south"]],
            ...                 "bin_vals": [1.0, 2.0], "default": 1.5}})
            >>> [(b.name, b.value) for b in region.discretisation]
            [('2_{north,east}', 1.0), ('3_{south}', 2.0), ('1_null', 0.0), ('0_defined_default', 1.5)]
        """
    def get_discretisation(self, attribute: str) -> Optional[AttributeBinning]:
        """Return the first binning of `attribute`, or ``None``.

        Raises:
            TypeError: When `attribute` is not exactly a ``str``.
        """
    def apply_discretisation(self, attribute: str, attribute_value: Union[str, int, float]) -> Optional[float]:
        """Return the binned value of one raw value of `attribute`.

        The first binning of `attribute` is used, through
        `AttributeBinning.bin_numeric_attribute` or
        `AttributeBinning.bin_categoric_attribute` by its data type (which log a hit
        of a default bin).

        Args:
            attribute: The attribute.
            attribute_value: Its raw value (``None`` for a missing one).

        Returns:
            The value of the bin, or ``None`` when the attribute has no binning (use
            `discretisation_exists` to tell the two apart), or its binning gives none.

        Raises:
            TypeError: When `attribute` is not exactly a ``str``.
            Exception: Any failure of the lookup is raised again as the same class
                with the message prefixed by ``Binning attribute <attribute>: ``, the
                original as its cause (a categorical value that is not a string, for
                example, raises ``TypeError``).
        """
    def apply_discretisation_batch(
        self, attribute: str, attribute_values: List[Any]
    ) -> Optional[List[Optional[float]]]:
        """Return the binned values of a list of raw values of `attribute`.

        As `apply_discretisation` for each value, in order, without the check that
        each bin value is a float.

        Args:
            attribute: The attribute.
            attribute_values: Its raw values.

        Returns:
            A new list of the same length, or ``None`` when the attribute has no
            binning.

        Raises:
            TypeError: When `attribute` is not exactly a ``str`` or
                `attribute_values` not exactly a ``list``.
            Exception: The first failing value's error, prefixed as in
                `apply_discretisation`; no partial list is returned.
        """
    def discretisation_exists(self, attribute: str) -> bool:
        """Whether `binning` holds a binning of `attribute`.

        Raises:
            TypeError: When `attribute` is not exactly a ``str``.
        """
    def get_all_transformation_attributes(self) -> List[str]:
        """The attribute of every transformation, in order (duplicates kept)."""
    def get_attributes_created_in_transformations(self) -> List[str]:
        """The attributes the transformations create: every ``transformed_attribute_name``
        that is set and differs from its transformation's attribute.
        """
    def get_all_binning_attributes(self) -> List[str]:
        """The attribute of every binning, in order (duplicates kept)."""
    def get_attributes_created_in_binning(self) -> List[str]:
        """The attributes the binnings create: every ``binned_attribute_name`` that is
        set and differs from its binning's attribute.
        """
    def get_all_dummy_enc_attributes(self) -> List[str]:
        """The names of all dummy features, encoding by encoding, in order (not the
        names of the encoded attributes).
        """
    def apply_dummy_encoding(
        self, attribute: str, attribute_value: Union[str, int, float]
    ) -> Optional[Dict[str, int]]:
        """Return the 0/1 features of one value of `attribute`.

        The first dummy encoding of `attribute` is used. Every entry whose value
        equals `attribute_value` is set to 1, every other to 0. When none matches, the
        entry marked ``use_for_undefined`` is set to 1 and an ``info`` event is
        logged; without such an entry every feature stays 0 and a ``warning`` is
        logged.

        Args:
            attribute: The encoded attribute.
            attribute_value: Its raw value.

        Returns:
            The features by name, in the encoding's order (one key per distinct
            name), or ``None`` when the attribute has no encoding (a ``warning`` is
            logged).

        Raises:
            TypeError: When `attribute` is not exactly a ``str``.
        """
    def apply_preprocessing(self, values: Dict[str, Any]) -> Dict[str, Any]:
        """Prepare one scoring record in one call.

        The result holds, first, for each binned attribute (in the order of
        `binning`, by its first binning) the value that `apply_discretisation` gives
        for ``values.get(attribute)``, under the binning's ``binned_attribute_name``
        when it is set, else under the attribute; then, for each encoded attribute (in
        the order of `dummy_encoding`, by its first encoding) the features of
        `apply_dummy_encoding`. It logs and raises as that loop over the
        per-attribute methods would, at the same attribute, and reads the record
        afresh on every call. Transformations are not applied.

        Args:
            values: The raw values by attribute name; neither it nor the record is
                changed.

        Returns:
            A new mapping of the model's prepared inputs.

        Raises:
            TypeError: When `values` is not exactly a ``dict``.
            Exception: The errors of `apply_discretisation` and
                `apply_dummy_encoding`.
        """

class AttributePreprocessingType:
    """GraphQL view of `AttributePreprocessing`: its binnings and transformations
    (the dummy encodings are not shown).
    """

    binning: List[AttributeBinningType]
    transformations: List[AttributeTransformationType]
    __match_args__: ClassVar[tuple[()]]
    __strawberry_definition__: ClassVar[StrawberryObjectDefinition]
    __hash__: ClassVar[None] = None  # type: ignore[assignment]  # compared by value, so unhashable
    def __init__(self, *, transformations: List[AttributeTransformationType] = ..., binning: List[AttributeBinningType] = ...) -> None: ...
    def __replace__(self, /, **changes: Any) -> Self: ...
    @classmethod
    def is_type_of(cls, obj: Any, _info: GraphQLResolveInfo[Any]) -> bool:
        """Tell GraphQL whether `obj` is shown by this type: an instance of the view or of its record."""
    @staticmethod
    def from_pydantic(instance: AttributePreprocessing, extra: dict[str, Any] | None = None) -> AttributePreprocessingType:
        """Build the view of a record; `extra` gives or overrides field values."""
    def to_pydantic(self, **kwargs: Any) -> AttributePreprocessing:
        """Build the record from this view; `kwargs` give or override field values."""
