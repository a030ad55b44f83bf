"""A loopback chat platform for the reference host: Phoenix Channels over `websockets` on
127.0.0.1, playing one scripted scenario.

Besides pushing events, the platform answers the host's own pushes on its channels:
  agent_rooms:<agent>   "list_rooms"          -> {"room_ids": [...]}
  chat_room:<room>      "open_message_ids"    -> {"ids": [...]}       open messages, oldest first
  chat_room:<room>      "next_open_message"   -> {"message": {...} | null}   the oldest open message
                        whose id is not in the push's optional "skip" list (the ids whose outcome
                        the host already holds, so that one unwritten outcome does not hide the rest)
  chat_room:<room>      "new_message"         -> {"id": ...}          then echoes "message_created"
  chat_room:<room>      "mark_processed" / "mark_failed"  terminal-state writes; a refusal is
                        {"status": "error", "response": {"reason": "not_found" | "rejected"}}
A message is open until a processed write, or a failed write that is not retryable, lands. Writing
a settled message's outcome again is answered "ok" and changes nothing.

Run it alone with `python -m quarn_host.simulator --port 4040`; the host starts one
in-process unless given `--url`. `python -m quarn_host.simulator --chaos SEED ...` runs the chaos
mode instead (the chaos package): a random world full of faults against the host as a child process.
"""

from __future__ import annotations

import argparse
import asyncio
import itertools
import sys
from dataclasses import dataclass, field
from http import HTTPStatus
from typing import Any, Callable

from websockets.asyncio.server import Server, ServerConnection, serve
from websockets.datastructures import Headers
from websockets.exceptions import ConnectionClosed
from websockets.http11 import Request, Response

from . import phoenix

AGENT_ID = "agent-7"
LOBBY, SUPPORT, OPS, DESIGN, EXTRA = "r-lobby", "r-support", "r-ops", "r-design", "r-pop-up"
PEOPLE = {"u-ana": "Ana", "u-ben": "Ben", "u-cleo": "Cleo", AGENT_ID: "Agent Seven"}
RETRY_AFTER_S = 2
SUPERSEDE_RETRY_AFTER_S = 3
WAIT_LIMIT_S = 15.0  # real seconds the script waits for the host before giving up on a step


@dataclass
class Message:
    payload: dict[str, Any]
    expect: str | None = None  # "reply", "decline" or "notice" for messages the agent must answer

    @property
    def id(self) -> str:
        return str(self.payload["id"])

    @property
    def room(self) -> str:
        return str(self.payload["chat_room_id"])

    @property
    def from_agent(self) -> bool:
        return bool(self.payload["sender_id"] == AGENT_ID)


@dataclass
class Platform:
    """What the platform knows. Tests read it after a run."""

    time_scale: float = 1.0
    log: Callable[[str], None] = lambda line: None
    rooms: list[str] = field(default_factory=lambda: [LOBBY, SUPPORT, OPS])
    messages: dict[str, Message] = field(default_factory=dict)
    terminal: dict[str, str] = field(default_factory=dict)  # message id -> "processed" | "failed"
    writes: list[tuple[str, str, bool]] = field(default_factory=list)  # (id, kind, accepted)
    repeated_writes: list[str] = field(default_factory=list)  # ids written again after settling
    posts: list[dict[str, Any]] = field(default_factory=list)
    refuse_write_once: set[str] = field(default_factory=set)
    fail_join_once: set[str] = field(default_factory=set)
    upgrade_attempts: int = 0
    connections: int = 0
    topic_history: list[tuple[int, str, str]] = field(default_factory=list)  # (conn, event, topic)
    finished: bool = False
    _stamps: itertools.count[int] = field(default_factory=itertools.count)
    _changed: asyncio.Condition = field(default_factory=asyncio.Condition)

    # -- state -----------------------------------------------------------------------------
    def new_message(self, mid: str, room: str, sender: str, content: str,
                    expect: str | None = None) -> Message:
        stamp = f"2025-01-01T09:{next(self._stamps):02d}:00Z"
        payload: dict[str, Any] = {
            "id": mid, "chat_room_id": room, "content": content, "message_type": "text",
            "sender_id": sender, "sender_type": "Agent" if sender == AGENT_ID else "User",
            "sender_name": PEOPLE.get(sender), "inserted_at": stamp, "updated_at": stamp,
            "metadata": {"mentions": []}, "attachments": [],
        }
        message = self.messages[mid] = Message(payload, expect)
        return message

    def open_messages(self, room: str) -> list[Message]:
        return [m for m in self.messages.values()
                if m.room == room and not m.from_agent and m.id not in self.terminal]

    def answers(self, mid: str) -> int:
        return sum(1 for p in self.posts if p.get("reply_to") == mid)

    async def changed(self) -> None:
        async with self._changed:
            self._changed.notify_all()

    async def wait_for(self, what: str, test: Callable[[], bool]) -> bool:
        try:
            async with asyncio.timeout(WAIT_LIMIT_S):
                async with self._changed:
                    await self._changed.wait_for(test)
            return True
        except TimeoutError:
            self.log(f"scenario gave up waiting for {what}")
            return False

    async def sleep(self, seconds: float) -> None:
        await asyncio.sleep(seconds * self.time_scale)

    # -- pushes from the host --------------------------------------------------------------
    def answer(self, conn: SimConnection, frame: phoenix.Frame) -> tuple[str, Any]:
        topic, event = frame.topic, frame.event
        body = frame.payload if isinstance(frame.payload, dict) else {}
        kind, _, key = topic.partition(":")
        if event == phoenix.HEARTBEAT:
            return "ok", {}
        if event == phoenix.JOIN:
            return self._join(conn, topic, key)
        if event == phoenix.LEAVE:
            conn.joined.discard(topic)
            self.topic_history.append((conn.number, "leave", topic))
            return "ok", {}
        if kind == "agent_rooms" and event == "list_rooms":
            return "ok", {"room_ids": list(self.rooms)}
        if kind == "chat_room" and event == "open_message_ids":
            return "ok", {"ids": [m.id for m in self.open_messages(key)]}
        if kind == "chat_room" and event == "next_open_message":
            skip = body.get("skip") if isinstance(body, dict) else None
            held = {i for i in skip if isinstance(i, str)} if isinstance(skip, list) else set()
            pending = [m for m in self.open_messages(key) if m.id not in held]
            return "ok", {"message": pending[0].payload if pending else None}
        if kind == "chat_room" and event == "new_message":
            return self._post(conn, key, body)
        if kind == "chat_room" and event in ("mark_processed", "mark_failed"):
            return self._terminal_write(event, body)
        return "error", {"reason": f"unknown event {event}"}

    def _join(self, conn: SimConnection, topic: str, key: str) -> tuple[str, Any]:
        if topic in self.fail_join_once:
            self.fail_join_once.discard(topic)
            self.log(f"refusing the join of {topic}")
            return "error", {"reason": "unavailable"}
        conn.joined.add(topic)
        self.topic_history.append((conn.number, "join", topic))
        if topic.startswith("room_participants:"):
            people = sorted({m.payload["sender_id"] for m in self.messages.values() if m.room == key}
                            | {"u-ana", "u-ben"})
            return "ok", {"participants": [
                {"id": p, "name": PEOPLE.get(p), "type": "Agent" if p == AGENT_ID else "User"}
                for p in people]}
        return "ok", {}

    def _post(self, conn: SimConnection, room: str, body: dict[str, Any]) -> tuple[str, Any]:
        mid = f"a-{len(self.posts) + 1}"
        self.posts.append({"id": mid, "room": room, **body})
        echo = self.new_message(mid, room, AGENT_ID, str(body.get("content", "")))
        conn.later(f"chat_room:{room}", "message_created", echo.payload)
        return "ok", {"id": mid}

    def _terminal_write(self, event: str, body: dict[str, Any]) -> tuple[str, Any]:
        mid = str(body.get("message_id"))
        kind = "processed" if event == "mark_processed" else "failed"
        if mid not in self.messages:
            self.writes.append((mid, kind, False))
            return "error", {"reason": "not_found"}
        if mid in self.refuse_write_once:
            self.refuse_write_once.discard(mid)
            self.writes.append((mid, kind, False))
            self.log(f"refusing the {kind} write of {mid} (not_found)")
            return "error", {"reason": "not_found"}
        if self.terminal.get(mid) == kind:
            # The same outcome again: its first reply was lost with a socket. Taken, changing nothing.
            self.repeated_writes.append(mid)
            return "ok", {}
        self.writes.append((mid, kind, True))
        if kind == "processed" or not body.get("retryable"):
            self.terminal[mid] = kind
        return "ok", {}


class SimConnection:
    """One accepted socket: answers pushes and sends events on joined topics."""

    def __init__(self, platform: Platform, ws: ServerConnection, number: int) -> None:
        self.platform = platform
        self.ws = ws
        self.number = number
        self.joined: set[str] = set()
        self.join_refs: dict[str, str | None] = {}
        self._outbox: asyncio.Queue[phoenix.Frame] = asyncio.Queue()
        self._deferred: list[phoenix.Frame] = []

    async def serve(self, script: Callable[[SimConnection], Any]) -> None:
        tasks = [asyncio.create_task(self._writer()), asyncio.create_task(script(self))]
        try:
            async for text in self.ws:
                self.respond(phoenix.decode(text))
                await self.platform.changed()
        except ConnectionClosed:
            pass
        finally:
            for task in tasks:
                task.cancel()
            await asyncio.gather(*tasks, return_exceptions=True)
            await self.platform.changed()

    def respond(self, frame: phoenix.Frame) -> None:
        """Queues the reply to one push, then the events that must follow it."""
        status, response = self.platform.answer(self, frame)
        if frame.event == phoenix.JOIN:
            self.join_refs[frame.topic] = frame.ref
        self._outbox.put_nowait(phoenix.Frame(
            frame.join_ref, frame.ref, frame.topic, phoenix.REPLY,
            {"status": status, "response": response}))
        if frame.event == phoenix.LEAVE:
            self._outbox.put_nowait(phoenix.Frame(
                frame.join_ref, None, frame.topic, phoenix.CLOSE, {}))
        for deferred in self._deferred:
            self._outbox.put_nowait(deferred)
        self._deferred.clear()

    def later(self, topic: str, event: str, payload: Any) -> None:
        """Queues an event for a joined topic, to follow the reply now being written."""
        if topic in self.joined:
            self._deferred.append(phoenix.Frame(self.join_refs.get(topic), None, topic, event, payload))

    async def send(self, topic: str, event: str, payload: Any) -> None:
        """Sends an event on a joined topic; events for other topics are not delivered."""
        if topic in self.joined:
            await self._outbox.put(phoenix.Frame(self.join_refs.get(topic), None, topic, event, payload))
        await asyncio.sleep(0)

    async def deliver(self, message: Message) -> None:
        self.platform.log(f"delivers {message.id} to {message.room}: {message.payload['content']!r}")
        await self.send(f"chat_room:{message.room}", "message_created", message.payload)

    def has_joined(self, *topics: str) -> Callable[[], bool]:
        return lambda: all(t in self.joined for t in topics)

    async def _writer(self) -> None:
        while True:
            frame = await self._outbox.get()
            await self.ws.send(phoenix.encode(frame))


# ---------------------------------------------------------------------------------------------
# The scenario: one script per accepted connection.


def room_topics(*rooms: str) -> list[str]:
    return [f"{kind}:{room}" for room in rooms for kind in ("chat_room", "room_participants")]


AGENT_TOPICS = [f"{kind}:{AGENT_ID}" for kind in ("agent_control", "agent_rooms", "agent_contacts")]


def control(mode: str, room: str) -> dict[str, Any]:
    return {"mode": mode, "scope": "room", "agent_id": AGENT_ID, "room_id": room,
            "correlation_id": f"ctl-{mode}", "execution_id": None, "reason": "operator"}


async def first_connection(conn: SimConnection) -> None:
    """Messages in three rooms: a reply, a decline, a duplicate, a failure that is retried, a
    turn without a reply, a redelivery after completion and a stop/play of one room."""
    p = conn.platform
    if not await p.wait_for("the first joins", conn.has_joined(*AGENT_TOPICS, *room_topics(LOBBY, SUPPORT, OPS))):
        return
    await conn.send(f"room_participants:{LOBBY}", "participant_added",
                    {"id": "u-cleo", "type": "User", "name": "Cleo", "handle": "cleo"})
    script = [
        p.new_message("m1", LOBBY, "u-ana", "Hello! What can you do?", "reply"),
        p.new_message("m2", SUPPORT, "u-ben", "FYI the deploy went out, no reply needed.", "decline"),
        p.new_message("m3", OPS, "u-ana", "Could you summarise the incident?", "reply"),
        p.new_message("m4", OPS, "u-ben", "Please answer this one (fail once).", "reply"),
        p.new_message("m5", LOBBY, "u-ben", "Just think about it silently.", "notice"),
    ]
    for message in script:
        await conn.deliver(message)
        if message.id == "m3":
            p.log("delivers m3 again (duplicate delivery)")
            await conn.deliver(message)
    await p.wait_for("m1..m5 to be settled", lambda: all(m.id in p.terminal for m in script))
    p.log("redelivers m1 after it was settled")
    await conn.deliver(script[0])
    await conn.send(f"agent_control:{AGENT_ID}", "agent.control", control("stop", LOBBY))
    await conn.deliver(p.new_message("m9", LOBBY, "u-ana", "Are you there?", "reply"))
    await p.sleep(1)
    await conn.send(f"agent_control:{AGENT_ID}", "agent.control", control("play", LOBBY))
    await p.wait_for("m9 to be settled", lambda: "m9" in p.terminal)
    await p.sleep(12)  # long enough that this drop is not a rapid one
    p.log("restarts (close 1012)")
    await conn.ws.close(1012, "service restart")


async def second_connection(conn: SimConnection) -> None:
    """Drops without a close frame soon after connecting; messages (one that fails once, with
    another behind it in its room) and a room change arrive while the agent is away."""
    p = conn.platform
    await p.wait_for("the second joins", conn.has_joined(*AGENT_TOPICS, *room_topics(LOBBY, SUPPORT, OPS)))
    await p.sleep(1)
    p.log("drops the connection abruptly")
    p.new_message("m6", LOBBY, "u-ana", "While you were away: the build is green again.", "reply")
    p.new_message("m11", SUPPORT, "u-ana", "While you were away (fail once): check the logs?", "reply")
    p.new_message("m12", SUPPORT, "u-ben", "And one more thing while you were away.", "reply")
    p.rooms = [LOBBY, SUPPORT, DESIGN]
    p.fail_join_once.add(f"room_participants:{DESIGN}")
    conn.ws.transport.abort()


async def third_connection(conn: SimConnection) -> None:
    """r-ops is gone and r-design is new: its first join fails and a later one succeeds; a refused
    write, written again later; a supersede."""
    p = conn.platform
    await p.wait_for("the third joins", conn.has_joined(*room_topics(LOBBY, SUPPORT)))
    await p.wait_for("m6, m11 and m12 to be drained", lambda: {"m6", "m11", "m12"} <= set(p.terminal))
    m7 = p.new_message("m7", SUPPORT, "u-ben", "Can you check invoice 42?", "reply")
    p.refuse_write_once.add("m7")
    await conn.deliver(m7)
    await p.wait_for("the refused write of m7", lambda: ("m7", "processed", False) in p.writes)
    await p.wait_for("r-design after its refused join", conn.has_joined(*room_topics(DESIGN)))
    await p.wait_for("the parked write of m7", lambda: "m7" in p.terminal)
    p.log(f"supersedes this connection (retryable, retry after {SUPERSEDE_RETRY_AFTER_S} s)")
    await conn.send(f"agent_control:{AGENT_ID}", "supersede", {
        "reason": "session_replaced", "message": "Another session of this agent connected.",
        "target_socket_id": None, "correlation_id": None, "retryable": True,
        "retry_after": SUPERSEDE_RETRY_AFTER_S})
    await p.sleep(30)
    await conn.ws.close(1000, "superseded")


async def last_connection(conn: SimConnection) -> None:
    """r-design is joined again, a room comes and goes while connected, then a normal close."""
    p = conn.platform
    await p.wait_for("r-design", conn.has_joined(*room_topics(DESIGN)))
    m8 = p.new_message("m8", DESIGN, "u-ana", "Welcome to the design room!", "reply")
    await conn.deliver(m8)
    await p.wait_for("m8 to be settled", lambda: "m8" in p.terminal)
    p.rooms.append(EXTRA)
    room = {"id": EXTRA, "title": "Pop-up", "task_id": None,
            "inserted_at": "2025-01-01T10:00:00Z", "updated_at": "2025-01-01T10:00:00Z"}
    p.log(f"adds the room {EXTRA}")
    await conn.send(f"agent_rooms:{AGENT_ID}", "room_added", room)
    await p.wait_for(EXTRA, conn.has_joined(*room_topics(EXTRA)))
    await conn.deliver(p.new_message("m10", EXTRA, "u-ben", "One question before this room goes.", "reply"))
    await p.wait_for("m10 to be settled", lambda: "m10" in p.terminal)
    p.rooms.remove(EXTRA)
    p.log(f"deletes the room {EXTRA}")
    await conn.send(f"agent_rooms:{AGENT_ID}", "room_deleted", {"id": EXTRA})
    await p.wait_for(f"{EXTRA} to be left", lambda: not set(room_topics(EXTRA)) & conn.joined)
    await p.sleep(1)
    p.log("closes normally (1000)")
    p.finished = True
    await conn.ws.close(1000, "goodbye")


SCRIPTS = [first_connection, second_connection, third_connection, last_connection]


# ---------------------------------------------------------------------------------------------
# The server


async def start(platform: Platform, port: int = 0) -> tuple[Server, str]:
    """Starts the platform on 127.0.0.1; returns the server and the URL the host should use."""

    def refuse_first_upgrade(ws: ServerConnection, request: Request) -> Response | None:
        platform.upgrade_attempts += 1
        if platform.upgrade_attempts > 1:
            return None
        platform.log(f"refuses the first upgrade: 429, Retry-After {RETRY_AFTER_S}")
        return too_many_requests(RETRY_AFTER_S)

    async def accept(ws: ServerConnection) -> None:
        platform.connections += 1
        number = platform.connections
        script = SCRIPTS[number - 1] if number <= len(SCRIPTS) else _close_at_once
        await SimConnection(platform, ws, number).serve(script)

    server = await serve(accept, "127.0.0.1", port, process_request=refuse_first_upgrade,
                         ping_interval=None)
    return server, url_of(server)


def too_many_requests(retry_after_s: int) -> Response:
    """The refusal of an upgrade: HTTP 429 with a Retry-After in seconds."""
    headers = Headers({"Retry-After": str(retry_after_s), "Content-Type": "text/plain"})
    body = b"Too many connection attempts\n"
    headers["Content-Length"] = str(len(body))
    return Response(HTTPStatus.TOO_MANY_REQUESTS, "Too Many Requests", headers, body)


def url_of(server: Server) -> str:
    """The URL a host connects to for a server listening on 127.0.0.1."""
    bound = next(iter(server.sockets)).getsockname()[1]
    return f"ws://127.0.0.1:{bound}/socket/websocket?vsn=2.0.0&agent_id={AGENT_ID}"


async def _close_at_once(conn: SimConnection) -> None:
    await conn.ws.close(1000, "scenario over")


async def serve_scenario(port: int, time_scale: float) -> None:
    platform = Platform(time_scale=time_scale, log=lambda line: print(f"platform {line}", flush=True))
    server, url = await start(platform, port)
    print(f"platform listening: {url}", flush=True)
    async with server:
        await server.serve_forever()


def main(argv: list[str] | None = None) -> int:
    """Serves the scripted scenario; with --chaos, runs the chaos mode and its checker."""
    args = sys.argv[1:] if argv is None else argv
    if any(a == "--chaos" or a.startswith("--chaos=") for a in args):
        from . import chaos  # only that mode needs it

        return chaos.main(args)
    parser = argparse.ArgumentParser(description=(__doc__ or "").split("\n")[0],
                                     epilog="--chaos SEED runs the chaos mode (see --chaos 0 --help)")
    parser.add_argument("--port", type=int, default=4040)
    parser.add_argument("--time-scale", type=float, default=1.0)
    parsed = parser.parse_args(args)
    try:
        asyncio.run(serve_scenario(parsed.port, parsed.time_scale))
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
