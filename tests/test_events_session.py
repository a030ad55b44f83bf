"""Supersede and agent-control payloads, and the pass-through "event_created"."""

import pytest

import quarn_sdk_core as q

DROP = object()

SUPERSEDE = {"reason": "r", "message": "m", "correlation_id": None}
CONTROL = {
    "mode": "stop",
    "scope": "agent",
    "agent_id": "a1",
    "correlation_id": "c",
    "execution_id": None,
    "room_id": None,
}


def build(base, fields):
    p = {**base, **fields}
    return {k: v for k, v in p.items() if v is not DROP}


def supersede(**fields):
    return q.validate_event_payload("supersede", build(SUPERSEDE, fields))


def control(**fields):
    return q.validate_event_payload("agent.control", build(CONTROL, fields))


def issues(call, **fields):
    with pytest.raises(ValueError) as info:
        call(**fields)
    return info.value.issues


def test_minimal_supersede_gains_retryable_false_and_no_retry_after():
    assert supersede() == {**SUPERSEDE, "retryable": False}


@pytest.mark.parametrize("value, expected", [(True, True), (False, False), ("true", False), (1, False), (None, False)])
def test_retryable_is_true_only_for_true(value, expected):
    result = supersede(retryable=value)
    assert result["retryable"] is expected


@pytest.mark.parametrize(
    "value, expected",
    [
        (30.0, 30),
        (30, 30),
        (-5, -5),
        (-0.0, 0),
        (30.5, None),
        ("30", None),
        (None, None),
        (True, None),
        ([30], None),
        ({"s": 30}, None),
        (2**63 - 1, 2**63 - 1),
        (2**63, None),
        (2**64 - 1, None),
        (-(2**63), -(2**63)),
        (-9223372036854775808.0, -(2**63)),
        (9223372036854775808.0, None),
        (1e300, None),
        (float("inf"), None),
        (float("nan"), None),
    ],
)
def test_retry_after_becomes_a_signed_integer_or_null(value, expected):
    result = supersede(retry_after=value)["retry_after"]
    assert result == expected and type(result) is type(expected)


def test_supersede_fields():
    assert issues(supersede, correlation_id=DROP) == (
        ("correlation_id", "missing", "required field `correlation_id` is missing"),
    )
    assert issues(supersede, reason=None, message=DROP, target_socket_id=4, correlation_id=1, retry_after="x") == (
        ("reason", "wrong_type", "`reason` must be a string"),
        ("message", "missing", "required field `message` is missing"),
        ("target_socket_id", "wrong_type", "`target_socket_id` must be a string"),
        ("correlation_id", "wrong_type", "`correlation_id` must be a string"),
    )
    assert supersede(target_socket_id=None, correlation_id="c")["target_socket_id"] is None


@pytest.mark.parametrize("kind", ["supersede", "room_deleted"])
def test_an_empty_list_is_not_an_object(kind):
    with pytest.raises(ValueError) as info:
        q.validate_event_payload(kind, [])
    assert info.value.issues == (("", "wrong_type", "payload must be a JSON object"),)


@pytest.mark.parametrize("mode", ["interrupt", "stop", "play"])
@pytest.mark.parametrize("scope", ["agent", "room"])
def test_control_modes_and_scopes_pass_unchanged(mode, scope):
    assert control(mode=mode, scope=scope, extra={"b": 1}) == {**CONTROL, "mode": mode, "scope": scope, "extra": {"b": 1}}


@pytest.mark.parametrize(
    "fields, issue",
    [
        ({"mode": "pause"}, ("mode", "invalid_value", "`mode` must be one of: interrupt, stop, play")),
        ({"mode": "Stop"}, ("mode", "invalid_value", "`mode` must be one of: interrupt, stop, play")),
        ({"mode": ""}, ("mode", "invalid_value", "`mode` must be one of: interrupt, stop, play")),
        ({"mode": 1}, ("mode", "wrong_type", "`mode` must be a string")),
        ({"mode": DROP}, ("mode", "missing", "required field `mode` is missing")),
        ({"scope": "rooms"}, ("scope", "invalid_value", "`scope` must be one of: agent, room")),
        ({"scope": None}, ("scope", "wrong_type", "`scope` must be a string")),
        ({"correlation_id": None}, ("correlation_id", "wrong_type", "`correlation_id` must be a string")),
        ({"execution_id": DROP}, ("execution_id", "missing", "required field `execution_id` is missing")),
        ({"room_id": 3}, ("room_id", "wrong_type", "`room_id` must be a string")),
        ({"reason": None}, ("reason", "wrong_type", "`reason` must be a string")),
        ({"type": []}, ("type", "wrong_type", "`type` must be a string")),
    ],
)
def test_control_field_issues(fields, issue):
    assert issues(control, **fields) == (issue,)


def test_room_scope_with_null_room_id_passes():
    assert control(scope="room", room_id=None)["room_id"] is None


def test_control_reports_everything_in_table_order():
    with pytest.raises(ValueError) as info:
        q.validate_event_payload("agent.control", {"type": 1, "reason": 2, "mode": "x", "scope": 3})
    assert [i[0] for i in info.value.issues] == [
        "mode", "scope", "agent_id", "correlation_id", "execution_id", "room_id", "reason", "type",
    ]


@pytest.mark.parametrize(
    "value, expected",
    [([1, 2], [1, 2]), ("bare", "bare"), (None, None), (5, 5), (True, True), (float("nan"), None), ({}, {})],
)
def test_event_created_passes_any_value(value, expected):
    assert q.validate_event_payload("event_created", value) == expected
    assert q.validate_event_payload(q.EventType.EventCreated, value, "t") == expected
