"""Model-based tests: random operation sequences against the objects and their references, the
benchmark's pure-Python baselines (the same code is timed against the module) or, for the
rosters, the plain models in models.py; every answer and, after every step, the observable
state must agree.

QSC_MODEL_EXAMPLES sets the number of sequences per machine.
"""

import os
from types import SimpleNamespace

from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

import models
import pure_channels
import pure_ledgers
import pure_session
import pure_turns
import quarn_sdk_core as q
from compare import outcome, same_json
from surface import DEFAULT_CONFIG

EXAMPLES = int(os.environ.get("QSC_MODEL_EXAMPLES", "60"))
STEPS = {"steps": 0}
SETTINGS = settings(max_examples=EXAMPLES, stateful_step_count=40,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much])


def same(real_call, model_answer):
    STEPS["steps"] += 1
    assert real_call() == model_answer


class Twins(RuleBasedStateMachine):
    """The module's objects (`real`) and the baseline's (`plain`), given the same calls."""

    def both(self, call):
        """One step on both; what the module answered (None when it raised)."""
        STEPS["steps"] += 1
        return self.alike(call)

    def alike(self, call):
        got, want = outcome(lambda: call(self.real)), outcome(lambda: call(self.plain))
        assert same_json(got, want), f"module {got!r}, pure Python {want!r}"
        return got[1] if got[0] == "ok" else None


ROOMS, MESSAGES = ["r", "\u00e9"], ["m", ""]
rooms, messages = st.sampled_from(ROOMS), st.sampled_from(MESSAGES)
texts = st.sampled_from(["boom", "other"])
traces = st.none() | st.just("tc")
reasons = st.sampled_from(["NotFound", "Rejected"])
facts = st.fixed_dictionaries({}, optional={
    "self_echo": st.booleans() | st.just(1), "durably_processed": st.booleans(), "durably_failed": st.booleans(),
    "allow_failed_retry": st.booleans()})


class Claims(Twins):
    """ClaimRegistry with the RetryTracker it reads and updates."""

    @initialize(max_completed=st.integers(1, 3), max_retries=st.integers(0, 3), max_tracked=st.integers(1, 3))
    def start(self, max_completed, max_retries, max_tracked):
        self.real, self.plain = (
            SimpleNamespace(reg=kind.ClaimRegistry(max_completed), tracker=kind.RetryTracker(max_retries, max_tracked),
                            parked=kind.ParkedReason)
            for kind in (q, pure_ledgers))
        self.tokens = ["00", " 1", "x"]

    @rule(r=rooms, m=messages)
    def try_claim(self, r, m):
        self.both(lambda i: i.reg.try_claim(r, m))

    @rule(r=rooms, m=messages)
    def release(self, r, m):
        self.both(lambda i: i.reg.release(r, m))

    @rule(r=rooms, m=messages, f=facts, claim=st.booleans())
    def eligibility(self, r, m, f, claim):
        name = "guarded_claim" if claim else "delivery_eligibility"
        self.both(lambda i: getattr(i.reg, name)(r, m, i.tracker, **f))

    @rule(r=rooms, m=messages)
    def remember_ack_pending(self, r, m):
        self.both(lambda i: i.reg.remember_ack_pending(r, m))

    @rule(r=rooms, m=messages, error=texts, trace=traces)
    def remember_failed_ack_pending(self, r, m, error, trace):
        self.both(lambda i: i.reg.remember_failed_ack_pending(r, m, error, trace))

    def settled(self, answer):
        if isinstance(answer, dict):
            self.tokens.append(answer["token"])

    @rule(r=rooms, m=messages, trace=traces)
    def record_processed(self, r, m, trace):
        self.settled(self.both(lambda i: i.reg.record_processed_settlement(r, m, trace)))

    @rule(r=rooms, m=messages, error=texts, allow_retry=st.booleans(), trace=traces)
    def record_failed(self, r, m, error, allow_retry, trace):
        self.settled(self.both(lambda i: i.reg.record_failed_settlement(r, m, error, i.tracker, allow_retry, trace)))

    def token(self, r, m, pick):
        """Mostly the key's own token, else any token seen (or a malformed one)."""
        pending = self.plain.reg.pending_settlement(r, m)
        if pending is not None and pick % 3:
            return pending["token"]
        return self.tokens[pick % len(self.tokens)]

    @rule(r=rooms, m=messages, pick=st.integers(0, 50))
    def confirm(self, r, m, pick):
        token = self.token(r, m, pick)
        self.both(lambda i: i.reg.confirm_settlement(r, m, token, i.tracker))

    @rule(r=rooms, m=messages, pick=st.integers(0, 50), reason=reasons, with_token=st.booleans())
    def park(self, r, m, pick, reason, with_token):
        token = self.token(r, m, pick)
        if with_token:
            self.both(lambda i: i.reg.park_settlement(r, m, token, getattr(i.parked, reason)))
        else:
            self.both(lambda i: i.reg.park_ack(r, m, getattr(i.parked, reason)))

    @rule(r=rooms)
    def unpark(self, r):
        self.both(lambda i: i.reg.unpark_acks(r))

    @rule(r=rooms, m=messages)
    def record_ack_retry(self, r, m):
        self.both(lambda i: i.reg.record_ack_retry(r, m))

    @rule(r=rooms, m=messages)
    def remember_completed(self, r, m):
        self.both(lambda i: i.reg.remember_completed(r, m))

    @rule(r=rooms, m=messages)
    def is_completed(self, r, m):
        self.both(lambda i: i.reg.is_completed(r, m))

    @rule(r=rooms)
    def discard_completed(self, r):
        self.both(lambda i: i.reg.discard_completed(r))

    @rule(r=rooms, m=messages, attempts=st.integers(0, 3), failed=st.booleans(), allow_retry=st.booleans(),
          redelivered=st.integers(0, 2), confirm=st.booleans(), release=st.booleans())
    def delivery_cycle(self, r, m, attempts, failed, allow_retry, redelivered, confirm, release):
        """The host's loop for one message: claim, count attempts, settle, confirm, release; attempts
        counted for a redelivery before the confirmation lands are the tracker's to reconcile."""
        self.eligibility(r, m, {}, True)
        for _ in range(attempts):
            self.tracker_op(m, "record_attempt")
        if failed:
            self.record_failed(r, m, "boom", allow_retry, None)
        else:
            self.record_processed(r, m, None)
        for _ in range(redelivered):
            self.tracker_op(m, "record_attempt")
        if confirm:
            self.confirm(r, m, 1)
        if release:
            self.release(r, m)

    @rule(m=messages, op=st.sampled_from(["record_attempt", "discard_attempt", "mark_success",
                                          "mark_permanently_failed"]))
    def tracker_op(self, m, op):
        self.both(lambda i: getattr(i.tracker, op)(m))

    @invariant()
    def agrees(self):
        self.alike(lambda i: [
            [sorted(i.reg.inflight_ids(r)), i.reg.pending_ack_ids(r), i.reg.completed_ids(r),
             i.reg.has_retryable_settlement(r),
             [[i.reg.pending_ack(r, m), i.reg.pending_settlement(r, m), i.reg.is_ack_pending(r, m)] for m in MESSAGES]]
            for r in ROOMS] + [i.tracker.is_permanently_failed(m) for m in MESSAGES])


CONFIGS = [
    None,  # each side's own default policy
    DEFAULT_CONFIG,
    {**DEFAULT_CONFIG, "base_delay_s": 0.3, "factor": 1.7, "max_delay_s": 7.1, "stable_reset_s": 4.0,
     "rapid_disconnect_uptime_s": 2.5, "rapid_window_s": 20.0, "rapid_cooldown_step_s": 0.1,
     "rapid_cooldown_max_s": 10.15, "rapid_threshold": 6},
    {**DEFAULT_CONFIG, "base_delay_s": 0.0, "factor": 1e300, "rapid_threshold": 1},
]

# Steps that land on the policies' boundaries (uptimes, windows) as well as anywhere.
times = st.sampled_from([0.0, 0.5, 1.0, 2.5, 4.0, 4.5, 10.0, 20.0, 60.0, 300.0]) | st.floats(0, 400)
jitters = st.floats(0, 1)
backs = st.just(0.0) | st.floats(0, 5)  # how far a report's clock lags the host's
retry_afters = st.none() | st.floats(0, 100) | st.just(1e300)


class Sessions(Twins):
    """Session with a reconnect policy; the clock mostly moves forward, sometimes back."""

    @initialize(config=st.sampled_from(CONFIGS))
    def start(self, config):
        if config is None:
            policies = q.SessionPolicy.default(), pure_session.SessionPolicy.default()
        else:
            policies = q.SessionPolicy(config), pure_session.SessionPolicy(**config)
        self.real, self.plain = (SimpleNamespace(s=kind.Session(policy))
                                 for kind, policy in zip((q, pure_session), policies))
        self.now, self.next_epoch = 0.0, 0

    def clock(self, step):
        self.now += step
        return self.now

    def epoch(self, pick):
        return max(self.next_epoch - 1 - pick, 0)

    @rule(step=times)
    def begin_attempt(self, step):
        now = self.clock(step)
        epoch = self.both(lambda i: i.s.begin_attempt(now))
        if epoch is not None:
            self.next_epoch = epoch + 1

    @rule(pick=st.integers(0, 2), step=times)
    def on_connected(self, pick, step):
        epoch, now = self.epoch(pick), self.clock(step)
        self.both(lambda i: i.s.on_connected(epoch, now))

    @rule(pick=st.integers(0, 2), step=times, back=backs, code=st.sampled_from([None, 1000, 1001, 1006, 4000]),
          jitter=jitters)
    def on_socket_close(self, pick, step, back, code, jitter):
        epoch, now = self.epoch(pick), max(self.clock(step) - back, 0.0)
        self.both(lambda i: i.s.on_socket_close(epoch, now, code, jitter))

    @rule(pick=st.integers(0, 2), step=times, status=st.sampled_from([400, 403, 409, 429, 503]),
          retry_after=retry_afters, jitter=jitters)
    def on_upgrade_rejected(self, pick, step, status, retry_after, jitter):
        epoch, now = self.epoch(pick), self.clock(step)
        self.both(lambda i: i.s.on_upgrade_rejected(epoch, now, status, retry_after, jitter))

    @rule(step=times, back=backs, retryable=st.booleans(), retry_after=retry_afters, jitter=jitters)
    def on_supersede(self, step, back, retryable, retry_after, jitter):
        now = max(self.clock(step) - back, 0.0)
        self.both(lambda i: i.s.on_supersede(now, retryable, retry_after, jitter))

    @rule(connect=st.booleans(), up=times, code=st.sampled_from([None, 1001, 1006]), jitter=jitters)
    def connection(self, connect, up, code, jitter):
        """The host's loop for one attempt: begin, maybe come up, stay up a while, drop."""
        self.begin_attempt(0.5)
        if connect:
            self.on_connected(0, 0.0)
        self.on_socket_close(0, up, 0.0, code, jitter)

    @precondition(lambda self: self.next_epoch > 3)
    @rule()
    def end(self):
        assert self.both(lambda i: i.s.end()) == "dead"

    @invariant()
    def agrees(self):
        self.alike(lambda i: i.s.state)


# Every form a channel book stores an id in: inline, empty, a packed UUID, a block of its own.
KEYS = ["a", "b", "", "0190a5c2-beef-7000-9000-00000000000a", "a-topic-name-longer-than-sixteen"]
tickets = st.integers(0, 12)
keys = st.sampled_from(KEYS)


class Subscriptions(Twins):
    def __init__(self):
        super().__init__()
        self.real, self.plain = (SimpleNamespace(t=kind.SubscriptionTracker(), leave=kind.LeaveOutcome)
                                 for kind in (q, pure_channels))
        self.issued = 0  # tickets handed out so far

    @rule(key=keys, room=st.booleans(), leave=st.booleans())
    def begin(self, key, room, leave):
        name = {(True, False): "begin_room_subscribe", (True, True): "unsubscribe_room",
                (False, False): "begin_agent_topic_join", (False, True): "leave_agent_topic"}[room, leave]
        ticket = self.both(lambda i: getattr(i.t, name)(key))
        if ticket is not None:
            self.issued = ticket + 1

    @rule(key=keys, ticket=tickets, how=st.sampled_from(["both", "chat", "left", "not_left"]))
    def settle_room(self, key, ticket, how):
        self.both({"both": lambda i: i.t.record_both_room_topics_joined(key, ticket),
                   "chat": lambda i: i.t.record_chat_room_join_failed(key, ticket),
                   "left": lambda i: i.t.record_room_participants_join_failed(key, ticket, True),
                   "not_left": lambda i: i.t.record_room_participants_join_failed(key, ticket, False)}[how])

    @rule(key=keys, ticket=tickets, joined=st.booleans(), ambiguous=st.booleans())
    def settle_topic(self, key, ticket, joined, ambiguous):
        if ambiguous:
            self.both(lambda i: i.t.record_agent_topic_join_ambiguous(key, ticket))
        else:
            self.both(lambda i: i.t.record_agent_topic_join(key, ticket, joined))

    @rule(key=keys, ticket=tickets, outcome=st.sampled_from(["Left", "Failed", "Unknown"]), room=st.booleans())
    def leave_complete(self, key, ticket, outcome, room):
        name = "mark_room_leave_complete" if room else "mark_agent_topic_leave_complete"
        self.both(lambda i: getattr(i.t, name)(key, ticket, getattr(i.leave, outcome)))

    @rule(key=keys, ticket=tickets, room=st.booleans())
    def rejoin_failed(self, key, ticket, room):
        name = "mark_room_rejoin_failed" if room else "mark_agent_topic_rejoin_failed"
        self.both(lambda i: getattr(i.t, name)(key, ticket))

    @rule(key=keys, room=st.booleans())
    def acknowledge(self, key, room):
        name = "acknowledge_room_reconciled" if room else "acknowledge_agent_topic_reconciled"
        self.both(lambda i: getattr(i.t, name)(key))

    @rule()
    def on_reconnected(self):
        self.both(lambda i: i.t.on_reconnected())

    @rule()
    def end_session(self):
        self.both(lambda i: i.t.end_session())

    @invariant()
    def agrees(self):
        self.alike(lambda i: [
            i.t.subscribed_room_ids(), i.t.room_rejoin_candidates(), i.t.joined_agent_topics(),
            i.t.agent_topic_rejoin_candidates(),
            [[i.t.room_status(key), i.t.agent_topic_status(key), i.t.is_room_subscribed(key),
              i.t.is_agent_topic_joined(key),
              [[i.t.is_room_claim_current(key, n), i.t.is_agent_topic_claim_current(key, n)]
               for n in range(self.issued + 1)]]
             for key in KEYS]])


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


class Decisions(Twins):
    @initialize(max_pending=st.none() | st.integers(1, 3), seed=st.integers(0, 2**64 - 1))
    def start(self, max_pending, seed):
        self.real, self.plain = (kind.DecisionRegistry(max_pending=max_pending, seed=seed)
                                 for kind in (q, pure_turns))
        self.seen = [("k", 0)]

    def registered(self, answer):
        if answer is not None:
            self.seen.append(tuple(answer))

    @rule(room=ask_rooms)
    def register_minted(self, room):
        self.registered(self.both(lambda i: i.register_minted(room)))

    @rule(key=tokens, pick=st.integers(0, 50), reuse=st.booleans())
    def register_keyed(self, key, pick, reuse):
        if reuse:  # a key may be a token the registry once minted
            key = self.seen[pick % len(self.seen)][0]
        self.registered(self.both(lambda i: i.register_keyed(key)))

    @rule(pick=st.integers(0, 50), op=st.sampled_from(["try_claim", "withdraw", "forget"]), skew=st.integers(0, 1))
    def settle(self, pick, op, skew):
        token, ticket = self.seen[pick % len(self.seen)]
        self.both(lambda i: getattr(i, op)(token, ticket + skew))

    @rule()
    def evict_oldest(self):
        self.both(lambda i: i.evict_oldest())

    @rule(room=st.sampled_from(["a", ""]), everything=st.booleans())
    def cancel(self, room, everything):
        def cancel(i):
            cancelled = i.cancel_all() if everything else i.cancel_room(room)
            return cancelled.unclaimed, cancelled.claimed

        self.both(cancel)

    @invariant()
    def agrees(self):
        self.alike(lambda i: [i.unclaimed(), i.unclaimed_count(), i.oldest_unclaimed(),
                              [i.unclaimed_in_room(room) for room in ["a", ""]]])


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
