"""RoomRoster admission tickets, removal, clear() and reconciliation after a reconnect."""

import pytest

import quarn_sdk_core as q

M = q.RoomMembership


def admitted(roster, room):
    assert roster.record_room_admission(room, roster.begin_room_admission(room, True), True)


def admitting(roster, room):
    return roster.begin_room_admission(room, True)


# ---- admission


def test_fresh_roster_and_first_tickets():
    r = q.RoomRoster()
    assert r.room_membership("anything") is M.Unadmitted
    assert r.begin_room_admission("a", True) == 0
    assert r.begin_room_admission("b", True) == 1


def test_filtered_room_consumes_no_ticket():
    r = q.RoomRoster()
    assert r.begin_room_admission("r", False) is None
    assert r.room_membership("r") is M.Unadmitted
    assert r.begin_room_admission("r", True) == 0


@pytest.mark.parametrize("setup, membership", [(admitting, M.Admitting), (admitted, M.Admitted)])
def test_second_admission_is_refused(setup, membership):
    r = q.RoomRoster()
    setup(r, "r")
    assert r.room_membership("r") is membership
    assert r.begin_room_admission("r", True) is None
    assert r.room_membership("r") is membership


@pytest.mark.parametrize(
    "succeeded, returns, membership, tracked", [(True, True, M.Admitted, ["r"]), (False, False, M.Unadmitted, [])]
)
def test_completion_with_the_current_ticket(succeeded, returns, membership, tracked):
    r = q.RoomRoster()
    ticket = admitting(r, "r")
    assert r.is_room_admission_current("r", ticket)
    assert r.record_room_admission("r", ticket, succeeded) is returns
    assert r.room_membership("r") is membership
    assert r.tracked_room_ids() == tracked
    assert not r.is_room_admission_current("r", ticket)
    assert r.record_room_admission("r", ticket, True) is False  # already completed
    assert r.room_membership("r") is membership
    assert (admitting(r, "r") == ticket + 1) == (not succeeded)


@pytest.mark.parametrize(
    "complete",
    [
        lambda r, old, current, other: r.record_room_admission("r", old, True),  # before a removal
        lambda r, old, current, other: r.record_room_admission("r", current + 1, True),  # never minted
        lambda r, old, current, other: r.record_room_admission("r", other, True),  # another room's
        lambda r, old, current, other: r.record_room_admission("unknown", current, True),
    ],
)
def test_stale_or_unknown_completion_changes_nothing(complete):
    r = q.RoomRoster()
    other = admitting(r, "other")
    old = admitting(r, "r")
    r.record_room_removed("r")
    current = admitting(r, "r")
    assert complete(r, old, current, other) is False
    assert r.room_membership("r") is M.Admitting and r.is_room_admission_current("r", current)
    assert r.is_room_admission_current("other", other)
    assert r.tracked_room_ids() == []


@pytest.mark.parametrize("setup, returns", [(admitting, False), (admitted, True), (lambda r, room: None, False)])
def test_removal(setup, returns):
    r = q.RoomRoster()
    ticket = setup(r, "r")
    assert r.record_room_removed("r") is returns
    assert r.room_membership("r") is M.Unadmitted
    assert r.tracked_room_ids() == []
    if ticket is not None:  # a removal cancels the admission in flight
        assert r.record_room_admission("r", ticket, True) is False
        assert r.room_membership("r") is M.Unadmitted


def test_tracked_rooms_in_order_of_admission_without_admitting_rooms():
    r = q.RoomRoster()
    tickets = {room: admitting(r, room) for room in "abc"}
    admitting(r, "d")
    for room in "cab":
        r.record_room_admission(room, tickets[room], True)
    assert r.tracked_room_ids() == ["c", "a", "b"]


def test_clear_returns_everything_sorted_and_keeps_counting():
    r = q.RoomRoster()
    admitted(r, "b")
    pending = admitting(r, "c")
    admitted(r, "a")
    assert r.clear() == ["a", "b", "c"]
    assert r.clear() == []
    assert all(r.room_membership(room) is M.Unadmitted for room in "abc")
    assert r.record_room_admission("c", pending, True) is False
    assert admitting(r, "c") == 3


# ---- reconcile


def test_reconcile_empty_snapshot_removes_admitted_and_leaves_admitting():
    r = q.RoomRoster()
    admitted(r, "b")
    admitted(r, "a")
    ticket = admitting(r, "c")
    rec = r.reconcile([])
    assert (rec.removed, rec.admitting, rec.resync) == (["a", "b"], [], [])
    assert r.tracked_room_ids() == [] and r.room_membership("c") is M.Admitting
    assert admitting(r, "d") == ticket + 1  # nothing minted


def test_reconcile_mints_in_ascending_room_order_and_counts_duplicates_once():
    r = q.RoomRoster()
    r.begin_room_admission("x", False)
    rec = r.reconcile(["b", "a", "b"])
    assert rec.admitting == [("a", 0), ("b", 1)]
    assert r.room_membership("a") is M.Admitting and r.is_room_admission_current("b", 1)
    assert r.record_room_admission("a", 0, True)


def test_reconcile_splits_admitted_rooms_and_skips_admitting_rooms():
    r = q.RoomRoster()
    for room in ("z", "keep", "gone"):
        admitted(r, room)
    in_snapshot, outside = admitting(r, "pa"), admitting(r, "pb")
    rec = r.reconcile(("z", "pa", "new", "keep"))
    assert rec.removed == ["gone"]
    assert rec.resync == ["keep", "z"]
    assert rec.admitting == [("new", outside + 1)]
    assert r.tracked_room_ids() == ["z", "keep"]
    assert r.record_room_admission("pa", in_snapshot, True)
    assert r.record_room_admission("pb", outside, True)


def test_reconcile_sorts_by_utf8_bytes():
    r = q.RoomRoster()
    rec = r.reconcile(["é", "ab", "z", "a", "B"])
    assert [room for room, _ in rec.admitting] == ["B", "a", "ab", "z", "é"]
    assert [t for _, t in rec.admitting] == [0, 1, 2, 3, 4]
    for room, ticket in rec.admitting:
        r.record_room_admission(room, ticket, True)
    assert r.reconcile([]).removed == ["B", "a", "ab", "z", "é"]


def test_reconciliation_lists_are_fresh_and_read_only():
    r = q.RoomRoster()
    admitted(r, "a")
    rec = r.reconcile(["a", "b"])
    rec.resync.append("x")
    rec.admitting.clear()
    assert rec.resync == ["a"] and rec.admitting == [("b", 1)]
    with pytest.raises(AttributeError):
        rec.removed = []
    with pytest.raises(TypeError):
        q.RoomReconciliation()


# ---- current_room_ids


class Indexed:
    """A sequence by __len__ and __getitem__ only."""

    def __init__(self, items, on_get=None):
        self.items, self.on_get = items, on_get

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        if self.on_get:
            self.on_get(i)
        return self.items[i]


class ShrinkingList(list):
    """Drops its own items while being iterated."""

    def __iter__(self):
        for i in range(len(self)):
            if i >= len(self):
                return
            item = self[i]
            del self[i:]
            yield item


def test_current_room_ids_from_any_sequence():
    r = q.RoomRoster()
    assert [room for room, _ in r.reconcile(Indexed(["b", "a"])).admitting] == ["a", "b"]

    class Name(str):
        pass

    assert r.reconcile([Name("c")]).admitting == [("c", 2)]
    assert r.reconcile(ShrinkingList(["e", "d"])).admitting == [("e", 3)]


@pytest.mark.parametrize(
    "value, message",
    [
        ("ab", "Can't extract `str` to `Vec`"),
        ({"a"}, "'set' object is not an instance of 'Sequence'"),
        ({"a": 1}, "'dict' object is not an instance of 'Sequence'"),
        ((x for x in ["a"]), "'generator' object is not an instance of 'Sequence'"),
        (["a", 1], "'int' object is not an instance of 'str'"),
    ],
)
def test_current_room_ids_refused(value, message):
    r = q.RoomRoster()
    admitted(r, "old")
    with pytest.raises(TypeError) as info:
        r.reconcile(value)
    assert str(info.value) == message
    assert info.value.__notes__ == ["while processing 'current_room_ids'"]
    assert r.tracked_room_ids() == ["old"] and r.room_membership("a") is M.Unadmitted
    assert admitting(r, "next") == 1


@pytest.mark.parametrize(
    "items, on_get, error",
    [
        (["a", "b"], lambda i: 1 / 0, ZeroDivisionError),
        (["a", "\ud800"], None, UnicodeEncodeError),
    ],
)
def test_failing_sequence_changes_nothing(items, on_get, error):
    r = q.RoomRoster()
    admitted(r, "old")
    with pytest.raises(error):
        r.reconcile(Indexed(items, on_get))
    assert r.tracked_room_ids() == ["old"] and r.room_membership("a") is M.Unadmitted


@pytest.mark.parametrize(
    "inner, message",
    [(lambda r: r.clear(), "Already borrowed"), (lambda r: r.room_membership("old"), "Already mutably borrowed")],
)
def test_sequence_calling_back_into_the_roster_is_refused(inner, message):
    r = q.RoomRoster()
    admitted(r, "old")
    with pytest.raises(RuntimeError) as info:
        r.reconcile(Indexed(["a"], lambda i: inner(r)))
    assert str(info.value) == message
    assert r.tracked_room_ids() == ["old"] and r.room_membership("a") is M.Unadmitted


def test_reentrant_ticket_is_refused_and_changes_nothing():
    r = q.RoomRoster()
    ticket = admitting(r, "r")

    class Ticket:
        def __index__(self):
            r.record_room_removed("r")
            return ticket

    with pytest.raises(RuntimeError) as info:
        r.record_room_admission("r", Ticket(), True)
    assert str(info.value) == "Already borrowed"
    assert r.is_room_admission_current("r", ticket)


@pytest.mark.parametrize(
    "call, error, param",
    [
        (lambda r: r.begin_room_admission("r", 1), TypeError, "passes_filter"),
        (lambda r: r.is_room_admission_current("r", "0"), TypeError, "ticket"),
        (lambda r: r.record_room_admission("r", 0, None), TypeError, "succeeded"),
    ],
)
def test_wrong_arguments(call, error, param):
    r = q.RoomRoster()
    with pytest.raises(error) as info:
        call(r)
    assert info.value.__notes__ == [f"while processing '{param}'"]
    assert admitting(r, "r") == 0
