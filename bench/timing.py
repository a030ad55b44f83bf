"""Interleaved timing of the contenders of one case.

Every contender's loop body is compiled into its own function, with the names it uses bound as
locals (as timeit does), so the module, its baselines and the interpreter floor pay the same loop
overhead. The contenders of a case then run in rounds, one batch each per round in a rotating
order, so slow drift of the machine (other work on the shared cores, frequency changes) falls on
all of them alike. Every round's time is kept (`samples`, in round order) so that ratios can be
taken round by round (stats.py); the median and its interval are reported.

Contenders of one group (a message shape, a point of a curve) run next to each other within a
round, so the ratios within a group compare batches run a few milliseconds apart.
"""

import gc
import math
import textwrap
import time
from dataclasses import dataclass, field
from typing import Any, Callable, Optional

from stats import median_interval

Namespace = dict[str, Any]  # the names a contender's loop body uses
Loop = Callable[[list[Any]], int]  # one timed batch over the items; nanoseconds

_TEMPLATE = """
def _factory(_clock, {params}):
    def _loop(_items, _clock=_clock, {defaults}):
{before}
        _t0 = _clock()
        for _item in _items:
{body}
        _t1 = _clock()
{after}
        return _t1 - _t0
    return _loop
"""


@dataclass
class Contender:
    """One way of doing a case's work.

    `body` is the loop body: it may use `_item` (the next element of `pool`) and the names that
    `setup()` returns. `before` and `after` run around each batch, outside the timed span (to
    carry state such as a clock from batch to batch). `check(namespace)` runs once before timing
    and raises when the contender does not do the expected work. A module contender is compared
    with the other contenders of its `group`.
    """

    name: str
    role: str  # "module", "baseline", "floor" or "reference"
    body: str
    setup: Callable[[], Namespace]
    pool: Optional[list[Any]] = None
    before: str = ""
    after: str = ""
    check: Optional[Callable[[Namespace], None]] = None
    skip: Optional[str] = None
    group: str = ""
    result: dict[str, Any] = field(default_factory=dict)


def _indent(source: str, depth: int) -> str:
    source = textwrap.dedent(source).strip("\n") or "pass"
    return textwrap.indent(source, " " * (4 * depth))


def compile_loop(contender: Contender, namespace: Namespace) -> Loop:
    names = sorted(namespace)
    source = _TEMPLATE.format(
        params=", ".join(names) or "_unused=None",
        defaults=", ".join(f"{n}={n}" for n in names) or "_unused=None",
        before=_indent(contender.before, 2),
        body=_indent(contender.body, 3),
        after=_indent(contender.after, 2),
    )
    scope: dict[str, Any] = {}
    exec(compile(source, f"<bench {contender.name}>", "exec"), scope)
    loop: Loop = scope["_factory"](time.perf_counter_ns, **namespace)
    return loop


def _items(pool: Optional[list[Any]], n: int) -> list[Any]:
    if pool is None:
        return [None] * n
    return (pool * math.ceil(n / len(pool)))[:n]


def _timed(loop: Loop, items: list[Any]) -> int:
    enabled = gc.isenabled()
    gc.disable()
    try:
        return loop(items)
    finally:
        if enabled:
            gc.enable()


@dataclass
class Settings:
    rounds: int
    batch_ns: int  # aimed duration of one batch
    max_batch: int = 1_000_000


class _Prepared:
    def __init__(self, contender: Contender, loop: Loop, n: int) -> None:
        self.contender = contender
        self.loop = loop
        self.items = _items(contender.pool, n)
        self.samples: list[float] = []


def _calibrate(contender: Contender, loop: Loop, settings: Settings) -> int:
    n = 16
    while True:
        elapsed = _timed(loop, _items(contender.pool, n))
        if elapsed >= settings.batch_ns / 8 or n >= settings.max_batch:
            break
        n *= 4
    per_iteration = max(elapsed / n, 1.0)
    return max(16, min(settings.max_batch, int(settings.batch_ns / per_iteration)))


def _prepare(contender: Contender, settings: Settings) -> Optional[_Prepared]:
    if contender.skip:
        contender.result = {"status": "skipped", "reason": contender.skip}
        return None
    try:
        namespace = contender.setup()
        if contender.check is not None:
            contender.check(namespace)
        loop = compile_loop(contender, namespace)
        n = _calibrate(contender, loop, settings)
        prepared = _Prepared(contender, loop, n)
        _timed(loop, prepared.items)  # warm-up at the final batch size
        return prepared
    except Exception as error:  # a contender that fails is reported, the others still run
        contender.result = {"status": "error", "reason": f"{type(error).__name__}: {error}"}
        return None


def _rotated(items: list[Any], shift: int) -> list[Any]:
    shift %= max(len(items), 1)
    return items[shift:] + items[:shift]


def sample_result(samples: list[float], **extra: Any) -> dict[str, Any]:
    """A contender's result from its per-round samples (kept in round order)."""
    estimate = median_interval(samples)
    return {"status": "ok", "median": estimate.value, "low": estimate.low, "high": estimate.high,
            "min": min(samples), "max": max(samples), "rounds": len(samples), "samples": samples, **extra}


def run_contenders(contenders: list[Contender], settings: Settings) -> None:
    """Times every runnable contender; fills each contender's `result`."""
    groups: dict[str, list[_Prepared]] = {}
    for contender in contenders:
        p = _prepare(contender, settings)
        if p is not None:
            groups.setdefault(contender.group, []).append(p)
    ordered = list(groups.values())
    for round_index in range(settings.rounds):
        for group in _rotated(ordered, round_index):
            for p in _rotated(group, round_index):
                p.samples.append(_timed(p.loop, p.items) / len(p.items))
    for group in ordered:
        for p in group:
            p.contender.result = sample_result(p.samples, batch=len(p.items))
