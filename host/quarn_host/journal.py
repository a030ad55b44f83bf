"""The decision journal: every call the host makes into quarn_sdk_core, with its inputs and its
result, as JSON lines; and the replay that runs a journal against fresh objects.

The module reads no clock and draws no random numbers of its own (time and jitter are arguments),
so replaying the same calls in the same order must give the same answers. A difference means the
module, not the world, changed its mind.
"""

from __future__ import annotations

import json
from dataclasses import dataclass
from typing import IO, Any, Callable, Iterator, ParamSpec, TypeVar, cast

import quarn_sdk_core as q

P = ParamSpec("P")
R = TypeVar("R")

# Classes whose instances hold state across calls; the journal names each instance it sees made.
STATEFUL = frozenset({
    "AgentFailure", "ClaimRegistry", "DecisionRegistry", "ParticipantRoster", "RetryTracker",
    "RoomRoster", "Session", "SessionPolicy", "SubscriptionTracker", "TurnLedger",
})
# Result objects that are plain values: recorded by their properties.
VALUE_OBJECTS = {
    "SessionOutcome": ("state", "retry_after_s", "dead_reason", "stale_reason"),
    "RoomReconciliation": ("removed", "admitting", "resync"),
    "CancelledDecisions": ("unclaimed", "claimed"),
}


def _is_enum(value: object) -> bool:
    cls = type(value)
    return cls.__module__ == "quarn_sdk_core" and (hasattr(cls, "wire_name") or hasattr(cls, "value"))


def encode(value: Any, names: dict[int, str] | None = None) -> Any:
    """A JSON form of an argument or a result. A journaled object is written as a reference to its
    name; `names` (id() to name) serves the replay, whose objects are not wrapped."""
    if value is None or isinstance(value, (bool, int, float, str)):
        return value
    if isinstance(value, Journaled):
        return {"$ref": value._label}
    if isinstance(value, (list, tuple)):
        return [encode(v, names) for v in value]
    if isinstance(value, (set, frozenset)):
        return {"$set": sorted(value)}
    if isinstance(value, dict):
        return {"$dict": [[k, encode(v, names)] for k, v in value.items()]}
    if names is not None and id(value) in names:
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
    """Writes one JSON line per module call. Lines are buffered; `close` flushes them.

    An object the module makes is handed back wrapped, and the wrapper carries the object's name:
    the journal itself keeps nothing per object, so an object lives exactly as long as the host
    holds it."""

    def __init__(self, out: IO[str] | None) -> None:
        self._out = out
        self._counts: dict[str, int] = {}  # one counter per class name: bounded
        self.calls = 0

    def wrap(self, fn: Callable[P, R], call: str, target: Journaled | None = None) -> Callable[P, R]:
        """`fn` as a callable that writes each call (and its answer) to the journal."""
        label = None if target is None else target._label

        def invoke(*args: P.args, **kwargs: P.kwargs) -> R:
            entry: dict[str, Any] = {"call": call, "self": label, "args": encode(list(args)),
                                     "kwargs": {k: encode(v) for k, v in kwargs.items()}}
            raw = [_unwrap(a) for a in args]
            kw = {k: _unwrap(v) for k, v in kwargs.items()}
            try:
                result = fn(*raw, **kw)  # type: ignore[arg-type]
            except Exception as exc:
                entry["raised"] = describe_error(exc)
                self._write(entry)
                raise
            kind = type(result).__name__
            if kind in STATEFUL and type(result).__module__ == "quarn_sdk_core":
                self._counts[kind] = self._counts.get(kind, 0) + 1
                named = Journaled(result, self, f"{kind}#{self._counts[kind]}")
                entry["result"] = {"$new": named._label}
                self._write(entry)
                return cast(R, named)
            entry["result"] = encode(result)
            self._write(entry)
            return result

        return invoke

    def _write(self, entry: dict[str, Any]) -> None:
        self.calls += 1
        if self._out is not None:
            self._out.write(json.dumps(entry, separators=(",", ":")) + "\n")

    def close(self) -> None:
        if self._out is not None:
            self._out.close()


class Journaled:
    """A module object whose method calls are written to the journal. The host sees it as the
    object itself (the journal hands it out under the object's own type)."""

    __slots__ = ("_target", "_journal", "_label")

    def __init__(self, target: Any, journal: Journal, label: str) -> None:
        self._target = target
        self._journal = journal
        self._label = label

    def __getattr__(self, attr: str) -> Any:
        value = getattr(self._target, attr)
        if not callable(value):
            return value
        return self._journal.wrap(value, f"{type(self._target).__name__}.{attr}", self)


def _unwrap(value: object) -> object:
    return value._target if isinstance(value, Journaled) else value


def _direct(fn: Callable[P, R], call: str) -> Callable[P, R]:
    return fn


class Core:
    """The module's constructors and functions as the host calls them: straight from the module,
    or, given a journal, through it. Enumerations are used from the module directly."""

    def __init__(self, journal: Journal | None = None) -> None:
        self.journal = journal
        wrap = journal.wrap if journal is not None else _direct
        self.default_policy = wrap(q.SessionPolicy.default, "SessionPolicy.default")
        self.Session = wrap(q.Session, "Session")
        self.SubscriptionTracker = wrap(q.SubscriptionTracker, "SubscriptionTracker")
        self.RoomRoster = wrap(q.RoomRoster, "RoomRoster")
        self.ClaimRegistry = wrap(q.ClaimRegistry, "ClaimRegistry")
        self.RetryTracker = wrap(q.RetryTracker, "RetryTracker")
        self.ParticipantRoster = wrap(q.ParticipantRoster, "ParticipantRoster")
        self.TurnLedger = wrap(q.TurnLedger, "TurnLedger")
        self.AgentFailure = wrap(q.AgentFailure, "AgentFailure")
        self.quarn_tool_effects = wrap(q.quarn_tool_effects, "quarn_tool_effects")
        self.no_reply_tool = wrap(q.no_reply_tool, "no_reply_tool")
        self.missing_reply_message = wrap(q.missing_reply_message, "missing_reply_message")
        self.chat_room_topic = wrap(q.chat_room_topic, "chat_room_topic")
        self.room_participants_topic = wrap(q.room_participants_topic, "room_participants_topic")
        self.evaluate_delivery_event = wrap(q.evaluate_delivery_event, "evaluate_delivery_event")
        self.validate_event_payload = wrap(q.validate_event_payload, "validate_event_payload")
        self.evaluate_drain_candidate = wrap(q.evaluate_drain_candidate, "evaluate_drain_candidate")
        self.evaluate_next_message = wrap(q.evaluate_next_message, "evaluate_next_message")
        self.evaluate_adapter_result = wrap(q.evaluate_adapter_result, "evaluate_adapter_result")


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
