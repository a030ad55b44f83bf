"""Channel topic names and the SubscriptionTracker's join/leave bookkeeping."""

import pytest

import quarn_sdk_core as q

RS = q.RoomStatus
TS = q.AgentTopicStatus
RESULT = q.RoomSubscribeResult
LEAVE = q.LeaveOutcome


# ---- topic names


@pytest.mark.parametrize(
    "build, arg, expected",
    [
        (q.chat_room_topic, "r1", "chat_room:r1"),
        (q.chat_room_topic, "", "chat_room:"),
        (q.chat_room_topic, "a:b é", "chat_room:a:b é"),
        (q.room_participants_topic, "", "room_participants:"),
        (q.room_participants_topic, "r1", "room_participants:r1"),
        (q.AgentTopicKind.Control.topic, "a7", "agent_control:a7"),
        (q.AgentTopicKind.Rooms.topic, "a7", "agent_rooms:a7"),
        (q.AgentTopicKind.Contacts.topic, "", "agent_contacts:"),
    ],
)
def test_topic_names(build, arg, expected):
    assert build(arg) == expected


@pytest.mark.parametrize(
    "call, param",
    [
        (lambda: q.chat_room_topic(1), "room_id"),
        (lambda: q.AgentTopicKind.Rooms.topic(agent_id=b"a"), "agent_id"),
    ],
)
def test_topic_names_take_only_str(call, param):
    with pytest.raises(TypeError, match="is not an instance of 'str'") as info:
        call()
    assert info.value.__notes__ == [f"while processing '{param}'"]


def test_registration_order_of_channel_names():
    names = [n for n in vars(q) if not n.startswith("__")]
    classes = [n for n in names if n[0].isupper()]
    assert classes == sorted(classes)
    assert {"RoomReconciliation", "RoomRoster", "SubscriptionTracker"} <= set(classes)
    functions = [n for n in names if n[0].islower()]
    order = [functions.index(n) for n in ("chat_room_topic", "classify_close", "room_participants_topic")]
    assert order == sorted(order)


# ---- the tracker, driven into each room status


def subscribed(t, room="r"):
    ticket = t.begin_room_subscribe(room)
    assert t.record_both_room_topics_joined(room, ticket) is RESULT.Subscribed
    return ticket


def needing_reconciliation(t, room="r"):
    t.record_room_participants_join_failed(room, t.begin_room_subscribe(room), False)


# Variants are unhashable, so the setups are a list of pairs.
ROOM_SETUPS = [
    (RS.Absent, lambda t: None),
    (RS.Pending, lambda t: t.begin_room_subscribe("r")),
    (RS.Subscribed, subscribed),
    (RS.Leaving, lambda t: (subscribed(t), t.unsubscribe_room("r"))),
    (RS.NeedsReconciliation, needing_reconciliation),
]


@pytest.mark.parametrize("status, setup", ROOM_SETUPS)
def test_room_status_and_which_operations_may_begin(status, setup):
    t = q.SubscriptionTracker()
    setup(t)
    assert t.room_status("r") is status
    assert t.is_room_subscribed("r") == (status is RS.Subscribed)
    assert (t.begin_room_subscribe("r") is not None) == (status is RS.Absent)
    t2 = q.SubscriptionTracker()
    setup(t2)
    assert (t2.unsubscribe_room("r") is not None) == (status is RS.Subscribed)
    t3 = q.SubscriptionTracker()
    setup(t3)
    assert t3.acknowledge_room_reconciled("r") == (status is RS.NeedsReconciliation)
    assert t3.room_status("r") is (RS.Absent if status is RS.NeedsReconciliation else status)


def test_one_ticket_counter_for_rooms_and_topics():
    t = q.SubscriptionTracker()
    assert t.begin_room_subscribe("r") == 0
    assert t.begin_agent_topic_join("agent_control:a") == 1
    assert t.begin_room_subscribe("r") is None
    assert t.begin_agent_topic_join("agent_control:a") is None
    assert t.begin_room_subscribe("s") == 2
    assert t.agent_topic_status("s") is TS.Absent  # rooms and topics are separate keys
    assert t.begin_agent_topic_join("s") == 3


SETTLEMENTS = [
    (lambda t, r, k: t.record_both_room_topics_joined(r, k), RESULT.Subscribed, RS.Subscribed),
    (lambda t, r, k: t.record_chat_room_join_failed(r, k), RESULT.JoinFailed, RS.Absent),
    (lambda t, r, k: t.record_room_participants_join_failed(r, k, True), RESULT.RolledBack, RS.Absent),
    (lambda t, r, k: t.record_room_participants_join_failed(r, k, False), RESULT.RollbackFailed,
     RS.NeedsReconciliation),
]


@pytest.mark.parametrize("settle, result, status", SETTLEMENTS)
def test_room_subscribe_settlement(settle, result, status):
    t = q.SubscriptionTracker()
    ticket = t.begin_room_subscribe("r")
    assert settle(t, "r", ticket + 5) is RESULT.Stale
    assert settle(t, "other", ticket) is RESULT.Stale and t.room_status("other") is RS.Absent
    assert t.room_status("r") is RS.Pending and t.is_room_claim_current("r", ticket)
    assert settle(t, "r", ticket) is result
    assert t.room_status("r") is status
    assert not t.is_room_claim_current("r", ticket)
    assert settle(t, "r", ticket) is RESULT.Stale  # a repeated report is stale
    assert t.room_status("r") is status
    assert t.subscribed_room_ids() == (["r"] if status is RS.Subscribed else [])


@pytest.mark.parametrize(
    "outcome, status",
    [(LEAVE.Left, RS.Absent), (LEAVE.Failed, RS.NeedsReconciliation), (LEAVE.Unknown, RS.NeedsReconciliation)],
)
def test_room_leave(outcome, status):
    t = q.SubscriptionTracker()
    old = subscribed(t)
    ticket = t.unsubscribe_room("r")
    assert ticket > old and t.room_status("r") is RS.Leaving
    assert t.subscribed_room_ids() == [] and t.room_rejoin_candidates() == []
    assert t.mark_room_leave_complete("r", old, outcome) is False
    assert t.room_status("r") is RS.Leaving
    assert t.mark_room_leave_complete("r", ticket, outcome) is True
    assert t.room_status("r") is status
    assert t.mark_room_leave_complete("r", ticket, outcome) is False


def test_subscribed_room_order_after_unsubscribe_and_resubscribe():
    t = q.SubscriptionTracker()
    for room in "abc":
        subscribed(t, room)
    assert t.subscribed_room_ids() == ["a", "b", "c"]
    t.mark_room_leave_complete("b", t.unsubscribe_room("b"), LEAVE.Left)
    subscribed(t, "b")
    assert t.subscribed_room_ids() == ["a", "c", "b"]
    assert [room for room, _ in t.room_rejoin_candidates()] == ["a", "c", "b"]


# A room that leaves hands its place in the book to the last one; the rooms left behind keep
# their order and tickets, whatever form their ids take (packed UUIDs, short and long ids).
ID_FORMS = {
    "uuid": "0190a5c2-beef-7000-9000-{:012x}",
    "uppercase uuid": "0190A5C2-BEEF-7000-9000-{:012X}",
    "short": "r{}",
    "long": "room-with-a-rather-long-name-{}",
}


@pytest.mark.parametrize("form", ID_FORMS.values(), ids=ID_FORMS.keys())
@pytest.mark.parametrize("leaving", [[0], [4], [1, 3], [0, 1, 2, 3, 4]], ids=str)
def test_rooms_left_keep_the_others_in_order(form, leaving):
    t = q.SubscriptionTracker()
    rooms = [form.format(i) for i in range(5)]
    tickets = {room: subscribed(t, room) for room in rooms}
    pending = t.begin_room_subscribe(form.format(9))
    for i in leaving:
        assert t.mark_room_leave_complete(rooms[i], t.unsubscribe_room(rooms[i]), LEAVE.Left) is True
    rest = [room for i, room in enumerate(rooms) if i not in leaving]
    assert t.subscribed_room_ids() == rest
    assert t.room_rejoin_candidates() == [(room, tickets[room]) for room in rest]
    assert [t.room_status(room) for room in rooms] == [RS.Absent if i in leaving else RS.Subscribed
                                                        for i in range(len(rooms))]
    assert t.record_both_room_topics_joined(form.format(9), pending) is RESULT.Subscribed
    assert t.subscribed_room_ids() == rest + [form.format(9)]


ROOMS_API = ("begin_room_subscribe", "record_both_room_topics_joined", "subscribed_room_ids",
             "room_rejoin_candidates")
TOPICS_API = ("begin_agent_topic_join", "record_agent_topic_join", "joined_agent_topics",
              "agent_topic_rejoin_candidates")


# Keys are listed in the order they became joined, not the order their joins began, whatever
# else began, failed or is left between.
@pytest.mark.parametrize("api", [ROOMS_API, TOPICS_API], ids=["rooms", "topics"])
@pytest.mark.parametrize(
    "begun, settled, listed",
    [
        ("abc", "cab", "cab"),
        ("abc", "bc", "bc"),
        ("abcd", "dacb", "dacb"),
        ("ab", "ba", "ba"),
    ],
)
def test_joined_order_is_the_order_of_settlement(api, begun, settled, listed):
    begin, settle, names, pairs = (getattr(q.SubscriptionTracker, n) for n in api)
    t = q.SubscriptionTracker()
    tickets = {key: begin(t, key) for key in begun}
    begin(t, "z")  # begun last, never settled
    for key in settled:
        settle(t, key, tickets[key], *(() if api is ROOMS_API else (True,)))
    assert names(t) == list(listed)
    assert pairs(t) == [(key, tickets[key]) for key in listed]


def test_room_rejoin_failure_uses_the_stored_ticket():
    t = q.SubscriptionTracker()
    subscribed(t, "a")
    subscribed(t, "b")
    candidates = t.room_rejoin_candidates()
    assert candidates == [("a", 0), ("b", 1)]
    assert t.mark_room_rejoin_failed("a", 1) is False  # another room's ticket
    assert t.mark_room_rejoin_failed("a", 0) is True
    assert t.mark_room_rejoin_failed("a", 0) is False
    assert t.room_status("a") is RS.NeedsReconciliation
    assert t.room_rejoin_candidates() == [("b", 1)]


# ---- agent topics

TOPIC = q.AgentTopicKind.Control.topic("a")


@pytest.mark.parametrize(
    "settle, returns, status",
    [
        (lambda t, k: t.record_agent_topic_join(TOPIC, k, True), True, TS.Joined),
        (lambda t, k: t.record_agent_topic_join(TOPIC, k, False), False, TS.Absent),
        (lambda t, k: t.record_agent_topic_join_ambiguous(TOPIC, k), True, TS.NeedsReconciliation),
    ],
)
def test_agent_topic_join_settlement(settle, returns, status):
    t = q.SubscriptionTracker()
    ticket = t.begin_agent_topic_join(TOPIC)
    assert t.agent_topic_status(TOPIC) is TS.Pending
    assert settle(t, ticket + 1) is False
    assert t.agent_topic_status(TOPIC) is TS.Pending and t.is_agent_topic_claim_current(TOPIC, ticket)
    assert settle(t, ticket) is returns
    assert t.agent_topic_status(TOPIC) is status
    assert t.is_agent_topic_joined(TOPIC) == (status is TS.Joined)
    assert t.joined_agent_topics() == ([TOPIC] if status is TS.Joined else [])
    assert settle(t, ticket) is False


def test_agent_topic_leave_rejoin_and_reconcile():
    t = q.SubscriptionTracker()
    ticket = t.begin_agent_topic_join(TOPIC)
    t.record_agent_topic_join(TOPIC, ticket, True)
    assert t.agent_topic_rejoin_candidates() == [(TOPIC, ticket)]
    assert t.mark_agent_topic_rejoin_failed(TOPIC, ticket) is True
    assert t.agent_topic_status(TOPIC) is TS.NeedsReconciliation
    assert t.leave_agent_topic(TOPIC) is None
    assert t.acknowledge_agent_topic_reconciled(TOPIC) is True
    ticket = t.begin_agent_topic_join(TOPIC)
    t.record_agent_topic_join(TOPIC, ticket, True)
    leave = t.leave_agent_topic(TOPIC)
    assert t.agent_topic_status(TOPIC) is TS.Leaving and t.joined_agent_topics() == []
    assert t.mark_agent_topic_leave_complete(TOPIC, ticket, LEAVE.Left) is False
    assert t.mark_agent_topic_leave_complete(TOPIC, leave, LEAVE.Unknown) is True
    assert t.agent_topic_status(TOPIC) is TS.NeedsReconciliation


# ---- session


def test_end_session_makes_every_ticket_stale():
    t = q.SubscriptionTracker()
    pending = t.begin_room_subscribe("p")
    joined = subscribed(t, "s")
    leaving = t.unsubscribe_room("s")
    topic = t.begin_agent_topic_join(TOPIC)
    needing_reconciliation(t, "n")
    assert t.end_session() is None
    for room in "psn":
        assert t.room_status(room) is RS.Absent
    assert t.agent_topic_status(TOPIC) is TS.Absent
    assert t.record_both_room_topics_joined("p", pending) is RESULT.Stale
    assert t.mark_room_leave_complete("s", leaving, LEAVE.Left) is False
    assert t.record_agent_topic_join(TOPIC, topic, True) is False
    fresh = t.begin_room_subscribe("p")
    assert fresh > max(pending, joined, leaving, topic)
    assert t.record_both_room_topics_joined("p", pending) is RESULT.Stale
    assert t.record_both_room_topics_joined("p", fresh) is RESULT.Subscribed


def test_on_reconnected_changes_nothing():
    t = q.SubscriptionTracker()
    subscribed(t, "a")
    pending = t.begin_room_subscribe("b")
    before = t.room_rejoin_candidates()
    assert t.on_reconnected() is None
    assert t.room_rejoin_candidates() == before
    assert t.is_room_claim_current("b", pending)


def test_reconnect_scenario():
    tracker, roster = q.SubscriptionTracker(), q.RoomRoster()
    for room in ("r1", "r2", "r3"):
        assert roster.record_room_admission(room, roster.begin_room_admission(room, True), True)
        subscribed(tracker, room)
    # The socket is lost; on the new one the platform lists r2, r3 and a new r4.
    tracker.on_reconnected()
    rec = roster.reconcile(["r4", "r3", "r2"])
    assert (rec.removed, rec.resync) == (["r1"], ["r2", "r3"])
    assert [room for room, _ in rec.admitting] == ["r4"]
    for room in rec.removed:
        tracker.mark_room_leave_complete(room, tracker.unsubscribe_room(room), LEAVE.Left)
    for room, ticket in tracker.room_rejoin_candidates():
        if room == "r3":  # this rejoin fails
            assert tracker.mark_room_rejoin_failed(room, ticket)
    assert tracker.subscribed_room_ids() == ["r2"]
    assert tracker.room_status("r3") is RS.NeedsReconciliation
    assert tracker.begin_room_subscribe("r3") is None
    assert tracker.acknowledge_room_reconciled("r3")
    subscribed(tracker, "r3")
    for room, ticket in rec.admitting:
        assert roster.record_room_admission(room, ticket, True)
        subscribed(tracker, room)
    assert tracker.subscribed_room_ids() == ["r2", "r3", "r4"]
    assert roster.tracked_room_ids() == ["r2", "r3", "r4"]


# ---- arguments and conflicting use


@pytest.mark.parametrize(
    "call, error, param",
    [
        (lambda t, k: t.room_status(1), TypeError, "room_id"),
        (lambda t, k: t.record_both_room_topics_joined("r", 0.0), TypeError, "ticket"),
        (lambda t, k: t.record_chat_room_join_failed("r", -1), OverflowError, "ticket"),
        (lambda t, k: t.mark_room_rejoin_failed("r", 2**64), OverflowError, "ticket"),
        (lambda t, k: t.record_room_participants_join_failed("r", k, 0), TypeError, "chat_room_left"),
        (lambda t, k: t.record_agent_topic_join(TOPIC, k, None), TypeError, "joined"),
        (lambda t, k: t.mark_room_leave_complete("r", k, RS.Absent), TypeError, "outcome"),
        (lambda t, k: t.mark_agent_topic_leave_complete(TOPIC, k, "left"), TypeError, "outcome"),
    ],
)
def test_wrong_arguments_are_refused_without_change(call, error, param):
    t = q.SubscriptionTracker()
    ticket = t.begin_room_subscribe("r")
    with pytest.raises(error) as info:
        call(t, ticket)
    assert info.value.__notes__ == [f"while processing '{param}'"]
    assert t.is_room_claim_current("r", ticket)


def test_ticket_at_the_top_of_the_range_is_accepted():
    t = q.SubscriptionTracker()
    assert t.mark_room_rejoin_failed("r", 2**64 - 1) is False


class CallsBack:
    """An int-like ticket whose conversion calls back into the tracker."""

    def __init__(self, value, callback):
        self.value, self.callback = value, callback

    def __index__(self):
        self.callback()
        return self.value


@pytest.mark.parametrize(
    "outer, inner, message",
    [
        (lambda t, k: t.record_both_room_topics_joined("r", k), lambda t: t.begin_room_subscribe("x"),
         "Already borrowed"),
        (lambda t, k: t.record_both_room_topics_joined("r", k), lambda t: t.room_status("r"),
         "Already mutably borrowed"),
        (lambda t, k: t.is_room_claim_current("r", k), lambda t: t.end_session(), "Already borrowed"),
    ],
)
def test_reentrant_ticket_is_refused_and_changes_nothing(outer, inner, message):
    t = q.SubscriptionTracker()
    ticket = t.begin_room_subscribe("r")
    with pytest.raises(RuntimeError) as info:
        outer(t, CallsBack(ticket, lambda: inner(t)))
    assert str(info.value) == message
    assert t.room_status("r") is RS.Pending and t.is_room_claim_current("r", ticket)
    assert t.room_status("x") is RS.Absent
    assert t.begin_room_subscribe("y") == ticket + 1  # no ticket was consumed


def test_reentrant_refusal_caught_inside_index_lets_the_outer_call_finish():
    t = q.SubscriptionTracker()
    ticket = t.begin_room_subscribe("r")
    refused = []

    def inner():
        try:
            t.begin_room_subscribe("x")
        except RuntimeError as e:
            refused.append(str(e))

    assert t.record_both_room_topics_joined("r", CallsBack(ticket, inner)) is RESULT.Subscribed
    assert refused == ["Already borrowed"]
    assert t.subscribed_room_ids() == ["r"] and t.room_status("x") is RS.Absent
