"""The seeded world: rooms, users, what they post, and the payloads the platform sends of it."""

from __future__ import annotations

import random
from dataclasses import dataclass
from datetime import datetime, timedelta, timezone
from typing import Any, Iterator

from ..simulator import AGENT_ID

USERS = {"u-ana": "Ana", "u-ben": "Ben", "u-cleo": "Cleo", "u-dev": "Dev", "u-eli": "Eli"}
BURST_CHANCE, BURST_SIZE = 0.05, (5, 25)  # per message: a burst of that many starts
BASE_TIME = datetime(2025, 1, 1, 9, tzinfo=timezone.utc)


@dataclass(frozen=True)
class Post:
    at: float  # real seconds after the start
    sender: str
    content: str


class World:
    """The seeded part of a run: its rooms and its stream of user messages."""

    def __init__(self, seed: int, provider_failure: float) -> None:
        self.rng = random.Random(f"{seed}/world")
        self.rooms = [f"r-{i}" for i in range(self.rng.randint(3, 8))]
        self.provider_failure = provider_failure

    def posts(self, count: int, seconds: float) -> Iterator[Post]:
        """`count` posts spread over about `seconds`, some of them in bursts."""
        spaced = 1.0 / (1.0 + BURST_CHANCE * sum(BURST_SIZE) / 2)  # the share not in a burst
        rate, at, burst = count * spaced / max(seconds, 0.001), 0.0, 0
        for number in range(1, count + 1):
            if burst == 0 and self.rng.random() < BURST_CHANCE:
                burst = self.rng.randint(*BURST_SIZE)
            if burst:
                burst -= 1
            else:
                at += self.rng.expovariate(rate)
            yield Post(at, self.rng.choice(list(USERS)), self.content(number))

    def content(self, number: int) -> str:
        roll = self.rng.random()
        if roll < self.provider_failure:
            return f"Please answer question {number} (fail once)."
        roll -= self.provider_failure
        if roll < 0.05:
            return f"FYI: note {number} went out, no reply needed."
        if roll < 0.08:
            return f"Just think about point {number} silently."
        return f"Question {number}: how is item {self.rng.randint(1, 999)} doing?"

    def room_for(self, rooms: list[str]) -> str:
        return self.rng.choice(rooms)


def stamp(number: int) -> str:
    return (BASE_TIME + timedelta(seconds=number)).strftime("%Y-%m-%dT%H:%M:%SZ")


def message_payload(mid: str, room: str, sender: str, content: str, number: int) -> dict[str, Any]:
    name = "Agent Seven" if sender == AGENT_ID else USERS.get(sender)
    return {"id": mid, "chat_room_id": room, "content": content, "message_type": "text",
            "sender_id": sender, "sender_type": "Agent" if sender == AGENT_ID else "User",
            "sender_name": name, "inserted_at": stamp(number), "updated_at": stamp(number),
            "metadata": {"mentions": []}, "attachments": []}


def room_payload(room: str) -> dict[str, Any]:
    return {"id": room, "title": room, "task_id": None, "inserted_at": stamp(0), "updated_at": stamp(0)}
