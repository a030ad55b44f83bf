"""The decision journal: every call the host makes into quarn_sdk_core, with its inputs and its
result, as JSON lines; and the replay that runs a journal against fresh objects.

The module reads no clock and draws no random numbers of its own (time and jitter are arguments),
so replaying the same calls in the same order must give the same answers. A difference means the
module, not the world, changed its mind.
"""

from __future__ import annotations

import json
import os
import sys
from dataclasses import dataclass
from typing import IO, Any, Callable, Iterator

# Like the test suite: QSC_BUILD_DIR puts a development build ahead of an installed copy.
_build = os.environ.get("QSC_BUILD_DIR")
if _build:
    sys.path.insert(0, os.path.abspath(_build))

import quarn_sdk_core as q  # noqa: E402

# Classes whose instances hold state across calls; the journal names each instance it sees made.
STATEFUL = (
    "AgentFailure", "ClaimRegistry", "DecisionRegistry", "ParticipantRoster", "RetryTracker",
    "RoomRoster", "Session", "SessionPolicy", "SubscriptionTracker", "TurnLedger",
)
# Result objects that are plain values: recorded by their properties.
VALUE_OBJECTS = {
    "SessionOutcome": ("state", "retry_after_s", "dead_reason", "stale_reason"),
    "RoomReconciliation": ("removed", "admitting", "resync"),
    "CancelledDecisions": ("unclaimed", "claimed"),
}


def _is_enum(value: object) -> bool:
    cls = type(value)
    return cls.__module__ == "quarn_sdk_core" and (hasattr(cls, "wire_name") or hasattr(cls, "value"))


def encode(value: Any, names: dict[int, str]) -> Any:
    """A JSON form of an argument or a result; `names` maps id() of journaled objects to names."""
    if value is None or isinstance(value, (bool, int, float, str)):
        return value
    if isinstance(value, (list, tuple)):
        return [encode(v, names) for v in value]
    if isinstance(value, (set, frozenset)):
        return {"$set": sorted(value)}
    if isinstance(value, dict):
        return {"$dict": [[k, encode(v, names)] for k, v in value.items()]}
    if id(value) in names:
        return {"$ref": names[id(value)]}
    kind = type(value).__name__
    if kind in VALUE_OBJECTS:
        return {"$" + kind: [encode(getattr(value, p), names) for p in VALUE_OBJECTS[kind]]}
    if _is_enum(value):
        return {"$enum": repr(value)}
    raise TypeError(f"the journal cannot record a {kind}")


def decode(value: Any, objects: dict[str, Any]) -> Any:
    """The inverse of `encode` for arguments: references become the replay's own objects."""
    if isinstance(value, list):
        return [decode(v, objects) for v in value]
    if not isinstance(value, dict):
        return value
    if "$ref" in value:
        return objects[value["$ref"]]
    if "$enum" in value:
        cls, variant = value["$enum"].split(".")
        return getattr(getattr(q, cls), variant)
    if "$set" in value:
        return set(value["$set"])
    if "$dict" in value:
        return {k: decode(v, objects) for k, v in value["$dict"]}
    raise ValueError(f"unknown journal value {value!r}")


def describe_error(exc: BaseException) -> dict[str, Any]:
    return {"type": type(exc).__name__, "message": str(exc),
            "issues": [list(i) for i in getattr(exc, "issues", ())]}


class Journal:
    """Writes one JSON line per module call. Lines are buffered; `close` flushes them."""

    def __init__(self, out: IO[str] | None) -> None:
        self._out = out
        self._names: dict[int, str] = {}
        self._keep: list[object] = []  # named objects stay alive so their id() is never reused
        self._counts: dict[str, int] = {}
        self.calls = 0

    def name(self, obj: object) -> str:
        kind = type(obj).__name__
        self._counts[kind] = self._counts.get(kind, 0) + 1
        label = f"{kind}#{self._counts[kind]}"
        self._names[id(obj)] = label
        self._keep.append(obj)
        return label

    def record(self, call: str, target: str | None, args: tuple[Any, ...], kwargs: dict[str, Any],
               invoke: Callable[[], Any]) -> Any:
        entry: dict[str, Any] = {"call": call, "self": target, "args": encode(list(args), self._names),
                                 "kwargs": {k: encode(v, self._names) for k, v in kwargs.items()}}
        try:
            result = invoke()
        except Exception as exc:
            entry["raised"] = describe_error(exc)
            self._write(entry)
            raise
        if type(result).__name__ in STATEFUL and type(result).__module__ == "quarn_sdk_core":
            entry["result"] = {"$new": self.name(result)}
            self._write(entry)
            return Journaled(result, self)
        entry["result"] = encode(result, self._names)
        self._write(entry)
        return result

    def _write(self, entry: dict[str, Any]) -> None:
        self.calls += 1
        if self._out is not None:
            self._out.write(json.dumps(entry, separators=(",", ":")) + "\n")

    def close(self) -> None:
        if self._out is not None:
            self._out.close()


class Journaled:
    """A module object whose method calls are written to the journal."""

    def __init__(self, target: Any, journal: Journal) -> None:
        self._target = target
        self._journal = journal

    def __getattr__(self, attr: str) -> Any:
        value = getattr(self._target, attr)
        if not callable(value):
            return value
        call = f"{type(self._target).__name__}.{attr}"
        return _journaled(self._journal, call, self._journal._names[id(self._target)], value)


class JournaledClass:
    """A module class: calling it, or one of its static methods, makes a journaled object."""

    def __init__(self, cls: Any, journal: Journal) -> None:
        self._cls = cls
        self._journal = journal

    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        return _journaled(self._journal, self._cls.__name__, None, self._cls)(*args, **kwargs)

    def __getattr__(self, attr: str) -> Any:
        value = getattr(self._cls, attr)
        if not callable(value) or _is_enum(value):
            return value
        return _journaled(self._journal, f"{self._cls.__name__}.{attr}", None, value)


class Core:
    """The module as the host sees it: `core.Session(...)`, `core.evaluate_delivery_event(...)`.
    Every call that decides is journaled; enumeration classes pass through untouched."""

    def __init__(self, journal: Journal) -> None:
        self.journal = journal

    def __getattr__(self, attr: str) -> Any:
        value = getattr(q, attr)
        if isinstance(value, type):
            return JournaledClass(value, self.journal) if attr in STATEFUL else value
        return _journaled(self.journal, attr, None, value) if callable(value) else value


def _journaled(journal: Journal, call: str, target: str | None, fn: Any) -> Callable[..., Any]:
    def invoke(*args: Any, **kwargs: Any) -> Any:
        raw = tuple(_unwrap(a) for a in args)
        kw = {k: _unwrap(v) for k, v in kwargs.items()}
        return journal.record(call, target, raw, kw, lambda: fn(*raw, **kw))
    return invoke


def _unwrap(value: Any) -> Any:
    return value._target if isinstance(value, Journaled) else value


# ---------------------------------------------------------------------------------------------
# Replay


@dataclass
class Difference:
    line: int
    call: str
    recorded: Any
    replayed: Any


def read_entries(path: str) -> Iterator[tuple[int, dict[str, Any]]]:
    with open(path, encoding="utf-8") as f:
        for number, text in enumerate(f, start=1):
            if text.strip():
                yield number, json.loads(text)


def replay(path: str) -> tuple[int, list[Difference]]:
    """Runs every journaled call against fresh objects; returns the call count and the differences."""
    objects: dict[str, Any] = {}
    names: dict[int, str] = {}
    differences: list[Difference] = []
    count = 0
    for line, entry in read_entries(path):
        count += 1
        outcome = _replay_one(entry, objects, names)
        expected = entry.get("raised") if "raised" in entry else entry.get("result")
        if outcome != expected:
            differences.append(Difference(line, entry["call"], expected, outcome))
    return count, differences


def _replay_one(entry: dict[str, Any], objects: dict[str, Any], names: dict[int, str]) -> Any:
    call: str = entry["call"]
    args = decode(entry["args"], objects)
    kwargs = {k: decode(v, objects) for k, v in entry["kwargs"].items()}
    if entry["self"] is not None:
        fn = getattr(objects[entry["self"]], call.split(".", 1)[1])
    else:
        fn = q
        for part in call.split("."):
            fn = getattr(fn, part)
    try:
        result = fn(*args, **kwargs)
    except Exception as exc:
        return describe_error(exc)
    recorded = entry.get("result")
    if isinstance(recorded, dict) and "$new" in recorded:
        objects[recorded["$new"]] = result
        names[id(result)] = recorded["$new"]
        return recorded if type(result).__name__ == recorded["$new"].split("#")[0] else repr(result)
    return encode(result, names)
