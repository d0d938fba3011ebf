"""The binning, monitoring, preprocessing, dummy-encoding, parsing and output
rules written out in plain Python, over the same records as the C++ modules:
what the modules must answer, raise and log, value for value, hostile input
included. The tests and the fuzz suite compare the modules with them; the
benchmarks time them next to the modules (they import this file through
sys.path)."""
import math

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
