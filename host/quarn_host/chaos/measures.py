"""The figures a run reports beyond its verdict: the host's memory, its CPU share in the module,
latency percentiles."""

from __future__ import annotations

import pstats
from dataclasses import dataclass, field
from pathlib import Path


def rss_kb(pid: int | None) -> int | None:
    """The resident memory of a process, from /proc (None when it cannot be read)."""
    if pid is None:
        return None
    try:
        with open(f"/proc/{pid}/status", encoding="ascii") as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except (OSError, ValueError, IndexError):
        return None
    return None


@dataclass
class Memory:
    first: int | None = None
    peak: int | None = None
    last: int | None = None
    at: dict[int, int] = field(default_factory=dict)  # settled messages -> kB

    def sample(self, kb: int | None) -> None:
        if kb is None:
            return
        self.first = kb if self.first is None else self.first
        self.peak = kb if self.peak is None else max(self.peak, kb)
        self.last = kb


def module_cpu_share(path: Path) -> float | None:
    """The share of the host's profiled time spent inside the module's own functions."""
    try:
        stats = pstats.Stats(str(path))
    except (OSError, EOFError, TypeError, ValueError):
        return None
    profile = stats.get_stats_profile()
    if profile.total_tt <= 0:
        return None
    inside = sum(f.tottime for name, f in profile.func_profiles.items() if "quarn_sdk_core" in name)
    return inside / profile.total_tt


def percentile(values: list[float], share: float) -> float | None:
    if not values:
        return None
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


def rounded(value: float | None, digits: int = 1) -> float | None:
    return None if value is None else round(value, digits)
