"""The inbound-message flow of one room: claim, turn, acknowledgement, durable write, release.

Every decision comes from the module; this file only does the I/O in between:

    evaluate_delivery_event -> ClaimRegistry.guarded_claim -> evaluate_next_message
      -> RetryTracker.record_attempt -> the agent's turn with a TurnLedger
      -> evaluate_adapter_result -> record_*_settlement -> write -> confirm or park -> release

A room never waits on one message: an outcome the platform has not taken yet, or a message
waiting for its retry, is passed over ("skip") when the host asks for the room's next open
message, and unwritten outcomes are written again on a timer with back-off.
"""

from __future__ import annotations

import asyncio
from typing import TYPE_CHECKING, Coroutine, Literal, NamedTuple

from websockets.exceptions import ConnectionClosed

import quarn_sdk_core as q

from .agent import ProviderError, TurnInput
from .backoff import Backoff
from .phoenix import JSON, Reply

if TYPE_CHECKING:
    from quarn_sdk_core import FailedSettlement, ProcessedSettlement

    from .connection import Connection
    from .host import Host

    Settlement = ProcessedSettlement | FailedSettlement

RETRY_PAUSE_S = 1.0  # policy seconds before a failed turn that may be retried runs again


def field(reply: Reply, key: str) -> JSON:
    """A member of a reply's response, or None when the platform answered otherwise."""
    return reply.response.get(key) if isinstance(reply.response, dict) else None


class Inbound(NamedTuple):
    """A message the module routed to the agent: its id from the decision, the payload as sent."""

    message_id: str
    payload: dict[str, JSON]


class Job(NamedTuple):
    kind: Literal["message", "drain", "rewrite"]
    message: Inbound | None = None


class ToolError(Exception):
    """A tool call the host could not carry out; the turn goes on without its effect."""


class TurnTools:
    """The platform tools one turn may call. Each successful call records its effect."""

    def __init__(self, worker: RoomWorker, message_id: str, ledger: q.TurnLedger) -> None:
        self.worker = worker
        self.message_id = message_id
        self.ledger = ledger
        self.sent = 0
        self.declined = False

    async def call(self, name: str, **arguments: object) -> object:
        host, room = self.worker.host, self.worker.room
        effect = host.tool_effects.get(name)
        if effect is None:
            raise ToolError(f"unknown tool {name}")
        result: object = None
        if name == "quarn_send_message":
            reply = await self.worker.push("new_message", {
                "content": str(arguments.get("content", "")), "reply_to": self.message_id})
            if not reply.ok:
                raise ToolError(f"the platform refused the message: {reply.response}")
            self.sent += 1
            result = reply.response
        elif name == host.no_reply_tool_name:
            self.declined = True
        elif name == "quarn_get_participants":
            roster = host.rosters.get(room)
            result = list(roster.list()) if roster is not None else []
        else:
            raise ToolError(f"the reference host does not offer {name}")
        self.ledger.record(effect)
        return result


class RoomWorker:
    """Runs one room's messages one at a time, in arrival order, for one connection."""

    def __init__(self, host: Host, conn: Connection, room: str) -> None:
        self.host = host
        self.conn = conn
        self.room = room
        self.core = host.core
        self.topic: str = host.core.chat_room_topic(room)
        self.queue: asyncio.Queue[Job] = asyncio.Queue()
        self.task: asyncio.Task[None] | None = None  # run(), once the room is joined
        self.turn: asyncio.Task[None] | None = None
        self.interrupted = False
        self.retrying: set[str] = set()  # messages waiting for their retry pause
        self.drain_owed = False  # a drain passed over a message that was still to settle
        self.rewrites = Backoff()
        self.rewrite_timer: asyncio.Task[None] | None = None
        self.busy = False  # a job (a message, a drain, a write round) is under way
        self.closing = False  # the room is going: no new job starts

    async def push(self, event: str, payload: object) -> Reply:
        return await self.conn.client.push(self.topic, event, payload)

    async def run(self) -> None:
        """First the writes left over from earlier connections, then the missed messages, then
        live deliveries."""
        try:
            await self.work(self.flush_writes())
            await self.work(self.drain())
            while not self.closing:
                job = await self.queue.get()
                await self.host.gate(self.room).wait()
                if job.kind == "drain":
                    await self.work(self.drain())
                elif job.kind == "rewrite":
                    await self.work(self.flush_writes())
                elif job.message is not None:
                    await self.work(self.handle(job.message))
        except ConnectionClosed:
            pass
        finally:
            if self.rewrite_timer is not None:
                self.rewrite_timer.cancel()

    async def work(self, job: Coroutine[object, object, None]) -> None:
        self.busy = True
        try:
            await job
        finally:
            self.busy = False

    async def close(self, grace_s: float) -> None:
        """Stops the room's work. A message in progress first runs to its written outcome (for at
        most `grace_s` real seconds): cut short, it would stay open on the platform, and a room
        that comes back would run it, and answer it, again."""
        self.closing = True
        if self.task is None or self.task.done():
            return
        if self.busy:
            await asyncio.wait({self.task}, timeout=grace_s)
        self.task.cancel()
        await asyncio.gather(self.task, return_exceptions=True)

    def deliver(self, message: Inbound) -> None:
        self.queue.put_nowait(Job("message", message))

    def held_ids(self, but: str | None = None) -> list[str]:
        """Open messages whose fate the host already holds: passed over when asking for the next."""
        held = self.host.claims.pending_ack_ids(self.room) + sorted(self.retrying)
        return [i for i in held if i != but]

    # -- one message ------------------------------------------------------------------------
    async def handle(self, message: Inbound) -> None:
        host, room, message_id = self.host, self.room, message.message_id
        self.retrying.discard(message_id)
        verdict = host.claims.guarded_claim(room, message_id, host.retries)
        if verdict != "runnable":
            host.stats.duplicates += 1
            host.say("skip", f"{room}/{message_id}: {verdict}, not run again")
            return
        try:
            reply = await self.push("next_open_message", {"skip": self.held_ids(but=message_id)})
            if not reply.ok:
                host.say("later", f"{room}/{message_id}: no next open message ({reply.status}); "
                         "left for the next drain")
                return
            open_message = field(reply, "message")
            next_id = open_message.get("id") if isinstance(open_message, dict) else None
            check = self.core.evaluate_next_message(message_id, next_id if isinstance(next_id, str) else None)
            if check["decision"] == "ready_to_claim":
                await self.run_claimed(message)
                return
            host.stats.duplicates += 1
            host.say("skip", f"{room}/{message_id}: {check['decision']} on the platform"
                     + (f" (next open is {next_id}); draining the room" if next_id else ""))
            if check["decision"] == "already_processed":
                self.queue.put_nowait(Job("drain"))
        finally:
            host.claims.release(room, message_id)

    async def run_claimed(self, message: Inbound) -> None:
        host, room, message_id = self.host, self.room, message.message_id
        attempts, exhausted = host.retries.record_attempt(message_id)
        host.remember_attempt(message_id, attempts)
        if exhausted:
            host.say("give up", f"{room}/{message_id}: retry budget spent after {attempts - 1} attempts")
            settlement: Settlement = host.claims.record_failed_settlement(
                room, message_id, "retry budget exhausted", host.retries, False)
            await self.write(message_id, settlement, None)
            return
        host.stats.invoked += 1
        host.say("turn", f"{room}/{message_id}: attempt {attempts} of {host.retries.max_retries}")
        ledger = self.core.TurnLedger()
        tools = TurnTools(self, message_id, ledger)
        try:
            failure = await self.run_turn(message, tools)
            if failure is None:
                await self.finish_turn(message_id, ledger, tools)
        except BaseException:
            # The socket or the room went while the turn ran: the attempt did not finish, so it
            # spends no budget (the message is still open and runs again).
            host.retries.discard_attempt(message_id)
            host.remember_attempt(message_id, attempts - 1)
            raise
        ack = self.core.evaluate_adapter_result(room, message_id, failure is None)
        if ack["decision"] == "processed":
            settlement = host.claims.record_processed_settlement(room, message_id)
        else:
            host.stats.failed_turns += 1
            error = failure.message if failure is not None else "turn failed"
            settlement = host.claims.record_failed_settlement(room, message_id, error, host.retries, True)
        host.remember_settlement(room, message_id, settlement)
        await self.write(message_id, settlement, failure, message)

    async def run_turn(self, message: Inbound, tools: TurnTools) -> q.AgentFailure | None:
        """Runs the agent; returns None on success, else the AgentFailure."""
        roster = self.host.rosters.get(self.room)
        participants = list(roster.list()) if roster is not None and roster.changed() else None
        if roster is not None and participants is not None:
            roster.mark_sent()
        turn = TurnInput(self.room, message.message_id, message.payload, participants)
        self.interrupted = False
        self.turn = asyncio.create_task(self.host.agent.run_turn(turn, tools))
        try:
            await self.turn
            return None
        except ProviderError as exc:
            failure = self.core.AgentFailure(exc.provider, exc.message, code=exc.code, detail=exc.detail)
        except asyncio.CancelledError:
            if not self.interrupted:
                raise
            failure = self.core.AgentFailure("host", "interrupted by agent.control")
        except ConnectionClosed:
            raise
        except Exception as exc:  # a fault in the agent's own code fails the turn, not the room
            failure = self.core.AgentFailure("agent", repr(exc))
        finally:
            if self.turn is not None and not self.turn.done():
                self.turn.cancel()  # this task was cancelled: the turn goes with it
            self.turn = None
        self.host.say("failed", f"{self.room}/{message.message_id}: {failure.provider}: {failure.message}")
        return failure

    def interrupt(self) -> bool:
        if self.turn is None or self.turn.done():
            return False
        self.interrupted = True
        self.turn.cancel()
        return True

    async def finish_turn(self, message_id: str, ledger: q.TurnLedger, tools: TurnTools) -> None:
        host = self.host
        if ledger.verdict() == q.TurnVerdict.MissingReply:
            host.stats.notices += 1
            host.say("notice", f"{self.room}/{message_id}: the turn ended without a reply")
            await self.push("new_message", {"content": self.core.missing_reply_message(),
                                            "reply_to": message_id})
        elif tools.sent:
            host.stats.replied += 1
            host.say("replied", f"{self.room}/{message_id}")
        elif tools.declined:
            host.stats.declined += 1
            host.say("declined", f"{self.room}/{message_id}: no reply needed")

    # -- terminal writes --------------------------------------------------------------------
    async def write(self, message_id: str, settlement: Settlement, failure: q.AgentFailure | None,
                    message: Inbound | None = None) -> bool:
        """Writes the stored outcome to the platform, then confirms it, parks it, or keeps it for
        the next write round. True when the platform took it."""
        host, room = self.host, self.room
        processed = settlement["status"] == "processed"
        retry = settlement["continuation"]["kind"] == "retry"
        body: dict[str, object] = {"message_id": message_id}
        if settlement["status"] == "failed":
            body.update(error=settlement["error"], retryable=retry)
            if failure is not None:
                body["extensions"] = failure.to_extension_data()
        reply = await self.push("mark_processed" if processed else "mark_failed", body)
        token = settlement["token"]
        if reply.ok:
            host.claims.confirm_settlement(room, message_id, token, host.retries)
            host.confirmed(room, message_id, retry)
            host.say("written", f"{room}/{message_id}: {settlement['status']}" + (" (will retry)" if retry else ""))
            if retry:
                # The message stays open on the platform; it runs again after the pause, from
                # the payload at hand or, for an outcome written in a later round, by a drain.
                host.stats.retries += 1
                self.retrying.add(message_id)
                self.conn.spawn(self.run_again(message_id, message), f"retry {message_id}")
            elif self.drain_owed:
                self.drain_owed = False
                self.queue.put_nowait(Job("drain"))
            return True
        self.refused(message_id, token, reply)
        self.schedule_rewrite()
        return False

    def refused(self, message_id: str, token: str, reply: Reply) -> None:
        host, room = self.host, self.room
        if reply.status != "error":
            host.say("pending", f"{room}/{message_id}: no answer to the write ({reply.status}); "
                     "written again later")
            return
        reason = field(reply, "reason")
        parked = q.ParkedReason.from_wire_name(reason) if isinstance(reason, str) else None
        if parked is None:
            # A reason this host does not know is no ground to park; the outcome stays pending.
            host.say("warning", f"{room}/{message_id}: the write was refused for an unknown reason "
                     f"{reason!r}; written again later")
            return
        host.claims.park_settlement(room, message_id, token, parked)
        host.remember_parked(room, message_id, parked)
        host.stats.parked += 1
        host.say("parked", f"{room}/{message_id}: the platform refused the write ({parked})")

    def schedule_rewrite(self) -> None:
        """Queues another write round after the next back-off delay, unless one is on its way."""
        if self.rewrite_timer is not None and not self.rewrite_timer.done():
            return
        delay = self.rewrites.next()
        self.rewrite_timer = self.conn.spawn(self._rewrite_after(delay), f"rewrite {self.room}")

    async def _rewrite_after(self, delay: float) -> None:
        await self.host.clock.sleep(delay)
        self.queue.put_nowait(Job("rewrite"))

    async def run_again(self, message_id: str, message: Inbound | None) -> None:
        await self.host.clock.sleep(RETRY_PAUSE_S)
        if message is not None:
            self.deliver(message)
        else:
            self.retrying.discard(message_id)
            self.queue.put_nowait(Job("drain"))

    async def flush_writes(self) -> None:
        """Writes every stored outcome of this room again, parked ones included."""
        host, room = self.host, self.room
        unparked = host.claims.unpark_acks(room)
        if unparked:
            host.forget_parked(room)
            host.say("unpark", f"{room}: {unparked} refused write(s) to try again")
        written = True
        for message_id in host.claims.pending_ack_ids(room):
            settlement = host.claims.pending_settlement(room, message_id)
            if settlement is None:
                continue
            retry = host.claims.record_ack_retry(room, message_id)
            host.say("rewrite", f"{room}/{message_id}: write retry {retry}")
            written = await self.write(message_id, settlement, None) and written
        if written:
            self.rewrites.reset()

    # -- catching up ------------------------------------------------------------------------
    async def drain(self) -> None:
        """Runs the messages that were open when the drain began, oldest first. A message that
        cannot be run now (an invalid one, or one that stays open after its turn) is passed over
        for the rest of this drain."""
        ids = field(await self.push("open_message_ids", {}), "ids")
        seen = {i for i in ids if isinstance(i, str)} if isinstance(ids, list) else set()
        passed: list[str] = []
        while True:
            reply = await self.push("next_open_message", {"skip": self.held_ids() + passed})
            message = field(reply, "message")
            candidate = None if not isinstance(message, dict) else {
                key: message.get(key) for key in ("id", "sender_id", "sender_type")}
            try:
                step = self.core.evaluate_drain_candidate(candidate, seen, self.host.agent_id)
            except TypeError as exc:
                self.host.say("invalid", f"{self.room}: next open message: {exc}")
                return
            if step["decision"] != "drain":
                if step["decision"] != "no_candidate":
                    self.host.say("drain", f"{self.room}: stop at {step['message_id']} ({step['decision']})")
                self.drain_owed = self.drain_owed or bool(self.retrying)
                return
            if self.closing:
                return
            message_id = step["message_id"]
            passed.append(message_id)
            self.host.say("drain", f"{self.room}/{message_id}: open on the platform")
            inbound = self.host.route_event("message_created", self.room, message)
            if inbound is not None:
                await self.handle(inbound)
