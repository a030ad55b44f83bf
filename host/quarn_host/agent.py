"""A toy agent for the demo: no model, just rules that exercise every way a turn can end."""

from __future__ import annotations

import asyncio
from dataclasses import dataclass
from typing import TYPE_CHECKING, Protocol

from .phoenix import JSON

if TYPE_CHECKING:
    from quarn_sdk_core import ParticipantDict


FAILED_ONCE_KEPT = 4096  # a retry comes within seconds; older failures need not be remembered


class ProviderError(Exception):
    """The agent's model provider failed; carried verbatim into an AgentFailure."""

    def __init__(self, provider: str, message: str, code: str | None = None, detail: JSON = None) -> None:
        super().__init__(message)
        self.provider, self.message, self.code, self.detail = provider, message, code, detail


class Tools(Protocol):
    """The platform tools a turn may call, by their names in the module's tool list."""

    async def call(self, name: str, **arguments: object) -> object: ...


@dataclass
class TurnInput:
    room_id: str
    message_id: str
    message: dict[str, JSON]  # the payload as the platform sent it (the module validated it)
    participants: list[ParticipantDict] | None  # only when the roster changed since the last turn


class Agent(Protocol):
    """What the host runs for each message: a turn that calls tools and returns, or raises
    ProviderError when its model provider fails."""

    async def run_turn(self, turn: TurnInput, tools: Tools) -> None: ...


class ToyAgent:
    """Replies to every message, except that it
    - declines with the no-reply tool when a message says "no reply needed";
    - fails once, as a provider outage, on a message that says "fail once" (the host retries it);
    - looks at the participants and then ends the turn without replying on "silently"."""

    provider = "toy"

    def __init__(self, think_s: float = 0.0) -> None:
        self.think_s = think_s
        self._failed_once: dict[str, None] = {}  # oldest first, at most FAILED_ONCE_KEPT

    async def run_turn(self, turn: TurnInput, tools: Tools) -> None:
        message = turn.message
        content = str(message["content"])
        await asyncio.sleep(self.think_s)
        if "fail once" in content and turn.message_id not in self._failed_once:
            self._failed_once[turn.message_id] = None
            if len(self._failed_once) > FAILED_ONCE_KEPT:
                del self._failed_once[next(iter(self._failed_once))]
            raise ProviderError(self.provider, "the model is overloaded, try again",
                                code="overloaded", detail={"message_id": turn.message_id})
        if "no reply needed" in content:
            await tools.call("quarn_no_reply", reason="an FYI; nothing to answer")
            return
        if "silently" in content:
            await tools.call("quarn_get_participants")
            return
        name = message.get("sender_name") or message["sender_id"]
        await tools.call("quarn_send_message", content=f"Hi {name}, you said: {content}")
