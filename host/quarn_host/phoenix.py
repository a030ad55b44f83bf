"""Phoenix Channels v2 over a `websockets` connection: the JSON frame and a small client.

A frame is the JSON array `[join_ref, ref, topic, event, payload]`. A push that expects an answer
carries a fresh `ref`; the server answers with a "phx_reply" frame carrying the same `ref` and the
payload `{"status": ..., "response": ...}`. Joins ("phx_join") and leaves ("phx_leave") are pushes
like any other; "phx_error" and "phx_close" arrive unasked for a topic; heartbeats are pushes on
the topic "phoenix".

The platform is not trusted: a frame that is not a Phoenix frame, one above `MAX_FRAME_BYTES`, or a
reply to a push that was never made is reported and skipped, and the socket goes on.
"""

from __future__ import annotations

import asyncio
import itertools
import json
from typing import Callable, NamedTuple, TypeAlias

from websockets.asyncio.connection import Connection
from websockets.exceptions import ConnectionClosed

JSON: TypeAlias = "None | bool | int | float | str | list[JSON] | dict[str, JSON]"

HEARTBEAT_TOPIC = "phoenix"
MAX_FRAME_BYTES = 1 << 20  # larger frames are skipped unread
SOCKET_MAX_BYTES = 64 << 20  # the WebSocket layer closes the socket (1009) above this
JOIN, LEAVE, REPLY, ERROR, CLOSE, HEARTBEAT = (
    "phx_join", "phx_leave", "phx_reply", "phx_error", "phx_close", "heartbeat")


class ProtocolError(ValueError):
    """A text frame that is not a Phoenix v2 frame."""


class Frame(NamedTuple):
    join_ref: str | None
    ref: str | None
    topic: str
    event: str
    payload: JSON  # as received; what the host sends may be any value json.dumps takes


class Reply(NamedTuple):
    status: str
    response: JSON

    @property
    def ok(self) -> bool:
        return self.status == "ok"


def encode(frame: Frame) -> str:
    return encode_push(*frame)


def encode_push(join_ref: str | None, ref: str | None, topic: str, event: str, payload: object) -> str:
    return json.dumps([join_ref, ref, topic, event, payload], separators=(",", ":"))


def decode(text: str | bytes) -> Frame:
    if len(text) > MAX_FRAME_BYTES:
        raise ProtocolError(f"frame of {len(text)} bytes is above the limit of {MAX_FRAME_BYTES}")
    try:
        items = json.loads(text)
    except ValueError as exc:
        raise ProtocolError(f"frame is not JSON: {exc}") from None
    if not isinstance(items, list) or len(items) != 5:
        raise ProtocolError("frame must be an array of five elements")
    join_ref, ref, topic, event, payload = items
    for name, value in (("join_ref", join_ref), ("ref", ref)):
        if value is not None and not isinstance(value, str):
            raise ProtocolError(f"frame {name} must be a string or null")
    if not isinstance(topic, str) or not isinstance(event, str):
        raise ProtocolError("frame topic and event must be strings")
    return Frame(join_ref, ref, topic, event, payload)


def reply_of(payload: JSON) -> Reply:
    status = payload.get("status") if isinstance(payload, dict) else None
    if isinstance(payload, dict) and isinstance(status, str):
        return Reply(status, payload.get("response"))
    return Reply("error", {"reason": "malformed reply"})


class ChannelClient:
    """One socket's worth of channel traffic. `serve()` reads frames until the socket closes (or
    falls silent for longer than `dead_after` seconds), resolving replies and handing every other
    frame to `on_event`, which must not block. Waits are in real seconds."""

    def __init__(self, ws: Connection, on_event: Callable[[Frame], None],
                 heartbeat_every: float, dead_after: float, reply_timeout: float,
                 on_problem: Callable[[str], None] = lambda text: None) -> None:
        self.ws = ws
        self._on_event = on_event
        self._on_problem = on_problem
        self._heartbeat_every = heartbeat_every
        self._dead_after = dead_after
        self._reply_timeout = reply_timeout
        self._refs = itertools.count(1)
        self._waiting: dict[str, asyncio.Future[Reply]] = {}
        self._join_refs: dict[str, str] = {}
        self._last_heard = asyncio.get_running_loop().time()
        self.went_silent = False

    async def push(self, topic: str, event: str, payload: object) -> Reply:
        """Sends one push and waits for its reply; a timeout is an error reply, a closed socket
        raises ConnectionClosed."""
        ref = str(next(self._refs))
        if event == JOIN:
            self._join_refs[topic] = ref
        future: asyncio.Future[Reply] = asyncio.get_running_loop().create_future()
        self._waiting[ref] = future
        try:
            await self.ws.send(encode_push(self._join_refs.get(topic), ref, topic, event, payload))
            return await asyncio.wait_for(future, self._reply_timeout)
        except TimeoutError:
            return Reply("timeout", None)
        finally:
            self._waiting.pop(ref, None)

    async def join(self, topic: str, payload: JSON = None) -> Reply:
        return await self.push(topic, JOIN, payload or {})

    async def leave(self, topic: str) -> Reply:
        reply = await self.push(topic, LEAVE, {})
        self._join_refs.pop(topic, None)
        return reply

    async def serve(self) -> int | None:
        """Runs until the socket is closed; returns the close code received, None for none."""
        heartbeat = asyncio.create_task(self._heartbeat(), name="phoenix-heartbeat")
        try:
            async for text in self.ws:
                self._last_heard = asyncio.get_running_loop().time()
                try:
                    frame = decode(text)
                except ProtocolError as exc:
                    self._on_problem(f"frame skipped: {exc}")
                    continue
                self._dispatch(frame)
        except ConnectionClosed:
            pass
        finally:
            heartbeat.cancel()
            await asyncio.gather(heartbeat, return_exceptions=True)
            for future in self._waiting.values():
                future.cancel()
        received = self.ws.protocol.close_rcvd
        return None if received is None or self.went_silent else received.code

    def _dispatch(self, frame: Frame) -> None:
        if frame.event != REPLY:
            self._on_event(frame)
            return
        future = self._waiting.get(frame.ref) if frame.ref is not None else None
        if future is not None and not future.done():
            future.set_result(reply_of(frame.payload))
        elif frame.topic != HEARTBEAT_TOPIC:
            self._on_problem(f"reply skipped: no push {frame.ref!r} is waiting on {frame.topic}")

    async def _heartbeat(self) -> None:
        loop = asyncio.get_running_loop()
        next_beat = loop.time() + self._heartbeat_every
        while True:
            await asyncio.sleep(min(self._heartbeat_every, self._dead_after) / 4)
            now = loop.time()
            if now - self._last_heard > self._dead_after:
                # Silence past the threshold: the socket is dead whatever TCP says.
                self.went_silent = True
                self.ws.transport.abort()
                return
            if now >= next_beat:
                next_beat = now + self._heartbeat_every
                # The reply only matters as traffic: it moves `_last_heard`.
                beat = Frame(None, str(next(self._refs)), HEARTBEAT_TOPIC, HEARTBEAT, {})
                await self._send_quietly(encode(beat))

    async def _send_quietly(self, text: str) -> None:
        try:
            await self.ws.send(text)
        except ConnectionClosed:
            pass
