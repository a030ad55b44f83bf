"""Message validation and the inbound routing decision, in plain Python.

This is what an SDK author would write without the native module: a JSON-safe copy of the
payload with sorted keys, the field checks of a chat message collecting every issue, and the
routing decision that follows. It gives the same results and raises the same errors as the
module on the benchmark corpus, so the two do the same work.
"""

import math
from typing import Any, Optional

Issue = tuple[str, str, str]
JSONObject = dict[str, Any]

_U64_MAX = 2**64 - 1
_I64_MIN = -(2**63)

REQUIRED_MESSAGE_FIELDS = ("id", "content", "message_type", "sender_type", "sender_id", "inserted_at", "updated_at")
MESSAGE_EVENTS = ("message_created", "message_updated")


class ValidationFailed(ValueError):
    """A payload with one or more issues; `issues` holds (path, code, message) triples."""

    def __init__(self, issues: list[Issue], trace_context: Optional[str] = None) -> None:
        path, _code, message = issues[0]
        super().__init__(f"{len(issues)} validation issue(s): {message} ({path})")
        self.issues = tuple(issues)
        self.trace_context = trace_context


def to_json(value: Any) -> Any:
    """A JSON-safe deep copy: dict keys sorted, tuples as lists, non-finite floats as None."""
    kind = type(value)
    if kind is str or kind is bool or value is None:
        return value
    if kind is dict:
        return _json_object(value)
    if kind is list or kind is tuple:
        return [to_json(item) for item in value]
    if kind is int:
        return _json_integer(value)
    if kind is float:
        return value if math.isfinite(value) else None
    return _json_subclass(value)


def _json_object(value: dict[Any, Any]) -> JSONObject:
    for key in value:
        if not isinstance(key, str):
            raise TypeError("dict keys must have type str")
    return {key: to_json(value[key]) for key in sorted(value)}


def _json_integer(value: int) -> int:
    if _I64_MIN <= value <= _U64_MAX:
        return int(value)
    raise TypeError("JSON number out of range")


def _json_subclass(value: object) -> Any:
    if isinstance(value, str):
        return str(value)
    if isinstance(value, int):
        return _json_integer(value)
    if isinstance(value, float):
        return to_json(float(value))
    if isinstance(value, dict):
        return _json_object(value)
    if isinstance(value, (list, tuple)):
        return [to_json(item) for item in value]
    if isinstance(value, (bytes, bytearray)):
        raise TypeError("invalid type: byte array, expected any valid JSON value")
    raise TypeError(f"unsupported type {type(value).__qualname__}")


def _article(word: str) -> str:
    return "an" if word[0] in "aeiou" else "a"


def _wrong_type(issues: list[Issue], path: str, expected: str) -> None:
    issues.append((path, "wrong_type", f"`{path}` must be {_article(expected)} {expected}"))


def _require_string(obj: JSONObject, key: str, path: str, issues: list[Issue]) -> None:
    if key not in obj:
        issues.append((path, "missing", f"required field `{path}` is missing"))
    elif not isinstance(obj[key], str):
        _wrong_type(issues, path, "string")


def _optional_string(obj: JSONObject, key: str, path: str, issues: list[Issue]) -> None:
    value = obj.get(key)
    if value is not None and not isinstance(value, str):
        _wrong_type(issues, path, "string")


def _check_mentions(mentions: list[Any], issues: list[Issue]) -> None:
    for i, mention in enumerate(mentions):
        path = f"metadata.mentions[{i}]"
        if not isinstance(mention, dict):
            _wrong_type(issues, path, "object")
            continue
        _require_string(mention, "id", path + ".id", issues)
        for key in ("username", "handle", "name"):
            _optional_string(mention, key, f"{path}.{key}", issues)


def normalize_message(message: JSONObject) -> list[Issue]:
    """Checks a converted message in place and fills the containers the host relies on.

    Returns the issues found, in check order; `message` is normalised even when there are some.
    """
    issues: list[Issue] = []
    for key in REQUIRED_MESSAGE_FIELDS:
        _require_string(message, key, key, issues)
    _optional_string(message, "sender_name", "sender_name", issues)

    metadata = message.get("metadata")
    if metadata is None:
        metadata = message["metadata"] = {}
    if isinstance(metadata, dict):
        mentions = metadata.get("mentions")
        if mentions is None:
            metadata["mentions"] = []
            message["metadata"] = dict(sorted(metadata.items()))
        elif isinstance(mentions, list):
            _check_mentions(mentions, issues)
        else:
            _wrong_type(issues, "metadata.mentions", "array")
    else:
        _wrong_type(issues, "metadata", "object")

    attachments = message.get("attachments")
    if attachments is None:
        message["attachments"] = []
    elif not isinstance(attachments, list):
        _wrong_type(issues, "attachments", "array")
    return issues


def _sorted_if_grown(message: JSONObject, size_before: int) -> JSONObject:
    return message if len(message) == size_before else dict(sorted(message.items()))


def validate_message(payload: object, trace_context: Optional[str] = None) -> JSONObject:
    """The normalised copy of a "message_created" / "message_updated" payload, or ValidationFailed."""
    message = to_json(payload)
    if not isinstance(message, dict):
        raise ValidationFailed([("", "wrong_type", "payload must be a JSON object")], trace_context)
    size_before = len(message)
    issues = normalize_message(message)
    if issues:
        raise ValidationFailed(issues, trace_context)
    return _sorted_if_grown(message, size_before)


def validate_event_payload(event_type: str, raw: object, trace_context: Optional[str] = None) -> Any:
    """The message kinds and the pass-through kind; the benchmarks need no other."""
    if event_type in MESSAGE_EVENTS:
        return validate_message(raw, trace_context)
    if event_type == "event_created":
        return to_json(raw)
    raise ValidationFailed([("event_type", "invalid_value", f"unknown event type `{event_type}`")], trace_context)


def is_self_echo(sender_id: str, sender_type: str, agent_id: str) -> bool:
    return sender_type == "Agent" and sender_id == agent_id


def resolve_room_id(
    envelope_room_id: Optional[str], payload: Any, payload_key: str, trace_context: Optional[str] = None
) -> str:
    if envelope_room_id:
        return envelope_room_id
    value = payload.get(payload_key) if isinstance(payload, dict) else None
    if value is None or value == "":
        raise ValidationFailed(
            [("room_id", "missing", "room_id is missing from both the envelope and the payload")], trace_context
        )
    if not isinstance(value, str):
        raise ValidationFailed(
            [("room_id", "wrong_type", f"payload.{payload_key} must be a string to serve as room_id")], trace_context
        )
    return value


def evaluate_delivery_event(
    event_type: str, room_id: Optional[str], payload: object, agent_id: str, trace_context: Optional[str] = None
) -> dict[str, str]:
    """What to do with one inbound event: a decision dict whose first key is "decision"."""
    value = to_json(payload)
    if event_type in ("room_removed", "room_deleted"):
        return {"decision": "cleanup", "room_id": resolve_room_id(room_id, value, "id", trace_context)}
    if event_type != "message_created":
        return {"decision": "ignored", "event_type": event_type}

    if not isinstance(value, dict):
        raise ValidationFailed([("", "wrong_type", "payload must be a JSON object")], trace_context)
    issues = normalize_message(value)
    if issues:
        raise ValidationFailed(issues, trace_context)
    message_id = value["id"]
    if message_id == "":
        raise ValidationFailed([("id", "missing", "id must be a non-empty string")], trace_context)
    room = resolve_room_id(room_id, value, "chat_room_id", trace_context)
    sender_id, sender_type = value["sender_id"], value["sender_type"]
    if is_self_echo(sender_id, sender_type, agent_id):
        return {"decision": "skip_self", "room_id": room, "message_id": message_id}
    return {
        "decision": "invocation",
        "room_id": room,
        "message_id": message_id,
        "sender_id": sender_id,
        "sender_type": sender_type,
    }
