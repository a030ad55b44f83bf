"""A toy agent for the demo: no model, just rules that exercise every way a turn can end."""

from __future__ import annotations

import asyncio
from dataclasses import dataclass
from typing import Any, Protocol


class ProviderError(Exception):
    """The agent's model provider failed; carried verbatim into an AgentFailure."""

    def __init__(self, provider: str, message: str, code: str | None = None, detail: Any = None) -> None:
        super().__init__(message)
        self.provider, self.message, self.code, self.detail = provider, message, code, detail


class Tools(Protocol):
    async def call(self, name: str, **arguments: Any) -> Any: ...


@dataclass
class TurnInput:
    room_id: str
    message: dict[str, Any]
    participants: list[dict[str, Any]] | None  # only when the roster changed since the last turn


class ToyAgent:
    """Replies to every message, except that it
    - declines with the no-reply tool when a message says "no reply needed";
    - fails once, as a provider outage, on a message that says "fail once" (the host retries it);
    - looks at the participants and then ends the turn without replying on "silently"."""

    provider = "toy"

    def __init__(self, think_s: float = 0.0) -> None:
        self.think_s = think_s
        self._failed_once: set[str] = set()

    async def run_turn(self, turn: TurnInput, tools: Tools) -> None:
        message = turn.message
        content = str(message["content"])
        await asyncio.sleep(self.think_s)
        if "fail once" in content and message["id"] not in self._failed_once:
            self._failed_once.add(message["id"])
            raise ProviderError(self.provider, "the model is overloaded, try again",
                                code="overloaded", detail={"message_id": message["id"]})
        if "no reply needed" in content:
            await tools.call("quarn_no_reply", reason="an FYI; nothing to answer")
            return
        if "silently" in content:
            await tools.call("quarn_get_participants")
            return
        name = message.get("sender_name") or message["sender_id"]
        await tools.call("quarn_send_message", content=f"Hi {name}, you said: {content}")
