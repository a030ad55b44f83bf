"""The checker: a compact record of what the platform saw, judged at the end."""

from __future__ import annotations

from dataclasses import dataclass, field
from itertools import pairwise
from typing import Callable

HOST_RETRY_BUDGET = 2  # attempts per message in the reference host; a give-up needs that many failures
SHOWN = 20  # violations and excused double answers printed


@dataclass(slots=True)
class Inbound:
    """One message from a user, as the platform tracks it."""

    room: str
    created: float
    delivered: float | None = None  # first handed to the host (an event or a next-open answer)
    settled: float | None = None  # its accepted terminal write
    settled_kind: str = ""
    settled_conn: int = 0
    answers: list[tuple[float, int]] = field(default_factory=list)  # (time, connection)
    writes: list[float] = field(default_factory=list)  # terminal writes that reached the platform
    failed_turns: int = 0  # failed writes that carried the agent's failure


class Ledger:
    """Records deliveries, answers, terminal writes and cuts; `finish` judges them. Times are
    seconds on any one clock; connections are numbered from 1."""

    def __init__(self, retry_budget: int = HOST_RETRY_BUDGET, kills: bool = False,
                 origin: float = 0.0) -> None:
        self.retry_budget = retry_budget
        self.origin = origin  # times print as seconds since this
        self.kills = kills  # killed hosts may spend retry budget on turns they never finished
        self.inbound: dict[str, Inbound] = {}
        self.own: set[str] = set()
        self.closed: dict[int, float] = {}
        self.deleted: dict[str, list[float]] = {}
        self.left: dict[tuple[str, int], list[float]] = {}  # (room, connection) -> chat topic leaves
        self.violations: list[str] = []
        self.violation_count = 0
        self.cuts: list[str] = []
        self.cut_count = 0
        self.retryable_failures = 0
        self.refused_writes = 0
        self.rewrites = 0
        self.given_up = 0
        self.settled_count = 0
        self.latencies_ms: list[float] = []
        self.first_post: float | None = None
        self.last_settled: float | None = None
        self.on_settled: Callable[[int], None] = lambda count: None

    def violation(self, text: str, count: int = 1) -> None:
        self.violation_count += count
        if len(self.violations) < SHOWN:
            self.violations.append(text)

    def at(self, t: float) -> str:
        return f"{t - self.origin:.3f}s"

    # -- what happened ------------------------------------------------------------------------
    def posted(self, mid: str, room: str, now: float) -> None:
        self.inbound[mid] = Inbound(room, now)
        if self.first_post is None:
            self.first_post = now

    def own_post(self, mid: str) -> None:
        self.own.add(mid)

    def delivered(self, mid: str, now: float) -> None:
        record = self.inbound.get(mid)
        if record is not None and record.delivered is None:
            record.delivered = now

    def answered(self, reply_to: object, conn: int, now: float) -> None:
        """A post landed with this `reply_to`."""
        if reply_to in self.own:
            self.violation(f"the agent answered its own message {reply_to} (connection {conn})")
            return
        record = self.inbound.get(reply_to) if isinstance(reply_to, str) else None
        if record is None:
            self.violation(f"an answer to {reply_to!r}, which is no message from a user")
            return
        if record.settled is not None:
            self.violation(f"{reply_to} answered at {self.at(now)} on connection {conn}, after it was "
                           f"settled at {self.at(record.settled)}: a settled message ran again")
        record.answers.append((now, conn))

    def write_refused(self, mid: str, carries_failure: bool, now: float) -> None:
        record = self.inbound[mid]
        self.refused_writes += 1
        record.writes.append(now)
        record.failed_turns += carries_failure

    def write_accepted(self, mid: str, kind: str, retryable: bool, carries_failure: bool,
                       conn: int, now: float) -> bool:
        """An accepted terminal write of an open message; returns whether it settled it."""
        record = self.inbound[mid]
        record.writes.append(now)
        if kind == "failed":
            record.failed_turns += carries_failure
            if retryable:
                self.retryable_failures += 1
                return False
            self._judge_give_up(mid, record)
        record.settled, record.settled_kind, record.settled_conn = now, kind, conn
        self.settled_count += 1
        self.last_settled = now
        self.latencies_ms.append((now - (record.delivered or record.created)) * 1000.0)
        self.on_settled(self.settled_count)
        return True

    def late_write(self, mid: str, kind: str, conn: int, now: float) -> bool:
        """A terminal write of a settled message; returns whether it is a harmless repeat: the same
        outcome on a later connection, whose writer may have lost the acknowledgement."""
        record = self.inbound[mid]
        if conn > record.settled_conn and kind == record.settled_kind:
            self.rewrites += 1
            return True
        assert record.settled is not None
        self.violation(f"{mid}: a {kind} write at {self.at(now)} on connection {conn}, after its "
                       f"{record.settled_kind} write was accepted at {self.at(record.settled)} on "
                       f"connection {record.settled_conn}")
        return False

    def write_for_own(self, mid: str, kind: str, conn: int) -> None:
        self.violation(f"the agent wrote {kind} for its own message {mid} (connection {conn})")

    def write_for_unknown(self, mid: object, room: str, conn: int) -> None:
        self.violation(f"a terminal write for {mid!r} in {room}, no message of that room "
                       f"(connection {conn})")

    def connection_closed(self, conn: int, now: float) -> None:
        self.closed[conn] = now

    def room_deleted(self, room: str, now: float) -> None:
        self.deleted.setdefault(room, []).append(now)

    def room_left(self, room: str, conn: int, now: float) -> None:
        self.left.setdefault((room, conn), []).append(now)

    # -- judging ------------------------------------------------------------------------------
    def _judge_give_up(self, mid: str, record: Inbound) -> None:
        self.given_up += 1
        if record.failed_turns < self.retry_budget and not self.kills:
            self.violation(f"{mid} given up after {record.failed_turns} failed turn(s), under the "
                           f"retry budget of {self.retry_budget}: attempts were spent on no turn")

    def finish(self) -> None:
        """Judges what can only be judged at the end: settlement and double answers."""
        unsettled: dict[str, list[str]] = {}
        for mid, record in self.inbound.items():
            if record.settled is None:
                unsettled.setdefault(record.room, []).append(mid)
        for room, ids in sorted(unsettled.items()):
            first = self.inbound[ids[0]]
            seen = "never handed to the host" if first.delivered is None else \
                f"handed over at {self.at(first.delivered)}"
            self.violation(f"{len(ids)} message(s) of {room} never settled; the oldest, {ids[0]}, "
                           f"{seen}, {len(first.answers)} answer(s)", count=len(ids))
        for mid, record in self.inbound.items():
            for earlier, later in pairwise(record.answers):
                self._judge_second_answer(mid, record, earlier, later)

    def _judge_second_answer(self, mid: str, record: Inbound, earlier: tuple[float, int],
                             later: tuple[float, int]) -> None:
        if record.settled is not None and later[0] > record.settled:
            return  # reported when it was posted
        cut = self.closed.get(earlier[1])
        where = f"{mid} answered at {self.at(earlier[0])} on connection {earlier[1]} and again " \
                f"at {self.at(later[0])} on connection {later[1]}"
        end = later[0] if cut is None else min(cut, later[0])
        written = next((t for t in record.writes if earlier[0] <= t <= end), None)
        left = next((t for t in self.left.get((record.room, earlier[1]), ()) if earlier[0] <= t <= end), None)
        if written is not None:
            self.violation(f"{where}: the first turn's outcome was written at {self.at(written)} "
                           "and then lost")
        elif left is not None:
            self.violation(f"{where}: the host left {record.room} at {self.at(left)} without writing "
                           "the first turn's outcome" + self._deletion_before(record.room, left))
        elif cut is None or cut > later[0]:
            self.violation(f"{where}, no socket cut in between")
        else:
            self._excuse(f"{where}; the first answer's connection closed at {self.at(cut)}, "
                         "before its outcome was written")

    def _deletion_before(self, room: str, t: float) -> str:
        deleted = [d for d in self.deleted.get(room, ()) if d <= t]
        return f" (the room was deleted at {self.at(deleted[-1])})" if deleted else ""

    def _excuse(self, text: str) -> None:
        self.cut_count += 1
        if len(self.cuts) < SHOWN:
            self.cuts.append(text)

