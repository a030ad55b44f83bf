"""Hostile argument values, drawn as specs so that a failing case prints and shrinks readably.

`build(spec)` makes the value passed to the module; `build(spec, plain=True)` makes the ordinary
value the module should have read from it (what a replay passes). A mode says what the value's
dunders do before answering: nothing, raise, or call back into the object being called.
"""

import collections.abc
import decimal
import functools
import fractions

from hypothesis import strategies as st

import quarn_sdk_core as q


class HostileError(Exception):
    """Raised by a hostile dunder; the module must pass it through unchanged."""


class Reentry:
    """The call back into the object in use; set by the driver around each call."""

    action = None

    def __call__(self, swallow):
        try:
            self.action()
        except Exception:
            if not swallow:
                raise


REENTRY = Reentry()
MODES = ["ok", "raise", "recursion", "memory", "reenter", "reenter_swallow"]


def act(mode):
    if mode == "raise":
        raise HostileError("hostile dunder")
    if mode == "recursion":
        raise RecursionError("hostile dunder")
    if mode == "memory":
        raise MemoryError
    if mode in ("reenter", "reenter_swallow") and REENTRY.action is not None:
        REENTRY(swallow=mode == "reenter_swallow")


def _hostile(base, dunders):
    """A subclass of `base` whose listed dunders act out the instance's mode, then answer as base."""

    def make(name):
        inherited = getattr(base, name, None)

        def dunder(self, *args):
            act(self.mode)
            if inherited is None:
                raise TypeError(name)
            return inherited(self, *args)

        return dunder

    return type(f"Hostile{base.__name__.title()}", (base,), {n: make(n) for n in dunders})


_COMMON = ["__eq__", "__ne__", "__hash__", "__bool__", "__len__", "__iter__", "__repr__", "__str__"]
IntSub = _hostile(int, _COMMON + ["__index__", "__int__", "__float__", "__lt__"])
FloatSub = _hostile(float, _COMMON + ["__float__", "__int__", "__lt__"])
StrSub = _hostile(str, _COMMON + ["__getitem__", "__lt__", "__contains__", "__add__"])
ListSub = _hostile(list, _COMMON + ["__getitem__", "__contains__"])
DictSub = _hostile(dict, _COMMON + ["__getitem__", "__contains__", "keys", "items", "get"])


def _with_mode(cls, value, mode):
    obj = cls(value)
    obj.mode = mode
    return obj


class IntLike:
    """Not an int, but an integer by __index__ (and a number by __float__)."""

    def __init__(self, n, mode):
        self.n, self.mode = n, mode

    def __index__(self):
        act(self.mode)
        return self.n

    def __float__(self):
        act(self.mode)
        return float(self.n)

    def __eq__(self, other):
        act(self.mode)
        return NotImplemented

    __hash__ = None


class FloatLike:
    def __init__(self, x, mode):
        self.x, self.mode = x, mode

    def __float__(self):
        act(self.mode)
        return self.x


class Seq(collections.abc.Sequence):
    def __init__(self, items, mode):
        self.items, self.mode = items, mode

    def __len__(self):
        act(self.mode)
        return len(self.items)

    def __getitem__(self, i):
        act(self.mode)
        return self.items[i]


class Mapping(collections.abc.Mapping):
    def __init__(self, items, mode):
        self.items, self.mode = items, mode

    def __getitem__(self, key):
        act(self.mode)
        return self.items[key]

    def __iter__(self):
        act(self.mode)
        return iter(self.items)

    def __len__(self):
        act(self.mode)
        return len(self.items)


WEIRD = [
    0, -1, 2**31, 2**32, 2**63 - 1, 2**63, -(2**63), -(2**63) - 1, 2**64 - 1, 2**64, 10**100, -(10**100),
    float("nan"), float("inf"), float("-inf"), -0.0, 5e-324, 1.7976931348623157e308, 0.5, True, False, None,
    "", "a", "\ud800", "x" * 5000, "\x00", b"a", bytearray(b"a"), memoryview(b"a"), 1j, {"a"}, frozenset(),
    (), [], {}, ["a", 1], ("a",), {"a": 1}, {1: "a"}, Ellipsis, NotImplemented, object(), object, int, q,
    len, decimal.Decimal("nan"), decimal.Decimal("1.5"), fractions.Fraction(1, 3), range(3), slice(1),
]

SCALAR_WRAPPERS = ["intsub", "intlike", "floatsub", "floatlike", "strsub"]
CONTAINERS = ["list", "tuple", "listsub", "seq", "gen", "set", "dict", "dictsub", "mapping"]


@functools.cache
def specs(valid=None):
    """Hostile specs; `valid` (a strategy of well-formed specs) is also wrapped hostilely."""
    leaf = st.sampled_from(range(len(WEIRD))).map(lambda i: ("weird", i))
    objects = st.sampled_from([c for c in vars(q).values() if isinstance(c, type)]).map(lambda c: ("any_object", c))
    base = leaf | objects if valid is None else leaf | objects | valid
    modes = st.sampled_from(MODES)

    def extend(inner):
        return st.one_of(
            st.tuples(st.just("wrap"), st.sampled_from(SCALAR_WRAPPERS), inner, modes),
            st.tuples(st.just("container"), st.sampled_from(CONTAINERS), st.lists(inner, max_size=4), modes),
        )

    recursive = st.recursive(base, extend, max_leaves=6)
    shapes = st.sampled_from([("selfref", "list"), ("selfref", "dict"), ("deep", 100), ("deep", 100_000)])
    return recursive | shapes


@functools.cache
def _deep(depth):
    value = []
    for _ in range(depth):
        value = [value]
    return value


def build(spec, pool, plain=False):
    """The value of `spec`. `pool` maps a class to the run's instances (the first is used)."""
    if not isinstance(spec, tuple) or not spec or not isinstance(spec[0], str):
        return spec
    tag = spec[0]
    if tag == "weird":
        return WEIRD[spec[1]]
    if tag == "object":
        return pool[spec[1]][0]
    if tag == "any_object":  # an instance of any class of the module, else an enum variant, else the class
        cls = spec[1]
        found = pool.get(cls) or [v for v in vars(cls).values() if isinstance(v, cls)] or [cls]
        return found[0]
    if tag == "selfref":
        loop = [] if spec[1] == "list" else {}
        loop.append(loop) if spec[1] == "list" else loop.setdefault("a", loop)
        return loop
    if tag == "deep":
        return _deep(spec[1])
    if tag == "wrap":  # the wrapper holds the inner value's plain form: building runs no dunder
        _, kind, inner, mode = spec
        value = build(inner, pool, plain=True)
        wrapped = _wrap(kind, value, mode)
        if not plain:
            return wrapped
        # A subclass instance stands for its base value; the other wrappers hand over `value`.
        base = {IntSub: int.__int__, FloatSub: float.__float__, StrSub: str.__str__}.get(type(wrapped))
        return base(wrapped) if base else value
    if tag == "container":
        _, kind, items, mode = spec
        values = [build(i, pool, plain) for i in items]
        keys = [build(i, pool, plain=True) for i in items]
        return _container(kind, values, keys, "ok" if plain else mode)
    return spec


def _wrap(kind, value, mode):
    try:
        if kind == "intsub":
            return _with_mode(IntSub, value, mode)
        if kind == "floatsub":
            return _with_mode(FloatSub, value, mode)
        if kind == "strsub":
            return _with_mode(StrSub, value, mode) if isinstance(value, str) else value
    except (TypeError, ValueError, OverflowError):
        return value
    if kind == "intlike":
        return IntLike(value, mode)
    return FloatLike(value, mode)


def _container(kind, values, keys, mode):
    if kind == "list":
        return values
    if kind == "tuple":
        return tuple(values)
    if kind == "listsub":
        return _with_mode(ListSub, values, mode)
    if kind == "seq":
        return Seq(values, mode)
    if kind == "gen":
        return (v for v in values)
    if kind == "set":
        try:
            return set(values)
        except Exception:  # unhashable or hostile items: the list will do
            return values
    items = {k if isinstance(k, str) else f"k{i}": v for i, (k, v) in enumerate(zip(keys, values))}
    if kind == "dict":
        return items
    if kind == "dictsub":
        return _with_mode(DictSub, items, mode)
    return Mapping(items, mode)


def modes_of(spec):
    """Every mode used anywhere in a spec."""
    if isinstance(spec, tuple) and spec and spec[0] in ("wrap", "container"):
        inner = spec[2] if spec[0] == "wrap" else spec[2]
        inners = [inner] if spec[0] == "wrap" else inner
        return {spec[3]}.union(*(modes_of(i) for i in inners))
    return set()
