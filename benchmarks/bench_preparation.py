"""Applying binnings and dummy encodings: the C++ methods of AttributePreprocessing
next to the same steps written in plain Python over the same records, and a
batch next to numpy.searchsorted doing the same assignment from the same list.

Run: python benchmarks/bench_preparation.py   (numpy is optional)
"""
import math
import os
import random
import sys
import timeit
from pathlib import Path

# numpy's BLAS threads are of no use to searchsorted; idle, they still take
# turns on the CPU that the timings share.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

from kelvane_analytics_utils.predictive_models.preparation.preparation import AttributePreprocessing

try:
    import numpy as np
except ImportError:   # the numpy column is left out
    np = None


# ------------------------------------------------------------ the same steps in plain Python

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from plain_rules import apply_discretisation as py_apply_discretisation  # noqa: E402
from plain_rules import apply_discretisation_batch as py_apply_discretisation_batch  # noqa: E402
from plain_rules import apply_dummy_encoding as py_apply_dummy_encoding  # noqa: E402
from plain_rules import get_discretisation as py_get_discretisation  # noqa: E402


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
