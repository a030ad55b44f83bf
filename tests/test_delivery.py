"""Routing decisions of the delivery loop: events, drain steps, next message, acknowledgements."""

import pytest

import quarn_sdk_core as q

DROP = object()


def msg(**fields):
    base = {
        "id": "m1",
        "content": "hi",
        "message_type": "text",
        "sender_type": "User",
        "sender_id": "u1",
        "inserted_at": "t0",
        "updated_at": "t0",
        "chat_room_id": "r-payload",
    }
    base.update(fields)
    return {k: v for k, v in base.items() if v is not DROP}


def event_error(*args, **kwargs):
    with pytest.raises(ValueError) as info:
        q.evaluate_delivery_event(*args, **kwargs)
    return info.value


MISSING_ROOM = ("room_id", "missing", "room_id is missing from both the envelope and the payload")


# ---- evaluate_delivery_event


@pytest.mark.parametrize(
    "event_type",
    ["message_updated", "room_added", "participant_added", "supersede", "agent.control", "event_created",
     "typing", "", "Message_created", "room_deleted ", "\udc00"],
)
def test_other_event_types_are_ignored_without_looking_at_the_payload(event_type):
    assert q.evaluate_delivery_event(event_type, None, {"id": 7}, "a1") == {"decision": "ignored", "event_type": event_type}
    assert q.evaluate_delivery_event(event_type, "r", [], "a1", "t") == {"decision": "ignored", "event_type": event_type}


def test_ignored_event_type_comes_back_as_a_plain_str():
    class S(str):
        pass

    result = q.evaluate_delivery_event(S("typing"), None, {}, "a1")
    assert result["event_type"] == "typing" and type(result["event_type"]) is str


@pytest.mark.parametrize("event_type", ["typing", "room_deleted", "message_created"])
def test_the_payload_must_convert_whatever_the_event_type(event_type):
    with pytest.raises(TypeError) as info:
        q.evaluate_delivery_event(event_type, "r1", {"id": b"x"}, "a1")
    assert str(info.value) == "invalid type: byte array, expected any valid JSON value"
    assert not hasattr(info.value, "issues")


@pytest.mark.parametrize("event_type", ["room_removed", "room_deleted"])
@pytest.mark.parametrize(
    "envelope, payload, room",
    [
        ("r1", {"id": "r2"}, "r1"),
        ("r1", {"id": 7}, "r1"),
        ("r1", [], "r1"),
        (None, {"id": "r2"}, "r2"),
        ("", {"id": "r2"}, "r2"),
        (None, {"id": "r2", "inserted_at": 5}, "r2"),
    ],
)
def test_cleanup_takes_the_envelope_room_then_the_payload_id(event_type, envelope, payload, room):
    assert q.evaluate_delivery_event(event_type, envelope, payload, "a1") == {"decision": "cleanup", "room_id": room}


@pytest.mark.parametrize("event_type", ["room_removed", "room_deleted"])
@pytest.mark.parametrize(
    "envelope, payload, issue",
    [
        (None, {"id": None}, MISSING_ROOM),
        (None, {"id": ""}, MISSING_ROOM),
        ("", {}, MISSING_ROOM),
        (None, [], MISSING_ROOM),
        (None, "r", MISSING_ROOM),
        (None, {"id": 7}, ("room_id", "wrong_type", "payload.id must be a string to serve as room_id")),
        (None, {"id": False}, ("room_id", "wrong_type", "payload.id must be a string to serve as room_id")),
        ("", {"id": {"x": 1}}, ("room_id", "wrong_type", "payload.id must be a string to serve as room_id")),
        (None, {"id": ["r"]}, ("room_id", "wrong_type", "payload.id must be a string to serve as room_id")),
    ],
)
def test_cleanup_without_a_usable_room_id(event_type, envelope, payload, issue):
    error = event_error(event_type, envelope, payload, "a1", "trace-7")
    assert error.issues == (issue,) and error.trace_context == "trace-7"


def test_invocation_carries_the_four_ids_in_order():
    result = q.evaluate_delivery_event("message_created", "r1", msg(sender_id="u9", sender_type="agent"), "u9")
    assert result == {"decision": "invocation", "room_id": "r1", "message_id": "m1", "sender_id": "u9", "sender_type": "agent"}
    assert list(result) == ["decision", "room_id", "message_id", "sender_id", "sender_type"]


@pytest.mark.parametrize(
    "sender_id, sender_type, agent_id, decision",
    [
        ("a1", "Agent", "a1", "skip_self"),
        ("a1", "agent", "a1", "invocation"),
        ("a1", "User", "a1", "invocation"),
        ("a1", "Agent ", "a1", "invocation"),
        ("A1", "Agent", "a1", "invocation"),
        ("a1", "Agent", "a1 ", "invocation"),
        ("", "Agent", "", "skip_self"),
    ],
)
def test_self_echo_is_skipped(sender_id, sender_type, agent_id, decision):
    result = q.evaluate_delivery_event("message_created", None, msg(sender_id=sender_id, sender_type=sender_type), agent_id)
    assert result["decision"] == decision
    if decision == "skip_self":
        assert result == {"decision": "skip_self", "room_id": "r-payload", "message_id": "m1"}


@pytest.mark.parametrize(
    "envelope, chat_room_id, room",
    [("r1", "r2", "r1"), ("r1", 5, "r1"), (None, "r2", "r2"), ("", "r2", "r2"), ("r1", DROP, "r1")],
)
def test_message_room_id_resolution(envelope, chat_room_id, room):
    result = q.evaluate_delivery_event("message_created", envelope, msg(chat_room_id=chat_room_id), "a1")
    assert result["room_id"] == room


@pytest.mark.parametrize(
    "envelope, chat_room_id, issue",
    [
        (None, DROP, MISSING_ROOM),
        ("", None, MISSING_ROOM),
        (None, "", MISSING_ROOM),
        (None, 5, ("room_id", "wrong_type", "payload.chat_room_id must be a string to serve as room_id")),
        ("", [], ("room_id", "wrong_type", "payload.chat_room_id must be a string to serve as room_id")),
    ],
)
def test_message_without_a_usable_room_id(envelope, chat_room_id, issue):
    error = event_error("message_created", envelope, msg(chat_room_id=chat_room_id), "a1", trace_context="tc")
    assert error.issues == (issue,) and error.trace_context == "tc"


@pytest.mark.parametrize("envelope", ["r1", None])
def test_an_empty_message_id_is_reported_alone_and_before_the_room(envelope):
    error = event_error("message_created", envelope, msg(id="", chat_room_id=DROP), "a1", "tc")
    assert error.issues == (("id", "missing", "id must be a non-empty string"),)
    assert str(error) == "1 validation issue(s): id must be a non-empty string (id)"
    assert error.trace_context == "tc"


def test_message_validation_issues_come_first_and_whole():
    error = event_error("message_created", None, msg(id=DROP, content=1, chat_room_id=DROP), "a1", "tc")
    assert error.issues == (
        ("id", "missing", "required field `id` is missing"),
        ("content", "wrong_type", "`content` must be a string"),
    )
    assert error.trace_context == "tc"
    assert event_error("message_created", "r", [], "a1").issues == (("", "wrong_type", "payload must be a JSON object"),)


def test_message_decision_hands_back_the_payload_strings():
    payload = msg(id="".join(["m", "-77"]), sender_id="".join(["u", "-5"]))
    result = q.evaluate_delivery_event("message_created", "r1", payload, "a1")
    assert result["message_id"] is payload["id"] and result["sender_id"] is payload["sender_id"]


@pytest.mark.parametrize(
    "args, note",
    [
        ((q.EventType.MessageCreated, None, {}, "a1"), "event_type"),
        (("message_created", 5, {}, "a1"), "room_id"),
        (("message_created", None, msg(), None), "agent_id"),
        (("message_created", None, msg(), "a1", 3), "trace_context"),
    ],
)
def test_argument_types(args, note):
    with pytest.raises(TypeError) as info:
        q.evaluate_delivery_event(*args)
    assert info.value.__notes__ == [f"while processing '{note}'"]


def test_room_id_has_no_default():
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'agent_id'"):
        q.evaluate_delivery_event("typing", None, {})


# ---- evaluate_drain_candidate

ECHO = {"id": "m1", "sender_id": "a1", "sender_type": "Agent"}
OTHER = {"id": "m1", "sender_id": "u1", "sender_type": "User", "extra": [1]}


@pytest.mark.parametrize(
    "candidate, seen, decision",
    [
        (None, ["x"], {"decision": "no_candidate"}),
        (None, [], {"decision": "no_candidate"}),
        (ECHO, {"m1"}, {"decision": "self_echo", "message_id": "m1"}),
        (ECHO, [], {"decision": "self_echo", "message_id": "m1"}),
        (OTHER, ["m0", "m1"], {"decision": "drain", "message_id": "m1"}),
        (OTHER, ("m1", "m1"), {"decision": "drain", "message_id": "m1"}),
        (OTHER, [], {"decision": "out_of_snapshot", "message_id": "m1"}),
        (OTHER, ["M1", "m1 ", "m"], {"decision": "out_of_snapshot", "message_id": "m1"}),
        (OTHER, ["\ud800", "m1"], {"decision": "drain", "message_id": "m1"}),
        ({**OTHER, "id": ""}, [""], {"decision": "drain", "message_id": ""}),
    ],
)
def test_drain_steps(candidate, seen, decision):
    assert q.evaluate_drain_candidate(candidate, seen, "a1") == decision


def test_seen_ids_may_be_any_iterable_of_str():
    class S(str):
        pass

    assert q.evaluate_drain_candidate(OTHER, iter([S("m1")]), "a1")["decision"] == "drain"
    assert q.evaluate_drain_candidate(OTHER, (x for x in ["m1"]), "a1")["decision"] == "drain"
    assert q.evaluate_drain_candidate(OTHER, {"m1": 0}, "a1")["decision"] == "drain"


@pytest.mark.parametrize("candidate", [None, OTHER])
def test_seen_ids_must_not_be_a_str(candidate):
    class S(str):
        pass

    for seen in ("m1", S("m1")):
        with pytest.raises(TypeError) as info:
            q.evaluate_drain_candidate(candidate, seen, "a1")
        assert str(info.value) == "`seen_ids` must be an iterable of str, not a str"


@pytest.mark.parametrize("candidate", [None, OTHER])
def test_every_seen_id_must_be_a_str_even_after_a_match(candidate):
    with pytest.raises(TypeError) as info:
        q.evaluate_drain_candidate(candidate, ["m1", 5], "a1")
    assert str(info.value) == "'int' object is not an instance of 'str'"
    with pytest.raises(TypeError, match="not iterable"):
        q.evaluate_drain_candidate(candidate, 5, "a1")


def test_an_iterator_that_fails_fails_the_call():
    def broken():
        yield "m1"
        raise KeyError("gone")

    with pytest.raises(KeyError):
        q.evaluate_drain_candidate(OTHER, broken(), "a1")


@pytest.mark.parametrize(
    "candidate, message",
    [
        ({"id": 5, "sender_id": 1}, "candidate.id must be a string"),
        ({"sender_id": "a", "sender_type": "b"}, "candidate.id must be a string"),
        ({"id": "m", "sender_type": "b"}, "candidate.sender_id must be a string"),
        ({"id": "m", "sender_id": None, "sender_type": "b"}, "candidate.sender_id must be a string"),
        ({"id": "m", "sender_id": "s"}, "candidate.sender_type must be a string"),
        (["m", "s", "t"], "candidate.id must be a string"),
        ("m1", "candidate.id must be a string"),
        ({"id": b"m"}, "invalid type: byte array, expected any valid JSON value"),
    ],
)
def test_malformed_candidates_raise_type_error(candidate, message):
    with pytest.raises(TypeError) as info:
        q.evaluate_drain_candidate(candidate, [], "a1")
    assert str(info.value) == message


def test_agent_id_is_checked_first_and_the_candidate_before_seen_ids():
    with pytest.raises(TypeError) as info:
        q.evaluate_drain_candidate({"id": 5}, "x", None)
    assert info.value.__notes__ == ["while processing 'agent_id'"]
    with pytest.raises(TypeError, match="candidate.id"):
        q.evaluate_drain_candidate({"id": 5}, "x", "a1")


def test_seen_ids_that_mutate_the_candidate_while_iterated():
    candidate = {"id": "".join(["m", "-1"]), "sender_id": "".join(["u", "-1"]), "sender_type": "User"}

    def seen():
        candidate.clear()
        candidate["id"] = "other"
        yield "m-1"

    assert q.evaluate_drain_candidate(candidate, seen(), "a1") == {"decision": "drain", "message_id": "m-1"}


# ---- evaluate_next_message, evaluate_adapter_result, is_self_echo


@pytest.mark.parametrize(
    "triggering, next_id, decision",
    [
        ("m1", None, {"decision": "no_pending"}),
        ("m1", "m1", {"decision": "ready_to_claim"}),
        ("", "", {"decision": "ready_to_claim"}),
        ("m1", "m2", {"decision": "already_processed", "next_open_id": "m2"}),
        ("m1", "", {"decision": "already_processed", "next_open_id": ""}),
        ("m1", "M1", {"decision": "already_processed", "next_open_id": "M1"}),
    ],
)
def test_next_message(triggering, next_id, decision):
    assert q.evaluate_next_message(triggering, next_id) == decision


def test_next_message_arguments():
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'next_message_id'"):
        q.evaluate_next_message("m1")
    with pytest.raises(TypeError):
        q.evaluate_next_message(None, "m1")


@pytest.mark.parametrize(
    "args, decision",
    [
        (("r", "m", True), {"decision": "processed", "room_id": "r", "message_id": "m"}),
        (("r", "m", False), {"decision": "failed", "room_id": "r", "message_id": "m"}),
        (("", "", True), {"decision": "processed", "room_id": "", "message_id": ""}),
    ],
)
def test_adapter_result(args, decision):
    result = q.evaluate_adapter_result(*args)
    assert result == decision and list(result) == list(decision)


@pytest.mark.parametrize("succeeded", [0, 1, None, "yes"])
def test_adapter_result_takes_only_a_bool(succeeded):
    with pytest.raises(TypeError) as info:
        q.evaluate_adapter_result("r", "m", succeeded)
    assert info.value.__notes__ == ["while processing 'succeeded'"]


@pytest.mark.parametrize(
    "sender_id, sender_type, agent_id, expected",
    [
        ("a1", "Agent", "a1", True),
        ("a1", "Agent ", "a1", False),
        ("a1", "agent", "a1", False),
        ("a1", "AGENT", "a1", False),
        ("a1", "Agent", "a2", False),
        ("é", "Agent", "é", True),
    ],
)
def test_is_self_echo(sender_id, sender_type, agent_id, expected):
    assert q.is_self_echo(sender_id, sender_type, agent_id) is expected


def test_functions_are_registered_in_their_relative_order():
    names = [n for n in vars(q) if n in {
        "evaluate_adapter_result", "evaluate_delivery_event", "evaluate_drain_candidate",
        "evaluate_next_message", "is_self_echo", "validate_event_payload", "classify_upgrade"}]
    assert names == ["classify_upgrade", "evaluate_adapter_result", "evaluate_delivery_event",
                     "evaluate_drain_candidate", "evaluate_next_message", "is_self_echo", "validate_event_payload"]


@pytest.mark.parametrize(
    "fn, text",
    [
        (q.evaluate_delivery_event, "(event_type, room_id, payload, agent_id, trace_context=None)"),
        (q.evaluate_drain_candidate, "(candidate, seen_ids, agent_id)"),
        (q.evaluate_next_message, "(triggering_message_id, next_message_id)"),
        (q.evaluate_adapter_result, "(room_id, message_id, succeeded)"),
        (q.is_self_echo, "(sender_id, sender_type, agent_id)"),
    ],
)
def test_text_signatures(fn, text):
    assert fn.__text_signature__ == text
