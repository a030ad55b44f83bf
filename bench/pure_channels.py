"""Room subscription bookkeeping, in plain Python.

Each room is in at most one of four states besides absent; every begun operation gets a ticket
from one counter, and a settlement with a ticket that is no longer current changes nothing.
"""

import enum
from typing import Optional

U64_MAX = 2**64 - 1


class RoomStatus(enum.Enum):
    Absent = "absent"
    Pending = "pending"
    Subscribed = "subscribed"
    Leaving = "leaving"
    NeedsReconciliation = "needs_reconciliation"


class RoomSubscribeResult(enum.Enum):
    Subscribed = "subscribed"
    JoinFailed = "join_failed"
    RolledBack = "rolled_back"
    RollbackFailed = "rollback_failed"
    Stale = "stale"


class LeaveOutcome(enum.Enum):
    Left = "left"
    Failed = "failed"
    Unknown = "unknown"


def chat_room_topic(room_id: str) -> str:
    return "chat_room:" + room_id


def room_participants_topic(room_id: str) -> str:
    return "room_participants:" + room_id


class SubscriptionTracker:
    def __init__(self) -> None:
        self._subscribed: dict[str, int] = {}  # room id -> ticket, oldest first
        self._pending: dict[str, int] = {}
        self._leaving: dict[str, int] = {}
        self._needs_reconciliation: set[str] = set()
        self._next_ticket = 0

    def _new_ticket(self) -> Optional[int]:
        if self._next_ticket == U64_MAX:
            return None
        ticket = self._next_ticket
        self._next_ticket += 1
        return ticket

    def room_status(self, room_id: str) -> RoomStatus:
        if room_id in self._pending:
            return RoomStatus.Pending
        if room_id in self._subscribed:
            return RoomStatus.Subscribed
        if room_id in self._leaving:
            return RoomStatus.Leaving
        if room_id in self._needs_reconciliation:
            return RoomStatus.NeedsReconciliation
        return RoomStatus.Absent

    def is_room_subscribed(self, room_id: str) -> bool:
        return room_id in self._subscribed

    def subscribed_room_ids(self) -> list[str]:
        return list(self._subscribed)

    def begin_room_subscribe(self, room_id: str) -> Optional[int]:
        if self.room_status(room_id) is not RoomStatus.Absent:
            return None
        ticket = self._new_ticket()
        if ticket is not None:
            self._pending[room_id] = ticket
        return ticket

    def is_room_claim_current(self, room_id: str, ticket: int) -> bool:
        return self._pending.get(room_id) == ticket

    def _settle(self, room_id: str, ticket: int) -> bool:
        if room_id not in self._pending or self._pending[room_id] != ticket:
            return False
        del self._pending[room_id]
        return True

    def record_both_room_topics_joined(self, room_id: str, ticket: int) -> RoomSubscribeResult:
        if not self._settle(room_id, ticket):
            return RoomSubscribeResult.Stale
        self._subscribed[room_id] = ticket
        return RoomSubscribeResult.Subscribed

    def record_chat_room_join_failed(self, room_id: str, ticket: int) -> RoomSubscribeResult:
        if not self._settle(room_id, ticket):
            return RoomSubscribeResult.Stale
        return RoomSubscribeResult.JoinFailed

    def record_room_participants_join_failed(
        self, room_id: str, ticket: int, chat_room_left: bool
    ) -> RoomSubscribeResult:
        if not self._settle(room_id, ticket):
            return RoomSubscribeResult.Stale
        if chat_room_left:
            return RoomSubscribeResult.RolledBack
        self._needs_reconciliation.add(room_id)
        return RoomSubscribeResult.RollbackFailed

    def unsubscribe_room(self, room_id: str) -> Optional[int]:
        if self.room_status(room_id) is not RoomStatus.Subscribed:
            return None
        ticket = self._new_ticket()
        if ticket is not None:
            del self._subscribed[room_id]
            self._leaving[room_id] = ticket
        return ticket

    def mark_room_leave_complete(self, room_id: str, ticket: int, outcome: LeaveOutcome) -> bool:
        if room_id not in self._leaving or self._leaving[room_id] != ticket:
            return False
        del self._leaving[room_id]
        if outcome is not LeaveOutcome.Left:
            self._needs_reconciliation.add(room_id)
        return True

    def room_rejoin_candidates(self) -> list[tuple[str, int]]:
        return list(self._subscribed.items())

    def mark_room_rejoin_failed(self, room_id: str, ticket: int) -> bool:
        if room_id not in self._subscribed or self._subscribed[room_id] != ticket:
            return False
        del self._subscribed[room_id]
        self._needs_reconciliation.add(room_id)
        return True

    def acknowledge_room_reconciled(self, room_id: str) -> bool:
        if room_id not in self._needs_reconciliation:
            return False
        self._needs_reconciliation.discard(room_id)
        return True

    def end_session(self) -> None:
        self._subscribed.clear()
        self._pending.clear()
        self._leaving.clear()
        self._needs_reconciliation.clear()
