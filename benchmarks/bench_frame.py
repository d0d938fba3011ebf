"""Cost of calling C++ functions through the module frame, next to Python defs
of the same arity that do nothing; and memory over many records and calls.

Run: python benchmarks/bench_frame.py
"""
import gc
import timeit
import tracemalloc

from kelvane_analytics_utils._frame_probe import Plain, Probe, noop
from kelvane_analytics_utils.utils.base_model import BaseModel


class PythonProbe(BaseModel):
    name: str
    size: int = 0

    def noop(self, a):
        return None


class PythonPlain:
    def noop(self, a):
        return None


def py_noop(a):
    return None


def ns_per_call(stmt, env, number=2_000_000, repeat=5):
    return min(timeit.repeat(stmt, globals=env, number=number, repeat=repeat)) / number * 1e9


def call_costs():
    record, py_record = Probe(name="p"), PythonProbe(name="p")
    plain, py_plain = Plain(), PythonPlain()
    rows = [
        ("record method, 1 argument", "record.noop(1)", "py_record.noop(1)"),
        ("record method, keyword", "record.noop(a=1)", "py_record.noop(a=1)"),
        ("plain class method, 1 argument", "plain.noop(1)", "py_plain.noop(1)"),
        ("plain class method, keyword", "plain.noop(a=1)", "py_plain.noop(a=1)"),
        ("module function, 1 argument", "noop(1)", "py_noop(1)"),
        ("method, checked str argument", "record.text('x')", None),
    ]
    env = dict(record=record, py_record=py_record, plain=plain, py_plain=py_plain, noop=noop, py_noop=py_noop)
    print(f"{'call':32} {'C++ (ns)':>10} {'Python def (ns)':>16} {'ratio':>7}")
    for label, cpp, py in rows:
        c = ns_per_call(cpp, env)
        if py is None:
            print(f"{label:32} {c:10.1f} {'-':>16} {'-':>7}")
            continue
        p = ns_per_call(py, env)
        print(f"{label:32} {c:10.1f} {p:16.1f} {c / p:7.2f}")


def memory():
    def work():
        records = [Probe(name=f"r{i}", size=i) for i in range(100_000)]
        for r in records:
            r.noop(r)
            r.text(r.name)
            r.with_default()
            r.options(r.size, k=r)
            r.label()
        return len(records)

    work()
    gc.collect()
    tracemalloc.start()
    base = tracemalloc.get_traced_memory()[0]
    rounds = []
    for _ in range(3):
        work()
        gc.collect()
        rounds.append(tracemalloc.get_traced_memory()[0] - base)
    tracemalloc.stop()
    print()
    print("100,000 records built and 5 methods called on each, three rounds:")
    print("  memory still held after each round (bytes):", ", ".join(f"{r:,}" for r in rounds))


if __name__ == "__main__":
    call_costs()
    memory()
