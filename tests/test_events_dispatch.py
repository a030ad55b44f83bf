"""validate_event_payload: how a call is resolved, in its binding order, and how issues surface."""

import pytest

import quarn_sdk_core as q

ROOM = {"id": "r1", "inserted_at": "t0", "updated_at": "t1"}


def test_event_type_accepts_the_wire_name_or_the_enum_instance():
    by_name = q.validate_event_payload("room_added", dict(ROOM))
    by_enum = q.validate_event_payload(q.EventType.RoomAdded, dict(ROOM))
    assert by_name == by_enum == ROOM


@pytest.mark.parametrize("variant", [v for v in vars(q.EventType).values() if isinstance(v, q.EventType)])
def test_every_wire_name_resolves_to_its_kind(variant):
    # An empty object: each kind but the pass-through one reports its own first missing field.
    by_name = by_enum = None
    try:
        by_name = q.validate_event_payload(str(variant), {})
    except ValueError as e:
        by_name = e.issues
    try:
        by_enum = q.validate_event_payload(variant, {})
    except ValueError as e:
        by_enum = e.issues
    assert by_name == by_enum
    assert (by_name == {}) == (variant == q.EventType.EventCreated)


@pytest.mark.parametrize(
    "name", ["Room_added", "room_added ", "room", "", "agent_control", "message-created", "room\ud800"]
)
def test_unknown_names_are_reported_with_the_trace_context(name):
    with pytest.raises(ValueError) as info:
        q.validate_event_payload(name, {}, "trace-1")
    assert info.value.issues == (("event_type", "invalid_value", f"unknown event type `{name}`"),)
    assert str(info.value) == f"1 validation issue(s): unknown event type `{name}` (event_type)"
    assert info.value.trace_context == "trace-1"


def test_unknown_name_is_reported_before_the_payload_is_looked_at():
    with pytest.raises(ValueError):
        q.validate_event_payload("typing", {1: b"not convertible"})


@pytest.mark.parametrize("event_type", [1, None, b"room_added", q.SessionState.Up, ["room_added"]])
def test_event_type_of_another_type_is_a_plain_type_error(event_type):
    with pytest.raises(TypeError) as info:
        q.validate_event_payload(event_type, dict(ROOM))
    assert str(info.value) == "event_type must be a str"
    assert not hasattr(info.value, "issues")


def test_str_subclass_event_type_is_a_str():
    class S(str):
        pass

    assert q.validate_event_payload(S("room_deleted"), {"id": "r"}) == {"id": "r"}


def test_trace_context_is_checked_before_everything_else():
    with pytest.raises(TypeError) as info:
        q.validate_event_payload(5, {1: 2}, 7)
    assert "'int' object is not an instance of 'str'" in str(info.value)
    assert info.value.__notes__ == ["while processing 'trace_context'"]


def test_unconvertible_payload_is_a_type_error_without_issue_attributes():
    with pytest.raises(TypeError) as info:
        q.validate_event_payload("room_added", {"id": 2**64})
    assert str(info.value) == "JSON number out of range"
    assert not hasattr(info.value, "issues")


@pytest.mark.parametrize("payload", [[], "x", 1, None, True, 1.5, [ROOM]])
@pytest.mark.parametrize("name", ["supersede", "room_added", "message_created", "agent.control"])
def test_non_object_payloads_fail_with_one_whole_payload_issue(name, payload):
    with pytest.raises(ValueError) as info:
        q.validate_event_payload(name, payload)
    assert info.value.issues == (("", "wrong_type", "payload must be a JSON object"),)
    assert info.value.args == ("1 validation issue(s): payload must be a JSON object ()",)
    assert info.value.trace_context is None


def test_issue_error_carries_every_issue_and_summarises_the_first():
    with pytest.raises(ValueError) as info:
        q.validate_event_payload("room_added", {"updated_at": 1}, trace_context="abc")
    error = info.value
    assert error.issues == (
        ("id", "missing", "required field `id` is missing"),
        ("inserted_at", "missing", "required field `inserted_at` is missing"),
        ("updated_at", "wrong_type", "`updated_at` must be a string"),
    )
    assert error.args == ("3 validation issue(s): required field `id` is missing (id)",)
    assert error.trace_context == "abc"


@pytest.mark.parametrize("kwargs", [{}, {"trace_context": None}])
def test_absent_or_none_trace_context_gives_none(kwargs):
    with pytest.raises(ValueError) as info:
        q.validate_event_payload("room_deleted", {}, **kwargs)
    assert info.value.trace_context is None


@pytest.mark.parametrize("name", ["message_created", "participant_added", "supersede", "contact_request_received"])
def test_the_callers_payload_is_never_modified(name):
    payload = {"metadata": None, "is_remote": True, "from_name": None, "retry_after": 2.5, "nested": {"b": 1, "a": 2}}
    snapshot = {**payload, "nested": dict(payload["nested"])}
    try:
        q.validate_event_payload(name, payload)
    except ValueError:
        pass
    assert payload == snapshot and list(payload["nested"]) == ["b", "a"]


def test_argument_matching_uses_the_interpreters_texts():
    with pytest.raises(TypeError, match=r"^validate_event_payload\(\) takes from 2 to 3 positional arguments but 4 were given$"):
        q.validate_event_payload("a", {}, None, 1)
    with pytest.raises(TypeError, match=r"^validate_event_payload\(\) missing 2 required positional arguments: 'event_type' and 'raw'$"):
        q.validate_event_payload()
    with pytest.raises(TypeError, match=r"^validate_event_payload\(\) got an unexpected keyword argument 'foo'$"):
        q.validate_event_payload("room_deleted", {}, foo=1)


def test_keywords_are_accepted():
    assert q.validate_event_payload(raw={"id": "r"}, event_type="room_deleted") == {"id": "r"}


def test_text_signature_and_docstring():
    assert q.validate_event_payload.__doc__ == (
        "Validate and normalize an inbound platform event payload.\n\nOn failure raises `ValueError` with `.issues` "
        "(a tuple of\n`(path, code, message)` triples) and `.trace_context`."
    )
    assert q.validate_event_payload.__text_signature__ == "(event_type, raw, trace_context=None)"


def test_unchanged_strings_are_handed_back_rather_than_copied():
    room_id = "".join(["room-", "42"])
    result = q.validate_event_payload("room_deleted", {"id": room_id})
    assert result["id"] is room_id
