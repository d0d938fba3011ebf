"""The operations of scoring time, side by side in one run: each C++ method
next to the same steps in plain Python, next to the call floor (the private
probe's empty C++ method on a record, called the same way) and next to its
limit (the probe's plain C loop making the same comparisons over the same
records, reading their instance dicts, called the same way), with the work
ratio (C++ - floor) / (limit - floor); the batch next to
numpy.searchsorted from the same list (conversion included); the whole-record
method next to the plain-Python loop over the per-attribute steps and next to
the C++ per-attribute methods in a Python loop; memory over a million calls of
each.

Run: python benchmarks/bench_scoring.py               (numpy optional)
     python benchmarks/bench_scoring.py --count OP N  runs operation OP (py:OP: its
         plain-Python steps; limit:OP: its limit loop; floor: the empty method) N times
         through itertools.starmap and nothing else: under
         valgrind --tool=callgrind --toggle-collect=starmap_next it counts the
         instructions of those calls only (benchmarks/callgrind_scoring.sh).
"""
import gc
import math
import os
import random
import sys
import timeit
from collections import deque
from itertools import starmap
from pathlib import Path

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

from bench_binning import categorical_binning, categorical_values, numeric_binning, numeric_values
from bench_preparation import edges_for

# The plain-Python rendering of the rules, shared with the tests.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from plain_rules import apply_discretisation as py_apply_discretisation  # noqa: E402
from plain_rules import apply_discretisation_batch as py_apply_discretisation_batch  # noqa: E402
from plain_rules import apply_dummy_encoding as py_apply_dummy_encoding  # noqa: E402
from plain_rules import bin_categoric as py_bin_categoric  # noqa: E402
from plain_rules import bin_numeric as py_bin_numeric  # noqa: E402
from plain_rules import monitoring_discretisation as py_get_discretisation  # noqa: E402

from kelvane_analytics_utils._frame_probe import Probe  # noqa: E402
from kelvane_analytics_utils.predictive_models.preparation.discretisation import AttributeBinning, AttributeDataType  # noqa: E402
from kelvane_analytics_utils.predictive_models.preparation.preparation import AttributePreprocessing  # noqa: E402
from kelvane_analytics_utils.predictive_models.surveillance.surveillance import PredictiveModelMonitoring  # noqa: E402

try:
    import numpy as np
except ImportError:
    np = None


# ------------------------------------------------------------ the whole record in plain Python


def py_apply_preprocessing(record, values):
    out, seen = {}, set()
    for binning in record.binning:
        attribute = binning.attribute
        if attribute in seen:
            continue
        seen.add(attribute)
        name = binning.binned_attribute_name
        out[attribute if name is None else name] = py_apply_discretisation(record, attribute, values.get(attribute))
    seen = set()
    for encoding in record.dummy_encoding:
        attribute = encoding.attribute
        if attribute in seen:
            continue
        seen.add(attribute)
        out.update(py_apply_dummy_encoding(record, attribute, values.get(attribute)))
    return out


def methods_in_a_loop(record, values):
    """The same loop over the C++ per-attribute methods."""
    out, seen = {}, set()
    for binning in record.binning:
        attribute = binning.attribute
        if attribute in seen:
            continue
        seen.add(attribute)
        name = binning.binned_attribute_name
        out[attribute if name is None else name] = record.apply_discretisation(attribute, values.get(attribute))
    seen = set()
    for encoding in record.dummy_encoding:
        attribute = encoding.attribute
        if attribute in seen:
            continue
        seen.add(attribute)
        out.update(record.apply_dummy_encoding(attribute, values.get(attribute)))
    return out


# ------------------------------------------------------------ records and values


def binned_model(n_attributes=50, n_bins=10, named=False):
    spec = {
        f"attribute_{i:02d}": {"dtype": "NUMERICAL", "bins": edges_for(n_bins),
                               "bin_vals": [float(k) / 10 for k in range(n_bins)],
                               "binned_attribute_name": f"binned_{i:02d}" if named else None}
        for i in range(n_attributes)
    }
    return AttributePreprocessing.add_discretisation(spec)


def colour_encoding(n_values=10):
    return {"attribute": "colour",
            "encoding": [{"value": f"v{i}", "encoded_feature_name": f"colour_v{i}",
                          "use_for_undefined": i == n_values - 1} for i in range(n_values)]}


class Fixtures:
    """Every operation's record and argument tuples, with four timed loops:
    the C++ method looked up on the record at each call (as the platform's
    code calls it), the plain-Python steps, the probe's empty method, and the
    probe's limit loop (looked up on the probe at each call, the record
    passed first), where the operation has one."""

    def __init__(self, count=20_000, batch=100_000):
        rng = random.Random(11)
        probe = self.probe = Probe(name="p")
        self.ops = {}
        monitoring = PredictiveModelMonitoring()
        for total, regular in ((4, 2), (20, 18)):
            num, cat = numeric_binning(f"num{total}", regular), categorical_binning(f"cat{total}", regular)
            monitoring.binning.extend([num, cat])
            nums = [(v,) for v in numeric_values(regular, count, rng)]
            cats = [(v,) for v in categorical_values(regular, count, rng)]
            self.add(f"bin_numeric_attribute, {total} bins", num, AttributeBinning.bin_numeric_attribute,
                     py_bin_numeric, nums, *self.numeric_loops(num, nums), Probe.limit_bin_numeric)
            self.add(f"bin_categoric_attribute, {total} bins", cat, AttributeBinning.bin_categoric_attribute,
                     py_bin_categoric, cats, *self.categoric_loops(cat, cats), Probe.limit_bin_categoric)
        m = monitoring
        for kind, values in (("numeric", numeric_values(18, count, rng)), ("categorical",
                                                                           categorical_values(18, count, rng))):
            dtype = AttributeDataType.NUMERICAL if kind == "numeric" else AttributeDataType.CATEGORICAL
            args = [(f"{kind[:3]}20", dtype, v) for v in values]
            self.add(f"monitoring get_discretisation, {kind} 20 bins", m,
                     PredictiveModelMonitoring.get_discretisation, py_get_discretisation, args,
                     *self.monitoring_loops(m, args), Probe.limit_get_discretisation)

        record = AttributePreprocessing(binning=binned_model())
        attributes = [b.attribute for b in record.binning]
        calls = [(attributes[i % 50], rng.uniform(0.0, 10.0)) for i in range(count)]

        def cpp_discretise():
            for (a, v) in calls:
                record.apply_discretisation(a, v)

        def py_discretise():
            for (a, v) in calls:
                py_apply_discretisation(record, a, v)

        def limit_discretise():
            for (a, v) in calls:
                probe.limit_apply_discretisation(record, a, v)

        self.add("apply_discretisation, 50 binnings x 10 bins", record,
                 AttributePreprocessing.apply_discretisation, py_apply_discretisation, calls,
                 cpp_discretise, py_discretise, self.floor_loop([v for (a, v) in calls]), limit_discretise,
                 Probe.limit_apply_discretisation)

        others = [{"attribute": f"other_{i}", "encoding": [{"value": "a", "encoded_feature_name": f"o{i}"}]}
                  for i in range(4)]
        dummies = AttributePreprocessing(dummy_encoding=others + [colour_encoding()])
        dummy_calls = [("colour", f"v{rng.randrange(9)}") for _ in range(count)]   # matched: no log events

        def cpp_encode():
            for (a, v) in dummy_calls:
                dummies.apply_dummy_encoding(a, v)

        def py_encode():
            for (a, v) in dummy_calls:
                py_apply_dummy_encoding(dummies, a, v)

        def limit_encode():
            for (a, v) in dummy_calls:
                probe.limit_apply_dummy_encoding(dummies, a, v)

        self.add("apply_dummy_encoding, 10 values (5th encoding)", dummies,
                 AttributePreprocessing.apply_dummy_encoding, py_apply_dummy_encoding, dummy_calls,
                 cpp_encode, py_encode, self.floor_loop([v for (a, v) in dummy_calls]), limit_encode,
                 Probe.limit_apply_dummy_encoding)

        self.batch_record = record
        self.batch_attribute = attributes[-1]
        self.batch_values = [rng.uniform(-1.0, 11.0) for _ in range(batch)]

        whole = self.whole = AttributePreprocessing(binning=binned_model(named=True),
                                                    dummy_encoding=[colour_encoding()])
        records = []
        for _ in range(min(200, count)):
            values = {a: rng.uniform(-1.0, 11.0) for a in attributes}
            values["colour"] = f"v{rng.randrange(9)}"
            records.append((values,))
        self.records = [r for (r,) in records]

        def cpp_prepare():
            for (v,) in records:
                whole.apply_preprocessing(v)

        def py_prepare():
            for (v,) in records:
                py_apply_preprocessing(whole, v)

        self.add("apply_preprocessing, 50 attributes", whole,
                 AttributePreprocessing.apply_preprocessing, py_apply_preprocessing, records,
                 cpp_prepare, py_prepare, self.floor_loop([v for (v,) in records]))

    # The timed loops drop each result at once, as a scoring loop does with the
    # features of a record it has passed on (keeping every result alive would
    # time the allocator and the caches instead of the calls).

    def floor_loop(self, values):
        probe = self.probe

        def floor():
            for v in values:
                probe.noop(v)
        return floor

    def numeric_loops(self, b, args):
        probe = self.probe

        def cpp():
            for (v,) in args:
                b.bin_numeric_attribute(v)

        def py():
            for (v,) in args:
                py_bin_numeric(b, v)

        def limit():
            for (v,) in args:
                probe.limit_bin_numeric(b, v)
        return cpp, py, self.floor_loop([v for (v,) in args]), limit

    def categoric_loops(self, b, args):
        probe = self.probe

        def cpp():
            for (v,) in args:
                b.bin_categoric_attribute(v)

        def py():
            for (v,) in args:
                py_bin_categoric(b, v)

        def limit():
            for (v,) in args:
                probe.limit_bin_categoric(b, v)
        return cpp, py, self.floor_loop([v for (v,) in args]), limit

    def monitoring_loops(self, m, args):
        probe = self.probe

        def cpp():
            for (a, d, v) in args:
                m.get_discretisation(a, d, v)

        def py():
            for (a, d, v) in args:
                py_get_discretisation(m, a, d, v)

        def limit():
            for (a, d, v) in args:
                probe.limit_get_discretisation(m, a, d, v)
        return cpp, py, self.floor_loop([v for (a, d, v) in args]), limit

    def add(self, label, record, method, plain, args, cpp_loop, py_loop, floor_loop, limit_loop=None, limit=None):
        self.ops[label] = (record, method, plain, args, cpp_loop, py_loop, floor_loop, limit, limit_loop)

    def check(self):
        for label, (record, method, plain, args, *_, limit, limit_loop) in self.ops.items():
            for a in args[:300]:
                got, want = method(record, *a), plain(record, *a)
                assert got == want or got is want, (label, a, got, want)
                if limit is not None:
                    bound = limit(self.probe, record, *a)
                    assert bound == got or bound is got, ("limit", label, a, bound, got)
        for values in self.records[:50]:
            assert methods_in_a_loop(self.whole, values) == self.whole.apply_preprocessing(values)


# ------------------------------------------------------------ timing


def best(fn, repeat=5):
    return min(timeit.repeat(fn, number=1, repeat=repeat))


def timings(fx):
    # work ratio: (C++ - floor) / (limit - floor), the work above the call floor
    # against the limit loop's (target: at most 1.25)
    print(f"{'operation (ns per call)':50} {'C++':>8} {'Python':>9} {'speed-up':>8} {'floor':>7} "
          f"{'C++ - floor':>11} {'limit':>7} {'limit - floor':>13} {'work ratio':>10}")
    for label, (record, method, plain, args, cpp_loop, py_loop, floor_loop, limit, limit_loop) in fx.ops.items():
        c = best(cpp_loop) / len(args) * 1e9
        p = best(py_loop, 3) / len(args) * 1e9
        f = best(floor_loop) / len(args) * 1e9
        line = f"{label:50} {c:8.0f} {p:9.0f} {p / c:7.1f}x {f:7.0f} {c - f:11.0f}"
        if limit_loop is not None:
            lim = best(limit_loop) / len(args) * 1e9
            line += f" {lim:7.0f} {lim - f:13.0f} {(c - f) / (lim - f):9.2f}x"
        print(line)

    whole, records = fx.whole, fx.records
    c = best(fx.ops["apply_preprocessing, 50 attributes"][4]) / len(records)
    p = best(fx.ops["apply_preprocessing, 50 attributes"][5], 3) / len(records)

    def methods():
        for v in records:
            methods_in_a_loop(whole, v)
    m = best(methods) / len(records)
    print()
    print("apply_preprocessing on a 50-attribute record (50 numeric binnings of 10 bins, one 10-value dummy "
          "encoding), us per record")
    print(f"  C++ whole-record method {c * 1e6:7.2f}   plain-Python loop {p * 1e6:7.2f} ({p / c:.1f}x)   "
          f"C++ methods in a Python loop {m * 1e6:7.2f} ({m / c:.1f}x)")

    record, attribute, values = fx.batch_record, fx.batch_attribute, fx.batch_values
    binning = record.get_discretisation(attribute)
    bin_values = [b.value for b in binning.discretisation[:10]]
    expected = record.apply_discretisation_batch(attribute, values)
    c = best(lambda: record.apply_discretisation_batch(attribute, values), 20)
    p = best(lambda: py_apply_discretisation_batch(record, attribute, values), 2)
    print()
    print("apply_discretisation_batch, 100,000 floats over 10 bins, ms per batch")
    line = f"  C++ {c * 1e3:7.3f}   plain Python {p * 1e3:7.2f} ({p / c:.0f}x)"
    if np is not None:
        inner_edges, lookup = np.array(edges_for(10)[1:-1]), np.array(bin_values)

        def numpy_batch():
            # (lower, upper]: the first inner edge >= v is the bin.
            return lookup[np.searchsorted(inner_edges, np.asarray(values, dtype=np.float64), side="left")].tolist()

        assert numpy_batch() == expected
        n = best(numpy_batch, 20)
        line += f"   numpy.searchsorted {n * 1e3:7.3f} ({n / c:.2f}x the C++ time)"
    print(line)


# ------------------------------------------------------------ memory


def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def memory(fx):
    print()
    print("memory over a million calls of each: resident set size (KiB) and objects tracked by the collector,")
    print("from after the first half million to the end")
    rows = [(label, record, method, args) for label, (record, method, plain, args, *_) in fx.ops.items()]
    rows.append(("apply_discretisation_batch (10 x 100,000 values)", fx.batch_record,
                 AttributePreprocessing.apply_discretisation_batch,
                 [(fx.batch_attribute, fx.batch_values)] * 1))
    for label, record, method, args in rows:
        calls = [(record, *a) for a in args]
        rounds = 10 if "batch" in label else max(1, 1_000_000 // len(calls))
        # The first half settles the allocator; the second half must add nothing.
        for _ in range(rounds // 2):
            deque(starmap(method, calls), maxlen=0)
        gc.collect()
        before, objects = rss_kib(), len(gc.get_objects())
        for _ in range(rounds - rounds // 2):
            deque(starmap(method, calls), maxlen=0)
        gc.collect()
        after, objects_after = rss_kib(), len(gc.get_objects())
        print(f"  {label:50} {before:,} -> {after:,} ({after - before:+,}); objects {objects_after - objects:+,}")


# ------------------------------------------------------------ instruction counts


def count(fx, op, n):
    plain_side = op.startswith("py:")   # the plain-Python steps instead
    limit_side = op.startswith("limit:")   # the probe's limit loop instead
    op = op[3:] if plain_side else op[6:] if limit_side else op
    if limit_side and op in ("floor", "batch"):
        sys.exit(f"{op} has no limit loop")
    if op == "floor":
        calls = [(fx.probe, 1.0)] * n
        method = Probe.noop
    elif op == "batch":
        calls = [(fx.batch_record, fx.batch_attribute, fx.batch_values)] * n
        method = py_apply_discretisation_batch if plain_side else AttributePreprocessing.apply_discretisation_batch
    else:
        label = [label for label in fx.ops if label.startswith(op)][0]
        record, method, plain, args, *_, limit, limit_loop = fx.ops[label]
        if limit_side:
            if limit is None:
                sys.exit(f"{label} has no limit loop")
            calls = [(fx.probe, record, *args[i % len(args)]) for i in range(n)]
            method = limit
        else:
            method = plain if plain_side else method
            calls = [(record, *args[i % len(args)]) for i in range(n)]
    for c in calls[:100]:   # warm up, outside starmap: not counted
        method(*c)
    deque(starmap(method, calls), maxlen=0)


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--count":
        count(Fixtures(count=500), sys.argv[2], int(sys.argv[3]))
    else:
        fixtures = Fixtures()
        fixtures.check()
        timings(fixtures)
        memory(fixtures)
