"""What a chaos run is asked to do: its size, its options and the probability of each fault."""

from __future__ import annotations

import dataclasses
from dataclasses import dataclass, field
from typing import Callable


@dataclass(frozen=True)
class Faults:
    """The probability of each fault, per occasion (named after the field)."""

    upgrade_429: float = 0.15  # per upgrade
    drop: float = 0.25  # per connection, the way it ends (these four add up to at most 1;
    close_1012: float = 0.2  # the rest of the connections live until the end)
    supersede: float = 0.15
    silence: float = 0.1
    room_list: float = 0.5  # per connection: the room list changes before it
    room_event: float = 0.03  # per tick: a room deleted or one added back while connected
    delete_mid_turn: float = 0.01  # per reply post: its room is deleted while the turn runs
    refuse_join: float = 0.08  # per participants join
    refuse_write: float = 0.04  # per message: its first terminal writes are refused
    duplicate: float = 0.05  # per message: delivered twice
    redeliver: float = 0.08  # per tick: a settled message is delivered again
    provider_failure: float = 0.05  # per message: it says "fail once"
    kill_mid_turn: float = 0.01  # per turn started (with --kill-host)
    kill_after_post: float = 0.01  # per reply post, before the terminal write
    kill_at_reconnect: float = 0.2  # per connection after the first, while it sets up

    @classmethod
    def none(cls) -> Faults:
        return cls(**{f.name: 0.0 for f in dataclasses.fields(cls)})

    def with_overrides(self, items: list[str]) -> Faults:
        """Applies "name=probability" items."""
        names = {f.name for f in dataclasses.fields(self)}
        values: dict[str, float] = {}
        for item in items:
            name, sep, value = item.partition("=")
            if not sep or name not in names:
                raise ValueError(f"unknown fault {item!r}; known: {', '.join(sorted(names))}")
            values[name] = float(value)
            if not 0.0 <= values[name] <= 1.0:
                raise ValueError(f"{name}: a probability is between 0 and 1")
        faults = dataclasses.replace(self, **values)
        if sum(faults.endings().values()) > 1.0:
            raise ValueError("drop + close_1012 + supersede + silence must not exceed 1")
        return faults

    def endings(self) -> dict[str, float]:
        return {"drop": self.drop, "close_1012": self.close_1012, "supersede": self.supersede,
                "silence": self.silence}


KILL_CHANCES: dict[str, Callable[[Faults], float]] = {
    "kill_mid_turn": lambda f: f.kill_mid_turn,
    "kill_after_post": lambda f: f.kill_after_post,
    "kill_at_reconnect": lambda f: f.kill_at_reconnect,
}


@dataclass(frozen=True)
class Settings:
    seed: int
    messages: int
    seconds: float
    kill_host: bool = False
    state: str | None = None
    calm: bool = False
    time_scale: float = 0.05
    grace: float = 15.0
    faults: Faults = field(default_factory=Faults)
    log: str | None = None
    loud: bool = False  # the host logs every decision, to diagnose a run
    profile: bool = True  # a calm run profiles the host, for the module's share of its time
