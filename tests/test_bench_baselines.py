"""The benchmark corpus and baselines: the corpus is what it claims, and every pure-Python
baseline answers exactly as the module does (so a ratio compares the same work). Comparisons
with the module are skipped while its callable does not exist on this branch. The stateful
baselines are also the references of the model-based tests (test_models.py), which drive them
and the module with the same random operation sequences."""

import itertools
from types import SimpleNamespace

import pytest

import corpus
import pure_channels
import pure_events
import pure_ledgers
import pure_session
import pure_turns
import target
from compare import normalise, outcome, same_json, wire

q = target.load()


def needs(*names):
    reason = target.missing(q, *names)
    return pytest.mark.skipif(reason is not None, reason=reason or "")


# ---- the corpus


def test_realistic_payload_is_a_busy_rooms_message():
    p = corpus.REALISTIC
    assert len(p) == 13
    assert len(p["metadata"]["mentions"]) == 2 and len(p["attachments"]) == 1
    assert not p["content"].isascii()
    assert pure_events.validate_message(p) == p  # nothing to normalise, every key kept


def test_large_payload_has_four_kib_of_content_and_twenty_mentions():
    p = corpus.LARGE
    assert len(p["content"].encode()) == 4096
    assert len(p["metadata"]["mentions"]) == 20
    assert pure_events.validate_message(p) == p


def test_failing_payload_reports_seven_issues_in_check_order():
    with pytest.raises(ValueError) as caught:
        pure_events.validate_message(corpus.FAILING)
    assert caught.value.issues == corpus.FAILING_ISSUES
    assert str(caught.value) == "7 validation issue(s): required field `id` is missing (id)"


# ---- validation and routing

_COMPLETE = {k: f"v-{k}" for k in pure_events.REQUIRED_MESSAGE_FIELDS}

PAYLOADS = [
    pytest.param(corpus.REALISTIC, id="realistic"),
    pytest.param(corpus.LARGE, id="large"),
    pytest.param(corpus.FAILING, id="failing"),
    pytest.param({}, id="empty"),
    pytest.param(_COMPLETE, id="no-containers"),
    pytest.param({**_COMPLETE, "metadata": None, "attachments": None}, id="null-containers"),
    pytest.param({**_COMPLETE, "metadata": {"z": 1, "a": (1, 2.5)}}, id="metadata-without-mentions"),
    pytest.param({**_COMPLETE, "metadata": "x"}, id="metadata-string"),
    pytest.param({**_COMPLETE, "metadata": {"mentions": "x"}}, id="mentions-string"),
    pytest.param({**_COMPLETE, "metadata": {"mentions": [{"username": 5}]}}, id="mention-without-id"),
    pytest.param({**_COMPLETE, "sender_name": None, "b": [float("nan"), -(2**63)], "a": {"y": 1, "x": 2}},
                 id="key-order-and-floats"),
    pytest.param({**_COMPLETE, "sender_name": 7, "id": None, "attachments": {"a": 1}}, id="wrong-types"),
    pytest.param([1, 2], id="not-an-object"),
]


@needs("validate_event_payload")
@pytest.mark.parametrize("payload", PAYLOADS)
@pytest.mark.parametrize("kind", ["message_created", "message_updated"])
def test_pure_validation_agrees_with_the_module(kind, payload):
    got = outcome(lambda: q.validate_event_payload(kind, payload, "tc-7"))
    want = outcome(lambda: pure_events.validate_event_payload(kind, payload, "tc-7"))
    assert got[0] == want[0]
    assert same_json(got[1], want[1]) if got[0] == "ok" else got == want


_ECHO = {**corpus.REALISTIC, "sender_type": "Agent", "sender_id": corpus.AGENT_ID}

EVENTS = [
    pytest.param("message_created", corpus.ROOM_ID, corpus.REALISTIC, id="invocation"),
    pytest.param("message_created", None, corpus.REALISTIC, id="room-from-payload"),
    pytest.param("message_created", "", _ECHO, id="self-echo"),
    pytest.param("message_created", None, {**_ECHO, "sender_type": "agent"}, id="not-an-echo"),
    pytest.param("message_created", None, {**corpus.REALISTIC, "chat_room_id": 7}, id="room-wrong-type"),
    pytest.param("message_created", None, _COMPLETE, id="room-missing"),
    pytest.param("message_created", None, {**_COMPLETE, "id": ""}, id="empty-id"),
    pytest.param("message_created", "r", corpus.FAILING, id="failing"),
    pytest.param("room_deleted", "r1", {"id": "r2"}, id="cleanup-envelope"),
    pytest.param("room_removed", None, {"id": "r2"}, id="cleanup-payload"),
    pytest.param("room_removed", None, {"id": None}, id="cleanup-missing"),
    pytest.param("room_removed", None, {"id": 7}, id="cleanup-wrong-type"),
    pytest.param("message_updated", None, {}, id="ignored"),
    pytest.param("typing", None, [], id="unknown-ignored"),
]


@needs("evaluate_delivery_event")
@pytest.mark.parametrize("kind, room, payload", EVENTS)
def test_pure_delivery_decision_agrees_with_the_module(kind, room, payload):
    got = outcome(lambda: q.evaluate_delivery_event(kind, room, payload, corpus.AGENT_ID, "tc-9"))
    want = outcome(lambda: pure_events.evaluate_delivery_event(kind, room, payload, corpus.AGENT_ID, "tc-9"))
    assert got == want


# ---- documented behaviours, held by each baseline (and by the module once it has the class)


def kinds(impl):
    if impl == "module":
        return SimpleNamespace(ledgers=q, channels=q, turns=q, session=q)
    return SimpleNamespace(ledgers=pure_ledgers, channels=pure_channels, turns=pure_turns, session=pure_session)


def _retries_exhaust(k):
    tracker = k.ledgers.RetryTracker()
    return tracker.record_attempt("m"), tracker.record_attempt("m"), tracker.is_permanently_failed("m")


def _eviction_by_first_insertion(k):
    tracker = k.ledgers.RetryTracker(max_tracked=2)
    for message_id in ("a", "b", "a", "c"):
        tracker.record_attempt(message_id)
    return tracker.record_attempt("a"), tracker.record_attempt("c")  # "a" went first, though updated last


def _claim_then_inflight(k):
    registry, tracker = k.ledgers.ClaimRegistry(), k.ledgers.RetryTracker()
    first, second = registry.guarded_claim("r", "m", tracker), registry.guarded_claim("r", "m", tracker)
    bare = registry.try_claim("r", "m")
    registry.release("r", "m")
    return first, second, bare, registry.try_claim("r", "m")


def _facts_order(k):
    registry, tracker = k.ledgers.ClaimRegistry(), k.ledgers.RetryTracker(max_retries=0)
    registry.remember_ack_pending("r", "p")
    tracker.record_attempt("x")
    return (registry.guarded_claim("r", "p", tracker, self_echo=True),
            registry.guarded_claim("r", "p", tracker, durably_processed=True),
            registry.guarded_claim("r", "x", tracker),
            registry.guarded_claim("r", "x", tracker, durably_processed=True),
            registry.guarded_claim("r", "f", tracker, durably_failed=True, allow_failed_retry=False),
            registry.guarded_claim("r", "f", tracker, durably_failed=True))


def _tokens_and_conflict(k):
    registry, tracker = k.ledgers.ClaimRegistry(), k.ledgers.RetryTracker()
    first = registry.record_processed_settlement("r", "m")["token"]
    again = registry.record_processed_settlement("r", "m")["token"]
    other = registry.record_processed_settlement("r", "n")["token"]
    conflict = outcome(lambda: registry.record_failed_settlement("r", "m", "boom", tracker, True))
    return first, again, other, conflict[3]


def _retry_continuation(k):
    tracker = k.ledgers.RetryTracker(max_retries=3)
    tracker.record_attempt("m")
    tracker.record_attempt("m")
    registry = k.ledgers.ClaimRegistry()
    settlement = registry.record_failed_settlement("r", "m", "boom", tracker, True)
    finished = k.ledgers.ClaimRegistry().record_failed_settlement("r", "m", "boom", tracker, False)
    confirmed = (registry.confirm_settlement("r", "m", "00", tracker),
                 registry.confirm_settlement("r", "m", settlement["token"], tracker))
    return (settlement["continuation"], finished["continuation"], confirmed,
            registry.is_ack_pending("r", "m"), registry.is_completed("r", "m"))


def _failed_confirmation_completes(k):
    registry, tracker = k.ledgers.ClaimRegistry(), k.ledgers.RetryTracker()
    token = registry.record_failed_settlement("r", "m", "x", tracker, False)["token"]
    return registry.confirm_settlement("r", "m", token, tracker), tracker.is_permanently_failed("m"), \
        registry.is_completed("r", "m")


def _parking(k):
    registry = k.ledgers.ClaimRegistry()
    nothing = registry.park_ack("r", "m", k.ledgers.ParkedReason.NotFound)
    registry.remember_ack_pending("r", "m")
    registry.park_ack("r", "m", k.ledgers.ParkedReason.NotFound)
    return (nothing, normalise(registry.pending_ack("r", "m")), registry.has_retryable_settlement("r"),
            registry.unpark_acks("r"), registry.unpark_acks("r"))


def _completed_recency(k):
    registry = k.ledgers.ClaimRegistry(max_completed=2)
    registry.remember_completed("r", "a")
    registry.remember_completed("r", "b")
    registry.is_completed("r", "a")
    registry.remember_completed("r", "c")
    registry.remember_completed("s", "z")
    return registry.completed_ids("r"), registry.completed_ids("s")


def _rooms_in_order(k):
    tracker = k.channels.SubscriptionTracker()
    for room in ("a", "b", "c"):
        tracker.record_both_room_topics_joined(room, tracker.begin_room_subscribe(room))
    ticket = tracker.unsubscribe_room("b")
    stale = tracker.mark_room_leave_complete("b", ticket - 1, k.channels.LeaveOutcome.Left)
    tracker.mark_room_leave_complete("b", ticket, k.channels.LeaveOutcome.Left)
    tracker.record_both_room_topics_joined("b", tracker.begin_room_subscribe("b"))
    return stale, tracker.subscribed_room_ids()


def _rollback_needs_reconciliation(k):
    tracker = k.channels.SubscriptionTracker()
    ticket = tracker.begin_room_subscribe("r")
    stale = tracker.record_both_room_topics_joined("r", ticket + 5)
    result = tracker.record_room_participants_join_failed("r", ticket, False)
    blocked = tracker.begin_room_subscribe("r")
    return (wire(stale), wire(result), wire(tracker.room_status("r")), blocked,
            tracker.acknowledge_room_reconciled("r"), tracker.begin_room_subscribe("r"))


def _minted_tokens(k):
    registry = k.turns.DecisionRegistry(seed=0)
    return registry.register_minted(), registry.register_minted()


def _keyed_asks(k):
    registry = k.turns.DecisionRegistry()
    first, second = registry.register_keyed("k"), registry.register_keyed("k")
    claims = [wire(registry.try_claim("k", 0)), wire(registry.try_claim("k", 1)), wire(registry.try_claim("k", 1))]
    return first, second, claims, registry.register_keyed("k"), registry.withdraw("k", 1), registry.forget("k", 1)


def _eviction_skips_claimed(k):
    registry = k.turns.DecisionRegistry(max_pending=2, seed=3)
    older, newer = registry.register_minted("r"), registry.register_minted()
    registry.try_claim(*older)
    return registry.evict_oldest() == newer[0], registry.evict_oldest(), registry.unclaimed_in_room("r")


def _retry_after_to_the_nanosecond(k):
    session = k.session.Session(k.session.SessionPolicy.default())
    epoch = session.begin_attempt(0.0)
    # just over 8726380036.5 ns, while the float product 8.7263800365 * 1e9 is the tie and rounds down to even
    return session.on_upgrade_rejected(epoch, 1.0, 503, 8.7263800365, 0.0).retry_after_s


BEHAVIOURS = [
    ("RetryTracker.record_attempt", _retries_exhaust, ((1, False), (2, True), True)),
    ("RetryTracker.record_attempt", _eviction_by_first_insertion, ((1, False), (2, True))),
    ("ClaimRegistry.guarded_claim", _claim_then_inflight, ("runnable", "inflight", False, True)),
    ("ClaimRegistry.guarded_claim", _facts_order, ("self", "pending", "exhausted", "completed", "failed", "runnable")),
    ("ClaimRegistry.record_failed_settlement", _tokens_and_conflict,
     ("0", "0", "1", (("error", "invalid_value", "the message already has a different pending terminal intent"),))),
    ("ClaimRegistry.confirm_settlement", _retry_continuation,
     ({"kind": "retry", "attempts": 2, "max_retries": 3}, {"kind": "finished"}, (False, True), False, False)),
    ("ClaimRegistry.confirm_settlement", _failed_confirmation_completes, (True, True, True)),
    ("ClaimRegistry.unpark_acks", _parking, (False, {"status": "processed", "parked": "not_found"}, False, 1, 0)),
    ("ClaimRegistry.completed_ids", _completed_recency, (["a", "c"], ["z"])),
    ("SubscriptionTracker.unsubscribe_room", _rooms_in_order, (False, ["a", "c", "b"])),
    ("SubscriptionTracker.acknowledge_room_reconciled", _rollback_needs_reconciliation,
     ("stale", "rollback_failed", "needs_reconciliation", None, True, 1)),
    ("DecisionRegistry.register_minted", _minted_tokens, (("7b1dcdaf", 0), ("a1b965f4", 1))),
    ("DecisionRegistry.register_keyed", _keyed_asks,
     (("k", 0), ("k", 1), ["stale", "claimed", "already_claimed"], None, False, True)),
    ("DecisionRegistry.evict_oldest", _eviction_skips_claimed, (True, None, [])),
    ("Session.on_upgrade_rejected", _retry_after_to_the_nanosecond, 8.726380037),
]


@pytest.mark.parametrize("impl", ["pure", "module"])
@pytest.mark.parametrize("needed, script, expected", BEHAVIOURS, ids=[b[1].__name__.strip("_") for b in BEHAVIOURS])
def test_documented_behaviour(impl, needed, script, expected):
    if impl == "module" and target.missing(q, needed):
        pytest.skip(target.missing(q, needed))
    assert script(kinds(impl)) == expected


# ---- the turn ledger


@needs("TurnLedger", "TurnEffect.from_wire_name")
@pytest.mark.parametrize("effects", [
    list(seq) for n in range(4) for seq in itertools.product(["observe", "act", "reply", "decline"], repeat=n)
], ids=lambda effects: "+".join(effects) or "none")
def test_pure_turn_ledger_agrees_with_the_module(effects):
    module, plain = q.TurnLedger(), pure_turns.TurnLedger()
    for name in effects:
        module.record(q.TurnEffect.from_wire_name(name))
        plain.record(pure_turns.TurnEffect(name))
    assert (wire(module.verdict()), module.reply_settled()) == (wire(plain.verdict()), plain.reply_settled())
