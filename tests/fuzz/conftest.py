"""Fuzzing settings. The default run executes a bounded, repeatable share;
KELVANE_FUZZ_EXAMPLES raises the examples per test for the long mode
(scripts/fuzz.sh), which also draws new examples on every run."""
import collections
import os

from hypothesis import HealthCheck, settings

EXAMPLES = int(os.environ.get("KELVANE_FUZZ_EXAMPLES", "0"))
settings.register_profile(
    "kelvane",
    max_examples=EXAMPLES or 40,
    derandomize=not EXAMPLES,
    deadline=None,
    database=None,
    suppress_health_check=list(HealthCheck),
)
settings.load_profile("kelvane")

# Calls compared with the rules, per test module.
CASES = collections.Counter()


def pytest_terminal_summary(terminalreporter):
    if CASES:
        total = sum(CASES.values())
        terminalreporter.write_line(f"fuzzed cases compared with the rules: {total} "
                                    + ", ".join(f"{k} {v}" for k, v in sorted(CASES.items())))
        path = os.environ.get("KELVANE_FUZZ_REPORT")
        if path:
            with open(path, "a") as f:
                f.write(f"{total}\n")
