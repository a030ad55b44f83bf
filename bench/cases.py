"""The benchmark cases, their contenders and the goals they are judged by.

A case times one piece of work done several ways: the module, its peers and pure-Python
baselines, and the floors: the call floor (the same loop with every module call replaced by an
empty builtin call taking as many arguments) and, for the stateful cycles, the object floor (the
call floor plus, after each call, the very objects the module answers built in plain Python).
Stateful cases time a whole cycle that leaves the object as it found it, so every batch measures
the same steady state.
"""

import functools
import json
import math
import os
import subprocess
import sys
from dataclasses import dataclass, field
from typing import Any, Callable, Optional, Sequence, Union

import corpus
import peers
import pure_channels
import pure_events
import pure_ledgers
import pure_session
import pure_turns
import target
from compare import same_json, same_shape, wire
from timing import Contender, Namespace, Settings, run_contenders, sample_result

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
    return Contender("call floor", "floor", body, lambda: dict(names), pool=pool, before=before, after=after)


# ---- the object floor: the call floor plus the answers built in plain Python


@dataclass(frozen=True)
class Step:
    """One module call of a cycle, as the object floor makes it: the empty builtin call of the same
    arity, then `built` (a plain-Python expression building the object the call answers) used as
    the module's loop uses the answer (`use`, with @ standing for it). `n` is a counter carried
    from batch to batch, for answers that are fresh numbers or strings."""

    arity: int
    built: str
    use: str = "_r = @"


Line = Union[Step, str]  # a str is loop code between the calls, the same in every contender


def object_floor_body(lines: Sequence[Line]) -> str:
    out: list[str] = []
    for line in lines:
        if isinstance(line, str):
            out.append(line)
        else:
            out += [floor_call(line.arity), line.use.replace("@", line.built)]
    return "\n".join(out)


def built_answers(lines: Sequence[Line], ns: Namespace) -> list[Any]:
    """The objects the object floor builds, one per call, in a given namespace."""
    return [eval(line.built, {}, {**ns, "n": 1}) for line in lines if isinstance(line, Step)]


def object_floor_contender(
    lines: Sequence[Line], answers: Callable[[], list[Any]], constants: Callable[[list[Any]], Namespace],
    pool: Optional[list[Any]] = None, extra: Optional[Namespace] = None, before: str = "", after: str = "",
) -> Contender:
    """`answers()` runs one cycle on a fresh object and returns what each call answered;
    `constants(answers)` names the answers that are shared objects (enumeration members), which
    the floor refers to as the module does. The check holds the floor to the answers' shape."""

    def setup() -> Namespace:
        return {**_FLOOR_NAMES, "box": [0], **(extra or {}), **constants(answers())}

    def check(ns: Namespace) -> None:
        expected = answers()
        built = built_answers(lines, ns)
        expect(len(built) == len(expected), f"{len(built)} objects built for {len(expected)} calls")
        for made, answer in zip(built, expected):
            expect(same_shape(made, answer), f"the object floor builds {made!r} where the call answers {answer!r}")

    return Contender("object floor", "floor", object_floor_body(lines), setup, pool=pool, check=check,
                     before="\n".join(filter(None, ["n = box[0]", before])),
                     after="\n".join(filter(None, ["box[0] = n", after])))


# ---- helpers


def expect(condition: bool, what: str) -> None:
    if not condition:
        raise AssertionError(what)


def _peer(name: str, function: Optional[Callable[[Any], Any]], body: str, args: Namespace, **kwargs: Any) -> Contender:
    skip = None if function is not None else f"{name} is not installed (pip install '.[bench]')"
    return Contender(name, "baseline", body, lambda: {"f": function, **args}, skip=skip, **kwargs)


def _bound(function: Any, args: Namespace) -> Callable[[], Namespace]:
    return lambda: {"f": function, **args}


@dataclass
class Case:
    name: str
    what: str
    unit: str  # what the medians count: "ns per call", "ns per cycle", "bytes per claim"
    contenders: list[Contender]
    runner: Runner = run_contenders
    result: dict[str, Any] = field(default_factory=dict)
    # For the picture: {"x": axis label, "series": {label: [(x, contender name), ...]}}.
    curves: Optional[dict[str, Any]] = None


# ---- validation


def _check_validated(payload: Any, event: str = MESSAGE_CREATED) -> Check:
    def check(ns: Namespace) -> None:
        got = ns["f"](event, payload)
        want = pure_events.validate_event_payload(event, payload)
        expect(same_json(got, want), "normalised payload differs from pure Python")

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
# A peer's loop catches that peer's own validation error and nothing else (`error` is bound to it).
_PEER_RAISING = _RAISING.replace("f(kind, p)", "f(p)").replace("ValueError", "error")


def _check_rejects(ns: Namespace) -> None:
    try:
        ns["f"](ns["p"])
    except ns["error"]:
        return
    raise AssertionError("the peer accepted the failing payload")


def failing_case(q: Kind) -> Case:
    skip = target.missing(q, "validate_event_payload")
    module = getattr(q, "validate_event_payload", None)
    failing = {"kind": MESSAGE_CREATED, "p": corpus.FAILING}
    realistic = {"kind": MESSAGE_CREATED, "p": corpus.REALISTIC}
    return Case(
        "validate_failing",
        "validate_event_payload raising the ValueError with all seven issues",
        "ns per call",
        [
            Contender("module", "module", _RAISING, lambda: {"f": module, **failing}, check=_check_failing, skip=skip),
            Contender("module, realistic payload", "reference", "f(kind, p)", lambda: {"f": module, **realistic},
                      check=_check_validated(corpus.REALISTIC), skip=skip),
            _peer("pydantic-core", peers.pydantic_validate, _PEER_RAISING, {**failing, "error": peers.pydantic_error},
                  check=_check_rejects),
            _peer("msgspec.convert", peers.msgspec_convert, _PEER_RAISING, {**failing, "error": peers.msgspec_error},
                  check=_check_rejects),
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


# ---- every message shape, and the validation cost curves

MESSAGE_EVENTS = (MESSAGE_CREATED, "message_updated")
# The shapes of corpus.SHAPES that the message validator checks, and those that reach the routing
# decision (evaluate_delivery_event validates "message_created" only; it ignores an update).
MESSAGE_SHAPES = {name: shape for name, shape in corpus.SHAPES.items() if shape[0] in MESSAGE_EVENTS}
DELIVERY_SHAPES = {name: shape for name, shape in corpus.SHAPES.items() if shape[0] == MESSAGE_CREATED}


def _validators(q: Kind, group: str, event: str, payload: Any) -> list[Contender]:
    """The module and its two peers validating one payload, as one group."""
    args = {"kind": event, "p": payload}
    return [
        Contender(f"{group}: module", "module", "f(kind, p)", _bound(getattr(q, "validate_event_payload", None), args),
                  check=_check_validated(payload, event), skip=target.missing(q, "validate_event_payload"),
                  group=group),
        _peer(f"{group}: pydantic-core", peers.pydantic_validate, "f(p)", args, group=group),
        _peer(f"{group}: msgspec.convert", peers.msgspec_convert, "f(p)", args, group=group),
    ]


def shapes_case(q: Kind) -> Case:
    contenders: list[Contender] = []
    for shape, (event, payload) in MESSAGE_SHAPES.items():
        contenders += _validators(q, shape, event, payload)
    return Case("validate_shapes", "validate_event_payload on every message shape of the corpus", "ns per call",
                contenders)


def delivery_shapes_case(q: Kind) -> Case:
    skip = target.missing(q, "evaluate_delivery_event")
    module = getattr(q, "evaluate_delivery_event", None)
    contenders: list[Contender] = []
    for shape, (event, payload) in DELIVERY_SHAPES.items():
        args = {"kind": event, "room": corpus.ROOM_ID, "p": payload, "agent": corpus.AGENT_ID}
        contenders += [
            Contender(f"{shape}: module", "module", "f(kind, room, p, agent)", _bound(module, args),
                      check=_check_decision, skip=skip, group=shape),
            _peer(f"{shape}: pydantic-core", peers.pydantic_validate, "f(p)", args, group=shape),
        ]
    return Case("evaluate_shapes", "evaluate_delivery_event on every message_created shape of the corpus",
                "ns per call", contenders)


MENTION_COUNTS = (0, 1, 2, 5, 10, 20, 50, 100)
TEXT_BYTES = (64, 256, 1024, 4096, 16384, 65536)


def _curve_case(q: Kind, name: str, what: str, x_label: str, points: list[tuple[int, str, Any]]) -> Case:
    contenders: list[Contender] = []
    series: dict[str, list[tuple[float, str]]] = {}
    for x, group, payload in points:
        for contender in _validators(q, group, MESSAGE_CREATED, payload):
            contenders.append(contender)
            series.setdefault(contender.name.split(": ", 1)[1], []).append((x, contender.name))
    return Case(name, what, "ns per call", contenders,
                curves={"title": f"validation cost against {x_label}", "x": x_label, "series": series})


def mentions_case(q: Kind) -> Case:
    points = [(count, f"{count} mentions",
               corpus._message(metadata={**corpus._METADATA, "mentions": [corpus._mention(i) for i in range(count)]}))
              for count in MENTION_COUNTS]
    return _curve_case(q, "validate_mentions", "validate_event_payload of the realistic message with 0 to 100 mentions",
                       "mentions", points)


def text_case(q: Kind) -> Case:
    points = [(size, f"{size} B text", corpus._message(content=corpus._text(size, ascii_only=False)))
              for size in TEXT_BYTES]
    return _curve_case(q, "validate_text", "validate_event_payload of the realistic message with 64 B to 64 KiB "
                       "of mixed-script text", "text bytes (UTF-8)", points)


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


def claim_answers(kind: Kind) -> list[Any]:
    """What each call of one claim cycle answers, from fresh objects."""
    registry, tracker = kind.ClaimRegistry(), kind.RetryTracker()
    room, message_id = corpus.ROOM_ID, corpus.message_id(0, 8)
    verdict = registry.guarded_claim(room, message_id, tracker)
    attempt = tracker.record_attempt(message_id)
    settlement = registry.record_processed_settlement(room, message_id)
    confirmed = registry.confirm_settlement(room, message_id, settlement["token"], tracker)
    return [verdict, attempt, settlement, confirmed, registry.release(room, message_id)]


# The settlement's token is the registry's counter as a decimal str.
CLAIM_OBJECTS: list[Line] = [
    Step(3, '"runnable"'),
    Step(1, "(one, False)"),
    Step(2, '{"token": f"{n}", "status": "processed", "parked": None, "continuation": {"kind": "finished"}}',
         'n += 1\ntoken = @["token"]'),
    Step(4, "True"),
    Step(2, "None"),
]


def claim_case(q: Kind) -> Case:
    skip = target.missing(q, "ClaimRegistry.guarded_claim", "RetryTracker.record_attempt")
    pool = _ids(4096, 1)
    answering = pure_ledgers if skip else q

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
            object_floor_contender(CLAIM_OBJECTS, lambda: claim_answers(answering), lambda _a: {"one": 1}, pool=pool),
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


def session_answers(kind: Kind, policy: Any) -> list[Any]:
    session = kind.Session(policy)
    epoch = session.begin_attempt(5.0)
    up = session.on_connected(epoch, 5.0)
    dropped = session.on_socket_close(epoch, 105.0, 1006, 0.5)
    again = session.begin_attempt(106.0)
    return [epoch, up, dropped, again, session.on_socket_close(again, 107.0, None, 0.5)]


# An outcome as the cheapest plain object of its four fields (state, retry_after_s, dead_reason,
# stale_reason): a tuple, its back-off a fresh float.
SESSION_OBJECTS: list[Line] = [
    Step(1, "n", "n += 1\nepoch = @"),
    Step(2, "(up, None, None, None)"),
    "t += 100.0",
    Step(4, "(reconnecting, b + 0.0, None, None)", "t += @[1]"),
    Step(1, "n", "n += 1\nepoch = @"),
    "t += 1.0",
    Step(4, "(reconnecting, b + 0.0, None, None)", "t += @[1]"),
]


def _session_constants(answers: list[Any]) -> Namespace:
    return {"up": answers[1].state, "reconnecting": answers[2].state, "b": 0.5}


def session_case(q: Kind) -> Case:
    skip = target.missing(q, "Session.on_socket_close", "SessionPolicy.default")
    answering: Callable[[], list[Any]] = (
        (lambda: session_answers(pure_session, pure_session.SessionPolicy())) if skip
        else (lambda: session_answers(q, q.SessionPolicy.default())))

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
            object_floor_contender(SESSION_OBJECTS, answering, _session_constants, extra={"clock": [5.0]},
                                   before=before, after=after),
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


def subscription_answers(kind: Kind) -> list[Any]:
    tracker, room = kind.SubscriptionTracker(), corpus.room_id(1000)
    first = tracker.begin_room_subscribe(room)
    joined = tracker.record_both_room_topics_joined(room, first)
    second = tracker.unsubscribe_room(room)
    return [first, joined, second, tracker.mark_room_leave_complete(room, second, kind.LeaveOutcome.Left)]


SUBSCRIPTION_OBJECTS: list[Line] = [
    Step(1, "n", "n += 1\nticket = @"),
    Step(2, "subscribed"),
    Step(1, "n", "n += 1\nticket = @"),
    Step(3, "True"),
]


def subscription_case(q: Kind) -> Case:
    skip = target.missing(q, "SubscriptionTracker.begin_room_subscribe", "LeaveOutcome")
    answering = pure_channels if skip else q
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
            object_floor_contender(SUBSCRIPTION_OBJECTS, lambda: subscription_answers(answering),
                                   lambda a: {"subscribed": a[1]}, pool=pool),
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


def decision_answers(kind: Kind) -> list[Any]:
    registry = kind.DecisionRegistry(seed=7)
    pair = registry.register_minted(corpus.ROOM_ID)
    return [pair, registry.try_claim(*pair), registry.forget(*pair)]


# The token is eight hex digits.
DECISION_OBJECTS: list[Line] = [
    Step(1, '(f"{n:08x}", n)', "n += 1\npair = @\ntoken, ticket = pair"),
    Step(2, "claimed"),
    Step(2, "True"),
]


def decision_case(q: Kind) -> Case:
    skip = target.missing(q, "DecisionRegistry.register_minted")
    answering = pure_turns if skip else q

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
            object_floor_contender(DECISION_OBJECTS, lambda: decision_answers(answering),
                                   lambda a: {"claimed": a[1]}),
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


def turn_answers(kind: Kind) -> list[Any]:
    ledger = kind.TurnLedger()
    return [ledger.record(kind.TurnEffect.Act), ledger.record(kind.TurnEffect.Reply), ledger.verdict()]


TURN_OBJECTS: list[Line] = [Step(1, "None"), Step(1, "None"), Step(0, "complete")]


def turn_case(q: Kind) -> Case:
    skip = target.missing(q, "TurnLedger", "TurnEffect")
    answering = pure_turns if skip else q

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
            object_floor_contender(TURN_OBJECTS, lambda: turn_answers(answering), lambda a: {"complete": a[2]}),
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


def _claims_namespace(kind: Kind, live: int, rooms: int) -> Namespace:
    # The claimed room holds its share of the live keys: all of them when there is one room.
    return {"reg": _registry_with_claims(kind, live, rooms), "room": corpus.room_id(7 % rooms)}


SCALING_LAYOUTS = ((1, "one room"), (100, "100 rooms"))


def scaling_case(q: Kind, sizes: tuple[int, ...]) -> Case:
    skip = target.missing(q, "ClaimRegistry.try_claim", "ClaimRegistry.release")
    pool = _ids(4096, 3)
    body = "reg.try_claim(room, _item)\nreg.release(room, _item)"
    contenders: list[Contender] = []
    series: dict[str, list[tuple[float, str]]] = {}
    for rooms, layout in SCALING_LAYOUTS:
        for live in sizes:
            group = f"{layout}, {live:.0e} live"
            for kind, role, label in ((q, "module", "module"), (pure_ledgers, "baseline", "pure Python")):
                name = f"{group}: {label}"
                contenders.append(Contender(
                    name, role, body, functools.partial(_claims_namespace, kind, live, rooms),
                    pool=pool, skip=skip if kind is q else None, group=group,
                ))
                series.setdefault(f"{label}, {layout}", []).append((live, name))
    return Case(
        "claim_scaling",
        "ClaimRegistry try_claim + release of a new key while 1e3 to 1e6 other claims are live, "
        "in the same room or spread over 100 rooms",
        "ns per cycle",
        contenders,
        curves={"title": "cost per claim against live keys", "x": "live claims", "series": series},
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


def memory_runner(probes: int, claims: int, probe: Callable[[str, int], float] | None = None) -> Runner:
    """Probes the contenders in turn, `probes` rounds of one probe each, so that probe i of every
    contender is round i of the ratios. `probe(body, count)` gives the bytes grown in a fresh
    process (by default the in-flight claims probe)."""
    measure = probe or _probe

    def run(contenders: list[Contender], _settings: Settings) -> None:
        runnable = [c for c in contenders if not c.skip]
        for contender in contenders:
            if contender.skip:
                contender.result = {"status": "skipped", "reason": contender.skip}
        samples: dict[str, list[float]] = {c.name: [] for c in runnable}
        failed: dict[str, str] = {}
        for _ in range(probes):
            for contender in runnable:
                if contender.name not in failed:
                    try:
                        samples[contender.name].append(measure(contender.body, claims) / claims)
                    except Exception as error:  # reported as this contender's error; the others go on
                        failed[contender.name] = str(error)
        for contender in runnable:
            if contender.name in failed:
                contender.result = {"status": "error", "reason": failed[contender.name]}
            else:
                contender.result = sample_result(samples[contender.name])

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
    """Met when the upper end of the 95% interval of numerator / denominator is at most `limit`.

    With `over`, the ratio is taken within each of those groups (contenders named
    "<group>: <numerator>" and "<group>: <denominator>") and the groups' ratios are combined in
    each round by `aggregate` ("geometric mean" or "worst")."""

    text: str
    case: str
    numerator: str
    denominator: str
    limit: float
    over: tuple[str, ...] = ()
    aggregate: str = ""


def _stateful_goals(case: str, what: str) -> list["Goal"]:
    return [
        Goal(f"{what}: at most 0.25 x pure Python", case, "module", "pure Python", 0.25),
        Goal(f"{what}: at most 1.5 x the object floor", case, "module", "object floor", 1.5),
    ]


def _shape_goals(peer: str, mean_limit: float, worst_limit: float) -> list["Goal"]:
    shapes = tuple(MESSAGE_SHAPES)
    return [
        Goal(f"validation: at most {mean_limit} x {peer}, geometric mean over the message shapes", "validate_shapes",
             "module", peer, mean_limit, shapes, "geometric mean"),
        Goal(f"validation: at most {worst_limit} x {peer} on the worst message shape", "validate_shapes",
             "module", peer, worst_limit, shapes, "worst"),
    ]


GOALS = [
    *_shape_goals("pydantic-core", 0.5, 0.6),
    *_shape_goals("msgspec.convert", 0.8, 1.0),
    Goal("evaluate_delivery_event: at most 0.4 x pydantic-core validating the payload, on every message shape",
         "evaluate_shapes", "module", "pydantic-core", 0.4, tuple(DELIVERY_SHAPES), "worst"),
    Goal("validate realistic: at most 0.1 x pure Python", "validate_realistic", "module", "pure Python", 0.1),
    *_stateful_goals("claim_cycle", "claim cycle"),
    *_stateful_goals("session_cycle", "session cycle"),
    *_stateful_goals("subscription_cycle", "subscription cycle"),
    *_stateful_goals("decision_cycle", "decision register/claim"),
    *_stateful_goals("turn_cycle", "turn record/verdict"),
    Goal("per-key claim at 1e6 live keys over 100 rooms: at most 1.5 x at 1e3", "claim_scaling",
         "100 rooms, 1e+06 live: module", "100 rooms, 1e+03 live: module", 1.5),
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
        shapes_case(q),
        delivery_shapes_case(q),
        mentions_case(q),
        text_case(q),
        claim_case(q),
        session_case(q),
        subscription_case(q),
        decision_case(q),
        turn_case(q),
        scaling_case(q, (1_000, 10_000, 100_000, 1_000_000)),
        room_wide_case(q),
        # Six probes are the fewest whose extremes bound the median with 95% confidence.
        memory_case(q, 1_000_000, 6 if quick else 9),
        *flow.cases(q, quick),
        *memory_cases.cases(q, quick),
    ]


# ---- cases kept in files of their own: the inbound flow and the memory of every ledger. They
# build on the helpers above, so they are imported last.

import flow  # noqa: E402
import memory_cases  # noqa: E402

GOALS += [*flow.goals(), *memory_cases.goals()]
