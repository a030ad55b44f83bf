"""Delays for the host's own retries while a connection stays up (unwritten outcomes, refused
room joins): doubling from a first delay to a ceiling, in policy seconds."""

from __future__ import annotations


class Backoff:
    def __init__(self, first_s: float = 1.0, ceiling_s: float = 30.0) -> None:
        self.first_s = first_s
        self.ceiling_s = ceiling_s
        self._next = first_s

    def next(self) -> float:
        """The delay before the next try; each call doubles the one after, up to the ceiling."""
        delay, self._next = self._next, min(self._next * 2, self.ceiling_s)
        return delay

    def reset(self) -> None:
        self._next = self.first_s
