"""Sample and model descriptions: general notes and their numbering, the
training metric, dumps without image bytes, and one GraphQL query over every
view of the description and performance modules."""
import asyncio
import contextlib
import copy
import datetime
import io
import pickle
import sys

import pydantic
import pytest
import strawberry

from kelvane_analytics_utils.predictive_models.dossier import census, dossier
from kelvane_analytics_utils.predictive_models.dossier.census import ClassFrequency, SampleDescription
from kelvane_analytics_utils.predictive_models.dossier.dossier import (
    AttachedImage,
    PredictiveModelDescription as Desc,
    PredictiveModelDescriptionType as DescType,
)
from kelvane_analytics_utils.predictive_models.yardstick.tally import SampleType
from kelvane_analytics_utils.predictive_models.yardstick.yardstick import (
    PredictiveModelPerformance,
    PredictiveModelPerformanceType,
)
from kelvane_analytics_utils.utils.dump import safe_loads_yaml, valid_dumps_yaml


def names(module):
    return [n for n in vars(module) if not n.startswith("__")]


def test_declarations():
    assert names(census) == ["date", "Optional", "Any", "List", "strawberry", "SampleType", "BaseModel",
                             "ClassFrequency", "ClassFrequencyType", "SampleDescription", "SampleDescriptionType"]
    assert names(dossier) == [
        "ast", "Optional", "List", "Dict", "Any", "Union", "date", "Field", "strawberry", "SampleDescription",
        "SampleDescriptionType", "BaseModel", "AttachedImage", "AttachedImageType", "PredictiveModelDescription",
        "AttributeDescriptionType", "HyperparameterType", "GeneralNoteType", "PredictiveModelDescriptionType"]
    assert list(Desc.__annotations__.values()) == [
        "Optional[str]", "Optional[date]", "Optional[List[SampleDescription]]", "Optional[Dict[str, str]]",
        "Optional[Dict[str, Any]]", "Optional[int]", "Optional[Dict[str, str]]", "Optional[List[AttachedImage]]"]
    assert Desc.__doc__.startswith("Class for storing descriptive data about models's development sample")
    assert AttachedImage.__doc__ is None and ClassFrequency.__doc__ is None
    assert Desc.add_general_note.__annotations__ == {"note": "Union[Dict, str]", "return": "None"}
    assert Desc() == Desc.model_validate({}) and SampleDescription().model_dump() == dict.fromkeys(
        ["sample_type", "first_date", "last_date", "number_of_observations", "label_class_frequency"])


# ---------------------------------------------------------------- general notes


def add_all(notes, *added):
    description = Desc(general_notes=notes)
    for note in added:
        description.add_general_note(note)
    return description.general_notes


@pytest.mark.parametrize("notes, added, expected", [
    (None, ["A", "B"], {"note_1": "A", "note_2": "B"}),
    ({"note_1": "A", "note_7": "B"}, ["C"], {"note_1": "A", "note_7": "B", "note_8": "C"}),
    ({"notes": "x"}, ["A"], {"notes": "x", "note_1": "A"}),
    ({"note": "x", "note_": "y", "note_1_2": "z", "Note_5": "w"}, ["A"],
     {"note": "x", "note_": "y", "note_1_2": "z", "Note_5": "w", "note_1": "A"}),
    ({"note-4": "x", "note_09": "y"}, ["A"], {"note-4": "x", "note_09": "y", "note_10": "A"}),
    ({"note_٣": "x"}, ["A"], {"note_٣": "x", "note_4": "A"}),   # Arabic-Indic 3 is an integer
    # Numeric but no integer: counted as 0 (they used to make every later text note fail).
    ({"note_½": "x", "note_²": "y", "note_2": "z"}, ["A"], {"note_½": "x", "note_²": "y", "note_2": "z", "note_3": "A"}),
    ({"note_½": "x"}, ["A", "B"], {"note_½": "x", "note_1": "A", "note_2": "B"}),
    ({"note_99999999999999999999": "x"}, ["A"], {"note_99999999999999999999": "x", "note_100000000000000000000": "A"}),
    (None, [{"k1": "x"}, "A", {"k2": "y"}], {"k1": "x", "note_1": "A", "k2": "y"}),
    (None, [5, None, ["A"]], {}),
])
def test_note_numbering(notes, added, expected):
    result = add_all(notes, *added)
    assert result == expected and list(result) == list(expected)


def test_removal_frees_only_the_highest_number():
    description = Desc()
    for text in "ABC":
        description.add_general_note(text)
    description.remove_general_note("note_2")
    description.add_general_note("D")
    assert description.general_notes == {"note_1": "A", "note_3": "C", "note_4": "D"}
    description.remove_general_note("note_4")
    description.remove_general_note("note_3")
    description.remove_general_note("missing")
    description.add_general_note("E")
    assert description.general_notes == {"note_1": "A", "note_2": "E"}
    Desc().remove_general_note("note_1")
    description.remove_general_note("note_1")
    description.remove_general_note("note_2")
    assert description.general_notes == {}


def test_existing_keys_are_kept_and_printed_on_the_current_stdout(capsys):
    description = Desc(general_notes={"k1": "old"})
    stream = io.StringIO()
    with contextlib.redirect_stdout(stream):
        description.add_general_note({"k1": "new", "k2": "y", 3: "z"})
        description.add_general_note({3: "again"})
    assert description.general_notes == {"k1": "old", "k2": "y", 3: "z"}
    assert stream.getvalue() == "Note k1 already exists. Note not added.\nNote 3 already exists. Note not added.\n"
    description.add_general_note("A")   # a key that is no text carries no number
    assert list(description.general_notes)[-1] == "note_1"
    description.add_general_note({"k2": "w"})
    assert capsys.readouterr().out == "Note k2 already exists. Note not added.\n"


class Text(str):
    pass


@pytest.mark.parametrize("key, type_name", [(None, "NoneType"), (1, "int"), (Text("note_1"), "Text")])
def test_note_key_must_be_text(key, type_name):
    description = Desc(general_notes={"note_1": "A"})
    with pytest.raises(TypeError) as err:
        description.remove_general_note(key)
    assert str(err.value) == f"Argument 'note_key' has incorrect type (expected str, got {type_name})"
    assert description.general_notes == {"note_1": "A"}


@pytest.mark.parametrize("notes", [5, ["note_1"], "note_1"])
def test_notes_that_are_no_mapping_raise(notes):
    description = Desc.model_construct(general_notes=notes)
    for note in ["A", {"k": "v"}]:
        with pytest.raises(TypeError):
            description.add_general_note(note)
    assert description.general_notes == notes


def test_note_upkeep_holds_no_references():
    description, text = Desc(), "some note"
    for i in range(50):
        description.add_general_note(text)
    key = "note_51"
    before = sys.getrefcount(text), sys.getrefcount(description)
    for _ in range(200):
        description.add_general_note(text)
        description.remove_general_note(key)
        with contextlib.redirect_stdout(io.StringIO()):
            description.add_general_note({"note_1": text})
    assert (sys.getrefcount(text), sys.getrefcount(description)) == before


# ---------------------------------------------------------------- training metric


def metric(hyperparameters):
    return asyncio.run(DescType.eval_metric(None, Desc.model_construct(hyperparameters=hyperparameters)))


@pytest.mark.parametrize("hyperparameters, expected", [
    (None, "unknown"),
    ({}, "unknown"),
    ({"eta": 0.1}, "unknown"),
    ({"eval_metric": None}, "unknown"),
    ({"eval_metric": "auc"}, "auc"),
    ({"eval_metric": "'auc'"}, "auc"),
    ({"eval_metric": "['auc', 'logloss']"}, "logloss"),
    ({"eval_metric": "None"}, None),
    ({"eval_metric": "auc("}, "auc("),
])
def test_eval_metric(hyperparameters, expected):
    assert metric(hyperparameters) == expected


@pytest.mark.parametrize("value, error, message", [
    ("5", TypeError, "Expected str, got int"),
    (["auc", "logloss"], TypeError, "Expected str, got list"),
    (0.5, TypeError, "Expected str, got float"),
    ("('auc', 'logloss')", TypeError, "Expected str, got tuple"),
    ("[]", IndexError, "list index out of range"),
])
def test_eval_metric_failures(value, error, message):
    with pytest.raises(error) as err:
        metric({"eval_metric": value})
    assert str(err.value) == message


# ---------------------------------------------------------------- records and dumps


def description():
    return Desc.model_validate({
        "predictive_model_name": "pd",
        "predictive_model_created": "2024-01-31",
        "sample_metadata": [{
            "sample_type": "TRAIN", "first_date": "2023-01-01", "last_date": datetime.date(2023, 6, 30),
            "number_of_observations": 10,
            "label_class_frequency": [{"label_class": 1, "number_of_observations": 4}, {"label_class": "bad"},
                                      {"label_class": True}, {"label_class": 0.5}],
        }],
        "attribute_description": {"age": "Age in years", "income": "Monthly income"},
        "hyperparameters": {"eta": 0.1, "max_depth": 100, "eval_metric": "['auc', 'logloss']", "tags": ["a"]},
        "number_of_trainable_parameters": 1234,
        "general_notes": {"note_1": "First", "remark": "Second"},
        "attached_images": [{"type": "roc", "filename": "roc.png", "image": b"\x89PNG"}],
    })


def test_dates_and_dumps_leave_image_bytes_out():
    record = description()
    assert record.predictive_model_created == datetime.date(2024, 1, 31)
    assert record.sample_metadata[0].sample_type is SampleType.TRAIN
    assert record.attached_images[0].image == b"\x89PNG"
    dumped = record.model_dump()
    assert dumped["attached_images"] == [{"type": "roc", "filename": "roc.png"}]
    text = valid_dumps_yaml(record)
    assert "PNG" not in text and "image:" not in text
    loaded = safe_loads_yaml(text)
    assert loaded["predictive_model_created"] == "2024-01-31"
    assert loaded["sample_metadata"][0]["first_date"] == "2023-01-01"
    assert Desc.model_validate(loaded) == record.model_copy(
        update={"attached_images": [AttachedImage(type="roc", filename="roc.png")]})


@pytest.mark.parametrize("data", [
    {"predictive_model_created": "31.01.2024"},
    {"sample_metadata": [{"sample_type": "HOLDOUT"}]},
    {"sample_metadata": [{"label_class_frequency": [{"number_of_observations": 1}]}]},
    {"general_notes": {"note_1": 5}},
    {"attached_images": [{"type": "roc"}]},
])
def test_invalid_descriptions(data):
    with pytest.raises(pydantic.ValidationError):
        Desc.model_validate(data)


def test_records_and_members_pickle_and_copy():
    record = description()
    for value in [record, record.sample_metadata[0], record.sample_metadata[0].label_class_frequency[0],
                  record.attached_images[0], SampleType.TRAIN]:
        assert pickle.loads(pickle.dumps(value)) == value
        assert copy.deepcopy(value) == value
    assert pickle.loads(pickle.dumps(record)).attached_images[0].image == b"\x89PNG"


# ---------------------------------------------------------------- GraphQL


def test_one_query_over_every_view():
    record = description()
    record.hyperparameters["eval_metric"] = "['auc', 'logloss']"
    performance = PredictiveModelPerformance.model_validate({
        "tally": [{"sample": "TEST", "target": "bad", "performance": {"GINI": 0.41, "AUC": 0.705}},
                  {"sample": "OOT", "target": "bad"}],
        "performance_metrics": ["gini", "tar"],
    })

    @strawberry.type
    class Query:
        @strawberry.field
        def description(self) -> DescType:
            return record

        @strawberry.field
        def performance(self) -> PredictiveModelPerformanceType:
            return performance

    schema = strawberry.Schema(query=Query)
    result = asyncio.run(schema.execute("""{
      description {
        predictiveModelName predictiveModelCreated numberOfTrainableParameters
        attachedImages { type filename }
        sampleMetadata { sampleType firstDate lastDate numberOfObservations
                         labelClassFrequency { numberOfObservations labelClass } }
        attributeDescription { attributeName description }
        hyperparameters { name value }
        generalNotes { title content }
        evalMetric
      }
      performance { tally { sample target performance { metric value } } performanceMetrics }
    }"""))
    assert result.errors is None
    assert result.data == {
        "description": {
            "predictiveModelName": "pd", "predictiveModelCreated": "2024-01-31", "numberOfTrainableParameters": 1234,
            "attachedImages": [{"type": "roc", "filename": "roc.png"}],
            "sampleMetadata": [{
                "sampleType": "TRAIN", "firstDate": "2023-01-01", "lastDate": "2023-06-30", "numberOfObservations": 10,
                "labelClassFrequency": [
                    {"numberOfObservations": 4, "labelClass": "1"}, {"numberOfObservations": None, "labelClass": "bad"},
                    {"numberOfObservations": None, "labelClass": "True"},
                    {"numberOfObservations": None, "labelClass": "0.5"}],
            }],
            "attributeDescription": [{"attributeName": "age", "description": "Age in years"},
                                     {"attributeName": "income", "description": "Monthly income"}],
            "hyperparameters": [{"name": "eta", "value": "0.1"}, {"name": "max_depth", "value": "100"},
                                {"name": "eval_metric", "value": "['auc', 'logloss']"},
                                {"name": "tags", "value": "['a']"}],
            "generalNotes": [{"title": "note_1", "content": "First"}, {"title": "remark", "content": "Second"}],
            "evalMetric": "logloss",
        },
        "performance": {
            "tally": [{"sample": "TEST", "target": "bad",
                       "performance": [{"metric": "GINI", "value": 0.41}, {"metric": "AUC", "value": 0.705}]},
                      {"sample": "OOT", "target": "bad", "performance": []}],
            "performanceMetrics": ["GINI", "TAU"],
        },
    }
    printed = str(schema)
    assert "image" not in printed and "enum PerformanceMetrics" in printed and "enum SampleType" in printed
    for field in [DescType.attribute_description, DescType.hyperparameters, DescType.general_notes]:
        assert asyncio.run(field(None, Desc())) == [] == asyncio.run(field(None, Desc(general_notes={})))
