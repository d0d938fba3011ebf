"""A bundle scores records itself: its XGBoost or linear model evaluated in C++.

`ExtendedPredictiveModelScorer` takes an immutable snapshot of a bundle (the
model document checked and laid out once, the preparation copied) and scores
one record (`score`), or whole columns (`score_batch`) with the trees walked in
blocks of rows outside the GIL. XGBoost results are bit-identical to XGBoost's
own CPU predictor; the model library is not needed at run time.

Example:
    >>> from kelvane_analytics_utils.predictive_models.scorebundle import (
    ...     ExtendedPredictiveModel, PredictiveModelType)
    >>> from kelvane_analytics_utils.predictive_models.scoring import ExtendedPredictiveModelScorer
    >>> bundle = ExtendedPredictiveModel(
    ...     predictive_model_type=PredictiveModelType.LOGISTIC_REGRESSION,
    ...     attributes=["age", "income"],
    ...     external_model={"feature_names": ["age", "income"], "intercept": -1.5,
    ...                     "model": {"coef_": [[0.03, 0.00002]]}})
    >>> scorer = ExtendedPredictiveModelScorer(bundle)
    >>> scorer.feature_names, scorer.output_size
    (['age', 'income'], 1)
    >>> round(scorer.score({"age": 40.0, "income": 25000}), 6)
    0.549834
"""

from __future__ import annotations

from typing import Any, Dict, List, Optional, Union, final

from kelvane_analytics_utils.predictive_models.scorebundle import ExtendedPredictiveModel

@final
class ExtendedPredictiveModelScorer:
    """Scores records with a bundle's model, without the model library.

    The scorer is an immutable snapshot of the bundle taken at construction:
    the external model document is read and checked completely once, into a
    compact native form, and the bundle's preparation (binnings and dummy
    encodings) is copied. Later changes to the bundle do not reach an
    existing scorer: make a new one. A scorer is safe to share between
    threads.

    XGBoost models (gbtree and dart boosters; binary:logistic,
    reg:logistic, binary:logitraw, reg:squarederror and the other
    identity-link regressions, multi:softprob, multi:softmax, count:poisson,
    reg:tweedie, reg:gamma; numerical and native categorical splits) score
    bit-identically to XGBoost's CPU predictor with the same rounds.
    LOGISTIC_REGRESSION bundles give 1 / (1 + exp(-(intercept + sum of
    coefficient * feature))) in double, EXPERT_SCORE bundles the linear
    term.

    Example:
        With ``bundle`` the logistic regression of the module's example::

            scorer = ExtendedPredictiveModelScorer(bundle)
            scorer.score({"age": 40.0, "income": 25000})                      # 0.5498...
            scorer.score({"age": 40.0, "income": 25000}, output_margin=True)  # 0.2
    """

    def __new__(cls, model: ExtendedPredictiveModel, *, iteration_end: Optional[int] = None) -> ExtendedPredictiveModelScorer:
        """Reads and checks the bundle's model once.

        Args:
            model: the bundle (an ExtendedPredictiveModel or a subclass).
            iteration_end: XGBoost only: the number of boosting rounds to
                score, rounds [0, iteration_end). None means the best
                iteration + 1 when the document's learner attributes hold
                best_iteration (what get_external_model_best_iteration
                reports, and what XGBoost's scikit-learn interface predicts
                with), else every round.

        Raises:
            TypeError: `model` is not a bundle.
            ValueError: the model's type cannot be scored (PMML,
                RANDOM_FOREST, COX_PH_FITTER, none); the document is corrupt
                (a child index out of range, a node with one child, a cycle,
                node arrays of unequal length, a split on a feature beyond
                the feature list, a value of the wrong type anywhere); the
                objective or booster is not supported (ranking, survival,
                quantile, gblinear, vector-leaf trees); the model has no
                feature names; with declared attributes, a feature that no
                declared attribute, transformation, binning or dummy
                encoding produces; iteration_end outside [1, rounds] or
                given for a linear model; a linear model whose coefficients
                do not match its features.
        """

    @property
    def feature_names(self) -> List[str]:
        """The model's features, in its input order (a new list)."""

    @property
    def output_size(self) -> int:
        """Values per result: the number of classes for multi:softprob, else 1."""

    @property
    def iteration_end(self) -> Optional[int]:
        """The number of boosting rounds scored; None for linear models."""

    def prepare(self, values: Dict[str, Any]) -> List[float]:
        """The model's input vector for one record, in feature order.

        The bundle's preparation runs as `apply_preprocessing(values)` does
        (same log events, same errors); each feature is then the prepared
        value under its name when there is one, else `values[name]`, else
        missing. Transformations are not run: pass the attributes they
        create under their names.

        Args:
            values: attribute names to raw values; exactly a dict.

        Returns:
            One float per feature: NaN for a missing value, a native
            categorical feature as its category code. XGBoost inputs are
            float32 values.

        Raises:
            TypeError: `values` is not a dict; a str for a numerical
                feature; a value that is not a number.
            ValueError: a category the model never saw; a feature created
                by a transformation is absent; a linear model's feature is
                missing.
        """

    def score(self, values: Dict[str, Any], *, output_margin: bool = False) -> Union[float, List[float]]:
        """Scores one record.

        Values: int, float, bool, numpy scalars and anything with __float__
        are numbers; None and NaN are missing (an XGBoost split sends them
        to its default child). For a native categorical feature a str is
        mapped to its code through the categories the document stores.

        Args:
            values: attribute names to raw values; exactly a dict.
            output_margin: the untransformed margin (the linear term for
                linear models). For multi-class models, one margin per
                class.

        Returns:
            A float; for multi:softprob (or margins of a multi-class model)
            a list of one float per class.

        Raises:
            Everything `prepare` raises.
        """

    def score_batch(self, columns: Any, *, output_margin: bool = False, n_threads: int = 1) -> memoryview:
        """Scores columns of records.

        Row i gives exactly what `score` gives for the record of row i's
        values, with the same log events in row order; the first failing row
        raises what `score` would. The GIL is released while the trees are
        walked.

        Args:
            columns: attribute names to columns of equal length: a dict, or
                anything with keys() and __getitem__ (a pandas DataFrame). A
                column is a list or tuple, an object exporting numbers
                through the buffer protocol (float64, float32, int64, int32,
                bool; one-dimensional and contiguous), or a numpy array of
                objects or texts, whose items reach the rules as plain
                Python values.
            output_margin: margins instead of results, as in `score`.
            n_threads: threads walking the rows (at least 1).

        Returns:
            float64 results, a memoryview that numpy.asarray wraps without a
            copy, of shape (n,) or (n, output_size) (or (n, classes) for the
            margins of a multi-class model).

        Raises:
            TypeError: `columns` is not a mapping; a column of another kind;
                a buffer of other items; a str in a numerical column.
            ValueError: columns of unequal length; a column that is not
                contiguous or not one-dimensional; n_threads below 1; and
                everything `score` raises for a row.

        Example:
            ::

                numpy.asarray(scorer.score_batch({"age": ages, "income": incomes}, n_threads=2))
        """
