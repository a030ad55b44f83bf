"""Hostile-input fuzzing of the whole Python surface.

Every function, constructor, method, static method and property (found by walking the module) is
called with well-formed, weird and hostile arguments, against objects that carry a history of
earlier calls. A call may return or raise one of ALLOWED; it never crashes, never raises
SystemError or PanicException, and a failed call changes nothing. After each run the successful
calls are replayed on fresh objects, which must answer the same and end in the same state.

QSC_FUZZ_EXAMPLES sets the number of runs (tools/fuzz.sh drives long campaigns).
"""

import copy
import inspect
import os

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import hostile
import surface
from surface import CALLABLES, ENUM_CLASSES, OBJECT_CLASSES, VALID

ALLOWED = (TypeError, ValueError, OverflowError, RecursionError, RuntimeError, hostile.HostileError)
EXAMPLES = int(os.environ.get("QSC_FUZZ_EXAMPLES", "60"))
COUNTS = {"runs": 0, "calls": 0, "replayed": 0}

PROTOCOL = ["int", "str", "repr", "eq", "ne", "hash", "bool", "copy", "iter"]
CONSTRUCTIBLE = [c.owner for c in CALLABLES if c.kind == "constructor"]


def test_table_covers_every_callable():
    assert surface.missing_rows() == []


def _protocol(op, obj, other):
    if op == "int":
        return int(obj)
    if op == "eq":
        return obj == other
    if op == "ne":
        return obj != other
    if op == "copy":
        return copy.copy(obj)
    if op == "iter":
        return list(iter(obj))
    return {"str": str, "repr": repr, "hash": hash, "bool": bool}[op](obj)


class Run:
    """One fuzzing run: its objects, the log of successful calls, and the checks after each call."""

    def __init__(self, draw):
        self.draw = draw
        self.pool = {cls: [] for cls in OBJECT_CLASSES}
        self.log = []

    # -- drawing a call

    def param_spec(self, name):
        if name in VALID and self.draw(st.integers(0, 4)):
            return self.draw(VALID[name])
        return self.draw(hostile.specs(VALID.get(name)))

    def arguments(self, params, valid_only=False):
        args, kwargs, skipped = [], {}, False
        for p in params:
            if p.default is not p.empty and self.draw(st.booleans()):
                skipped = True
                continue
            spec = self.draw(VALID[p.name]) if valid_only else self.param_spec(p.name)
            # After a keyword or a left-out parameter, the rest must be keywords too.
            if p.kind is p.KEYWORD_ONLY or kwargs or skipped or self.draw(st.booleans()):
                kwargs[p.name] = spec
            else:
                args.append(spec)
        if not valid_only:
            mischief = self.draw(st.integers(0, 19))
            if mischief == 0:
                args.append(self.draw(hostile.specs()))
            elif mischief == 1:
                kwargs[self.draw(st.sampled_from(["urgent", "self", "room_id", "x" * 40]))] = self.draw(hostile.specs())
            elif mischief == 2 and (args or kwargs):
                (args.pop() if args else kwargs.popitem())
        return args, kwargs

    def receiver(self, c):
        """A reference to the object a method is called on (None for functions and constructors)."""
        if c.kind in ("function", "constructor", "static"):
            return None
        if c.owner in ENUM_CLASSES:
            return ("variant", c.owner, self.draw(st.integers(0, len(surface.variants(c.owner)) - 1)))
        return ("object", c.owner, self.draw(st.integers(0, len(self.pool[c.owner]) - 1)))

    def resolve(self, ref, pool):
        if ref[0] == "variant":
            return surface.variants(ref[1])[ref[2]]
        return pool[ref[1]][ref[2]]

    # -- running a call

    def setup(self):
        """One object of each class; a constructor that needs another class's object waits for it."""
        waiting = list(OBJECT_CLASSES)
        while waiting:
            cls = waiting.pop(0)
            if cls not in CONSTRUCTIBLE:
                self.pool[cls].append(surface.produce(cls))
                self.log.append(("produce", cls))
                continue
            ctor = next(c for c in CALLABLES if c.kind == "constructor" and c.owner is cls)
            args, kwargs = self.arguments(ctor.params, valid_only=True)
            if any(s[0] == "object" and not self.pool[s[1]] for s in [*args, *kwargs.values()] if type(s) is tuple):
                waiting.append(cls)
                continue
            self.execute(ctor, None, args, kwargs, checked=False)
            if not self.pool[cls]:  # the drawn arguments were refused
                self.pool[cls].append(surface.produce(cls))
                self.log.append(("produce", cls))

    def step(self):
        choice = self.draw(st.integers(0, 9))
        if choice == 0:
            return self.protocol_step()
        c = self.draw(st.sampled_from(CALLABLES))
        ref = self.receiver(c)
        args, kwargs = self.arguments(c.params)
        if c.kind == "method" and choice == 1:
            return self.wrong_receiver(c, args, kwargs)
        self.execute(c, ref, args, kwargs)

    def protocol_step(self):
        op = self.draw(st.sampled_from(PROTOCOL))
        cls = self.draw(st.sampled_from(OBJECT_CLASSES + ENUM_CLASSES))
        ref = ("variant", cls, 0) if cls in ENUM_CLASSES else ("object", cls, 0)
        spec = self.draw(hostile.specs())
        other = hostile.build(spec, self.pool)
        self.guarded_call(lambda: _protocol(op, self.resolve(ref, self.pool), other), hostile.modes_of(spec))

    def wrong_receiver(self, c, args, kwargs):
        wrong = hostile.build(self.draw(hostile.specs()), self.pool)
        if isinstance(wrong, c.owner):
            return
        method = vars(c.owner)[c.name]
        values = [hostile.build(a, self.pool) for a in args]
        with pytest.raises(TypeError):
            method(wrong, *values, **{k: hostile.build(v, self.pool) for k, v in kwargs.items()})

    def nested_call(self, c, receiver):
        """The call a re-entering argument makes: another use of the object in use."""
        if receiver is None or c.owner in ENUM_CLASSES:
            nested = c
        else:
            # A constructor or a static method makes or needs no object in use: it may always run.
            nested = self.draw(st.sampled_from([n for n in CALLABLES if n.owner is c.owner
                                                and n.kind not in ("static", "constructor")]))
        args, kwargs = self.arguments(nested.params, valid_only=True)
        args = [hostile.build(a, self.pool) for a in args]
        kwargs = {k: hostile.build(v, self.pool) for k, v in kwargs.items()}
        fn = nested.bind(receiver)

        def run():
            fn(*args, **kwargs)
            if receiver is not None and c.owner in OBJECT_CLASSES and not (c.read_only and nested.read_only):
                raise AssertionError(f"{nested.label} was admitted while {c.label} was using the object")

        return run

    def execute(self, c, ref, args, kwargs, checked=True):
        receiver = self.resolve(ref, self.pool) if ref else None
        values = [hostile.build(a, self.pool) for a in args]
        kw_values = {k: hostile.build(v, self.pool) for k, v in kwargs.items()}
        modes = set().union(*(hostile.modes_of(s) for s in [*args, *kwargs.values()]))
        hostile.REENTRY.action = self.nested_call(c, receiver) if modes & {"reenter", "reenter_swallow"} else None
        involved = [o for o in [receiver, *values, *kw_values.values()] if type(o) in OBJECT_CLASSES]
        before = [surface.observe(o) for o in involved]
        fn = c.bind(receiver)
        ok, result = self.guarded_call(lambda: fn(*values, **kw_values), modes)
        hostile.REENTRY.action = None
        if not ok:
            after = [surface.observe(o) for o in involved]
            assert after == before, f"failed {c.label} changed its objects"
            return
        answer = surface.normalize(result)
        if type(result) in OBJECT_CLASSES:
            self.pool[type(result)].append(result)
        if not (checked and c.read_only):
            self.log.append(("call", c, ref, args, kwargs, answer))

    def guarded_call(self, thunk, modes):
        COUNTS["calls"] += 1
        try:
            return True, thunk()
        except AssertionError:
            raise
        except BaseException as exc:  # noqa: B036 - PanicException and SystemError must be seen
            allowed = ALLOWED + ((MemoryError,) if "memory" in modes else ())
            if not isinstance(exc, allowed) or isinstance(exc, SystemError):
                raise AssertionError(f"{type(exc).__name__}: {exc}") from exc
            return False, exc

    # -- replay

    def replay(self):
        pool = {cls: [] for cls in OBJECT_CLASSES}
        for entry in self.log:
            if entry[0] == "produce":
                pool[entry[1]].append(surface.produce(entry[1]))
                continue
            _, c, ref, args, kwargs, answer = entry
            receiver = self.resolve(ref, pool) if ref else None
            values = [hostile.build(a, pool, plain=True) for a in args]
            kw_values = {k: hostile.build(v, pool, plain=True) for k, v in kwargs.items()}
            result = c.bind(receiver)(*values, **kw_values)
            assert surface.normalize(result) == answer, f"replayed {c.label} answered differently"
            if type(result) in OBJECT_CLASSES:
                pool[type(result)].append(result)
            COUNTS["replayed"] += 1
        for cls in OBJECT_CLASSES:
            assert [surface.observe(o) for o in pool[cls]] == [surface.observe(o) for o in self.pool[cls]], cls


@settings(
    max_examples=EXAMPLES,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much,
                           HealthCheck.function_scoped_fixture],
)
@given(data=st.data())
def test_hostile_calls(data, monkeypatch):
    # A registry made without a seed reads os.urandom; the replay must see the same bytes.
    monkeypatch.setattr(os, "urandom", lambda n: bytes(range(n)))
    COUNTS["runs"] += 1
    run = Run(data.draw)
    run.setup()
    for _ in range(data.draw(st.integers(1, 30))):
        run.step()
    run.replay()


def test_discovery_finds_the_whole_surface():
    kinds = {c.kind for c in CALLABLES}
    assert kinds == {"function", "constructor", "method", "static", "getter"}
    labels = {c.label for c in CALLABLES}
    # One of each kind, as a tripwire for the walk itself.
    assert {"chat_room_topic", "ClaimRegistry.__new__", "ClaimRegistry.guarded_claim",
            "ParkedReason.from_wire_name", "SessionOutcome.retry_after_s"} <= labels
    guarded = next(c for c in CALLABLES if c.label == "ClaimRegistry.guarded_claim")
    assert [p.kind for p in guarded.params][-1] is inspect.Parameter.KEYWORD_ONLY
