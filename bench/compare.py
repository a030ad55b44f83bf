"""Comparing what the module and a baseline answered."""

import enum
import math
from typing import Any, Optional


def wire(value: object) -> Optional[str]:
    """An enumeration member's wire name, whichever implementation it comes from; None stays None."""
    if value is None:
        return None
    return value.value if isinstance(value, enum.Enum) else str(value)


def same_json(a: Any, b: Any) -> bool:
    """Equal values with equal types and equal dict key order, all the way down."""
    if type(a) is not type(b):
        return False
    if isinstance(a, dict):
        return list(a) == list(b) and all(same_json(a[k], b[k]) for k in a)
    if isinstance(a, list):
        return len(a) == len(b) and all(same_json(x, y) for x, y in zip(a, b))
    return bool(a == b)


def agree(a: Any, b: Any, tolerance: float = 2e-9) -> bool:
    """Equal structures whose floats may differ by `tolerance` (nanosecond rounding of seconds)."""
    if isinstance(a, float) and isinstance(b, float):
        return math.isclose(a, b, rel_tol=0.0, abs_tol=tolerance)
    if isinstance(a, (list, tuple)) and isinstance(b, (list, tuple)):
        return len(a) == len(b) and all(agree(x, y, tolerance) for x, y in zip(a, b))
    if isinstance(a, dict) and isinstance(b, dict):
        return list(a) == list(b) and all(agree(a[k], b[k], tolerance) for k in a)
    return type(a) is type(b) and a == b
