"""The inbound-message flow of one room: claim, turn, acknowledgement, durable write, release.

Every decision comes from the module; this file only does the I/O in between:

    evaluate_delivery_event -> ClaimRegistry.guarded_claim -> evaluate_next_message
      -> RetryTracker.record_attempt -> the agent's turn with a TurnLedger
      -> evaluate_adapter_result -> record_*_settlement -> write -> confirm or park -> release
"""

from __future__ import annotations

import asyncio
from typing import TYPE_CHECKING, Any

from websockets.exceptions import ConnectionClosed

import quarn_sdk_core as q

from .agent import ProviderError, TurnInput

if TYPE_CHECKING:
    from .host import Connection, Host

RETRY_PAUSE_S = 1.0  # policy seconds before a failed turn that may be retried runs again


def field(reply: Any, key: str) -> Any:
    """A member of a reply's response, or None when the platform answered otherwise."""
    return reply.response.get(key) if isinstance(reply.response, dict) else None


class ToolError(Exception):
    """A tool call the host could not carry out; the turn goes on without its effect."""


class TurnTools:
    """The platform tools one turn may call. Each successful call records its effect."""

    def __init__(self, worker: RoomWorker, message_id: str, ledger: Any) -> None:
        self.worker = worker
        self.message_id = message_id
        self.ledger = ledger
        self.sent = 0
        self.declined = False

    async def call(self, name: str, **arguments: Any) -> Any:
        host, room = self.worker.host, self.worker.room
        effect = host.tool_effects.get(name)
        if effect is None:
            raise ToolError(f"unknown tool {name}")
        result: Any = None
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
            result = host.participants(room).list()
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
        self.queue: asyncio.Queue[tuple[str, dict[str, Any] | None]] = asyncio.Queue()
        self.task: asyncio.Task[None] | None = None  # run(), once the room is joined
        self.turn: asyncio.Task[None] | None = None
        self.interrupted = False

    async def push(self, event: str, payload: Any) -> Any:
        return await self.conn.client.push(self.topic, event, payload)

    async def run(self) -> None:
        """First the writes left over from earlier connections, then the missed messages, then
        live deliveries."""
        try:
            await self.flush_writes()
            await self.drain()
            while True:
                kind, payload = await self.queue.get()
                await self.host.gate(self.room).wait()
                if kind == "drain":
                    await self.drain()
                elif payload is not None:
                    await self.handle(payload)
        except ConnectionClosed:
            pass

    def deliver(self, payload: dict[str, Any]) -> None:
        self.queue.put_nowait(("message", payload))

    # -- one message ------------------------------------------------------------------------
    async def handle(self, payload: dict[str, Any]) -> None:
        host, core, room = self.host, self.core, self.room
        message_id = str(payload["id"])
        verdict = host.claims.guarded_claim(room, message_id, host.retries)
        if verdict != "runnable":
            host.stats.duplicates += 1
            host.say("skip", f"{room}/{message_id}: {verdict}, not run again")
            return
        try:
            reply = await self.push("next_open_message", {})
            if not reply.ok:
                host.say("later", f"{room}/{message_id}: no next open message ({reply.status}); "
                         "left for the next drain")
                return
            open_message = field(reply, "message")
            next_id = open_message.get("id") if isinstance(open_message, dict) else None
            check = core.evaluate_next_message(message_id, next_id)
            if check["decision"] == "ready_to_claim":
                await self.run_claimed(payload)
                return
            host.stats.duplicates += 1
            host.say("skip", f"{room}/{message_id}: {check['decision']} on the platform"
                     + (f" (next open is {next_id}); draining the room" if next_id else ""))
            if next_id is not None:
                self.queue.put_nowait(("drain", None))
        finally:
            host.claims.release(room, message_id)

    async def run_claimed(self, payload: dict[str, Any]) -> None:
        host, core, room = self.host, self.core, self.room
        message_id = str(payload["id"])
        attempts, exhausted = host.retries.record_attempt(message_id)
        if exhausted:
            host.say("give up", f"{room}/{message_id}: retry budget spent after {attempts - 1} attempts")
            settlement = host.claims.record_failed_settlement(
                room, message_id, "retry budget exhausted", host.retries, False)
            await self.write(message_id, settlement, None)
            return
        host.stats.invoked += 1
        host.say("turn", f"{room}/{message_id}: attempt {attempts} of {host.retries.max_retries}")
        ledger = core.TurnLedger()
        tools = TurnTools(self, message_id, ledger)
        failure = await self.run_turn(payload, tools)
        if failure is None:
            await self.finish_turn(message_id, ledger, tools)
        ack = core.evaluate_adapter_result(room, message_id, failure is None)
        if ack["decision"] == "processed":
            settlement = host.claims.record_processed_settlement(room, message_id)
        else:
            host.stats.failed_turns += 1
            error = failure.message if failure is not None else "turn failed"
            settlement = host.claims.record_failed_settlement(room, message_id, error, host.retries, True)
        await self.write(message_id, settlement, failure, payload)

    async def run_turn(self, payload: dict[str, Any], tools: TurnTools) -> Any:
        """Runs the agent; returns None on success, else the AgentFailure."""
        roster = self.host.participants(self.room)
        participants = roster.list() if roster.changed() else None
        if participants is not None:
            roster.mark_sent()
        turn = TurnInput(self.room, payload, participants)
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
            self.turn = None
        self.host.say("failed", f"{self.room}/{payload['id']}: {failure.provider}: {failure.message}")
        return failure

    def interrupt(self) -> bool:
        if self.turn is None or self.turn.done():
            return False
        self.interrupted = True
        self.turn.cancel()
        return True

    async def finish_turn(self, message_id: str, ledger: Any, tools: TurnTools) -> None:
        host = self.host
        if ledger.verdict() == q.TurnVerdict.MissingReply:
            host.stats.notices += 1
            host.say("notice", f"{self.room}/{message_id}: the turn ended without a reply")
            await self.push("new_message", {"content": host.core.missing_reply_message(),
                                            "reply_to": message_id})
        elif tools.sent:
            host.stats.replied += 1
            host.say("replied", f"{self.room}/{message_id}")
        elif tools.declined:
            host.stats.declined += 1
            host.say("declined", f"{self.room}/{message_id}: no reply needed")

    # -- terminal writes --------------------------------------------------------------------
    async def write(self, message_id: str, settlement: dict[str, Any], failure: Any,
                    payload: dict[str, Any] | None = None) -> None:
        """Writes the stored outcome to the platform, then confirms it or parks it."""
        host, room = self.host, self.room
        processed = settlement["status"] == "processed"
        retry = settlement["continuation"]["kind"] == "retry"
        body: dict[str, Any] = {"message_id": message_id}
        if not processed:
            body.update(error=settlement["error"], retryable=retry)
            if failure is not None:
                body["extensions"] = failure.to_extension_data()
        reply = await self.push("mark_processed" if processed else "mark_failed", body)
        token = settlement["token"]
        if reply.ok:
            host.claims.confirm_settlement(room, message_id, token, host.retries)
            host.say("written", f"{room}/{message_id}: {settlement['status']}"
                     + (" (will retry)" if retry else ""))
            if retry and payload is not None:
                host.stats.retries += 1
                self.conn.spawn(self.run_again(payload), f"retry {message_id}")
            return
        reason = field(reply, "reason") if reply.status == "error" else None
        parked = q.ParkedReason.from_wire_name(reason) if isinstance(reason, str) else None
        if reply.status == "error":
            parked = parked or q.ParkedReason.Rejected
            host.claims.park_settlement(room, message_id, token, parked)
            host.stats.parked += 1
            host.say("parked", f"{room}/{message_id}: the platform refused the write ({parked})")
        else:
            host.say("pending", f"{room}/{message_id}: no answer to the write; kept for later")

    async def run_again(self, payload: dict[str, Any]) -> None:
        await self.host.clock.sleep(RETRY_PAUSE_S)
        self.deliver(payload)

    async def flush_writes(self) -> None:
        """Retries the stored outcomes of this room, parked ones included: a new connection is
        the moment to try a refused write again."""
        host, room = self.host, self.room
        unparked = host.claims.unpark_acks(room)
        if unparked:
            host.say("unpark", f"{room}: {unparked} refused write(s) to try again")
        for message_id in host.claims.pending_ack_ids(room):
            settlement = host.claims.pending_settlement(room, message_id)
            if settlement is None or settlement["parked"] is not None:
                continue
            retry = host.claims.record_ack_retry(room, message_id)
            host.say("rewrite", f"{room}/{message_id}: write retry {retry}")
            await self.write(message_id, settlement, None)

    # -- catching up ------------------------------------------------------------------------
    async def drain(self) -> None:
        """Runs the messages that were open when the drain began, oldest first."""
        ids = field(await self.push("open_message_ids", {}), "ids")
        seen = {i for i in ids if isinstance(i, str)} if isinstance(ids, list) else set()
        last: str | None = None
        while True:
            message = field(await self.push("next_open_message", {}), "message")
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
                return
            if step["message_id"] == last:
                self.host.say("drain", f"{self.room}: {last} is still open; leaving it for later")
                return
            last = step["message_id"]
            self.host.say("drain", f"{self.room}/{last}: open on the platform")
            assert isinstance(message, dict)
            if self.host.route_event("message_created", self.room, message) is not None:
                await self.handle(message)
