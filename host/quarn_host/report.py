"""The host's clock and its readable output: one line per decision, a summary at the end."""

from __future__ import annotations

import asyncio
import sys
from dataclasses import dataclass, field
from typing import TextIO


class Clock:
    """Seconds as the policy counts them. With a time scale below 1 every wait is shorter in
    real time, and the module is told the unscaled time, so its decisions stay the same."""

    def __init__(self, time_scale: float = 1.0) -> None:
        self.time_scale = time_scale
        self._start = asyncio.get_running_loop().time()

    def now(self) -> float:
        return (asyncio.get_running_loop().time() - self._start) / self.time_scale

    def real(self, seconds: float) -> float:
        return seconds * self.time_scale

    async def sleep(self, seconds: float) -> None:
        await asyncio.sleep(self.real(seconds))


@dataclass
class Stats:
    messages_seen: set[str] = field(default_factory=set)  # "room/message" from others
    invoked: int = 0
    replied: int = 0
    declined: int = 0
    notices: int = 0
    failed_turns: int = 0
    duplicates: int = 0
    self_echoes: int = 0
    retries: int = 0
    parked: int = 0
    errors: int = 0
    reconnects: list[tuple[str, float]] = field(default_factory=list)  # (why, delay in s)
    rooms_joined: list[str] = field(default_factory=list)
    rooms_left: list[str] = field(default_factory=list)
    end: str = "running"


class Reporter:
    def __init__(self, clock: Clock, out: TextIO | None = None) -> None:
        self.clock = clock
        self.out = out or sys.stdout
        self.stats = Stats()

    def line(self, tag: str, text: str) -> None:
        self.out.write(f"{self.clock.now():8.2f}s  {tag:<9} {text}\n")
        self.out.flush()

    def summary(self) -> None:
        s = self.stats
        delays = ", ".join(f"{delay:.2f} s ({why})" for why, delay in s.reconnects) or "none"
        rows = [
            ("messages seen", str(len(s.messages_seen))),
            ("turns invoked", str(s.invoked)),
            ("replied", str(s.replied)),
            ("declined (no-reply tool)", str(s.declined)),
            ("missing-reply notices", str(s.notices)),
            ("failed turns", str(s.failed_turns)),
            ("retries", str(s.retries)),
            ("duplicates suppressed", str(s.duplicates)),
            ("self echoes skipped", str(s.self_echoes)),
            ("writes parked", str(s.parked)),
            ("reconnects", f"{len(s.reconnects)}: {delays}"),
            ("rooms joined", ", ".join(s.rooms_joined) or "none"),
            ("rooms left", ", ".join(s.rooms_left) or "none"),
            ("errors", str(s.errors)),
            ("session", s.end),
        ]
        width = max(len(name) for name, _ in rows)
        self.out.write("\nSummary\n" + "".join(f"  {name:<{width}}  {value}\n" for name, value in rows))
        self.out.flush()
