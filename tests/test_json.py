"""Python values to JSON and back, as every payload crosses the boundary.

"event_created" payloads pass through unvalidated, so they show the conversion alone.
"""

import collections
import collections.abc
import dataclasses
import math
import sys

import pytest

import quarn_sdk_core as q


def roundtrip(value):
    return q.validate_event_payload("event_created", value)


def conversion_error(value):
    with pytest.raises(TypeError) as info:
        roundtrip(value)
    return str(info.value)


# ---- numbers


class Int(int):
    """An int subclass whose Python-level methods must not be consulted."""

    def bit_length(self):
        raise AssertionError("bit_length called")

    def __eq__(self, other):
        raise AssertionError("__eq__ called")

    __hash__ = int.__hash__

    def __add__(self, other):
        raise AssertionError("__add__ called")

    def __index__(self):
        raise AssertionError("__index__ called")


@pytest.mark.parametrize(
    "value",
    [0, 1, -1, 2**63 - 1, 2**63, 2**64 - 1, -(2**63), -(2**63) + 1],
)
def test_ints_inside_the_model_come_back_equal(value):
    result = roundtrip(value)
    assert type(result) is int and result == value


@pytest.mark.parametrize(
    "value, message",
    [
        (2**64, "JSON number out of range"),
        (-(2**63) - 1, "JSON number out of range"),
        (2**128 - 1, "JSON number out of range"),
        (-(2**127), "JSON number out of range"),
        (2**128, "int too big to convert"),
        (-(2**127) - 1, "int too big to convert"),
        (2**129, "int too big to convert"),
        (-(2**200), "int too big to convert"),
        (10**100, "int too big to convert"),
    ],
)
def test_ints_outside_the_model_fail_by_their_size(value, message):
    assert conversion_error(value) == message
    assert conversion_error([{"n": value}]) == message


@pytest.mark.parametrize(
    "value, message",
    [
        (2**64 - 1, None),
        (2**64, "JSON number out of range"),
        (-(2**127), "JSON number out of range"),
        (-(2**127) - 1, "int too big to convert"),
        (2**128, "int too big to convert"),
    ],
)
def test_int_subclasses_convert_by_value_without_running_their_methods(value, message):
    if message is None:
        assert roundtrip(Int(value)) == value
    else:
        assert conversion_error(Int(value)) == message


def test_bool_stays_bool_and_is_not_taken_for_an_int():
    assert roundtrip([True, False, 1, 0]) == [True, False, 1, 0]
    assert [type(x) for x in roundtrip([True, 1])] == [bool, int]


@pytest.mark.parametrize(
    "value, expected",
    [(float("nan"), None), (float("inf"), None), (float("-inf"), None), (30.0, 30.0), (0.5, 0.5), (-0.0, -0.0)],
)
def test_floats_stay_floats_and_non_finite_become_null(value, expected):
    result = roundtrip({"x": value})["x"]
    assert result == expected and type(result) is type(expected)


def test_float_subclass_converts_by_value():
    class F(float):
        pass

    assert type(roundtrip(F(2.0))) is float


# ---- containers


def test_dict_keys_come_back_sorted_by_bytes_at_every_depth():
    payload = {"b": 1, "a": {"z": 1, "é": 2, "Z": 3, "aa": 4}, "B": [{"y": 1, "x": 2}]}
    result = roundtrip(payload)
    assert list(result) == ["B", "a", "b"]
    assert list(result["a"]) == ["Z", "aa", "z", "é"]
    assert list(result["B"][0]) == ["x", "y"]


@pytest.mark.parametrize("count", [3, 40])
def test_keys_sharing_long_prefixes_sort_by_their_bytes(count):
    # Prefixes of eight bytes and more, prefixes of one another, and bytes above ASCII; the
    # larger dict takes the path for dicts with many keys.
    keys = ["abcdefgh", "abcdefghi", "abcdefgg", "abcdefgh\x00", "ab", "abc", "", "é", "z", "abcdefghé", "ABCDEFGHIJ"]
    keys += [f"key-{i:03d}-padding" for i in range(count)]
    payload = {k: i for i, k in enumerate(reversed(keys))}
    result = roundtrip(payload)
    assert list(result) == sorted(keys, key=lambda k: k.encode())
    assert result == payload


class SameText(str):
    """Keys with equal text that a dict still holds apart."""

    __hash__ = object.__hash__

    def __eq__(self, other):
        return self is other


@pytest.mark.parametrize("filler", [0, 40])
def test_keys_with_equal_text_keep_the_value_given_last(filler):
    payload = {SameText("k"): 1, "a": 0, SameText("k"): 2, **{f"f{i:02d}": i for i in range(filler)}}
    payload[SameText("k")] = 3
    result = roundtrip(payload)
    assert result["k"] == 3 and list(result).count("k") == 1
    assert len(result) == filler + 2


@pytest.mark.parametrize(
    "payload, message",
    [
        ({"a": object(), 1: "x"}, "unsupported type object"),
        ({1: "x", "a": object()}, "dict keys must have type str"),
        ({"z": 1j, "a": b"x"}, "unsupported type complex"),
        ({"a": b"x", "z": 1j}, "invalid type: byte array, expected any valid JSON value"),
    ],
)
def test_a_dict_fails_at_its_first_bad_member_in_the_dicts_own_order(payload, message):
    assert conversion_error(payload) == message


def test_strings_stay_intact_when_a_value_empties_the_dict_being_read():
    class Emptying(Seq):
        def __getitem__(self, i):
            outer.clear()  # drops the last references to the other keys and values
            return super().__getitem__(i)

    outer = {}
    outer["".join(["first-", "key-", "x" * 20])] = "".join(["first value ", "é" * 20])
    outer["m"] = Emptying(1)
    outer["".join(["z-last-", "key"])] = "".join(["last value ", "ü" * 20])
    result = roundtrip(outer)
    assert result == {
        "first-key-" + "x" * 20: "first value " + "é" * 20,
        "m": [1],
        "z-last-key": "last value " + "ü" * 20,
    }


@pytest.mark.parametrize("key", [1, None, b"k", ("t",), 1.5])
def test_dict_keys_must_be_str(key):
    assert conversion_error({key: 1}) == "dict keys must have type str"
    assert conversion_error({"ok": [{key: 1}]}) == "dict keys must have type str"


def test_str_subclass_keys_and_values_come_back_as_plain_str():
    class S(str):
        pass

    result = roundtrip({S("k"): S("v")})
    assert result == {"k": "v"}
    assert [type(x) for x in (*result, *result.values())] == [str, str]


def test_dict_subclass_is_read_as_a_dict_not_through_its_methods():
    class D(dict):
        def __getitem__(self, key):
            raise AssertionError("__getitem__ called")

        def items(self):
            raise AssertionError("items called")

    assert roundtrip(D(b=2, a=1)) == {"a": 1, "b": 2}
    assert roundtrip(collections.OrderedDict([("b", 1), ("a", 2)])) == {"a": 2, "b": 1}


def test_sequences_and_sets_become_lists():
    class L(list):
        pass

    class T(tuple):
        pass

    assert roundtrip((1, "a", None)) == [1, "a", None]
    assert roundtrip(L([T((1,)), ()])) == [[1], []]
    assert roundtrip({"s": {1}, "f": frozenset(["x"])}) == {"f": ["x"], "s": [1]}
    assert sorted(roundtrip({3, 1, 2})) == [1, 2, 3]


class Seq(collections.abc.Sequence):
    def __init__(self, *items):
        self.items = list(items)

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


class Map(collections.abc.Mapping):
    def __init__(self, **items):
        self.items = dict(items)

    def __getitem__(self, key):
        return self.items[key]

    def __iter__(self):
        return iter(self.items)

    def __len__(self):
        return len(self.items)


def test_custom_sequence_and_mapping_convert_through_their_protocols():
    assert roundtrip(Seq(1, Seq("a"), Map(b=2, a=Seq()))) == [1, ["a"], {"a": [], "b": 2}]
    assert roundtrip(range(3)) == [0, 1, 2]
    assert roundtrip(Map(x=collections.UserDict(y=1))) == {"x": {"y": 1}}


def test_custom_mapping_keys_must_be_str():
    class IntKeys(Map):
        def __iter__(self):
            return iter([1])

        def __getitem__(self, key):
            return 0

    assert conversion_error(IntKeys()) == "dict keys must have type str"


def test_a_mapping_listing_a_key_twice_keeps_the_value_read_last():
    class Twice(Map):
        reads = 0

        def keys(self):
            return ["b", "a", "b", "c"]

        def __getitem__(self, key):
            self.reads += 1
            return f"{key}{self.reads}"

    assert roundtrip(Twice()) == {"a": "a2", "b": "b3", "c": "c4"}


def test_a_failing_protocol_method_fails_the_conversion_with_its_text():
    class Broken(Map):
        def __getitem__(self, key):
            raise LookupError("no such key here")

    assert conversion_error({"m": Broken(a=1)}) == "no such key here"


@dataclasses.dataclass
class Point:
    x: int
    label: str
    tags: list = dataclasses.field(default_factory=list)


def test_dataclass_instances_become_objects_of_their_fields():
    assert roundtrip({"p": Point(1, "a", [Point(2, "b")])}) == {
        "p": {"label": "a", "tags": [{"label": "b", "tags": [], "x": 2}], "x": 1}
    }


def test_a_dataclass_class_itself_is_not_an_instance():
    assert conversion_error(Point) == "unsupported type type"


@pytest.mark.parametrize(
    "value, message",
    [
        (b"x", "invalid type: byte array, expected any valid JSON value"),
        (bytearray(b"x"), "invalid type: byte array, expected any valid JSON value"),
        (type("B", (bytes,), {})(b"x"), "invalid type: byte array, expected any valid JSON value"),
        (object(), "unsupported type object"),
        (1j, "unsupported type complex"),
        (Seq.__init__, "unsupported type function"),
    ],
)
def test_unsupported_values_fail_with_their_type(value, message):
    assert conversion_error(value) == message
    assert conversion_error({"deep": [value]}) == message


def test_unsupported_type_names_the_qualified_name():
    class Inner:
        pass

    assert conversion_error([Inner()]).startswith(
        "unsupported type test_unsupported_type_names_the_qualified_name.<locals>.Inner"
    )


def test_results_are_fresh_containers():
    payload = {"a": [1, {"b": 2}]}
    result = roundtrip(payload)
    assert result == payload and result is not payload and result["a"] is not payload["a"]
    result["a"][1]["b"] = 3
    assert payload == {"a": [1, {"b": 2}]}


# ---- depth


def nested_lists(depth):
    value = []
    for _ in range(depth):
        value = [value]
    return value


def nested_dicts(depth):
    value = {}
    for _ in range(depth):
        value = {"k": value}
    return value


@pytest.mark.parametrize("build", [nested_lists, nested_dicts])
def test_moderate_nesting_converts(build):
    assert roundtrip(build(200)) == build(200)


def interpreters_own_depth(build):
    """The nesting at which the running interpreter's own C code (repr) raises RecursionError: the
    Python recursion limit on 3.11, a fixed C limit of its own on 3.12 and later."""
    low, high = 1, 2
    while True:
        try:
            repr(build(high))
        except RecursionError:
            break
        low, high = high, high * 2
    while high - low > 1:
        middle = (low + high) // 2
        try:
            repr(build(middle))
            low = middle
        except RecursionError:
            high = middle
    return high


# Conversion goes no deeper than the interpreter's own C code goes, whatever limit that follows.
@pytest.mark.parametrize("limit", [None, 300], ids=["default_limit", "lowered_limit"])
@pytest.mark.parametrize("build", [nested_lists, nested_dicts])
def test_nesting_beyond_the_interpreter_limit_raises_recursion_error(build, limit):
    old = sys.getrecursionlimit()
    if limit is not None:
        sys.setrecursionlimit(limit)
    try:
        depth = interpreters_own_depth(build) + 100
        with pytest.raises(RecursionError):
            roundtrip(build(depth))
    finally:
        sys.setrecursionlimit(old)


@pytest.mark.parametrize("build", [nested_lists, nested_dicts])
def test_nesting_stays_bounded_when_the_interpreter_limit_is_raised(build):
    old = sys.getrecursionlimit()
    sys.setrecursionlimit(1_000_000)
    try:
        with pytest.raises(RecursionError):
            roundtrip(build(200_000))
    finally:
        sys.setrecursionlimit(old)


def self_containing():
    a = []
    a.append(a)
    d = {}
    d["self"] = d
    s = Seq()
    s.items.append(s)
    m = Map()
    m.items["m"] = m
    t = [1, {"x": None}]
    t[1]["x"] = t
    return [a, d, s, m, t]


@pytest.mark.parametrize("payload", self_containing(), ids=["list", "dict", "sequence", "mapping", "mixed"])
def test_self_containing_payloads_raise_recursion_error(payload):
    with pytest.raises(RecursionError):
        roundtrip(payload)
    with pytest.raises(RecursionError):
        q.validate_event_payload("room_deleted", {"id": "r", "extra": payload})


# ---- payloads that change while they are converted


def fresh(text):
    """A str object no one else holds (not interned, not shared with the test's constants)."""
    return "".join([text, "-", str(id(object()))])


class Clearing(collections.abc.Sequence):
    """Clears the container it sits in when its first item is read."""

    def __init__(self, victim):
        self.victim = victim

    def __len__(self):
        return 1

    def __getitem__(self, i):
        if i >= 1:
            raise IndexError(i)
        self.victim.clear()
        return "x"


def test_a_list_emptied_while_converting_does_not_crash_or_lose_texts():
    outer = [fresh("a"), None, fresh("b")]
    texts = [outer[0], outer[2]]
    expected = [t[:] for t in texts]
    outer[1] = Clearing(outer)
    del texts[:]
    result = roundtrip(outer)
    # The items read before the list was cleared keep their text.
    assert result[0] == expected[0] and result[1] == ["x"]
    assert all(type(x) in (str, list) for x in result)


def test_a_dict_emptied_while_converting_does_not_crash_or_lose_texts():
    outer = {fresh("k1"): fresh("v1"), "m": None, fresh("k2"): fresh("v2")}
    expected = {k[:]: (v[:] if isinstance(v, str) else v) for k, v in outer.items()}
    outer["m"] = Clearing(outer)
    result = roundtrip({"wrap": outer})["wrap"]
    assert result["m"] == ["x"]
    for key, value in result.items():
        if key != "m":
            assert expected[key] == value


class ShrinkingLen(collections.abc.Sequence):
    def __init__(self, items):
        self.items = items

    def __len__(self):
        n = len(self.items)
        self.items.clear()
        return n

    def __getitem__(self, i):
        return self.items[i]


def test_a_sequence_whose_len_empties_it_fails_cleanly():
    assert "index out of range" in conversion_error(ShrinkingLen([fresh("a"), fresh("b")]))


class KeysThenDrop(collections.abc.Mapping):
    """keys() hands out its own list, then each lookup mutates the mapping and that list."""

    def __init__(self):
        self.data = {fresh("a"): fresh("1"), fresh("b"): fresh("2"), fresh("c"): fresh("3")}
        self.key_list = list(self.data)

    def keys(self):
        return self.key_list

    def __iter__(self):
        return iter(self.key_list)

    def __len__(self):
        return len(self.key_list)

    def __getitem__(self, key):
        value = self.data.pop(key)
        self.key_list.clear()
        return value


def test_a_mapping_mutating_its_keys_while_read_does_not_crash():
    m = KeysThenDrop()
    first = m.key_list[0][:]
    result = roundtrip({"m": m})["m"]
    assert list(result) == [first]
    assert result[first].startswith("1-")


class MutatingSet(set):
    def __iter__(self):
        items = list(set.__iter__(self))
        self.clear()
        holder.clear()
        return iter(items)


holder = []


def test_a_set_subclass_mutating_itself_and_its_parent_while_iterated():
    s = MutatingSet([fresh("x")])
    holder[:] = [fresh("k"), s, fresh("z")]
    expected = holder[0][:]
    result = roundtrip(holder)
    assert result[0] == expected and len(result[1]) == 1 and result[1][0].startswith("x-")


def test_a_mapping_that_replaces_its_sibling_values_while_read():
    class Replacer(Map):
        def __getitem__(self, key):
            for k in list(parent):
                parent[k] = fresh("replaced")
            return super().__getitem__(key)

    parent = {"a": fresh("orig"), "b": None, "c": fresh("orig")}
    parent["b"] = Replacer(k=1)
    result = roundtrip(parent)
    assert result["a"].startswith("orig-") and result["b"] == {"k": 1}
