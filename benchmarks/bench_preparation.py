"""Applying binnings and dummy encodings: the C++ methods of AttributePreprocessing
next to the same steps written in plain Python over the same records, and a
batch next to numpy.searchsorted doing the same assignment from the same list.

Run: python benchmarks/bench_preparation.py   (numpy is optional)
"""
import math
import os
import random
import timeit

# numpy's BLAS threads are of no use to searchsorted; idle, they still take
# turns on the CPU that the timings share.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import structlog

from kelvane_analytics_utils.predictive_models.preparation.discretisation import (
    AttributeBinCategorical,
    AttributeBinNumerical,
    AttributeDataType,
    PredictiveModelBinName,
)
from kelvane_analytics_utils.predictive_models.preparation.preparation import AttributePreprocessing

try:
    import numpy as np
except ImportError:   # the numpy column is left out
    np = None

logger = structlog.get_logger(__name__)
RESERVED = tuple(PredictiveModelBinName)
DEFAULTS = (PredictiveModelBinName.DEFAULT, PredictiveModelBinName.SYSTEM_DEFAULT,
            PredictiveModelBinName.DEFINED_DEFAULT)


# ------------------------------------------------------------ the same steps in plain Python


def py_bin_numeric(binning, value):
    value = float("nan") if value is None else float(value)
    if math.isnan(value):
        for b in binning.discretisation:
            if b.name == PredictiveModelBinName.NULL:
                return b.value
    else:
        for b in binning.discretisation:
            if isinstance(b, AttributeBinNumerical) and b.name not in RESERVED and b.lower_bound < value <= b.upper_bound:
                return b.value
    for b in binning.discretisation:
        if b.name in DEFAULTS:
            message = (f"Predictive model hit default value when processing binning of attribute "
                       f"'{binning.attribute}' with value '{value}'.")
            if b.name == PredictiveModelBinName.DEFINED_DEFAULT:
                logger.debug(message)
            else:
                logger.warning(message)
            return b.value
    return None


def py_get_discretisation(record, attribute):
    for b in record.binning:
        if b.attribute == attribute:
            return b
    return None


def py_apply_discretisation(record, attribute, value):
    binning = py_get_discretisation(record, attribute)
    if binning is None:
        return None
    try:
        if binning.attribute_data_type == AttributeDataType.NUMERICAL:
            result = py_bin_numeric(binning, value)
        elif binning.attribute_data_type == AttributeDataType.CATEGORICAL:
            result = binning.bin_categoric_attribute(value)
        else:
            return None
        if result is not None and type(result) is not float:
            raise TypeError(f"Expected float, got {type(result).__name__}")
        return result
    except Exception as ex:
        raise type(ex)(f"Binning attribute {attribute}: {ex}") from ex


def py_apply_discretisation_batch(record, attribute, values):
    binning = py_get_discretisation(record, attribute)
    if binning is None:
        return None
    try:
        if binning.attribute_data_type == AttributeDataType.NUMERICAL:
            return [py_bin_numeric(binning, v) for v in values]
        return values
    except Exception as ex:
        raise type(ex)(f"Binning attribute {attribute}: {ex}") from ex


def py_apply_dummy_encoding(record, attribute, attribute_value):
    values_to_encode = None
    for e in record.dummy_encoding:
        if e.attribute == attribute:
            values_to_encode = e.encoding
            break
    if values_to_encode is None:
        logger.warning(f"No dummy encoding for {attribute} was found.")
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
        logger.info(f"Dummy encoding for value '{attribute_value}' of attribute '{attribute}' is not defined. "
                    f"Default value '{default_value}' was assigned with 1.")
        return dummies
    logger.warning(f"Dummy encoding for value '{attribute_value}' of attribute '{attribute}' is not defined and no "
                   f"default value was assigned. All dummies for given attribute are assigned with 0.")
    return dummies


# ------------------------------------------------------------ models


def edges_for(n_bins):
    return [-math.inf] + [float(i) for i in range(1, n_bins)] + [math.inf]


def model(n_attributes=50, n_bins=10):
    spec = {
        f"attribute_{i:02d}": {"dtype": "NUMERICAL", "bins": edges_for(n_bins),
                               "bin_vals": [float(k) / 10 for k in range(n_bins)]}
        for i in range(n_attributes)
    }
    return AttributePreprocessing(binning=AttributePreprocessing.add_discretisation(spec))


def dummy_model(n_values=10):
    encoding = [{"value": f"v{i}", "encoded_feature_name": f"colour_v{i}", "use_for_undefined": i == n_values - 1}
                for i in range(n_values)]
    others = [{"attribute": f"other_{i}", "encoding": [{"value": "a", "encoded_feature_name": f"o{i}"}]}
              for i in range(4)]
    return AttributePreprocessing(dummy_encoding=others + [{"attribute": "colour", "encoding": encoding}])


def best(fn, number, repeat=5):
    return min(timeit.repeat(fn, number=number, repeat=repeat)) / number


def row(label, unit, cpp, others):
    cells = [f"{label:44}", f"{cpp * unit:10.2f}"]
    for t in others:
        cells.append(f"{'-':>12} {'':>7}" if t is None else f"{t * unit:12.2f} {t / cpp:6.1f}x")
    print(" ".join(cells))


def main():
    rng = random.Random(7)
    record = model()
    attributes = [b.attribute for b in record.binning]
    calls = [(a, rng.uniform(0.0, 10.0)) for a in attributes]

    # Every call path gives the same answers.
    assert all(record.apply_discretisation(a, v) == py_apply_discretisation(record, a, v) for a, v in calls)

    def cpp_single():
        for a, v in calls:
            record.apply_discretisation(a, v)

    def py_single():
        for a, v in calls:
            py_apply_discretisation(record, a, v)

    def py_single_cpp_lookup():
        for a, v in calls:
            binning = py_get_discretisation(record, a)
            binning.bin_numeric_attribute(v)

    print("apply_discretisation: 50 attributes of 10 bins, one value each (ns per call)")
    print(f"{'':44} {'C++':>10} {'plain Python':>12} {'ratio':>7} {'Py + C++ bin':>12} {'ratio':>7}")
    n = len(calls)
    row("apply_discretisation(attribute, value)", 1e9,
        best(cpp_single, 400) / n, [best(py_single, 40) / n, best(py_single_cpp_lookup, 200) / n])

    values = [rng.uniform(-1.0, 11.0) for _ in range(100_000)]
    attribute = attributes[-1]
    binning = record.get_discretisation(attribute)
    bin_values = [b.value for b in binning.discretisation[:10]]
    expected = record.apply_discretisation_batch(attribute, values)
    assert expected == py_apply_discretisation_batch(record, attribute, values)

    def cpp_batch():
        return record.apply_discretisation_batch(attribute, values)

    def py_batch():
        return py_apply_discretisation_batch(record, attribute, values)

    def py_loop_cpp_bin():
        method = binning.bin_numeric_attribute
        return [method(v) for v in values]

    numpy_batch = None
    if np is not None:
        inner_edges = np.array(edges_for(10)[1:-1])
        lookup = np.array(bin_values)

        def numpy_batch():
            # (lower, upper]: the first inner edge >= v is the bin.
            return lookup[np.searchsorted(inner_edges, np.asarray(values, dtype=np.float64), side="left")].tolist()

        assert numpy_batch() == expected

    print()
    print("apply_discretisation_batch: 100,000 floats, one 10-bin binning (ms per batch)")
    print(f"{'':44} {'C++':>10} {'plain Python':>12} {'ratio':>7} {'Py + C++ bin':>12} {'ratio':>7}"
          f" {'numpy':>12} {'ratio':>7}")
    cpp = best(cpp_batch, 20)
    row("apply_discretisation_batch(attribute, list)", 1e3, cpp,
        [best(py_batch, 1, 3), best(py_loop_cpp_bin, 2, 3), best(numpy_batch, 20) if numpy_batch else None])

    dummies = dummy_model()
    dummy_calls = [f"v{i}" for i in range(9)]   # matched values: no log events
    assert all(dummies.apply_dummy_encoding("colour", v) == py_apply_dummy_encoding(dummies, "colour", v)
               for v in dummy_calls)

    def cpp_dummy():
        for v in dummy_calls:
            dummies.apply_dummy_encoding("colour", v)

    def py_dummy():
        for v in dummy_calls:
            py_apply_dummy_encoding(dummies, "colour", v)

    print()
    print("apply_dummy_encoding: 10-value encoding, 5th of 5 encodings (ns per call)")
    print(f"{'':44} {'C++':>10} {'plain Python':>12} {'ratio':>7}")
    m = len(dummy_calls)
    row("apply_dummy_encoding(attribute, value)", 1e9, best(cpp_dummy, 20000) / m, [best(py_dummy, 2000) / m])


if __name__ == "__main__":
    main()
