"""The bundle: an external scoring model with everything needed to run it.

`ExtendedPredictiveModel` holds a model built elsewhere (its parsed document
in ``external_model``) with its input `attributes`, their preparation, a
description, performance figures and monitoring binnings. It checks on every
construction that the preparation reads only attributes the model knows,
converts to and from its file set (`ExtendedPredictiveModel.get_content`,
`ExtendedPredictiveModel.parse_from_content`), reads facts out of the external
model (coefficients, intercept, feature names, trees, best iteration and
score), and is shown through GraphQL by `ExtendedPredictiveModelType`, which
adds the formula of a logistic regression.

Example:
    >>> from kelvane_analytics_utils.predictive_models.scorebundle import ExtendedPredictiveModel
    >>> bundle = ExtendedPredictiveModel(
    ...     attributes=["age", "income"], predictive_model_type="LOGISTIC_REGRESSION",
    ...     external_model={"feature_names": ["age", "income"], "intercept": -2.5,
    ...                     "model": {"coef_": [[0.0312, -0.0125]]}})
    >>> bundle.get_coefficient("income"), bundle.get_external_model_category()
    (-0.0125, <PredictiveModelCategory.STATIC: 'STATIC'>)
"""

from __future__ import annotations

import json
from abc import ABC, abstractmethod
from enum import Enum
from io import BytesIO, StringIO
from typing import Any, ClassVar, Dict, List, Optional

import strawberry
from graphql import GraphQLResolveInfo
from pydantic import Field, model_validator
from strawberry.types.base import StrawberryObjectDefinition
from typing_extensions import Self

from kelvane_analytics_utils.predictive_models.content import ExtendedPredictiveModelContent
from kelvane_analytics_utils.predictive_models.dossier.dossier import (
    PredictiveModelDescription,
    PredictiveModelDescriptionType,
)
from kelvane_analytics_utils.predictive_models.preparation.preparation import (
    AttributePreprocessing,
    AttributePreprocessingType,
)
from kelvane_analytics_utils.predictive_models.surveillance.surveillance import (
    PredictiveModelMonitoring,
    PredictiveModelMonitoringType,
)
from kelvane_analytics_utils.predictive_models.yardstick.yardstick import (
    PredictiveModelPerformance,
    PredictiveModelPerformanceType,
)
from kelvane_analytics_utils.utils.base_model import BaseModel
from kelvane_analytics_utils.utils.dump import safe_dumps_json, safe_loads_yaml, valid_dumps_yaml

class PredictiveModelType(str, Enum):
    """The kinds of external model; each value is the member's name.

    ``LOGISTIC_REGRESSION`` (the only kind with a GraphQL formula), ``PMML`` (the
    model is PMML text), ``XGB`` (an XGBoost JSON document, from which trees,
    features, best iteration and score are read), ``EXPERT_SCORE`` (feature names
    default to the bundle's attributes when loaded), ``RANDOM_FOREST`` and
    ``COX_PH_FITTER``.
    """

    __strawberry_definition__: ClassVar[Any]   # made by strawberry when a view uses the enum
    LOGISTIC_REGRESSION = "LOGISTIC_REGRESSION"
    PMML = "PMML"
    XGB = "XGB"
    EXPERT_SCORE = "EXPERT_SCORE"
    RANDOM_FOREST = "RANDOM_FOREST"
    COX_PH_FITTER = "COX_PH_FITTER"

class PredictiveModelCategory(str, Enum):
    """The time dimension of a model's output: ``STATIC`` (every kind but one),
    ``HORIZON`` (``COX_PH_FITTER``), ``NONE`` (no kind set).
    """

    __strawberry_definition__: ClassVar[Any]   # made by strawberry when a view uses the enum
    STATIC = "STATIC"
    HORIZON = "HORIZON"
    NONE = "NONE"

class AbstractExtendedPredictiveModel(BaseModel, ABC):
    """The fields and the behaviour common to every bundle (abstract: use
    `ExtendedPredictiveModel`).

    Attributes:
        attributes: The model's input attributes, as they enter the model.
        predictive_model_type: The kind of external model.
        target: The target variable.
        target_class: The target class.
        preparation: The transformations, binnings and dummy encodings.
        description: How the model was developed.
        performance: The performance on the development samples.
        monitoring: The monitoring binnings.

    Raises:
        pydantic.ValidationError: For fields of the wrong type, or a preparation
            that reads unknown attributes (see `preprocess_attributes`).
    """

    attributes: List[str] = ...
    predictive_model_type: Optional[PredictiveModelType] = None
    target: Optional[str] = None
    target_class: Optional[str] = None
    preparation: AttributePreprocessing = ...
    description: PredictiveModelDescription = ...
    performance: PredictiveModelPerformance = ...
    monitoring: PredictiveModelMonitoring = ...
    def preprocess_attributes(self) -> AbstractExtendedPredictiveModel:
        """Check the preparation against `attributes` (an after-validator, run on
        every construction and ``model_validate``).

        Transformations may read only declared attributes; binnings may read declared
        attributes and the attributes transformations create. Dummy encodings are
        not checked.

        Returns:
            The record itself.

        Raises:
            ValueError: ``Transformation defined for unknown attributes: {...}. Model
                attributes are {...}.``, or the same for a binning (checked second);
                the caller of the construction receives it as a
                ``pydantic.ValidationError``.
        """
    def get_content(self) -> ExtendedPredictiveModelContent:
        """Return the bundle's file set.

        The YAML document is the record written by
        `kelvane_analytics_utils.utils.dump.valid_dumps_yaml` (fields at their
        defaults, and image bytes, left out); the external model goes to the PMML
        slot for a ``PMML`` bundle and to the JSON slot otherwise; every attached
        image that has bytes becomes a file under its ``filename``. The record is not
        changed.

        Returns:
            A new `ExtendedPredictiveModelContent` whose streams are new.

        Raises:
            KeyError: For a ``PMML`` bundle whose external model has no
                ``"pmml_model"``.
        """
    @classmethod
    def parse_from_content(cls, content: ExtendedPredictiveModelContent) -> Self:
        """Rebuild a bundle from its file set (a class method).

        The YAML document is parsed and validated; the external model is read from
        the JSON stream when there is one, else from the PMML stream (as
        ``{"type": PMML, "pmml_model": <text>}``), else left empty. The images named by
        the description get their bytes from the content, and `_migrate` brings the
        record up to date: a description without a model name takes
        `directory_name`, and an ``EXPERT_SCORE`` model without feature names takes
        `attributes`. The streams read are rewound first, so a content can be parsed
        twice.

        Args:
            content: The file set, as `ExtendedPredictiveModelContent.load_from_zip`
                and the other loads return it.

        Returns:
            A new record of the class it is called on.

        Raises:
            pydantic.ValidationError: For a document that is not a valid bundle.
            ruamel.yaml.YAMLError: For a YAML document that does not parse.
            json.JSONDecodeError: For JSON that does not parse.
            KeyError: For an image named by the description but missing from the
                content.
        """
    def get_coefficient(self, attribute: str) -> Optional[float]:
        """Return the coefficient of `attribute` in a linear model.

        The attribute's position is taken in the external model's feature names, or
        in `attributes` when it has none.

        Returns:
            The coefficient, or ``None`` when the attribute is unknown or the model
            has no coefficients.

        Raises:
            IndexError: When the position is beyond the coefficients.
            TypeError: When the coefficient is not a ``float``.
        """
    @abstractmethod
    def _migrate(self) -> None: ...
    @abstractmethod
    def get_external_model_stringio(self) -> StringIO:
        """Return the external model file's text in a new stream.

        Raises:
            NotImplementedError: Always, on the abstract record; see
                `ExtendedPredictiveModel`.
        """
    @abstractmethod
    def get_external_model_feature_names(self) -> Optional[List[str]]:
        """Return the external model's feature names, or ``None``.

        Raises:
            NotImplementedError: Always, on the abstract record; see
                `ExtendedPredictiveModel`.
        """
    @abstractmethod
    def get_external_model_intercept(self) -> Optional[float]:
        """Return the external model's intercept, or ``None``.

        Raises:
            NotImplementedError: Always, on the abstract record; see
                `ExtendedPredictiveModel`.
        """
    @abstractmethod
    def get_external_model_intercept_name(self) -> Optional[str]:
        """Return the name the intercept is shown under, or ``None``.

        Raises:
            NotImplementedError: Always, on the abstract record; see
                `ExtendedPredictiveModel`.
        """
    @abstractmethod
    def get_external_model_coefficients(self) -> Optional[List[float]]:
        """Return the external model's coefficients, or ``None``.

        Raises:
            NotImplementedError: Always, on the abstract record; see
                `ExtendedPredictiveModel`.
        """
    @abstractmethod
    def get_external_model_best_iteration(self) -> Optional[int]:
        """Return the number of boosting rounds up to the best one, or ``None``.

        Raises:
            NotImplementedError: Always, on the abstract record; see
                `ExtendedPredictiveModel`.
        """
    @abstractmethod
    def get_external_model_number_of_trees(self) -> Optional[int]:
        """Return the number of trees, or ``None``.

        Raises:
            NotImplementedError: Always, on the abstract record; see
                `ExtendedPredictiveModel`.
        """
    @abstractmethod
    def get_external_model_number_of_attributes(self) -> Optional[int]:
        """Return the number of input features, or ``None``.

        Raises:
            NotImplementedError: Always, on the abstract record; see
                `ExtendedPredictiveModel`.
        """
    @abstractmethod
    def get_external_model_best_eval_metric(self) -> Optional[float]:
        """Return the evaluation score at the best round, or ``None``.

        Raises:
            NotImplementedError: Always, on the abstract record; see
                `ExtendedPredictiveModel`.
        """
    def get_external_model_category(self) -> PredictiveModelCategory:
        """Return the time dimension of the model's output: ``HORIZON`` for
        ``COX_PH_FITTER``, ``STATIC`` for every other kind, ``NONE`` when no kind is set.
        """

class ExtendedPredictiveModel(AbstractExtendedPredictiveModel):
    """A bundle: an external model with its attributes, preparation, description,
    performance and monitoring.

    Build it by keywords or with ``model_validate``; either runs
    `preprocess_attributes`. The accessors read the parsed document in
    `external_model` and return ``None`` where it lacks the keys they look for.

    Attributes:
        directory_name: The name the bundle is stored under; a bundle loaded
            without a model name in its description takes it.
        external_model: The external model: the parsed JSON document (for
            ``XGB``, ``{"xgb_model": <XGBoost JSON>, ...}``; for linear models
            ``feature_names``, ``intercept`` or ``model.intercept_``,
            ``model.coef_``), or for ``PMML`` ``{"type": "PMML", "pmml_model":
            <text>}``. Never part of a dump.

    Raises:
        pydantic.ValidationError: As for `AbstractExtendedPredictiveModel`.
    """

    directory_name: Optional[str] = None
    external_model: Dict[str, Any] = ...
    def _migrate(self) -> None: ...
    def get_external_model_stringio(self) -> StringIO:
        """Return the external model file's text in a new stream, at its start.

        The PMML text for a ``PMML`` bundle; otherwise the whole `external_model`
        document as indented JSON.

        Raises:
            KeyError: For a ``PMML`` bundle without ``"pmml_model"``.
        """
    def get_external_model_feature_names(self) -> Optional[List[str]]:
        """Return ``external_model["feature_names"]``, or ``None``.

        Raises:
            TypeError: When it is not a ``list``.
        """
    def get_external_model_intercept(self) -> Optional[float]:
        """Return ``external_model["intercept"]``, else the first item of
        ``external_model["model"]["intercept_"]``, else ``None``.

        Raises:
            TypeError: When the intercept is not a ``float``.
            IndexError: When ``intercept_`` is empty.
        """
    def get_external_model_intercept_name(self) -> Optional[str]:
        """Return ``external_model["intercept_name"]``, or ``None``.

        Raises:
            TypeError: When it is not a ``str``.
        """
    def get_external_model_coefficients(self) -> Optional[List[float]]:
        """Return the first item of ``external_model["model"]["coef_"]``, or ``None``.

        Raises:
            TypeError: When it is not a ``list``.
            IndexError: When ``coef_`` is empty.
        """
    def get_external_model_best_iteration(self) -> Optional[int]:
        """Return the number of boosting rounds up to and including the best one
        (the XGBoost document's ``best_iteration`` plus 1).

        Returns:
            The count, or ``None`` when the model is not ``XGB`` or was trained
            without early stopping.

        Raises:
            ValueError: When the stored iteration is not an integer.
        """
    def get_external_model_number_of_trees(self) -> Optional[int]:
        """Return the XGBoost model's number of trees, or ``None`` (not ``XGB``, or
        not stored).

        Raises:
            ValueError: When the stored number is not an integer.
        """
    def get_external_model_number_of_attributes(self) -> Optional[int]:
        """Return the XGBoost model's number of input features, or ``None`` (not
        ``XGB``, or not stored).

        Raises:
            ValueError: When the stored number is not an integer.
        """
    def get_external_model_best_eval_metric(self) -> Optional[float]:
        """Return the XGBoost model's evaluation score at its best round, or ``None``
        (not ``XGB``, or trained without early stopping).

        Raises:
            ValueError: When the stored score is not a number.
        """

class ExternalPredictiveModelType:
    """GraphQL object of the facts read from a bundle's external model.

    Each field forwards to the accessor of the same name on `extended_model`
    (feature names and the model text are not shown).

    Args:
        extended_model: The bundle to show.
    """

    extended_model: ExtendedPredictiveModel
    __match_args__: ClassVar[tuple[()]]
    __strawberry_definition__: ClassVar[StrawberryObjectDefinition]
    __hash__: ClassVar[None] = None  # type: ignore[assignment]  # compared by value, so unhashable
    def __init__(self, extended_model: ExtendedPredictiveModel) -> None: ...
    def coefficients(self) -> Optional[List[float]]:
        """Resolve ``coefficients``: `ExtendedPredictiveModel.get_external_model_coefficients`."""
    def intercept(self) -> Optional[float]:
        """Resolve ``intercept``: `ExtendedPredictiveModel.get_external_model_intercept`."""
    def intercept_name(self) -> Optional[str]:
        """Resolve ``interceptName``: `ExtendedPredictiveModel.get_external_model_intercept_name`."""
    def best_eval_metric(self) -> Optional[float]:
        """Resolve ``bestEvalMetric``: `ExtendedPredictiveModel.get_external_model_best_eval_metric`."""
    def best_iteration(self) -> Optional[int]:
        """Resolve ``bestIteration``: `ExtendedPredictiveModel.get_external_model_best_iteration`."""
    def number_of_attributes(self) -> Optional[int]:
        """Resolve ``numberOfAttributes``: `ExtendedPredictiveModel.get_external_model_number_of_attributes`."""
    def number_of_trees(self) -> Optional[int]:
        """Resolve ``numberOfTrees``: `ExtendedPredictiveModel.get_external_model_number_of_trees`."""
    def __replace__(self, /, **changes: Any) -> Self: ...

class ExtendedPredictiveModelType:
    """GraphQL view of `ExtendedPredictiveModel`.

    Shows the bundle's fields (the preparation, description, performance and
    monitoring through their own views) and three computed fields: ``formula``,
    ``externalModel`` and ``category``. The parsed external model document itself
    is not shown.
    """

    directory_name: Optional[str]
    attributes: List[str]
    predictive_model_type: Optional[PredictiveModelType]
    target: Optional[str]
    target_class: Optional[str]
    preparation: AttributePreprocessingType
    description: PredictiveModelDescriptionType
    performance: PredictiveModelPerformanceType
    monitoring: PredictiveModelMonitoringType
    __match_args__: ClassVar[tuple[()]]
    __strawberry_definition__: ClassVar[StrawberryObjectDefinition]
    __hash__: ClassVar[None] = None  # type: ignore[assignment]  # compared by value, so unhashable
    def formula(self, parent: ExtendedPredictiveModel) -> Optional[str]:
        """Resolve ``formula``: the linear predictor of a logistic regression as text.

        The intercept (0 when missing) and then, for each feature (the external
        model's feature names, else `attributes`), `` + <coefficient> * <term>`` or
        `` - <|coefficient|> * <term>``, numbers with four decimals; the term is the
        attribute's transformation formula, or its name. A feature without a
        coefficient adds `` + <term>``. For example ``-2.5000 + 0.0312 * age - 0.0125 *
        income``.

        Returns:
            The text, or ``None`` for any kind of model but ``LOGISTIC_REGRESSION``.
        """
    def external_model(self, parent: ExtendedPredictiveModel) -> ExternalPredictiveModelType:
        """Resolve ``externalModel``: a new `ExternalPredictiveModelType` of the bundle."""
    def category(self, parent: ExtendedPredictiveModel) -> PredictiveModelCategory:
        """Resolve ``category``: `AbstractExtendedPredictiveModel.get_external_model_category`."""
    def __init__(
        self,
        *,
        attributes: List[str] = ...,
        predictive_model_type: Optional[PredictiveModelType] = ...,
        target: Optional[str] = ...,
        target_class: Optional[str] = ...,
        preparation: AttributePreprocessingType = ...,
        description: PredictiveModelDescriptionType = ...,
        performance: PredictiveModelPerformanceType = ...,
        monitoring: PredictiveModelMonitoringType = ...,
        directory_name: Optional[str] = ...,
    ) -> None: ...
    @staticmethod
    def from_pydantic(instance: ExtendedPredictiveModel, extra: dict[str, Any] | None = None) -> ExtendedPredictiveModelType:
        """Build the view of a record; `extra` gives or overrides field values."""
    def __replace__(self, /, **changes: Any) -> Self: ...
    @classmethod
    def is_type_of(cls, obj: Any, _info: GraphQLResolveInfo[Any]) -> bool:
        """Tell GraphQL whether `obj` is shown by this type: an instance of the view or of its record."""
    def to_pydantic(self, **kwargs: Any) -> ExtendedPredictiveModel:
        """Build the record from this view; `kwargs` give or override field values."""
