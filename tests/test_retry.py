"""RetryTracker: per-message attempt budget and the permanent-failure memory."""

import pytest

from quarn_sdk_core import RetryTracker

U32_MAX = 4294967295


# ---- construction


def test_defaults():
    assert RetryTracker().max_retries == 1
    assert RetryTracker(0, 1).max_retries == 0
    assert RetryTracker(max_tracked=5, max_retries=U32_MAX).max_retries == U32_MAX


@pytest.mark.parametrize(
    "kwargs, message",
    [
        ({"max_tracked": 0}, "`max_tracked` must be an integer between 1 and 4294967295, got 0"),
        ({"max_retries": -1}, "`max_retries` must be an integer between 0 and 4294967295, got -1"),
        ({"max_retries": U32_MAX + 1}, "`max_retries` must be an integer between 0 and 4294967295, got 4294967296"),
        ({"max_tracked": 2**100}, f"`max_tracked` must be an integer between 1 and 4294967295, got {2**100}"),
        ({"max_tracked": -(2**70)}, f"`max_tracked` must be an integer between 1 and 4294967295, got {-(2**70)}"),
        # max_retries is range-checked before max_tracked
        ({"max_retries": -1, "max_tracked": 0}, "`max_retries` must be an integer between 0 and 4294967295, got -1"),
    ],
)
def test_constructor_ranges(kwargs, message):
    with pytest.raises(ValueError) as info:
        RetryTracker(**kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "args, param, type_name",
    [
        ((1.0,), "max_retries", "float"),
        ((None,), "max_retries", "NoneType"),
        ((1, "3"), "max_tracked", "str"),
        # every argument is converted before any range is checked
        ((-1, 2.5), "max_tracked", "float"),
    ],
)
def test_constructor_types(args, param, type_name):
    with pytest.raises(TypeError) as info:
        RetryTracker(*args)
    assert str(info.value) == f"'{type_name}' object is not an instance of 'int'"
    assert info.value.__notes__ == [f"while processing '{param}'"]


def test_int_subclass_is_read_by_value():
    class Odd(int):
        def __repr__(self):
            raise AssertionError("not to be called")

    assert RetryTracker(Odd(4)).max_retries == 4
    with pytest.raises(ValueError, match="got -3$"):
        RetryTracker(Odd(-3))


def test_max_retries_is_read_only():
    with pytest.raises(AttributeError):
        RetryTracker().max_retries = 3


# ---- attempts


@pytest.mark.parametrize(
    "max_retries, expected",
    [
        (0, [(1, True)]),
        (1, [(1, False), (2, True), (3, True)]),
        (3, [(1, False), (2, False), (3, False), (4, True)]),
    ],
)
def test_record_attempt_exhausts_past_the_limit(max_retries, expected):
    tracker = RetryTracker(max_retries)
    results = []
    for _ in expected:
        results.append(tracker.record_attempt("m"))
        assert tracker.is_permanently_failed("m") == any(exhausted for _, exhausted in results)
    assert results == expected
    assert not tracker.is_permanently_failed("other")


def test_discard_attempt_undoes_one_attempt_then_forgets():
    tracker = RetryTracker(5)
    tracker.record_attempt("m")
    tracker.record_attempt("m")
    tracker.discard_attempt("m")
    assert tracker.record_attempt("m") == (2, False)
    tracker.discard_attempt("m")
    tracker.discard_attempt("m")
    assert tracker.record_attempt("m") == (1, False)
    tracker.discard_attempt("unknown")
    assert tracker.record_attempt("unknown") == (1, False)


@pytest.mark.parametrize("clear", ["mark_success", "discard_attempt"])
def test_clearing_attempts_keeps_the_failure_mark(clear):
    tracker = RetryTracker(0)
    assert tracker.record_attempt("m") == (1, True)
    getattr(tracker, clear)("m")
    assert tracker.is_permanently_failed("m")
    assert tracker.record_attempt("m") == (1, True)  # counting starts again


# ---- bounded memories: eviction by first insertion


def test_attempts_evict_the_first_inserted_even_if_updated_later():
    tracker = RetryTracker(5, max_tracked=2)
    tracker.record_attempt("a")
    tracker.record_attempt("b")
    tracker.record_attempt("a")  # updated in place, keeps its place at the front
    tracker.record_attempt("c")
    assert tracker.record_attempt("b") == (2, False)
    assert tracker.record_attempt("a") == (1, False)  # was evicted


def test_failure_marks_evict_the_first_inserted():
    tracker = RetryTracker(max_tracked=2)
    for message_id in ("a", "b", "a", "c"):
        tracker.mark_permanently_failed(message_id)
    assert [tracker.is_permanently_failed(m) for m in "abc"] == [False, True, True]


def test_the_two_memories_are_independent():
    tracker = RetryTracker(5, max_tracked=1)
    tracker.mark_permanently_failed("x")
    tracker.record_attempt("y")  # evicts nothing of the failure set
    assert tracker.is_permanently_failed("x")
    tracker.mark_permanently_failed("y")
    tracker.mark_permanently_failed("y")
    assert not tracker.is_permanently_failed("x")
    assert tracker.record_attempt("y") == (2, False)


# ---- arguments


@pytest.mark.parametrize("method", ["record_attempt", "discard_attempt", "mark_success",
                                    "is_permanently_failed", "mark_permanently_failed"])
def test_message_id_must_be_str(method):
    tracker = RetryTracker(0)
    with pytest.raises(TypeError) as info:
        getattr(tracker, method)(b"m")
    assert str(info.value) == "'bytes' object is not an instance of 'str'"
    assert info.value.__notes__ == ["while processing 'message_id'"]
    assert not tracker.is_permanently_failed("m")

