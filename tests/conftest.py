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


def pytest_terminal_summary(terminalreporter):
    """The fuzzer's figures, when it ran: how many runs, calls and replayed calls."""
    fuzz = sys.modules.get("test_fuzz")
    if fuzz and fuzz.COUNTS["runs"]:
        counts = ", ".join(f"{v} {k}" for k, v in fuzz.COUNTS.items())
        terminalreporter.write_line(f"hostile fuzzing: {counts}")
        if os.environ.get("QSC_FUZZ_STATS"):
            with open(os.environ["QSC_FUZZ_STATS"], "a") as out:
                out.write(" ".join(f"{k}={v}" for k, v in fuzz.COUNTS.items()) + "\n")
