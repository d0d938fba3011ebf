"""The rules of the binning, preprocessing, monitoring and parsing modules
written out in plain Python, read the way the modules' algorithms state them:
what the native modules must answer, raise and log, value for value."""
import math

from kelvane_analytics_utils.predictive_models.preparation.discretisation import (
    AttributeBinCategorical as Cat,
    AttributeBinNumerical as Num,
    AttributeDataType,
    PredictiveModelBinName as BinName,
)

RESERVED = [BinName.DEFAULT, BinName.DEFINED_DEFAULT, BinName.SYSTEM_DEFAULT, BinName.NULL]
DEFAULTS = RESERVED[:3]
HIT = "Predictive model hit default value when processing binning of attribute '{}' with value '{}'."


class Log:
    """The events a rule logs: (level, event text), in order."""

    def __init__(self):
        self.events = []

    def warning(self, event):
        self.events.append(("warning", event))

    def debug(self, event):
        self.events.append(("debug", event))

    def info(self, event):
        self.events.append(("info", event))


def check_result(r, none_ok=True):
    if not (type(r) is float or (none_ok and r is None)):
        raise TypeError("Expected float, got %.200s" % type(r).__name__)
    return r


def argument(name, value, expected, none_ok):
    if not (type(value) is expected or (none_ok and value is None)):
        raise TypeError("Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"
                        % (name, expected.__name__, type(value).__name__))


# ---------------------------------------------------------------- number formatting

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


# ---------------------------------------------------------------- assignment

def _default(binning, shown, log):
    for b in binning.discretisation:
        name = b.name
        for member in DEFAULTS:   # `name in DEFAULTS`, telling which member matched
            if member is name or member == name:
                level = log.debug if member is BinName.DEFINED_DEFAULT else log.warning
                level(HIT.format(binning.attribute, shown))
                return b.value
    return None


def bin_numeric_attribute(binning, value, log):
    value = float("nan") if value is None else float(value)
    if math.isnan(value):
        for b in binning.discretisation:
            if BinName.NULL == b.name:
                return check_result(b.value)
    else:
        for b in binning.discretisation:
            if isinstance(b, Num) and b.name not in RESERVED:
                if b.lower_bound < value <= b.upper_bound:
                    return check_result(b.value)
    return check_result(_default(binning, value, log))


def bin_categoric_attribute(binning, value, log):
    argument("value", value, str, True)
    if value is None or value == "nan":
        for b in binning.discretisation:
            if BinName.NULL == b.name:
                return check_result(b.value)
    else:
        for b in binning.discretisation:
            if isinstance(b, Cat) and b.name not in RESERVED:
                if value in b.categories:
                    return check_result(b.value)
    return check_result(_default(binning, value, log))


# ---------------------------------------------------------------- preprocessing

def get_discretisation(prep, attribute):
    for b in prep.binning:
        if b.attribute == attribute:
            return b
    return None


def _prefixed(attribute, call):
    try:
        return call()
    except Exception as ex:
        raise type(ex)("Binning attribute " + attribute + ": " + str(ex)) from ex


def apply_discretisation(prep, attribute, value, log):
    argument("attribute", attribute, str, False)
    binning = get_discretisation(prep, attribute)
    if binning is None:
        return None

    def run():
        if binning.attribute_data_type == AttributeDataType.NUMERICAL:
            return check_result(bin_numeric_attribute(binning, value, log))
        if binning.attribute_data_type == AttributeDataType.CATEGORICAL:
            return check_result(bin_categoric_attribute(binning, value, log))
        return None
    return _prefixed(attribute, run)


def apply_discretisation_batch(prep, attribute, values, log):
    argument("attribute", attribute, str, False)
    argument("attribute_values", values, list, False)
    binning = get_discretisation(prep, attribute)
    if binning is None:
        return None

    def run():
        if binning.attribute_data_type == AttributeDataType.NUMERICAL:
            return [bin_numeric_attribute(binning, v, log) for v in values]
        if binning.attribute_data_type == AttributeDataType.CATEGORICAL:
            return [bin_categoric_attribute(binning, v, log) for v in values]
        return values
    return _prefixed(attribute, run)


def get_transformation_formula(prep, attribute):
    found = [t for t in prep.transformations if t.attribute == attribute]
    return attribute if not found else "(" + found[0].transformation + ")"


def apply_dummy_encoding(prep, attribute, attribute_value, log):
    argument("attribute", attribute, str, False)
    values_to_encode = None
    for e in prep.dummy_encoding:
        if e.attribute == attribute:
            values_to_encode = e.encoding
            break
    if values_to_encode is None:
        log.warning("No dummy encoding for " + attribute + " was found.")
        return None
    dummies, dummy_found, default_value = {}, False, None
    for single in values_to_encode:
        value = single.value
        if single.use_for_undefined:
            default_value = single.encoded_feature_name
        if attribute_value == value:
            dummies[single.encoded_feature_name] = 1
            dummy_found = True
        else:
            dummies[single.encoded_feature_name] = 0
    if dummy_found:
        return dummies
    if default_value:
        dummies[default_value] = 1
        log.info("Dummy encoding for value '" + str(attribute_value) + "' of attribute '" + attribute
                 + "' is not defined. Default value '" + default_value + "' was assigned with 1.")
        return dummies
    log.warning("Dummy encoding for value '" + str(attribute_value) + "' of attribute '" + attribute
                + "' is not defined and no default value was assigned. All dummies for given attribute are "
                  "assigned with 0.")
    return dummies


# ---------------------------------------------------------------- monitoring

def _monitoring_default(binning):
    for b in binning.discretisation:
        if b.name in DEFAULTS:
            return b
    return None


def get_numerical_bin(binning, value):
    argument("value", value, float, True)
    value = float("nan") if value is None else value
    if math.isnan(value):
        for b in binning.discretisation:
            if BinName.NULL == b.name:
                return b
    else:
        for b in binning.discretisation:
            if isinstance(b, Num):
                lower = b.lower_bound
                if lower is None:
                    continue
                upper = b.upper_bound
                if upper is None:
                    continue
                if lower < value <= upper:
                    return b
    return _monitoring_default(binning)


def get_categorical_bin(binning, value):
    if value is None or str(value) == "nan":
        for b in binning.discretisation:
            if BinName.NULL == b.name:
                return b
    else:
        for b in binning.discretisation:
            if isinstance(b, Cat) and value in (b.categories or []):
                return b
    return _monitoring_default(binning)


def monitoring_get_discretisation(monitoring, attribute, dtype, value):
    argument("attribute", attribute, str, False)
    if monitoring.binning is None:
        return None
    found = None
    for b in monitoring.binning:
        if b.attribute == attribute:
            found = b
    if found is None:
        return None
    if dtype == AttributeDataType.NUMERICAL:
        return get_numerical_bin(found, value)
    if dtype == AttributeDataType.CATEGORICAL:
        return get_categorical_bin(found, value)
    return None


# ---------------------------------------------------------------- parsing

def has_quotes(val):
    argument("val", val, str, False)
    return (val.startswith("'") and val.endswith("'")) or (val.startswith('"') and val.endswith('"'))


def remove_quotes(val):
    argument("val", val, str, False)
    return val[1:-1] if has_quotes(val) else val


def strip_quotes(val):
    argument("val", val, str, False)
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


# ---------------------------------------------------------------- output

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


# ---------------------------------------------------------------- records

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
    argument("note_key", note_key, str, False)
    if description.general_notes is not None and note_key in description.general_notes:
        del description.general_notes[note_key]


def validate_performance_metric_str(metric):
    from kelvane_analytics_utils.predictive_models.yardstick.tally import PerformanceMetrics
    argument("metric", metric, str, False)
    result = metric.upper()
    if result.startswith("LIFT("):
        result = "LIFT"
    return PerformanceMetrics(result)
