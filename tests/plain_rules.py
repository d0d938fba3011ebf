"""The binning, monitoring and dummy-encoding rules written out in plain Python,
over the same records as the C++ modules. The tests compare the modules with
them; the benchmarks time them next to the modules (they import this file
through sys.path)."""
import math

import structlog

from kelvane_analytics_utils.predictive_models.preparation.discretisation import (
    AttributeBinCategorical,
    AttributeBinNumerical,
    AttributeDataType,
    PredictiveModelBinName,
)

logger = structlog.get_logger(__name__)

RESERVED = tuple(m.value for m in PredictiveModelBinName)
NULL = PredictiveModelBinName.NULL.value
DEFAULTS = (PredictiveModelBinName.DEFAULT.value, PredictiveModelBinName.SYSTEM_DEFAULT.value,
            PredictiveModelBinName.DEFINED_DEFAULT.value)
HIT = "Predictive model hit default value when processing binning of attribute '{}' with value '{}'."


# ------------------------------------------------------------ assignment (AttributeBinning)


def default_value(binning, value):
    for b in binning.discretisation:
        if b.name in DEFAULTS:
            if b.name == PredictiveModelBinName.DEFINED_DEFAULT:
                logger.debug(HIT.format(binning.attribute, value))
            else:
                logger.warning(HIT.format(binning.attribute, value))
            return b.value
    return None


def bin_numeric(binning, value):
    value = float("nan") if value is None else float(value)
    if math.isnan(value):
        for b in binning.discretisation:
            if b.name == NULL:
                return b.value
    else:
        for b in binning.discretisation:
            if isinstance(b, AttributeBinNumerical) and b.name not in RESERVED and b.lower_bound < value <= b.upper_bound:
                return b.value
    return default_value(binning, value)


def bin_categoric(binning, value):
    if value is not None and type(value) is not str:
        raise TypeError(f"Argument 'value' has incorrect type (expected str, got {type(value).__name__})")
    if value is None or value == "nan":
        for b in binning.discretisation:
            if b.name == NULL:
                return b.value
    else:
        for b in binning.discretisation:
            if isinstance(b, AttributeBinCategorical) and b.name not in RESERVED and value in b.categories:
                return b.value
    return default_value(binning, value)


# ------------------------------------------------------------ monitoring lookups (PredictiveModelMonitoring)


def first_named(bins, names):
    for b in bins:
        if b.name in names:
            return b
    return None


def numerical_bin(binning, value):
    if value is not None and type(value) is not float:
        raise TypeError(f"Argument 'value' has incorrect type (expected float, got {type(value).__name__})")
    if value is None:
        value = float("nan")
    if math.isnan(value):
        found = first_named(binning.discretisation, (NULL,))
        if found is not None:
            return found
    else:
        for b in binning.discretisation:
            if (isinstance(b, AttributeBinNumerical) and b.lower_bound is not None and b.upper_bound is not None
                    and b.lower_bound < value <= b.upper_bound):
                return b
    return first_named(binning.discretisation, DEFAULTS)


def categorical_bin(binning, value):
    if value is None or str(value) == "nan":
        found = first_named(binning.discretisation, (NULL,))
        if found is not None:
            return found
    else:
        for b in binning.discretisation:
            if isinstance(b, AttributeBinCategorical) and value in (b.categories or ()):
                return b
    return first_named(binning.discretisation, DEFAULTS)


def monitoring_discretisation(monitoring, attribute, attribute_dtype, attribute_value):
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


def apply_discretisation(record, attribute, value):
    binning = get_discretisation(record, attribute)
    if binning is None:
        return None
    try:
        if binning.attribute_data_type == AttributeDataType.NUMERICAL:
            result = bin_numeric(binning, value)
        elif binning.attribute_data_type == AttributeDataType.CATEGORICAL:
            result = bin_categoric(binning, value)
        else:
            return None
        if result is not None and type(result) is not float:
            raise TypeError(f"Expected float, got {type(result).__name__}")
        return result
    except Exception as ex:
        raise type(ex)(f"Binning attribute {attribute}: {ex}") from ex


def apply_discretisation_batch(record, attribute, values):
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
        raise type(ex)(f"Binning attribute {attribute}: {ex}") from ex


def apply_dummy_encoding(record, attribute, attribute_value):
    values_to_encode = None
    for e in record.dummy_encoding:
        if e.attribute == attribute:
            values_to_encode = e.encoding
            break
    if values_to_encode is None:
        logger.warning(f"No dummy encoding for {attribute} was found.")
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
    if default:
        dummies[default] = 1
        logger.info(f"Dummy encoding for value '{attribute_value}' of attribute '{attribute}' is not defined. "
                    f"Default value '{default}' was assigned with 1.")
        return dummies
    logger.warning(f"Dummy encoding for value '{attribute_value}' of attribute '{attribute}' is not defined and no "
                   f"default value was assigned. All dummies for given attribute are assigned with 0.")
    return dummies
