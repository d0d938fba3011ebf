"""The bundle module: consistency check, external model accessors on real model files, the content round trip
through every storage, the formula and the GraphQL views."""
import asyncio
import json
import math
import subprocess
import sys
import textwrap
from datetime import date
from io import StringIO
from pathlib import Path

import pydantic
import pytest
import strawberry
from ruamel.yaml import YAMLError

from kelvane_analytics_utils.predictive_models import scorebundle as sb
from kelvane_analytics_utils.predictive_models.content import ExtendedPredictiveModelContent
from kelvane_analytics_utils.predictive_models.dossier.census import ClassFrequency, SampleDescription
from kelvane_analytics_utils.predictive_models.dossier.dossier import AttachedImage, PredictiveModelDescription
from kelvane_analytics_utils.predictive_models.preparation.preparation import (
    AttributePreprocessing,
    PredictiveModelDummyEncoding,
)
from kelvane_analytics_utils.predictive_models.surveillance.surveillance import PredictiveModelMonitoring
from kelvane_analytics_utils.predictive_models.yardstick.tally import SamplePerformance
from kelvane_analytics_utils.predictive_models.yardstick.yardstick import PredictiveModelPerformance

M = sb.ExtendedPredictiveModel
T = sb.PredictiveModelType
DATA = Path(__file__).parent / "data"
FACTS = json.loads((DATA / "model_facts.json").read_text())
FEATURES = FACTS["logistic_regression"]["feature_names"]


def document(kind):
    """The external model a platform stores for each committed model file."""
    if kind.startswith("xgb"):
        return {"feature_names": FEATURES, "xgb_model": json.loads((DATA / f"{kind}.json").read_text())}
    if kind == "pmml":
        return {"type": T.PMML, "pmml_model": (DATA / "logistic_regression.pmml").read_text()}
    return json.loads((DATA / "logistic_regression.json").read_text())


KIND_TYPE = {"xgb_early_stopping": T.XGB, "xgb_plain": T.XGB, "logistic_regression": T.LOGISTIC_REGRESSION,
             "pmml": T.PMML, "untyped": None}


def preparation(low=-math.inf, high=math.inf):
    return AttributePreprocessing(
        transformations=[{"attribute": "income", "transformation": "log(income)",
                          "transformed_attribute_name": "log_income"}],
        binning=AttributePreprocessing.add_discretisation({
            "age": {"dtype": "NUMERICAL", "bins": [low, 30, 50, high], "bin_vals": [0.3, 0.2, 0.1]},
            "log_income": {"dtype": "NUMERICAL", "bins": [low, 1.0, high], "bin_vals": [1.0, 2.0],
                           "binned_attribute_name": "log_income_bin", "default": 5},
        }),
        dummy_encoding=[PredictiveModelDummyEncoding(attribute="region", encoding=[
            {"value": "north", "encoded_feature_name": "region_north"},
            {"value": "south", "encoded_feature_name": "region_south", "use_for_undefined": True}])])


def bundle(kind="xgb_early_stopping", name="credit risk", images=True, low=-math.inf, high=math.inf):
    """A bundle with every part filled in; bin edges low and high."""
    description = PredictiveModelDescription(
        predictive_model_name=name, predictive_model_created=date(2026, 3, 1),
        sample_metadata=[SampleDescription(sample_type="TRAIN", first_date=date(2025, 1, 1), last_date=date(2025, 12, 31),
                                           number_of_observations=400,
                                           label_class_frequency=[ClassFrequency(label_class=1, number_of_observations=137)])],
        attribute_description={"age": "age in years"}, hyperparameters={"max_depth": 2, "eval_metric": "auc"},
        number_of_trainable_parameters=52,
        attached_images=[AttachedImage(type="roc", filename="roc.png", image=b"\x89PNG roc")] if images else None)
    description.add_general_note("Trained on made-up data.")
    return M(
        attributes=FEATURES, predictive_model_type=KIND_TYPE[kind], target="default", target_class="1",
        preparation=preparation(low, high), description=description,
        performance=PredictiveModelPerformance(tally=[SamplePerformance(sample="TRAIN", target="default",
                                                                        performance={"GINI": 0.46})],
                                               performance_metrics=["gini", "Lift(10)"]),
        monitoring=PredictiveModelMonitoring(binning=AttributePreprocessing.add_discretisation(
            {"age": {"dtype": "NUMERICAL", "bins": [low, 40, high]}})),
        directory_name="credit_risk_v1", external_model={} if kind == "untyped" else document(kind))


# ---------------------------------------------------------------- module


def test_import_initialises_every_sibling_first():
    code = """
        import sys
        import kelvane_analytics_utils.predictive_models.scorebundle
        print(sorted(name.rsplit(".", 1)[1] for name, module in list(sys.modules.items())
                     if name.startswith("kelvane_analytics_utils.") and getattr(module, "__file__", "").endswith(".so")))
    """
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == str(sorted(["census", "content", "discretisation", "dossier", "dump", "preparation",
                                             "reshaping", "scorebundle", "surveillance", "tally", "yardstick"]))
    assert [name for name in vars(sb) if not name.startswith("__")] == [
        "ABC", "abstractmethod", "Enum", "BytesIO", "StringIO", "json", "Dict", "List", "Optional", "Any",
        "strawberry", "Field", "model_validator", "ExtendedPredictiveModelContent", "AttributePreprocessing",
        "AttributePreprocessingType", "PredictiveModelDescription", "PredictiveModelDescriptionType",
        "PredictiveModelMonitoring", "PredictiveModelMonitoringType", "PredictiveModelPerformance",
        "PredictiveModelPerformanceType", "BaseModel", "valid_dumps_yaml", "safe_loads_yaml", "safe_dumps_json",
        "PredictiveModelType", "PredictiveModelCategory", "AbstractExtendedPredictiveModel",
        "ExtendedPredictiveModel", "ExternalPredictiveModelType", "ExtendedPredictiveModelType"]


def test_abstract_record_and_dump():
    with pytest.raises(TypeError, match="abstract"):
        sb.AbstractExtendedPredictiveModel()
    with pytest.raises(NotImplementedError) as failure:
        sb.AbstractExtendedPredictiveModel.get_external_model_intercept(M())
    assert failure.value.args == ()
    dumped = bundle().model_dump()
    assert list(dumped) == ["attributes", "predictive_model_type", "target", "target_class", "preparation",
                            "description", "performance", "monitoring", "directory_name"]
    assert "image" not in dumped["description"]["attached_images"][0]


# ---------------------------------------------------------------- consistency check

ERROR = "{kind} defined for unknown attributes: {{'{name}'}}. Model attributes are {{'a'}}."


@pytest.mark.parametrize("transformations, binned, message", [
    ([], [], None),
    # The transformation check runs first.
    ([("b", "log(b)", None)], ["zz"], ERROR.format(kind="Transformation", name="b")),
    ([("a", "log(a)", "log_a")], ["log_a"], None),
    ([], [("a", "a_bin"), ("a_bin", None)], ERROR.format(kind="Binning", name="a_bin")),
])
def test_consistency_check(transformations, binned, message):
    definitions = {}
    for entry in binned:
        attribute, binned_name = entry if isinstance(entry, tuple) else (entry, None)
        definitions[attribute] = {"dtype": "NUMERICAL", "bins": [0, 1], "binned_attribute_name": binned_name}
    prep = {"transformations": [{"attribute": a, "transformation": t, "transformed_attribute_name": n}
                                for a, t, n in transformations],
            "binning": AttributePreprocessing.add_discretisation(definitions),
            # Dummy encodings are not checked against the attributes.
            "dummy_encoding": [{"attribute": "elsewhere", "encoding": [{"value": 1, "encoded_feature_name": "x"}]}]}
    if message is None:
        assert M.model_validate({"attributes": ["a"], "preparation": prep}).preparation.dummy_encoding
    else:
        with pytest.raises(pydantic.ValidationError) as failure:
            M(attributes=["a"], preparation=prep)
        assert message in str(failure.value)


# ---------------------------------------------------------------- accessors, coefficients, _migrate


@pytest.mark.parametrize("kind", ["xgb_early_stopping", "xgb_plain", "logistic_regression", "pmml"])
def test_accessors_on_real_model_files(kind):
    m = M(attributes=FEATURES, predictive_model_type=KIND_TYPE[kind], external_model=document(kind))
    facts = FACTS.get(kind, {})
    xgb = kind.startswith("xgb")
    linear = kind == "logistic_regression"
    best = facts.get("best_iteration")
    assert m.get_external_model_number_of_trees() == (facts["number_of_trees"] if xgb else None)
    assert m.get_external_model_number_of_attributes() == (facts["number_of_features"] if xgb else None)
    assert m.get_external_model_best_iteration() == (best + 1 if best is not None else None)
    assert m.get_external_model_best_eval_metric() == facts.get("best_score")
    assert m.get_external_model_feature_names() == (None if kind == "pmml" else FEATURES)
    assert m.get_external_model_coefficients() == (facts["coefficients"] if linear else None)
    assert m.get_external_model_intercept() == (facts["intercept"] if linear else None)
    assert m.get_external_model_intercept_name() == ("Intercept" if linear else None)
    text = m.get_external_model_stringio().read()
    assert text == m.external_model["pmml_model"] if kind == "pmml" else json.loads(text) == m.external_model


def nested(value, *path):
    for key in reversed(path):
        value = {key: value}
    return value


XGB = ["xgb_model", "learner", "attributes"]
INCORRECT = r"Argument 'attribute' has incorrect type \(expected str, got NoneType\)"


@pytest.mark.parametrize("model_type, external_model, call, expected", [
    (T.XGB, nested({"best_iteration": 41}, *XGB), "best_iteration", 42),
    (T.XGB, nested({"best_iteration": "12.5"}, *XGB), "best_iteration", ValueError),
    (T.LOGISTIC_REGRESSION, nested({"best_iteration": 41}, *XGB), "best_iteration", None),
    (None, {"intercept": 1.5, "model": {"intercept_": [2.5]}}, "intercept", 1.5),
    (None, {"intercept": 0}, "intercept", (TypeError, "Expected float, got int")),
    (None, {"model": {"coef_": []}}, "coefficients", IndexError),
    (T.PMML, {}, "stringio", KeyError),
    (T.COX_PH_FITTER, {}, "category", sb.PredictiveModelCategory.HORIZON),
    (None, {}, "category", sb.PredictiveModelCategory.NONE),
    # get_coefficient: by position among the feature names, else among the attributes
    (None, {"feature_names": ["y", "x"], "model": {"coef_": [[0.5, -1.25]]}}, "x", -1.25),
    (None, {"model": {"coef_": [[0.5, -1.25]]}}, "x", 0.5),
    (None, {"feature_names": ["y"], "model": {"coef_": [[0.5]]}}, "x", None),
    (None, {"feature_names": ["x"], "model": {}}, "x", None),
    (None, {"feature_names": ["y", "x"], "model": {"coef_": [[0.5]]}}, "x", IndexError),
    (None, {"feature_names": ["x"], "model": {"coef_": [[1]]}}, "x", (TypeError, "Expected float, got int")),
    (None, {}, None, (TypeError, INCORRECT)),
])
def test_accessor_and_coefficient_rules(model_type, external_model, call, expected):
    m = M(attributes=["x", "y"], predictive_model_type=model_type, external_model=external_model)
    if call in ("x", None):
        read = lambda: m.get_coefficient(call)  # noqa: E731
    else:
        read = getattr(m, f"get_external_model_{call}")
    if isinstance(expected, tuple) or isinstance(expected, type) and issubclass(expected, Exception):
        error, match = expected if isinstance(expected, tuple) else (expected, None)
        with pytest.raises(error, match=match):
            read()
    else:
        assert read() == expected


@pytest.mark.parametrize("model_type, name", [(T.EXPERT_SCORE, None), (T.XGB, "kept")])
def test_migrate(model_type, name):
    m = M(attributes=["a"], predictive_model_type=model_type, directory_name="dir",
          description={"predictive_model_name": name})
    assert m._migrate() is None
    assert m.external_model.get("feature_names") is (m.attributes if model_type == T.EXPERT_SCORE else None)
    assert m.description.predictive_model_name == (name or "dir")


# ---------------------------------------------------------------- content round trip


def store(content, storage, tmp_path):
    if storage == "directory":
        content.save_to_directory(tmp_path / "bundle")
        return ExtendedPredictiveModelContent.load_from_directory(tmp_path / "bundle")
    if storage == "zip":
        return ExtendedPredictiveModelContent.load_from_zip(content.save_to_zip())
    if storage == "tar":
        return ExtendedPredictiveModelContent.load_from_tar(content.save_to_tar())
    return content


@pytest.mark.parametrize("storage", ["content", "directory", "zip", "tar"])
@pytest.mark.parametrize("kind", ["xgb_early_stopping", "pmml", "logistic_regression", "untyped"])
def test_round_trip(kind, storage, tmp_path):
    original = bundle(kind)
    content = original.get_content()
    if kind == "pmml":
        assert content.external_model_json is None
        assert content.external_model_pmml.getvalue() == (DATA / "logistic_regression.pmml").read_text()
    else:
        assert content.external_model_pmml is None and content.external_model_json is not None
    assert "external_model" not in content.scorebundle_yaml.getvalue()
    loaded = M.parse_from_content(store(content, storage, tmp_path))
    assert loaded == original
    assert loaded.description.attached_images[0].image == b"\x89PNG roc"


def test_parsing_twice_migration_and_missing_image():
    original = bundle("xgb_plain", name=None, images=False)
    original.description.attached_images = [AttachedImage(type="roc", filename="roc.png")]
    content = original.get_content()
    assert content.attached_images == {}
    with pytest.raises(KeyError, match="roc.png"):
        M.parse_from_content(content)
    original.description.attached_images = None
    content = original.get_content()
    first, second = M.parse_from_content(content), M.parse_from_content(content)
    assert first == second != original
    assert first.description.predictive_model_name == "credit_risk_v1"

    assert M().get_content().scorebundle_yaml.getvalue() == "{}\n"
    empty = ExtendedPredictiveModelContent(
        scorebundle_yaml=StringIO("predictive_model_type: EXPERT_SCORE\nattributes: [a]\n"), attached_images={})
    assert M.parse_from_content(empty).external_model == {"feature_names": ["a"]}


@pytest.mark.parametrize("yaml_text, json_text, error", [
    ("- a\n- b\n", "{}", pydantic.ValidationError),         # not a mapping: the record base says so
    ("a: [b\n", None, YAMLError),
    ("{}", "{not json", json.JSONDecodeError),
    ("attributes: [a]\npreparation:\n  transformations:\n  - {attribute: b, transformation: x}\n", None,
     pydantic.ValidationError),
])
def test_bad_content(yaml_text, json_text, error):
    content = ExtendedPredictiveModelContent(
        scorebundle_yaml=StringIO(yaml_text), external_model_json=None if json_text is None else StringIO(json_text),
        attached_images={})
    with pytest.raises(error):
        M.parse_from_content(content)


# ---------------------------------------------------------------- formula


@pytest.mark.parametrize("external_model, transformations, expected", [
    ({"feature_names": ["age", "income"], "intercept": -2.5, "model": {"coef_": [[0.0312, -0.0125]]}}, [],
     "-2.5000 + 0.0312 * age - 0.0125 * income"),
    ({}, [], "0.0000 + income + age"),                                       # attributes order, no coefficients
    ({"intercept": 0.0, "model": {"coef_": [[0.0, 1.23456]]}}, [{"attribute": "age", "transformation": "age/10"}],
     "0.0000 + 0.0000 * income + 1.2346 * (age/10)"),
])
def test_formula(external_model, transformations, expected):
    m = M(attributes=["income", "age"], predictive_model_type=T.LOGISTIC_REGRESSION, external_model=external_model,
          preparation={"transformations": transformations})
    assert sb.ExtendedPredictiveModelType.formula(None, m) == expected
    for other in [None, T.XGB, T.PMML, T.EXPERT_SCORE, T.RANDOM_FOREST, T.COX_PH_FITTER]:
        m.predictive_model_type = other
        assert sb.ExtendedPredictiveModelType.formula(None, m) is None


# ---------------------------------------------------------------- GraphQL

BIN_FIELDS = "name value frequency targetRate id type"
BINNING = f"""attribute discretisation {{ __typename
    ... on AttributeBinNumericalType {{ {BIN_FIELDS} lowerBound upperBound formattedLowerBound formattedUpperBound }}
    ... on AttributeBinCategoricalType {{ {BIN_FIELDS} categories }} }}"""
QUERY = f"""{{ bundle {{
  directoryName attributes predictiveModelType target targetClass formula category
  externalModel {{ coefficients intercept interceptName bestEvalMetric bestIteration numberOfAttributes numberOfTrees }}
  preparation {{ transformations {{ attribute transformation transformedAttributeName }} binning {{ {BINNING} }} }}
  description {{ predictiveModelName predictiveModelCreated numberOfTrainableParameters evalMetric
    sampleMetadata {{ sampleType firstDate lastDate numberOfObservations
                      labelClassFrequency {{ labelClass numberOfObservations }} }}
    attributeDescription {{ attributeName description }} hyperparameters {{ name value }}
    generalNotes {{ title content }} attachedImages {{ type filename }} }}
  performance {{ performanceMetrics tally {{ sample target performance {{ metric value }} }} }}
  monitoring {{ binning {{ {BINNING} }} predictiveModelOutputBinning {{ {BINNING} }} }}
}} }}"""


@pytest.mark.parametrize("kind, low, high", [("xgb_early_stopping", 0.0, 150.0),
                                             ("logistic_regression", -math.inf, math.inf)])
def test_every_field_of_every_view_through_one_query(kind, low, high):
    m = bundle(kind, low=low, high=high)
    m.monitoring.predictive_model_output_binning = AttributePreprocessing.add_discretisation(
        {"score": {"dtype": "CATEGORICAL", "bins": [["A", "B"], ["C"]]}})[0]

    @strawberry.type
    class Query:
        @strawberry.field
        def bundle(self) -> sb.ExtendedPredictiveModelType:
            return m

    result = asyncio.run(strawberry.Schema(query=Query).execute(QUERY))
    assert result.errors is None
    data = result.data["bundle"]
    facts = FACTS[kind]
    xgb = kind.startswith("xgb")
    assert data["category"] == "STATIC"
    assert data["externalModel"] == {
        "coefficients": None if xgb else facts["coefficients"], "intercept": None if xgb else facts["intercept"],
        "interceptName": None if xgb else "Intercept", "bestEvalMetric": facts.get("best_score"),
        "bestIteration": facts["best_iteration"] + 1 if xgb else None,
        "numberOfAttributes": facts["number_of_features"] if xgb else None,
        "numberOfTrees": facts["number_of_trees"] if xgb else None}
    terms = {"income": "(log(income))"}
    assert data["formula"] == (None if xgb else format(facts["intercept"], ".4f") + "".join(
        f" {'-' if c < 0 else '+'} {abs(c):.4f} * {terms.get(a, a)}"
        for a, c in zip(facts["feature_names"], facts["coefficients"])))
    assert data["description"]["generalNotes"] == [{"title": "note_1", "content": "Trained on made-up data."}]
    assert data["description"]["attachedImages"] == [{"type": "roc", "filename": "roc.png"}]
    assert data["monitoring"]["predictiveModelOutputBinning"]["discretisation"][0]["categories"] == ["A", "B"]
    # Float cannot carry an infinite bound: null, while the formatted bound keeps it.
    edges = [{k: b[k] for k in ("lowerBound", "upperBound", "formattedLowerBound", "formattedUpperBound")}
             for b in data["monitoring"]["binning"][0]["discretisation"] if b.get("formattedLowerBound")]
    graphql = {low: low, high: high, -math.inf: None, math.inf: None}
    text = {-math.inf: "-inf", math.inf: "inf", 0.0: "0", 150.0: "150"}
    assert edges == [
        {"lowerBound": graphql[low], "upperBound": 40.0, "formattedLowerBound": text[low], "formattedUpperBound": "40"},
        {"lowerBound": 40.0, "upperBound": graphql[high], "formattedLowerBound": "40", "formattedUpperBound": text[high]}]
    assert data["performance"]["tally"][0]["performance"] == [{"metric": "GINI", "value": 0.46}]
