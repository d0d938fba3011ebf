"""The binning, monitoring, preprocessing, dummy-encoding, parsing and output
rules, and XGBoost's tree walk, written out in plain Python, over the same
records as the C++ modules: what the modules must answer, raise and log, value
for value, hostile input included. The tests and the fuzz suite compare the modules with them; the
benchmarks time them next to the modules (they import this file through
sys.path)."""
import ctypes
import ctypes.util
import math

import numpy as np
import structlog

from kelvane_analytics_utils.predictive_models.preparation.discretisation import (
    AttributeBinCategorical,
    AttributeBinNumerical,
    AttributeDataType,
    PredictiveModelBinName as BinName,
)

logger = structlog.get_logger(__name__)

# Enum members, so that `name in RESERVED` and `BinName.NULL == name` compare
# with the member's str equality first, as the modules do.
RESERVED = (BinName.DEFAULT, BinName.DEFINED_DEFAULT, BinName.SYSTEM_DEFAULT, BinName.NULL)
DEFAULTS = RESERVED[:3]
HIT = "Predictive model hit default value when processing binning of attribute '{}' with value '{}'."


def bad_argument(name, value, expected):
    raise TypeError("Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"
                    % (name, expected.__name__, type(value).__name__))


def float_result(r):
    if r is not None and type(r) is not float:
        raise TypeError("Expected float, got %.200s" % type(r).__name__)
    return r


# ------------------------------------------------------------ number formatting (bin names)


def number_formatting(number):
    if number == -math.inf:
        return "-inf"
    if number == math.inf:
        return "inf"
    if number.is_integer():
        return str(int(number))
    if number * 100 > 1:
        return "{:.3f}".format(number)
    return "{:.2E}".format(number)


# ------------------------------------------------------------ assignment (AttributeBinning)


def default_value(binning, shown):
    for b in binning.discretisation:
        name = b.name
        if name in DEFAULTS:
            if BinName.DEFINED_DEFAULT == name:
                logger.debug(HIT.format(binning.attribute, shown))
            else:
                logger.warning(HIT.format(binning.attribute, shown))
            return float_result(b.value)
    return None


def bin_numeric(binning, value):
    value = float("nan") if value is None else float(value)
    if math.isnan(value):
        for b in binning.discretisation:
            if BinName.NULL == b.name:
                return float_result(b.value)
    else:
        for b in binning.discretisation:
            if (isinstance(b, AttributeBinNumerical) and b.name not in RESERVED
                    and b.lower_bound < value <= b.upper_bound):
                return float_result(b.value)
    return default_value(binning, value)


def bin_categoric(binning, value):
    if value is not None and type(value) is not str:
        bad_argument("value", value, str)
    if value is None or value == "nan":
        for b in binning.discretisation:
            if BinName.NULL == b.name:
                return float_result(b.value)
    else:
        for b in binning.discretisation:
            if isinstance(b, AttributeBinCategorical) and b.name not in RESERVED and value in b.categories:
                return float_result(b.value)
    return default_value(binning, value)


# ------------------------------------------------------------ monitoring lookups (PredictiveModelMonitoring)


def first_null(bins):
    for b in bins:
        if BinName.NULL == b.name:
            return b
    return None


def first_default(bins):
    for b in bins:
        if b.name in DEFAULTS:
            return b
    return None


def numerical_bin(binning, value):
    if value is not None and type(value) is not float:
        bad_argument("value", value, float)
    if value is None:
        value = float("nan")
    if math.isnan(value):
        found = first_null(binning.discretisation)
        if found is not None:
            return found
    else:
        for b in binning.discretisation:
            if isinstance(b, AttributeBinNumerical):
                lower = b.lower_bound
                if lower is None:
                    continue
                upper = b.upper_bound
                if upper is not None and lower < value <= upper:
                    return b
    return first_default(binning.discretisation)


def categorical_bin(binning, value):
    if value is None or str(value) == "nan":
        found = first_null(binning.discretisation)
        if found is not None:
            return found
    else:
        for b in binning.discretisation:
            if isinstance(b, AttributeBinCategorical) and value in (b.categories or ()):
                return b
    return first_default(binning.discretisation)


def monitoring_discretisation(monitoring, attribute, attribute_dtype, attribute_value):
    if type(attribute) is not str:
        bad_argument("attribute", attribute, str)
    if monitoring.binning is None:
        return None
    found = None
    for b in monitoring.binning:
        if b.attribute == attribute:
            found = b
    if found is None:
        return None
    if attribute_dtype == AttributeDataType.NUMERICAL:
        return numerical_bin(found, attribute_value)
    if attribute_dtype == AttributeDataType.CATEGORICAL:
        return categorical_bin(found, attribute_value)
    return None


# ------------------------------------------------------------ applying (AttributePreprocessing)


def get_discretisation(record, attribute):
    for b in record.binning:
        if b.attribute == attribute:
            return b
    return None


def get_transformation_formula(record, attribute):
    found = [t for t in record.transformations if t.attribute == attribute]
    return attribute if not found else "(" + found[0].transformation + ")"


def apply_discretisation(record, attribute, value):
    if type(attribute) is not str:
        bad_argument("attribute", attribute, str)
    binning = get_discretisation(record, attribute)
    if binning is None:
        return None
    try:
        # The lookups check their own result already.
        if binning.attribute_data_type == AttributeDataType.NUMERICAL:
            return bin_numeric(binning, value)
        if binning.attribute_data_type == AttributeDataType.CATEGORICAL:
            return bin_categoric(binning, value)
        return None
    except Exception as ex:
        raise type(ex)("Binning attribute " + attribute + ": " + str(ex)) from ex


def apply_discretisation_batch(record, attribute, values):
    if type(attribute) is not str:
        bad_argument("attribute", attribute, str)
    if type(values) is not list:
        bad_argument("attribute_values", values, list)
    binning = get_discretisation(record, attribute)
    if binning is None:
        return None
    try:
        if binning.attribute_data_type == AttributeDataType.NUMERICAL:
            return [bin_numeric(binning, v) for v in values]
        if binning.attribute_data_type == AttributeDataType.CATEGORICAL:
            return [bin_categoric(binning, v) for v in values]
        return values
    except Exception as ex:
        raise type(ex)("Binning attribute " + attribute + ": " + str(ex)) from ex


def apply_dummy_encoding(record, attribute, attribute_value):
    if type(attribute) is not str:
        bad_argument("attribute", attribute, str)
    values_to_encode = None
    for e in record.dummy_encoding:
        if e.attribute == attribute:
            values_to_encode = e.encoding
            break
    if values_to_encode is None:
        logger.warning("No dummy encoding for " + attribute + " was found.")
        return None
    dummies, dummy_found, default = {}, False, None
    for single in values_to_encode:
        value = single.value
        if single.use_for_undefined:
            default = single.encoded_feature_name
        if attribute_value == value:
            dummies[single.encoded_feature_name] = 1
            dummy_found = True
        else:
            dummies[single.encoded_feature_name] = 0
    if dummy_found:
        return dummies
    # Concatenated, not formatted: a feature name that is not a str raises TypeError.
    if default:
        dummies[default] = 1
        logger.info("Dummy encoding for value '" + str(attribute_value) + "' of attribute '" + attribute
                    + "' is not defined. Default value '" + default + "' was assigned with 1.")
        return dummies
    logger.warning("Dummy encoding for value '" + str(attribute_value) + "' of attribute '" + attribute
                   + "' is not defined and no default value was assigned. All dummies for given attribute are "
                     "assigned with 0.")
    return dummies


# ------------------------------------------------------------ parsing


def has_quotes(val):
    if type(val) is not str:
        bad_argument("val", val, str)
    return (val.startswith("'") and val.endswith("'")) or (val.startswith('"') and val.endswith('"'))


def remove_quotes(val):
    if type(val) is not str:
        bad_argument("val", val, str)
    return val[1:-1] if has_quotes(val) else val


def strip_quotes(val):
    if type(val) is not str:
        bad_argument("val", val, str)
    while has_quotes(val):
        val = remove_quotes(val)
    return val


def parse_value(val):
    if isinstance(val, str) and has_quotes(val):
        return remove_quotes(val)
    try:
        number = float(val)
    except ValueError:
        return str(val)
    return int(number) if number.is_integer() else number


# ------------------------------------------------------------ output


def format_output_data(obj):
    import dataclasses
    from datetime import date, datetime, time
    from decimal import Decimal
    from enum import Enum
    from uuid import UUID
    from weakref import ReferenceType

    from pydantic import BaseModel

    if isinstance(obj, ReferenceType):
        obj = obj()
    if isinstance(obj, Enum):
        return obj.value
    if isinstance(obj, Decimal):
        return round(float(obj), 12)
    if isinstance(obj, float):
        return round(obj, 12)
    for cls in (datetime, date, time):
        if isinstance(obj, cls):
            return obj.isoformat()
    if isinstance(obj, UUID):
        return str(obj)
    if isinstance(obj, BaseModel):
        return obj.model_dump(exclude_defaults=True)
    if isinstance(obj, set):
        return list(obj)
    if dataclasses.is_dataclass(obj):
        own = getattr(obj, "asdict", None)
        return obj.asdict() if callable(own) else dataclasses.asdict(obj)
    return obj


def is_invalid(value):
    return value is None or value == [] or value == {}


def filter_data(data):
    if isinstance(data, dict):
        return {k: v for k, v in data.items() if not is_invalid(v)}
    return data


def _representer():
    from ruamel.yaml.representer import SafeRepresenter

    class ValidRepresenter(SafeRepresenter):
        def represent(self, data):
            SafeRepresenter.add_representer(str, self.__class__.represent_str)
            super().represent(data=data)

        def represent_data(self, data):
            return super().represent_data(format_output_data(filter_data(data)))
    return ValidRepresenter


def valid_dumps_yaml(data, **kwds):
    from io import StringIO

    from ruamel.yaml import YAML
    stream = StringIO()
    yaml = YAML()
    yaml.default_flow_style = False
    yaml.width = 120
    yaml.Representer = _representer()
    yaml.dump_all(data if type(data) is list else [data], stream=stream, **kwds)
    return stream.getvalue()


def safe_dumps_json(obj, **kwargs):
    import json

    class Encoder(json.JSONEncoder):
        def default(self, o):
            new = format_output_data(o)
            return new if id(new) != id(o) else super().default(o)
    kwargs.setdefault("indent", 2)
    kwargs.setdefault("cls", Encoder)
    return json.dumps(obj, **kwargs)


# ------------------------------------------------------------ records


def add_general_note(description, note):
    if description.general_notes is None:
        description.general_notes = {}
    notes = description.general_notes
    if isinstance(note, dict):
        for key in note:
            if key in notes:
                print("Note " + str(key) + " already exists. Note not added.")
            else:
                notes[key] = note[key]
    if isinstance(note, str):
        numbers = [int(key[5:]) if key[5:].isnumeric() else 0 for key in notes if key[:4] == "note"]
        notes["note_{}".format((max(numbers) if numbers else 0) + 1)] = note


def remove_general_note(description, note_key):
    if type(note_key) is not str:
        bad_argument("note_key", note_key, str)
    if description.general_notes is not None and note_key in description.general_notes:
        del description.general_notes[note_key]


def validate_performance_metric_str(metric):
    from kelvane_analytics_utils.predictive_models.yardstick.tally import PerformanceMetrics
    if type(metric) is not str:
        bad_argument("metric", metric, str)
    result = metric.upper()
    if result.startswith("LIFT("):
        result = "LIFT"
    return PerformanceMetrics(result)


# ------------------------------------------------------------ stability (counts over the monitoring bins)

SHARE_FLOOR = 1e-4


def stability_bin(binning, value):
    """The bin a value is counted in: the monitoring lookup of the binning's
    data type, numbers counted as floats; None when it answers no bin."""
    if binning.attribute_data_type == AttributeDataType.NUMERICAL:
        return numerical_bin(binning, None if value is None else float(value))
    if binning.attribute_data_type == AttributeDataType.CATEGORICAL:
        return categorical_bin(binning, value)
    return None


def stability_binnings(monitoring):
    """{attribute: its last binning}, attributes in the order they first appear."""
    found = {}
    for b in monitoring.binning or ():
        found[b.attribute] = b
    return found


def stability_psi(binning, counts):
    """(expected shares, actual shares, terms, psi) of one binning from the
    counts of its bins; None where a side is not known."""
    freqs = [b.frequency for b in binning.discretisation]
    total = sum(f for f in freqs if f is not None)
    known = bool(freqs) and all(f is not None and math.isfinite(f) and f >= 0 for f in freqs) and total > 0
    matched = sum(counts)
    expected = [f / total if known else None for f in freqs]
    actual = [c / matched if matched else None for c in counts]
    terms = [None if e is None or a is None
             else (max(a, SHARE_FLOOR) - max(e, SHARE_FLOOR)) * math.log(max(a, SHARE_FLOOR) / max(e, SHARE_FLOOR))
             for a, e in zip(actual, expected)]
    psi = None
    if known and matched:
        psi = 0.0
        for t in terms:
            psi += t
    return expected, actual, terms, psi


def stability_level(psi):
    if psi is None:
        return None
    return "STABLE" if psi < 0.10 else "WATCH" if psi < 0.25 else "SHIFT"


# ------------------------------------------------------------ tree walk (XGBoost JSON document)
#
# XGBoost's CPU prediction written out over the saved document, one row at a
# time: inputs and thresholds as float32, sums in float32 from the base
# margin in tree order, the transforms through the C library's expf/logf
# (loaded with ctypes, so that the last bit is the library's and not numpy's).

_LIBM = ctypes.CDLL(ctypes.util.find_library("m"))
for _name in ("expf", "logf"):
    getattr(_LIBM, _name).restype = ctypes.c_float
    getattr(_LIBM, _name).argtypes = [ctypes.c_float]
MAX_CATEGORY = float(1 << 24)   # codes from here on (and negative ones) go left
LOGIT_OBJECTIVES = ("binary:logistic", "reg:logistic", "binary:logitraw")
LOG_LINK_OBJECTIVES = ("count:poisson", "reg:tweedie", "reg:gamma")


def f32(x):
    with np.errstate(over="ignore"):
        return np.float32(x)


def expf(x):
    return np.float32(_LIBM.expf(float(x)))


def logf(x):
    return np.float32(_LIBM.logf(float(x)))


def xgb_forest(document):
    """(trees, tree groups, tree weights or None, round boundaries, number of groups,
    objective, base margin per group) of a saved document, older layouts included."""
    learner = document["learner"]
    booster = learner["gradient_booster"]
    if booster["name"] == "dart":   # the layout before dropout became a parameter of gbtree
        model = dict(booster["gbtree"]["model"], weight_drop=booster["weight_drop"])
    else:
        model = booster["model"]
    weights = [f32(w) for w in model["weight_drop"]] if model.get("weight_drop") else None
    trees = model["trees"]
    param = learner["learner_model_param"]
    groups = max(1, int(param["num_class"]))
    bounds = model.get("iteration_indptr")
    if bounds is None:
        per_round = int(model["gbtree_model_param"].get("num_parallel_tree", "1")) * groups
        bounds = list(range(0, len(trees) + 1, per_round))
    objective = learner["objective"]["name"]
    base = [f32(float(t)) for t in param["base_score"].strip("[]").split(",")]
    if len(base) == 1:
        base = base * groups
    if objective in LOGIT_OBJECTIVES[:2]:
        base = [-logf(f32(1.0) / b - f32(1.0)) for b in base]
    elif objective in LOG_LINK_OBJECTIVES:
        base = [logf(b) for b in base]
    return trees, model["tree_info"], weights, bounds, groups, objective, base


def xgb_leaf(tree, row):
    """The leaf value `row` (float32 values, NaN missing) reaches in one tree."""
    left, right = tree["left_children"], tree["right_children"]
    node = 0
    while left[node] != -1:
        x = row[tree["split_indices"][node]]
        if math.isnan(x):
            go_left = bool(tree["default_left"][node])
        elif tree.get("split_type") and tree["split_type"][node] == 1:
            at = tree["categories_nodes"].index(node)
            start = tree["categories_segments"][at]
            chosen = tree["categories"][start:start + tree["categories_sizes"][at]]
            go_left = x < 0 or x >= MAX_CATEGORY or int(x) not in chosen
        else:
            go_left = x < f32(tree["split_conditions"][node])
        node = left[node] if go_left else right[node]
    return f32(tree["split_conditions"][node])


def xgb_sigmoid(x):
    return f32(1.0) / (expf(min(-x, f32(88.7))) + f32(1.0) + f32(1e-16))


def xgb_softmax(margins):
    top = max(margins)
    exps = [expf(m - top) for m in margins]
    total = 0.0   # summed in double, divided in float
    for e in exps:
        total += float(e)
    return [e / f32(total) for e in exps]


def xgb_score(document, row, iteration_end=None, output_margin=False):
    """One row (a sequence of numbers, NaN missing) scored as XGBoost scores it:
    a list of float32 per output group (one for most objectives, the class
    number for multi:softmax)."""
    trees, groups_of, weights, bounds, groups, objective, base = xgb_forest(document)
    if iteration_end is None:
        best = document["learner"].get("attributes", {}).get("best_iteration")
        iteration_end = int(best) + 1 if best is not None else len(bounds) - 1
    row = [f32(x) for x in row]
    margins = list(base)
    for t in range(bounds[iteration_end]):
        leaf = xgb_leaf(trees[t], row)
        margins[groups_of[t]] += leaf if weights is None else weights[t] * leaf
    if output_margin or objective == "binary:logitraw":
        return margins
    if objective in LOGIT_OBJECTIVES:
        return [xgb_sigmoid(m) for m in margins]
    if objective in LOG_LINK_OBJECTIVES:
        return [expf(m) for m in margins]
    if objective == "multi:softprob":
        return xgb_softmax(margins)
    if objective == "multi:softmax":
        return [f32(margins.index(max(margins)))]
    return margins   # the identity-link regressions
