"""Sample and model descriptions: general notes and their numbering, the
training metric, dumps without image bytes, and one GraphQL query over every
view of the description and performance modules."""
import asyncio
import contextlib
import copy
import gc
import io
import pickle
import sys
from datetime import date

import pydantic
import pytest
import strawberry

from kelvane_analytics_utils.predictive_models.dossier import census, dossier
from kelvane_analytics_utils.predictive_models.dossier.dossier import (
    PredictiveModelDescription as Desc,
    PredictiveModelDescriptionType as DescType,
)
from kelvane_analytics_utils.predictive_models.yardstick.yardstick import (
    PredictiveModelPerformance,
    PredictiveModelPerformanceType,
)
from kelvane_analytics_utils.utils.dump import safe_loads_yaml, valid_dumps_yaml


def test_declarations():
    assert [n for n in vars(dossier) if not n.startswith("__")] == [
        "ast", "Optional", "List", "Dict", "Any", "Union", "date", "Field", "strawberry", "SampleDescription",
        "SampleDescriptionType", "BaseModel", "AttachedImage", "AttachedImageType", "PredictiveModelDescription",
        "AttributeDescriptionType", "HyperparameterType", "GeneralNoteType", "PredictiveModelDescriptionType"]
    assert list(Desc.__annotations__.values()) == [
        "Optional[str]", "Optional[date]", "Optional[List[SampleDescription]]", "Optional[Dict[str, str]]",
        "Optional[Dict[str, Any]]", "Optional[int]", "Optional[Dict[str, str]]", "Optional[List[AttachedImage]]"]
    assert list(census.SampleDescription().model_dump()) == [
        "sample_type", "first_date", "last_date", "number_of_observations", "label_class_frequency"]


# ---------------------------------------------------------------- general notes


@pytest.mark.parametrize("notes, added, expected", [
    (None, ["A", "B"], {"note_1": "A", "note_2": "B"}),
    ({"note_1": "A", "note_7": "B"}, ["C"], {"note_8": "C"}),
    ({"notes": "x", "note": "x", "note_": "x", "note_1_2": "x", "Note_5": "x"}, ["A"], {"note_1": "A"}),
    ({"note_٣": "x", "note-09": "x"}, ["A"], {"note_10": "A"}),   # Arabic-Indic 3 is an integer
    # Numeric but no integer: counted as 0 (they used to make every later text note fail).
    ({"note_½": "x", "note_²": "x", "note_2": "x"}, ["A"], {"note_3": "A"}),
    ({"note_½": "x"}, ["A", "B"], {"note_1": "A", "note_2": "B"}),
    (None, [{"k1": "x"}, "A", {"k2": "y"}], {"k1": "x", "note_1": "A", "k2": "y"}),
    (None, [5, None, ["A"]], {}),
])
def test_note_numbering(notes, added, expected):
    description = Desc(general_notes=notes)
    for note in added:
        description.add_general_note(note)
    assert list(description.general_notes.items())[len(notes or {}):] == list(expected.items())   # the added ones


def test_removal_frees_only_the_highest_number():
    description = Desc()
    for text in "ABC":
        description.add_general_note(text)
    description.remove_general_note("note_2")
    description.remove_general_note("missing")
    description.add_general_note("D")
    assert description.general_notes == {"note_1": "A", "note_3": "C", "note_4": "D"}
    for key in ["note_3", "note_4", "note_1"]:
        description.remove_general_note(key)
    assert description.general_notes == {}
    Desc().remove_general_note("note_1")


def test_existing_keys_are_kept_and_printed_on_the_current_stdout(capsys):
    description = Desc(general_notes={"k1": "old"})
    stream = io.StringIO()
    with contextlib.redirect_stdout(stream):
        description.add_general_note({"k1": "new", "k2": "y", 3: "z"})
        description.add_general_note({3: "again"})
    assert description.general_notes == {"k1": "old", "k2": "y", 3: "z"}
    assert stream.getvalue() == "Note k1 already exists. Note not added.\nNote 3 already exists. Note not added.\n"
    description.add_general_note("A")   # a key that is no text carries no number
    description.add_general_note({"k2": "w"})
    assert list(description.general_notes)[-1] == "note_1"
    assert capsys.readouterr().out == "Note k2 already exists. Note not added.\n"


class Text(str):
    pass


@pytest.mark.parametrize("key, type_name", [(None, "NoneType"), (1, "int"), (Text("note_1"), "Text")])
def test_note_key_must_be_text(key, type_name):
    description = Desc(general_notes={"note_1": "A"})
    with pytest.raises(TypeError, match=rf"^Argument 'note_key' has incorrect type \(expected str, got {type_name}\)$"):
        description.remove_general_note(key)
    assert description.general_notes == {"note_1": "A"}


@pytest.mark.parametrize("notes", [5, ["note_1"], "note_1"])
def test_notes_that_are_no_mapping_raise(notes):
    description = Desc.model_construct(general_notes=notes)
    for note in ["A", {"k": "v"}]:
        pytest.raises(TypeError, description.add_general_note, note)
    assert description.general_notes == notes


def test_note_upkeep_holds_no_references():
    description, text = Desc(), "some note"
    for _ in range(50):
        description.add_general_note(text)
    gc.collect()
    before = sys.getrefcount(text), sys.getrefcount(description)
    for _ in range(200):
        description.add_general_note(text)
        description.remove_general_note("note_51")
        with contextlib.redirect_stdout(io.StringIO()):
            description.add_general_note({"note_1": text})
    assert (sys.getrefcount(text), sys.getrefcount(description)) == before


# ---------------------------------------------------------------- training metric


@pytest.mark.parametrize("hyperparameters, expected", [
    (None, "unknown"),
    ({}, "unknown"),
    ({"eval_metric": None}, "unknown"),
    ({"eval_metric": "auc"}, "auc"),
    ({"eval_metric": "'auc'"}, "auc"),
    ({"eval_metric": "['auc', 'logloss']"}, "logloss"),
    ({"eval_metric": "None"}, None),
    ({"eval_metric": "auc("}, "auc("),
    ({"eval_metric": "5"}, TypeError("Expected str, got int")),
    ({"eval_metric": ["auc", "logloss"]}, TypeError("Expected str, got list")),
    ({"eval_metric": "('auc',)"}, TypeError("Expected str, got tuple")),
    ({"eval_metric": "[]"}, IndexError("list index out of range")),
])
def test_eval_metric(hyperparameters, expected):
    resolve = DescType.eval_metric(None, Desc.model_construct(hyperparameters=hyperparameters))
    if isinstance(expected, Exception):
        with pytest.raises(type(expected), match=rf"^{expected}$"):
            asyncio.run(resolve)
    else:
        assert asyncio.run(resolve) == expected


# ---------------------------------------------------------------- records and dumps


def description():
    return Desc.model_validate({
        "predictive_model_name": "pd",
        "predictive_model_created": "2024-01-31",
        "sample_metadata": [{
            "sample_type": "TRAIN", "first_date": "2023-01-01", "last_date": date(2023, 6, 30),
            "number_of_observations": 10,
            "label_class_frequency": [{"label_class": 1, "number_of_observations": 4}, {"label_class": "bad"},
                                      {"label_class": True}],
        }],
        "attribute_description": {"age": "Age in years"},
        "hyperparameters": {"max_depth": 100, "tags": ["a"], "eval_metric": "['auc', 'logloss']"},
        "number_of_trainable_parameters": 1234,
        "general_notes": {"note_1": "First", "remark": "Second"},
        "attached_images": [{"type": "roc", "filename": "roc.png", "image": b"\x89PNG"}],
    })


def test_dumps_leave_image_bytes_out_and_records_pickle():
    record = description()
    assert record.predictive_model_created == date(2024, 1, 31) and record.attached_images[0].image == b"\x89PNG"
    assert record.model_dump()["attached_images"] == [{"type": "roc", "filename": "roc.png"}]
    text = valid_dumps_yaml(record)
    assert "PNG" not in text and "image:" not in text
    loaded = safe_loads_yaml(text)
    assert loaded["predictive_model_created"] == "2024-01-31"
    assert loaded["sample_metadata"][0]["first_date"] == "2023-01-01"
    for value in [record, record.sample_metadata[0], record.sample_metadata[0].label_class_frequency[0],
                  record.sample_metadata[0].sample_type]:
        assert pickle.loads(pickle.dumps(value)) == value == copy.deepcopy(value)
    assert pickle.loads(pickle.dumps(record)).attached_images[0].image == b"\x89PNG"
    record.attached_images[0].image = None
    assert Desc.model_validate(loaded) == record


@pytest.mark.parametrize("data", [{"predictive_model_created": "31.01.2024"},
                                  {"sample_metadata": [{"sample_type": "HOLDOUT"}]},
                                  {"sample_metadata": [{"label_class_frequency": [{"number_of_observations": 1}]}]}])
def test_invalid_descriptions(data):
    with pytest.raises(pydantic.ValidationError):
        Desc.model_validate(data)


# ---------------------------------------------------------------- GraphQL


def test_one_query_over_every_view():
    performance = PredictiveModelPerformance.model_validate({
        "tally": [{"sample": "TEST", "target": "bad", "performance": {"GINI": 0.41, "AUC": 0.705}},
                  {"sample": "OOT", "target": "bad"}],
        "performance_metrics": ["gini", "tar"],
    })

    @strawberry.type
    class Query:
        description: DescType
        performance: PredictiveModelPerformanceType

    schema = strawberry.Schema(query=Query)
    result = asyncio.run(schema.execute("""{
      description {
        predictiveModelName predictiveModelCreated numberOfTrainableParameters attachedImages { type filename }
        sampleMetadata { sampleType firstDate lastDate numberOfObservations
                         labelClassFrequency { numberOfObservations labelClass } }
        attributeDescription { attributeName description } hyperparameters { name value }
        generalNotes { title content } evalMetric
      }
      performance { tally { sample target performance { metric value } } performanceMetrics }
    }""", root_value=Query(description=description(), performance=performance)))
    assert result.errors is None
    assert result.data == {
        "description": {
            "predictiveModelName": "pd", "predictiveModelCreated": "2024-01-31", "numberOfTrainableParameters": 1234,
            "attachedImages": [{"type": "roc", "filename": "roc.png"}],
            "sampleMetadata": [{
                "sampleType": "TRAIN", "firstDate": "2023-01-01", "lastDate": "2023-06-30", "numberOfObservations": 10,
                "labelClassFrequency": [{"numberOfObservations": 4, "labelClass": "1"},
                                        {"numberOfObservations": None, "labelClass": "bad"},
                                        {"numberOfObservations": None, "labelClass": "True"}],
            }],
            "attributeDescription": [{"attributeName": "age", "description": "Age in years"}],
            "hyperparameters": [{"name": "max_depth", "value": "100"}, {"name": "tags", "value": "['a']"},
                                {"name": "eval_metric", "value": "['auc', 'logloss']"}],
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
    assert "image" not in str(schema)
    for field in [DescType.attribute_description, DescType.hyperparameters, DescType.general_notes]:
        assert asyncio.run(field(None, Desc())) == []
