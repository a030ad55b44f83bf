"""The delivery ledger and the retry budget, in plain Python.

`ClaimRegistry` keys every record by (room_id, message_id); `RetryTracker` counts attempts by
message id. Both follow the same rules as the native classes (eligibility order, token text,
per-room completed sets with recency eviction, restored retry budgets), so a benchmark cycle
does the same work on either.
"""

import enum
from collections import OrderedDict
from typing import Any, Optional

from pure_events import ValidationFailed

U32_MAX = 2**32 - 1
U64_MAX = 2**64 - 1


def _checked_count(name: str, value: object, low: int) -> int:
    if not isinstance(value, int) or isinstance(value, bool):
        raise TypeError(f"`{name}` must be an integer")
    if not low <= value <= U32_MAX:
        raise ValueError(f"`{name}` must be an integer between {low} and {U32_MAX}, got {value}")
    return value


def _evict_front(ordered: OrderedDict[Any, Any], capacity: int) -> None:
    while len(ordered) > capacity:
        ordered.popitem(last=False)


class RetryTracker:
    def __init__(self, max_retries: int = 1, max_tracked: int = 10000) -> None:
        self.max_retries = _checked_count("max_retries", max_retries, 0)
        self._max_tracked = _checked_count("max_tracked", max_tracked, 1)
        self._attempts: OrderedDict[str, list[int]] = OrderedDict()  # message id -> [attempts, limit], first insertion first
        self._failed: OrderedDict[str, None] = OrderedDict()  # message id -> None

    def record_attempt(self, message_id: str) -> tuple[int, bool]:
        state = self._attempts.get(message_id)
        if state is None:
            state = self._attempts[message_id] = [1, self.max_retries]
            _evict_front(self._attempts, self._max_tracked)
        else:
            state[0] = min(state[0] + 1, U32_MAX)
        exhausted = state[0] > state[1]
        if exhausted:
            self.mark_permanently_failed(message_id)
        return state[0], exhausted

    def discard_attempt(self, message_id: str) -> None:
        state = self._attempts.get(message_id)
        if state is None:
            return
        if state[0] >= 2:
            state[0] -= 1
        else:
            del self._attempts[message_id]

    def mark_success(self, message_id: str) -> None:
        self._attempts.pop(message_id, None)

    def is_permanently_failed(self, message_id: str) -> bool:
        return message_id in self._failed

    def mark_permanently_failed(self, message_id: str) -> None:
        if message_id not in self._failed:
            self._failed[message_id] = None
            _evict_front(self._failed, self._max_tracked)

    def attempt_state(self, message_id: str) -> tuple[int, int]:
        state = self._attempts.get(message_id)
        return (state[0], state[1]) if state is not None else (0, self.max_retries)

    def restore_attempt(self, message_id: str, attempts: int, limit: int) -> None:
        state = self._attempts.get(message_id)
        if state is None:
            state = self._attempts[message_id] = [attempts, min(limit, self.max_retries)]
            _evict_front(self._attempts, self._max_tracked)
        else:
            state[0] = max(state[0], attempts)
            state[1] = min(state[1], limit)
        if state[0] >= state[1]:
            self.mark_permanently_failed(message_id)


class ParkedReason(enum.Enum):
    NotFound = "not_found"
    Rejected = "rejected"


class _Pending:
    __slots__ = ("token", "error", "parked", "retry")

    def __init__(self, token: Optional[str], error: Optional[str], retry: Optional[tuple[int, int]] = None) -> None:
        self.token = token  # decimal text, or None once the counter is exhausted
        self.error = error  # None: processed intent; a str: failed with that text
        self.parked: Optional[ParkedReason] = None
        self.retry = retry  # None: finished; (attempts, max_retries): retry

    def status(self) -> str:
        return "processed" if self.error is None else "failed"

    def view(self) -> dict[str, Any]:
        view: dict[str, Any] = {"status": self.status()}
        if self.error is not None:
            view["error"] = self.error
        view["parked"] = self.parked.value if self.parked is not None else None
        return view


def _conflict(trace_context: Optional[str]) -> ValidationFailed:
    return ValidationFailed(
        [("error", "invalid_value", "the message already has a different pending terminal intent")], trace_context
    )


def _token_exhausted(trace_context: Optional[str]) -> ValidationFailed:
    return ValidationFailed([("token", "invalid_value", "terminal obligation token capacity exhausted")], trace_context)


class ClaimRegistry:
    def __init__(self, max_completed: int = 500) -> None:
        self.max_completed = _checked_count("max_completed", max_completed, 1)
        self._in_flight: set[tuple[str, str]] = set()  # (room_id, message_id)
        self._pending: dict[tuple[str, str], _Pending] = {}  # (room_id, message_id) -> _Pending, oldest first
        self._ack_retries: dict[tuple[str, str], int] = {}  # (room_id, message_id) -> count
        self._completed: dict[str, OrderedDict[str, None]] = {}  # room_id -> OrderedDict of message ids, least recent first
        self._next_token = 0

    # ---- claims

    def try_claim(self, room_id: str, message_id: str) -> bool:
        key = (room_id, message_id)
        if key in self._in_flight:
            return False
        self._in_flight.add(key)
        return True

    def release(self, room_id: str, message_id: str) -> None:
        self._in_flight.discard((room_id, message_id))

    def _verdict(
        self, key: tuple[str, str], retry_tracker: RetryTracker, self_echo: bool, durably_processed: bool,
        durably_failed: bool, allow_failed_retry: bool,
    ) -> str:
        if (type(self_echo) is not bool or type(durably_processed) is not bool
                or type(durably_failed) is not bool or type(allow_failed_retry) is not bool):
            raise TypeError("delivery facts must be bool values")
        if self_echo:
            return "self"
        if key in self._pending:
            return "pending"
        if self.is_completed(*key) or durably_processed:
            return "completed"
        if retry_tracker.is_permanently_failed(key[1]):
            return "exhausted"
        if durably_failed and not allow_failed_retry:
            return "failed"
        if key in self._in_flight:
            return "inflight"
        return "runnable"

    def delivery_eligibility(
        self, room_id: str, message_id: str, retry_tracker: RetryTracker, *,
        self_echo: bool = False, durably_processed: bool = False, durably_failed: bool = False,
        allow_failed_retry: bool = True,
    ) -> str:
        return self._verdict(
            (room_id, message_id), retry_tracker, self_echo, durably_processed, durably_failed, allow_failed_retry
        )

    def guarded_claim(
        self, room_id: str, message_id: str, retry_tracker: RetryTracker, *,
        self_echo: bool = False, durably_processed: bool = False, durably_failed: bool = False,
        allow_failed_retry: bool = True,
    ) -> str:
        key = (room_id, message_id)
        verdict = self._verdict(key, retry_tracker, self_echo, durably_processed, durably_failed, allow_failed_retry)
        if verdict == "runnable":
            self._in_flight.add(key)
        return verdict

    def inflight_ids(self, room_id: str) -> list[str]:
        return [message_id for (room, message_id) in self._in_flight if room == room_id]

    # ---- pending terminal writes

    def _new_pending(
        self, key: tuple[str, str], error: Optional[str], retry: Optional[tuple[int, int]] = None
    ) -> _Pending:
        token = None
        if self._next_token < U64_MAX:
            token = str(self._next_token)
            self._next_token += 1
        entry = self._pending[key] = _Pending(token, error, retry)
        return entry

    def remember_ack_pending(self, room_id: str, message_id: str) -> None:
        key = (room_id, message_id)
        if key not in self._pending:
            self._new_pending(key, None)

    def remember_failed_ack_pending(
        self, room_id: str, message_id: str, error: str, trace_context: Optional[str] = None
    ) -> None:
        key = (room_id, message_id)
        entry = self._pending.get(key)
        if entry is None:
            self._new_pending(key, error)
        elif entry.error != error:
            raise _conflict(trace_context)

    def _settlement(self, entry: _Pending, trace_context: Optional[str]) -> dict[str, Any]:
        if entry.token is None:
            raise _token_exhausted(trace_context)
        settlement = {"token": entry.token, **entry.view()}
        if entry.retry is None:
            settlement["continuation"] = {"kind": "finished"}
        else:
            attempts, max_retries = entry.retry
            settlement["continuation"] = {"kind": "retry", "attempts": attempts, "max_retries": max_retries}
        return settlement

    def _record_settlement(
        self, room_id: str, message_id: str, error: Optional[str], retry: Optional[tuple[int, int]],
        trace_context: Optional[str],
    ) -> dict[str, Any]:
        key = (room_id, message_id)
        entry = self._pending.get(key)
        if entry is not None:
            if entry.error != error:
                raise _conflict(trace_context)
            return self._settlement(entry, trace_context)
        if self._next_token == U64_MAX:
            raise _token_exhausted(trace_context)
        return self._settlement(self._new_pending(key, error, retry), trace_context)

    def record_processed_settlement(
        self, room_id: str, message_id: str, trace_context: Optional[str] = None
    ) -> dict[str, Any]:
        return self._record_settlement(room_id, message_id, None, None, trace_context)

    def record_failed_settlement(
        self, room_id: str, message_id: str, error: str, retry_tracker: RetryTracker, allow_retry: bool,
        trace_context: Optional[str] = None,
    ) -> dict[str, Any]:
        attempts, limit = retry_tracker.attempt_state(message_id)
        retry = (attempts, limit) if allow_retry and attempts < limit else None
        return self._record_settlement(room_id, message_id, error, retry, trace_context)

    def pending_settlement(
        self, room_id: str, message_id: str, trace_context: Optional[str] = None
    ) -> Optional[dict[str, Any]]:
        entry = self._pending.get((room_id, message_id))
        return None if entry is None else self._settlement(entry, trace_context)

    def confirm_settlement(self, room_id: str, message_id: str, token: str, retry_tracker: RetryTracker) -> bool:
        key = (room_id, message_id)
        entry = self._pending.get(key)
        if entry is None or entry.token is None or entry.token != token:
            return False
        if entry.retry is None:
            if entry.error is not None:
                retry_tracker.mark_permanently_failed(message_id)
            retry_tracker.mark_success(message_id)
            self.remember_completed(room_id, message_id)
        else:
            retry_tracker.restore_attempt(message_id, *entry.retry)
            del self._pending[key]
            self._ack_retries.pop(key, None)
        return True

    def park_settlement(self, room_id: str, message_id: str, token: str, reason: ParkedReason) -> bool:
        entry = self._pending.get((room_id, message_id))
        if entry is None or entry.token is None or entry.token != token:
            return False
        entry.parked = reason
        return True

    def park_ack(self, room_id: str, message_id: str, reason: ParkedReason) -> bool:
        entry = self._pending.get((room_id, message_id))
        if entry is None:
            return False
        entry.parked = reason
        return True

    def unpark_acks(self, room_id: str) -> int:
        unparked = 0
        for (room, _), entry in self._pending.items():
            if room == room_id and entry.parked is not None:
                entry.parked = None
                unparked += 1
        return unparked

    def has_retryable_settlement(self, room_id: str) -> bool:
        return any(room == room_id and entry.parked is None for (room, _), entry in self._pending.items())

    def is_ack_pending(self, room_id: str, message_id: str) -> bool:
        return (room_id, message_id) in self._pending

    def pending_ack(self, room_id: str, message_id: str) -> Optional[dict[str, Any]]:
        entry = self._pending.get((room_id, message_id))
        return None if entry is None else entry.view()

    def pending_ack_ids(self, room_id: str) -> list[str]:
        return [message_id for (room, message_id) in self._pending if room == room_id]

    def record_ack_retry(self, room_id: str, message_id: str) -> int:
        key = (room_id, message_id)
        count = self._ack_retries[key] = min(self._ack_retries.get(key, 0) + 1, U32_MAX)
        return count

    # ---- completed messages

    def remember_completed(self, room_id: str, message_id: str) -> None:
        done = self._completed.get(room_id)
        if done is None:
            done = self._completed[room_id] = OrderedDict()
        done[message_id] = None
        done.move_to_end(message_id)
        _evict_front(done, self.max_completed)
        key = (room_id, message_id)
        self._pending.pop(key, None)
        self._ack_retries.pop(key, None)

    def is_completed(self, room_id: str, message_id: str) -> bool:
        done = self._completed.get(room_id)
        if done is None or message_id not in done:
            return False
        done.move_to_end(message_id)
        return True

    def completed_ids(self, room_id: str) -> list[str]:
        return list(self._completed.get(room_id, ()))

    def discard_completed(self, room_id: str) -> None:
        self._completed.pop(room_id, None)
