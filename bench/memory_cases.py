"""Resident memory per entry of each book the module keeps, against the Python a host author would
write to hold the same content; every sample is taken in a fresh process.

    python bench/memory_cases.py KIND SIDE N    # prints {"bytes": growth of the resident set, ...}

The kinds: in-flight claims in one room and over 100 rooms, completed ids (the claim registry's
windows, made large enough to keep them all), pending settlements (recorded, not confirmed),
pending asks and room subscriptions. The Python sides keep what the module keeps, in the
containers one would reach for: a dict of room id -> set of message ids for claims, room id ->
dict (or OrderedDict, for the recency order) of message ids for completed windows, room id -> dict
of message id -> settlement dict (or a tuple of its token, status and parked reason) for
settlements, token -> (room id, ticket, claimed) for asks and
room id -> ticket for subscriptions. Their strings are their own (the ids a host received), where
the module keeps copies of the bytes.
"""

import gc
import json
import os
import statistics
import subprocess
import sys
from collections import OrderedDict, defaultdict
from functools import partial
from typing import TYPE_CHECKING, Any, Callable, Optional

import corpus
from memory_probe import resident_bytes
import pure_turns
import target
from timing import Contender, Settings

if TYPE_CHECKING:
    from cases import Case, Goal

Builder = Callable[[int], object]  # adds n entries; returns what holds them
ROOMS = 100
SEED = 5


def _room_ids(count: int) -> list[str]:
    return [corpus.room_id(i) for i in range(count)]


_loaded: list[Any] = []


def _module() -> Any:
    if _loaded:
        return _loaded[0]
    module = target.load()
    reason = target.missing(module, "ClaimRegistry.remember_completed", "DecisionRegistry.register_minted",
                            "SubscriptionTracker.record_both_room_topics_joined")
    if reason:
        raise SystemExit(reason)
    _loaded.append(module)
    return module


# ---- in-flight claims


def module_claims(rooms: int) -> Builder:
    def build(n: int) -> object:
        registry = _module().ClaimRegistry()
        claim, room_ids = registry.try_claim, _room_ids(rooms)
        for i in range(n):
            claim(room_ids[i % rooms], corpus.message_id(i))
        return registry

    return build


def python_claims(rooms: int) -> Builder:
    def build(n: int) -> object:
        claims: defaultdict[str, set[str]] = defaultdict(set)
        room_ids = _room_ids(rooms)
        for i in range(n):
            claims[room_ids[i % rooms]].add(corpus.message_id(i))
        return claims

    return build


# ---- completed ids


def module_completed(n: int) -> object:
    registry = _module().ClaimRegistry(max_completed=max(1, -(-n // ROOMS)))
    remember, room_ids = registry.remember_completed, _room_ids(ROOMS)
    for i in range(n):
        remember(room_ids[i % ROOMS], corpus.message_id(i))
    return registry


def python_completed(window: type[dict[str, None]]) -> Builder:
    def build(n: int) -> object:
        completed: dict[str, dict[str, None]] = {}
        room_ids = _room_ids(ROOMS)
        for i in range(n):
            room = room_ids[i % ROOMS]
            done = completed.get(room)
            if done is None:
                done = completed[room] = window()
            done[corpus.message_id(i)] = None
        return completed

    return build


# ---- pending settlements


def module_settlements(n: int) -> object:
    registry = _module().ClaimRegistry()
    record, room_ids = registry.record_processed_settlement, _room_ids(ROOMS)
    for i in range(n):
        record(room_ids[i % ROOMS], corpus.message_id(i))
    return registry


def python_settlements(n: int) -> object:
    pending: defaultdict[str, dict[str, dict[str, Any]]] = defaultdict(dict)
    room_ids = _room_ids(ROOMS)
    for i in range(n):
        pending[room_ids[i % ROOMS]][corpus.message_id(i)] = {"token": str(i), "status": "processed", "parked": None}
    return pending


def python_settlement_tuples(n: int) -> object:
    pending: defaultdict[str, dict[str, tuple[str, str, Optional[str]]]] = defaultdict(dict)
    room_ids = _room_ids(ROOMS)
    for i in range(n):
        pending[room_ids[i % ROOMS]][corpus.message_id(i)] = (str(i), "processed", None)
    return pending


# ---- pending asks


def module_asks(n: int) -> object:
    registry = _module().DecisionRegistry(seed=SEED)
    register, room_ids = registry.register_minted, _room_ids(ROOMS)
    for i in range(n):
        register(room_ids[i % ROOMS])
    return registry


def python_asks(n: int) -> object:
    # The module's token sequence (its SplitMix64), so both sides hold the same tokens.
    draw = pure_turns.DecisionRegistry(seed=SEED)._draw_token
    asks: dict[str, tuple[str, int, bool]] = {}
    room_ids = _room_ids(ROOMS)
    for ticket in range(n):
        token = draw()
        while token in asks:
            token = draw()
        asks[token] = (room_ids[ticket % ROOMS], ticket, False)
    return asks


# ---- room subscriptions


def module_subscriptions(n: int) -> object:
    tracker = _module().SubscriptionTracker()
    begin, joined = tracker.begin_room_subscribe, tracker.record_both_room_topics_joined
    for i in range(n):
        room = corpus.room_id(i)
        joined(room, begin(room))
    return tracker


def python_subscriptions(n: int) -> object:
    subscribed: dict[str, int] = {}
    for ticket in range(n):
        subscribed[corpus.room_id(ticket)] = ticket
    return subscribed


# kind -> (what, unit, entries, {side: builder}); the first Python side is the one the goal uses.
KINDS: dict[str, tuple[str, str, int, dict[str, Builder]]] = {
    "inflight_one_room_memory": (
        "in-flight claims in one room", "bytes per claim", 1_000_000,
        {"module": module_claims(1), "Python dict of room -> set of ids": python_claims(1)}),
    "inflight_100_rooms_memory": (
        "in-flight claims over 100 rooms", "bytes per claim", 1_000_000,
        {"module": module_claims(ROOMS), "Python dict of room -> set of ids": python_claims(ROOMS)}),
    "completed_ids_memory": (
        "completed ids over 100 rooms (max_completed holding them all)", "bytes per id", 1_000_000,
        {"module": module_completed, "Python dict of room -> dict of ids": python_completed(dict),
         "Python dict of room -> OrderedDict of ids": python_completed(OrderedDict)}),
    "pending_settlements_memory": (
        "processed settlements recorded and not confirmed, over 100 rooms", "bytes per settlement", 1_000_000,
        {"module": module_settlements, "Python dict of room -> dict of settlement dicts": python_settlements,
         "Python dict of room -> dict of (token, status, parked)": python_settlement_tuples}),
    "pending_asks_memory": (
        "asks registered with register_minted over 100 rooms", "bytes per ask", 1_000_000,
        {"module": module_asks, "Python dict of token -> (room, ticket, claimed)": python_asks}),
    "room_subscriptions_memory": (
        "rooms subscribed (begin_room_subscribe, record_both_room_topics_joined)", "bytes per room", 1_000_000,
        {"module": module_subscriptions, "Python dict of room -> ticket": python_subscriptions}),
}


# ---- the probe, in its own process


def probe(kind: str, side: str, n: int) -> dict[str, Any]:
    build = KINDS[kind][3][side]
    if side == "module":
        _module()  # imported before the first reading, so the growth is the entries' alone
    gc.collect()
    before = resident_bytes()
    holder = build(n)
    gc.collect()
    after = resident_bytes()
    del holder
    return {"kind": kind, "side": side, "n": n, "rss_before": before, "rss_after": after, "bytes": after - before}


def run_probe(kind: str, side: str, n: int) -> int:
    done = subprocess.run([sys.executable, os.path.abspath(__file__), kind, side, str(n)],
                          capture_output=True, text=True, check=False)
    if done.returncode != 0:
        raise RuntimeError(done.stderr.strip() or done.stdout.strip() or f"probe exited {done.returncode}")
    grown: int = json.loads(done.stdout)["bytes"]
    return grown


# ---- the cases


def cases(q: Any, quick: bool) -> list["Case"]:
    from cases import Case, memory_runner

    skip = target.missing(q, "ClaimRegistry.remember_completed", "DecisionRegistry.register_minted",
                          "SubscriptionTracker.record_both_room_topics_joined")
    probes = 6  # the fewest whose extremes bound the median with 95% confidence
    made = []
    for kind, (what, unit, n, sides) in KINDS.items():
        contenders = [Contender(side, "module" if side == "module" else "baseline", side, dict,
                                skip=skip if side == "module" else None) for side in sides]
        made.append(Case(kind, f"resident memory of {n:.0e} {what}, each measured in a fresh process", unit,
                         contenders, runner=memory_runner(probes, n, partial(run_probe, kind))))
    return made


def goals() -> list["Goal"]:
    from cases import Goal

    made = []
    for kind, (what, _unit, n, sides) in KINDS.items():
        python = [side for side in sides if side != "module"][0]
        count = f"{n:.0e}".replace("e+0", "e")  # 1e6
        made.append(Goal(f"{count} {what}: at most 0.5 x the memory of a {python[len('Python '):]}", kind,
                         "module", python, 0.5))
    return made


if __name__ == "__main__":
    print(json.dumps(probe(sys.argv[1], sys.argv[2], int(float(sys.argv[3])))))
