"""Bin lookups of the binning and monitoring modules, next to the same steps
written in plain Python over the same records; and memory over a million
lookups.

Run: python benchmarks/bench_binning.py
"""
import gc
import math
import random
import resource
import sys
import timeit
import tracemalloc
from pathlib import Path

from kelvane_analytics_utils.predictive_models.preparation.discretisation import (
    AttributeBinCategorical,
    AttributeBinning,
    AttributeBinNumerical,
    AttributeDataType,
)
from kelvane_analytics_utils.predictive_models.surveillance.surveillance import PredictiveModelMonitoring

# ---------------------------------------------------------------- plain Python

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from plain_rules import bin_categoric as py_bin_categoric  # noqa: E402
from plain_rules import bin_numeric as py_bin_numeric  # noqa: E402
from plain_rules import monitoring_discretisation as py_get_discretisation  # noqa: E402


# ---------------------------------------------------------------- records


def numeric_binning(attribute, n_regular):
    cuts = [-math.inf] + [float(10 * i) for i in range(1, n_regular)] + [math.inf]
    bins = [AttributeBinNumerical(id=0, name="1_null", value=-1.0)]
    bins += [AttributeBinNumerical(id=i + 1, lower_bound=cuts[i], upper_bound=cuts[i + 1], value=float(i))
             for i in range(n_regular)]
    bins.append(AttributeBinNumerical(id=n_regular + 1, name="0_system_default", value=99.0))
    return AttributeBinning(attribute=attribute, attribute_data_type="NUMERICAL", discretisation=bins)


def categorical_binning(attribute, n_regular):
    bins = [AttributeBinCategorical(id=0, name="1_null", value=-1.0)]
    bins += [AttributeBinCategorical(id=i + 1, categories=[f"c{3 * i + k}" for k in range(3)], value=float(i))
             for i in range(n_regular)]
    bins.append(AttributeBinCategorical(id=n_regular + 1, name="0_default", value=99.0))
    return AttributeBinning(attribute=attribute, attribute_data_type="CATEGORICAL", discretisation=bins)


def numeric_values(n_regular, count, rng):
    # Spread over the regular bins, with a few missing values (no default hits).
    values = [rng.uniform(-5.0, 10.0 * (n_regular - 1) + 5.0) for _ in range(count)]
    for i in range(0, count, 20):
        values[i] = None
    return values


def categorical_values(n_regular, count, rng):
    values = [f"c{rng.randrange(3 * n_regular)}" for _ in range(count)]
    for i in range(0, count, 20):
        values[i] = None
    return values


# ---------------------------------------------------------------- timing


def ns_per_lookup(run, values, repeat=5):
    return min(timeit.repeat(run, number=1, repeat=repeat)) / len(values) * 1e9


def timings():
    rng = random.Random(1)
    count = 20_000
    sizes = {4: 2, 20: 18}   # total bins: null + regular + default
    monitoring = PredictiveModelMonitoring()
    lookup = monitoring.get_discretisation
    rows = []
    for total, regular in sizes.items():
        num = numeric_binning(f"num{total}", regular)
        cat = categorical_binning(f"cat{total}", regular)
        monitoring.binning.extend([num, cat])
        nums = numeric_values(regular, count, rng)
        cats = categorical_values(regular, count, rng)
        for v in nums[:500]:
            assert num.bin_numeric_attribute(v) == py_bin_numeric(num, v)
            assert lookup(num.attribute, "NUMERICAL", v) is py_get_discretisation(monitoring, num.attribute, "NUMERICAL", v)
        for v in cats[:500]:
            assert cat.bin_categoric_attribute(v) == py_bin_categoric(cat, v)
            assert lookup(cat.attribute, "CATEGORICAL", v) is py_get_discretisation(monitoring, cat.attribute, "CATEGORICAL", v)

        # Each side is called the same way: a bound C++ method against a
        # Python function, both without an attribute lookup per call.
        def cpp_num(f=num.bin_numeric_attribute, values=nums):
            for v in values:
                f(v)

        def py_num(b=num, values=nums):
            for v in values:
                py_bin_numeric(b, v)

        def cpp_cat(f=cat.bin_categoric_attribute, values=cats):
            for v in values:
                f(v)

        def py_cat(b=cat, values=cats):
            for v in values:
                py_bin_categoric(b, v)

        def cpp_mon_num(a=num.attribute, d=AttributeDataType.NUMERICAL, values=nums):
            for v in values:
                lookup(a, d, v)

        def py_mon_num(a=num.attribute, d=AttributeDataType.NUMERICAL, values=nums):
            for v in values:
                py_get_discretisation(monitoring, a, d, v)

        def cpp_mon_cat(a=cat.attribute, d=AttributeDataType.CATEGORICAL, values=cats):
            for v in values:
                lookup(a, d, v)

        def py_mon_cat(a=cat.attribute, d=AttributeDataType.CATEGORICAL, values=cats):
            for v in values:
                py_get_discretisation(monitoring, a, d, v)

        rows += [
            (f"bin_numeric_attribute, {total} bins", cpp_num, py_num),
            (f"bin_categoric_attribute, {total} bins", cpp_cat, py_cat),
            (f"get_discretisation numeric, {total} bins", cpp_mon_num, py_mon_num),
            (f"get_discretisation categorical, {total} bins", cpp_mon_cat, py_mon_cat),
        ]

    print(f"monitoring record with {len(monitoring.binning)} binnings; {count:,} values per row "
          "(1 in 20 missing, none unmatched), best of 5")
    print(f"{'lookup':42} {'C++ (ns)':>9} {'Python (ns)':>12} {'speed-up':>9}")
    for label, fast, slow in rows:
        c = ns_per_lookup(fast, range(count))
        p = ns_per_lookup(slow, range(count))
        print(f"{label:42} {c:9.0f} {p:12.0f} {p / c:8.1f}x")
    print("(per lookup, the loop and the call included on both sides)")


# ---------------------------------------------------------------- memory


def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize() // 1024


def memory():
    rng = random.Random(2)
    num, cat = numeric_binning("n", 18), categorical_binning("c", 18)
    monitoring = PredictiveModelMonitoring(binning=[num, cat])
    mon_nums = numeric_values(18, 1000, rng)
    nums = [v if v is None or i % 3 else (int(v) if i % 2 else str(v)) for i, v in enumerate(mon_nums)]
    cats = categorical_values(18, 1000, rng)
    n_calls = 1_000_000
    rounds = n_calls // len(nums)

    def work():
        for _ in range(rounds):
            for v in nums:
                num.bin_numeric_attribute(v)
            for v in cats:
                cat.bin_categoric_attribute(v)
            for v in mon_nums:
                monitoring.get_discretisation("n", "NUMERICAL", v)

    work()   # warm up
    gc.collect()
    rss_before = rss_kib()
    tracemalloc.start()
    traced_before = tracemalloc.get_traced_memory()[0]
    work()
    gc.collect()
    traced_after = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    rss_after = rss_kib()
    print()
    print(f"{n_calls:,} calls each of bin_numeric_attribute (float, int, text and missing values), "
          "bin_categoric_attribute and get_discretisation:")
    print(f"  memory allocated during the calls and still held after them (tracemalloc): "
          f"{traced_after - traced_before:+,} bytes")
    print(f"  resident set size: {rss_before:,} -> {rss_after:,} KiB ({rss_after - rss_before:+,})")


if __name__ == "__main__":
    timings()
    memory()
