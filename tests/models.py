"""Plain Python models of the stateful objects' rules, for the model-based tests."""

import math
from fractions import Fraction

U32 = 2**32 - 1


def evict_front(ordered, bound):
    while len(ordered) > bound:
        del ordered[next(iter(ordered))]


def move_to_back(ordered, key):
    ordered.pop(key, None)
    ordered[key] = True


# ---- retry budget and claims


class RetryModel:
    def __init__(self, max_retries, max_tracked):
        self.max_retries, self.max_tracked = max_retries, max_tracked
        self.attempts = {}  # id -> [attempts, limit], first insertion order
        self.failed = {}

    def record_attempt(self, m):
        if m in self.attempts:
            self.attempts[m][0] = min(self.attempts[m][0] + 1, U32)
            count, limit = self.attempts[m]
        else:
            count, limit = 1, self.max_retries
            self.attempts[m] = [count, limit]
            evict_front(self.attempts, self.max_tracked)
        if count > limit:
            self.mark_permanently_failed(m)
        return (count, count > limit)

    def discard_attempt(self, m):
        if m in self.attempts:
            if self.attempts[m][0] >= 2:
                self.attempts[m][0] -= 1
            else:
                del self.attempts[m]

    def mark_success(self, m):
        self.attempts.pop(m, None)

    def mark_permanently_failed(self, m):
        if m not in self.failed:
            self.failed[m] = True
            evict_front(self.failed, self.max_tracked)

    def attempt_state(self, m):
        return tuple(self.attempts.get(m, (0, self.max_retries)))

    def restore_attempt(self, m, attempts, limit):
        if m in self.attempts:
            entry = self.attempts[m]
            entry[0], entry[1] = max(attempts, entry[0]), min(limit, entry[1])
        else:
            self.attempts[m] = [attempts, min(limit, self.max_retries)]
            evict_front(self.attempts, self.max_tracked)
        if self.attempts[m][0] >= self.attempts[m][1]:
            self.mark_permanently_failed(m)


CONFLICT = ("error", "invalid_value", "the message already has a different pending terminal intent")


class ClaimModel:
    def __init__(self, max_completed, tracker):
        self.max_completed, self.tracker = max_completed, tracker
        self.inflight = set()
        self.pending = {}  # (room, id) -> entry dict, creation order
        self.ack_retries = {}
        self.completed = {}  # room -> ordered ids
        self.next_token = 0

    def try_claim(self, r, m):
        fresh = (r, m) not in self.inflight
        self.inflight.add((r, m))
        return fresh

    def release(self, r, m):
        self.inflight.discard((r, m))

    def is_completed(self, r, m):
        ids = self.completed.get(r, {})
        if m in ids:
            move_to_back(ids, m)
            return True
        return False

    def delivery_eligibility(self, r, m, self_echo=False, durably_processed=False, durably_failed=False,
                             allow_failed_retry=True):
        if self_echo:
            return "self"
        if (r, m) in self.pending:
            return "pending"
        if self.is_completed(r, m) or durably_processed:
            return "completed"
        if m in self.tracker.failed:
            return "exhausted"
        if durably_failed and not allow_failed_retry:
            return "failed"
        return "inflight" if (r, m) in self.inflight else "runnable"

    def guarded_claim(self, r, m, **facts):
        verdict = self.delivery_eligibility(r, m, **facts)
        if verdict == "runnable":
            self.inflight.add((r, m))
        return verdict

    def _insert(self, r, m, error, continuation):
        self.pending[(r, m)] = {"token": self.next_token, "error": error, "parked": None, "continuation": continuation}
        self.next_token += 1

    def remember_ack_pending(self, r, m):
        if (r, m) not in self.pending:
            self._insert(r, m, None, {"kind": "finished"})

    def remember_failed_ack_pending(self, r, m, error):
        entry = self.pending.get((r, m))
        if entry is None:
            self._insert(r, m, error, {"kind": "finished"})
        elif entry["error"] != error:
            return CONFLICT

    def settlement(self, entry):
        view = {"token": str(entry["token"]), **self.entry_view(entry)}
        view["continuation"] = dict(entry["continuation"])
        return view

    @staticmethod
    def entry_view(entry):
        view = {"status": "processed" if entry["error"] is None else "failed"}
        if entry["error"] is not None:
            view["error"] = entry["error"]
        view["parked"] = entry["parked"]
        return view

    def record_settlement(self, r, m, error, continuation):
        entry = self.pending.get((r, m))
        if entry is not None:
            return self.settlement(entry) if entry["error"] == error else CONFLICT
        self._insert(r, m, error, continuation)
        return self.settlement(self.pending[(r, m)])

    def record_processed_settlement(self, r, m):
        return self.record_settlement(r, m, None, {"kind": "finished"})

    def record_failed_settlement(self, r, m, error, allow_retry):
        attempts, limit = self.tracker.attempt_state(m)
        if allow_retry and attempts < limit:
            continuation = {"kind": "retry", "attempts": attempts, "max_retries": limit}
        else:
            continuation = {"kind": "finished"}
        return self.record_settlement(r, m, error, continuation)

    def pending_settlement(self, r, m):
        entry = self.pending.get((r, m))
        return None if entry is None else self.settlement(entry)

    def _matching(self, r, m, token):
        entry = self.pending.get((r, m))
        return entry if entry is not None and str(entry["token"]) == token else None

    def confirm_settlement(self, r, m, token):
        entry = self._matching(r, m, token)
        if entry is None:
            return False
        continuation = entry["continuation"]
        if continuation["kind"] == "finished":
            if entry["error"] is not None:
                self.tracker.mark_permanently_failed(m)
            self.tracker.mark_success(m)
            self.remember_completed(r, m)
        else:
            self.tracker.restore_attempt(m, continuation["attempts"], continuation["max_retries"])
            del self.pending[(r, m)]
            self.ack_retries.pop((r, m), None)
        return True

    def park_settlement(self, r, m, token, reason):
        entry = self._matching(r, m, token)
        if entry is not None:
            entry["parked"] = reason
        return entry is not None

    def park_ack(self, r, m, reason):
        entry = self.pending.get((r, m))
        if entry is not None:
            entry["parked"] = reason
        return entry is not None

    def unpark_acks(self, r):
        parked = [e for (room, _), e in self.pending.items() if room == r and e["parked"] is not None]
        for entry in parked:
            entry["parked"] = None
        return len(parked)

    def has_retryable_settlement(self, r):
        return any(e["parked"] is None for (room, _), e in self.pending.items() if room == r)

    def pending_ack(self, r, m):
        entry = self.pending.get((r, m))
        return None if entry is None else self.entry_view(entry)

    def pending_ack_ids(self, r):
        return [m for (room, m) in self.pending if room == r]

    def record_ack_retry(self, r, m):
        self.ack_retries[(r, m)] = min(self.ack_retries.get((r, m), 0) + 1, U32)
        return self.ack_retries[(r, m)]

    def remember_completed(self, r, m):
        ids = self.completed.setdefault(r, {})
        move_to_back(ids, m)
        evict_front(ids, self.max_completed)
        self.pending.pop((r, m), None)
        self.ack_retries.pop((r, m), None)

    def completed_ids(self, r):
        return list(self.completed.get(r, {}))

    def discard_completed(self, r):
        self.completed.pop(r, None)

    def inflight_ids(self, r):
        return sorted(m for (room, m) in self.inflight if room == r)


# ---- reconnect policy and session

NS = 10**9
MAX_DURATION = (2**64 - 1) * NS + NS - 1


def seconds_to_ns(seconds):
    """Float seconds to whole nanoseconds (ties to even), or None when it has no duration."""
    if math.isnan(seconds) or seconds < 0 or math.isinf(seconds) or seconds >= 2.0**64:
        return None
    if seconds < 2.0**-31:
        return 0
    return round(Fraction(seconds) * NS)


def ns_to_seconds(ns):
    return float(ns // NS) + float(ns % NS) / 1e9


class PolicyModel:
    FIELDS = ["base_delay", "max_delay", "stable_reset", "rapid_disconnect_uptime", "rapid_window",
              "rapid_first_min_delay", "rapid_second_min_delay", "rapid_cooldown_base", "rapid_cooldown_step",
              "rapid_cooldown_max"]

    def __init__(self, config):
        for name in self.FIELDS:
            ns = seconds_to_ns(float(config[name + "_s"]))
            setattr(self, name, MAX_DURATION if ns is None else ns)
        self.factor, self.rapid_threshold = float(config["factor"]), int(config["rapid_threshold"])

    def next_delay(self, attempt, jitter, delay_range):
        n = min(0 if attempt == 0 else attempt - 1, 2147483647)
        growth, a = 1.0, self.factor
        while True:
            if n & 1:
                growth *= a
            n //= 2
            if n == 0:
                break
            a *= a
        raw = ns_to_seconds(self.base_delay) * growth
        cap = ns_to_seconds(self.max_delay)
        d = (cap if math.isnan(raw) else min(raw, cap)) * jitter
        if delay_range is not None:
            low, high = (ns_to_seconds(x) for x in delay_range)
            d = max(low, min(d, max(high, low)))
        ns = seconds_to_ns(d)
        return self.max_delay if ns is None else ns

    def ladder_floor(self, count):
        if count <= 1:
            return self.rapid_first_min_delay
        if count == 2:
            return self.rapid_second_min_delay
        secs = min(ns_to_seconds(self.rapid_cooldown_base) + ns_to_seconds(self.rapid_cooldown_step) * (count - 3),
                   ns_to_seconds(self.rapid_cooldown_max))
        ns = seconds_to_ns(secs)
        return self.rapid_cooldown_max if ns is None else ns


class SessionModel:
    """Outcomes are (state, retry_after_s, dead_reason, stale_reason) with wire names."""

    def __init__(self, policy):
        self.policy = policy
        self.epoch = self.attempt_started_at = self.connected_epoch = None
        self.up_since = self.last_event_at = self.dead_reason = None
        self.rapid = []
        self.next_epoch, self.failures, self.state = 0, 0, "connecting"

    def outcome(self, delay=None, stale=None):
        return (self.state, None if delay is None else ns_to_seconds(delay), self.dead_reason, stale)

    def begin_attempt(self, now):
        if self.state == "dead" or self.next_epoch == 2**64 - 1:
            return None
        self.epoch, self.attempt_started_at, self.last_event_at = self.next_epoch, now, None
        self.next_epoch += 1
        return self.epoch

    def guard(self, epoch, now, connecting=False):
        if self.state == "dead":
            return self.outcome()
        if self.epoch is None or self.epoch != epoch:
            return self.outcome(stale="wrong_epoch")
        if connecting and self.connected_epoch == epoch:
            return self.outcome(stale="duplicate_connected")
        if self.last_event_at is not None and self.last_event_at > now:
            return self.outcome(stale="clock_regression")
        return None

    def on_connected(self, epoch, now):
        refused = self.guard(epoch, now, connecting=True)
        if refused:
            return refused
        self.last_event_at = self.up_since = now
        self.state, self.connected_epoch = "up", epoch
        return self.outcome()

    def finish(self, now):
        self.last_event_at, self.epoch, self.attempt_started_at = now, None, None

    def die(self, reason):
        self.state, self.dead_reason = "dead", reason
        return self.outcome()

    def retry_range(self, retry_after):
        if retry_after is None:
            return None
        low = seconds_to_ns(retry_after)
        low = MAX_DURATION if low is None else low
        return (low, max(low, self.policy.max_delay))

    def on_socket_close(self, epoch, now, close_code, jitter):
        refused = self.guard(epoch, now)
        if refused:
            return refused
        self.finish(now)
        return self.die("classified") if close_code == 1000 else self.failure(now, None, jitter)

    def on_upgrade_rejected(self, epoch, now, status, retry_after, jitter):
        refused = self.guard(epoch, now)
        if refused:
            return refused
        self.finish(now)
        if status in (400, 403, 409):
            return self.die("classified")
        return self.failure(now, self.retry_range(retry_after), jitter)

    def on_supersede(self, now, retryable, retry_after, jitter):
        if self.state == "dead":
            return self.outcome()
        if self.attempt_started_at is not None and self.attempt_started_at > now:
            return self.outcome(stale="supersede_predates_epoch")
        self.last_event_at = now if self.last_event_at is None else max(self.last_event_at, now)
        self.epoch = self.attempt_started_at = None
        if not retryable:
            return self.die("classified")
        return self.failure(now, self.retry_range(retry_after), jitter)

    def end(self):
        if self.state != "dead":
            self.dead_reason = None
        self.state, self.epoch, self.attempt_started_at = "dead", None, None

    def failure(self, now, incoming, jitter):
        p, entry, rapid = self.policy, self.state, True
        if self.up_since is not None:
            uptime = now - self.up_since
            if uptime >= ns_to_seconds(p.stable_reset):
                self.failures = 0
            self.up_since = None
            rapid = uptime < ns_to_seconds(p.rapid_disconnect_uptime)
        ladder = None
        if rapid:
            while self.rapid and now - self.rapid[0] > ns_to_seconds(p.rapid_window):
                self.rapid.pop(0)
            self.rapid.append(now)
            if len(self.rapid) >= p.rapid_threshold:
                return self.die("rapid_disconnect")
            floor = p.ladder_floor(len(self.rapid))
            ladder = (floor, max(floor, p.max_delay))
        self.failures = min(self.failures + 1, U32)
        self.state = "connecting" if entry == "connecting" else "reconnecting"
        ranges = [r for r in (incoming, ladder) if r is not None]
        merged = None
        if ranges:
            merged = (max(r[0] for r in ranges), max(r[1] for r in ranges))
        return self.outcome(delay=p.next_delay(self.failures, jitter, merged))


# ---- channels and rooms


class ChannelBookModel:
    """One kind of key (rooms or agent topics): joined (ordered), pending, leaving, unknown."""

    def __init__(self):
        self.joined, self.pending, self.leaving, self.unknown = {}, {}, {}, set()

    def status(self, key, joined_name):
        if key in self.pending:
            return "pending"
        if key in self.joined:
            return joined_name
        if key in self.leaving:
            return "leaving"
        return "needs_reconciliation" if key in self.unknown else "absent"

    def begin(self, key, counter, leave):
        ready = key in self.joined if leave else self.status(key, "joined") == "absent"
        if not ready or counter.exhausted():
            return None
        ticket = counter.take()
        if leave:
            del self.joined[key]
            self.leaving[key] = ticket
        else:
            self.pending[key] = ticket
        return ticket

    def settle_join(self, key, ticket, to):
        if self.pending.get(key) != ticket:
            return False
        del self.pending[key]
        if to == "joined":
            self.joined[key] = ticket
        elif to == "unknown":
            self.unknown.add(key)
        return True

    def settle_leave(self, key, ticket, left):
        if self.leaving.get(key) != ticket:
            return False
        del self.leaving[key]
        if not left:
            self.unknown.add(key)
        return True

    def rejoin_failed(self, key, ticket):
        if self.joined.get(key) != ticket:
            return False
        del self.joined[key]
        self.unknown.add(key)
        return True

    def acknowledge(self, key):
        found = key in self.unknown
        self.unknown.discard(key)
        return found


class Counter:
    def __init__(self, start=0):
        self.next = start

    def exhausted(self):
        return self.next == 2**64 - 1

    def take(self):
        self.next += 1
        return self.next - 1


class RosterModel:
    def __init__(self):
        self.admitted, self.admitting, self.tickets = {}, {}, Counter()

    def membership(self, r):
        if r in self.admitting:
            return "admitting"
        return "admitted" if r in self.admitted else "unadmitted"

    def begin(self, r, passes_filter):
        if not passes_filter or self.membership(r) != "unadmitted" or self.tickets.exhausted():
            return None
        self.admitting[r] = self.tickets.take()
        return self.admitting[r]

    def record(self, r, ticket, succeeded):
        if self.admitting.get(r) != ticket:
            return False
        del self.admitting[r]
        if succeeded:
            move_to_back(self.admitted, r)
        return succeeded

    def removed(self, r):
        self.admitting.pop(r, None)
        return self.admitted.pop(r, None) is not None

    def clear(self):
        everything = sorted(list(self.admitted) + list(self.admitting), key=lambda s: s.encode())
        self.admitted, self.admitting = {}, {}
        return everything

    def reconcile(self, current):
        snapshot = set(current)
        by_bytes = lambda s: s.encode()  # noqa: E731
        removed = sorted((r for r in self.admitted if r not in snapshot), key=by_bytes)
        resync = sorted((r for r in self.admitted if r in snapshot), key=by_bytes)
        new = sorted((r for r in snapshot if self.membership(r) == "unadmitted"), key=by_bytes)
        for r in removed:
            del self.admitted[r]
        admitting = []
        for r in new:
            if self.tickets.exhausted():
                continue
            self.admitting[r] = self.tickets.take()
            admitting.append((r, self.admitting[r]))
        return removed, admitting, resync


# ---- asks and participants


def splitmix64(state):
    state = (state + 0x9E3779B97F4A7C15) % 2**64
    z = state
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) % 2**64
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) % 2**64
    return state, z ^ (z >> 31)


class DecisionModel:
    def __init__(self, max_pending, seed):
        self.max_pending, self.rng = max_pending, seed
        self.asks = {}  # token -> [room, ticket, claimed], registration order
        self.tickets = Counter()

    def register_minted(self, room_id=None):
        if self.tickets.exhausted():
            return None
        ticket = self.tickets.take()
        token = None
        while token is None or token in self.asks:
            self.rng, z = splitmix64(self.rng)
            token = f"{z & 0xFFFFFFFF:08x}"
        self.asks[token] = [room_id, ticket, False]
        return (token, ticket)

    def register_keyed(self, key):
        if (key in self.asks and self.asks[key][2]) or self.tickets.exhausted():
            return None
        ticket = self.tickets.take()
        if key in self.asks:
            self.asks[key][:] = [None, ticket, False]
        else:
            self.asks[key] = [None, ticket, False]
        return (key, ticket)

    def try_claim(self, token, ticket):
        ask = self.asks.get(token)
        if ask is None or ask[1] != ticket:
            return "stale"
        if ask[2]:
            return "already_claimed"
        ask[2] = True
        return "claimed"

    def withdraw(self, token, ticket):
        ask = self.asks.get(token)
        if ask is None or ask[1] != ticket or ask[2]:
            return False
        del self.asks[token]
        return True

    def forget(self, token, ticket):
        ask = self.asks.get(token)
        if ask is None or ask[1] != ticket:
            return False
        del self.asks[token]
        return True

    def unclaimed(self, room=None, any_room=True):
        return [t for t, a in self.asks.items() if not a[2] and (any_room or a[0] == room)]

    def evict_oldest(self):
        if self.max_pending is None or len(self.asks) < self.max_pending:
            return None
        oldest = next(iter(self.unclaimed()), None)
        if oldest is not None:
            del self.asks[oldest]
        return oldest

    def cancel(self, room=None, any_room=True):
        gone = [t for t, a in self.asks.items() if any_room or a[0] == room]
        unclaimed = [t for t in gone if not self.asks[t][2]]
        claimed = [t for t in gone if self.asks[t][2]]
        for t in gone:
            del self.asks[t]
        return unclaimed, claimed


FIELDS = ("name", "type", "handle", "description")


class ParticipantModel:
    def __init__(self):
        self.entries, self.sent = [], None

    @staticmethod
    def convert(p):
        return {"id": p["id"], **{f: p.get(f) for f in FIELDS}}

    @staticmethod
    def merge(new, old):
        return {"id": new["id"], **{f: new[f] if new[f] not in (None, "") else old[f] for f in FIELDS}}

    def index(self, pid):
        return next((i for i, e in enumerate(self.entries) if e["id"] == pid), None)

    def add(self, p):
        new, i = self.convert(p), self.index(p["id"])
        if i is None:
            self.entries.append(new)
            return True
        self.entries[i] = self.merge(new, self.entries[i])
        return False

    def remove(self, pid):
        i = self.index(pid)
        if i is not None:
            del self.entries[i]
        return i is not None

    def set_all(self, snapshot):
        """None on success, else the issue triples of the refused snapshot."""
        seen, issues = set(), []
        for i, p in enumerate(snapshot):
            if p["id"] in seen:
                issues.append((f"participants[{i}].id", "invalid_value",
                               f"duplicate participant id `{p['id']}` in set_all snapshot"))
            seen.add(p["id"])
        if issues:
            return tuple(issues)
        current = {e["id"]: e for e in self.entries}
        self.entries = [self.merge(self.convert(p), current[p["id"]]) if p["id"] in current else self.convert(p)
                        for p in snapshot]
        return None

    def changed(self):
        return self.sent is None or self.sent != self.entries

    def mark_sent(self):
        self.sent = [dict(e) for e in self.entries]
