"""Test setup: QSC_BUILD_DIR points the suite at a development build instead of the installed one."""

import os
import sys

_build = os.environ.get("QSC_BUILD_DIR")
if _build:
    sys.path.insert(0, os.path.abspath(_build))

from hypothesis import settings

# Sanitizer builds are slow; a per-example deadline would only report that.
settings.register_profile("qsc", deadline=None)
settings.load_profile("qsc")

# The reference host's package from this source tree; the benchmark's modules by their plain
# names, as when run as scripts (its pure-Python baselines are the model-based tests' references).
_root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:0] = [os.path.join(_root, "host"), os.path.join(_root, "bench")]
# Child processes (the host run as a command) see the same module and package.
os.environ["PYTHONPATH"] = os.pathsep.join(
    ([os.path.abspath(_build)] if _build else []) + [os.path.join(_root, "host")]
    + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p])


def pytest_terminal_summary(terminalreporter):
    """The figures of the fuzzer and the model-based tests, when they ran (also appended to the
    file named by QSC_FUZZ_STATS)."""
    figures = {}
    for module, counts in (("test_fuzz", "COUNTS"), ("test_models", "STEPS"), ("test_faults", "COUNTS"),
                           ("test_leaks", "FIGURES")):
        if module in sys.modules:
            figures.update(getattr(sys.modules[module], counts))
    if not any(figures.values()):
        return
    terminalreporter.write_line("robustness figures: " + ", ".join(f"{v} {k}" for k, v in figures.items()))
    if os.environ.get("QSC_FUZZ_STATS"):
        with open(os.environ["QSC_FUZZ_STATS"], "a") as out:
            out.write(" ".join(f"{k}={v}" for k, v in figures.items()) + "\n")
