"""parse_value against the same steps written in plain Python, side by side.

Run: python benchmarks/bench_parse.py
"""
import timeit

from kelvane_analytics_utils.utils.parse import parse_value


class PyStringFunctions:
    @classmethod
    def _has_quotes(cls, val: str) -> bool:
        return (val.startswith("'") and val.endswith("'")) or (val.startswith('"') and val.endswith('"'))

    @classmethod
    def _remove_quotes(cls, val: str) -> str:
        if cls._has_quotes(val):
            return val[1:-1]
        return val


def py_parse_value(val):
    if isinstance(val, str) and PyStringFunctions._has_quotes(val):
        return PyStringFunctions._remove_quotes(val)
    try:
        number = float(val)
        if number.is_integer():
            return int(number)
        return number
    except ValueError:
        return str(val)


GROUPS = {
    "integers": ["42", "-7", "1000", "0", " 12 ", "250000"],
    "decimals": ["3.14", "0.001", "-2.5", "1e-3", "99.95", "12.0"],
    "quoted words": ["'abc'", '"yes"', "'N/A'", '"Other"', "'42'", "'x y'"],
    "words": ["red", "Other", "N/A", "unknown", "male", ""],
}
GROUPS["mix"] = [v for values in GROUPS.values() for v in values]


def per_call_ns(fn, values, number):
    def run():
        for v in values:
            fn(v)

    best = min(timeit.repeat(run, number=number, repeat=7))
    return best / (number * len(values)) * 1e9


def main():
    for values in GROUPS.values():
        for v in values:
            assert parse_value(v) == py_parse_value(v), v
    print(f"{'texts':<14}{'C++ ns/call':>14}{'Python ns/call':>16}{'speed-up':>10}")
    for name, values in GROUPS.items():
        fast = per_call_ns(parse_value, values, 20000)
        slow = per_call_ns(py_parse_value, values, 20000)
        print(f"{name:<14}{fast:>14.0f}{slow:>16.0f}{slow / fast:>9.1f}x")


if __name__ == "__main__":
    main()
