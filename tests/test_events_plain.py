"""Plain payloads (exact dicts, lists, tuples, strs, ints, floats, bools, None) are answered from
the caller's objects; every answer must equal the one the general conversion gives, which a dict
subclass at the top (or anywhere) forces."""

import gc
import math

import pytest

import quarn_sdk_core as q

AGENT = "agent-1"


class Wrapped(dict):
    """A dict subclass: the payload is read by the general conversion."""


def wrap(value):
    if type(value) is dict:
        return Wrapped({k: wrap(v) for k, v in value.items()})
    if isinstance(value, (list, tuple)):
        return type(value)(wrap(v) for v in value)
    return value


def message(**fields):
    base = {
        "id": "m-1",
        "content": "héllo 🙏 日本語",
        "message_type": "text",
        "sender_type": "User",
        "sender_id": "u-1",
        "inserted_at": "2025-03-14T09:26:53Z",
        "updated_at": "2025-03-14T09:26:53Z",
        "sender_name": "Zoë",
        "chat_room_id": "r-1",
        "metadata": {"mentions": [{"id": "u-2", "username": None, "name": "Chloé"}], "locale": "fr"},
        "attachments": [{"id": "a-1", "size": 184_320}],
    }
    base.update(fields)
    return {k: v for k, v in base.items() if v is not DROP}


DROP = object()


def shape(value):
    """Value, type and key order, all the way down."""
    if isinstance(value, dict):
        return (type(value), [(k, shape(v)) for k, v in value.items()])
    if isinstance(value, list):
        return (list, [shape(v) for v in value])
    if isinstance(value, float) and math.isnan(value):
        return (float, "nan")
    return (type(value), value)


def answer(call, *args):
    try:
        return ("ok", shape(call(*args)))
    except (ValueError, TypeError, RecursionError) as error:
        return (type(error), str(error), getattr(error, "issues", None))


PAYLOADS = {
    "realistic": message(),
    "keys in UTF-8 byte order": message(extra={"é": 1, "z": 2, "Z": 3, "\U0001f600": 4, "\uff41": 5, "": 6}),
    "numbers": message(n=[0, -1, 2**63 - 1, -(2**63), 2**64 - 1, 1.0, -0.0, 1e300, math.inf, -math.inf, math.nan]),
    "tuples become lists": message(metadata={"mentions": ({"id": "u-2"},)}, attachments=((1, 2), ())),
    "nested extras": message(extra={"b": [{"y": True, "x": None}], "a": {"d": False, "c": []}}),
    "sender_name null": message(sender_name=None),
    "sender_name absent": message(sender_name=DROP),
    "metadata absent": message(metadata=DROP),
    "metadata null": message(metadata=None),
    "mentions absent": message(metadata={"locale": "fr"}),
    "attachments null": message(attachments=None),
    "no issues but mention fields null": message(metadata={"mentions": [{"id": "x", "handle": None}]}),
    "an issue": message(content=1),
    "an issue in a mention": message(metadata={"mentions": [{"username": 1}]}),
    "int too big": message(n=2**64),
    "int too small": message(n=-(2**63) - 1),
    "int far too big": message(n=2**200),
    "bytes": message(n=[b"x"]),
    "lone surrogate value": message(n="\ud800"),
    "lone surrogate key": message(n={"\udc00": 1}),
    "set": message(n={1}),
    "int key": message(n={1: 2}),
    "not a dict": ["id"],
}


@pytest.mark.parametrize("kind", ["message_created", "message_updated", "event_created", "room_added"])
@pytest.mark.parametrize("name", list(PAYLOADS))
def test_validation_answers_as_the_general_conversion(kind, name):
    payload = PAYLOADS[name]
    assert answer(q.validate_event_payload, kind, payload) == answer(q.validate_event_payload, kind, wrap(payload))


@pytest.mark.parametrize("name", list(PAYLOADS))
@pytest.mark.parametrize("room", [None, "", "env-room"])
def test_delivery_decisions_answer_as_the_general_conversion(name, room):
    payload = PAYLOADS[name]
    plain = answer(q.evaluate_delivery_event, "message_created", room, payload, AGENT)
    assert plain == answer(q.evaluate_delivery_event, "message_created", room, wrap(payload), AGENT)


@pytest.mark.parametrize(
    "fields",
    [
        {"chat_room_id": DROP},
        {"chat_room_id": None},
        {"chat_room_id": ""},
        {"chat_room_id": 5},
        {"chat_room_id": ["r"]},
        {"id": ""},
        {"id": "", "chat_room_id": 5},
        {"sender_type": "Agent", "sender_id": AGENT},
        {"sender_type": "Agent", "sender_id": "other"},
    ],
)
@pytest.mark.parametrize("room", [None, "env-room"])
def test_delivery_room_and_self_echo_rules_hold_on_the_plain_path(fields, room):
    payload = message(**fields)
    plain = answer(q.evaluate_delivery_event, "message_created", room, payload, AGENT)
    assert plain == answer(q.evaluate_delivery_event, "message_created", room, wrap(payload), AGENT)


def test_the_copy_is_fresh_and_hands_back_the_callers_strs():
    payload = message()
    out = q.validate_event_payload("message_created", payload)
    assert out == {k: payload[k] for k in sorted(payload)}
    assert out is not payload and out["metadata"] is not payload["metadata"]
    assert out["attachments"][0] is not payload["attachments"][0]
    assert out["content"] is payload["content"] and out["id"] is payload["id"]
    assert [k for k in out] == sorted(payload)
    out["metadata"]["mentions"].append("x")
    assert payload["metadata"]["mentions"] == [{"id": "u-2", "username": None, "name": "Chloé"}]


def test_decision_hands_back_the_payload_strs():
    payload = message()
    d = q.evaluate_delivery_event("message_created", None, payload, AGENT)
    assert d["room_id"] is payload["chat_room_id"] and d["message_id"] is payload["id"]
    assert d["sender_id"] is payload["sender_id"] and d["sender_type"] is payload["sender_type"]


class Text(str):
    pass


@pytest.mark.parametrize("where", ["id", "content", "sender_name"])
def test_str_subclasses_come_back_as_plain_strs(where):
    payload = message(**{where: Text("v")})
    out = q.validate_event_payload("message_created", payload)
    assert type(out[where]) is str and out[where] == "v"


def test_self_containing_and_deep_payloads():
    loop = message()
    loop["attachments"].append(loop)
    with pytest.raises(RecursionError):
        q.validate_event_payload("message_created", loop)
    with pytest.raises(RecursionError):
        q.evaluate_delivery_event("message_created", None, loop, AGENT)
    for depth in (150, 250):
        nested = []
        for _ in range(depth):
            nested = [nested]
        payload = message(n=nested)
        assert answer(q.validate_event_payload, "message_created", payload) == answer(
            q.validate_event_payload, "message_created", wrap(payload)
        )


def test_a_collection_that_changes_the_payload_while_it_is_copied_is_safe():
    payload = message(extra=[{"k": [i, float(i)]} for i in range(200)])

    def meddle(phase, info):
        if phase == "start":
            payload["extra"].clear()
            payload.pop("id", None)
            payload["metadata"]["mentions"].append(1)

    old = gc.get_threshold()
    gc.callbacks.append(meddle)
    gc.set_threshold(1)
    try:
        result = answer(q.validate_event_payload, "message_created", payload)
    finally:
        gc.set_threshold(*old)
        gc.callbacks.remove(meddle)
    # Whatever moment the change came at, the answer is one the general path could give.
    assert result[0] in ("ok", ValueError)
    if result[0] == "ok":
        fields = dict(result[1][1])
        assert fields["id"] == (str, "m-1")
