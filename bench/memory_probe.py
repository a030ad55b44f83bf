"""Resident memory of N in-flight claims, measured in a fresh process.

    python bench/memory_probe.py module|python_set N

prints one JSON object with the growth of the resident set while the claims were added.
"""

import gc
import json
import os
import sys
from typing import Any, Callable

import corpus
import target


def resident_bytes() -> int:
    try:
        import psutil
    except ImportError:
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    rss: int = psutil.Process().memory_info().rss
    return rss


def _adder(kind: str) -> tuple[object, Callable[[str, str], Any]]:
    if kind == "python_set":
        claims: set[tuple[str, str]] = set()
        return claims, lambda room, message: claims.add((room, message))
    module = target.load()
    reason = target.missing(module, "ClaimRegistry.try_claim")
    if module is None or reason:
        raise SystemExit(reason)
    registry = module.ClaimRegistry()
    return registry, registry.try_claim


def main(kind: str, n: int) -> None:
    rooms = [corpus.room_id(i) for i in range(100)]
    holder, add = _adder(kind)
    gc.collect()
    before = resident_bytes()
    for i in range(n):
        add(rooms[i % 100], corpus.message_id(i))
    gc.collect()
    after = resident_bytes()
    print(json.dumps({"kind": kind, "n": n, "rss_before": before, "rss_after": after, "bytes": after - before}))
    del holder


if __name__ == "__main__":
    main(sys.argv[1], int(float(sys.argv[2])))
