"""The reconnect policy and the WebSocket session state machine, in plain Python.

Seconds are floats rounded to the nanosecond where the native code holds durations, so the
delays are the module's to the nanosecond; the rules (epochs, stale reports, stable reset,
rapid-disconnect ladder, terminal closes) are the same.
"""

import enum
import math
from collections import deque
from typing import Optional

Range = tuple[float, float]

_NS = 1_000_000_000
_TINY = 2.0**-31
_U64_LIMIT = 2.0**64
U64_MAX = 2**64 - 1
MAX_DURATION_S = U64_MAX + (_NS - 1) / _NS  # the longest duration, as seconds


class SessionState(enum.Enum):
    Connecting = "connecting"
    Up = "up"
    Reconnecting = "reconnecting"
    Dead = "dead"


class DeadReason(enum.Enum):
    Classified = "classified"
    RapidDisconnect = "rapid_disconnect"


class StaleReason(enum.Enum):
    WrongEpoch = "wrong_epoch"
    ClockRegression = "clock_regression"
    DuplicateConnected = "duplicate_connected"
    SupersedePredatesEpoch = "supersede_predates_epoch"


def seconds_to_duration(seconds: float, fallback: float) -> float:
    """Float seconds rounded to the nearest nanosecond (ties to even); `fallback` when they cannot
    be a duration. The float's exact ratio is scaled: `round(seconds * 1e9)` rounds twice and is
    a nanosecond off for a few values in a million."""
    if not 0.0 <= seconds < _U64_LIMIT:
        return fallback
    if seconds < _TINY:
        return 0.0
    numerator, denominator = seconds.as_integer_ratio()
    nanos, rest = divmod(numerator * _NS, denominator)
    if 2 * rest + (nanos & 1) > denominator:
        nanos += 1
    whole, nanos = divmod(nanos, _NS)
    return whole + nanos / _NS


def _number(name: str, value: float) -> float:
    if not math.isfinite(value) or value < 0:
        raise ValueError(f"`{name}` must be a finite, non-negative number, got {value}")
    return float(value)


def _duration(name: str, seconds: float) -> float:
    return seconds_to_duration(_number(name, seconds), MAX_DURATION_S)


def _jitter(value: float) -> float:
    if not 0.0 <= value <= 1.0:
        raise ValueError(f"`jitter_sample` must be a finite number between 0.0 and 1.0, got {value}")
    return float(value)


def _epoch(value: int) -> int:
    if value < 0:
        raise ValueError(f"`epoch` must be a non-negative integer, got {value}")
    return value


def _code(name: str, value: int) -> int:
    if not 0 <= value <= 65535:
        raise ValueError(f"`{name}` must be an integer between 0 and 65535, got {value}")
    return value


class SessionPolicy:
    """Back-off with full jitter, a stable-connection reset and a rapid-disconnect ladder."""

    def __init__(
        self, *, base_delay_s: float = 1.0, factor: float = 2.0, max_delay_s: float = 30.0,
        stable_reset_s: float = 60.0, rapid_disconnect_uptime_s: float = 10.0, rapid_window_s: float = 300.0,
        rapid_first_min_delay_s: float = 1.0, rapid_second_min_delay_s: float = 5.0,
        rapid_cooldown_base_s: float = 10.0, rapid_cooldown_step_s: float = 10.0,
        rapid_cooldown_max_s: float = 60.0, rapid_threshold: int = 10, heartbeat_interval_s: float = 30.0,
        dead_threshold_s: float = 60.0,
    ) -> None:
        self.base_delay_s = _duration("base_delay_s", base_delay_s)
        self.factor = factor
        self.max_delay_s = _duration("max_delay_s", max_delay_s)
        self.stable_reset_s = _duration("stable_reset_s", stable_reset_s)
        self.rapid_disconnect_uptime_s = _duration("rapid_disconnect_uptime_s", rapid_disconnect_uptime_s)
        self.rapid_window_s = _duration("rapid_window_s", rapid_window_s)
        self.rapid_first_min_delay_s = _duration("rapid_first_min_delay_s", rapid_first_min_delay_s)
        self.rapid_second_min_delay_s = _duration("rapid_second_min_delay_s", rapid_second_min_delay_s)
        self.rapid_cooldown_base_s = _duration("rapid_cooldown_base_s", rapid_cooldown_base_s)
        self.rapid_cooldown_step_s = _duration("rapid_cooldown_step_s", rapid_cooldown_step_s)
        self.rapid_cooldown_max_s = _duration("rapid_cooldown_max_s", rapid_cooldown_max_s)
        self.rapid_threshold = rapid_threshold
        self.heartbeat_interval_s = _duration("heartbeat_interval_s", heartbeat_interval_s)
        self.dead_threshold_s = _duration("dead_threshold_s", dead_threshold_s)
        if not (math.isfinite(factor) and factor >= 1.0):
            raise ValueError(f"factor must be a finite number >= 1.0, got {factor}")
        if self.max_delay_s < self.base_delay_s:
            raise ValueError("base_delay must not exceed max_delay")
        if rapid_threshold < 1:
            raise ValueError("rapid_threshold must be at least 1")
        if self.heartbeat_interval_s == 0:
            raise ValueError("heartbeat_interval must be greater than zero")
        if self.heartbeat_interval_s >= self.dead_threshold_s:
            raise ValueError("dead_threshold must exceed heartbeat_interval")

    @staticmethod
    def default() -> "SessionPolicy":
        return SessionPolicy()

    def next_delay(self, attempt: int, jitter: float, delay_range: Optional[Range] = None) -> float:
        n = min(max(attempt - 1, 0), 2147483647)
        growth, a = 1.0, self.factor
        while True:  # integer power by squaring: fixes the rounding of the result
            if n & 1:
                growth *= a
            n >>= 1
            if n == 0:
                break
            a *= a
        raw = self.base_delay_s * growth
        delay = self.max_delay_s if math.isnan(raw) else min(raw, self.max_delay_s)
        delay *= jitter
        if delay_range is not None:
            low, high = delay_range
            delay = max(low, min(delay, max(high, low)))
        return seconds_to_duration(delay, self.max_delay_s)

    def ladder_floor(self, count: int) -> float:
        if count == 1:
            return self.rapid_first_min_delay_s
        if count == 2:
            return self.rapid_second_min_delay_s
        cooldown = self.rapid_cooldown_base_s + self.rapid_cooldown_step_s * (count - 3)
        return seconds_to_duration(min(cooldown, self.rapid_cooldown_max_s), self.rapid_cooldown_max_s)


class SessionOutcome:
    __slots__ = ("state", "retry_after_s", "dead_reason", "stale_reason")

    def __init__(
        self, state: SessionState, retry_after_s: Optional[float] = None, dead_reason: Optional[DeadReason] = None,
        stale_reason: Optional[StaleReason] = None,
    ) -> None:
        self.state = state
        self.retry_after_s = retry_after_s
        self.dead_reason = dead_reason
        self.stale_reason = stale_reason


class Session:
    def __init__(self, policy: SessionPolicy) -> None:
        self._policy = policy
        self.state = SessionState.Connecting
        self._epoch: Optional[int] = None
        self._attempt_started_at: Optional[float] = None
        self._connected_epoch: Optional[int] = None
        self._up_since: Optional[float] = None
        self._last_event_at: Optional[float] = None
        self._rapid_disconnects: deque[float] = deque()
        self._next_epoch = 0
        self._failures = 0
        self._dead_reason: Optional[DeadReason] = None

    def begin_attempt(self, now_s: float) -> Optional[int]:
        now_s = _number("now_s", now_s)
        if self.state is SessionState.Dead or self._next_epoch == U64_MAX:
            return None
        self._epoch = self._next_epoch
        self._next_epoch += 1
        self._attempt_started_at = now_s
        self._last_event_at = None
        return self._epoch

    def _dead(self) -> SessionOutcome:
        return SessionOutcome(SessionState.Dead, dead_reason=self._dead_reason)

    def _refusal(self, epoch: int, now_s: float, connecting: bool = False) -> Optional[SessionOutcome]:
        if self.state is SessionState.Dead:
            return self._dead()
        if self._epoch is None or self._epoch != epoch:
            return SessionOutcome(self.state, stale_reason=StaleReason.WrongEpoch)
        if connecting and self._connected_epoch == epoch:
            return SessionOutcome(self.state, stale_reason=StaleReason.DuplicateConnected)
        if self._last_event_at is not None and self._last_event_at > now_s:
            return SessionOutcome(self.state, stale_reason=StaleReason.ClockRegression)
        return None

    def on_connected(self, epoch: int, now_s: float) -> SessionOutcome:
        epoch, now_s = _epoch(epoch), _number("now_s", now_s)
        refusal = self._refusal(epoch, now_s, connecting=True)
        if refusal is not None:
            return refusal
        self._last_event_at = self._up_since = now_s
        self.state = SessionState.Up
        self._connected_epoch = epoch
        return SessionOutcome(self.state)

    def _finish_attempt(self, now_s: float) -> None:
        self._last_event_at = now_s
        self._epoch = self._attempt_started_at = None

    def _die(self, reason: DeadReason) -> SessionOutcome:
        self._dead_reason = reason
        self.state = SessionState.Dead
        return self._dead()

    def _retry_range(self, retry_after_s: Optional[float]) -> Optional[Range]:
        if retry_after_s is None:
            return None
        return (retry_after_s, max(retry_after_s, self._policy.max_delay_s))

    def on_socket_close(
        self, epoch: int, now_s: float, close_code: Optional[int], jitter_sample: float
    ) -> SessionOutcome:
        epoch, now_s = _epoch(epoch), _number("now_s", now_s)
        if close_code is not None:
            _code("close_code", close_code)
        jitter = _jitter(jitter_sample)
        refusal = self._refusal(epoch, now_s)
        if refusal is not None:
            return refusal
        self._finish_attempt(now_s)
        if close_code == 1000:
            return self._die(DeadReason.Classified)
        return self._record_disconnect(now_s, None, jitter)

    def on_upgrade_rejected(
        self, epoch: int, now_s: float, status: int, retry_after_s: Optional[float], jitter_sample: float
    ) -> SessionOutcome:
        epoch, now_s, status = _epoch(epoch), _number("now_s", now_s), _code("status", status)
        if retry_after_s is not None:
            retry_after_s = _duration("retry_after_s", retry_after_s)
        jitter = _jitter(jitter_sample)
        refusal = self._refusal(epoch, now_s)
        if refusal is not None:
            return refusal
        self._finish_attempt(now_s)
        if status in (400, 403, 409):
            return self._die(DeadReason.Classified)
        return self._record_disconnect(now_s, self._retry_range(retry_after_s), jitter)

    def on_supersede(
        self, now_s: float, retryable: bool, retry_after_s: Optional[float], jitter_sample: float
    ) -> SessionOutcome:
        now_s = _number("now_s", now_s)
        if retry_after_s is not None:
            retry_after_s = _duration("retry_after_s", retry_after_s)
        jitter = _jitter(jitter_sample)
        if self.state is SessionState.Dead:
            return self._dead()
        if self._attempt_started_at is not None and self._attempt_started_at > now_s:
            return SessionOutcome(self.state, stale_reason=StaleReason.SupersedePredatesEpoch)
        self._finish_attempt(now_s if self._last_event_at is None else max(self._last_event_at, now_s))
        if not retryable:
            return self._die(DeadReason.Classified)
        return self._record_disconnect(now_s, self._retry_range(retry_after_s), jitter)

    def end(self) -> SessionState:
        if self.state is not SessionState.Dead:
            self._dead_reason = None
        self.state = SessionState.Dead
        self._epoch = self._attempt_started_at = None
        return SessionState.Dead

    def _record_disconnect(self, now_s: float, incoming_range: Optional[Range], jitter: float) -> SessionOutcome:
        policy = self._policy
        entry_state = self.state
        rapid = True
        if self._up_since is not None:
            uptime = now_s - self._up_since
            if uptime >= policy.stable_reset_s:
                self._failures = 0
            self._up_since = None
            rapid = uptime < policy.rapid_disconnect_uptime_s
        delay_range = incoming_range
        if rapid:
            window = self._rapid_disconnects
            while window and now_s - window[0] > policy.rapid_window_s:
                window.popleft()
            window.append(now_s)
            if len(window) >= policy.rapid_threshold:
                return self._die(DeadReason.RapidDisconnect)
            floor = policy.ladder_floor(len(window))
            ladder = (floor, max(floor, policy.max_delay_s))
            if delay_range is None:
                delay_range = ladder
            else:
                delay_range = (max(delay_range[0], ladder[0]), max(delay_range[1], ladder[1]))
        self._failures = min(self._failures + 1, 2**32 - 1)
        self.state = SessionState.Connecting if entry_state is SessionState.Connecting else SessionState.Reconnecting
        return SessionOutcome(self.state, policy.next_delay(self._failures, jitter, delay_range))
