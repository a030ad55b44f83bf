"""Phoenix Channels v2 over a `websockets` connection: the JSON frame and a small client.

A frame is the JSON array `[join_ref, ref, topic, event, payload]`. A push that expects an answer
carries a fresh `ref`; the server answers with a "phx_reply" frame carrying the same `ref` and the
payload `{"status": ..., "response": ...}`. Joins ("phx_join") and leaves ("phx_leave") are pushes
like any other; "phx_error" and "phx_close" arrive unasked for a topic; heartbeats are pushes on
the topic "phoenix".
"""

from __future__ import annotations

import asyncio
import itertools
import json
from typing import Any, Callable, NamedTuple

from websockets.asyncio.connection import Connection
from websockets.exceptions import ConnectionClosed

HEARTBEAT_TOPIC = "phoenix"
JOIN, LEAVE, REPLY, ERROR, CLOSE, HEARTBEAT = (
    "phx_join", "phx_leave", "phx_reply", "phx_error", "phx_close", "heartbeat")


class ProtocolError(ValueError):
    """A text frame that is not a Phoenix v2 frame."""


class Frame(NamedTuple):
    join_ref: str | None
    ref: str | None
    topic: str
    event: str
    payload: Any


class Reply(NamedTuple):
    status: str
    response: Any

    @property
    def ok(self) -> bool:
        return self.status == "ok"


def encode(frame: Frame) -> str:
    return json.dumps(list(frame), separators=(",", ":"))


def decode(text: str | bytes) -> Frame:
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


def reply_of(payload: Any) -> Reply:
    if isinstance(payload, dict) and isinstance(payload.get("status"), str):
        return Reply(payload["status"], payload.get("response"))
    return Reply("error", {"reason": "malformed reply"})


class ChannelClient:
    """One socket's worth of channel traffic. `serve()` reads frames until the socket closes (or
    falls silent for longer than `dead_after` seconds), resolving replies and handing every other
    frame to `on_event`, which must not block. Waits are in real seconds."""

    def __init__(self, ws: Connection, on_event: Callable[[Frame], None],
                 heartbeat_every: float, dead_after: float, reply_timeout: float) -> None:
        self.ws = ws
        self._on_event = on_event
        self._heartbeat_every = heartbeat_every
        self._dead_after = dead_after
        self._reply_timeout = reply_timeout
        self._refs = itertools.count(1)
        self._waiting: dict[str, asyncio.Future[Reply]] = {}
        self._join_refs: dict[str, str] = {}
        self._last_heard = asyncio.get_running_loop().time()
        self.went_silent = False

    async def push(self, topic: str, event: str, payload: Any) -> Reply:
        """Sends one push and waits for its reply; a timeout is an error reply, a closed socket
        raises ConnectionClosed."""
        ref = str(next(self._refs))
        if event == JOIN:
            self._join_refs[topic] = ref
        future: asyncio.Future[Reply] = asyncio.get_running_loop().create_future()
        self._waiting[ref] = future
        try:
            await self.ws.send(encode(Frame(self._join_refs.get(topic), ref, topic, event, payload)))
            return await asyncio.wait_for(future, self._reply_timeout)
        except TimeoutError:
            return Reply("timeout", None)
        finally:
            self._waiting.pop(ref, None)

    async def join(self, topic: str, payload: Any = None) -> Reply:
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
                self._dispatch(decode(text))
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
        if frame.event == REPLY and frame.ref in self._waiting:
            future = self._waiting[frame.ref]
            if not future.done():
                future.set_result(reply_of(frame.payload))
        elif frame.event != REPLY:
            self._on_event(frame)

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
