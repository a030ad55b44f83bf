"""Room and agent-topic subscription bookkeeping, in plain Python.

Rooms and agent topics follow the same rules, each kind in a book of its own: a key is in at
most one of four states besides absent, every begun operation gets a ticket from the tracker's
one counter, and a settlement with a ticket that is no longer current changes nothing.
"""

import enum
from typing import Generic, Optional, TypeVar

U64_MAX = 2**64 - 1


class RoomStatus(enum.Enum):
    Absent = "absent"
    Pending = "pending"
    Subscribed = "subscribed"
    Leaving = "leaving"
    NeedsReconciliation = "needs_reconciliation"


class AgentTopicStatus(enum.Enum):
    Absent = "absent"
    Pending = "pending"
    Joined = "joined"
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


Status = TypeVar("Status", RoomStatus, AgentTopicStatus)


class _Book(Generic[Status]):
    """The keys of one kind; joined, pending and leaving ones map to the ticket that put them there."""

    def __init__(self, statuses: type[Status]) -> None:
        # Both enumerations declare the five states in one order.
        self.statuses: tuple[Status, ...] = tuple(statuses)
        self.joined: dict[str, int] = {}  # oldest first
        self.pending: dict[str, int] = {}
        self.leaving: dict[str, int] = {}
        self.unknown: set[str] = set()

    def status(self, key: str) -> Status:
        absent, pending, joined, leaving, needs_reconciliation = self.statuses
        if key in self.pending:
            return pending
        if key in self.joined:
            return joined
        if key in self.leaving:
            return leaving
        if key in self.unknown:
            return needs_reconciliation
        return absent

    def settle_join(self, key: str, ticket: int) -> bool:
        if self.pending.get(key) != ticket:
            return False
        del self.pending[key]
        return True

    def settle_leave(self, key: str, ticket: int, outcome: LeaveOutcome) -> bool:
        if self.leaving.get(key) != ticket:
            return False
        del self.leaving[key]
        if outcome is not LeaveOutcome.Left:
            self.unknown.add(key)
        return True

    def rejoin_failed(self, key: str, ticket: int) -> bool:
        if self.joined.get(key) != ticket:
            return False
        del self.joined[key]
        self.unknown.add(key)
        return True

    def acknowledge(self, key: str) -> bool:
        if key not in self.unknown:
            return False
        self.unknown.discard(key)
        return True


class TicketSource:
    """Tickets 0, 1, ... for the operations an object begins; None once the last is handed out."""

    _next_ticket = 0

    def _new_ticket(self) -> Optional[int]:
        if self._next_ticket == U64_MAX:
            return None
        ticket = self._next_ticket
        self._next_ticket += 1
        return ticket


class SubscriptionTracker(TicketSource):
    def __init__(self) -> None:
        self._rooms = _Book(RoomStatus)
        self._topics = _Book(AgentTopicStatus)

    def _begin_join(self, book: "_Book[RoomStatus] | _Book[AgentTopicStatus]", key: str) -> Optional[int]:
        if key in book.pending or key in book.joined or key in book.leaving or key in book.unknown:
            return None
        ticket = self._new_ticket()
        if ticket is not None:
            book.pending[key] = ticket
        return ticket

    def _begin_leave(self, book: "_Book[RoomStatus] | _Book[AgentTopicStatus]", key: str) -> Optional[int]:
        if key not in book.joined:
            return None
        ticket = self._new_ticket()
        if ticket is not None:
            del book.joined[key]
            book.leaving[key] = ticket
        return ticket

    # ---- rooms

    def room_status(self, room_id: str) -> RoomStatus:
        return self._rooms.status(room_id)

    def is_room_subscribed(self, room_id: str) -> bool:
        return room_id in self._rooms.joined

    def subscribed_room_ids(self) -> list[str]:
        return list(self._rooms.joined)

    def begin_room_subscribe(self, room_id: str) -> Optional[int]:
        return self._begin_join(self._rooms, room_id)

    def is_room_claim_current(self, room_id: str, ticket: int) -> bool:
        return self._rooms.pending.get(room_id) == ticket

    def record_both_room_topics_joined(self, room_id: str, ticket: int) -> RoomSubscribeResult:
        if not self._rooms.settle_join(room_id, ticket):
            return RoomSubscribeResult.Stale
        self._rooms.joined[room_id] = ticket
        return RoomSubscribeResult.Subscribed

    def record_chat_room_join_failed(self, room_id: str, ticket: int) -> RoomSubscribeResult:
        if not self._rooms.settle_join(room_id, ticket):
            return RoomSubscribeResult.Stale
        return RoomSubscribeResult.JoinFailed

    def record_room_participants_join_failed(
        self, room_id: str, ticket: int, chat_room_left: bool
    ) -> RoomSubscribeResult:
        if not self._rooms.settle_join(room_id, ticket):
            return RoomSubscribeResult.Stale
        if chat_room_left:
            return RoomSubscribeResult.RolledBack
        self._rooms.unknown.add(room_id)
        return RoomSubscribeResult.RollbackFailed

    def unsubscribe_room(self, room_id: str) -> Optional[int]:
        return self._begin_leave(self._rooms, room_id)

    def mark_room_leave_complete(self, room_id: str, ticket: int, outcome: LeaveOutcome) -> bool:
        return self._rooms.settle_leave(room_id, ticket, outcome)

    def room_rejoin_candidates(self) -> list[tuple[str, int]]:
        return list(self._rooms.joined.items())

    def mark_room_rejoin_failed(self, room_id: str, ticket: int) -> bool:
        return self._rooms.rejoin_failed(room_id, ticket)

    def acknowledge_room_reconciled(self, room_id: str) -> bool:
        return self._rooms.acknowledge(room_id)

    # ---- agent topics

    def agent_topic_status(self, topic: str) -> AgentTopicStatus:
        return self._topics.status(topic)

    def is_agent_topic_joined(self, topic: str) -> bool:
        return topic in self._topics.joined

    def joined_agent_topics(self) -> list[str]:
        return list(self._topics.joined)

    def begin_agent_topic_join(self, topic: str) -> Optional[int]:
        return self._begin_join(self._topics, topic)

    def is_agent_topic_claim_current(self, topic: str, ticket: int) -> bool:
        return self._topics.pending.get(topic) == ticket

    def record_agent_topic_join(self, topic: str, ticket: int, joined: bool) -> bool:
        if not self._topics.settle_join(topic, ticket):
            return False
        if joined:
            self._topics.joined[topic] = ticket
        return joined

    def record_agent_topic_join_ambiguous(self, topic: str, ticket: int) -> bool:
        if not self._topics.settle_join(topic, ticket):
            return False
        self._topics.unknown.add(topic)
        return True

    def leave_agent_topic(self, topic: str) -> Optional[int]:
        return self._begin_leave(self._topics, topic)

    def mark_agent_topic_leave_complete(self, topic: str, ticket: int, outcome: LeaveOutcome) -> bool:
        return self._topics.settle_leave(topic, ticket, outcome)

    def agent_topic_rejoin_candidates(self) -> list[tuple[str, int]]:
        return list(self._topics.joined.items())

    def mark_agent_topic_rejoin_failed(self, topic: str, ticket: int) -> bool:
        return self._topics.rejoin_failed(topic, ticket)

    def acknowledge_agent_topic_reconciled(self, topic: str) -> bool:
        return self._topics.acknowledge(topic)

    # ---- session

    def on_reconnected(self) -> None:
        """The rejoin candidates are what is joined: nothing changes."""

    def end_session(self) -> None:
        self._rooms = _Book(RoomStatus)
        self._topics = _Book(AgentTopicStatus)
