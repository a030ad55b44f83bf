"""Finds the module under test: a development build named by QSC_BUILD_DIR, else the installed one."""

import os
import sys
from types import ModuleType
from typing import Optional


def load() -> Optional[ModuleType]:
    """The imported module, or None when it cannot be imported at all."""
    build = os.environ.get("QSC_BUILD_DIR")
    if build:
        path = os.path.abspath(build)
        if path not in sys.path:
            sys.path.insert(0, path)
    try:
        import quarn_sdk_core
    except ImportError:
        return None
    return quarn_sdk_core


def missing(module: Optional[ModuleType], *names: str) -> Optional[str]:
    """Why a case cannot run the module yet ("Class.method" names), or None when it can."""
    if module is None:
        return "quarn_sdk_core cannot be imported"
    for name in names:
        owner: object = module
        for part in name.split("."):
            owner = getattr(owner, part, None)
            if owner is None:
                return f"quarn_sdk_core.{name} not available yet"
    return None
