"""The host's clock and its readable output: one line per decision, a summary at the end."""

from __future__ import annotations

import asyncio
import sys
from collections import deque
from dataclasses import dataclass, field
from typing import TextIO

RECENT = 16  # reconnects and room changes listed in the summary; older ones are only counted
LOUD_TAGS = frozenset({"error", "warning"})  # the lines a quiet host still prints


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


def recent() -> deque[str]:
    return deque(maxlen=RECENT)


@dataclass
class Stats:
    """Counters, plus the most recent reconnects and room changes: bounded for any run length."""

    messages_seen: int = 0  # invocations routed to the agent, redeliveries included
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
    reconnect_count: int = 0
    reconnects: deque[tuple[str, float]] = field(default_factory=lambda: deque(maxlen=RECENT))  # (why, delay s)
    joins: int = 0
    leaves: int = 0
    rooms_joined: deque[str] = field(default_factory=recent)
    rooms_left: deque[str] = field(default_factory=recent)
    end: str = "running"

    def reconnected(self, why: str, delay: float) -> None:
        self.reconnect_count += 1
        self.reconnects.append((why, delay))

    def joined(self, room: str) -> None:
        self.joins += 1
        self.rooms_joined.append(room)

    def left(self, room: str) -> None:
        self.leaves += 1
        self.rooms_left.append(room)


class Reporter:
    """One line per decision; a quiet reporter prints only errors and warnings."""

    def __init__(self, clock: Clock, out: TextIO | None = None, quiet: bool = False) -> None:
        self.clock = clock
        self.out = out or sys.stdout
        self.quiet = quiet
        self.stats = Stats()

    def line(self, tag: str, text: str) -> None:
        if self.quiet and tag not in LOUD_TAGS:
            return
        self.out.write(f"{self.clock.now():8.2f}s  {tag:<9} {text}\n")
        self.out.flush()

    def summary(self) -> None:
        s = self.stats
        delays = ", ".join(f"{delay:.2f} s ({why})" for why, delay in s.reconnects) or "none"
        older = s.reconnect_count - len(s.reconnects)
        delays = ("..., " if older else "") + delays
        rows = [
            ("messages seen", str(s.messages_seen)),
            ("turns invoked", str(s.invoked)),
            ("replied", str(s.replied)),
            ("declined (no-reply tool)", str(s.declined)),
            ("missing-reply notices", str(s.notices)),
            ("failed turns", str(s.failed_turns)),
            ("retries", str(s.retries)),
            ("duplicates suppressed", str(s.duplicates)),
            ("self echoes skipped", str(s.self_echoes)),
            ("writes parked", str(s.parked)),
            ("reconnects", f"{s.reconnect_count}: {delays}"),
            ("rooms joined", _listed(s.joins, s.rooms_joined)),
            ("rooms left", _listed(s.leaves, s.rooms_left)),
            ("errors", str(s.errors)),
            ("session", s.end),
        ]
        width = max(len(name) for name, _ in rows)
        self.out.write("\nSummary\n" + "".join(f"  {name:<{width}}  {value}\n" for name, value in rows))
        self.out.flush()


def _listed(count: int, latest: deque[str]) -> str:
    if not count:
        return "none"
    return f"{count}: " + ("..., " if count > len(latest) else "") + ", ".join(latest)
