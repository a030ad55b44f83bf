"""Model-based tests: random operation sequences against the objects and the plain models in
models.py; every answer and, after every step, the observable state must agree.

QSC_MODEL_EXAMPLES sets the number of sequences per machine.
"""

import os

from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

import models
import quarn_sdk_core as q
from surface import DEFAULT_CONFIG

EXAMPLES = int(os.environ.get("QSC_MODEL_EXAMPLES", "60"))
STEPS = {"steps": 0}
SETTINGS = settings(max_examples=EXAMPLES, stateful_step_count=40,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much])

rooms = st.sampled_from(["r", "\u00e9"])
messages = st.sampled_from(["m", ""])
texts = st.sampled_from(["boom", "other"])
reasons = st.sampled_from([q.ParkedReason.NotFound, q.ParkedReason.Rejected])
facts = st.fixed_dictionaries({}, optional={
    "self_echo": st.booleans(), "durably_processed": st.booleans(), "durably_failed": st.booleans(),
    "allow_failed_retry": st.booleans()})


def same(real_call, model_answer):
    """The real call answers as the model does; a model answer that is an issue triple means ValueError."""
    STEPS["steps"] += 1
    if isinstance(model_answer, tuple) and len(model_answer) == 3 and model_answer[1] == "invalid_value":
        try:
            real_call()
        except ValueError as exc:
            assert exc.issues == (model_answer,)
            return
        raise AssertionError("expected the settlement conflict")
    assert real_call() == model_answer


class Claims(RuleBasedStateMachine):
    """ClaimRegistry with the RetryTracker it reads and updates."""

    @initialize(max_completed=st.integers(1, 3), max_retries=st.integers(0, 3), max_tracked=st.integers(1, 3))
    def start(self, max_completed, max_retries, max_tracked):
        self.tracker = q.RetryTracker(max_retries, max_tracked)
        self.reg = q.ClaimRegistry(max_completed)
        self.tracker_model = models.RetryModel(max_retries, max_tracked)
        self.model = models.ClaimModel(max_completed, self.tracker_model)
        self.tokens = ["00", "x"]

    def wire(self, reason):
        return str(reason)

    @rule(r=rooms, m=messages)
    def try_claim(self, r, m):
        same(lambda: self.reg.try_claim(r, m), self.model.try_claim(r, m))

    @rule(r=rooms, m=messages)
    def release(self, r, m):
        same(lambda: self.reg.release(r, m), self.model.release(r, m))

    @rule(r=rooms, m=messages, f=facts, claim=st.booleans())
    def eligibility(self, r, m, f, claim):
        if claim:
            same(lambda: self.reg.guarded_claim(r, m, self.tracker, **f), self.model.guarded_claim(r, m, **f))
        else:
            same(lambda: self.reg.delivery_eligibility(r, m, self.tracker, **f),
                 self.model.delivery_eligibility(r, m, **f))

    @rule(r=rooms, m=messages)
    def remember_ack_pending(self, r, m):
        same(lambda: self.reg.remember_ack_pending(r, m), self.model.remember_ack_pending(r, m))

    @rule(r=rooms, m=messages, error=texts)
    def remember_failed_ack_pending(self, r, m, error):
        same(lambda: self.reg.remember_failed_ack_pending(r, m, error),
             self.model.remember_failed_ack_pending(r, m, error))

    def settled(self, answer):
        if isinstance(answer, dict):
            self.tokens.append(answer["token"])
        return answer

    @rule(r=rooms, m=messages)
    def record_processed(self, r, m):
        same(lambda: self.settled(self.reg.record_processed_settlement(r, m)),
             self.model.record_processed_settlement(r, m))

    @rule(r=rooms, m=messages, error=texts, allow_retry=st.booleans())
    def record_failed(self, r, m, error, allow_retry):
        same(lambda: self.settled(self.reg.record_failed_settlement(r, m, error, self.tracker, allow_retry)),
             self.model.record_failed_settlement(r, m, error, allow_retry))

    def token(self, r, m, pick):
        """Mostly the key's own token, else any token seen (or a malformed one)."""
        entry = self.model.pending.get((r, m))
        if entry is not None and pick % 3:
            return str(entry["token"])
        return self.tokens[pick % len(self.tokens)]

    @rule(r=rooms, m=messages, pick=st.integers(0, 50))
    def confirm(self, r, m, pick):
        token = self.token(r, m, pick)
        same(lambda: self.reg.confirm_settlement(r, m, token, self.tracker),
             self.model.confirm_settlement(r, m, token))

    @rule(r=rooms, m=messages, pick=st.integers(0, 50), reason=reasons, with_token=st.booleans())
    def park(self, r, m, pick, reason, with_token):
        token = self.token(r, m, pick)
        if with_token:
            same(lambda: self.reg.park_settlement(r, m, token, reason),
                 self.model.park_settlement(r, m, token, self.wire(reason)))
        else:
            same(lambda: self.reg.park_ack(r, m, reason), self.model.park_ack(r, m, self.wire(reason)))

    @rule(r=rooms)
    def unpark(self, r):
        same(lambda: self.reg.unpark_acks(r), self.model.unpark_acks(r))

    @rule(r=rooms, m=messages)
    def record_ack_retry(self, r, m):
        same(lambda: self.reg.record_ack_retry(r, m), self.model.record_ack_retry(r, m))

    @rule(r=rooms, m=messages)
    def remember_completed(self, r, m):
        same(lambda: self.reg.remember_completed(r, m), self.model.remember_completed(r, m))

    @rule(r=rooms, m=messages)
    def is_completed(self, r, m):
        same(lambda: self.reg.is_completed(r, m), self.model.is_completed(r, m))

    @rule(r=rooms)
    def discard_completed(self, r):
        same(lambda: self.reg.discard_completed(r), self.model.discard_completed(r))

    @rule(r=rooms, m=messages, attempts=st.integers(0, 3), failed=st.booleans(), allow_retry=st.booleans(),
          redelivered=st.integers(0, 2), confirm=st.booleans(), release=st.booleans())
    def delivery_cycle(self, r, m, attempts, failed, allow_retry, redelivered, confirm, release):
        """The host's loop for one message: claim, count attempts, settle, confirm, release; attempts
        counted for a redelivery before the confirmation lands are the tracker's to reconcile."""
        self.eligibility(r, m, {}, True)
        for _ in range(attempts):
            self.tracker_op(m, "record_attempt")
        if failed:
            self.record_failed(r, m, "boom", allow_retry)
        else:
            self.record_processed(r, m)
        for _ in range(redelivered):
            self.tracker_op(m, "record_attempt")
        if confirm:
            self.confirm(r, m, 1)
        if release:
            self.release(r, m)

    @rule(m=messages, op=st.sampled_from(["record_attempt", "discard_attempt", "mark_success",
                                          "mark_permanently_failed"]))
    def tracker_op(self, m, op):
        same(lambda: getattr(self.tracker, op)(m), getattr(self.tracker_model, op)(m))

    @invariant()
    def agrees(self):
        for r in ["r", "\u00e9"]:
            assert sorted(self.reg.inflight_ids(r)) == self.model.inflight_ids(r)
            assert self.reg.pending_ack_ids(r) == self.model.pending_ack_ids(r)
            assert self.reg.completed_ids(r) == self.model.completed_ids(r)
            assert self.reg.has_retryable_settlement(r) == self.model.has_retryable_settlement(r)
            for m in ["m", ""]:
                assert self.reg.pending_ack(r, m) == self.model.pending_ack(r, m)
                assert self.reg.pending_settlement(r, m) == self.model.pending_settlement(r, m)
                assert self.reg.is_ack_pending(r, m) == ((r, m) in self.model.pending)
        for m in ["m", ""]:
            assert self.tracker.is_permanently_failed(m) == (m in self.tracker_model.failed)


CONFIGS = [
    DEFAULT_CONFIG,
    {**DEFAULT_CONFIG, "base_delay_s": 0.3, "factor": 1.7, "max_delay_s": 7.1, "stable_reset_s": 4.0,
     "rapid_disconnect_uptime_s": 2.5, "rapid_window_s": 20.0, "rapid_cooldown_step_s": 0.1, "rapid_threshold": 4},
    {**DEFAULT_CONFIG, "base_delay_s": 0.0, "factor": 1e300, "rapid_threshold": 1},
]

# Steps that land on the policies' boundaries (uptimes, windows) as well as anywhere.
times = st.sampled_from([0.0, 0.5, 1.0, 2.5, 4.0, 4.5, 10.0, 20.0, 60.0, 300.0]) | st.floats(0, 400)
jitters = st.floats(0, 1)
backs = st.just(0.0) | st.floats(0, 5)  # how far a report's clock lags the host's
retry_afters = st.none() | st.floats(0, 100) | st.just(1e300)


def outcome(o):
    return (str(o.state), o.retry_after_s, None if o.dead_reason is None else str(o.dead_reason),
            None if o.stale_reason is None else str(o.stale_reason))


class Sessions(RuleBasedStateMachine):
    """Session with a reconnect policy; the clock mostly moves forward, sometimes back."""

    @initialize(config=st.sampled_from(CONFIGS))
    def start(self, config):
        self.session = q.Session(q.SessionPolicy(config))
        self.model = models.SessionModel(models.PolicyModel(config))
        self.now = 0.0

    def clock(self, step):
        self.now += step
        return self.now

    def epoch(self, pick):
        return max(self.model.next_epoch - 1 - pick, 0)

    @rule(step=times)
    def begin_attempt(self, step):
        now = self.clock(step)
        same(lambda: self.session.begin_attempt(now), self.model.begin_attempt(now))

    @rule(pick=st.integers(0, 2), step=times)
    def on_connected(self, pick, step):
        epoch, now = self.epoch(pick), self.clock(step)
        same(lambda: outcome(self.session.on_connected(epoch, now)), self.model.on_connected(epoch, now))

    @rule(pick=st.integers(0, 2), step=times, back=backs, code=st.sampled_from([None, 1000, 1001, 1006]),
          jitter=jitters)
    def on_socket_close(self, pick, step, back, code, jitter):
        epoch, now = self.epoch(pick), max(self.clock(step) - back, 0.0)
        same(lambda: outcome(self.session.on_socket_close(epoch, now, code, jitter)),
             self.model.on_socket_close(epoch, now, code, jitter))

    @rule(pick=st.integers(0, 2), step=times, status=st.sampled_from([400, 403, 409, 429, 503]),
          retry_after=retry_afters, jitter=jitters)
    def on_upgrade_rejected(self, pick, step, status, retry_after, jitter):
        epoch, now = self.epoch(pick), self.clock(step)
        same(lambda: outcome(self.session.on_upgrade_rejected(epoch, now, status, retry_after, jitter)),
             self.model.on_upgrade_rejected(epoch, now, status, retry_after, jitter))

    @rule(step=times, back=backs, retryable=st.booleans(), retry_after=retry_afters, jitter=jitters)
    def on_supersede(self, step, back, retryable, retry_after, jitter):
        now = max(self.clock(step) - back, 0.0)
        same(lambda: outcome(self.session.on_supersede(now, retryable, retry_after, jitter)),
             self.model.on_supersede(now, retryable, retry_after, jitter))

    @rule(connect=st.booleans(), up=times, code=st.sampled_from([None, 1001, 1006]), jitter=jitters)
    def connection(self, connect, up, code, jitter):
        """The host's loop for one attempt: begin, maybe come up, stay up a while, drop."""
        self.begin_attempt(0.5)
        if connect:
            self.on_connected(0, 0.0)
        self.on_socket_close(0, up, 0.0, code, jitter)

    @precondition(lambda self: self.model.next_epoch > 3)
    @rule()
    def end(self):
        same(lambda: self.session.end(), q.SessionState.Dead)
        self.model.end()

    @invariant()
    def agrees(self):
        assert str(self.session.state) == self.model.state


tickets = st.integers(0, 12)
keys = st.sampled_from(["a", "b", ""])
leave_outcomes = st.sampled_from([q.LeaveOutcome.Left, q.LeaveOutcome.Failed, q.LeaveOutcome.Unknown])


class Subscriptions(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.tracker = q.SubscriptionTracker()
        self.rooms, self.topics, self.tickets = models.ChannelBookModel(), models.ChannelBookModel(), models.Counter()

    def book(self, room):
        return self.rooms if room else self.topics

    @rule(key=keys, room=st.booleans(), leave=st.booleans())
    def begin(self, key, room, leave):
        name = {(True, False): "begin_room_subscribe", (True, True): "unsubscribe_room",
                (False, False): "begin_agent_topic_join", (False, True): "leave_agent_topic"}[room, leave]
        same(lambda: getattr(self.tracker, name)(key), self.book(room).begin(key, self.tickets, leave))

    @rule(key=keys, ticket=tickets, how=st.sampled_from(["both", "chat", "left", "not_left"]))
    def settle_room(self, key, ticket, how):
        t = self.tracker
        call = {"both": lambda: t.record_both_room_topics_joined(key, ticket),
                "chat": lambda: t.record_chat_room_join_failed(key, ticket),
                "left": lambda: t.record_room_participants_join_failed(key, ticket, True),
                "not_left": lambda: t.record_room_participants_join_failed(key, ticket, False)}[how]
        to = {"both": "joined", "chat": "absent", "left": "absent", "not_left": "unknown"}[how]
        result = {"both": "subscribed", "chat": "join_failed", "left": "rolled_back", "not_left": "rollback_failed"}
        expected = result[how] if self.rooms.settle_join(key, ticket, to) else "stale"
        same(lambda: str(call()), expected)

    @rule(key=keys, ticket=tickets, joined=st.booleans(), ambiguous=st.booleans())
    def settle_topic(self, key, ticket, joined, ambiguous):
        if ambiguous:
            same(lambda: self.tracker.record_agent_topic_join_ambiguous(key, ticket),
                 self.topics.settle_join(key, ticket, "unknown"))
        else:
            settled = self.topics.settle_join(key, ticket, "joined" if joined else "absent")
            same(lambda: self.tracker.record_agent_topic_join(key, ticket, joined), settled and joined)

    @rule(key=keys, ticket=tickets, outcome=leave_outcomes, room=st.booleans())
    def leave_complete(self, key, ticket, outcome, room):
        name = "mark_room_leave_complete" if room else "mark_agent_topic_leave_complete"
        same(lambda: getattr(self.tracker, name)(key, ticket, outcome),
             self.book(room).settle_leave(key, ticket, outcome == q.LeaveOutcome.Left))

    @rule(key=keys, ticket=tickets, room=st.booleans())
    def rejoin_failed(self, key, ticket, room):
        name = "mark_room_rejoin_failed" if room else "mark_agent_topic_rejoin_failed"
        same(lambda: getattr(self.tracker, name)(key, ticket), self.book(room).rejoin_failed(key, ticket))

    @rule(key=keys, room=st.booleans())
    def acknowledge(self, key, room):
        name = "acknowledge_room_reconciled" if room else "acknowledge_agent_topic_reconciled"
        same(lambda: getattr(self.tracker, name)(key), self.book(room).acknowledge(key))

    @rule()
    def on_reconnected(self):
        same(self.tracker.on_reconnected, None)

    @rule()
    def end_session(self):
        same(self.tracker.end_session, None)
        self.rooms, self.topics = models.ChannelBookModel(), models.ChannelBookModel()

    @invariant()
    def agrees(self):
        t = self.tracker
        assert t.subscribed_room_ids() == list(self.rooms.joined)
        assert t.room_rejoin_candidates() == list(self.rooms.joined.items())
        assert t.joined_agent_topics() == list(self.topics.joined)
        assert t.agent_topic_rejoin_candidates() == list(self.topics.joined.items())
        for key in ["a", "b", ""]:
            assert str(t.room_status(key)) == self.rooms.status(key, "subscribed")
            assert str(t.agent_topic_status(key)) == self.topics.status(key, "joined")
            assert t.is_room_subscribed(key) == (key in self.rooms.joined)
            assert t.is_agent_topic_joined(key) == (key in self.topics.joined)
            for ticket in range(self.tickets.next + 1):
                assert t.is_room_claim_current(key, ticket) == (self.rooms.pending.get(key) == ticket)
                assert t.is_agent_topic_claim_current(key, ticket) == (self.topics.pending.get(key) == ticket)


room_ids = st.sampled_from(["a", "b", "ab", "", "\u00e9"])


class Rosters(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.roster, self.model = q.RoomRoster(), models.RosterModel()

    @rule(r=room_ids, passes=st.booleans())
    def begin(self, r, passes):
        same(lambda: self.roster.begin_room_admission(r, passes), self.model.begin(r, passes))

    @rule(r=room_ids, ticket=tickets, succeeded=st.booleans())
    def record(self, r, ticket, succeeded):
        same(lambda: self.roster.record_room_admission(r, ticket, succeeded), self.model.record(r, ticket, succeeded))

    @rule(r=room_ids)
    def removed(self, r):
        same(lambda: self.roster.record_room_removed(r), self.model.removed(r))

    @rule(current=st.lists(room_ids, max_size=6))
    def reconcile(self, current):
        def real():
            result = self.roster.reconcile(current)
            return result.removed, result.admitting, result.resync

        same(real, self.model.reconcile(current))

    @rule()
    def clear(self):
        same(self.roster.clear, self.model.clear())

    @invariant()
    def agrees(self):
        assert self.roster.tracked_room_ids() == list(self.model.admitted)
        for r in ["a", "b", "ab", "", "\u00e9"]:
            assert str(self.roster.room_membership(r)) == self.model.membership(r)
            for ticket in range(self.model.tickets.next + 1):
                assert self.roster.is_room_admission_current(r, ticket) == (self.model.admitting.get(r) == ticket)


tokens = st.sampled_from(["k", "j", ""])
ask_rooms = st.none() | st.sampled_from(["a", ""])


class Decisions(RuleBasedStateMachine):
    @initialize(max_pending=st.none() | st.integers(1, 3), seed=st.integers(0, 2**64 - 1))
    def start(self, max_pending, seed):
        self.asks = q.DecisionRegistry(max_pending=max_pending, seed=seed)
        self.model = models.DecisionModel(max_pending, seed)
        self.seen = [("k", 0)]

    def registered(self, answer):
        if answer is not None:
            self.seen.append(answer)
        return answer

    @rule(room=ask_rooms)
    def register_minted(self, room):
        same(lambda: self.registered(self.asks.register_minted(room)), self.model.register_minted(room))

    @rule(key=tokens, pick=st.integers(0, 50), reuse=st.booleans())
    def register_keyed(self, key, pick, reuse):
        if reuse:  # a key may be a token the registry once minted
            key = self.seen[pick % len(self.seen)][0]
        same(lambda: self.registered(self.asks.register_keyed(key)), self.model.register_keyed(key))

    @rule(pick=st.integers(0, 50), op=st.sampled_from(["try_claim", "withdraw", "forget"]), skew=st.integers(0, 1))
    def settle(self, pick, op, skew):
        token, ticket = self.seen[pick % len(self.seen)]
        answer = getattr(self.model, op)(token, ticket + skew)
        same(lambda: (lambda r: str(r) if op == "try_claim" else r)(getattr(self.asks, op)(token, ticket + skew)),
             answer)

    @rule()
    def evict_oldest(self):
        same(self.asks.evict_oldest, self.model.evict_oldest())

    @rule(room=st.sampled_from(["a", ""]), everything=st.booleans())
    def cancel(self, room, everything):
        def real():
            cancelled = self.asks.cancel_all() if everything else self.asks.cancel_room(room)
            return cancelled.unclaimed, cancelled.claimed

        same(real, self.model.cancel(room, any_room=everything))

    @invariant()
    def agrees(self):
        assert self.asks.unclaimed() == self.model.unclaimed()
        assert self.asks.unclaimed_count() == len(self.model.unclaimed())
        assert self.asks.oldest_unclaimed() == next(iter(self.model.unclaimed()), None)
        for room in ["a", ""]:
            assert self.asks.unclaimed_in_room(room) == self.model.unclaimed(room, any_room=False)


participants = st.fixed_dictionaries(
    {"id": st.sampled_from(["u1", "u2", "u3"])},
    optional={f: st.none() | st.sampled_from(["", "x", "y"]) for f in models.FIELDS})


class Participants(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.roster = q.ParticipantRoster(trace_context_provider=lambda: "from-provider")
        self.model = models.ParticipantModel()

    @rule(p=participants)
    def add(self, p):
        same(lambda: self.roster.add(p), self.model.add(p))

    @rule(pid=st.sampled_from(["u1", "u2", "u3"]))
    def remove(self, pid):
        same(lambda: self.roster.remove(pid), self.model.remove(pid))

    @rule(snapshot=st.lists(participants, max_size=4), trace=st.none() | st.just("t"))
    def set_all(self, snapshot, trace):
        STEPS["steps"] += 1
        issues = self.model.set_all(snapshot)
        if issues is None:
            assert self.roster.set_all(snapshot, trace) is None
            return
        try:
            self.roster.set_all(snapshot, trace)
        except ValueError as exc:
            assert (exc.issues, exc.trace_context) == (issues, trace or "from-provider")
        else:
            raise AssertionError("a snapshot with repeated ids was accepted")

    @rule()
    def mark_sent(self):
        same(self.roster.mark_sent, self.model.mark_sent())

    @invariant()
    def agrees(self):
        assert self.roster.list() == self.model.entries
        assert self.roster.changed() == self.model.changed()


TestClaims = Claims.TestCase
TestSessions = Sessions.TestCase
TestSubscriptions = Subscriptions.TestCase
TestRosters = Rosters.TestCase
TestDecisions = Decisions.TestCase
TestParticipants = Participants.TestCase
for _case in (TestClaims, TestSessions, TestSubscriptions, TestRosters, TestDecisions, TestParticipants):
    _case.settings = SETTINGS
del _case
