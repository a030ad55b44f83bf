"""The reconnect policy, its time values and the session state machine."""

import math
from decimal import Decimal
from fractions import Fraction

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

import quarn_sdk_core as q

State, Dead, Stale = q.SessionState, q.DeadReason, q.StaleReason

KEYS = [
    "base_delay_s", "factor", "max_delay_s", "stable_reset_s", "rapid_disconnect_uptime_s", "rapid_window_s",
    "rapid_first_min_delay_s", "rapid_second_min_delay_s", "rapid_cooldown_base_s", "rapid_cooldown_step_s",
    "rapid_cooldown_max_s", "rapid_threshold", "heartbeat_interval_s", "dead_threshold_s",
]
SECONDS_KEYS = [k for k in KEYS if k.endswith("_s")]
DEFAULT_CONFIG = dict(zip(KEYS, [1, 2.0, 30, 60, 10, 300, 1, 5, 10, 10, 60, 10, 30, 60]))
MAX_DURATION_S = float(2**64 - 1) + 999_999_999 / 1e9


def policy(**overrides):
    return q.SessionPolicy(dict(DEFAULT_CONFIG, **overrides))


def shown(x):
    """A float as the messages print it: shortest round-trip decimal, never in exponent form."""
    if math.isnan(x):
        return "NaN"
    if math.isinf(x):
        return "inf" if x > 0 else "-inf"
    text = format(Decimal(repr(x)), "f")
    return text[:-2] if text.endswith(".0") else text


def as_duration_s(x):
    """Float seconds to the nearest nanosecond, ties to even, read back as float seconds."""
    if x < 2**-31:
        return 0.0
    secs, nanos = divmod(round(Fraction(x) * 10**9), 10**9)
    return float(secs) + float(nanos) / 1e9


def expect(outcome, state, delay=None, dead=None, stale=None):
    assert outcome.state is state
    assert outcome.retry_after_s == delay and (delay is None or type(outcome.retry_after_s) is float)
    assert outcome.dead_reason is dead
    assert outcome.stale_reason is stale


class Clock:
    """Drives a session the way a host does: attempt, report, wait the delay."""

    def __init__(self, session, t=0.0):
        self.session, self.t = session, t

    def attempt(self):
        return self.session.begin_attempt(self.t)

    def rapid_failure(self, jitter):
        epoch = self.attempt()
        return self.session.on_upgrade_rejected(epoch, self.t, 503, None, jitter)

    def session_of(self, seconds_up, jitter, code=1006):
        epoch = self.attempt()
        self.session.on_connected(epoch, self.t)
        self.t += seconds_up
        return self.session.on_socket_close(epoch, self.t, code, jitter)

    def wait(self, outcome):
        self.t += outcome.retry_after_s


# ---- SessionPolicy: defaults and reading the config


def test_default_policy():
    p = q.SessionPolicy.default()
    assert p.heartbeat_interval_s == 30.0 and type(p.heartbeat_interval_s) is float
    assert p.dead_threshold_s == 60.0
    assert q.SessionPolicy.default() is not p


def test_config_with_the_default_values_behaves_like_the_default():
    runs = []
    for p in (q.SessionPolicy.default(), q.SessionPolicy(DEFAULT_CONFIG)):
        clock = Clock(q.Session(p))
        runs.append([clock.rapid_failure(0.7).retry_after_s for _ in range(9)] + [clock.session_of(30, 0.9).state])
    assert runs[0] == runs[1]


def test_policy_properties_are_read_only():
    p = q.SessionPolicy.default()
    with pytest.raises(AttributeError):
        p.heartbeat_interval_s = 1.0
    assert p.heartbeat_interval_s == 30.0


def test_any_mapping_will_do():
    class Mapping:
        def __getitem__(self, key):
            return DEFAULT_CONFIG[key]

    extra = dict(DEFAULT_CONFIG, unknown_key="ignored")
    for config in (Mapping(), extra, {**DEFAULT_CONFIG}):
        assert q.SessionPolicy(config).dead_threshold_s == 60.0


def test_keys_are_read_and_converted_one_by_one_in_order():
    log = []

    class Value:
        def __init__(self, key):
            self.key = key

        def __float__(self):
            log.append(("convert", self.key))
            return float(DEFAULT_CONFIG[self.key])

    class Config:
        def __getitem__(self, key):
            log.append(("read", key))
            return Value(key)

    q.SessionPolicy(Config())
    assert log == [(step, k) for k in KEYS for step in ("read", "convert")]


@pytest.mark.parametrize("index", range(len(KEYS)), ids=KEYS)
def test_reading_stops_at_the_first_missing_key(index):
    read = []

    class Config:
        def __getitem__(self, key):
            read.append(key)
            if key in KEYS[index:]:  # this key and every later one are missing
                raise KeyError(key)
            return DEFAULT_CONFIG[key]

    with pytest.raises(TypeError) as info:
        q.SessionPolicy(Config())
    assert str(info.value) == f"SessionPolicy config is missing `{KEYS[index]}`"
    assert read == KEYS[: index + 1]


@pytest.mark.parametrize("config", [None, 5, "base_delay_s", [1, 2], object(), set()], ids=repr)
def test_config_that_cannot_be_indexed_reports_the_first_key(config):
    with pytest.raises(TypeError) as info:
        q.SessionPolicy(config)
    assert str(info.value) == "SessionPolicy config is missing `base_delay_s`"


@pytest.mark.parametrize("exc", [KeyError, IndexError, RuntimeError, ValueError, ZeroDivisionError])
def test_any_lookup_failure_is_a_missing_key(exc):
    class Config:
        def __getitem__(self, key):
            if key == "rapid_window_s":
                raise exc("boom")
            return DEFAULT_CONFIG[key]

    with pytest.raises(TypeError) as info:
        q.SessionPolicy(Config())
    assert str(info.value) == "SessionPolicy config is missing `rapid_window_s`"


@pytest.mark.parametrize("exc", [KeyboardInterrupt, MemoryError, RecursionError])
@pytest.mark.parametrize("where", ["lookup", "number"])
def test_interrupts_and_exhaustion_are_never_rewritten(exc, where):
    class Number:
        def __float__(self):
            raise exc("boom")

    class Config:
        def __getitem__(self, key):
            if key == "factor":
                if where == "lookup":
                    raise exc("boom")
                return Number()
            return DEFAULT_CONFIG[key]

    with pytest.raises(exc):
        q.SessionPolicy(Config())


@pytest.mark.parametrize("key", KEYS)
@pytest.mark.parametrize("value", [True, False])
def test_bool_is_not_a_number_for_any_key(key, value):
    with pytest.raises(TypeError) as info:
        policy(**{key: value})
    assert str(info.value) == f"SessionPolicy config `{key}` must be a number, not bool"


class BadFloat:
    def __float__(self):
        raise ValueError("no")


@pytest.mark.parametrize("key", KEYS)
@pytest.mark.parametrize("value", ["1", None, b"1", [1], 1j, BadFloat(), 10**400], ids=repr)
def test_non_numbers_for_any_key(key, value):
    with pytest.raises(TypeError) as info:
        policy(**{key: value})
    assert str(info.value) == f"SessionPolicy config `{key}` must be a number"
    assert not getattr(info.value, "__notes__", None)


def test_numbers_in_every_form():
    class Index:
        def __index__(self):
            return 45

    class Float:
        def __float__(self):
            return 50.0

    class Int(int):
        pass

    p = policy(heartbeat_interval_s=Index(), dead_threshold_s=Float(), rapid_threshold=Int(3), factor=Int(1))
    assert (p.heartbeat_interval_s, p.dead_threshold_s) == (45.0, 50.0)


def test_earlier_key_fails_first_whatever_comes_later():
    # every key is broken in a different way; the first one in the read order is reported
    config = {"base_delay_s": -1, "factor": "x", "max_delay_s": True}
    with pytest.raises(ValueError, match=r"^`base_delay_s` must be a finite, non-negative number, got -1$"):
        q.SessionPolicy(config)
    del config["base_delay_s"]
    with pytest.raises(TypeError, match=r"^SessionPolicy config is missing `base_delay_s`$"):
        q.SessionPolicy(config)


@pytest.mark.parametrize("key", SECONDS_KEYS)
@pytest.mark.parametrize("value, text", [(-1, "-1"), (-0.5, "-0.5"), (float("inf"), "inf"),
                                         (float("-inf"), "-inf"), (float("nan"), "NaN"), (-5e-324, None)])
def test_duration_keys_must_be_finite_and_non_negative(key, value, text):
    with pytest.raises(ValueError) as info:
        policy(**{key: value})
    assert type(info.value) is ValueError and not hasattr(info.value, "issues")
    assert str(info.value) == f"`{key}` must be a finite, non-negative number, got {text or shown(value)}"


def test_a_bad_duration_stops_before_later_keys_are_looked_at():
    read = []

    class Config:
        def __getitem__(self, key):
            read.append(key)
            return -1 if key == "max_delay_s" else DEFAULT_CONFIG[key]

    with pytest.raises(ValueError, match=r"^`max_delay_s` must be a finite, non-negative number, got -1$"):
        q.SessionPolicy(Config())
    assert read == ["base_delay_s", "factor", "max_delay_s"]


def test_missing_last_key():
    config = dict(DEFAULT_CONFIG)
    del config["dead_threshold_s"]
    with pytest.raises(TypeError, match=r"^SessionPolicy config is missing `dead_threshold_s`$"):
        q.SessionPolicy(config)


@pytest.mark.parametrize("value", [3.0, 3, 1, 4294967295, 4294967295.0])
def test_rapid_threshold_accepts_whole_numbers(value):
    session = q.Session(policy(rapid_threshold=value, rapid_window_s=1e9))
    clock = Clock(session)
    n = int(value) if value < 20 else 20
    outcomes = [clock.rapid_failure(0.0) for _ in range(n)]
    assert [o.state for o in outcomes].count(State.Dead) == (1 if value < 20 else 0)
    if value < 20:
        assert outcomes[-1].dead_reason is Dead.RapidDisconnect


@pytest.mark.parametrize("value, text", [
    (3.5, "3.5"), (-1, "-1"), (4294967296, "4294967296"), (4294967295.5, "4294967295.5"), (0.1, "0.1"),
    (float("nan"), "NaN"), (float("inf"), "inf"), (float("-inf"), "-inf"), (1e20, "100000000000000000000"),
    (-1e-300, shown(-1e-300)),
])
def test_rapid_threshold_must_be_whole_and_in_range(value, text):
    with pytest.raises(ValueError) as info:
        policy(rapid_threshold=value)
    assert str(info.value) == ("SessionPolicy config `rapid_threshold` must be a whole number between 0 and "
                               f"4294967295, got {text}")
    assert not hasattr(info.value, "issues")


def test_rapid_threshold_true_is_the_bool_error():
    with pytest.raises(TypeError, match="^SessionPolicy config `rapid_threshold` must be a number, not bool$"):
        policy(rapid_threshold=True)


# ---- the five invariant checks

ISSUE = {
    "factor": lambda v: ("factor", "invalid_value", f"factor must be a finite number >= 1.0, got {v}"),
    "base": ("base_delay", "invalid_value", "base_delay must not exceed max_delay"),
    "threshold": ("rapid_threshold", "invalid_value", "rapid_threshold must be at least 1"),
    "heartbeat": ("heartbeat_interval", "invalid_value", "heartbeat_interval must be greater than zero"),
    "dead": ("dead_threshold", "invalid_value", "dead_threshold must exceed heartbeat_interval"),
}


@pytest.mark.parametrize("overrides, issues", [
    ({"factor": 0.5}, [ISSUE["factor"]("0.5")]),
    ({"factor": 0.9999999999999999}, [ISSUE["factor"]("0.9999999999999999")]),
    ({"factor": -0.0}, [ISSUE["factor"]("-0")]),
    ({"factor": -3}, [ISSUE["factor"]("-3")]),
    ({"factor": float("nan")}, [ISSUE["factor"]("NaN")]),
    ({"factor": float("inf")}, [ISSUE["factor"]("inf")]),
    ({"factor": float("-inf")}, [ISSUE["factor"]("-inf")]),
    ({"factor": -1e20}, [ISSUE["factor"]("-100000000000000000000")]),
    ({"factor": 5e-324}, [ISSUE["factor"]("0." + "0" * 323 + "5")]),
    ({"base_delay_s": 31}, [ISSUE["base"]]),
    ({"base_delay_s": 30.000000001}, [ISSUE["base"]]),  # one nanosecond more
    ({"rapid_threshold": 0}, [ISSUE["threshold"]]),
    ({"rapid_threshold": -0.0}, [ISSUE["threshold"]]),
    ({"heartbeat_interval_s": 0}, [ISSUE["heartbeat"]]),
    ({"heartbeat_interval_s": 2**-32}, [ISSUE["heartbeat"]]),  # rounds to zero
    ({"heartbeat_interval_s": 60, "dead_threshold_s": 60}, [ISSUE["dead"]]),
    ({"heartbeat_interval_s": 61}, [ISSUE["dead"]]),
    ({"heartbeat_interval_s": 59.9999999999}, [ISSUE["dead"]]),  # rounds to 60 s
    ({"heartbeat_interval_s": 0, "dead_threshold_s": 0}, [ISSUE["heartbeat"], ISSUE["dead"]]),
    ({"base_delay_s": 40, "max_delay_s": 30, "rapid_threshold": 0, "heartbeat_interval_s": 0},
     [ISSUE["base"], ISSUE["threshold"], ISSUE["heartbeat"]]),
    ({"factor": 0, "base_delay_s": 1e300, "rapid_threshold": 0, "heartbeat_interval_s": 0, "dead_threshold_s": 0},
     [ISSUE["factor"]("0"), ISSUE["base"], ISSUE["threshold"], ISSUE["heartbeat"], ISSUE["dead"]]),
])
def test_invariant_checks_all_run_in_order(overrides, issues):
    with pytest.raises(ValueError) as info:
        policy(**overrides)
    e = info.value
    assert e.issues == tuple(issues)
    assert e.args == (f"{len(issues)} validation issue(s): {issues[0][2]} ({issues[0][0]})",)
    assert e.trace_context is None


@pytest.mark.parametrize("overrides", [
    {"factor": 1.0}, {"factor": 1e300}, {"base_delay_s": 30}, {"base_delay_s": 30.0000000001},
    {"base_delay_s": 0, "max_delay_s": 0}, {"rapid_threshold": 1}, {"heartbeat_interval_s": 1e-9},
    {"heartbeat_interval_s": 59.999999999}, {"rapid_window_s": 0, "stable_reset_s": 0},
])
def test_valid_edges_are_accepted(overrides):
    policy(**overrides)


def test_invariant_error_carries_the_trace_context():
    with pytest.raises(ValueError) as info:
        q.SessionPolicy(dict(DEFAULT_CONFIG, rapid_threshold=0), "trace-1")
    assert info.value.trace_context == "trace-1"
    with pytest.raises(ValueError) as info:
        q.SessionPolicy(dict(DEFAULT_CONFIG, rapid_threshold=0), trace_context=None)
    assert info.value.trace_context is None


# ---- the seconds-to-duration rule, observed through the policy and the delays


@pytest.mark.parametrize("seconds, expected", [
    (0.1, 0.1),
    (1 / 1024, 976562 / 1e9),  # exactly 976562.5 ns: ties to even
    (3 / 1024, 2929688 / 1e9),  # exactly 2929687.5 ns: ties to even
    (1.0000000004, 1.0),
    (1.0000000006, 1.000000001),
    (6e-10, 1e-9),
    (12345.678901234567, 12345.678901235),
    (1.0, 1.0),  # whole seconds, below 2**53 and at or beyond it
    (3.0, 3.0),
    (float(2**52 - 1), float(2**52 - 1)),
    (float(2**53 + 2), float(2**53 + 2)),
    (0.5, 0.5),
    (float(2**64 - 2048), float(2**64 - 2048)),  # the largest double that still fits
    (float(2**64), MAX_DURATION_S),  # saturates
    (1e300, MAX_DURATION_S),
])
def test_seconds_to_duration(seconds, expected):
    if seconds < 2**63:
        assert policy(heartbeat_interval_s=seconds, dead_threshold_s=2.0**64).heartbeat_interval_s == expected
    else:
        assert policy(dead_threshold_s=seconds).dead_threshold_s == expected


@settings(max_examples=300)
@given(st.floats(min_value=6e-10, max_value=1.8e19))
def test_seconds_round_to_the_nearest_nanosecond(seconds):
    p = policy(heartbeat_interval_s=seconds, dead_threshold_s=2.0**64)
    assert p.heartbeat_interval_s == as_duration_s(seconds)


@pytest.mark.parametrize("seconds", [0.0, -0.0, 5e-324, 2**-31, 4e-10])
def test_tiny_seconds_are_zero(seconds):
    with pytest.raises(ValueError) as info:
        policy(heartbeat_interval_s=seconds)
    assert info.value.issues == (ISSUE["heartbeat"],)


def test_retry_after_rounds_like_every_duration():
    # no ladder, no jitter: the delay is the retry-after itself, as a duration
    session = q.Session(policy(rapid_first_min_delay_s=0))
    epoch = session.begin_attempt(0.0)
    out = session.on_upgrade_rejected(epoch, 0.0, 503, 1 / 1024, 0.0)
    expect(out, State.Connecting, delay=976562 / 1e9)


# ---- number printing in messages


@pytest.mark.parametrize("value, text", [
    (2, "2"), (2.0, "2"), (1.5, "1.5"), (-1, "-1"), (-0.5, "-0.5"), (1e20, "100000000000000000000"),
    (1.0000000000000002, "1.0000000000000002"), (float("inf"), "inf"), (float("-inf"), "-inf"),
    (float("nan"), "NaN"), (-float("nan"), "NaN"), (1e23, "100000000000000000000000"),
    (-5e-324, "-0." + "0" * 323 + "5"), (1.7976931348623157e308, "17976931348623157" + "0" * 292),
    (-1e-7, "-0.0000001"), (123456789.125, "123456789.125"), (2**53 + 2.0, "9007199254740994"),
])
def test_number_printing(value, text):
    session = q.Session(q.SessionPolicy.default())
    with pytest.raises(ValueError) as info:
        session.on_supersede(0.0, True, None, value)
    assert str(info.value) == f"`jitter_sample` must be a finite number between 0.0 and 1.0, got {text}"


@settings(max_examples=300)
@given(st.floats(allow_nan=True, allow_infinity=True).filter(lambda x: not 0 <= x <= 1))
def test_number_printing_is_shortest_round_trip(value):
    session = q.Session(q.SessionPolicy.default())
    with pytest.raises(ValueError) as info:
        session.on_supersede(0.0, True, None, value)
    text = str(info.value).rsplit("got ", 1)[1]
    assert text == shown(value)
    if not math.isnan(value):
        assert float(text) == value and "e" not in text


def test_integers_print_in_plain_decimal():
    session = q.Session(q.SessionPolicy.default())
    for value in (-1, -(2**63)):
        with pytest.raises(ValueError) as info:
            session.on_connected(value, 0.0)
        assert str(info.value) == f"`epoch` must be a non-negative integer, got {value}"
    for value in (65536, 2**63 - 1, -(2**63)):
        with pytest.raises(ValueError) as info:
            q.classify_upgrade(value)
        assert str(info.value) == f"`status` must be an integer between 0 and 65535, got {value}"


# ---- argument converters of the session

CONVERTER_ERRORS = [
    (lambda s, e: s.begin_attempt(-1.0), "`now_s` must be a finite, non-negative number, got -1"),
    (lambda s, e: s.begin_attempt(-5e-324), "`now_s` must be a finite, non-negative number, got -0." + "0" * 323 + "5"),
    (lambda s, e: s.begin_attempt(float("inf")), "`now_s` must be a finite, non-negative number, got inf"),
    (lambda s, e: s.begin_attempt(float("nan")), "`now_s` must be a finite, non-negative number, got NaN"),
    (lambda s, e: s.begin_attempt(-3), "`now_s` must be a finite, non-negative number, got -3"),
    (lambda s, e: s.on_connected(-1, 1.0), "`epoch` must be a non-negative integer, got -1"),
    (lambda s, e: s.on_connected(e, float("-inf")), "`now_s` must be a finite, non-negative number, got -inf"),
    (lambda s, e: s.on_socket_close(e, 1.0, -1, 0.5), "`close_code` must be an integer between 0 and 65535, got -1"),
    (lambda s, e: s.on_socket_close(e, 1.0, 65536, 0.5),
     "`close_code` must be an integer between 0 and 65535, got 65536"),
    (lambda s, e: s.on_socket_close(e, 1.0, None, 1.0000000000000002),
     "`jitter_sample` must be a finite number between 0.0 and 1.0, got 1.0000000000000002"),
    (lambda s, e: s.on_socket_close(e, 1.0, None, -1e-300),
     "`jitter_sample` must be a finite number between 0.0 and 1.0, got " + shown(-1e-300)),
    (lambda s, e: s.on_upgrade_rejected(e, 1.0, 70000, None, 0.5),
     "`status` must be an integer between 0 and 65535, got 70000"),
    (lambda s, e: s.on_upgrade_rejected(e, 1.0, 429, -1, 0.5),
     "`retry_after_s` must be a finite, non-negative number, got -1"),
    (lambda s, e: s.on_upgrade_rejected(e, 1.0, 429, float("inf"), 0.5),
     "`retry_after_s` must be a finite, non-negative number, got inf"),
    (lambda s, e: s.on_upgrade_rejected(e, 1.0, 429, float("nan"), 0.5),
     "`retry_after_s` must be a finite, non-negative number, got NaN"),
    (lambda s, e: s.on_supersede(1.0, True, -0.25, 0.5),
     "`retry_after_s` must be a finite, non-negative number, got -0.25"),
    (lambda s, e: s.on_supersede(1.0, True, 1.0, float("nan")),
     "`jitter_sample` must be a finite number between 0.0 and 1.0, got NaN"),
    (lambda s, e: s.on_supersede(1.0, False, None, 2),
     "`jitter_sample` must be a finite number between 0.0 and 1.0, got 2"),
]


@pytest.mark.parametrize("call, message", CONVERTER_ERRORS, ids=[str(i) for i in range(len(CONVERTER_ERRORS))])
def test_argument_range_errors_change_nothing(call, message):
    session = q.Session(q.SessionPolicy.default())
    epoch = session.begin_attempt(0.5)
    session.on_connected(epoch, 0.5)
    with pytest.raises(ValueError) as info:
        call(session, epoch)
    assert type(info.value) is ValueError and info.value.args == (message,)
    assert not hasattr(info.value, "issues") and not getattr(info.value, "__notes__", None)
    # still up on the same epoch, and nothing was counted: the first drop is the first failure
    assert session.state is State.Up
    expect(session.on_socket_close(epoch, 0.5, None, 0.0), State.Reconnecting, delay=1.0)
    assert session.begin_attempt(1.0) == epoch + 1


@pytest.mark.parametrize("now", [0, 0.0, -0.0, 5e-324, 1e300, 2**63])
def test_now_accepts_every_finite_non_negative_number(now):
    session = q.Session(q.SessionPolicy.default())
    epoch = session.begin_attempt(now)
    expect(session.on_connected(epoch, now), State.Up)


@pytest.mark.parametrize("jitter", [0, 0.0, -0.0, 1, 1.0, 5e-324])
def test_jitter_accepts_the_closed_unit_interval(jitter):
    session = q.Session(q.SessionPolicy.default())
    epoch = session.begin_attempt(0.0)
    assert session.on_socket_close(epoch, 0.0, 1006, jitter).retry_after_s == 1.0


@pytest.mark.parametrize("code", [0, 65535, None])
def test_close_code_range_edges(code):
    session = q.Session(q.SessionPolicy.default())
    epoch = session.begin_attempt(0.0)
    expect(session.on_socket_close(epoch, 0.0, code, 0.0), State.Connecting, delay=1.0)


def test_epoch_out_of_64_bit_range_is_a_conversion_error():
    session = q.Session(q.SessionPolicy.default())
    with pytest.raises(OverflowError) as info:
        session.on_connected(2**63, 0.0)
    assert info.value.__notes__ == ["while processing 'epoch'"]


@pytest.mark.parametrize("retry_after", [0, 0.0, -0.0])
def test_zero_retry_after_is_a_zero_delay_not_none(retry_after):
    session = q.Session(policy(rapid_first_min_delay_s=0))
    epoch = session.begin_attempt(0.0)
    out = session.on_upgrade_rejected(epoch, 0.0, 503, retry_after, 0.0)
    expect(out, State.Connecting, delay=0.0)


def test_unrepresentable_retry_after_falls_back_to_the_cap():
    # 1e300 s saturates; the delay it would give cannot be represented either, so the cap is used
    session = q.Session(q.SessionPolicy.default())
    epoch = session.begin_attempt(0.0)
    expect(session.on_upgrade_rejected(epoch, 0.0, 503, 1e300, 0.0), State.Connecting, delay=30.0)


# ---- classify_close and classify_upgrade


@pytest.mark.parametrize("code, terminal", [(1000, True), (1001, False), (None, False), (0, False),
                                            (65535, False), (1006, False), (4000, False)])
def test_classify_close(code, terminal):
    result = q.classify_close(code)
    assert result == (terminal, None) and type(result) is tuple and type(result[0]) is bool


@pytest.mark.parametrize("status, terminal", [(400, True), (403, True), (409, True), (401, False), (429, False),
                                              (404, False), (0, False), (65535, False), (503, False)])
def test_classify_upgrade(status, terminal):
    assert q.classify_upgrade(status) == (terminal, None)


@given(st.integers(min_value=0, max_value=65535))
def test_classifiers_over_the_whole_range(value):
    assert q.classify_close(value) == (value == 1000, None)
    assert q.classify_upgrade(value) == (value in (400, 403, 409), None)


@given(st.one_of(st.integers(max_value=-1, min_value=-(2**63)), st.integers(min_value=65536, max_value=2**63 - 1)))
def test_classifiers_out_of_range(value):
    for f, name in ((q.classify_close, "close_code"), (q.classify_upgrade, "status")):
        with pytest.raises(ValueError) as info:
            f(value)
        assert str(info.value) == f"`{name}` must be an integer between 0 and 65535, got {value}"


@pytest.mark.parametrize("bad", [1000.0, "1000", b"x", [1000]], ids=repr)
def test_classifiers_reject_non_integers(bad):
    for f, name in ((q.classify_close, "close_code"), (q.classify_upgrade, "status")):
        with pytest.raises(TypeError) as info:
            f(bad)
        assert info.value.__notes__ == [f"while processing '{name}'"]
    with pytest.raises(TypeError):
        q.classify_upgrade(None)


# ---- the reconnect delay, observed through session outcomes


def stable_failures(session_policy, jitters, seconds_up=20):
    """Connections that stay up long enough not to be rapid, but not long enough to reset."""
    clock = Clock(q.Session(session_policy))
    return [clock.session_of(seconds_up, j).retry_after_s for j in jitters]


def test_exponential_back_off_with_cap():
    assert stable_failures(q.SessionPolicy.default(), [1.0] * 8) == [1.0, 2.0, 4.0, 8.0, 16.0, 30.0, 30.0, 30.0]


def test_full_jitter_scales_the_capped_delay():
    assert stable_failures(q.SessionPolicy.default(), [0.5, 0.5, 0.5, 0.0, 0.25, 1.0, 0.1]) == [
        0.5, 1.0, 2.0, 0.0, 4.0, 30.0, 3.0]


def test_growth_uses_repeated_squaring():
    # 1.9 ** 5 by repeated squaring is exactly 24.76099; a general power function is one ulp short
    p = policy(base_delay_s=100000, factor=1.9, max_delay_s=1e9, stable_reset_s=1e12,
               rapid_disconnect_uptime_s=0)
    assert stable_failures(p, [1.0] * 6, seconds_up=0)[-1] == 2476099.0


def test_infinite_growth_of_a_zero_base_is_the_cap():
    p = policy(base_delay_s=0, factor=1e300, rapid_disconnect_uptime_s=0)
    # failures 1, 2: zero; failure 3: 0 * inf is NaN, which counts as the cap
    assert stable_failures(p, [0.5, 0.5, 0.5, 0.5], seconds_up=0) == [0.0, 0.0, 15.0, 15.0]


def test_factor_one_keeps_the_base():
    p = policy(base_delay_s=3, factor=1, rapid_disconnect_uptime_s=0)
    assert stable_failures(p, [1.0] * 5, seconds_up=0) == [3.0] * 5


def test_retry_after_overrides_jitter_and_cap():
    for retry_after, jitter, expected in [(5.0, 0.0, 5.0), (40.0, 1.0, 40.0), (40.0, 0.0, 40.0), (0.5, 1.0, 1.0),
                                          (120.0, 0.3, 120.0)]:
        clock = Clock(q.Session(q.SessionPolicy.default()))
        epoch = clock.attempt()
        clock.session.on_connected(epoch, 0.0)
        out = clock.session.on_supersede(20.0, True, retry_after, jitter)
        expect(out, State.Reconnecting, delay=expected)


# ---- the rapid-disconnect ladder

LADDER = [1.0, 5.0, 10.0, 20.0, 30.0, 40.0, 50.0, 60.0, 60.0]


@given(st.lists(st.floats(min_value=0, max_value=1), min_size=10, max_size=10))
def test_default_ladder_floors_and_death_on_the_tenth(jitters):
    clock = Clock(q.Session(q.SessionPolicy.default()))
    outcomes = [clock.rapid_failure(j) for j in jitters]
    for out, floor in zip(outcomes, LADDER):
        expect(out, State.Connecting, delay=floor)
    expect(outcomes[9], State.Dead, dead=Dead.RapidDisconnect)
    assert clock.session.begin_attempt(1.0) is None


def test_ladder_also_counts_connections_that_drop_soon_after_opening():
    clock = Clock(q.Session(q.SessionPolicy.default()))
    outcomes = [clock.session_of(9.5, 0.0) for _ in range(10)]
    assert [o.retry_after_s for o in outcomes[:9]] == LADDER
    assert all(o.state is State.Reconnecting for o in outcomes[:9])
    expect(outcomes[9], State.Dead, dead=Dead.RapidDisconnect)


def test_host_that_honours_the_delays_still_dies_within_the_window():
    clock = Clock(q.Session(q.SessionPolicy.default()))
    for floor in LADDER:
        out = clock.rapid_failure(0.0)
        assert out.retry_after_s == floor
        clock.wait(out)
    assert clock.t == 276.0
    expect(clock.rapid_failure(0.0), State.Dead, dead=Dead.RapidDisconnect)


@pytest.mark.parametrize("last_at, dead", [(300.0, True), (300.000001, False), (301.0, False)])
def test_window_boundary(last_at, dead):
    session = q.Session(q.SessionPolicy.default())
    times = [0.0] + [1.0 + i for i in range(8)] + [last_at]
    for t in times[:-1]:
        epoch = session.begin_attempt(t)
        session.on_socket_close(epoch, t, None, 0.0)
    epoch = session.begin_attempt(last_at)
    out = session.on_socket_close(epoch, last_at, None, 0.0)
    if dead:  # exactly 300 s old still counts
        expect(out, State.Dead, dead=Dead.RapidDisconnect)
    else:  # the oldest one fell out of the window: this is the ninth, not the tenth
        expect(out, State.Connecting, delay=60.0)


def test_window_prunes_only_from_the_oldest_end():
    session = q.Session(q.SessionPolicy.default())
    epoch = session.begin_attempt(100.0)
    expect(session.on_socket_close(epoch, 100.0, None, 0.0), State.Connecting, delay=1.0)
    # a supersede with no attempt in flight is not stale even when its time is older
    expect(session.on_supersede(0.0, True, None, 0.0), State.Connecting, delay=5.0)
    epoch = session.begin_attempt(350.0)
    # 100 is young enough, so pruning stops there and the older 0 stays counted: third, not second
    expect(session.on_socket_close(epoch, 350.0, None, 0.0), State.Connecting, delay=10.0)


def test_pruning_makes_room_again():
    session = q.Session(q.SessionPolicy.default())
    for t in (0.0, 100.0):
        epoch = session.begin_attempt(t)
        session.on_socket_close(epoch, t, None, 0.0)
    epoch = session.begin_attempt(301.0)
    expect(session.on_socket_close(epoch, 301.0, None, 0.0), State.Connecting, delay=5.0)


def test_custom_ladder_is_computed_in_seconds_and_rounded():
    p = policy(rapid_first_min_delay_s=0.25, rapid_second_min_delay_s=0.5, rapid_cooldown_base_s=0.1,
               rapid_cooldown_step_s=0.2, rapid_cooldown_max_s=0.7, rapid_threshold=8, base_delay_s=0)
    clock = Clock(q.Session(p))
    delays = [clock.rapid_failure(1.0).retry_after_s for _ in range(7)]
    # 0.1 + 0.2 is 0.30000000000000004 in doubles: the nanosecond rounding makes it 0.3
    assert delays == [0.25, 0.5, 0.1, 0.3, 0.5, 0.7, 0.7]
    expect(clock.rapid_failure(1.0), State.Dead, dead=Dead.RapidDisconnect)


def test_ladder_floor_can_exceed_the_cap():
    p = policy(rapid_first_min_delay_s=45, max_delay_s=30)
    clock = Clock(q.Session(p))
    expect(clock.rapid_failure(1.0), State.Connecting, delay=45.0)


def test_threshold_one_dies_on_the_first_rapid_disconnect_only():
    p = policy(rapid_threshold=1)
    clock = Clock(q.Session(p))
    expect(clock.session_of(10, 1.0), State.Reconnecting, delay=1.0)  # not rapid
    expect(clock.session_of(9.999, 1.0), State.Dead, dead=Dead.RapidDisconnect)


def test_death_does_not_count_a_failure():
    clock = Clock(q.Session(policy(rapid_threshold=2)))
    expect(clock.rapid_failure(1.0), State.Connecting, delay=1.0)
    expect(clock.rapid_failure(1.0), State.Dead, dead=Dead.RapidDisconnect)


# ---- uptime: rapid, ordinary and stable disconnects


@pytest.mark.parametrize("seconds_up, delay", [(9.999, 1.0), (10.0, 0.0), (10.5, 0.0)])
def test_rapid_means_up_less_than_the_rapid_uptime(seconds_up, delay):
    clock = Clock(q.Session(q.SessionPolicy.default()))
    expect(clock.session_of(seconds_up, 0.0), State.Reconnecting, delay=delay)


@pytest.mark.parametrize("seconds_up, delay", [(59.999, 2.0), (60.0, 1.0), (100.0, 1.0), (1e9, 1.0)])
def test_stable_connection_resets_the_failure_count(seconds_up, delay):
    clock = Clock(q.Session(q.SessionPolicy.default()))
    expect(clock.session_of(30, 1.0), State.Reconnecting, delay=1.0)
    expect(clock.session_of(seconds_up, 1.0), State.Reconnecting, delay=delay)


def test_stable_connection_after_failed_attempts_starts_over():
    clock = Clock(q.Session(q.SessionPolicy.default()))
    assert [clock.rapid_failure(1.0).retry_after_s for _ in range(3)] == [1.0, 5.0, 10.0]
    assert clock.session.state is State.Connecting
    # up 100 s, then dropped with jitter 1.0: exactly the first step again, and no ladder
    expect(clock.session_of(100, 1.0), State.Reconnecting, delay=1.0)
    # without a reset the count goes on: up 30 s gives the second step
    expect(clock.session_of(30, 1.0), State.Reconnecting, delay=2.0)


def test_connecting_stays_connecting_until_first_up():
    clock = Clock(q.Session(q.SessionPolicy.default()))
    for _ in range(3):
        assert clock.rapid_failure(0.5).state is State.Connecting
    epoch = clock.attempt()
    expect(clock.session.on_connected(epoch, clock.t), State.Up)
    expect(clock.session.on_socket_close(epoch, clock.t + 1, None, 0.0), State.Reconnecting, delay=20.0)
    assert clock.rapid_failure(0.0).state is State.Reconnecting


def test_connected_alone_does_not_reset_failures():
    clock = Clock(q.Session(policy(rapid_disconnect_uptime_s=0)))
    # connected but dropped at once, three times: the count keeps growing across connections
    assert [clock.session_of(0, 1.0).retry_after_s for _ in range(3)] == [1.0, 2.0, 4.0]


# ---- epochs and the guards


def test_epochs_count_up_and_supersede_the_attempt_in_flight():
    session = q.Session(q.SessionPolicy.default())
    assert session.begin_attempt(5.0) == 0
    assert session.begin_attempt(5.0) == 1
    expect(session.on_connected(0, 6.0), State.Connecting, stale=Stale.WrongEpoch)
    assert session.state is State.Connecting
    expect(session.on_connected(1, 6.0), State.Up)


def test_unknown_epochs_are_stale():
    session = q.Session(q.SessionPolicy.default())
    for call in (lambda: session.on_connected(0, 1.0), lambda: session.on_socket_close(0, 1.0, None, 0.5),
                 lambda: session.on_upgrade_rejected(0, 1.0, 503, None, 0.5)):
        expect(call(), State.Connecting, stale=Stale.WrongEpoch)
    epoch = session.begin_attempt(1.0)
    for wrong in (epoch + 1, 2**63 - 1):
        expect(session.on_connected(wrong, 1.0), State.Connecting, stale=Stale.WrongEpoch)
    expect(session.on_connected(epoch, 1.0), State.Up)


def test_duplicate_connected():
    session = q.Session(q.SessionPolicy.default())
    epoch = session.begin_attempt(1.0)
    expect(session.on_connected(epoch, 2.0), State.Up)
    expect(session.on_connected(epoch, 3.0), State.Up, stale=Stale.DuplicateConnected)
    # checked before the clock: an earlier time is still a duplicate
    expect(session.on_connected(epoch, 1.0), State.Up, stale=Stale.DuplicateConnected)


def test_clock_regression_is_stale_and_keeps_the_epoch():
    session = q.Session(q.SessionPolicy.default())
    epoch = session.begin_attempt(1.0)
    session.on_connected(epoch, 10.0)
    expect(session.on_socket_close(epoch, 9.0, None, 0.5), State.Up, stale=Stale.ClockRegression)
    expect(session.on_upgrade_rejected(epoch, 9.999, 403, None, 0.5), State.Up, stale=Stale.ClockRegression)
    # equal times are not a regression
    expect(session.on_socket_close(epoch, 10.0, None, 0.5), State.Reconnecting, delay=1.0)


def test_second_close_for_the_same_epoch_is_stale():
    session = q.Session(q.SessionPolicy.default())
    epoch = session.begin_attempt(1.0)
    session.on_connected(epoch, 1.0)
    expect(session.on_socket_close(epoch, 2.0, None, 0.5), State.Reconnecting, delay=1.0)
    expect(session.on_socket_close(epoch, 3.0, 1000, 0.5), State.Reconnecting, stale=Stale.WrongEpoch)
    expect(session.on_connected(epoch, 3.0), State.Reconnecting, stale=Stale.WrongEpoch)


def test_new_attempt_forgets_the_last_event_time():
    session = q.Session(q.SessionPolicy.default())
    epoch = session.begin_attempt(1.0)
    session.on_connected(epoch, 50.0)
    session.on_socket_close(epoch, 50.0, None, 0.5)
    epoch = session.begin_attempt(20.0)  # the host's clock is its own business between attempts
    expect(session.on_connected(epoch, 21.0), State.Up)


def test_reconnected_after_a_previous_connection():
    session = q.Session(q.SessionPolicy.default())
    first = session.begin_attempt(0.0)
    session.on_connected(first, 0.0)
    second = session.begin_attempt(5.0)  # the first socket is abandoned
    expect(session.on_connected(second, 6.0), State.Up)
    expect(session.on_connected(first, 7.0), State.Up, stale=Stale.WrongEpoch)


# ---- terminal reports and end()


@pytest.mark.parametrize("code, dies", [(1000, True), (None, False), (1001, False), (1006, False)])
def test_close_codes(code, dies):
    session = q.Session(q.SessionPolicy.default())
    epoch = session.begin_attempt(0.0)
    session.on_connected(epoch, 0.0)
    out = session.on_socket_close(epoch, 1.0, code, 0.5)
    if dies:
        expect(out, State.Dead, dead=Dead.Classified)
    else:
        expect(out, State.Reconnecting, delay=1.0)


@pytest.mark.parametrize("status, dies", [(400, True), (403, True), (409, True), (401, False), (429, False),
                                          (500, False)])
def test_upgrade_statuses(status, dies):
    session = q.Session(q.SessionPolicy.default())
    epoch = session.begin_attempt(0.0)
    out = session.on_upgrade_rejected(epoch, 0.0, status, 120.0, 0.0)
    if dies:
        expect(out, State.Dead, dead=Dead.Classified)
    else:
        expect(out, State.Connecting, delay=120.0)


def test_upgrade_retry_after_above_the_cap():
    session = q.Session(q.SessionPolicy.default())
    epoch = session.begin_attempt(0.0)
    expect(session.on_upgrade_rejected(epoch, 0.0, 429, 120.0, 0.0), State.Connecting, delay=120.0)


def test_supersede_not_retryable_dies():
    session = q.Session(q.SessionPolicy.default())
    epoch = session.begin_attempt(0.0)
    session.on_connected(epoch, 0.0)
    expect(session.on_supersede(1.0, False, 5.0, 0.5), State.Dead, dead=Dead.Classified)


def test_supersede_before_the_attempt_began_is_stale():
    session = q.Session(q.SessionPolicy.default())
    epoch = session.begin_attempt(10.0)
    expect(session.on_supersede(9.0, True, None, 0.5), State.Connecting, stale=Stale.SupersedePredatesEpoch)
    expect(session.on_supersede(9.0, False, None, 0.5), State.Connecting, stale=Stale.SupersedePredatesEpoch)
    # the attempt is untouched
    expect(session.on_connected(epoch, 10.0), State.Up)
    expect(session.on_supersede(10.0, True, None, 0.0), State.Reconnecting, delay=1.0)
    # it ended the attempt
    expect(session.on_socket_close(epoch, 11.0, None, 0.5), State.Reconnecting, stale=Stale.WrongEpoch)


def test_supersede_with_no_attempt_in_flight_is_one_more_failure():
    session = q.Session(q.SessionPolicy.default())
    expect(session.on_supersede(0.0, True, None, 1.0), State.Connecting, delay=1.0)
    epoch = session.begin_attempt(1.0)
    expect(session.on_socket_close(epoch, 1.0, None, 1.0), State.Connecting, delay=5.0)
    expect(session.on_supersede(2.0, True, None, 1.0), State.Connecting, delay=10.0)


@pytest.mark.parametrize("kill", [
    lambda s, e: s.on_socket_close(e, 1.0, 1000, 0.5),
    lambda s, e: s.on_upgrade_rejected(e, 1.0, 409, None, 0.5),
    lambda s, e: s.on_supersede(1.0, False, None, 0.5),
], ids=["close-1000", "upgrade-409", "supersede"])
def test_dead_is_final(kill):
    session = q.Session(q.SessionPolicy.default())
    epoch = session.begin_attempt(0.0)
    expect(kill(session, epoch), State.Dead, dead=Dead.Classified)
    assert session.begin_attempt(2.0) is None
    # every later report answers the stored reason, before any epoch or clock check
    for call in (lambda: session.on_connected(epoch, 2.0), lambda: session.on_connected(99, 0.0),
                 lambda: session.on_socket_close(epoch, 0.0, None, 0.5),
                 lambda: session.on_upgrade_rejected(99, 2.0, 429, 5.0, 0.5),
                 lambda: session.on_supersede(0.0, True, None, 0.5)):
        expect(call(), State.Dead, dead=Dead.Classified)
    assert session.end() is State.Dead
    expect(session.on_connected(epoch, 3.0), State.Dead, dead=Dead.Classified)


def test_end_on_a_live_session():
    session = q.Session(q.SessionPolicy.default())
    epoch = session.begin_attempt(0.0)
    session.on_connected(epoch, 0.0)
    assert session.end() is State.Dead
    assert session.state is State.Dead
    expect(session.on_socket_close(epoch, 1.0, None, 0.5), State.Dead)
    expect(session.on_supersede(1.0, True, None, 0.5), State.Dead)
    assert session.begin_attempt(2.0) is None
    assert session.end() is State.Dead


def test_end_before_anything():
    session = q.Session(q.SessionPolicy.default())
    assert session.end() is State.Dead
    assert session.begin_attempt(0.0) is None


def test_session_keeps_its_own_copy_of_the_policy():
    p = policy(base_delay_s=2, rapid_disconnect_uptime_s=0)
    a, b = q.Session(p), q.Session(p)
    del p
    for s in (a, b):
        epoch = s.begin_attempt(0.0)
        s.on_connected(epoch, 0.0)
        assert s.on_socket_close(epoch, 0.0, None, 1.0).retry_after_s == 2.0


def test_outcome_is_a_snapshot():
    session = q.Session(q.SessionPolicy.default())
    epoch = session.begin_attempt(0.0)
    up = session.on_connected(epoch, 0.0)
    session.end()
    assert up.state is State.Up
    with pytest.raises(AttributeError):
        up.state = State.Dead


# ---- invariants under any sequence of reports


class SessionMachine(RuleBasedStateMachine):
    times = st.floats(min_value=0, max_value=1000)
    jitters = st.floats(min_value=0, max_value=1)
    retry = st.one_of(st.none(), st.floats(min_value=0, max_value=500))

    @initialize(threshold=st.integers(min_value=1, max_value=6))
    def setup(self, threshold):
        self.session = q.Session(policy(rapid_threshold=threshold))
        self.dead = False
        self.epochs = []
        self.next_epoch = 0

    def epoch_choice(self, data):
        return data.draw(st.sampled_from(self.epochs + [self.next_epoch, 0]))

    def check(self, before, out):
        flags = [out.retry_after_s is not None, out.stale_reason is not None, out.state is State.Dead]
        assert sum(flags) <= 1
        assert out.state is self.session.state
        assert (out.dead_reason is None) or out.state is State.Dead
        if out.stale_reason is not None:
            assert out.state is before
        if out.retry_after_s is not None:
            assert out.retry_after_s >= 0 and out.state in (State.Connecting, State.Reconnecting)
        if before is State.Dead:
            assert out.state is State.Dead
        self.dead = self.session.state is State.Dead

    @rule(now=times)
    def begin(self, now):
        epoch = self.session.begin_attempt(now)
        if self.dead:
            assert epoch is None
        else:
            assert epoch == self.next_epoch
            self.epochs.append(epoch)
            self.next_epoch += 1

    @rule(data=st.data(), now=times)
    def connected(self, data, now):
        before = self.session.state
        self.check(before, self.session.on_connected(self.epoch_choice(data), now))

    @rule(data=st.data(), now=times, code=st.one_of(st.none(), st.sampled_from([1000, 1001, 1006])), j=jitters)
    def close(self, data, now, code, j):
        before = self.session.state
        self.check(before, self.session.on_socket_close(self.epoch_choice(data), now, code, j))

    @rule(data=st.data(), now=times, status=st.sampled_from([403, 429, 503]), r=retry, j=jitters)
    def rejected(self, data, now, status, r, j):
        before = self.session.state
        self.check(before, self.session.on_upgrade_rejected(self.epoch_choice(data), now, status, r, j))

    @rule(now=times, retryable=st.booleans(), r=retry, j=jitters)
    def supersede(self, now, retryable, r, j):
        before = self.session.state
        self.check(before, self.session.on_supersede(now, retryable, r, j))

    @precondition(lambda self: not self.dead)
    @rule()
    def end(self):
        assert self.session.end() is State.Dead
        self.dead = True

    @invariant()
    def state_matches(self):
        if hasattr(self, "session"):
            assert (self.session.state is State.Dead) == self.dead


TestSessionMachine = SessionMachine.TestCase
TestSessionMachine.settings = settings(max_examples=60, stateful_step_count=40, deadline=None)


# ---- a host, start to finish


def test_scripted_host_scenario():
    session = q.Session(q.SessionPolicy.default())

    # the first attempt is refused at the upgrade: a rapid failure, first rung of the ladder
    assert session.begin_attempt(0.0) == 0
    expect(session.on_upgrade_rejected(0, 0.2, 503, None, 0.5), State.Connecting, delay=1.0)

    # after the wait it connects; a late report about the refused attempt is ignored
    assert session.begin_attempt(1.2) == 1
    expect(session.on_connected(1, 1.7), State.Up)
    expect(session.on_socket_close(0, 1.8, None, 0.5), State.Up, stale=Stale.WrongEpoch)

    # it stays up two minutes, long enough to reset the count, so the drop is the first step again
    expect(session.on_socket_close(1, 121.7, 1006, 0.5), State.Reconnecting, delay=0.5)

    # reconnects but drops after 3 s: the second rapid disconnect within the window
    assert session.begin_attempt(122.2) == 2
    expect(session.on_connected(2, 122.7), State.Up)
    expect(session.on_socket_close(2, 125.7, 1011, 0.25), State.Reconnecting, delay=5.0)

    # reconnects and is superseded with a retry-after above the third rung
    assert session.begin_attempt(130.7) == 3
    expect(session.on_connected(3, 131.0), State.Up)
    expect(session.on_supersede(135.0, True, 12.0, 0.0), State.Reconnecting, delay=12.0)
    expect(session.on_connected(3, 136.0), State.Reconnecting, stale=Stale.WrongEpoch)

    # the next attempt sees an old notice, a duplicate connect and a report from the past
    assert session.begin_attempt(147.0) == 4
    expect(session.on_supersede(146.0, True, None, 0.5), State.Reconnecting, stale=Stale.SupersedePredatesEpoch)
    expect(session.on_connected(4, 148.0), State.Up)
    expect(session.on_connected(4, 149.0), State.Up, stale=Stale.DuplicateConnected)
    expect(session.on_socket_close(4, 147.5, None, 0.5), State.Up, stale=Stale.ClockRegression)
    expect(session.on_socket_close(4, 150.0, None, 1.0), State.Reconnecting, delay=20.0)

    # a long calm connection, then a bad spell: every attempt fails at once and the host honours
    # each delay; the old rapid disconnects have left the window, the count was reset
    assert session.begin_attempt(170.0) == 5
    expect(session.on_connected(5, 170.5), State.Up)
    expect(session.on_socket_close(5, 1170.5, 1001, 1.0), State.Reconnecting, delay=1.0)
    now, epoch = 1171.5, 6
    for delay in [2.0, 5.0, 10.0, 20.0, 30.0, 40.0, 50.0, 60.0, 60.0]:
        assert session.begin_attempt(now) == epoch
        expect(session.on_upgrade_rejected(epoch, now, 502, None, 1.0), State.Reconnecting, delay=delay)
        now, epoch = now + delay, epoch + 1
    assert now == 1448.5  # the tenth failure comes 277 s after the first
    assert session.begin_attempt(now) == epoch
    expect(session.on_upgrade_rejected(epoch, now, 502, None, 1.0), State.Dead, dead=Dead.RapidDisconnect)

    # dead for good: no more attempts, every report answers why, end() keeps the reason
    assert session.begin_attempt(now + 60) is None
    expect(session.on_connected(epoch, now + 1), State.Dead, dead=Dead.RapidDisconnect)
    expect(session.on_supersede(now + 2, True, None, 0.5), State.Dead, dead=Dead.RapidDisconnect)
    assert session.end() is State.Dead
    expect(session.on_socket_close(epoch, now + 3, None, 0.5), State.Dead, dead=Dead.RapidDisconnect)
    assert session.state is State.Dead
