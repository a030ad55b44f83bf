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

# The reference host's modules import each other by their plain names, as when run as scripts.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples"))
