"""The reference agent host: one agent on a chat platform over a Phoenix Channels WebSocket, with
every decision taken by quarn_sdk_core.

A connection goes: Session.begin_attempt -> connect -> on_upgrade_rejected / on_connected ->
join the agent topics -> RoomRoster.reconcile against the platform's room list -> join the two
topics of each room under SubscriptionTracker tickets -> drain and serve messages (delivery.py)
-> on_socket_close / on_supersede -> wait the outcome's delay -> again, until the session is dead.

Everything the host keeps per room goes when the room goes; what must survive a crash of the host
goes to the state file when one is given (state.py).
"""

from __future__ import annotations

import asyncio
import random
from typing import TYPE_CHECKING, TextIO

from websockets.asyncio.client import connect
from websockets.exceptions import InvalidHandshake, InvalidStatus

import quarn_sdk_core as q

from . import phoenix
from .agent import Agent, ToyAgent
from .connection import Connection
from .delivery import Inbound
from .journal import Core, Journal
from .phoenix import JSON
from .report import Clock, Reporter, Stats
from .state import StateStore

if TYPE_CHECKING:
    from .delivery import Settlement
    from .simulator import Platform

OPEN_TIMEOUT_S = 10.0  # real seconds for the TCP connect and the HTTP upgrade


class Host:
    """Owns the module's objects for one agent and runs connections until the session is dead."""

    def __init__(self, core: Core, agent: Agent, agent_id: str, url: str, reporter: Reporter,
                 retry_budget: int = 2, state: StateStore | None = None) -> None:
        self.core = core
        self.agent = agent
        self.agent_id = agent_id
        self.url = url
        self.reporter = reporter
        self.clock = reporter.clock
        self.policy = core.default_policy()
        self.session = core.Session(self.policy)
        self.tracker = core.SubscriptionTracker()
        self.rooms = core.RoomRoster()
        self.claims = core.ClaimRegistry()
        self.retries = core.RetryTracker(max_retries=retry_budget)
        self.state = state
        self.tool_effects: dict[str, q.TurnEffect] = core.quarn_tool_effects()
        self.no_reply_tool_name: str = core.no_reply_tool()["name"]
        self.rosters: dict[str, q.ParticipantRoster] = {}  # rooms served, while they stay
        self._paused: dict[str, asyncio.Event] = {}  # rooms an agent.control "stop" paused
        self._open = asyncio.Event()
        self._open.set()
        self.connection: Connection | None = None
        self.connections = 0
        self.last_close = ""  # why the last attempt ended, for the summary
        self.stopping = False
        if state is not None:
            restored = state.restore(self.claims, self.retries)
            self.say("restored", f"from the state file: {restored}")

    @property
    def stats(self) -> Stats:
        return self.reporter.stats

    def say(self, tag: str, text: str) -> None:
        self.reporter.line(tag, text)

    def gate(self, room: str) -> asyncio.Event:
        """Set unless an agent.control "stop" paused the room."""
        return self._paused.get(room, self._open)

    def pause(self, room: str, paused: bool) -> None:
        if paused and room not in self._paused:
            self._paused[room] = asyncio.Event()
        elif not paused and room in self._paused:
            self._paused.pop(room).set()

    def forget_room(self, room: str) -> None:
        """The room is no longer the agent's: what was kept for it goes. Unwritten outcomes stay,
        since they are owed to the platform whatever becomes of the room."""
        self.rosters.pop(room, None)
        self.pause(room, False)
        self.claims.discard_completed(room)
        if self.state is not None:
            self.state.forget_room(room)

    # -- what a crash must not lose ---------------------------------------------------------
    def remember_attempt(self, message_id: str, attempts: int) -> None:
        if self.state is not None:
            self.state.attempt(message_id, attempts)

    def remember_settlement(self, room: str, message_id: str, settlement: Settlement) -> None:
        if self.state is not None:
            self.state.settled(room, message_id, settlement)

    def remember_parked(self, room: str, message_id: str, reason: q.ParkedReason) -> None:
        if self.state is not None:
            self.state.parked(room, message_id, reason)

    def forget_parked(self, room: str) -> None:
        if self.state is not None:
            self.state.unparked(room)

    def confirmed(self, room: str, message_id: str, retry: bool) -> None:
        if self.state is not None and not retry:
            self.state.confirmed(room, message_id)

    # -- the connection loop ----------------------------------------------------------------
    async def run(self) -> None:
        try:
            while not self.stopping and (epoch := self.session.begin_attempt(self.clock.now())) is not None:
                outcome = await self.attempt(epoch)
                if self.stopped():
                    break
                if outcome.stale_reason is not None:
                    self.say("stale", f"report ignored ({outcome.stale_reason})")
                    continue
                if outcome.state == q.SessionState.Dead:
                    self.stats.end = f"dead ({outcome.dead_reason})"
                    self.say("dead", f"the session is over: {outcome.dead_reason}")
                    break
                delay = outcome.retry_after_s or 0.0
                self.stats.reconnected(self.last_close, delay)
                self.say("backoff", f"{outcome.state}; next attempt in {delay:.2f} s")
                await self.clock.sleep(delay)
        finally:
            if self.session.state != q.SessionState.Dead:
                self.session.end()
                self.stats.end = "ended by the host"
            self.tracker.end_session()

    def stopped(self) -> bool:
        """Whether `stop` was called (a method, so that a check after an await reads it afresh)."""
        return self.stopping

    async def stop(self) -> None:
        """Ends the session from the host's side: the open socket is closed (1001) and no new
        attempt is made."""
        self.stopping = True
        if self.connection is not None:
            await self.connection.client.ws.close(1001, "going away")

    async def attempt(self, epoch: int) -> q.SessionOutcome:
        self.say("attempt", f"#{epoch}")
        try:
            ws = await connect(self.url, open_timeout=OPEN_TIMEOUT_S, ping_interval=None,
                               max_size=phoenix.SOCKET_MAX_BYTES)
        except InvalidStatus as exc:
            status = exc.response.status_code
            retry_after = retry_after_seconds(exc.response.headers.get("Retry-After"))
            self.last_close = f"HTTP {status}"
            self.say("refused", f"HTTP {status}, Retry-After {retry_after}")
            return self.session.on_upgrade_rejected(epoch, self.clock.now(), status, retry_after,
                                                    random.random())
        except (OSError, TimeoutError, InvalidHandshake) as exc:
            self.last_close = "no connection"
            self.say("failed", f"cannot connect: {exc}")
            return self.session.on_socket_close(epoch, self.clock.now(), None, random.random())
        up = self.session.on_connected(epoch, self.clock.now())
        self.say("connected", f"#{epoch}: {up.state}")
        self.connections += 1
        self.connection = Connection(self, ws, reconnect=self.connections > 1)
        try:
            code = await self.connection.run()
        finally:
            superseded, self.connection = self.connection.superseded, None
        closed = self.session.on_socket_close(epoch, self.clock.now(), code, random.random())
        self.last_close = "superseded" if superseded else f"close {code}"
        self.say("closed", f"#{epoch}: close code {code}")
        return superseded or closed

    # -- routing ----------------------------------------------------------------------------
    def route_event(self, event: str, room: str | None, payload: JSON) -> Inbound | None:
        """Asks the module what an event means; returns the message when the agent must run. An
        invalid payload is reported and skipped; anything else the module raises is a host bug
        and propagates."""
        try:
            decision = self.core.evaluate_delivery_event(event, room, payload, self.agent_id)
        except ValueError as exc:
            self.say("invalid", f"{event} in {room}: {exc}")
            return None
        if decision["decision"] == "invocation" and isinstance(payload, dict):
            self.stats.messages_seen += 1
            self.say("message", f"{decision['room_id']}/{decision['message_id']} from "
                     f"{decision['sender_id']}: invocation")
            return Inbound(decision["message_id"], payload)
        if decision["decision"] == "skip_self":
            self.stats.self_echoes += 1
            self.say("echo", f"{decision['room_id']}/{decision['message_id']}: own message, skipped")
        elif decision["decision"] == "cleanup" and self.connection is not None:
            conn = self.connection
            conn.spawn(conn.drop_room(decision["room_id"]), "drop room")
        return None


def retry_after_seconds(value: str | None) -> float | None:
    try:
        seconds = float(value) if value is not None else None
    except ValueError:
        return None  # an HTTP date: let the policy's back-off decide
    return seconds if seconds is not None and 0 <= seconds < float("inf") else None


# ---------------------------------------------------------------------------------------------


async def run(time_scale: float = 1.0, url: str | None = None, agent_id: str | None = None,
              journal_path: str | None = None, out: TextIO | None = None, quiet: bool = False,
              state_path: str | None = None, agent: Agent | None = None,
              interrupt: asyncio.Event | None = None) -> tuple[Host, Platform | None]:
    """Runs the host until its session is dead, or until `interrupt` is set; without `url`,
    against a simulator of its own. Returns the host and the simulator for inspection. A state
    file that cannot be used raises StateError before anything starts."""
    reporter = Reporter(Clock(time_scale), out, quiet)
    state = StateStore.open(state_path, q.ClaimRegistry().max_completed) if state_path else None
    journal = Journal(open(journal_path, "w", encoding="utf-8")) if journal_path else None
    # Imported here, so that `python -m quarn_host.simulator` runs a module not yet imported.
    from . import simulator

    platform, server = None, None
    if url is None:
        platform = simulator.Platform(time_scale=time_scale,
                                      log=lambda line: reporter.line("platform", line))
        server, url = await simulator.start(platform)
    host = Host(Core(journal), agent or ToyAgent(), agent_id or simulator.AGENT_ID, url, reporter, state=state)
    watcher = asyncio.create_task(_stop_on(interrupt, host)) if interrupt is not None else None
    try:
        await host.run()
    finally:
        if watcher is not None:
            watcher.cancel()
        if server is not None:
            server.close()
            await server.wait_closed()
        if journal is not None:
            journal.close()
        if state is not None:
            state.close()
        reporter.summary()
        if journal is not None:
            reporter.out.write(f"  journal: {journal.calls} module calls in {journal_path}\n")
    return host, platform


async def _stop_on(interrupt: asyncio.Event, host: Host) -> None:
    await interrupt.wait()
    await host.stop()
