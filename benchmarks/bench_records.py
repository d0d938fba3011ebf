"""Model records next to the same records declared as ordinary Python classes
on the same record base: validation of a bundle-sized description and of a
performance record, the numbering of a text note on a description holding
1,000 notes, and memory over 100,000 builds and dumps.

Run: python benchmarks/bench_records.py
"""
import contextlib
import gc
import io
import timeit
import tracemalloc
from datetime import date
from enum import Enum
from typing import Any, Dict, List, Optional, Union

from pydantic import Field, model_validator

from kelvane_analytics_utils.predictive_models.dossier.dossier import (
    PredictiveModelDescription,
    PredictiveModelDescriptionType,
)
from kelvane_analytics_utils.predictive_models.yardstick.tally import SamplePerformanceType
from kelvane_analytics_utils.predictive_models.yardstick.yardstick import PredictiveModelPerformance
from kelvane_analytics_utils.utils.base_model import BaseModel


# ---------------------------------------------------------------- the same records in Python


class SampleType(str, Enum):
    TRAIN = "TRAIN"
    VALID = "VALID"
    TEST = "TEST"
    OOT = "OOT"
    CV = "CV"


class PerformanceMetrics(str, Enum):
    AUC = "AUC"
    GINI = "GINI"
    LIFT = "LIFT"
    KS = "KS"
    TAU = "TAR"
    RHO = "RHO"
    ACCURACY = "ACCURACY"


class SamplePerformance(BaseModel):
    sample: SampleType
    target: str
    performance: Dict[PerformanceMetrics, float] = {}


class PyPredictiveModelPerformance(BaseModel):
    tally: List[SamplePerformance] = []
    performance_metrics: List[PerformanceMetrics] = []

    @classmethod
    def validate_performance_metric_str(cls, metric: str) -> PerformanceMetrics:
        result = metric.upper()
        if result.startswith("LIFT("):
            result = "LIFT"
        return PerformanceMetrics(result)

    @model_validator(mode="before")
    @classmethod
    def validate_performance_metrics(cls, data: Any) -> Any:
        if "performance_metrics" in data:
            data["performance_metrics"] = [
                m if isinstance(m, PerformanceMetrics) else cls.validate_performance_metric_str(m)
                for m in data["performance_metrics"]
            ]
        return data


class ClassFrequency(BaseModel):
    label_class: Any
    number_of_observations: Optional[int] = None


class SampleDescription(BaseModel):
    sample_type: Optional[SampleType] = None
    first_date: Optional[date] = None
    last_date: Optional[date] = None
    number_of_observations: Optional[int] = None
    label_class_frequency: Optional[List[ClassFrequency]] = None


class AttachedImage(BaseModel):
    type: str
    filename: str
    image: Optional[bytes] = Field(default=None, exclude=True)


class PyPredictiveModelDescription(BaseModel):
    predictive_model_name: Optional[str] = None
    predictive_model_created: Optional[date] = None
    sample_metadata: Optional[List[SampleDescription]] = None
    attribute_description: Optional[Dict[str, str]] = None
    hyperparameters: Optional[Dict[str, Any]] = None
    number_of_trainable_parameters: Optional[int] = None
    general_notes: Optional[Dict[str, str]] = None
    attached_images: Optional[List[AttachedImage]] = None

    def add_general_note(self, note: Union[Dict, str]) -> None:
        if self.general_notes is None:
            self.general_notes = {}
        if isinstance(note, dict):
            for key in note:
                if key in self.general_notes:
                    print(f"Note {key} already exists. Note not added.")
                else:
                    self.general_notes[key] = note[key]
        if isinstance(note, str):
            numbers = []
            for key in self.general_notes:
                if key[:4] == "note":
                    part = key[5:]
                    numbers.append(int(part) if part.isnumeric() else 0)
            last = max(numbers) if numbers else 0
            self.general_notes["note_{}".format(last + 1)] = note


# ---------------------------------------------------------------- inputs


def description_data():
    return {
        "predictive_model_name": "probability of default",
        "predictive_model_created": "2024-01-31",
        "sample_metadata": [
            {"sample_type": t, "first_date": "2023-01-01", "last_date": "2023-06-30", "number_of_observations": 1000,
             "label_class_frequency": [{"label_class": 0, "number_of_observations": 900},
                                       {"label_class": 1, "number_of_observations": 100}]}
            for t in ["TRAIN", "VALID", "TEST", "OOT", "CV"]
        ],
        "attribute_description": {f"attribute_{i}": f"Description of attribute {i}" for i in range(50)},
        "hyperparameters": {f"parameter_{i}": i * 0.5 for i in range(29)} | {"eval_metric": "['auc', 'logloss']"},
        "number_of_trainable_parameters": 12345,
        "general_notes": {f"note_{i}": f"Note number {i}" for i in range(1, 21)},
        "attached_images": [{"type": "chart", "filename": f"image_{i}.png", "image": b"\x89PNG" * 100}
                            for i in range(3)],
    }


def performance_data():
    return {
        "tally": [{"sample": t, "target": "default_12m",
                   "performance": {m: 0.5 for m in ["AUC", "GINI", "LIFT", "KS", "TAR", "RHO", "ACCURACY"]}}
                  for t in ["TRAIN", "VALID", "TEST", "OOT", "CV"]],
        "performance_metrics": ["gini", "Lift(10)", "ks", "tar", "auc", "rho", "accuracy"],
    }


def row(label, cpp, py, number, repeat=61):
    # The two sides take turns, and the best turn of each counts: the machine
    # is shared, and a slow spell then hits both sides alike.
    best_cpp = best_py = float("inf")
    for _ in range(repeat):
        best_cpp = min(best_cpp, timeit.timeit(cpp, number=number))
        best_py = min(best_py, timeit.timeit(py, number=number))
    c, p = best_cpp / number * 1e6, best_py / number * 1e6
    print(f"{label:48} {c:10.2f} {p:12.2f} {p / c:8.2f}")


def validation():
    print(f"{'operation':48} {'C++ (us)':>10} {'Python (us)':>12} {'speed-up':>8}")
    description = description_data()   # validation leaves its input as it is
    row("model_validate: description",
        lambda: PredictiveModelDescription.model_validate(description),
        lambda: PyPredictiveModelDescription.model_validate(description), 100)
    # The before-validator replaces the metric list in its input: each call
    # gets a new outer mapping holding the texts.
    performance = performance_data()
    texts = performance.pop("performance_metrics")
    row("model_validate: performance 5 samples x 7",
        lambda: PredictiveModelPerformance.model_validate({**performance, "performance_metrics": texts}),
        lambda: PyPredictiveModelPerformance.model_validate({**performance, "performance_metrics": texts}), 200)


def note_numbering():
    def holding(cls):
        d = cls()
        for i in range(1000):
            d.add_general_note(f"Note number {i}")
        return d

    cpp, py = holding(PredictiveModelDescription), holding(PyPredictiveModelDescription)
    assert cpp.general_notes == py.general_notes

    # One text note added on 1,000 notes, then dropped again (popitem) so
    # that every call sees 1,000 notes.
    def add(d):
        d.add_general_note("one more")
        d.general_notes.popitem()

    row("add_general_note on 1,000 notes", lambda: add(cpp), lambda: add(py), 50)


def memory():
    view = PredictiveModelDescriptionType
    performance_view = SamplePerformanceType

    def work(rounds=100_000):
        small = {"predictive_model_name": "m", "predictive_model_created": "2024-01-31",
                 "sample_metadata": [{"sample_type": "TRAIN", "label_class_frequency": [{"label_class": 1}]}],
                 "hyperparameters": {"eval_metric": "['auc', 'logloss']"},
                 "attached_images": [{"type": "chart", "filename": "a.png", "image": b"x"}]}
        for i in range(rounds):
            d = PredictiveModelDescription.model_validate(small)
            d.add_general_note("text")
            if i % 1000 == 0:
                d.add_general_note({"note_1": "again", "k": "v"})   # prints the notice
            d.remove_general_note("note_1")
            d.model_dump()
            p = PredictiveModelPerformance.model_validate(
                {"tally": [{"sample": "TEST", "target": "t", "performance": {"GINI": 0.4}}],
                 "performance_metrics": ["lift(10)", "tar"]})
            p.model_dump()
            for coroutine in (view.eval_metric(None, d), view.general_notes(None, d),
                              performance_view.performance(None, p.tally[0])):
                try:
                    coroutine.send(None)
                except StopIteration:
                    pass

    def quiet(rounds=100_000):
        # The notices go to a stream dropped after each round.
        with contextlib.redirect_stdout(io.StringIO()):
            work(rounds)
        gc.collect()

    quiet(1000)
    tracemalloc.start()
    base = tracemalloc.get_traced_memory()[0]
    held = []
    for _ in range(3):
        quiet()
        held.append(tracemalloc.get_traced_memory()[0] - base)
    tracemalloc.stop()
    print()
    print("100,000 descriptions and performance records built, changed, dumped and viewed, three rounds:")
    print("  memory still held after each round (bytes):", ", ".join(f"{r:,}" for r in held))


if __name__ == "__main__":
    validation()
    note_numbering()
    memory()
