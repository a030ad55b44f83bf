"""The peers check the same rules as the module: every message shape of the corpus is accepted by
the module and by each installed peer, and every failing payload (the corpus's and one fault at a
time from the realistic message) is refused by all, each by its own validation error, so a
ratio to a peer compares validations of the same rules. Payloads are what JSON decodes to
(dicts, lists, strs, numbers, bools, None): the Python-only types are outside these rules."""

import pytest

import cases
import corpus
import peers
import target

q = target.load()

PEERS = {"pydantic-core": (peers.pydantic_validate, peers.pydantic_error),
         "msgspec.convert": (peers.msgspec_convert, peers.msgspec_error)}


def _message(**changes):
    payload = {**corpus.REALISTIC, **changes}
    return {k: v for k, v in payload.items() if v is not corpus._ABSENT}


def _mention(**changes):
    return _message(metadata={"mentions": [{**corpus.REALISTIC["metadata"]["mentions"][0], **changes}]})


# One fault each, beside corpus.FAILING_SHAPES.
ONE_FAULT = {
    **{f"{field}_missing": _message(**{field: corpus._ABSENT}) for field in ("id", "content", "sender_id", "updated_at")},
    "content_null": _message(content=None),
    "content_bool": _message(content=True),
    "message_type_number": _message(message_type=1.5),
    "sender_name_number": _message(sender_name=1),
    "metadata_list": _message(metadata=[]),
    "metadata_string": _message(metadata="web"),
    "mentions_object": _message(metadata={"mentions": {}}),
    "mention_string": _message(metadata={"mentions": ["@chloe"]}),
    "mention_id_missing": _message(metadata={"mentions": [{"username": "chloe"}]}),
    "mention_id_null": _mention(id=None),
    "mention_handle_list": _mention(handle=["@chloe"]),
    "attachments_object": _message(attachments={"id": "att-1"}),
    "attachments_string": _message(attachments="att-1"),
    "payload_list": [corpus.REALISTIC],
}
# Variants the rules allow, beside the corpus shapes.
ALLOWED = {
    "mention_id_only": _message(metadata={"mentions": [{"id": "u-1"}]}),
    "mention_fields_null": _mention(username=None, handle=None, name=None),
    "mention_extra_keys": _mention(avatar="https://example.test/a.png"),
    "attachments_of_anything": _message(attachments=["a", 1, None, {"x": []}]),
    "empty_strings": _message(id="", content=""),
    "sender_name_absent": _message(sender_name=corpus._ABSENT),
}
ACCEPTED = {**{name: payload for name, (_event, payload) in cases.MESSAGE_SHAPES.items()}, **ALLOWED}
REFUSED = {**{name: payload for name, (_event, payload, _issues) in corpus.FAILING_SHAPES.items()}, **ONE_FAULT}


def _peer(name):
    validate, error = PEERS[name]
    if validate is None or error is None:
        pytest.skip(f"{name} is not installed: its schema is not checked (pip install '.[bench]')")
    return validate, error


def _module():
    reason = target.missing(q, "validate_event_payload")
    if reason:
        pytest.skip(reason)
    return q.validate_event_payload


@pytest.mark.parametrize("name", ACCEPTED)
def test_the_module_accepts(name):
    payload = ACCEPTED[name]
    assert _module()("message_created", payload)["id"] == payload["id"]


@pytest.mark.parametrize("name", ACCEPTED)
@pytest.mark.parametrize("peer", PEERS)
def test_each_peer_accepts(peer, name):
    validate, _error = _peer(peer)
    payload = ACCEPTED[name]
    assert validate(payload)["id"] == payload["id"]


@pytest.mark.parametrize("name", REFUSED)
def test_the_module_refuses(name):
    with pytest.raises(ValueError):
        _module()("message_created", REFUSED[name])


@pytest.mark.parametrize("name", REFUSED)
@pytest.mark.parametrize("peer", PEERS)
def test_each_peer_refuses_with_its_own_error(peer, name):
    validate, error = _peer(peer)
    with pytest.raises(error):
        validate(REFUSED[name])


def test_every_message_event_of_the_corpus_is_covered():
    assert {event for event, _payload in cases.MESSAGE_SHAPES.values()} == set(cases.MESSAGE_EVENTS)
    assert set(cases.DELIVERY_SHAPES) < set(cases.MESSAGE_SHAPES)
