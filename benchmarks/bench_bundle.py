"""The road of a large bundle through storage, the bundle's own validator, and the import of the module.

The bundle: 200 attributes, 50 transformations, 200 binnings of 10 bins (8 regular, null, default; 20 of them
categorical), 20 dummy encodings, a full description (3 samples, 200 attribute descriptions, hyperparameters,
5 notes, 2 images), 3 performance samples, 4 monitoring binnings and an output binning, and a 300-tree XGBoost
document (the trees of tests/data/xgb_plain.json repeated).

Tables:
  1. get_content -> save_to_zip -> load_from_zip -> parse_from_content: the package's methods next to the same
     steps written in plain Python (calling the same dump functions and the same content class), each step timed
     on its own, and the part of each step spent in the libraries it calls (pydantic, ruamel.yaml, json, zipfile)
     measured by doing just those library calls on the same data; the rest is this package's own code.
  2. Construction and model_validate of the bundle, and preprocess_attributes alone (the C++ validator and the
     same check in plain Python): the validator's share of the record base's validation.
  3. import of the module in a fresh interpreter, next to importing its outside dependencies alone.

Run: python benchmarks/bench_bundle.py

Where the two columns of a step are within the machine's noise, count instructions instead: the step run
REPS times (after everything is built) by either side, e.g.
    valgrind --tool=callgrind --callgrind-out-file=/dev/null python benchmarks/bench_bundle.py \
        --only parse_from_content package 3
and the same with 0 repetitions; the difference is the cost of REPS calls.
"""
import json
import math
import statistics
import subprocess
import sys
import time
import zipfile
from datetime import date
from io import BytesIO, StringIO
from pathlib import Path

from ruamel.yaml import YAML
from ruamel.yaml.representer import SafeRepresenter

from kelvane_analytics_utils.predictive_models.content import ExtendedPredictiveModelContent
from kelvane_analytics_utils.predictive_models.preparation.preparation import AttributePreprocessing
from kelvane_analytics_utils.predictive_models.scorebundle import ExtendedPredictiveModel, PredictiveModelType
from kelvane_analytics_utils.utils.dump import safe_dumps_json, safe_loads_yaml, valid_dumps_yaml

DATA = Path(__file__).resolve().parent.parent / "tests" / "data"
M = ExtendedPredictiveModel


# ------------------------------------------------------------ the bundle


def xgb_document(n_trees=300):
    doc = json.loads((DATA / "xgb_plain.json").read_text())
    model = doc["learner"]["gradient_booster"]["model"]
    trees = model["trees"]
    model["trees"] = [dict(trees[i % len(trees)], id=i) for i in range(n_trees)]
    model["tree_info"] = [0] * n_trees
    model["iteration_indptr"] = list(range(n_trees + 1))
    model["gbtree_model_param"]["num_trees"] = str(n_trees)
    doc["learner"]["attributes"] = {"best_iteration": str(n_trees - 4), "best_score": "0.7412"}
    return doc


def bundle_input(n_attributes=200, n_trees=300):
    """The bundle described above (200 attributes); smaller ones keep a quarter of the attributes transformed."""
    attributes = [f"a{i}" for i in range(n_attributes)]
    n_transformed = n_attributes // 4
    transformations = [{"attribute": f"a{i}", "transformation": f"log(a{i} + 1)", "transformed_attribute_name": f"t{i}"}
                       for i in range(n_transformed)]
    definitions = {}
    for i, name in enumerate([f"t{i}" for i in range(n_transformed)] + attributes[n_transformed:]):
        if i % 10 == 9:
            definitions[name] = {"dtype": "CATEGORICAL", "bins": [[f"c{k}", f"d{k}"] for k in range(8)],
                          "bin_vals": [k / 8 for k in range(8)], "default": 0.5}
        else:
            definitions[name] = {"dtype": "NUMERICAL", "bins": [-math.inf] + [k * 10.0 for k in range(7)] + [math.inf],
                          "bin_vals": [k / 10 for k in range(8)], "bin_frequencies": [0.125] * 8,
                          "binned_attribute_name": f"{name}_bin", "null_val": 0.0}
    binning = [b.model_dump() for b in AttributePreprocessing.add_discretisation(definitions)]
    dummy = [{"attribute": f"a{i}", "encoding": [{"value": f"v{k}", "encoded_feature_name": f"a{i}_v{k}",
                                                   "use_for_undefined": k == 0} for k in range(5)]}
             for i in range(n_attributes // 2, n_attributes // 2 + n_attributes // 10)]
    monitoring = [b.model_dump() for b in AttributePreprocessing.add_discretisation(
        {f"a{i}": {"dtype": "NUMERICAL", "bins": [-math.inf, 0.0, 10.0, 20.0, math.inf]} for i in range(4)})]
    samples = [{"sample_type": kind, "first_date": date(2024, 1, 1), "last_date": date(2024, 12, 31),
                "number_of_observations": 10000, "label_class_frequency": [
                    {"label_class": 0, "number_of_observations": 9000}, {"label_class": 1, "number_of_observations": 1000}]}
               for kind in ("TRAIN", "VALID", "OOT")]
    return {
        "attributes": attributes, "predictive_model_type": "XGB", "target": "default", "target_class": "1",
        "preparation": {"transformations": transformations, "binning": binning, "dummy_encoding": dummy},
        "description": {
            "predictive_model_name": "large bundle", "predictive_model_created": date(2026, 1, 1),
            "sample_metadata": samples, "attribute_description": {a: f"description of {a}" for a in attributes},
            "hyperparameters": {"max_depth": 6, "eta": 0.05, "n_estimators": 300, "eval_metric": "auc",
                                "subsample": 0.8, "colsample_bytree": 0.7},
            "number_of_trainable_parameters": 12345,
            "general_notes": {f"note_{k}": f"note number {k}" for k in range(1, 6)},
            "attached_images": [{"type": "roc", "filename": "roc.png", "image": bytes(range(256)) * 40},
                                {"type": "lift", "filename": "lift.png", "image": bytes(range(256)) * 40}]},
        "performance": {"tally": [{"sample": s, "target": "default",
                                   "performance": {"GINI": 0.5, "AUC": 0.75, "KS": 0.4, "LIFT": 3.1}}
                                  for s in ("TRAIN", "VALID", "OOT")], "performance_metrics": ["gini", "auc"]},
        "monitoring": {"binning": monitoring, "predictive_model_output_binning": monitoring[0]},
        "directory_name": "large_bundle",
        "external_model": {"feature_names": attributes, "xgb_model": xgb_document(n_trees)},
    }


# ------------------------------------------------------------ the same steps in plain Python


def py_get_content(m):
    yaml = StringIO(valid_dumps_yaml(m))
    images = {}
    if m.description.attached_images is not None:
        for image in m.description.attached_images:
            if image.image is not None:
                images[image.filename] = BytesIO(image.image)
    if m.predictive_model_type == PredictiveModelType.PMML:
        stream = StringIO(m.external_model["pmml_model"])
        json_slot, pmml_slot = None, stream
    else:
        stream = StringIO(safe_dumps_json(m.external_model))
        json_slot, pmml_slot = stream, None
    return ExtendedPredictiveModelContent(scorebundle_yaml=yaml, external_model_json=json_slot,
                                          external_model_pmml=pmml_slot, attached_images=images)


def py_zip_add(archive, buffer, name):
    if isinstance(buffer, StringIO):
        buffer.seek(0)
        buffer = BytesIO(buffer.read().encode())
    buffer.seek(0, 2)
    buffer.seek(0)
    archive.writestr(name, buffer.getvalue())


def py_save_to_zip(content, pmml_filename=None):
    out = BytesIO()
    with zipfile.ZipFile(file=out, mode="w", compression=zipfile.ZIP_DEFLATED) as zf:
        py_zip_add(zf, content.scorebundle_yaml, "extended_model.yaml")
        if content.external_model_json is not None:
            py_zip_add(zf, content.external_model_json, "external_model.json")
        if content.external_model_pmml is not None:
            py_zip_add(zf, content.external_model_pmml, pmml_filename or "external_model.pmml")
        for key in content.attached_images:
            py_zip_add(zf, content.attached_images[key], key)
    return out


def py_load_from_zip(zip_content):
    zip_content.seek(0)
    zip_file = zipfile.ZipFile(file=zip_content, mode="r")
    yaml = json_stream = pmml = None
    images = {}
    for member in zip_file.namelist():
        if member.endswith("/"):
            continue
        byte_str = zip_file.read(member)
        if member.endswith("extended_model.yaml"):
            yaml = StringIO(byte_str.decode())
        elif member.endswith("external_model.json"):
            json_stream = StringIO(byte_str.decode())
        elif member.endswith(".pmml"):
            pmml = StringIO(byte_str.decode())
        else:
            image = BytesIO()
            image.write(byte_str)
            images[member.split("/")[-1]] = image
    return ExtendedPredictiveModelContent(scorebundle_yaml=yaml, external_model_json=json_stream,
                                          external_model_pmml=pmml, attached_images=images)


def py_parse_from_content(cls, content):
    content.scorebundle_yaml.seek(0)
    data = safe_loads_yaml(content.scorebundle_yaml.read())
    if content.external_model_json is not None:
        content.external_model_json.seek(0)
        data["external_model"] = json.load(content.external_model_json)
    elif content.external_model_pmml is not None:
        content.external_model_pmml.seek(0)
        data["external_model"] = {"type": PredictiveModelType.PMML, "pmml_model": content.external_model_pmml.read()}
    obj = cls.model_validate(data)
    if obj.description.attached_images is not None:
        for image in obj.description.attached_images:
            image.image = content.attached_images[image.filename].getvalue()
    if obj.predictive_model_type == PredictiveModelType.EXPERT_SCORE and not obj.get_external_model_feature_names():
        obj.external_model["feature_names"] = obj.attributes
    if obj.description.predictive_model_name is None:
        obj.description.predictive_model_name = obj.directory_name
    return obj


def py_preprocess_attributes(m):
    attributes = m.attributes
    unknown = set(m.preparation.get_all_transformation_attributes()) - set(attributes)
    if unknown:
        raise ValueError(f"Transformation defined for unknown attributes: {unknown}. "
                         f"Model attributes are {set(attributes)}.")
    after = attributes + m.preparation.get_attributes_created_in_transformations()
    unknown = set(m.preparation.get_all_binning_attributes()) - set(after)
    if unknown:
        raise ValueError(f"Binning defined for unknown attributes: {unknown}. Model attributes are {set(attributes)}.")
    return m


# ------------------------------------------------------------ the libraries' share


class PlainRepresenter(SafeRepresenter):
    pass


def yaml_dump_plain(data):
    """The YAML library alone: the same text from already plain data (no filtering, no conversion)."""
    y = YAML()
    y.default_flow_style = False
    y.width = 120
    y.Representer = PlainRepresenter
    out = StringIO()
    y.dump(data, out)
    return out.getvalue()


def lib_get_content(m, plain):
    # the record base's dump, the YAML library's output of the plain data, the JSON library's text of the model
    m.model_dump(exclude_defaults=True)
    yaml_dump_plain(plain)
    json.dumps(m.external_model, indent=2)


def lib_save_to_zip(members):
    out = BytesIO()
    with zipfile.ZipFile(out, "w", compression=zipfile.ZIP_DEFLATED) as zf:
        for name, data in members:
            zf.writestr(name, data)


def lib_load_from_zip(archive):
    zf = zipfile.ZipFile(BytesIO(archive))
    for name in zf.namelist():
        zf.read(name)


def lib_parse_from_content(yaml_text, json_text, data):
    YAML(typ="safe").load(yaml_text)
    json.loads(json_text)
    M.model_validate(data)


# ------------------------------------------------------------ timing


def sample(fn, min_time=0.05):
    """CPU seconds per call over a loop of at least min_time (one call for slow steps). CPU time rather than
    wall time: the machine is shared, and waiting for a core is not the step's cost."""
    n, start = 0, time.process_time()
    while True:
        fn()
        n += 1
        elapsed = time.process_time() - start
        if elapsed >= min_time:
            return elapsed / n


def timed(fn, rounds=5):
    """Best of `rounds` samples: other processes on the machine only ever add time."""
    return min(sample(fn) for _ in range(rounds))


def side_by_side(rows, rounds=5):
    """Samples the functions of each row alternately, so that all meet the same load; best of each."""
    best = {}
    for name, *fns in rows:
        best[name] = [math.inf] * len(fns)
        for _ in range(rounds):
            for i, fn in enumerate(fns):
                best[name][i] = min(best[name][i], sample(fn))
    return best


def ms(t):
    return f"{t * 1e3:9.3f}"


def own(total, library):
    """The package's own share; "~0" when the library calls alone took as long (within the noise)."""
    return ms(total - library) if total > library else "~0"


def fresh_import(statement, runs=7):
    code = f"import time; t = time.process_time(); {statement}; print(time.process_time() - t)"
    times = [float(subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout)
           for _ in range(runs)]
    return statistics.median(times), min(times)


def main():
    data = bundle_input()
    m = M.model_validate(data)
    content = m.get_content()
    archive = content.save_to_zip()
    loaded = ExtendedPredictiveModelContent.load_from_zip(archive)
    assert M.parse_from_content(loaded) == m == py_parse_from_content(M, py_load_from_zip(py_save_to_zip(py_get_content(m))))
    yaml_text, json_text = content.scorebundle_yaml.getvalue(), content.external_model_json.getvalue()
    members = [("extended_model.yaml", yaml_text.encode()), ("external_model.json", json_text.encode())] + [
        (k, v.getvalue()) for k, v in content.attached_images.items()]
    plain = safe_loads_yaml(yaml_text)
    assert yaml_dump_plain(plain) == yaml_text, "the plain representer must write the same text"
    parsed = dict(plain, external_model=json.loads(json_text))

    print(f"bundle: YAML {len(yaml_text) / 1e3:.0f} kB, external model JSON {len(json_text) / 1e3:.0f} kB, "
          f"zip {len(archive.getvalue()) / 1e3:.0f} kB, "
          f"{len(m.preparation.binning)} binnings of {len(m.preparation.binning[0].discretisation)} bins")
    print()
    rows = [   # the package's method, the same steps in plain Python, the library calls alone
        ("get_content", m.get_content, lambda: py_get_content(m), lambda: lib_get_content(m, plain)),
        ("save_to_zip", content.save_to_zip, lambda: py_save_to_zip(content), lambda: lib_save_to_zip(members)),
        ("load_from_zip", lambda: ExtendedPredictiveModelContent.load_from_zip(archive),
         lambda: py_load_from_zip(archive), lambda: lib_load_from_zip(archive.getvalue())),
        ("parse_from_content", lambda: M.parse_from_content(loaded), lambda: py_parse_from_content(M, loaded),
         lambda: lib_parse_from_content(yaml_text, json_text, parsed)),
    ]
    print(f"{'step (ms per call)':<20}{'package':>10}{'plain Py':>10}{'ratio':>8}{'libraries':>11}{'own code':>10}")
    total = [0.0, 0.0, 0.0]
    for name, (ours, python, lib) in side_by_side(rows).items():
        total = [total[0] + ours, total[1] + python, total[2] + lib]
        print(f"{name:<20}{ms(ours):>10}{ms(python):>10}{ours / python:>8.2f}{ms(lib):>11}{own(ours, lib):>10}")
    print(f"{'whole road':<20}{ms(total[0]):>10}{ms(total[1]):>10}{total[0] / total[1]:>8.2f}{ms(total[2]):>11}"
          f"{own(total[0], total[2]):>10}")
    print("libraries: pydantic dump/validation, ruamel.yaml emit/load of the plain data, json, zipfile on the same"
          " members;\nown code: the rest (the dump module's filtering and conversion, the content and bundle methods)")

    print()
    records = {k: getattr(m, k) for k in type(m).model_fields}
    validate = timed(lambda: M.model_validate(data))
    construct = timed(lambda: M(**data))
    from_records = timed(lambda: M(**records))
    validator = timed(m.preprocess_attributes)
    py_validator = timed(lambda: py_preprocess_attributes(m))
    print(f"{'validation (ms per call)':<40}{'time':>10}{'validator share':>17}")
    print(f"{'model_validate(mapping)':<40}{ms(validate):>10}{validator / (validate - validator):>16.2%}")
    print(f"{'ExtendedPredictiveModel(**mapping)':<40}{ms(construct):>10}{validator / (construct - validator):>16.2%}")
    # Nested records that are already built are taken as they are (no revalidation): the record base has
    # almost nothing left to do, and the check of 500 names is then most of the call.
    print(f"{'ExtendedPredictiveModel(**built records)':<40}{ms(from_records):>10}"
          f"{validator / (from_records - validator):>16.2%}")
    print(f"{'preprocess_attributes (C++)':<40}{ms(validator):>10}")
    print(f"{'preprocess_attributes (plain Python)':<40}{ms(py_validator):>10}")

    print()
    deps = "import pydantic, strawberry, strawberry.experimental.pydantic, ruamel.yaml, structlog, typing_extensions"
    for label, statement in [("outside dependencies alone", deps),
                             ("scorebundle", "import kelvane_analytics_utils.predictive_models.scorebundle")]:
        median, best_run = fresh_import(statement)
        print(f"import {label:<30} median {median * 1e3:7.1f} ms   best {best_run * 1e3:7.1f} ms (CPU)")


def only(step, side, reps):
    """Builds everything, then runs one step `reps` times (for instruction counts under callgrind)."""
    m = M.model_validate(bundle_input(40, 60))
    content = m.get_content()
    archive = content.save_to_zip()
    loaded = ExtendedPredictiveModelContent.load_from_zip(archive)
    steps = {
        "get_content": (m.get_content, lambda: py_get_content(m)),
        "save_to_zip": (content.save_to_zip, lambda: py_save_to_zip(content)),
        "load_from_zip": (lambda: ExtendedPredictiveModelContent.load_from_zip(archive),
                          lambda: py_load_from_zip(archive)),
        "parse_from_content": (lambda: M.parse_from_content(loaded), lambda: py_parse_from_content(M, loaded)),
    }
    fn = steps[step][0 if side == "package" else 1]
    for _ in range(reps):
        fn()


if __name__ == "__main__":
    if len(sys.argv) == 5 and sys.argv[1] == "--only":
        only(sys.argv[2], sys.argv[3], int(sys.argv[4]))
    else:
        main()
