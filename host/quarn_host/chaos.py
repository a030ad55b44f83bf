"""The simulator's chaos mode: a seeded random world that throws every fault a host must survive
at the reference host, run as a child process, and a checker of what the platform saw.

    python -m quarn_host.simulator --chaos 7 --messages 400 --seconds 15
    python -m quarn_host.simulator --chaos 7 --messages 400 --seconds 15 --kill-host
    python -m quarn_host.simulator --chaos 1 --messages 20000 --seconds 600 --calm

Everything but timing follows from the seed: the rooms, the users, the messages and every roll of
the dice for a fault. The output is a "faults:" line (what was thrown), one "figures:" line of
key=value pairs, then one line per violation ("violation: ...") and per double answer excused by
a cut ("cut: ..."), the first 20 of each. The exit status is 0 only without violations.
"""

from __future__ import annotations

import argparse
import asyncio
import dataclasses
import pstats
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from collections import Counter, deque
from dataclasses import dataclass, field
from datetime import datetime, timedelta, timezone
from itertools import pairwise
from pathlib import Path
from typing import Any, Callable, Iterator

import quarn_sdk_core as q
from websockets.asyncio.server import ServerConnection, serve
from websockets.http11 import Request, Response

from . import phoenix, simulator

AGENT_ID = simulator.AGENT_ID
USERS = {"u-ana": "Ana", "u-ben": "Ben", "u-cleo": "Cleo", "u-dev": "Dev", "u-eli": "Eli"}
HOST_RETRY_BUDGET = 2  # attempts per message in the reference host; a give-up needs that many failures
SHOWN = 20  # violations and excused double answers printed
TICK_S = 0.25  # real seconds between rolls of the per-tick faults
LIFETIME_S = (0.5, 4.0)  # real seconds a connection lives before the fault chosen for it
KILL_LIMIT = 8
KILL_GAP_S = 1.5  # real seconds between two kills, so that each host gets some work done
SUPERSEDE_GRACE_S = 5.0  # real seconds a superseded host has to close its socket
EXIT_WAIT_S = 30.0  # real seconds the host has to exit after the final close
UNEXPECTED_EXITS = 3  # host exits the platform did not cause before it stops restarting it
CALM_WINDOW = 64  # open messages at most in a calm run: users post as fast as the host settles
RSS_MILESTONES = (1_000, 5_000, 20_000)  # settled messages at which the host's memory is noted
LOG_LIMIT_BYTES = 16 << 20
BURST_CHANCE, BURST_SIZE = 0.05, (5, 25)  # per message: a burst of that many starts
BASE_TIME = datetime(2025, 1, 1, 9, tzinfo=timezone.utc)
ERROR_LINE = re.compile(r"^\s*\d+\.\d+s\s+error\b")


@dataclass(frozen=True)
class Faults:
    """The probability of each fault, per occasion (named after the field)."""

    upgrade_429: float = 0.15  # per upgrade
    drop: float = 0.25  # per connection, the way it ends (these four add up to at most 1;
    close_1012: float = 0.2  # the rest of the connections live until the end)
    supersede: float = 0.15
    silence: float = 0.1
    room_list: float = 0.5  # per connection: the room list changes before it
    room_event: float = 0.03  # per tick: a room deleted or one added back while connected
    delete_mid_turn: float = 0.01  # per reply post: its room is deleted while the turn runs
    refuse_join: float = 0.08  # per participants join
    refuse_write: float = 0.04  # per message: its first terminal writes are refused
    duplicate: float = 0.05  # per message: delivered twice
    redeliver: float = 0.08  # per tick: a settled message is delivered again
    provider_failure: float = 0.05  # per message: it says "fail once"
    kill_mid_turn: float = 0.01  # per turn started (with --kill-host)
    kill_after_post: float = 0.01  # per reply post, before the terminal write
    kill_at_reconnect: float = 0.2  # per connection after the first, while it sets up

    @classmethod
    def none(cls) -> Faults:
        return cls(**{f.name: 0.0 for f in dataclasses.fields(cls)})

    def with_overrides(self, items: list[str]) -> Faults:
        """Applies "name=probability" items."""
        names = {f.name for f in dataclasses.fields(self)}
        values: dict[str, float] = {}
        for item in items:
            name, sep, value = item.partition("=")
            if not sep or name not in names:
                raise ValueError(f"unknown fault {item!r}; known: {', '.join(sorted(names))}")
            values[name] = float(value)
            if not 0.0 <= values[name] <= 1.0:
                raise ValueError(f"{name}: a probability is between 0 and 1")
        faults = dataclasses.replace(self, **values)
        if sum(faults.endings().values()) > 1.0:
            raise ValueError("drop + close_1012 + supersede + silence must not exceed 1")
        return faults

    def endings(self) -> dict[str, float]:
        return {"drop": self.drop, "close_1012": self.close_1012, "supersede": self.supersede,
                "silence": self.silence}


KILL_CHANCES: dict[str, Callable[[Faults], float]] = {
    "kill_mid_turn": lambda f: f.kill_mid_turn,
    "kill_after_post": lambda f: f.kill_after_post,
    "kill_at_reconnect": lambda f: f.kill_at_reconnect,
}


@dataclass(frozen=True)
class Settings:
    seed: int
    messages: int
    seconds: float
    kill_host: bool = False
    state: str | None = None
    calm: bool = False
    time_scale: float = 0.05
    grace: float = 15.0
    faults: Faults = field(default_factory=Faults)
    log: str | None = None
    loud: bool = False  # the host logs every decision, to diagnose a run


# ---------------------------------------------------------------------------------------------
# The checker: a compact record of what the platform saw, judged at the end.


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


def percentile(values: list[float], share: float) -> float | None:
    if not values:
        return None
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


# ---------------------------------------------------------------------------------------------
# The world: rooms, users and what they post.


@dataclass(frozen=True)
class Post:
    at: float  # real seconds after the start
    sender: str
    content: str


class World:
    """The seeded part of a run: its rooms and its stream of user messages."""

    def __init__(self, seed: int, provider_failure: float) -> None:
        self.rng = random.Random(f"{seed}/world")
        self.rooms = [f"r-{i}" for i in range(self.rng.randint(3, 8))]
        self.provider_failure = provider_failure

    def posts(self, count: int, seconds: float) -> Iterator[Post]:
        """`count` posts spread over about `seconds`, some of them in bursts."""
        spaced = 1.0 / (1.0 + BURST_CHANCE * sum(BURST_SIZE) / 2)  # the share not in a burst
        rate, at, burst = count * spaced / max(seconds, 0.001), 0.0, 0
        for number in range(1, count + 1):
            if burst == 0 and self.rng.random() < BURST_CHANCE:
                burst = self.rng.randint(*BURST_SIZE)
            if burst:
                burst -= 1
            else:
                at += self.rng.expovariate(rate)
            yield Post(at, self.rng.choice(list(USERS)), self.content(number))

    def content(self, number: int) -> str:
        roll = self.rng.random()
        if roll < self.provider_failure:
            return f"Please answer question {number} (fail once)."
        roll -= self.provider_failure
        if roll < 0.05:
            return f"FYI: note {number} went out, no reply needed."
        if roll < 0.08:
            return f"Just think about point {number} silently."
        return f"Question {number}: how is item {self.rng.randint(1, 999)} doing?"

    def room_for(self, rooms: list[str]) -> str:
        return self.rng.choice(rooms)


def stamp(number: int) -> str:
    return (BASE_TIME + timedelta(seconds=number)).strftime("%Y-%m-%dT%H:%M:%SZ")


def message_payload(mid: str, room: str, sender: str, content: str, number: int) -> dict[str, Any]:
    name = "Agent Seven" if sender == AGENT_ID else USERS.get(sender)
    return {"id": mid, "chat_room_id": room, "content": content, "message_type": "text",
            "sender_id": sender, "sender_type": "Agent" if sender == AGENT_ID else "User",
            "sender_name": name, "inserted_at": stamp(number), "updated_at": stamp(number),
            "metadata": {"mentions": []}, "attachments": []}


def room_payload(room: str) -> dict[str, Any]:
    return {"id": room, "title": room, "task_id": None, "inserted_at": stamp(0), "updated_at": stamp(0)}


# ---------------------------------------------------------------------------------------------
# The platform


class ChaosPlatform(simulator.Platform):
    """Answers the host's pushes as simulator.Platform does, from a store that keeps only what
    the checks need, and throws the faults that come with answering."""

    def __init__(self, settings: Settings, world: World, ledger: Ledger,
                 log: Callable[[str], None]) -> None:
        super().__init__(log=log, rooms=list(world.rooms))
        self.settings = settings
        self.faults = settings.faults
        self.world = world
        self.ledger = ledger
        self.rng = random.Random(f"{settings.seed}/faults")
        self.removed: list[str] = []
        self.open: dict[str, dict[str, None]] = {room: {} for room in world.rooms}  # oldest first
        self.bodies: dict[str, tuple[str, str, int]] = {}  # id -> (sender, content, number)
        self.refusals: dict[str, int] = {}  # id -> terminal writes still to refuse
        self.recent: deque[str] = deque(maxlen=256)  # settled ids, for late redeliveries
        self.live: set[ChaosConnection] = set()
        self.thrown: Counter[str] = Counter()
        self.phase = "chaos"  # then "settling" (no more faults), then "closing"
        self.open_count = 0
        self.space = asyncio.Event()  # set when a message settles
        self.kill: Callable[[str, float], bool] = lambda moment, delay: False
        self.numbers = iter(range(1, 1 << 62))

    def now(self) -> float:
        return time.monotonic()

    def roll(self, fault: str, probability: float) -> bool:
        if self.phase != "chaos" or self.rng.random() >= probability:
            return False
        self.thrown[fault] += 1
        return True

    # -- users --------------------------------------------------------------------------------
    async def post(self, sender: str, content: str) -> str:
        """A user posts into a room of the current list; live connections get the event."""
        number = next(self.numbers)
        room = self.world.room_for(self.rooms)
        mid = f"m-{number:06d}"
        self.bodies[mid] = (sender, content, number)
        self.open[room][mid] = None
        self.open_count += 1
        self.ledger.posted(mid, room, self.now())
        if self.roll("refuse_write", self.faults.refuse_write):
            self.refusals[mid] = self.rng.randint(1, 3)
        await self.deliver(mid)
        if self.roll("duplicate", self.faults.duplicate):
            await self.deliver(mid)
        return mid

    def payload(self, mid: str) -> dict[str, Any]:
        sender, content, number = self.bodies[mid]
        return message_payload(mid, self.ledger.inbound[mid].room, sender, content, number)

    async def deliver(self, mid: str) -> None:
        topic = f"chat_room:{self.ledger.inbound[mid].room}"
        for conn in list(self.live):
            if conn.hears(topic):
                self.ledger.delivered(mid, self.now())
                await conn.send(topic, "message_created", self.payload(mid))

    async def redeliver_settled(self) -> None:
        candidates = [m for m in self.recent if self.ledger.inbound[m].room in self.rooms]
        if candidates and self.roll("redeliver", self.faults.redeliver):
            mid = self.rng.choice(candidates)
            self.log(f"delivers the settled {mid} again")
            await self.deliver(mid)

    # -- rooms --------------------------------------------------------------------------------
    def change_room_list(self) -> None:
        """Between connections: a room leaves the list, or one comes back."""
        if not self.roll("room_list", self.faults.room_list):
            return
        if self.removed and (len(self.rooms) <= 2 or self.rng.random() < 0.5):
            self.rooms.append(self.removed.pop(self.rng.randrange(len(self.removed))))
        elif len(self.rooms) > 2:
            self.delete_room(self.rng.choice(self.rooms))
        self.log(f"room list now {sorted(self.rooms)}")

    def delete_room(self, room: str) -> None:
        self.log(f"deletes {room}")
        self.rooms.remove(room)
        self.removed.append(room)
        self.ledger.room_deleted(room, self.now())

    async def room_event(self) -> None:
        """While connected: a room deleted, or one added back."""
        if not self.roll("room_event", self.faults.room_event):
            return
        if self.removed and (len(self.rooms) <= 2 or self.rng.random() < 0.5):
            await self.restore_room(self.removed[self.rng.randrange(len(self.removed))])
        elif len(self.rooms) > 2:
            room = self.rng.choice(self.rooms)
            self.delete_room(room)
            await self.tell_rooms("room_deleted", {"id": room})

    async def restore_room(self, room: str) -> None:
        self.log(f"adds {room} back")
        self.removed.remove(room)
        self.rooms.append(room)
        await self.tell_rooms("room_added", room_payload(room))

    async def tell_rooms(self, event: str, payload: dict[str, Any]) -> None:
        for conn in list(self.live):
            await conn.send(f"agent_rooms:{AGENT_ID}", event, payload)

    async def settle(self) -> None:
        """Posting is over: no more faults, and every room comes back so all can settle."""
        self.phase = "settling"
        for room in list(self.removed):
            await self.restore_room(room)

    # -- pushes from the host -----------------------------------------------------------------
    def answer(self, conn: simulator.SimConnection, frame: phoenix.Frame) -> tuple[str, Any]:
        assert isinstance(conn, ChaosConnection)
        topic, event = frame.topic, frame.event
        kind, _, key = topic.partition(":")
        body = frame.payload if isinstance(frame.payload, dict) else {}
        if event == phoenix.HEARTBEAT:
            return "ok", {}
        if event == phoenix.JOIN:
            return self._join(conn, topic, key)
        if event == phoenix.LEAVE:
            conn.joined.discard(topic)
            if kind == "chat_room":
                self.ledger.room_left(key, conn.number, self.now())
            return "ok", {}
        if kind == "agent_rooms" and event == "list_rooms":
            if conn.number > 1:
                self.kill("kill_at_reconnect", 0.0)
            return "ok", {"room_ids": list(self.rooms)}
        if kind != "chat_room":
            return "error", {"reason": f"unknown event {event}"}
        if key not in self.rooms:
            self._gone_room_write(key, event, body)
            return "error", {"reason": "not_found"}
        return self._room_push(conn, key, event, body)

    def _gone_room_write(self, room: str, event: str, body: dict[str, Any]) -> None:
        """A terminal write into a deleted room is refused, but the host did hold that outcome."""
        mid = body.get("message_id")
        record = self.ledger.inbound.get(mid) if isinstance(mid, str) else None
        if event in ("mark_processed", "mark_failed") and record is not None and record.room == room \
                and record.settled is None and isinstance(mid, str):
            self.ledger.write_refused(mid, "extensions" in body, self.now())

    def _room_push(self, conn: ChaosConnection, room: str, event: str,
                   body: dict[str, Any]) -> tuple[str, Any]:
        if event == "open_message_ids":
            return "ok", {"ids": list(self.open[room])}
        if event == "next_open_message":
            return "ok", {"message": self._next_open(room, body.get("skip"))}
        if event == "new_message":
            return self._agent_post(conn, room, body)
        if event in ("mark_processed", "mark_failed"):
            return self._write(conn, room, event, body)
        return "error", {"reason": f"unknown event {event}"}

    def _join(self, conn: simulator.SimConnection, topic: str, key: str) -> tuple[str, Any]:
        kind = topic.partition(":")[0]
        if kind in ("chat_room", "room_participants") and key not in self.rooms:
            return "error", {"reason": "not_found"}
        if kind == "room_participants" and self.roll("refuse_join", self.faults.refuse_join):
            self.log(f"refuses the join of {topic}")
            return "error", {"reason": "unavailable"}
        conn.joined.add(topic)
        if kind != "room_participants":
            return "ok", {}
        people = [{"id": p, "name": n, "type": "User"} for p, n in USERS.items()]
        return "ok", {"participants": [*people, {"id": AGENT_ID, "name": "Agent Seven", "type": "Agent"}]}

    def _next_open(self, room: str, skip: object) -> dict[str, Any] | None:
        held = {i for i in skip if isinstance(i, str)} if isinstance(skip, list) else set()
        mid = next((m for m in self.open[room] if m not in held), None)
        if mid is None:
            return None
        self.ledger.delivered(mid, self.now())
        self.kill("kill_mid_turn", self.rng.uniform(0.0, 0.01))
        return self.payload(mid)

    def _agent_post(self, conn: ChaosConnection, room: str, body: dict[str, Any]) -> tuple[str, Any]:
        number = next(self.numbers)
        mid = f"a-{number:06d}"
        self.ledger.own_post(mid)
        self.ledger.answered(body.get("reply_to"), conn.number, self.now())
        conn.later(f"chat_room:{room}", "message_created",
                   message_payload(mid, room, AGENT_ID, str(body.get("content", "")), number))
        if self.kill("kill_after_post", self.rng.uniform(0.0, 0.005)):
            pass  # one fault per post: a kill and a deletion together would blur both
        elif self.roll("delete_mid_turn", self.faults.delete_mid_turn) and len(self.rooms) > 1:
            self.log("a turn runs in the room about to be deleted")
            self.delete_room(room)
            conn.later(f"agent_rooms:{AGENT_ID}", "room_deleted", {"id": room})
        return "ok", {"id": mid}

    def _write(self, conn: ChaosConnection, room: str, event: str,
               body: dict[str, Any]) -> tuple[str, Any]:
        mid, kind = body.get("message_id"), "processed" if event == "mark_processed" else "failed"
        if isinstance(mid, str) and mid in self.ledger.own:
            self.ledger.write_for_own(mid, kind, conn.number)
            return "error", {"reason": "rejected"}
        record = self.ledger.inbound.get(mid) if isinstance(mid, str) else None
        if record is None or record.room != room or not isinstance(mid, str):
            self.ledger.write_for_unknown(mid, room, conn.number)
            return "error", {"reason": "not_found"}
        if record.settled is not None:
            repeat = self.ledger.late_write(mid, kind, conn.number, self.now())
            return ("ok", {}) if repeat else ("error", {"reason": "rejected"})
        carries_failure = "extensions" in body
        if self.refusals.get(mid):
            self.refusals[mid] -= 1
            self.ledger.write_refused(mid, carries_failure, self.now())
            reason = self.rng.choice(("not_found", "rejected"))
            self.log(f"refuses the {kind} write of {mid} ({reason})")
            return "error", {"reason": reason}
        retryable = kind == "failed" and bool(body.get("retryable"))
        if retryable:
            self.log(f"takes the retryable failure of {mid}: it stays open")
        if self.ledger.write_accepted(mid, kind, retryable, carries_failure, conn.number, self.now()):
            del self.open[room][mid]
            self.open_count -= 1
            if len(self.recent) == self.recent.maxlen:
                self.bodies.pop(self.recent[0], None)  # no longer delivered again
            self.recent.append(mid)
            self.space.set()
        return "ok", {}


class ChaosConnection(simulator.SimConnection):
    """A socket that can fall silent: it then answers nothing and sends nothing."""

    def __init__(self, platform: ChaosPlatform, ws: ServerConnection, number: int) -> None:
        super().__init__(platform, ws, number)
        self.chaos = platform
        self.silent = False

    def hears(self, topic: str) -> bool:
        return topic in self.joined and not self.silent

    def respond(self, frame: phoenix.Frame) -> None:
        if not self.silent:
            super().respond(frame)

    def later(self, topic: str, event: str, payload: Any) -> None:
        if not self.silent:
            super().later(topic, event, payload)

    async def send(self, topic: str, event: str, payload: Any) -> None:
        if not self.silent:
            await super().send(topic, event, payload)

    async def serve(self, script: Callable[[simulator.SimConnection], Any]) -> None:
        self.chaos.live.add(self)
        try:
            await super().serve(script)
        finally:
            self.chaos.live.discard(self)
            self.chaos.ledger.connection_closed(self.number, self.chaos.now())


# ---------------------------------------------------------------------------------------------
# The host as a child process


class HostLog:
    """Keeps the host's output in a bounded file and reports its errors to the ledger."""

    def __init__(self, path: Path, ledger: Ledger) -> None:
        self.path = path
        self.ledger = ledger
        self.out = path.open("w", encoding="utf-8", errors="replace")
        self.written = 0
        self.dropped = 0
        self.in_traceback = False

    async def follow(self, stream: asyncio.StreamReader, process: int) -> None:
        self.keep(f"---- host process {process}\n")
        while True:
            try:
                raw = await stream.readline()
            except ValueError:  # a line past the reader's limit
                raw = await stream.read(1 << 16)
            if not raw:
                return
            line = raw.decode("utf-8", "replace")
            self.scan(line.rstrip("\n"))
            self.keep(line)

    def keep(self, line: str) -> None:
        if self.written + len(line) > LOG_LIMIT_BYTES:
            self.dropped += 1
            return
        self.out.write(line)
        self.written += len(line)

    def scan(self, line: str) -> None:
        if self.in_traceback and line and not line[0].isspace():
            self.in_traceback = line.startswith(("Traceback", "During handling", "The above"))
            if not self.in_traceback:
                self.ledger.violation(f"host traceback: {line}")
        elif "Traceback" in line:
            self.in_traceback = True
        elif ERROR_LINE.match(line):
            self.ledger.violation(f"host error: {line.strip()}")

    def close(self) -> None:
        if self.dropped:
            self.out.write(f"---- {self.dropped} more lines not kept (log limit)\n")
        self.out.close()


class HostRunner:
    """Starts, kills and restarts the host; the same command (and state file) every time."""

    def __init__(self, command: list[str], log: HostLog) -> None:
        self.command = command
        self.log = log
        self.process: asyncio.subprocess.Process | None = None
        self.reader: asyncio.Task[None] | None = None
        self.starts = 0
        self.kills = 0
        self.killed = False

    async def start(self) -> None:
        self.starts += 1
        self.killed = False
        self.process = await asyncio.create_subprocess_exec(
            *self.command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT, limit=1 << 20)
        assert self.process.stdout is not None
        self.reader = asyncio.create_task(self.log.follow(self.process.stdout, self.starts))

    @property
    def pid(self) -> int | None:
        return self.process.pid if self.process is not None and self.process.returncode is None else None

    def kill(self) -> bool:
        if self.pid is None or self.killed:
            return False
        assert self.process is not None
        self.process.send_signal(signal.SIGKILL)
        self.killed = True
        self.kills += 1
        return True

    async def wait(self) -> int:
        assert self.process is not None and self.reader is not None
        code = await self.process.wait()
        await self.reader
        return code


def host_flags() -> set[str]:
    """The optional flags this host knows; a host older than one of them runs without it."""
    try:
        shown = subprocess.run([sys.executable, "-m", "quarn_host", "--help"], capture_output=True,
                               text=True, timeout=60, check=False).stdout
    except (OSError, subprocess.TimeoutExpired):
        return set()
    return {flag for flag in ("--quiet", "--state", "--profile") if flag in shown}


def rss_kb(pid: int | None) -> int | None:
    """The resident memory of a process, from /proc (None when it cannot be read)."""
    if pid is None:
        return None
    try:
        with open(f"/proc/{pid}/status", encoding="ascii") as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except (OSError, ValueError, IndexError):
        return None
    return None


@dataclass
class Memory:
    first: int | None = None
    peak: int | None = None
    last: int | None = None
    at: dict[int, int] = field(default_factory=dict)  # settled messages -> kB

    def sample(self, kb: int | None) -> None:
        if kb is None:
            return
        self.first = kb if self.first is None else self.first
        self.peak = kb if self.peak is None else max(self.peak, kb)
        self.last = kb


def module_cpu_share(path: Path) -> float | None:
    """The share of the host's profiled time spent inside the module's own functions."""
    try:
        stats = pstats.Stats(str(path))
    except (OSError, EOFError, TypeError, ValueError):
        return None
    profile = stats.get_stats_profile()
    if profile.total_tt <= 0:
        return None
    inside = sum(f.tottime for name, f in profile.func_profiles.items() if "quarn_sdk_core" in name)
    return inside / profile.total_tt


# ---------------------------------------------------------------------------------------------
# A run


class ChaosRun:
    def __init__(self, settings: Settings, workdir: Path, flags: set[str]) -> None:
        self.settings = settings
        self.workdir = workdir
        self.flags = flags
        self.ledger = Ledger(kills=settings.kill_host)
        self.world = World(settings.seed, settings.faults.provider_failure)
        self.platform = ChaosPlatform(settings, self.world, self.ledger, log=self.note)
        self.platform.kill = self.kill
        self.rng = random.Random(f"{settings.seed}/connections")
        self.log = HostLog(Path(settings.log) if settings.log else workdir / "host.log", self.ledger)
        self.profile = workdir / "host.prof"
        self.runner = HostRunner([], self.log)
        self.memory = Memory()
        self.last_kill = -KILL_GAP_S
        self.host_gone = asyncio.Event()
        self.ledger.on_settled = self.milestone
        self.ledger.origin = self.started = time.monotonic()
        dead_s = q.SessionPolicy.default().dead_threshold_s * settings.time_scale
        self.silence_limit_s = 2 * dead_s + 2.0

    def command(self, url: str) -> list[str]:
        s = self.settings
        command = [sys.executable, "-m", "quarn_host", "--url", url, "--agent-id", AGENT_ID,
                   "--time-scale", str(s.time_scale)]
        if "--quiet" in self.flags and not s.loud:
            command.append("--quiet")
        state = s.state or (str(self.workdir / "host.state") if s.kill_host else None)
        if state and "--state" in self.flags:
            command += ["--state", state]
        if s.calm and "--profile" in self.flags:
            command += ["--profile", str(self.profile)]
        return command

    async def run(self) -> None:
        server = await serve(self.accept, "127.0.0.1", 0, process_request=self.upgrade, ping_interval=None)
        self.runner.command = self.command(simulator.url_of(server))
        self.ledger.origin = self.started = time.monotonic()
        await self.runner.start()
        helpers = [asyncio.create_task(self.watch_memory())]
        if not self.settings.calm:
            helpers.append(asyncio.create_task(self.tick()))
        supervisor = asyncio.create_task(self.supervise())
        try:
            await self.post_all()
            await self.platform.settle()
            await self.wait_settled()
            await self.close_all()
            await self.wait_exit(supervisor)
        finally:
            for task in [*helpers, supervisor]:
                task.cancel()
            await asyncio.gather(*helpers, supervisor, return_exceptions=True)
            server.close()
            await server.wait_closed()
            self.log.close()
        self.ledger.finish()

    # -- the platform's side ------------------------------------------------------------------
    def note(self, line: str) -> None:
        """A platform event, interleaved with the host's output in its log."""
        self.log.keep(f"platform {time.monotonic() - self.started:8.3f}s  {line}\n")

    def upgrade(self, ws: ServerConnection, request: Request) -> Response | None:
        if self.platform.roll("upgrade_429", self.settings.faults.upgrade_429):
            retry_after = self.rng.randint(1, 3)
            self.note(f"refuses an upgrade: 429, Retry-After {retry_after}")
            return simulator.too_many_requests(retry_after)
        return None

    async def accept(self, ws: ServerConnection) -> None:
        self.platform.connections += 1
        conn = ChaosConnection(self.platform, ws, self.platform.connections)
        self.note(f"accepts connection {conn.number}")
        if self.platform.phase == "closing":
            self.ledger.connection_closed(conn.number, time.monotonic())
            await ws.close(1000, "end of session")
            return
        if conn.number > 1:
            self.platform.change_room_list()
        await conn.serve(self.fate)

    async def fate(self, sim: simulator.SimConnection) -> None:
        """How a connection ends: after each lifetime the dice choose a fault, or another
        lifetime; the end of the session closes it otherwise."""
        assert isinstance(sim, ChaosConnection)
        ending = None
        while ending is None and self.platform.phase == "chaos":
            await asyncio.sleep(self.rng.uniform(*LIFETIME_S))
            ending = self.choose_ending()
        if ending == "supersede" and not sim.hears(f"agent_control:{AGENT_ID}"):
            ending = "drop"  # a notice can only travel on a joined topic
        if ending is not None and self.platform.roll(ending, 1.0):
            self.platform.log(f"ends connection {sim.number}: {ending}")
            await self.end_connection(sim, ending)

    def choose_ending(self) -> str | None:
        roll = self.rng.random()
        for name, probability in self.settings.faults.endings().items():
            if roll < probability:
                return name
            roll -= probability
        return None

    async def end_connection(self, conn: ChaosConnection, ending: str) -> None:
        if ending == "drop":
            conn.ws.transport.abort()
        elif ending == "close_1012":
            await conn.ws.close(1012, "service restart")
        elif ending == "supersede":
            await conn.send(f"agent_control:{AGENT_ID}", "supersede", {
                "reason": "session_replaced", "message": "Another session of this agent connected.",
                "target_socket_id": None, "correlation_id": None, "retryable": True,
                "retry_after": self.rng.randint(1, 3)})
            await self.await_close(conn, SUPERSEDE_GRACE_S, "a superseded host kept its socket open")
        else:
            conn.silent = True
            await self.await_close(conn, self.silence_limit_s, "the host kept a silent socket open")

    async def await_close(self, conn: ChaosConnection, limit_s: float, fault: str) -> None:
        try:
            await asyncio.wait_for(conn.ws.wait_closed(), limit_s)
        except TimeoutError:
            self.ledger.violation(f"{fault} for {limit_s:.1f} s (connection {conn.number})")
            conn.ws.transport.abort()

    async def tick(self) -> None:
        while True:
            await asyncio.sleep(TICK_S)
            if any(f"agent_rooms:{AGENT_ID}" in c.joined and not c.silent for c in self.platform.live):
                await self.platform.room_event()
                await self.platform.redeliver_settled()

    async def post_all(self) -> None:
        s = self.settings
        for post in self.world.posts(s.messages, s.seconds):
            if self.host_gone.is_set():
                return
            if s.calm:
                while self.platform.open_count >= CALM_WINDOW:
                    self.platform.space.clear()
                    await self.platform.space.wait()
            else:
                await asyncio.sleep(max(0.0, self.started + post.at - time.monotonic()))
            await self.platform.post(post.sender, post.content)

    async def wait_settled(self) -> None:
        deadline = self.started + self.settings.seconds + self.settings.grace
        while self.platform.open_count and not self.host_gone.is_set():
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                return
            self.platform.space.clear()
            try:
                await asyncio.wait_for(self.platform.space.wait(), min(remaining, 1.0))
            except TimeoutError:
                pass

    async def close_all(self) -> None:
        self.platform.phase = "closing"
        for conn in list(self.platform.live):
            await conn.ws.close(1000, "end of session")

    # -- the host's side ----------------------------------------------------------------------
    def kill(self, moment: str, delay: float) -> bool:
        """A moment to kill the host at (a field of Faults); the dice decide, with --kill-host.
        True when a kill is on its way."""
        now = time.monotonic()
        if not self.settings.kill_host or self.runner.kills >= KILL_LIMIT or now - self.last_kill < KILL_GAP_S:
            return False
        if not self.platform.roll(moment, KILL_CHANCES[moment](self.settings.faults)):
            return False
        self.last_kill = now
        self.platform.log(f"kills the host ({moment})")
        asyncio.get_running_loop().call_later(delay, self.runner.kill)
        return True

    async def supervise(self) -> None:
        """Restarts a killed host; any other exit before the end is a violation."""
        unexpected = 0
        while True:
            code = await self.runner.wait()
            if self.platform.phase == "closing":
                if code != 0 and not self.runner.killed:
                    self.ledger.violation(f"the host exited with status {code} at the end")
                return
            if not self.runner.killed:
                unexpected += 1
                self.ledger.violation(f"the host exited with status {code} before the platform "
                                      "ended the session")
                if unexpected >= UNEXPECTED_EXITS:
                    self.host_gone.set()
                    return
            await self.runner.start()

    async def wait_exit(self, supervisor: asyncio.Task[None]) -> None:
        try:
            await asyncio.wait_for(asyncio.shield(supervisor), EXIT_WAIT_S)
        except TimeoutError:
            self.ledger.violation(f"the host did not exit within {EXIT_WAIT_S:.0f} s of the final close")
            self.runner.kill()

    async def watch_memory(self) -> None:
        """Samples the host's memory from its first connection on (before it, the figure is
        only the interpreter starting)."""
        while True:
            if self.platform.connections:
                self.memory.sample(rss_kb(self.runner.pid))
            await asyncio.sleep(0.5)

    def milestone(self, settled: int) -> None:
        if settled in RSS_MILESTONES:
            kb = rss_kb(self.runner.pid)
            if kb is not None:
                self.memory.at[settled] = kb

    # -- the report ---------------------------------------------------------------------------
    def figures(self) -> dict[str, object]:
        ledger, memory = self.ledger, self.memory
        span = (ledger.last_settled or 0.0) - (ledger.first_post or 0.0)
        figures: dict[str, object] = {
            "seed": self.settings.seed, "messages": len(ledger.inbound), "settled": ledger.settled_count,
            "violations": ledger.violation_count, "reconnects": max(0, self.platform.connections - 1),
            "kills": self.runner.kills, "cut_double_answers": ledger.cut_count,
            "given_up": ledger.given_up, "retryable_failures": ledger.retryable_failures,
            "refused_writes": ledger.refused_writes, "rewrites": ledger.rewrites,
            "msgs_per_s": round(ledger.settled_count / span, 1) if span > 0 else None,
            "p50_ms": rounded(percentile(ledger.latencies_ms, 0.50)),
            "p99_ms": rounded(percentile(ledger.latencies_ms, 0.99)),
            "rss_first_kb": memory.first, "rss_peak_kb": memory.peak, "rss_last_kb": memory.last,
        }
        figures.update({f"rss_{n // 1000}k_kb": kb for n, kb in sorted(memory.at.items())})
        share = module_cpu_share(self.profile) if self.profile.exists() else None
        figures["module_cpu_share"] = rounded(share, 3)
        figures["seconds"] = round(time.monotonic() - self.started, 1)
        return figures

    def report(self) -> list[str]:
        thrown = " ".join(f"{k}={v}" for k, v in sorted(self.platform.thrown.items())) or "none"
        figures = " ".join(f"{k}={'-' if v is None else v}" for k, v in self.figures().items())
        missing = {"--quiet", "--state", "--profile"} - self.flags
        lines = [f"faults: {thrown}", f"figures: {figures}"]
        lines += [f"violation: {v}" for v in self.ledger.violations]
        lines += [f"cut: {c}" for c in self.ledger.cuts]
        if missing:
            lines.append(f"note: the host has no {', '.join(sorted(missing))}; ran without")
        lines.append(f"log: {self.log.path}")
        return lines


def rounded(value: float | None, digits: int = 1) -> float | None:
    return None if value is None else round(value, digits)


# ---------------------------------------------------------------------------------------------


def parse(argv: list[str]) -> Settings:
    parser = argparse.ArgumentParser(prog="python -m quarn_host.simulator --chaos SEED",
                                     description="Chaos mode: the host against a faulty random world.")
    parser.add_argument("--chaos", type=int, required=True, metavar="SEED")
    parser.add_argument("--messages", type=int, default=400, metavar="N")
    parser.add_argument("--seconds", type=float, default=15.0, metavar="S",
                        help="posting spans about this; all must settle within S plus --grace")
    parser.add_argument("--kill-host", action="store_true", help="SIGKILL the host at random moments")
    parser.add_argument("--state", metavar="FILE",
                        help="the host's state file, new (a temporary one with --kill-host)")
    parser.add_argument("--calm", action="store_true", help="no faults: a load run")
    parser.add_argument("--time-scale", type=float, default=0.05,
                        help="the host's time scale: its heartbeats and back-offs, in real seconds")
    parser.add_argument("--grace", type=float, default=15.0, metavar="SECONDS")
    parser.add_argument("--fault", action="append", default=[], metavar="NAME=P",
                        help="override a fault's probability (repeatable)")
    parser.add_argument("--log", metavar="FILE", help="the host's output (default: a temporary file)")
    parser.add_argument("--loud", action="store_true",
                        help="run the host without --quiet: its log shows every decision")
    args = parser.parse_args(argv)
    if args.messages < 1 or args.seconds <= 0 or args.grace < 0:
        parser.error("--messages must be at least 1, --seconds above 0, --grace at least 0")
    if not 0 < args.time_scale <= 100:
        parser.error("--time-scale must be above 0 and at most 100")
    if args.state and Path(args.state).exists():
        parser.error(f"--state {args.state} exists: an earlier run's ids would be taken for this one's")
    try:
        faults = (Faults.none() if args.calm else Faults()).with_overrides(args.fault)
    except ValueError as exc:
        parser.error(str(exc))
    return Settings(args.chaos, args.messages, args.seconds, args.kill_host, args.state, args.calm,
                    args.time_scale, args.grace, faults, args.log, args.loud)


def main(argv: list[str]) -> int:
    settings = parse(argv)
    workdir = Path(tempfile.mkdtemp(prefix="quarn-chaos-"))
    chaos = ChaosRun(settings, workdir, host_flags())
    try:
        asyncio.run(chaos.run())
    except KeyboardInterrupt:
        chaos.runner.kill()
        return 130
    print("\n".join(chaos.report()), flush=True)
    failed = chaos.ledger.violation_count > 0
    if not failed and not settings.log:
        shutil.rmtree(workdir, ignore_errors=True)  # a failed run keeps the host's log
    return 1 if failed else 0
