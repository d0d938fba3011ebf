"""The whole road of a bundle: build it from a real XGBoost model file, store it in a zip archive and in a
directory, load it back, prepare one scoring input, and show it through GraphQL next to a logistic
regression bundle and its formula."""
import asyncio
import json
import math
import tempfile
from datetime import date
from pathlib import Path
from typing import cast

import strawberry

from kelvane_analytics_utils.predictive_models.content import ExtendedPredictiveModelContent
from kelvane_analytics_utils.predictive_models.dossier.census import ClassFrequency, SampleDescription
from kelvane_analytics_utils.predictive_models.dossier.dossier import AttachedImage, PredictiveModelDescription
from kelvane_analytics_utils.predictive_models.preparation.preparation import (
    AttributePreprocessing,
    PredictiveModelDummyEncoding,
    PredictiveModelDummyEncodingSingleValue,
)
from kelvane_analytics_utils.predictive_models.preparation.reshaping import AttributeTransformation
from kelvane_analytics_utils.predictive_models.scorebundle import (
    ExtendedPredictiveModel,
    ExtendedPredictiveModelType,
    PredictiveModelType,
)
from kelvane_analytics_utils.predictive_models.surveillance.surveillance import PredictiveModelMonitoring
from kelvane_analytics_utils.predictive_models.yardstick.tally import PerformanceMetrics, SamplePerformance, SampleType
from kelvane_analytics_utils.predictive_models.yardstick.yardstick import PredictiveModelPerformance

DATA = Path(__file__).resolve().parent.parent / "tests" / "data"
FEATURES = ["age", "income", "debt_ratio", "tenure"]


def preparation() -> AttributePreprocessing:
    prep = AttributePreprocessing(
        binning=AttributePreprocessing.add_discretisation({
            "age": {"dtype": "NUMERICAL", "bins": [-math.inf, 30, 50, math.inf], "bin_vals": [0.8, 0.5, 0.2],
                    "null_val": 0.5},
            "log_income": {"dtype": "NUMERICAL", "bins": [-math.inf, 0.5, 1.2, math.inf],
                           "bin_vals": [-0.4, 0.1, 0.6], "binned_attribute_name": "log_income_bin"},
            "region": {"dtype": "CATEGORICAL", "bins": [["north", "east"], ["south"]], "bin_vals": [1.0, 2.0],
                       "default": 1.5},
        }),
        dummy_encoding=[PredictiveModelDummyEncoding(attribute="region", encoding=[
            PredictiveModelDummyEncodingSingleValue(value="north", encoded_feature_name="region_north"),
            PredictiveModelDummyEncodingSingleValue(value="south", encoded_feature_name="region_south"),
            PredictiveModelDummyEncodingSingleValue(value="other", encoded_feature_name="region_other",
                                                    use_for_undefined=True)])],
    )
    prep.add_reshaping([{"attribute": "income", "transformation": "log(income)",
                         "transformed_attribute_name": "log_income"}])
    return prep


description = PredictiveModelDescription(
    predictive_model_created=date(2026, 3, 1),
    sample_metadata=[SampleDescription(sample_type=SampleType.TRAIN, first_date=date(2025, 1, 1), last_date=date(2025, 12, 31),
                                       number_of_observations=400,
                                       label_class_frequency=[ClassFrequency(label_class=1, number_of_observations=137)])],
    attribute_description={"age": "age of the applicant in years", "income": "monthly income, thousands"},
    hyperparameters={"max_depth": 2, "eta": 0.3, "eval_metric": "auc"},
    attached_images=[AttachedImage(type="roc curve", filename="roc.png", image=b"\x89PNG\r\n\x1a\n(made-up bytes)")],
)
description.add_general_note("Trained on a small made-up data set.")
description.add_general_note({"owner": "risk modelling team"})

xgb = ExtendedPredictiveModel(
    attributes=FEATURES + ["region"], predictive_model_type=PredictiveModelType.XGB, target="default", target_class="1",
    preparation=preparation(), description=description,
    performance=PredictiveModelPerformance(
        tally=[SamplePerformance(sample=SampleType.TRAIN, target="default",
                                 performance={PerformanceMetrics.GINI: 0.47, PerformanceMetrics.KS: 0.35}),
               SamplePerformance(sample=SampleType.VALID, target="default",
                                 performance={PerformanceMetrics.GINI: 0.44})],
        performance_metrics=[PerformanceMetrics.GINI, PerformanceMetrics.KS]),
    monitoring=PredictiveModelMonitoring(binning=AttributePreprocessing.add_discretisation(
        {"age": {"dtype": "NUMERICAL", "bins": [-math.inf, 40, math.inf]}})),
    directory_name="credit_risk_xgb",
    external_model={"feature_names": FEATURES, "xgb_model": json.loads((DATA / "xgb_early_stopping.json").read_text())},
)
logistic = ExtendedPredictiveModel(
    attributes=FEATURES, predictive_model_type=PredictiveModelType.LOGISTIC_REGRESSION, target="default",
    preparation=AttributePreprocessing(
        transformations=[AttributeTransformation(attribute="income", transformation="log(income)")]),
    directory_name="credit_risk_logit",
    external_model=json.loads((DATA / "logistic_regression.json").read_text()),
)

# Store: the file set in a zip archive (bytes a platform keeps) and in a directory.
archive = xgb.get_content().save_to_zip()
print(f"zip archive: {len(archive.getvalue())} bytes")
with tempfile.TemporaryDirectory() as tmp:
    xgb.get_content().save_to_directory(Path(tmp) / "credit_risk_xgb")
    print("directory:", sorted(p.name for p in (Path(tmp) / "credit_risk_xgb").iterdir()))
    from_directory = ExtendedPredictiveModel.parse_from_content(
        ExtendedPredictiveModelContent.load_from_directory(Path(tmp) / "credit_risk_xgb"))

# Load: the name missing from the description is taken from the directory name.
from_zip = ExtendedPredictiveModel.parse_from_content(ExtendedPredictiveModelContent.load_from_zip(archive))
print("model name after loading:", from_zip.description.predictive_model_name)
xgb.description.predictive_model_name = "credit_risk_xgb"
print("loaded from zip equals the original:", from_zip == xgb)
print("loaded from directory equals the original:", from_directory == xgb)

# Prepare one scoring input.
age, income, region = 41, 2.9, "south"
prep = from_zip.preparation
scoring_input: dict[str, float | None] = {
    "age": prep.apply_discretisation("age", age),
    "log_income_bin": prep.apply_discretisation("log_income", math.log(income)),
    "region": prep.apply_discretisation("region", region),
    **(prep.apply_dummy_encoding("region", region) or {}),
}
print("scoring input:", scoring_input)


@strawberry.type
class Query:
    @strawberry.field
    def bundles(self) -> list[ExtendedPredictiveModelType]:
        # The view resolves over the records themselves: its computed fields read the record.
        return [cast(ExtendedPredictiveModelType, bundle) for bundle in (from_zip, logistic)]


schema = strawberry.Schema(query=Query)
# Some view fields are coroutines: the query runs on an event loop.
result = asyncio.run(schema.execute("""{ bundles {
    directoryName predictiveModelType category formula
    externalModel { numberOfTrees bestIteration bestEvalMetric numberOfAttributes coefficients intercept interceptName }
    description { predictiveModelName evalMetric generalNotes { title content } attachedImages { type filename } }
    performance { performanceMetrics tally { sample performance { metric value } } }
} }"""))
assert result.errors is None, result.errors
print("GraphQL:")
print(json.dumps(result.data, indent=2))
