"""Quick start: build a bundle, save it to a zip archive, load it back and prepare one scoring record."""
import math

from kelvane_analytics_utils.predictive_models.content import ExtendedPredictiveModelContent
from kelvane_analytics_utils.predictive_models.preparation.preparation import AttributePreprocessing
from kelvane_analytics_utils.predictive_models.scorebundle import ExtendedPredictiveModel, PredictiveModelType

# A logistic regression over a binned age and a dummy-encoded colour.
preparation = AttributePreprocessing.model_validate({
    "binning": AttributePreprocessing.add_discretisation({
        "age": {"dtype": "NUMERICAL", "bins": [-math.inf, 30, math.inf], "bin_vals": [0.2, 0.7],
                "binned_attribute_name": "age_bin"}}),
    "dummy_encoding": [{"attribute": "colour", "encoding": [
        {"value": "red", "encoded_feature_name": "colour_red"},
        {"value": "blue", "encoded_feature_name": "colour_blue", "use_for_undefined": True}]}],
})
bundle = ExtendedPredictiveModel(
    attributes=["age", "colour"], predictive_model_type=PredictiveModelType.LOGISTIC_REGRESSION, target="churn",
    preparation=preparation, directory_name="churn_logit",
    external_model={"feature_names": ["age_bin", "colour_red", "colour_blue"],
                    "intercept": -1.5, "model": {"coef_": [[2.0, 0.4, -0.3]]}},
)

# Save: the bundle's file set as a zip archive held in memory.
archive = bundle.get_content().save_to_zip()

# Load it back.
loaded = ExtendedPredictiveModel.parse_from_content(ExtendedPredictiveModelContent.load_from_zip(archive))
print("name:", loaded.description.predictive_model_name)
print("coefficients:", loaded.get_external_model_coefficients())

# Prepare one scoring record.
print(loaded.preparation.apply_preprocessing({"age": 41.0, "colour": "red"}))
