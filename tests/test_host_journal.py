"""The decision journal: what it records, and that a replay finds every changed decision."""

import json
import sys

import pytest
import quarn_sdk_core as q

from quarn_host.journal import Core, Journal, decode, encode, replay

MESSAGE = {"id": "m1", "content": "hi", "message_type": "text", "sender_type": "User",
           "sender_id": "u1", "inserted_at": "t", "updated_at": "t"}


def record_session(path):
    """A few calls of each kind: objects made, objects passed, enums, value objects, an error."""
    journal = Journal(open(path, "w", encoding="utf-8"))
    core = Core(journal)
    session = core.Session(core.default_policy())
    epoch = session.begin_attempt(0.0)
    session.on_upgrade_rejected(epoch, 0.5, 429, 2.0, 0.25)
    epoch = session.begin_attempt(3.0)
    session.on_connected(epoch, 4.0)
    session.on_socket_close(epoch, 100.0, 1006, 0.75)  # up long enough: the jitter decides
    tracker, claims = core.RetryTracker(max_retries=2), core.ClaimRegistry()
    claims.guarded_claim("r", "m1", tracker, durably_failed=False)
    tracker.record_attempt("m1")
    settlement = claims.record_failed_settlement("r", "m1", "boom", tracker, True)
    claims.park_settlement("r", "m1", settlement["token"], q.ParkedReason.NotFound)
    core.evaluate_drain_candidate({"id": "m1", "sender_id": "u1", "sender_type": "User"}, {"m1"}, "a")
    core.RoomRoster().reconcile(["b", "a"])
    with pytest.raises(ValueError):
        core.evaluate_delivery_event("message_created", "r", {"id": 5}, "a")
    journal.close()
    with open(path, encoding="utf-8") as lines:
        return [json.loads(line) for line in lines]


def test_the_journal_names_objects_and_refers_to_them(tmp_path):
    entries = record_session(tmp_path / "j.jsonl")
    assert entries[0] == {"call": "SessionPolicy.default", "self": None, "args": [], "kwargs": {},
                          "result": {"$new": "SessionPolicy#1"}}
    assert entries[1]["args"] == [{"$ref": "SessionPolicy#1"}]
    claim = next(e for e in entries if e["call"] == "ClaimRegistry.guarded_claim")
    assert claim["self"] == "ClaimRegistry#1"
    assert claim["args"] == ["r", "m1", {"$ref": "RetryTracker#1"}]
    assert claim["kwargs"] == {"durably_failed": False} and claim["result"] == "runnable"


def test_errors_are_recorded_with_their_issues(tmp_path):
    entries = record_session(tmp_path / "j.jsonl")
    raised = entries[-1]["raised"]
    assert raised["type"] == "ValueError"
    assert ["id", "wrong_type", "`id` must be a string"] in raised["issues"]


def test_a_faithful_journal_replays_without_differences(tmp_path):
    entries = record_session(tmp_path / "j.jsonl")
    assert replay(str(tmp_path / "j.jsonl")) == (len(entries), [])


@pytest.mark.parametrize("call, change", [
    # jitter of a close: a different back-off
    ("Session.on_socket_close", lambda e: e["args"].__setitem__(3, 0.0)),
    # a different recorded verdict
    ("ClaimRegistry.guarded_claim", lambda e: e.__setitem__("result", "inflight")),
    # the failure's error text no longer matches: the settlement dict differs
    ("ClaimRegistry.record_failed_settlement", lambda e: e["result"]["$dict"][0].__setitem__(1, "9")),
    # a snapshot with another room: another reconciliation
    ("RoomRoster.reconcile", lambda e: e["args"][0].append("c")),
    # an error that no longer happens
    ("evaluate_delivery_event", lambda e: e["args"][2]["$dict"][0].__setitem__(1, "m1")),
])
def test_replay_reports_each_changed_decision(tmp_path, call, change):
    entries = record_session(tmp_path / "j.jsonl")
    target = next(i for i, e in enumerate(entries) if e["call"] == call)
    change(entries[target])
    tampered = tmp_path / "tampered.jsonl"
    tampered.write_text("".join(json.dumps(e) + "\n" for e in entries))
    count, differences = replay(str(tampered))
    assert count == len(entries)
    assert [(d.line, d.call) for d in differences] == [(target + 1, call)]


@pytest.mark.parametrize("value", [
    q.SessionState.Up, q.ParkedReason.Rejected, {"b": [1, 2.5], "a": None}, {"x", "y"},
    [("r", 0), ("s", 1)], "text", 2**64 - 1, -0.5,
])
def test_values_survive_encoding_and_json(value):
    decoded = decode(json.loads(json.dumps(encode(value, {}))), {})
    if isinstance(value, list):
        value = [list(v) for v in value]  # tuples come back as lists
    assert decoded == value
    if isinstance(value, dict):
        assert list(decoded) == list(value)  # key order is part of a decision


def test_objects_the_journal_did_not_make_are_refused():
    with pytest.raises(TypeError, match="cannot record a object"):
        encode(object(), {})


def test_the_journal_keeps_no_object_alive(tmp_path):
    core = Core(Journal(None))
    ledger = core.TurnLedger()
    inner = ledger._target
    del ledger
    assert sys.getrefcount(inner) == 2  # only `inner` and the call's own argument
