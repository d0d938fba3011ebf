"""A typed user of the package: checked by `mypy --strict` (tests/test_stubs.py)
and run as a plain script by the same test."""
from io import BytesIO
from typing import Optional

from kelvane_analytics_utils.predictive_models.content import ExtendedPredictiveModelContent
from kelvane_analytics_utils.predictive_models.preparation.discretisation import (
    AttributeBinNumerical,
    AttributeBinNumericalType,
    AttributeDataType,
)
from kelvane_analytics_utils.predictive_models.preparation.preparation import AttributePreprocessing
from kelvane_analytics_utils.predictive_models.scorebundle import ExtendedPredictiveModel
from kelvane_analytics_utils.predictive_models.surveillance.stability import StabilityAccumulator, StabilityLevel
from kelvane_analytics_utils.predictive_models.surveillance.surveillance import PredictiveModelMonitoring
from kelvane_analytics_utils.utils.dump import valid_dumps_yaml
from kelvane_analytics_utils.utils.parse import parse_value


def load(archive: BytesIO) -> ExtendedPredictiveModel:
    # parse_from_content returns the class it is called on.
    return ExtendedPredictiveModel.parse_from_content(ExtendedPredictiveModelContent.load_from_zip(archive))


def prepare(preprocessing: AttributePreprocessing, income: float) -> Optional[float]:
    return preprocessing.apply_discretisation("income", income)


preprocessing = AttributePreprocessing(
    binning=AttributePreprocessing.add_discretisation(
        {"income": {"dtype": AttributeDataType.NUMERICAL, "bins": [0.0, 10.0, 20.0], "bin_vals": [1.0, 2.0]}}
    )
)
value: Optional[float] = prepare(preprocessing, 15.0)
dummies: Optional[dict[str, int]] = preprocessing.apply_dummy_encoding("colour", "red")
monitoring = PredictiveModelMonitoring(binning=list(preprocessing.binning))
found = monitoring.get_discretisation("income", AttributeDataType.NUMERICAL, 5.0)
bin_view = AttributeBinNumericalType.from_pydantic(
    AttributeBinNumerical(id=2, lower_bound=0.0, upper_bound=1.0, type=AttributeDataType.NUMERICAL)
)
# A misspelt field is a type error (the run-time record would ignore it); mypy
# --strict warns about unused ignores, so this line fails the check if it is not.
misspelt = AttributeBinNumerical(id=3, lower_bound=0.0, upper_bound=1.0, uper_bound=2.0)  # type: ignore[call-arg]
text: Optional[str] = valid_dumps_yaml(preprocessing)
parsed: str | int | float = parse_value("'12'")
assert value == 2.0 and found is not None and bin_view.lower_bound == 0.0 and parsed == "12"
assert misspelt.upper_bound == 1.0 and misspelt.name == "3_(0;1)"
stability = StabilityAccumulator(monitoring)
stability.add_batch({"income": [5.0, 15.0]}, targets=[0, 1])
income = stability.report().attributes[0]
level: Optional[StabilityLevel] = income.level
assert income.counted == 2 and income.bins[0].count == 1
