"""Comparing what the module and a baseline answered."""

import enum
from typing import Any, Callable, Optional


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
    if isinstance(a, (list, tuple)):
        return len(a) == len(b) and all(same_json(x, y) for x, y in zip(a, b))
    return bool(a == b)


def same_shape(built: Any, answer: Any) -> bool:
    """Whether `built` is the same kind of object as `answer`: the same types all the way down,
    dicts with the same keys in the same order, sequences of the same length. A session outcome
    stands for the tuple of its four fields."""
    if hasattr(answer, "retry_after_s"):
        answer = (answer.state, answer.retry_after_s, answer.dead_reason, answer.stale_reason)
    if type(built) is not type(answer):
        return False
    if isinstance(answer, dict):
        return list(built) == list(answer) and all(same_shape(built[k], answer[k]) for k in answer)
    if isinstance(answer, (list, tuple)):
        return len(built) == len(answer) and all(same_shape(x, y) for x, y in zip(built, answer))
    return True


def outcome(call: Callable[[], object]) -> tuple[Any, ...]:
    """What a call answered or raised, in a form the module and a baseline share."""
    try:
        result = call()
    except (ValueError, TypeError) as error:
        kind = "ValueError" if isinstance(error, ValueError) else type(error).__name__
        return ("raised", kind, str(error), getattr(error, "issues", None), getattr(error, "trace_context", None))
    return ("ok", normalise(result))


def normalise(value: object) -> Any:
    """Sequences as lists, enumeration members as wire names, session outcomes as their four fields."""
    if isinstance(value, (list, tuple)):
        return [normalise(v) for v in value]
    if isinstance(value, dict):
        return {k: normalise(v) for k, v in value.items()}
    if value is None or isinstance(value, (bool, int, float, str)):
        return value
    if hasattr(value, "retry_after_s"):
        o: Any = value
        return [wire(o.state), o.retry_after_s, wire(o.dead_reason), wire(o.stale_reason)]
    return wire(value)
