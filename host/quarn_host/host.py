"""The reference agent host: one agent on a chat platform over a Phoenix Channels WebSocket, with
every decision taken by quarn_sdk_core.

    python examples/host.py                       # against the built-in platform simulator
    python examples/host.py --time-scale 0.1      # the same, every wait ten times shorter
    python examples/host.py --journal run.jsonl   # and record every module call
    python examples/host.py --url wss://... --agent-id ...   # against a real platform

A connection goes: Session.begin_attempt -> connect -> on_upgrade_rejected / on_connected ->
join the agent topics -> RoomRoster.reconcile against the platform's room list -> join the two
topics of each room under SubscriptionTracker tickets -> drain and serve messages (delivery.py)
-> on_socket_close / on_supersede -> wait the outcome's delay -> again, until the session is dead.
"""

from __future__ import annotations

import argparse
import asyncio
import random
import sys
import traceback
from typing import Any, Coroutine, TextIO

import quarn_sdk_core as q

from websockets.asyncio.client import ClientConnection, connect
from websockets.exceptions import ConnectionClosed, InvalidHandshake, InvalidStatus

from . import phoenix
from . import simulator
from .agent import ToyAgent
from .delivery import RoomWorker
from .journal import Core, Journal
from .report import Clock, Reporter, Stats

OPEN_TIMEOUT_S = 10.0  # real seconds for the TCP connect and the HTTP upgrade


class Host:
    """Owns the module's objects for one agent and runs connections until the session is dead."""

    def __init__(self, core: Any, agent: ToyAgent, agent_id: str, url: str,
                 reporter: Reporter, retry_budget: int = 2) -> None:
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
        self.tool_effects: dict[str, Any] = core.quarn_tool_effects()
        self.no_reply_tool_name: str = core.no_reply_tool()["name"]
        self._rosters: dict[str, Any] = {}
        self._gates: dict[str, asyncio.Event] = {}
        self.connection: Connection | None = None
        self.connections = 0
        self.last_close = ""  # why the last attempt ended, for the summary

    @property
    def stats(self) -> Stats:
        return self.reporter.stats

    def say(self, tag: str, text: str) -> None:
        self.reporter.line(tag, text)

    def participants(self, room: str) -> Any:
        if room not in self._rosters:
            self._rosters[room] = self.core.ParticipantRoster()
        return self._rosters[room]

    def gate(self, room: str) -> asyncio.Event:
        """Open unless an agent.control "stop" paused the room."""
        if room not in self._gates:
            self._gates[room] = asyncio.Event()
            self._gates[room].set()
        return self._gates[room]

    # -- the connection loop ----------------------------------------------------------------
    async def run(self) -> None:
        try:
            while (epoch := self.session.begin_attempt(self.clock.now())) is not None:
                outcome = await self.attempt(epoch)
                if outcome.stale_reason is not None:
                    self.say("stale", f"report ignored ({outcome.stale_reason})")
                    continue
                if outcome.state == q.SessionState.Dead:
                    self.stats.end = f"dead ({outcome.dead_reason})"
                    self.say("dead", f"the session is over: {outcome.dead_reason}")
                    break
                delay = outcome.retry_after_s
                self.stats.reconnects.append((self.last_close, delay))
                self.say("backoff", f"{outcome.state}; next attempt in {delay:.2f} s")
                await self.clock.sleep(delay)
        finally:
            if self.session.state != q.SessionState.Dead:
                self.session.end()
                self.stats.end = "ended by the host"
            self.tracker.end_session()

    async def attempt(self, epoch: int) -> Any:
        self.say("attempt", f"#{epoch}")
        try:
            ws = await connect(self.url, open_timeout=OPEN_TIMEOUT_S, ping_interval=None)
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
    def route_event(self, event: str, room: str | None, payload: Any) -> dict[str, Any] | None:
        """Asks the module what an event means; returns the decision when the agent must run."""
        try:
            decision: dict[str, Any] = self.core.evaluate_delivery_event(event, room, payload, self.agent_id)
        except (ValueError, TypeError) as exc:
            self.say("invalid", f"{event} in {room}: {exc}")
            return None
        kind = decision["decision"]
        if kind == "invocation":
            self.stats.messages_seen.add(f"{decision['room_id']}/{decision['message_id']}")
            self.say("message", f"{decision['room_id']}/{decision['message_id']} from "
                     f"{decision['sender_id']}: invocation")
            return decision
        if kind == "skip_self":
            self.stats.self_echoes += 1
            self.say("echo", f"{decision['room_id']}/{decision['message_id']}: own message, skipped")
        elif kind == "cleanup" and self.connection is not None:
            self.connection.spawn(self.connection.drop_room(decision["room_id"]), "drop room")
        return None


class Connection:
    """One open socket: its channel client, its room workers and every task it started."""

    def __init__(self, host: Host, ws: ClientConnection, reconnect: bool) -> None:
        self.host = host
        self.core = host.core
        self.reconnect = reconnect
        policy = host.policy
        self.client = phoenix.ChannelClient(
            ws, self.on_frame, heartbeat_every=host.clock.real(policy.heartbeat_interval_s),
            dead_after=host.clock.real(policy.dead_threshold_s),
            reply_timeout=host.clock.real(policy.dead_threshold_s))
        self.tasks: set[asyncio.Task[Any]] = set()
        self.workers: dict[str, RoomWorker] = {}
        self.superseded: Any = None

    def spawn(self, coro: Coroutine[Any, Any, Any], name: str) -> asyncio.Task[Any]:
        task = asyncio.create_task(coro, name=name)
        self.tasks.add(task)
        task.add_done_callback(self._finished)
        return task

    def _finished(self, task: asyncio.Task[Any]) -> None:
        self.tasks.discard(task)
        error = None if task.cancelled() else task.exception()
        if error is None or isinstance(error, ConnectionClosed):
            return  # a task cut short by the socket closing has nothing to report
        self.host.stats.errors += 1
        self.host.say("error", f"{task.get_name()}: {error!r}")
        traceback.print_exception(error, file=sys.stderr)

    async def run(self) -> int | None:
        """Serves the socket until it closes; returns the close code received (None for none)."""
        self.spawn(self.set_up(), "set-up")
        try:
            return await self.client.serve()
        finally:
            for task in list(self.tasks):
                task.cancel()
            await asyncio.gather(*self.tasks, return_exceptions=True)
            await self.client.ws.close(1001, "going away")

    # -- joining ----------------------------------------------------------------------------
    async def set_up(self) -> None:
        host, core = self.host, self.core
        if self.reconnect:
            host.tracker.on_reconnected()
        for kind in (q.AgentTopicKind.Control, q.AgentTopicKind.Rooms, q.AgentTopicKind.Contacts):
            await self.join_agent_topic(kind.topic(host.agent_id))
        reply = await self.client.push(q.AgentTopicKind.Rooms.topic(host.agent_id), "list_rooms", {})
        if not reply.ok:
            host.say("rooms", f"no room list ({reply.status}); staying in no room")
            return
        plan = host.rooms.reconcile(list(reply.response.get("room_ids", [])))
        host.say("rooms", f"admit {[room for room, _ in plan.admitting]}, resync {plan.resync}, "
                 f"removed {plan.removed}")
        for room in plan.removed:
            self.forget_room(room)
        rejoin = dict(host.tracker.room_rejoin_candidates())
        for room in plan.resync:
            await self.rejoin_room(room, rejoin.get(room))
        for room, admission in plan.admitting:
            await self.admit_room(room, admission)

    async def join_agent_topic(self, topic: str) -> None:
        tracker, statuses = self.host.tracker, q.AgentTopicStatus
        if tracker.agent_topic_status(topic) == statuses.Joined:
            ticket = dict(tracker.agent_topic_rejoin_candidates())[topic]
            if (await self.client.join(topic)).ok:
                self.host.say("rejoined", topic)
                return
            tracker.mark_agent_topic_rejoin_failed(topic, ticket)
        if tracker.agent_topic_status(topic) == statuses.NeedsReconciliation:
            tracker.acknowledge_agent_topic_reconciled(topic)  # a fresh socket holds no topic
        ticket = tracker.begin_agent_topic_join(topic)
        if ticket is None:
            return
        reply = await self.client.join(topic)
        if reply.status == "timeout":
            tracker.record_agent_topic_join_ambiguous(topic, ticket)
        elif tracker.record_agent_topic_join(topic, ticket, reply.ok):
            self.host.say("joined", topic)
        else:
            self.host.say("join", f"{topic} refused: {reply.response}")

    async def admit_room(self, room: str, admission: int) -> None:
        host = self.host
        ticket = host.tracker.begin_room_subscribe(room)
        joined = ticket is not None and await self.join_room_topics(room, ticket)
        if host.rooms.record_room_admission(room, admission, joined):
            host.say("admitted", room)
            if room not in host.stats.rooms_joined:
                host.stats.rooms_joined.append(room)
            self.start_worker(room)
        elif joined:
            await self.drop_room(room)  # the admission lost a race with a removal

    async def join_room_topics(self, room: str, ticket: int) -> bool:
        """Joins the two topics of a room; a half-done join is rolled back."""
        tracker, core = self.host.tracker, self.core
        chat, people = core.chat_room_topic(room), core.room_participants_topic(room)
        reply = await self.client.join(chat)
        if not reply.ok:
            tracker.record_chat_room_join_failed(room, ticket)
            self.host.say("join", f"{chat} refused: {reply.response}")
            return False
        if not tracker.is_room_claim_current(room, ticket):
            await self.client.leave(chat)
            return False
        reply = await self.client.join(people)
        if not reply.ok:
            left = await self.client.leave(chat)
            result = tracker.record_room_participants_join_failed(room, ticket, left.ok)
            self.host.say("join", f"{people} refused: {reply.response}; {chat} {result}")
            return False
        if tracker.record_both_room_topics_joined(room, ticket) != q.RoomSubscribeResult.Subscribed:
            return False
        self.load_participants(room, reply.response)
        self.host.say("joined", f"{chat} and {people}")
        return True

    async def rejoin_room(self, room: str, ticket: int | None) -> None:
        """A room that stays after a reconnect: the new socket joins its two topics again."""
        host, core = self.host, self.core
        chat, people = core.chat_room_topic(room), core.room_participants_topic(room)
        chat_ok = (await self.client.join(chat)).ok
        reply = await self.client.join(people) if chat_ok else None
        if reply is not None and reply.ok:
            self.load_participants(room, reply.response)
            host.say("rejoined", f"{chat} and {people}")
            self.start_worker(room)
            return
        if ticket is not None:
            host.tracker.mark_room_rejoin_failed(room, ticket)
        if chat_ok:
            await self.client.leave(chat)
        host.tracker.acknowledge_room_reconciled(room)
        host.rooms.record_room_removed(room)  # the next room list admits it afresh
        host.say("rejoin", f"{room} failed; dropped until the next room list")

    def load_participants(self, room: str, response: Any) -> None:
        people = response.get("participants") if isinstance(response, dict) else None
        if people is None:
            return
        try:
            self.host.participants(room).set_all(people)
        except (ValueError, TypeError) as exc:
            self.host.say("invalid", f"participants of {room}: {exc}")

    def start_worker(self, room: str) -> None:
        """Serves a joined room. Its first drain covers whatever arrived before this moment."""
        worker = self.workers[room] = RoomWorker(self.host, self, room)
        worker.task = self.spawn(worker.run(), f"room {room}")

    # -- leaving ----------------------------------------------------------------------------
    def forget_room(self, room: str) -> None:
        """A room gone from the list while we were away: this socket never joined it."""
        tracker = self.host.tracker
        ticket = tracker.unsubscribe_room(room)
        if ticket is not None:
            tracker.mark_room_leave_complete(room, ticket, q.LeaveOutcome.Left)
        self.host.stats.rooms_left.append(room)
        self.host.say("left", f"{room} (no longer in the room list)")

    async def drop_room(self, room: str) -> None:
        """A room removed while connected: stop its worker and leave both topics."""
        host, core = self.host, self.core
        host.rooms.record_room_removed(room)
        worker = self.workers.pop(room, None)
        if worker is not None and worker.task is not None:
            worker.task.cancel()
        ticket = host.tracker.unsubscribe_room(room)
        if ticket is None:
            return
        replies = [await self.client.leave(core.chat_room_topic(room)),
                   await self.client.leave(core.room_participants_topic(room))]
        outcome = q.LeaveOutcome.Left if all(r.ok for r in replies) else q.LeaveOutcome.Failed
        host.tracker.mark_room_leave_complete(room, ticket, outcome)
        host.stats.rooms_left.append(room)
        host.say("left", f"{room} ({outcome})")

    # -- inbound frames (called by the reader; must not block) ------------------------------
    def on_frame(self, frame: phoenix.Frame) -> None:
        kind, _, key = frame.topic.partition(":")
        if frame.event in (phoenix.ERROR, phoenix.CLOSE):
            self.host.say("channel", f"{frame.topic}: {frame.event}")
        elif kind == "chat_room":
            if self.host.route_event(frame.event, key, frame.payload) is None:
                return
            if key in self.workers:
                self.workers[key].deliver(frame.payload)
            else:
                self.host.say("later", f"{key} is not served yet; its first drain runs this")
        elif kind == "room_participants":
            self.on_participant_event(key, frame.event, frame.payload)
        elif kind == "agent_rooms":
            self.on_rooms_event(frame.event, frame.payload)
        elif kind == "agent_control" and frame.event == "supersede":
            self.on_supersede(frame.payload)
        elif kind == "agent_control" and frame.event == "agent.control":
            self.on_agent_control(frame.payload)
        else:
            self.host.say("event", f"{frame.event} on {frame.topic}")

    def validated(self, event: str, payload: Any) -> dict[str, Any] | None:
        try:
            result: dict[str, Any] = self.core.validate_event_payload(event, payload)
            return result
        except (ValueError, TypeError) as exc:
            self.host.say("invalid", f"{event}: {exc}")
            return None

    def on_participant_event(self, room: str, event: str, payload: Any) -> None:
        if event not in ("participant_added", "participant_removed"):
            return
        person = self.validated(event, payload)
        if person is None:
            return
        roster = self.host.participants(room)
        if event == "participant_added":
            roster.add(person)
        else:
            roster.remove(person["id"])
        self.host.say("people", f"{room}: {event} {person['id']}")

    def on_rooms_event(self, event: str, payload: Any) -> None:
        host = self.host
        if event == "room_added":
            room = self.validated(event, payload)
            admission = host.rooms.begin_room_admission(room["id"], True) if room else None
            if room is not None and admission is not None:
                self.spawn(self.admit_room(room["id"], admission), "admit room")
        else:
            host.route_event(event, None, payload)  # removals come back as "cleanup"

    def on_supersede(self, payload: Any) -> None:
        notice = self.validated("supersede", payload)
        if notice is None:
            return
        retry_after = notice.get("retry_after")
        retry_after_s = float(retry_after) if isinstance(retry_after, int) and retry_after >= 0 else None
        outcome = self.host.session.on_supersede(self.host.clock.now(), notice["retryable"],
                                                 retry_after_s, random.random())
        if outcome.stale_reason is not None:
            self.host.say("stale", f"supersede ignored ({outcome.stale_reason})")
            return
        self.host.say("supersede", f"{notice['reason']}: {notice['message']} "
                      f"(retryable {notice['retryable']}, retry after {retry_after_s})")
        self.superseded = outcome
        self.spawn(self.client.ws.close(1000, "superseded"), "close")

    def on_agent_control(self, payload: Any) -> None:
        control = self.validated("agent.control", payload)
        if control is None or control["agent_id"] != self.host.agent_id:
            return
        mode = control["mode"]
        rooms = [control["room_id"]] if control["scope"] == "room" and control["room_id"] else list(self.workers)
        for room in rooms:
            if mode == "stop":
                self.host.gate(room).clear()
            elif mode == "play":
                self.host.gate(room).set()
            elif room in self.workers:
                self.workers[room].interrupt()
        self.host.say("control", f"{mode} {', '.join(rooms)}")


def retry_after_seconds(value: str | None) -> float | None:
    try:
        seconds = float(value) if value is not None else None
    except ValueError:
        return None  # an HTTP date: let the policy's back-off decide
    return seconds if seconds is not None and 0 <= seconds < float("inf") else None


# ---------------------------------------------------------------------------------------------


def _quiet_cancelled_read(loop: asyncio.AbstractEventLoop, context: dict[str, Any]) -> None:
    """Ctrl-C cancels the read in progress; the WebSocket library may then still try to hand it
    data that arrived in the same turn of the loop and fail on the cancelled read. Nothing is
    lost (the socket is closing), so that one failure is not reported."""
    if isinstance(context.get("exception"), asyncio.InvalidStateError) and "data_received" in context.get(
            "message", ""):
        return
    loop.default_exception_handler(context)


async def run(time_scale: float = 1.0, url: str | None = None, agent_id: str = simulator.AGENT_ID,
              journal_path: str | None = None, out: TextIO | None = None,
              ) -> tuple[Host, simulator.Platform | None]:
    """Runs the host until its session is dead (or the task is cancelled); without `url`, against
    a simulator of its own. Returns the host and the simulator for inspection."""
    asyncio.get_running_loop().set_exception_handler(_quiet_cancelled_read)
    reporter = Reporter(Clock(time_scale), out)
    journal = Journal(open(journal_path, "w", encoding="utf-8") if journal_path else None)
    platform, server = None, None
    if url is None:
        platform = simulator.Platform(time_scale=time_scale,
                                         log=lambda line: reporter.line("platform", line))
        server, url = await simulator.start(platform)
    host = Host(Core(journal if journal_path else None), ToyAgent(), agent_id, url, reporter)
    try:
        await host.run()
    finally:
        if server is not None:
            server.close()
            await server.wait_closed()
        journal.close()
        reporter.summary()
        if journal_path:
            reporter.out.write(f"  journal: {journal.calls} module calls in {journal_path}\n")
    return host, platform
