"""ClaimRegistry: claims, stored outcomes with their settlement tokens, parking, completion."""

import pytest

from quarn_sdk_core import ClaimRegistry, ParkedReason, RetryTracker

CONFLICT = ("error", "invalid_value", "the message already has a different pending terminal intent")
FACT_NAMES = "`self_echo`, `durably_processed`, `durably_failed`, `allow_failed_retry`"


@pytest.fixture
def reg():
    return ClaimRegistry()


@pytest.fixture
def tracker():
    return RetryTracker(max_retries=3)


def attempts(tracker, message_id, n):
    for _ in range(n):
        tracker.record_attempt(message_id)


# ---- construction


def test_max_completed():
    assert ClaimRegistry().max_completed == 500
    assert ClaimRegistry(max_completed=4294967295).max_completed == 4294967295
    with pytest.raises(AttributeError):
        ClaimRegistry().max_completed = 2


@pytest.mark.parametrize("value", [0, -1, 4294967296])
def test_max_completed_range(value):
    with pytest.raises(ValueError) as info:
        ClaimRegistry(value)
    assert str(info.value) == f"`max_completed` must be an integer between 1 and 4294967295, got {value}"


# ---- eligibility


def _setup(reg, tracker, state):
    if "pending" in state:
        reg.remember_ack_pending("r", "m")
    if "completed" in state:
        reg.remember_completed("r", "m")
        if "pending" in state:
            reg.remember_ack_pending("r", "m")  # stored again after completion
    if "exhausted" in state:
        tracker.mark_permanently_failed("m")
    if "inflight" in state:
        reg.try_claim("r", "m")


@pytest.mark.parametrize(
    "state, facts, verdict",
    [
        ("", {}, "runnable"),
        ("", {"self_echo": True}, "self"),
        ("pending inflight completed", {"self_echo": True}, "self"),
        ("pending completed exhausted", {}, "pending"),
        ("pending", {"durably_processed": True}, "pending"),
        ("completed exhausted inflight", {}, "completed"),
        ("exhausted", {"durably_processed": True}, "completed"),
        ("exhausted inflight", {"durably_failed": True, "allow_failed_retry": False}, "exhausted"),
        ("inflight", {"durably_failed": True, "allow_failed_retry": False}, "failed"),
        ("inflight", {"durably_failed": True}, "inflight"),
        ("", {"durably_failed": True, "allow_failed_retry": True}, "runnable"),
        ("", {"allow_failed_retry": False}, "runnable"),
        ("inflight", {}, "inflight"),
    ],
)
def test_eligibility_order(reg, tracker, state, facts, verdict):
    _setup(reg, tracker, state)
    assert reg.delivery_eligibility("r", "m", tracker, **facts) == verdict
    assert reg.guarded_claim("r", "m", tracker, **facts) == verdict
    assert reg.inflight_ids("r") == (["m"] if "inflight" in state or verdict == "runnable" else [])


def test_guarded_claim_versus_try_claim(reg, tracker):
    assert reg.delivery_eligibility("r", "m", tracker) == "runnable"
    assert reg.inflight_ids("r") == []  # asking does not claim
    assert reg.guarded_claim("r", "m", tracker) == "runnable"
    assert reg.guarded_claim("r", "m", tracker) == "inflight"
    assert reg.try_claim("r", "m") is False
    reg.release("r", "m")
    assert reg.try_claim("r", "m") is True
    # the bare claim consults nothing else
    reg.remember_completed("r", "done")
    tracker.mark_permanently_failed("lost")  # keyed by message id alone: "lost" is exhausted in every room
    assert reg.guarded_claim("q", "lost", tracker) == "exhausted"
    assert reg.try_claim("r", "done") and reg.try_claim("r", "lost")
    assert sorted(reg.inflight_ids("r")) == ["done", "lost", "m"]
    reg.release("r", "unknown")
    reg.release("unknown", "m")
    assert reg.inflight_ids("unknown") == []


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"self_echo": 1}, "delivery facts must be bool values"),
        ({"allow_failed_retry": None}, "delivery facts must be bool values"),
        ({"urgent": True}, f"unknown field `urgent`, expected one of {FACT_NAMES}"),
        ({"urgent": 1}, "delivery facts must be bool values"),  # values are checked before names
        ({"self_echo": 1, "urgent": True}, "delivery facts must be bool values"),  # every value, in any order
        ({"urgent": True, "self_echo": 1}, "delivery facts must be bool values"),
        ({"self_echo": True, "b": False, "a": True}, f"unknown field `b`, expected one of {FACT_NAMES}"),
    ],
)
@pytest.mark.parametrize("method", ["guarded_claim", "delivery_eligibility"])
def test_fact_errors(reg, tracker, method, kwargs, message):
    with pytest.raises(TypeError) as info:
        getattr(reg, method)("r", "m", tracker, **kwargs)
    assert str(info.value) == message
    assert reg.inflight_ids("r") == []


def test_facts_come_after_the_tracker(reg, tracker):
    with pytest.raises(TypeError) as info:
        reg.guarded_claim("r", "m", "tracker", urgent=1)
    assert str(info.value) == "'str' object is not an instance of 'RetryTracker'"
    assert info.value.__notes__ == ["while processing 'retry_tracker'"]
    with pytest.raises(TypeError, match="got multiple values for argument 'room_id'"):
        reg.guarded_claim("r", "m", tracker, room_id="s")
    assert reg.guarded_claim(message_id="m", retry_tracker=tracker, room_id="r", self_echo=False) == "runnable"


# ---- settlements and tokens


def test_tokens_count_up_and_are_never_reused(reg, tracker):
    assert reg.record_processed_settlement("r", "a")["token"] == "0"
    reg.remember_ack_pending("r", "b")  # a remembered entry takes a token too
    assert reg.pending_settlement("r", "b")["token"] == "1"
    assert reg.pending_settlement("r", "c") is None and reg.pending_ack("r", "c") is None
    assert reg.confirm_settlement("r", "a", "0", tracker)
    assert reg.record_failed_settlement("s", "a", "x", tracker, False)["token"] == "2"


def test_same_intent_is_idempotent(reg, tracker):
    first = reg.record_failed_settlement("r", "m", "boom", tracker, True)
    attempts(tracker, "m", 3)  # a later continuation is ignored for an existing entry
    assert reg.record_failed_settlement("r", "m", "boom", tracker, True) == first
    assert reg.pending_settlement("r", "m") == first
    reg.remember_failed_ack_pending("r", "m", "boom")
    reg.remember_ack_pending("r", "m")  # keeps the failed intent silently
    assert reg.pending_ack("r", "m") == {"status": "failed", "error": "boom", "parked": None}
    processed = reg.record_processed_settlement("r", "p")
    assert processed == reg.record_processed_settlement("r", "p")
    assert list(processed) == ["token", "status", "parked", "continuation"]
    assert processed["continuation"] == {"kind": "finished"}


@pytest.mark.parametrize(
    "first, second",
    [
        ("processed", "failed:x"),
        ("failed:x", "processed"),
        ("failed:x", "failed:y"),
        ("remember:x", "remember:y"),
        ("remember:x", "failed:"),
        ("ack", "remember:x"),
    ],
)
@pytest.mark.parametrize("trace", [None, "trace-7"])
def test_conflicting_intent(reg, tracker, first, second, trace):
    def call(what, **kw):
        kind, _, error = what.partition(":")
        if kind == "processed":
            return reg.record_processed_settlement("r", "m", **kw)
        if kind == "failed":
            return reg.record_failed_settlement("r", "m", error, tracker, True, **kw)
        if kind == "remember":
            return reg.remember_failed_ack_pending("r", "m", error, **kw)
        return reg.remember_ack_pending("r", "m")

    call(first)
    before = reg.pending_settlement("r", "m")
    with pytest.raises(ValueError) as info:
        call(second, **({"trace_context": trace} if trace else {}))
    assert info.value.issues == (CONFLICT,)
    assert info.value.trace_context == trace
    assert str(info.value) == f"1 validation issue(s): {CONFLICT[2]} (error)"
    assert reg.pending_settlement("r", "m") == before
    assert reg.pending_ack_ids("r") == ["m"]


@pytest.mark.parametrize(
    "max_retries, recorded, allow_retry, continuation",
    [
        (3, 2, True, {"kind": "retry", "attempts": 2, "max_retries": 3}),
        (3, 2, False, {"kind": "finished"}),
        (3, 3, True, {"kind": "finished"}),
        (3, 0, True, {"kind": "retry", "attempts": 0, "max_retries": 3}),
        (0, 0, True, {"kind": "finished"}),
    ],
)
def test_failed_settlement_continuation(reg, max_retries, recorded, allow_retry, continuation):
    tracker = RetryTracker(max_retries)
    attempts(tracker, "m", recorded)
    settlement = reg.record_failed_settlement("r", "m", "boom", tracker, allow_retry)
    assert settlement == {"token": "0", "status": "failed", "error": "boom", "parked": None,
                          "continuation": continuation}
    assert list(settlement) == ["token", "status", "error", "parked", "continuation"]
    assert list(settlement["continuation"]) == list(continuation)
    assert tracker.record_attempt("m")[0] == recorded + 1  # only read


@pytest.mark.parametrize(
    "make",
    [
        lambda reg, tracker, m: reg.record_processed_settlement("r", m),
        lambda reg, tracker, m: reg.record_failed_settlement("r", m, "boom", tracker, True),
        lambda reg, tracker, m: reg.record_failed_settlement("r", m, "boom", tracker, False),
        lambda reg, tracker, m: (reg.remember_ack_pending("r", m), reg.pending_ack("r", m))[1],
        lambda reg, tracker, m: (reg.remember_failed_ack_pending("r", m, "boom"), reg.pending_ack("r", m))[1],
    ],
)
def test_result_dicts_are_fresh(reg, tracker, make):
    # Every result is the caller's own: changing one, nested dicts included, changes no later one.
    first = make(reg, tracker, "m1")
    want = make(reg, tracker, "m2")
    want = {k: dict(v) if isinstance(v, dict) else v for k, v in want.items()}
    for key in list(first):
        if isinstance(first[key], dict):
            first[key]["kind"] = "changed"
            first[key]["extra"] = 1
        first[key] = "changed"
    first["extra"] = 1
    got = make(reg, tracker, "m3")
    if "token" in got:
        got["token"] = want["token"]
    assert got == want
    assert list(got) == list(want)


def test_parked_reason_in_results(reg):
    settlement = reg.record_processed_settlement("r", "m")
    assert reg.park_settlement("r", "m", settlement["token"], ParkedReason.Rejected)
    parked = reg.pending_settlement("r", "m")
    assert parked["parked"] == "rejected" and list(parked) == ["token", "status", "parked", "continuation"]
    assert reg.pending_ack("r", "m") == {"status": "processed", "parked": "rejected"}
    assert reg.record_processed_settlement("r", "n")["parked"] is None  # the next one starts unparked


@pytest.mark.parametrize("token", ["00", "+0", " 0", "0 ", "", "1", "0.0", "٠", "18446744073709551616", "1" * 21])
def test_token_must_match_exactly(reg, tracker, token):
    reg.record_processed_settlement("r", "m")
    reg.record_processed_settlement("r", "n")  # token "1" belongs to another entry
    assert reg.confirm_settlement("r", "m", token, tracker) is False
    assert reg.park_settlement("r", "m", token, ParkedReason.Rejected) is False
    assert reg.pending_ack("r", "m") == {"status": "processed", "parked": None}
    assert reg.confirm_settlement("s", "m", "0", tracker) is False
    assert reg.confirm_settlement("r", "m", "0", tracker) is True


@pytest.mark.parametrize("count, other", [(11, "1"), (101, "1001"), (1000, "99")])
def test_multi_digit_tokens_match_by_their_digits(reg, tracker, count, other):
    for i in range(count):
        token = reg.record_processed_settlement("r", f"m{i}")["token"]
    assert token == str(count - 1)
    assert reg.confirm_settlement("r", f"m{count - 1}", other, tracker) is False
    assert reg.confirm_settlement("r", f"m{count - 1}", token, tracker) is True


# ---- confirming


@pytest.mark.parametrize("error", [None, "boom"])
def test_confirm_finished(reg, tracker, error):
    reg.try_claim("r", "m")
    attempts(tracker, "m", 1)
    reg.record_ack_retry("r", "m")
    if error:
        token = reg.record_failed_settlement("r", "m", error, tracker, False)["token"]
    else:
        token = reg.record_processed_settlement("r", "m")["token"]
    assert reg.confirm_settlement("r", "m", token, tracker)
    assert tracker.is_permanently_failed("m") == bool(error)
    assert tracker.record_attempt("m")[0] == 1  # attempt record removed
    assert not reg.is_ack_pending("r", "m") and reg.is_completed("r", "m")
    assert reg.record_ack_retry("r", "m") == 1
    assert reg.inflight_ids("r") == ["m"]  # the host releases
    assert reg.confirm_settlement("r", "m", token, tracker) is False


def test_confirm_retry_restores_the_tracker(reg, tracker):
    attempts(tracker, "m", 1)
    token = reg.record_failed_settlement("r", "m", "boom", tracker, True)["token"]
    reg.record_ack_retry("r", "m")
    tracker.mark_success("m")  # the record may be gone by the time the write is confirmed
    assert reg.confirm_settlement("r", "m", token, tracker)
    assert not reg.is_ack_pending("r", "m") and not reg.is_completed("r", "m")
    assert not tracker.is_permanently_failed("m")
    assert reg.record_ack_retry("r", "m") == 1
    assert reg.guarded_claim("r", "m", tracker) == "runnable"
    assert tracker.record_attempt("m") == (2, False)


@pytest.mark.parametrize(
    "confirm_max_retries, recorded_before_confirm, failed, then",
    [
        # the stored state is 1 attempt of 3; a new record takes the smaller limit
        (2, 0, False, [(2, False), (3, True)]),
        (9, 0, False, [(2, False), (3, False), (4, True)]),
        (1, 0, True, [(2, True)]),  # count 1 reaches limit 1
        # an existing record: the larger count (2 over 1), the smaller limit (3 over 9)
        (9, 2, False, [(3, False), (4, True)]),
    ],
)
def test_restore_takes_max_count_and_min_limit(reg, tracker, confirm_max_retries, recorded_before_confirm, failed,
                                               then):
    attempts(tracker, "m", 1)
    other = RetryTracker(max_retries=confirm_max_retries)
    attempts(other, "m", recorded_before_confirm)
    token = reg.record_failed_settlement("r", "m", "boom", tracker, True)["token"]
    assert reg.confirm_settlement("r", "m", token, other)
    assert other.is_permanently_failed("m") == failed
    assert [other.record_attempt("m") for _ in then] == then


def test_restore_marks_failed_when_count_reaches_limit(reg, tracker):
    attempts(tracker, "m", 2)
    token = reg.record_failed_settlement("r", "m", "boom", tracker, True)["token"]
    attempts(tracker, "m", 1)  # another run was counted meanwhile: 3 of 3
    assert reg.confirm_settlement("r", "m", token, tracker)
    assert tracker.is_permanently_failed("m")
    assert reg.guarded_claim("r", "m", tracker) == "exhausted"


# ---- parking


def test_park_and_unpark(reg, tracker):
    assert reg.park_ack("r", "m", ParkedReason.NotFound) is False
    reg.remember_ack_pending("r", "m")
    assert reg.has_retryable_settlement("r")
    assert reg.park_ack("r", "m", ParkedReason.NotFound) is True
    assert reg.pending_ack("r", "m") == {"status": "processed", "parked": "not_found"}
    assert not reg.has_retryable_settlement("r")
    assert reg.guarded_claim("r", "m", tracker) == "pending"
    assert reg.unpark_acks("r") == 1
    assert reg.unpark_acks("r") == 0
    assert reg.pending_ack("r", "m")["parked"] is None and reg.has_retryable_settlement("r")


def test_parking_is_per_entry_and_per_room(reg):
    token = reg.record_failed_settlement("r", "a", "x", RetryTracker(), False)["token"]
    reg.remember_ack_pending("r", "b")
    reg.remember_ack_pending("s", "a")
    assert reg.park_settlement("r", "a", token, ParkedReason.NotFound)
    assert reg.park_settlement("r", "a", token, ParkedReason.Rejected)  # replaces the reason
    assert reg.pending_settlement("r", "a")["parked"] == "rejected"
    assert list(reg.pending_ack("r", "a")) == ["status", "error", "parked"]
    assert reg.has_retryable_settlement("r")  # "b" is not parked
    assert reg.unpark_acks("r") == 1  # counts parked entries, not parks or entries
    reg.park_ack("r", "a", ParkedReason.Rejected)
    reg.park_ack("r", "b", ParkedReason.Rejected)
    assert not reg.has_retryable_settlement("r") and reg.has_retryable_settlement("s")
    assert reg.unpark_acks("s") == 0
    assert reg.unpark_acks("r") == 2
    assert not reg.has_retryable_settlement("unknown") and reg.unpark_acks("unknown") == 0


def test_completing_a_parked_entry_keeps_room_counts(reg):
    reg.remember_ack_pending("r", "a")
    reg.remember_ack_pending("r", "b")
    reg.park_ack("r", "a", ParkedReason.NotFound)
    reg.remember_completed("r", "a")
    assert reg.has_retryable_settlement("r")
    assert reg.unpark_acks("r") == 0


def test_pending_ids_are_oldest_first_per_room(reg):
    for room, message in [("r", "c"), ("s", "x"), ("r", "a"), ("r", "b")]:
        reg.remember_ack_pending(room, message)
    reg.remember_completed("r", "a")
    reg.remember_ack_pending("r", "a")  # a new entry goes to the back
    assert reg.pending_ack_ids("r") == ["c", "b", "a"]
    assert reg.pending_ack_ids("s") == ["x"] and reg.pending_ack_ids("t") == []


# ---- completed messages


def test_completed_evicts_least_recently_completed_or_looked_up():
    reg = ClaimRegistry(max_completed=2)
    reg.remember_completed("r", "a")
    reg.remember_completed("r", "b")
    assert reg.is_completed("r", "a")  # refreshes "a"
    reg.remember_completed("r", "c")
    assert reg.completed_ids("r") == ["a", "c"]
    reg.remember_completed("s", "x")  # rooms do not share the capacity
    assert reg.guarded_claim("r", "a", RetryTracker()) == "completed"  # a lookup through eligibility refreshes too
    reg.remember_completed("r", "d")
    assert reg.completed_ids("r") == ["a", "d"] and reg.completed_ids("s") == ["x"]
    reg.remember_completed("r", "a")  # completing again moves to the back
    assert reg.completed_ids("r") == ["d", "a"]


def test_completed_ids_does_not_refresh():
    reg = ClaimRegistry(max_completed=2)
    reg.remember_completed("r", "a")
    reg.remember_completed("r", "b")
    assert reg.completed_ids("r") == ["a", "b"]
    assert not reg.is_completed("r", "zz")
    reg.remember_completed("r", "c")
    assert reg.completed_ids("r") == ["b", "c"]


def test_remember_completed_clears_pending_and_ack_retries(reg, tracker):
    reg.try_claim("r", "m")
    reg.remember_failed_ack_pending("r", "m", "x")
    assert [reg.record_ack_retry("r", "m") for _ in range(3)] == [1, 2, 3]
    assert reg.record_ack_retry("r", "n") == 1
    attempts(tracker, "m", 1)
    reg.remember_completed("r", "m")
    assert not reg.is_ack_pending("r", "m")
    assert reg.record_ack_retry("r", "m") == 1 and reg.record_ack_retry("r", "n") == 2
    assert reg.inflight_ids("r") == ["m"]
    assert tracker.record_attempt("m") == (2, False)


def test_discard_completed_forgets_only_the_room_completed_set(reg, tracker):
    reg.remember_completed("r", "a")
    reg.remember_completed("s", "a")
    reg.remember_ack_pending("r", "p")
    reg.try_claim("r", "q")
    reg.discard_completed("r")
    reg.discard_completed("unknown")
    assert not reg.is_completed("r", "a") and reg.completed_ids("r") == []
    assert reg.is_completed("s", "a")
    assert reg.pending_ack_ids("r") == ["p"] and reg.inflight_ids("r") == ["q"]


# ---- arguments


@pytest.mark.parametrize(
    "call, param",
    [
        (lambda reg, t: reg.try_claim(1, "m"), "room_id"),
        (lambda reg, t: reg.remember_completed("r", None), "message_id"),
        (lambda reg, t: reg.record_failed_settlement("r", "m", b"x", t, True), "error"),
        (lambda reg, t: reg.record_failed_settlement("r", "m", "x", t, 1), "allow_retry"),
        (lambda reg, t: reg.record_failed_settlement("r", "m", "x", t, True, 5), "trace_context"),
        (lambda reg, t: reg.confirm_settlement("r", "m", 0, t), "token"),
        (lambda reg, t: reg.confirm_settlement("r", "m", "0", reg), "retry_tracker"),
        (lambda reg, t: reg.pending_ack_ids(["r"]), "room_id"),
        (lambda reg, t: reg.park_ack("r", "m", "not_found"), "reason"),
        (lambda reg, t: reg.remember_failed_ack_pending("r", "m", "\ud800"), "error"),
    ],
)
def test_bad_arguments_change_nothing(reg, tracker, call, param):
    with pytest.raises((TypeError, ValueError)) as info:
        call(reg, tracker)
    assert info.value.__notes__ == [f"while processing '{param}'"]
    assert reg.pending_ack_ids("r") == [] and reg.inflight_ids("r") == [] and reg.completed_ids("r") == []


# ---- the delivery loop, as the host drives the ledgers


def test_delivery_loop(reg):
    tracker = RetryTracker(max_retries=2)

    # a message that succeeds, with a refused write on the way
    assert reg.guarded_claim("r", "ok", tracker) == "runnable"
    assert reg.guarded_claim("r", "ok", tracker) == "inflight"  # duplicate while the turn runs
    assert tracker.record_attempt("ok") == (1, False)
    token = reg.record_processed_settlement("r", "ok")["token"]
    assert reg.guarded_claim("r", "ok", tracker) == "pending"  # duplicate while the write is due
    assert reg.park_settlement("r", "ok", token, ParkedReason.NotFound)
    assert not reg.has_retryable_settlement("r")
    assert reg.unpark_acks("r") == 1 and reg.record_ack_retry("r", "ok") == 1
    assert reg.confirm_settlement("r", "ok", token, tracker)
    reg.release("r", "ok")
    assert reg.guarded_claim("r", "ok", tracker) == "completed"  # duplicate after the write

    # a message whose turn fails, is retried, fails again and is exhausted
    verdicts = []
    for _ in range(2):
        assert reg.guarded_claim("r", "bad", tracker) == "runnable"
        tracker.record_attempt("bad")
        settlement = reg.record_failed_settlement("r", "bad", "provider down", tracker, True)
        verdicts.append(settlement["continuation"])
        assert reg.guarded_claim("r", "bad", tracker) == "pending"
        assert reg.confirm_settlement("r", "bad", settlement["token"], tracker)
        reg.release("r", "bad")
    assert verdicts == [{"kind": "retry", "attempts": 1, "max_retries": 2}, {"kind": "finished"}]
    assert tracker.is_permanently_failed("bad")
    assert reg.guarded_claim("r", "bad", tracker) == "completed"
    reg.discard_completed("r")
    assert reg.guarded_claim("r", "bad", tracker) == "exhausted"
    assert reg.inflight_ids("r") == [] and reg.pending_ack_ids("r") == []


# ---- ids of every form: the ledger packs canonical UUIDs and keeps any other id as it is

UUID = "0190a5c2-7b3e-7000-8abc-def012345678"
ID_FORMS = [
    pytest.param(UUID, id="canonical uuid"),
    pytest.param(UUID.upper(), id="uppercase uuid"),
    pytest.param(UUID[:-6] + "DEF678", id="mixed case uuid"),
    pytest.param(UUID[:-1] + "g", id="non-hex digit"),
    pytest.param(UUID[:-1], id="one char short"),
    pytest.param(UUID + "0", id="one char long"),
    pytest.param(UUID[:8] + "0" + UUID[9:], id="dash replaced"),
    pytest.param("{" + UUID[:-2] + "}", id="braced"),
    pytest.param(UUID[:20] + "\0" + UUID[21:], id="nul among digits"),
    pytest.param(UUID[:-1] + "é", id="non-ascii last"),
    pytest.param("", id="empty"),
    pytest.param("\0", id="nul"),
    pytest.param("m-1", id="short"),
    pytest.param("a" * 16, id="16 bytes"),
    pytest.param("a" * 17, id="17 bytes"),
    pytest.param("café-日本", id="non-ascii"),
    pytest.param("z" * 100_000, id="long"),
]


@pytest.mark.parametrize("message_id", ID_FORMS)
def test_id_forms_round_trip(reg, message_id):
    neighbours = [UUID.replace("7b3e", "7b3f"), "x", UUID.upper().replace("7B3E", "7B3F")]
    ids = [neighbours[0], message_id, *neighbours[1:]]
    assert all(reg.try_claim("r", m) for m in ids)
    assert not reg.try_claim("r", message_id)
    assert reg.inflight_ids("r") == ids
    reg.release("r", message_id)
    assert reg.inflight_ids("r") == neighbours and reg.try_claim("r", message_id)
    assert reg.inflight_ids("r") == [*neighbours, message_id]
    for m in ids:
        reg.remember_completed("s", m)
    assert reg.completed_ids("s") == ids
    assert reg.is_completed("s", message_id) and reg.completed_ids("s") == [*neighbours, message_id]


def test_every_id_form_at_once_keeps_order_and_bytes(reg):
    forms = [p.values[0] for p in ID_FORMS]
    for m in forms:
        reg.try_claim("r", m)
        reg.remember_completed("r", m)
    assert reg.inflight_ids("r") == forms and reg.completed_ids("r") == forms
    for m in forms[::2]:
        reg.release("r", m)
    assert reg.inflight_ids("r") == forms[1::2]
    small = ClaimRegistry(max_completed=3)
    for m in forms:
        small.remember_completed("r", m)
    assert small.completed_ids("r") == forms[-3:]


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_many_claims_in_one_room_follow_set_semantics(seed):
    # Enough keys to grow the room's set many times and to release from the middle of long
    # probe runs; empty, short and non-ASCII ids among them.
    import random

    rng = random.Random(seed)
    ids = ["", "a", "é", "0190a5c2-0000-7000-8000-000000000000"] + [f"m{rng.getrandbits(40):x}" for _ in range(3000)]
    reg, model = ClaimRegistry(), set()
    for _ in range(20000):
        message_id = rng.choice(ids)
        if rng.random() < 0.55:
            assert reg.try_claim("room", message_id) is (message_id not in model)
            model.add(message_id)
        else:
            reg.release("room", message_id)
            model.discard(message_id)
    assert sorted(reg.inflight_ids("room")) == sorted(model)
    assert all(reg.try_claim("room", message_id) is False for message_id in model)
    assert reg.inflight_ids("other") == []
