"""One open socket of the host: its channel client, the agent topics and rooms it joins (admission
under RoomRoster and SubscriptionTracker tickets, rolled back when cut short), the frames it routes
and every task it starts. It lives as long as the socket; the Host outlives it."""

from __future__ import annotations

import asyncio
import random
import sys
import traceback
from typing import TYPE_CHECKING, Coroutine, Mapping, cast

from websockets.asyncio.client import ClientConnection
from websockets.exceptions import ConnectionClosed

import quarn_sdk_core as q

from . import phoenix
from .backoff import Backoff
from .delivery import RoomWorker
from .phoenix import JSON

if TYPE_CHECKING:
    from .host import Host


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
            reply_timeout=host.clock.real(policy.dead_threshold_s),
            on_problem=lambda text: host.say("warning", text))
        self.tasks: set[asyncio.Task[None]] = set()
        self.workers: dict[str, RoomWorker] = {}
        self.readmissions: dict[str, Backoff] = {}  # rooms whose join failed, while they do
        self.superseded: q.SessionOutcome | None = None

    def spawn(self, coro: Coroutine[object, object, None], name: str) -> asyncio.Task[None]:
        task = asyncio.create_task(coro, name=name)
        self.tasks.add(task)
        task.add_done_callback(self._finished)
        return task

    def _finished(self, task: asyncio.Task[None]) -> None:
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
        host = self.host
        if self.reconnect:
            host.tracker.on_reconnected()
        for kind in (q.AgentTopicKind.Control, q.AgentTopicKind.Rooms, q.AgentTopicKind.Contacts):
            await self.join_agent_topic(kind.topic(host.agent_id))
        reply = await self.client.push(q.AgentTopicKind.Rooms.topic(host.agent_id), "list_rooms", {})
        listed = reply.response.get("room_ids") if isinstance(reply.response, dict) else None
        if not reply.ok or not isinstance(listed, list):
            host.say("rooms", f"no room list ({reply.status}); staying in no room")
            return
        plan = host.rooms.reconcile([room for room in listed if isinstance(room, str)])
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
            rejoin = dict(tracker.agent_topic_rejoin_candidates())[topic]
            if (await self.client.join(topic)).ok:
                self.host.say("rejoined", topic)
                return
            tracker.mark_agent_topic_rejoin_failed(topic, rejoin)
        if tracker.agent_topic_status(topic) == statuses.NeedsReconciliation:
            tracker.acknowledge_agent_topic_reconciled(topic)  # a fresh socket holds no topic
        ticket = tracker.begin_agent_topic_join(topic)
        if ticket is None:
            return
        try:
            reply = await self.client.join(topic)
        except BaseException:
            tracker.record_agent_topic_join(topic, ticket, False)  # else it stays pending for good
            raise
        if reply.status == "timeout":
            tracker.record_agent_topic_join_ambiguous(topic, ticket)
        elif tracker.record_agent_topic_join(topic, ticket, reply.ok):
            self.host.say("joined", topic)
        else:
            self.host.say("join", f"{topic} refused: {reply.response}")

    async def admit_room(self, room: str, admission: int) -> None:
        host = self.host
        ticket = host.tracker.begin_room_subscribe(room)
        try:
            joined = ticket is not None and await self.join_room_topics(room, ticket)
        except BaseException:
            self.abandon_admission(room, admission, ticket)
            raise
        current = host.rooms.is_room_admission_current(room, admission)
        if host.rooms.record_room_admission(room, admission, joined):
            host.say("admitted", room)
            host.stats.joined(room)
            self.readmissions.pop(room, None)
            self.start_worker(room)
        elif joined:
            await self.drop_room(room)  # the admission lost a race with a removal
        elif current:
            self.readmit_later(room)  # refused, not overtaken: the room is still the agent's

    def abandon_admission(self, room: str, admission: int, ticket: int | None) -> None:
        """The socket went in the middle of a room's admission: nothing may stay half-begun, or
        the room could never be admitted again. Topics joined in full count as joined (the next
        connection joins them again); anything less is rolled back."""
        tracker = self.host.tracker
        subscribed = tracker.room_status(room) == q.RoomStatus.Subscribed
        if ticket is not None and tracker.is_room_claim_current(room, ticket) and not subscribed:
            tracker.record_chat_room_join_failed(room, ticket)
        self.host.rooms.record_room_admission(room, admission, subscribed)

    def readmit_later(self, room: str) -> None:
        """A room whose join failed is admitted again after a back-off, while this socket lasts
        and the room stays on the agent's list."""
        backoff = self.readmissions.setdefault(room, Backoff())
        self.spawn(self._readmit_after(room, backoff.next()), f"readmit {room}")

    async def _readmit_after(self, room: str, delay: float) -> None:
        await self.host.clock.sleep(delay)
        if room not in self.readmissions:
            return  # the room went meanwhile
        admission = self.host.rooms.begin_room_admission(room, True)
        if admission is not None:
            await self.admit_room(room, admission)

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
        host.rooms.record_room_removed(room)
        host.say("rejoin", f"{room} failed; admitted afresh after a pause")
        self.readmit_later(room)

    def load_participants(self, room: str, response: JSON) -> None:
        roster = self.host.rosters.setdefault(room, self.core.ParticipantRoster())
        people = response.get("participants") if isinstance(response, dict) else None
        if people is None:
            return
        try:
            # The module checks every item; the platform's list goes to it as it came.
            roster.set_all(cast("list[Mapping[str, object]]", people) if isinstance(people, list) else [])
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
        self.host.forget_room(room)
        self.host.stats.left(room)
        self.host.say("left", f"{room} (no longer in the room list)")

    async def drop_room(self, room: str) -> None:
        """A room removed while connected: stop its worker and leave both topics."""
        host, core = self.host, self.core
        host.rooms.record_room_removed(room)
        self.readmissions.pop(room, None)
        worker = self.workers.pop(room, None)
        if worker is not None:
            await worker.close(grace_s=self.host.clock.real(self.host.policy.dead_threshold_s))
        host.forget_room(room)
        ticket = host.tracker.unsubscribe_room(room)
        if ticket is None:
            return
        replies = [await self.client.leave(core.chat_room_topic(room)),
                   await self.client.leave(core.room_participants_topic(room))]
        outcome = q.LeaveOutcome.Left if all(r.ok for r in replies) else q.LeaveOutcome.Failed
        host.tracker.mark_room_leave_complete(room, ticket, outcome)
        host.stats.left(room)
        host.say("left", f"{room} ({outcome})")

    # -- inbound frames (called by the reader; must not block) ------------------------------
    def on_frame(self, frame: phoenix.Frame) -> None:
        try:
            self.route_frame(frame)
        except Exception as exc:  # a host bug: reported loudly, and the socket goes on
            self.host.stats.errors += 1
            self.host.say("error", f"{frame.event} on {frame.topic}: {exc!r}")
            traceback.print_exception(exc, file=sys.stderr)

    def route_frame(self, frame: phoenix.Frame) -> None:
        kind, _, key = frame.topic.partition(":")
        if frame.event in (phoenix.ERROR, phoenix.CLOSE):
            self.host.say("channel", f"{frame.topic}: {frame.event}")
        elif kind == "chat_room":
            inbound = self.host.route_event(frame.event, key, frame.payload)
            if inbound is None:
                return
            if key in self.workers:
                self.workers[key].deliver(inbound)
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

    def validated(self, event: str, payload: JSON) -> dict[str, JSON] | None:
        try:
            result = self.core.validate_event_payload(event, payload)
        except ValueError as exc:
            self.host.say("invalid", f"{event}: {exc}")
            return None
        return result if isinstance(result, dict) else None

    def on_participant_event(self, room: str, event: str, payload: JSON) -> None:
        roster = self.host.rosters.get(room)
        if roster is None or event not in ("participant_added", "participant_removed"):
            return
        person = self.validated(event, payload)
        person_id = person.get("id") if person is not None else None
        if person is None or not isinstance(person_id, str):
            return
        if event == "participant_added":
            roster.add(person)
        else:
            roster.remove(person_id)
        self.host.say("people", f"{room}: {event} {person_id}")

    def on_rooms_event(self, event: str, payload: JSON) -> None:
        if event != "room_added":
            self.host.route_event(event, None, payload)  # removals come back as "cleanup"
            return
        room = self.validated(event, payload)
        room_id = room.get("id") if room is not None else None
        if not isinstance(room_id, str):
            return
        admission = self.host.rooms.begin_room_admission(room_id, True)
        if admission is not None:
            self.spawn(self.admit_room(room_id, admission), "admit room")

    def on_supersede(self, payload: JSON) -> None:
        notice = self.validated("supersede", payload)
        if notice is None:
            return
        retry_after = notice.get("retry_after")
        retry_after_s = float(retry_after) if isinstance(retry_after, int) and retry_after >= 0 else None
        outcome = self.host.session.on_supersede(self.host.clock.now(), notice.get("retryable") is True,
                                                 retry_after_s, random.random())
        if outcome.stale_reason is not None:
            self.host.say("stale", f"supersede ignored ({outcome.stale_reason})")
            return
        self.host.say("supersede", f"{notice.get('reason')}: {notice.get('message')} "
                      f"(retryable {notice.get('retryable')}, retry after {retry_after_s})")
        self.superseded = outcome
        self.spawn(self.client.ws.close(1000, "superseded"), "close")

    def on_agent_control(self, payload: JSON) -> None:
        control = self.validated("agent.control", payload)
        if control is None or control.get("agent_id") != self.host.agent_id:
            return
        mode, room = control.get("mode"), control.get("room_id")
        rooms = [room] if control.get("scope") == "room" and isinstance(room, str) and room else list(self.workers)
        for target in rooms:
            if target not in self.workers:
                continue  # only rooms this socket serves can be paused or interrupted
            if mode in ("stop", "play"):
                self.host.pause(target, mode == "stop")
            else:
                self.workers[target].interrupt()
        self.host.say("control", f"{mode} {', '.join(rooms)}")
