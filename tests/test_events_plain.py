"""Plain payloads (exact dicts, lists, tuples, strs, ints, floats, bools, None) are answered from
the caller's objects; every answer must equal the one the general conversion gives, which a dict
subclass at the top (or anywhere) forces."""

import copy
import gc
import math

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import corpus
import quarn_sdk_core as q

AGENT = "agent-1"
EVENT_TYPES = [getattr(q.EventType, n).wire_name for n in dir(q.EventType) if n[0].isupper()] + ["message_deleted"]


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
    "keys of every length near eight bytes": message(extra={k: i for i, k in enumerate(
        ["abcdefgh", "abcdefgi", "abcdefghi", "abcdefg", "abcdef", "abcde", "abcd", "abd", "ab", "a", "a\x00",
         "a\x00\x00\x00\x00\x00\x00\x00\x00", "b\x00\x01", "b\x00", "\x7f", "é\x00", "abcdefgh\x00"])}),
    "dicts wider than the copier's own storage": message(extra={
        f"k{i}": {f"j{j:03}": [j, {"x": j}] for j in reversed(range(90))} for i in range(3)}),
    "numbers": message(n=[0, -1, 2**63 - 1, -(2**63), 2**64 - 1, 1.0, -0.0, 1e300, math.inf, -math.inf, math.nan]),
    "tuples become lists": message(metadata={"mentions": ({"id": "u-2"},)}, attachments=((1, 2), ())),
    "nested extras": message(extra={"b": [{"y": True, "x": None}], "a": {"d": False, "c": []}}),
    "sender_name null": message(sender_name=None),
    "sender_name absent": message(sender_name=DROP),
    "metadata absent": message(metadata=DROP),
    "metadata null": message(metadata=None),
    "metadata empty": message(metadata={}),
    "metadata not an object": message(metadata=[]),
    "mentions absent": message(metadata={"locale": "fr"}),
    "mentions null": message(metadata={"mentions": None}),
    "mentions not an array": message(metadata={"mentions": {}}),
    "a mention null": message(metadata={"mentions": [None]}),
    "attachments absent": message(attachments=DROP),
    "attachments null": message(attachments=None),
    "attachments not an array": message(attachments={}),
    "bare": message(metadata=DROP, attachments=DROP, sender_name=DROP, chat_room_id=DROP),
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


# ---- the other events: what their checks normalise, refuse or leave alone

def event(kind, **fields):
    payload = {**corpus.OTHER_EVENTS[kind], **fields}
    return kind, {k: v for k, v in payload.items() if v is not DROP}


OTHER_PAYLOADS = {
    "remote flag alone": event("participant_added", is_remote=True),
    "external flag alone": event("participant_added", is_external=False),
    "both flags": event("participant_added", is_remote=True, is_external=False),
    "a flag null": event("participant_added", is_remote=None, is_external=True),
    "both flags null": event("contact_added", is_remote=None, is_external=None),
    "a flag not a boolean": event("contact_added", is_remote=1),
    "contact with every field": event("contact_added", description="d", listed_in_directory=True, tags=("a",)),
    "retryable absent": event("supersede", retryable=DROP),
    "retryable null": event("supersede", retryable=None),
    "retryable not a boolean": event("supersede", retryable=1),
    "retry after absent": event("supersede", retry_after=DROP),
    "retry after null": event("supersede", retry_after=None),
    "retry after integral float": event("supersede", retry_after=3.0),
    "retry after fraction": event("supersede", retry_after=2.5),
    "retry after beyond 64 bits": event("supersede", retry_after=2**63),
    "retry after a boolean": event("supersede", retry_after=True),
    "nullable string null": event("room_added", title=None),
    "optional string null": event("participant_added", handle=None),
    "null removed": event("contact_request_received", from_handle=None, message="hi"),
    "closed string outside its set": event("agent.control", mode="pause"),
    "closed string of another set": event("agent.control", scope="stop"),
    "closed string not a string": event("agent.control", scope=None),
    "required nullable string absent": event("agent.control", execution_id=DROP),
    "not an object": ("room_deleted", ["id"]),
}


@pytest.mark.parametrize("name", list(OTHER_PAYLOADS))
def test_other_events_answer_as_the_general_conversion(name):
    kind, payload = OTHER_PAYLOADS[name]
    for plain, general in both_paths(kind, payload, None, corpus.AGENT_ID):
        assert plain == general


# ---- every shape of the benchmark corpus, and payloads drawn at random


def both_paths(kind, payload, room, agent):
    """The answers of validation and routing on the plain payload and on the general path."""
    general = wrap(payload)
    return [
        (answer(q.validate_event_payload, kind, payload), answer(q.validate_event_payload, kind, general)),
        (answer(q.evaluate_delivery_event, kind, room, payload, agent),
         answer(q.evaluate_delivery_event, kind, room, general, agent)),
    ]


CORPUS = {**corpus.SHAPES, **{name: (kind, payload) for name, (kind, payload, _) in corpus.FAILING_SHAPES.items()}}


@pytest.mark.parametrize("name", list(CORPUS))
@pytest.mark.parametrize("room", [None, "", corpus.ROOM_ID])
def test_every_corpus_shape_answers_as_the_general_conversion(name, room):
    kind, payload = CORPUS[name]
    for plain, general in both_paths(kind, payload, room, corpus.AGENT_ID):
        assert plain == general


# ---- dicts whose tables are laid out otherwise: the plain path reads them all alike


class Holder:
    """Instances whose attribute dicts may share their keys (a split table)."""


def with_holes(members):
    """The members with deleted entries between them in the dict's table."""
    out = {}
    for key, value in members.items():
        out["gone " + key] = None
        out[key] = value
    for key in members:
        del out["gone " + key]
    return out


def general_table(members):
    """The members in a table made for keys of any type (a non-str key was there once)."""
    out = {0: None}
    out.update(members)
    del out[0]
    return out


def split_table(members):
    for _ in range(2):
        holder = Holder()
        for key, value in members.items():
            setattr(holder, key, value)
    return holder.__dict__


def relaid(payload, where, layout):
    """The payload with the dict at `where` (a path of keys and indexes) laid out by `layout`."""
    payload = copy.deepcopy(payload)
    if not where:
        return layout(payload)
    *parents, last = where
    owner = payload
    for step in parents:
        owner = owner[step]
    owner[last] = layout(owner[last])
    return payload


@pytest.mark.parametrize("layout", [with_holes, general_table, split_table])
@pytest.mark.parametrize("where", [(), ("metadata",), ("metadata", "mentions", 0), ("attachments", 0)])
@pytest.mark.parametrize("kind", ["message_created", "message_updated"])
def test_every_table_layout_answers_as_the_general_conversion(kind, where, layout):
    payload = relaid(message(), where, layout)
    for plain, general in both_paths(kind, payload, None, AGENT):
        assert plain == general
    assert answer(q.validate_event_payload, kind, payload) == answer(q.validate_event_payload, kind, message())


JSON_KEYS = st.one_of(
    st.sampled_from(["id", "content", "metadata", "mentions", "attachments", "sender_name", "sender_id", "handle",
                     "name", "username", "chat_room_id", "retryable", "retry_after", "is_remote", "is_external",
                     "mode", "scope", "status", "title"]),
    st.text(max_size=10),
)
SCALARS = st.one_of(
    st.none(), st.booleans(), st.integers(-(2**65), 2**65), st.floats(), st.text(max_size=8),
    st.sampled_from(["\ud800", "stop", "room", "Agent", b"x", 2**200, 1.0, -0.0]),
)
VALUES = st.recursive(
    SCALARS,
    lambda inner: st.one_of(
        st.lists(inner, max_size=3), st.lists(inner, max_size=3).map(tuple), st.dictionaries(JSON_KEYS, inner, max_size=3)
    ),
    max_leaves=6,
)


def containers(value, path=()):
    """Every dict and list within `value`, with its path."""
    if isinstance(value, (dict, list)):
        yield path, value
        items = value.items() if isinstance(value, dict) else enumerate(value)
        for key, item in items:
            yield from containers(item, path + (key,))


@st.composite
def mutated(draw, payload):
    """A copy of `payload` with a few members removed, replaced, nulled or added."""
    payload = copy.deepcopy(payload)
    for _ in range(draw(st.integers(0, 3))):
        _, node = draw(st.sampled_from(list(containers(payload))))
        if isinstance(node, list):
            if node and draw(st.booleans()):
                node[draw(st.integers(0, len(node) - 1))] = draw(VALUES)
            else:
                node.append(draw(VALUES))
            continue
        op = draw(st.sampled_from(["drop", "null", "set", "tuple", "odd key"]))
        key = draw(st.sampled_from(list(node))) if node and op != "odd key" else draw(JSON_KEYS)
        if op == "drop":
            node.pop(key, None)
        elif op == "null":
            node[key] = None
        elif op == "tuple" and isinstance(node.get(key), list):
            node[key] = tuple(node[key])
        elif op == "odd key":
            node[draw(st.sampled_from([1, ("t",), key]))] = draw(VALUES)
        else:
            node[key] = draw(VALUES)
    return payload


@st.composite
def events(draw):
    name = draw(st.sampled_from(sorted(CORPUS)))
    kind, payload = CORPUS[name]
    if draw(st.integers(0, 4)) == 0:
        kind = draw(st.sampled_from(EVENT_TYPES))
    return kind, draw(mutated(payload))


@settings(max_examples=300)
@given(event=events(), room=st.sampled_from([None, "", corpus.ROOM_ID]),
       agent=st.sampled_from([corpus.AGENT_ID, "0190a5c2-2222-7000-8000-0000000b0b01"]))
def test_random_payloads_answer_as_the_general_conversion(event, room, agent):
    kind, payload = event
    for plain, general in both_paths(kind, payload, room, agent):
        assert plain == general



@pytest.mark.parametrize("name", list(corpus.SHAPES))
def test_every_valid_corpus_shape_is_copied_from_the_callers_objects(name):
    # Only the plain copy hands back the caller's ints; the general path makes new ones.
    kind, payload = corpus.SHAPES[name]
    marker = 10**12
    out = q.validate_event_payload(kind, {**payload, "marker": marker})
    assert out["marker"] is marker
