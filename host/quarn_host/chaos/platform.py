"""The faulty platform: answers the host's pushes, keeps the ledger, and throws the faults that
come with answering."""

from __future__ import annotations

import asyncio
import random
import time
from collections import Counter, deque
from typing import Any, Callable

from websockets.asyncio.server import ServerConnection

from .. import phoenix, simulator
from ..simulator import AGENT_ID
from .checker import Ledger
from .settings import Settings
from .world import USERS, World, message_payload, room_payload


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
            self._settled(room, mid)
        return "ok", {}

    def _settled(self, room: str, mid: str) -> None:
        del self.open[room][mid]
        self.open_count -= 1
        if len(self.recent) == self.recent.maxlen:
            self.bodies.pop(self.recent[0], None)  # no longer delivered again
        self.recent.append(mid)
        self.space.set()


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
