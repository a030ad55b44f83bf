"""Fault injection: every callable, stepped through its allocation points.

For each callable, an object with a history and well-formed arguments are drawn; the call is then
repeated with allocations failing from the 1st, 2nd, ... on until it gets through: the
interpreter's allocators, and C++ `operator new` when the module is built with QSC_FAULT_HOOKS.
(Failing one allocation alone is not used: a traceback entry that the interpreter fails to create
after the call returns loses the exception in 3.11, which no callee can prevent.) Under a failure
the call raises MemoryError and leaves its objects exactly as they were; once through, it answers
as a twin object that never saw a failure.
"""

import ctypes
import os

import pytest
from hypothesis import HealthCheck, Phase, given, settings
from hypothesis import strategies as st

import quarn_sdk_core as q
import surface
from surface import CALLABLES, ENUM_CLASSES, OBJECT_CLASSES, VALID

try:
    import _testcapi
except ImportError:
    _testcapi = None

EXAMPLES = int(os.environ.get("QSC_FAULT_EXAMPLES", "2"))
LIMIT = 400  # allocation points per call; none comes near
COUNTS = {"fault cases": 0, "allocation points": 0}


class Injection:
    """Allocations fail from the `start`-th on while `call` runs."""

    def __init__(self, arm, disarm):
        self.arm, self.disarm = arm, disarm

    def call(self, fn, start, *args, **kwargs):
        self.arm(start)
        try:
            return fn(*args, **kwargs)
        finally:
            self.disarm()


def _cxx_injection():
    library = ctypes.CDLL(q.__file__)
    try:
        fail_after = library.qsc_fail_allocations_after
    except AttributeError:
        if os.environ.get("QSC_REQUIRE_FAULT_HOOKS") == "1":
            raise ImportError(f"{q.__file__} was built without QSC_FAULT_HOOKS") from None
        return None
    fail_after.argtypes = [ctypes.c_longlong]
    return Injection(fail_after, lambda: fail_after(-1))


PYTHON = _testcapi and Injection(_testcapi.set_nomemory, _testcapi.remove_mem_hooks)
CXX = _cxx_injection()
needs_python_hook = pytest.mark.skipif(PYTHON is None, reason="needs _testcapi")
needs_cxx_hook = pytest.mark.skipif(
    CXX is None, reason="C++ allocation failures need a module built with -DQSC_FAULT_HOOKS=ON (README, Development)")
INJECTIONS = [pytest.param(PYTHON, id="python", marks=needs_python_hook),
              pytest.param(CXX, id="c++", marks=needs_cxx_hook)]


def valid_arguments(draw, c):
    args, kwargs = [], {}
    for p in c.params:
        if p.default is not p.empty and draw(st.booleans()):
            continue
        kwargs[p.name] = draw(VALID[p.name])
    return kwargs


class World:
    """Objects of every class built by the same calls, so that a twin can be built alongside."""

    def __init__(self, draw, script=None):
        self.pool = {cls: [surface.produce(cls)] for cls in OBJECT_CLASSES}
        self.script = script if script is not None else self.history(draw)
        for c, kwargs in self.script:
            try:
                c.bind(self.receiver(c))(**self.values(kwargs))
            except (ValueError, TypeError):
                pass

    def history(self, draw):
        steps = draw(st.lists(st.sampled_from([c for c in CALLABLES if c.kind == "method" and not c.read_only]),
                              max_size=12))
        return [(c, valid_arguments(draw, c)) for c in steps]

    def receiver(self, c):
        if c.owner in ENUM_CLASSES:
            return surface.variants(c.owner)[0]
        return self.pool[c.owner][0] if c.owner else None

    def values(self, kwargs):
        return {k: self.pool[v[1]][0] if isinstance(v, tuple) and v[:1] == ("object",) else v
                for k, v in kwargs.items()}

    def observe(self, c, kwargs):
        """The state of the objects a call of `c` with `kwargs` can touch."""
        involved = [self.receiver(c)] + [v for v in self.values(kwargs).values()]
        return [surface.observe(o) for o in involved if type(o) in OBJECT_CLASSES]


def outcome_of(thunk):
    try:
        return ("ok", surface.normalize(thunk()))
    except (ValueError, TypeError, RuntimeError, OverflowError) as exc:
        return (type(exc).__name__, str(exc))


def case(c):
    return pytest.param(c, id=c.label)


@pytest.mark.parametrize("injection", INJECTIONS)
@pytest.mark.parametrize("c", [case(c) for c in CALLABLES])
# No shrinking: the failing callable is the finding, and each step of a shrink replays many faults.
@settings(max_examples=EXAMPLES, phases=[Phase.explicit, Phase.reuse, Phase.generate],
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large,
                                 HealthCheck.function_scoped_fixture])
@given(data=st.data())
def test_allocation_failures(c, injection, data, monkeypatch):
    monkeypatch.setattr(os, "urandom", lambda n: bytes(range(n)))  # twins get the same seed
    world = World(data.draw)
    twin = World(data.draw, world.script)
    kwargs = valid_arguments(data.draw, c)
    expected = outcome_of(lambda: c.bind(twin.receiver(c))(**twin.values(kwargs)))
    after = twin.observe(c, kwargs)
    world = World(data.draw, world.script)
    before = world.observe(c, kwargs)
    fn, values = c.bind(world.receiver(c)), world.values(kwargs)
    for start in range(0, LIMIT):  # allocations after the first `start` fail
        try:
            result = ("ok", injection.call(fn, start, **values))
        except MemoryError:
            COUNTS["allocation points"] += 1
            assert world.observe(c, kwargs) == before, f"{c.label} changed its objects under a failed allocation"
            continue
        except (ValueError, TypeError, RuntimeError, OverflowError) as exc:
            result = (type(exc).__name__, str(exc))
        if result[0] == "ok":
            result = ("ok", surface.normalize(result[1]))
        assert result == expected
        assert world.observe(c, kwargs) == after
        break
    else:
        raise AssertionError(f"{c.label} still failing after {LIMIT} allocation points")
    COUNTS["fault cases"] += 1


def _session():
    import quarn_sdk_core as q

    session = q.Session(q.SessionPolicy.default())
    for _ in range(300):  # epochs past the interpreter's cached small ints
        session.begin_attempt(1.0)
    return session


def _roster():
    import quarn_sdk_core as q

    roster = q.RoomRoster()
    roster.record_room_admission("a", roster.begin_room_admission("a", True), True)
    roster.begin_room_admission("b", True)
    return roster


def _asks():
    import quarn_sdk_core as q

    return q.DecisionRegistry(seed=0)


def _full_asks():
    import quarn_sdk_core as q

    asks = q.DecisionRegistry(max_pending=2, seed=0)
    asks.register_minted()
    asks.register_minted()
    return asks


def _tracker():
    import quarn_sdk_core as q

    tracker = q.RetryTracker(max_retries=3)
    for _ in range(300):  # counts past the interpreter's cached small ints
        tracker.record_attempt("m")
    return tracker


def _channels():
    import quarn_sdk_core as q

    tracker = q.SubscriptionTracker()
    for _ in range(300):  # tickets past the interpreter's cached small ints
        tracker.record_chat_room_join_failed("r", tracker.begin_room_subscribe("r"))
    tracker.record_both_room_topics_joined("s", tracker.begin_room_subscribe("s"))
    tracker.record_agent_topic_join("t", tracker.begin_agent_topic_join("t"), True)
    return tracker


def _admissions():
    import quarn_sdk_core as q

    roster = q.RoomRoster()
    for _ in range(300):  # tickets past the interpreter's cached small ints
        roster.begin_room_admission("r", True)
        roster.record_room_removed("r")
    return roster


# Each answered with a new object after changing its object; none may change it when that fails.
ANSWER_FIRST = {
    "begin_room_subscribe": (_channels, lambda t: t.begin_room_subscribe("x")),
    "unsubscribe_room": (_channels, lambda t: t.unsubscribe_room("s")),
    "begin_agent_topic_join": (_channels, lambda t: t.begin_agent_topic_join("x")),
    "leave_agent_topic": (_channels, lambda t: t.leave_agent_topic("t")),
    "begin_room_admission": (_admissions, lambda r: r.begin_room_admission("x", True)),
    "on_supersede": (_session, lambda s: s.on_supersede(2.0, True, None, 0.5)),
    "on_socket_close": (_session, lambda s: s.on_socket_close(299, 2.0, None, 0.5)),
    "begin_attempt": (_session, lambda s: s.begin_attempt(2.0)),
    "clear": (_roster, lambda r: r.clear()),
    "reconcile": (_roster, lambda r: r.reconcile(["c"])),
    "register_minted": (_asks, lambda a: a.register_minted("r")),
    "register_keyed": (_asks, lambda a: a.register_keyed("k\u00e9")),
    "cancel_all": (_asks, lambda a: (a.register_keyed("k"), a.cancel_all())[1]),
    "record_attempt": (_tracker, lambda t: t.record_attempt("m")),
    "evict_oldest": (lambda: _full_asks(), lambda a: a.evict_oldest()),
}


@needs_python_hook
@pytest.mark.parametrize("make, call", ANSWER_FIRST.values(), ids=ANSWER_FIRST)
def test_no_change_without_memory_for_the_answer(make, call):
    obj, twin = make(), make()
    for start in range(0, LIMIT):  # allocations after the first `start` fail
        try:
            result = _call_failing(call, obj, start)
        except MemoryError:
            continue
        break
    assert start > 0
    assert surface.normalize(result) == surface.normalize(call(twin))


def _call_failing(call, obj, start):
    return PYTHON.call(call, start, obj)


@needs_python_hook
@pytest.mark.parametrize("record", [
    lambda reg, tracker: reg.record_processed_settlement("r", "m"),
    lambda reg, tracker: reg.record_failed_settlement("r", "m", "boom", tracker, True),
], ids=["processed", "failed"])
def test_a_settlement_without_memory_for_its_answer_is_not_stored(record):
    import quarn_sdk_core as q

    failures = 0
    for start in range(0, LIMIT):
        reg, tracker = q.ClaimRegistry(), q.RetryTracker(max_retries=3)
        try:
            _call_failing(lambda r: record(r, tracker), reg, start)
        except MemoryError:
            failures += 1
            assert reg.pending_ack_ids("r") == []  # a later call would answer "pending" otherwise
            continue
        break
    assert failures > 0


# Ids among those surface.observe asks about.
def _admitted():
    roster = q.RoomRoster()
    for room in ("a", "\u00e9"):
        roster.record_room_admission(room, roster.begin_room_admission(room, True), True)
    return (roster,)


def _asks_in_a_room():
    asks = q.DecisionRegistry(seed=0)
    for _ in range(3):
        asks.register_minted("a")
    return (asks,)


def _failed_settlement():
    registry, tracker = q.ClaimRegistry(), q.RetryTracker(max_retries=3)
    return registry, tracker, registry.record_failed_settlement("a", "b", "boom", tracker, False)["token"]


# Changes that allocate in C++ at several points; none may change anything when one fails.
CXX_WHOLE = {
    "reconcile": (_admitted, lambda r: r.reconcile(["a", "", "b"])),
    "register_minted": (lambda: (q.DecisionRegistry(seed=0),), lambda a: a.register_minted("a")),
    "register_keyed": (lambda: (q.DecisionRegistry(seed=0),), lambda a: a.register_keyed("k")),
    "cancel_room": (_asks_in_a_room, lambda a: a.cancel_room("a")),
    "record_attempt": (lambda: (q.RetryTracker(max_retries=0),), lambda t: t.record_attempt("a")),
    "confirm_settlement": (_failed_settlement, lambda r, t, token: r.confirm_settlement("a", "b", token, t)),
}


@needs_cxx_hook
@pytest.mark.parametrize("make, change", CXX_WHOLE.values(), ids=CXX_WHOLE)
def test_no_change_without_memory_in_cxx(make, change):
    objects, twin = make(), make()
    before = [surface.observe(o) for o in objects if type(o) in OBJECT_CLASSES]
    for start in range(0, LIMIT):
        try:
            result = CXX.call(change, start, *objects)
        except MemoryError:
            assert [surface.observe(o) for o in objects if type(o) in OBJECT_CLASSES] == before
            continue
        break
    assert start > 0
    assert surface.normalize(result) == surface.normalize(change(*twin))


def misfits(c):
    """Argument lists the matching refuses: one positional argument too many, and none at all when
    one is required."""
    yield (None,) * (len(c.params) + 1)
    if any(p.default is p.empty for p in c.params):
        yield ()


def _receiver(c):
    if c.kind != "method":
        return None
    return surface.variants(c.owner)[0] if c.owner in ENUM_CLASSES else surface.produce(c.owner)


@pytest.mark.parametrize("injection", INJECTIONS)
@pytest.mark.parametrize("c", [case(c) for c in CALLABLES if c.kind != "getter"])
def test_argument_errors_without_memory(c, injection):
    fn = c.bind(_receiver(c))
    for args in misfits(c):
        expected = outcome_of(lambda: fn(*args))
        assert expected[0] == "TypeError"
        for start in range(0, LIMIT):
            try:
                result = outcome_of(lambda: injection.call(fn, start, *args))
            except MemoryError:
                continue
            assert result == expected
            break
        else:
            raise AssertionError(f"{c.label} still failing after {LIMIT} allocation points")


def _rosters_out_of_memory(change, prepare):
    """A prepared roster that ran out of memory at each allocation point of `change` in turn."""
    for start in range(0, LIMIT):
        roster = q.ParticipantRoster()
        prepare(roster)
        try:
            CXX.call(change, start, roster)
        except MemoryError:
            yield roster
        else:
            return


def _ids(roster):
    return [p["id"] for p in roster.list()]


@needs_cxx_hook
def test_participant_added_without_memory_leaves_no_trace():
    failed = list(_rosters_out_of_memory(lambda r: r.add({"id": "b"}), lambda r: r.add({"id": "a"})))
    assert failed
    for roster in failed:
        roster.add({"id": "c"})
        assert roster.remove("b") is False
        assert _ids(roster) == ["a", "c"]


@needs_cxx_hook
def test_participants_set_without_memory_leave_the_roster_whole():
    failed = list(_rosters_out_of_memory(lambda r: r.set_all([{"id": "b"}, {"id": "c"}]),
                                         lambda r: r.set_all([{"id": "a"}, {"id": "b"}])))
    assert failed
    for roster in failed:
        assert _ids(roster) == ["a", "b"]
        assert roster.remove("b") is True
        assert _ids(roster) == ["a"]


@needs_cxx_hook
def test_roster_marked_sent_without_memory_keeps_the_last_mark():
    def named(name):
        return [{"id": "a", "name": name}, {"id": "b", "name": name}]

    def prepare(roster):
        roster.set_all(named("sent"))
        roster.mark_sent()
        roster.set_all(named("x" * 32))  # past the short-string buffer: copies allocate

    failed = list(_rosters_out_of_memory(lambda r: r.mark_sent(), prepare))
    assert failed
    for roster in failed:
        roster.set_all(named("sent"))
        assert roster.changed() is False


# A fresh process imports the module with allocations failing from the `start`-th on, for every
# start until an import gets through: each import before refuses with MemoryError and leaves
# nothing half-built that the next import would bind.
_IMPORT_FAILING = r"""
import _imp, ctypes, importlib.util, json, sys
spec = importlib.util.find_spec("quarn_sdk_core")
if sys.argv[1] == "python":
    import _testcapi
    arm, disarm = _testcapi.set_nomemory, _testcapi.remove_mem_hooks
else:
    fail_after = ctypes.CDLL(spec.origin).qsc_fail_allocations_after
    fail_after.argtypes = [ctypes.c_longlong]
    arm, disarm = fail_after, lambda: fail_after(-1)

def import_failing(exec_dynamic=_imp.exec_dynamic):
    # The exec slot called straight, so that nothing of Python's own runs while allocations fail.
    refused = 0
    for start in range(100_000):
        module = importlib.util.module_from_spec(spec)
        arm(start)
        try:
            exec_dynamic(module)
            failed = False
        except MemoryError:
            failed = True
        finally:
            disarm()
        if not failed:
            return module, refused
        refused += 1

module, refused = import_failing()
again = importlib.util.module_from_spec(spec)
spec.loader.exec_module(again)
ledger = module.TurnLedger()
ledger.record(module.TurnEffect.Act)
print(json.dumps({
    "refused": refused,
    "same": again.TurnLedger is module.TurnLedger and again.TurnVerdict.Complete is ledger.verdict(),
    "settled": module.ClaimRegistry().record_processed_settlement(room_id="r", message_id="m"),
    "classify": module.classify_close(close_code=1000),
}))
"""


@pytest.mark.parametrize("injection", INJECTIONS)
def test_an_import_without_memory_is_refused_and_the_next_one_works(injection):
    import json
    import subprocess
    import sys

    kind = "python" if injection is PYTHON else "c++"
    out = subprocess.run([sys.executable, "-c", _IMPORT_FAILING, kind], capture_output=True, text=True, timeout=600,
                         env=dict(os.environ, PYTHONPATH=os.path.dirname(q.__file__)))
    assert out.returncode == 0, out.stderr
    got = json.loads(out.stdout.splitlines()[-1])
    assert got["refused"] > 0
    assert got["same"] is True
    assert got["settled"] == {"token": "0", "status": "processed", "parked": None, "continuation": {"kind": "finished"}}
    assert got["classify"] == [True, None]
