"""The benchmark cases, their contenders and the goals they are judged by.

A case times one piece of work done several ways: the module, its peers and pure-Python
baselines, and the interpreter floor (the same loop with every module call replaced by an empty
builtin call taking as many arguments). Stateful cases time a whole cycle that leaves the object
as it found it, so every batch measures the same steady state.
"""

import functools
import json
import math
import os
import statistics
import subprocess
import sys
from dataclasses import dataclass, field
from typing import Any, Callable, Optional

import corpus
import peers
import pure_channels
import pure_events
import pure_ledgers
import pure_session
import pure_turns
import target
from compare import same_json, wire
from timing import Contender, Namespace, Settings, run_contenders

# The module under test (None when it cannot be imported) or a pure-Python baseline module: both
# are driven through the same duck-typed calls.
Kind = Any
Check = Callable[[Namespace], None]
Runner = Callable[[list[Contender], Settings], None]

MESSAGE_CREATED = "message_created"

# ---- the interpreter floor: the cheapest empty builtin call of each arity

_FLOOR_NAMES: Namespace = {"_s": "x", "_t": (), "_d": {}, "_z": 0.0, "_hypot": math.hypot}


def floor_call(arity: int) -> str:
    if arity == 0:
        return "_s.isascii()"
    if arity == 1:
        return "_t.count(_z)"
    if arity == 2:
        return "_d.get(_z, _z)"
    return "_hypot(" + ", ".join(["_z"] * arity) + ")"


def floor_contender(
    body: str, pool: Optional[list[Any]] = None, extra: Optional[Namespace] = None, before: str = "", after: str = ""
) -> Contender:
    names = {**_FLOOR_NAMES, **(extra or {})}
    return Contender("floor", "floor", body, lambda: dict(names), pool=pool, before=before, after=after)


# ---- helpers


def expect(condition: bool, what: str) -> None:
    if not condition:
        raise AssertionError(what)


def _peer(name: str, function: Optional[Callable[[Any], Any]], body: str, args: Namespace, **kwargs: Any) -> Contender:
    skip = None if function is not None else f"{name} is not installed (pip install '.[bench]')"
    return Contender(name, "baseline", body, lambda: {"f": function, **args}, skip=skip, **kwargs)


@dataclass
class Case:
    name: str
    what: str
    unit: str  # what the medians count: "ns per call", "ns per cycle", "bytes per claim"
    contenders: list[Contender]
    runner: Runner = run_contenders
    result: dict[str, dict[str, float]] = field(default_factory=dict)


# ---- validation


def _check_validated(payload: Any) -> Check:
    def check(ns: Namespace) -> None:
        got = ns["f"](MESSAGE_CREATED, payload)
        expect(same_json(got, pure_events.validate_message(payload)), "normalised payload differs from pure Python")

    return check


def _check_failing(ns: Namespace) -> None:
    try:
        ns["f"](MESSAGE_CREATED, corpus.FAILING)
    except ValueError as error:
        issues = getattr(error, "issues", None)
        expect(issues == corpus.FAILING_ISSUES, f"issues differ: {issues!r}")
        return
    raise AssertionError("the failing payload validated")


def validation_case(q: Kind, label: str, payload: Any) -> Case:
    skip = target.missing(q, "validate_event_payload")
    args = {"kind": MESSAGE_CREATED, "p": payload}
    module = getattr(q, "validate_event_payload", None)
    return Case(
        f"validate_{label}",
        f'validate_event_payload("message_created", {label} payload)',
        "ns per call",
        [
            Contender("module", "module", "f(kind, p)", lambda: {"f": module, **args},
                      check=_check_validated(payload), skip=skip),
            _peer("pydantic-core", peers.pydantic_validate, "f(p)", args),
            _peer("msgspec.convert", peers.msgspec_convert, "f(p)", args),
            Contender("pure Python", "baseline", "f(kind, p)",
                      lambda: {"f": pure_events.validate_event_payload, **args}),
            _peer("orjson round trip", peers.orjson_round_trip, "f(p)", args),
            floor_contender(floor_call(2)),
        ],
    )


_RAISING = """
try:
    f(kind, p)
except ValueError:
    pass
"""


def failing_case(q: Kind) -> Case:
    skip = target.missing(q, "validate_event_payload")
    module = getattr(q, "validate_event_payload", None)
    failing = {"kind": MESSAGE_CREATED, "p": corpus.FAILING}
    realistic = {"kind": MESSAGE_CREATED, "p": corpus.REALISTIC}
    peer_raising = _RAISING.replace("f(kind, p)", "f(p)").replace("ValueError", "Exception")
    return Case(
        "validate_failing",
        "validate_event_payload raising the ValueError with all seven issues",
        "ns per call",
        [
            Contender("module", "module", _RAISING, lambda: {"f": module, **failing}, check=_check_failing, skip=skip),
            Contender("module, realistic payload", "reference", "f(kind, p)", lambda: {"f": module, **realistic},
                      check=_check_validated(corpus.REALISTIC), skip=skip),
            _peer("pydantic-core", peers.pydantic_validate, peer_raising, failing),
            _peer("msgspec.convert", peers.msgspec_convert, peer_raising, failing),
            Contender("pure Python", "baseline", _RAISING,
                      lambda: {"f": pure_events.validate_event_payload, **failing}),
        ],
    )


def _check_decision(ns: Namespace) -> None:
    got = ns["f"](MESSAGE_CREATED, ns["room"], ns["p"], ns["agent"])
    want = pure_events.evaluate_delivery_event(MESSAGE_CREATED, ns["room"], ns["p"], ns["agent"])
    expect(same_json(got, want), f"decision differs: {got!r}")


def delivery_case(q: Kind) -> Case:
    skip = target.missing(q, "evaluate_delivery_event")
    module = getattr(q, "evaluate_delivery_event", None)
    args = {"kind": MESSAGE_CREATED, "room": corpus.ROOM_ID, "p": corpus.REALISTIC, "agent": corpus.AGENT_ID}
    body = "f(kind, room, p, agent)"
    return Case(
        "evaluate_delivery_event",
        'evaluate_delivery_event("message_created", room, realistic payload, agent)',
        "ns per call",
        [
            Contender("module", "module", body, lambda: {"f": module, **args}, check=_check_decision, skip=skip),
            _peer("pydantic-core", peers.pydantic_validate, "f(p)", args),
            Contender("pure Python", "baseline", body, lambda: {"f": pure_events.evaluate_delivery_event, **args}),
            floor_contender(floor_call(4)),
        ],
    )


# ---- stateful cycles


def _ids(n: int, salt: int) -> list[str]:
    return [corpus.message_id(i, salt) for i in range(n)]


_CLAIM_CYCLE = """
reg.guarded_claim(room, _item, tracker)
tracker.record_attempt(_item)
token = reg.record_processed_settlement(room, _item)["token"]
reg.confirm_settlement(room, _item, token, tracker)
reg.release(room, _item)
"""


def claim_cycle(registry: Any, tracker: Any, room: str, message_id: str) -> tuple[Any, ...]:
    """One delivery of a message, as the host drives it; what each step answered."""
    verdict = registry.guarded_claim(room, message_id, tracker)
    attempt = tracker.record_attempt(message_id)
    settlement = registry.record_processed_settlement(room, message_id)
    confirmed = registry.confirm_settlement(room, message_id, settlement["token"], tracker)
    registry.release(room, message_id)
    return verdict, attempt, settlement, confirmed


def _check_claims(q: Kind) -> Check:
    def check(_ns: Namespace) -> None:
        module = (q.ClaimRegistry(), q.RetryTracker())
        plain = (pure_ledgers.ClaimRegistry(), pure_ledgers.RetryTracker())
        for message_id in _ids(600, 9) + _ids(3, 9):  # past the completed capacity and back
            got = claim_cycle(*module, corpus.ROOM_ID, message_id)
            want = claim_cycle(*plain, corpus.ROOM_ID, message_id)
            expect(got == want, f"claim cycle differs: {got!r} != {want!r}")

    return check


def claim_case(q: Kind) -> Case:
    skip = target.missing(q, "ClaimRegistry.guarded_claim", "RetryTracker.record_attempt")
    pool = _ids(4096, 1)

    def setup(kind: Kind) -> Callable[[], Namespace]:
        return lambda: {"reg": kind.ClaimRegistry(), "tracker": kind.RetryTracker(), "room": corpus.ROOM_ID}

    return Case(
        "claim_cycle",
        "ClaimRegistry guarded_claim, RetryTracker record_attempt, record_processed_settlement, "
        "confirm_settlement, release",
        "ns per cycle",
        [
            Contender("module", "module", _CLAIM_CYCLE, setup(q), pool=pool, check=_check_claims(q) if not skip else None,
                      skip=skip),
            Contender("pure Python", "baseline", _CLAIM_CYCLE, setup(pure_ledgers), pool=pool),
            floor_contender(
                f"{floor_call(3)}\n{floor_call(1)}\ntoken = {floor_call(2)}\n{floor_call(4)}\n{floor_call(2)}", pool=pool
            ),
        ],
    )


_SESSION_CYCLE = """
epoch = s.begin_attempt(t)
s.on_connected(epoch, t)
t += 100.0
t += s.on_socket_close(epoch, t, 1006, 0.5).retry_after_s
epoch = s.begin_attempt(t)
t += 1.0
t += s.on_socket_close(epoch, t, None, 0.5).retry_after_s
"""


def session_cycle(session: Any, t: float) -> tuple[list[tuple[Any, ...]], float]:
    """A stable connection that drops, then an attempt that fails before it opens."""
    epoch = session.begin_attempt(t)
    up = session.on_connected(epoch, t)
    t += 100.0
    dropped = session.on_socket_close(epoch, t, 1006, 0.5)
    t += dropped.retry_after_s
    epoch = session.begin_attempt(t)
    t += 1.0
    failed = session.on_socket_close(epoch, t, None, 0.5)
    t += failed.retry_after_s
    outcomes = [(wire(o.state), o.retry_after_s, wire(o.dead_reason), wire(o.stale_reason))
                for o in (up, dropped, failed)]
    return outcomes, t


def _check_session(q: Kind) -> Check:
    def check(_ns: Namespace) -> None:
        module, plain = q.Session(q.SessionPolicy.default()), pure_session.Session(pure_session.SessionPolicy())
        t_module = t_plain = 5.0
        for _ in range(20):
            got, t_module = session_cycle(module, t_module)
            want, t_plain = session_cycle(plain, t_plain)
            expect(got == want, f"session cycle differs: {got!r} != {want!r}")

    return check


def session_case(q: Kind) -> Case:
    skip = target.missing(q, "Session.on_socket_close", "SessionPolicy.default")

    def setup(kind: Kind, policy: Callable[[], Any]) -> Callable[[], Namespace]:
        return lambda: {"s": kind.Session(policy()), "clock": [5.0]}

    before, after = "t = clock[0]", "clock[0] = t"
    floor_body = (f"epoch = {floor_call(1)}\n{floor_call(2)}\nt += 100.0\nt += {floor_call(4)}\n"
                  f"epoch = {floor_call(1)}\nt += 1.0\nt += {floor_call(4)}")
    return Case(
        "session_cycle",
        "Session begin_attempt, on_connected, drop after 100 s, back-off; begin_attempt, failure before open, back-off",
        "ns per cycle",
        [
            Contender("module", "module", _SESSION_CYCLE, setup(q, lambda: q.SessionPolicy.default()),
                      check=_check_session(q) if not skip else None, skip=skip, before=before, after=after),
            Contender("pure Python", "baseline", _SESSION_CYCLE, setup(pure_session, pure_session.SessionPolicy),
                      before=before, after=after),
            floor_contender(floor_body, extra={"clock": [5.0]}, before=before, after=after),
        ],
    )


_SUBSCRIPTION_CYCLE = """
ticket = tr.begin_room_subscribe(_item)
tr.record_both_room_topics_joined(_item, ticket)
ticket = tr.unsubscribe_room(_item)
tr.mark_room_leave_complete(_item, ticket, left)
"""


def subscription_cycle(tracker: Any, room: str, left: Any) -> tuple[Any, ...]:
    first = tracker.begin_room_subscribe(room)
    joined = tracker.record_both_room_topics_joined(room, first)
    second = tracker.unsubscribe_room(room)
    done = tracker.mark_room_leave_complete(room, second, left)
    return first, wire(joined), second, done, wire(tracker.room_status(room))


def _tracker_with_rooms(kind: Kind, rooms: list[str]) -> Any:
    tracker = kind.SubscriptionTracker()
    for room in rooms:
        tracker.record_both_room_topics_joined(room, tracker.begin_room_subscribe(room))
    return tracker


def _check_subscriptions(q: Kind) -> Check:
    def check(_ns: Namespace) -> None:
        rooms = [corpus.room_id(i) for i in range(5)]
        module = _tracker_with_rooms(q, rooms)
        plain = _tracker_with_rooms(pure_channels, rooms)
        for room in [corpus.room_id(100 + i) for i in range(10)]:
            got = subscription_cycle(module, room, q.LeaveOutcome.Left)
            want = subscription_cycle(plain, room, pure_channels.LeaveOutcome.Left)
            expect(got == want, f"subscription cycle differs: {got!r} != {want!r}")
        expect(module.subscribed_room_ids() == plain.subscribed_room_ids(), "subscribed rooms differ")

    return check


def subscription_case(q: Kind) -> Case:
    skip = target.missing(q, "SubscriptionTracker.begin_room_subscribe", "LeaveOutcome")
    standing = [corpus.room_id(i) for i in range(100)]
    pool = [corpus.room_id(1000 + i) for i in range(256)]

    def setup(kind: Kind) -> Callable[[], Namespace]:
        return lambda: {"tr": _tracker_with_rooms(kind, standing), "left": kind.LeaveOutcome.Left}

    return Case(
        "subscription_cycle",
        "SubscriptionTracker begin_room_subscribe, record_both_room_topics_joined, unsubscribe_room, "
        "mark_room_leave_complete (100 rooms standing)",
        "ns per cycle",
        [
            Contender("module", "module", _SUBSCRIPTION_CYCLE, setup(q), pool=pool,
                      check=_check_subscriptions(q) if not skip else None, skip=skip),
            Contender("pure Python", "baseline", _SUBSCRIPTION_CYCLE, setup(pure_channels), pool=pool),
            floor_contender(
                f"ticket = {floor_call(1)}\n{floor_call(2)}\nticket = {floor_call(1)}\n{floor_call(3)}", pool=pool
            ),
        ],
    )


_DECISION_CYCLE = """
token, ticket = reg.register_minted(room)
reg.try_claim(token, ticket)
reg.forget(token, ticket)
"""


def decision_cycle(registry: Any, room: str) -> tuple[Any, ...]:
    token, ticket = registry.register_minted(room)
    claimed = registry.try_claim(token, ticket)
    again = registry.try_claim(token, ticket)
    forgotten = registry.forget(token, ticket)
    return token, ticket, wire(claimed), wire(again), forgotten


def _registry_with_asks(kind: Kind, count: int) -> Any:
    registry = kind.DecisionRegistry(seed=7)
    for i in range(count):
        registry.register_minted(corpus.room_id(i % 10))
    return registry


def _check_decisions(q: Kind) -> Check:
    def check(_ns: Namespace) -> None:
        module, plain = _registry_with_asks(q, 20), _registry_with_asks(pure_turns, 20)
        for _ in range(50):
            got, want = decision_cycle(module, corpus.ROOM_ID), decision_cycle(plain, corpus.ROOM_ID)
            expect(got == want, f"decision cycle differs: {got!r} != {want!r}")
        expect(module.unclaimed_in_room(corpus.room_id(3)) == plain.unclaimed_in_room(corpus.room_id(3)),
               "unclaimed asks differ")

    return check


def decision_case(q: Kind) -> Case:
    skip = target.missing(q, "DecisionRegistry.register_minted")

    def setup(kind: Kind) -> Callable[[], Namespace]:
        return lambda: {"reg": _registry_with_asks(kind, 100), "room": corpus.ROOM_ID}

    return Case(
        "decision_cycle",
        "DecisionRegistry register_minted, try_claim, forget (100 asks pending)",
        "ns per cycle",
        [
            Contender("module", "module", _DECISION_CYCLE, setup(q),
                      check=_check_decisions(q) if not skip else None, skip=skip),
            Contender("pure Python", "baseline", _DECISION_CYCLE, setup(pure_turns)),
            floor_contender(f"{floor_call(1)}\ntoken, ticket = pair\n{floor_call(2)}\n{floor_call(2)}",
                            extra={"pair": ("7b1dcdaf", 0)}),
        ],
    )


_TURN_CYCLE = """
ledger.record(act)
ledger.record(reply)
ledger.verdict()
"""


def _check_turns(q: Kind) -> Check:
    def check(_ns: Namespace) -> None:
        for effects in ([], ["observe"], ["act"], ["decline"], ["reply", "observe"], ["observe", "act"]):
            module, plain = q.TurnLedger(), pure_turns.TurnLedger()
            for name in effects:
                module.record(q.TurnEffect.from_wire_name(name))
                plain.record(pure_turns.TurnEffect(name))
            got = (wire(module.verdict()), module.reply_settled())
            want = (wire(plain.verdict()), plain.reply_settled())
            expect(got == want, f"turn verdict differs for {effects}: {got!r} != {want!r}")

    return check


def turn_case(q: Kind) -> Case:
    skip = target.missing(q, "TurnLedger", "TurnEffect")

    def setup(kind: Kind) -> Callable[[], Namespace]:
        return lambda: {"ledger": kind.TurnLedger(), "act": kind.TurnEffect.Act, "reply": kind.TurnEffect.Reply}

    return Case(
        "turn_cycle",
        "TurnLedger record(Act), record(Reply), verdict()",
        "ns per cycle",
        [
            Contender("module", "module", _TURN_CYCLE, setup(q), check=_check_turns(q) if not skip else None,
                      skip=skip),
            Contender("pure Python", "baseline", _TURN_CYCLE, setup(pure_turns)),
            floor_contender(f"{floor_call(1)}\n{floor_call(1)}\n{floor_call(0)}"),
        ],
    )


# ---- scaling


def _registry_with_claims(kind: Kind, live: int, rooms: int = 100) -> Any:
    registry = kind.ClaimRegistry()
    room_ids = [corpus.room_id(i) for i in range(rooms)]
    claim = registry.try_claim
    for i in range(live):
        claim(room_ids[i % rooms], corpus.message_id(i, 2))
    return registry


def _claims_namespace(kind: Kind, live: int) -> Namespace:
    return {"reg": _registry_with_claims(kind, live), "room": corpus.room_id(7)}


def scaling_case(q: Kind, sizes: tuple[int, ...]) -> Case:
    skip = target.missing(q, "ClaimRegistry.try_claim", "ClaimRegistry.release")
    pool = _ids(4096, 3)
    body = "reg.try_claim(room, _item)\nreg.release(room, _item)"
    contenders: list[Contender] = []
    for kind, role, label in ((q, "module", "module"), (pure_ledgers, "baseline", "pure Python")):
        for live in sizes:
            contenders.append(Contender(
                f"{label} @ {live:.0e}", role, body,
                functools.partial(_claims_namespace, kind, live),
                pool=pool, skip=skip if kind is q else None,
            ))
    return Case(
        "claim_scaling",
        "ClaimRegistry try_claim + release of a new key while 1e3, 1e5 or 1e6 other claims are live",
        "ns per cycle",
        contenders,
    )


_TARGET_ROOM = corpus.room_id(0)


def _claims_in_rooms(kind: Kind, per_room: int, other_rooms: int) -> Any:
    registry = kind.ClaimRegistry()
    for r in range(other_rooms + 1):
        room = corpus.room_id(r)
        for i in range(per_room):
            message_id = corpus.message_id(i, 4)
            registry.try_claim(room, message_id)
            registry.remember_ack_pending(room, message_id)
    return registry


def _asks_in_rooms(kind: Kind, per_room: int, other_rooms: int) -> Any:
    registry = kind.DecisionRegistry(seed=11)
    for r in range(other_rooms + 1):
        for _ in range(per_room):
            registry.register_minted(corpus.room_id(r))
    return registry


def _check_room_query(q: Kind, method: str, build: Callable[[Kind], Any]) -> Check:
    def check(ns: Namespace) -> None:
        got = getattr(ns["reg"], method)(ns["room"])
        want = getattr(build(ns["plain_kind"]), method)(ns["room"])
        expect(sorted(got) == sorted(want), f"{method} differs from pure Python")

    return check


def room_wide_case(q: Kind, per_room: int = 100, other_rooms: int = 100) -> Case:
    queries = (
        ("inflight_ids", "ClaimRegistry", _claims_in_rooms, pure_ledgers),
        ("pending_ack_ids", "ClaimRegistry", _claims_in_rooms, pure_ledgers),
        ("unclaimed_in_room", "DecisionRegistry", _asks_in_rooms, pure_turns),
    )
    contenders: list[Contender] = []
    for method, cls, build, plain in queries:
        skip = target.missing(q, f"{cls}.{method}")
        for crowd, label in ((0, "alone"), (other_rooms, "crowded")):
            def setup(build: Callable[..., Any] = build, crowd: int = crowd, plain: Kind = plain) -> Namespace:
                return {"reg": build(q, per_room, crowd), "room": _TARGET_ROOM, "plain_kind": plain}

            def maker(kind: Kind, build: Callable[..., Any] = build, crowd: int = crowd) -> Any:
                return build(kind, per_room, crowd)

            contenders.append(Contender(
                f"{method} {label}", "module", f"reg.{method}(room)", setup, skip=skip,
                check=_check_room_query(q, method, maker) if not skip else None,
            ))

        def plain_setup(build: Callable[..., Any] = build, plain: Kind = plain) -> Namespace:
            return {"reg": build(plain, per_room, other_rooms), "room": _TARGET_ROOM}

        contenders.append(Contender(
            f"{method} crowded, pure Python", "baseline", f"reg.{method}(room)", plain_setup,
        ))
    return Case(
        "room_wide_queries",
        f"a query over one room of {per_room} entries, alone or while {other_rooms} other rooms hold "
        f"{per_room * other_rooms} (100 times more)",
        "ns per call",
        contenders,
    )


# ---- memory


def _probe(kind: str, claims: int) -> int:
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "memory_probe.py")
    done = subprocess.run([sys.executable, script, kind, str(claims)], capture_output=True, text=True, check=False)
    if done.returncode != 0:
        raise RuntimeError(done.stderr.strip() or done.stdout.strip() or f"probe exited {done.returncode}")
    grown: int = json.loads(done.stdout)["bytes"]
    return grown


def memory_runner(probes: int, claims: int) -> Runner:
    def run(contenders: list[Contender], _settings: Settings) -> None:
        for contender in contenders:
            if contender.skip:
                contender.result = {"status": "skipped", "reason": contender.skip}
                continue
            try:
                samples = sorted(_probe(contender.body, claims) / claims for _ in range(probes))
            except Exception as error:
                contender.result = {"status": "error", "reason": str(error)}
                continue
            contender.result = {"status": "ok", "median": statistics.median(samples), "min": samples[0],
                                "max": samples[-1], "rounds": probes}

    return run


def memory_case(q: Kind, claims: int, probes: int) -> Case:
    skip = target.missing(q, "ClaimRegistry.try_claim")
    return Case(
        "claims_memory",
        f"resident memory of {claims:.0e} in-flight claims, each measured in a fresh process",
        "bytes per claim",
        [
            Contender("module", "module", "module", dict, skip=skip),
            Contender("Python set of (room_id, message_id)", "baseline", "python_set", dict),
        ],
        runner=memory_runner(probes, claims),
    )


# ---- goals


@dataclass
class Goal:
    text: str
    case: str
    numerator: str
    denominator: str
    limit: float


def _stateful_goals(case: str, what: str) -> list["Goal"]:
    return [
        Goal(f"{what}: at most 0.25 x pure Python", case, "module", "pure Python", 0.25),
        Goal(f"{what}: at most 3 x the interpreter floor", case, "module", "floor", 3.0),
    ]


GOALS = [
    Goal("validate realistic: at most 0.5 x pydantic-core", "validate_realistic", "module", "pydantic-core", 0.5),
    Goal("validate realistic: at most 1.0 x msgspec.convert", "validate_realistic", "module", "msgspec.convert", 1.0),
    Goal("validate realistic: at most 0.1 x pure Python", "validate_realistic", "module", "pure Python", 0.1),
    Goal("evaluate_delivery_event: at most 0.5 x pydantic-core validating the payload", "evaluate_delivery_event",
         "module", "pydantic-core", 0.5),
    *_stateful_goals("claim_cycle", "claim cycle"),
    *_stateful_goals("session_cycle", "session cycle"),
    *_stateful_goals("subscription_cycle", "subscription cycle"),
    *_stateful_goals("decision_cycle", "decision register/claim"),
    *_stateful_goals("turn_cycle", "turn record/verdict"),
    Goal("per-key claim at 1e6 live keys: at most 1.5 x at 1e3", "claim_scaling", "module @ 1e+06", "module @ 1e+03",
         1.5),
    *[Goal(f"{m} with 100 x more entries in other rooms: at most 1.5 x alone", "room_wide_queries",
           f"{m} crowded", f"{m} alone", 1.5) for m in ("inflight_ids", "pending_ack_ids", "unclaimed_in_room")],
    Goal("1e6 in-flight claims: at most 0.5 x the memory of a Python set", "claims_memory", "module",
         "Python set of (room_id, message_id)", 0.5),
    Goal("failing payload (7 issues): at most 3 x the realistic success path", "validate_failing", "module",
         "module, realistic payload", 3.0),
]


def all_cases(q: Kind, quick: bool) -> list[Case]:
    return [
        validation_case(q, "realistic", corpus.REALISTIC),
        validation_case(q, "large", corpus.LARGE),
        failing_case(q),
        delivery_case(q),
        claim_case(q),
        session_case(q),
        subscription_case(q),
        decision_case(q),
        turn_case(q),
        scaling_case(q, (1_000, 100_000, 1_000_000)),
        room_wide_case(q),
        memory_case(q, 1_000_000, 1 if quick else 3),
        *flow.cases(q, quick),
        *memory_cases.cases(q, quick),
    ]


# ---- cases kept in files of their own: the inbound flow and the memory of every ledger. They
# build on the helpers above, so they are imported last.

import flow  # noqa: E402
import memory_cases  # noqa: E402

GOALS += [*flow.goals(), *memory_cases.goals()]
