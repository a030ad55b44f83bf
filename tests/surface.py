"""The module's Python surface, discovered generically, with the one table of argument values.

The fuzzer, the leak check and the fault-injection check all walk `callables()`. A callable that
lands later is covered by giving its parameter names a row in VALID (and OBSERVE for read-only
queries), and its class a row in READ_ONLY; `missing_rows()` names what is still uncovered.
"""

import inspect
import itertools
import math

from hypothesis import strategies as st

import quarn_sdk_core as q

# ---- the module, walked

ENUM_CLASSES = [c for c in vars(q).values() if isinstance(c, type) and any(isinstance(v, c) for v in vars(c).values())]
OBJECT_CLASSES = [c for c in vars(q).values() if isinstance(c, type) and c not in ENUM_CLASSES]
FUNCTIONS = [f for n, f in vars(q).items() if callable(f) and not isinstance(f, type) and not n.startswith("_")]


def variants(cls):
    return [v for v in vars(cls).values() if isinstance(v, cls)]


class Callable:
    """One entry point: a module function, a constructor, a method, a static method or a property."""

    def __init__(self, kind, owner, name, params):
        self.kind, self.owner, self.name, self.params = kind, owner, name, params

    @property
    def label(self):
        return f"{self.owner.__name__}.{self.name}" if self.owner else self.name

    @property
    def read_only(self):
        return self.kind == "getter" or self.name in READ_ONLY.get(self.owner, ())

    def bind(self, receiver):
        """The Python callable to invoke (receiver ignored for functions, constructors, statics)."""
        if self.kind == "function":
            return getattr(q, self.name)
        if self.kind == "constructor":
            return self.owner
        if self.kind == "static":
            return getattr(self.owner, self.name)
        if self.kind == "getter":
            return lambda: getattr(receiver, self.name)
        return getattr(receiver, self.name)

    def __repr__(self):
        return f"<{self.kind} {self.label}>"


def _params(obj):
    return [p for p in inspect.signature(obj).parameters.values() if p.name != "self"]


def _callables():
    found = [Callable("function", None, f.__name__, _params(f)) for f in FUNCTIONS]
    for cls in ENUM_CLASSES + OBJECT_CLASSES:
        if cls in OBJECT_CLASSES and "__new__" in vars(cls):
            found.append(Callable("constructor", cls, "__new__", _params(cls)))
        for name, attr in vars(cls).items():
            if name.startswith("_") or isinstance(attr, cls):
                continue
            if isinstance(attr, staticmethod) or type(attr).__name__ == "builtin_function_or_method":
                found.append(Callable("static", cls, name, _params(getattr(cls, name))))
            elif type(attr).__name__ == "getset_descriptor":
                found.append(Callable("getter", cls, name, []))
            else:
                found.append(Callable("method", cls, name, _params(attr)))
    return found


CALLABLES = _callables()


def callables():
    return CALLABLES


# ---- the table: well-formed values by parameter name

KEYS = ["", "a", "b", "\u00e9"]
keys = st.sampled_from(KEYS)
small = st.integers(0, 8)
flags = st.booleans()


def _enum(cls):
    return st.sampled_from(variants(cls))


DEFAULT_CONFIG = {
    "base_delay_s": 1.0, "factor": 2.0, "max_delay_s": 30.0, "stable_reset_s": 60.0,
    "rapid_disconnect_uptime_s": 10.0, "rapid_window_s": 300.0, "rapid_first_min_delay_s": 1.0,
    "rapid_second_min_delay_s": 5.0, "rapid_cooldown_base_s": 10.0, "rapid_cooldown_step_s": 10.0,
    "rapid_cooldown_max_s": 60.0, "rapid_threshold": 10, "heartbeat_interval_s": 30.0, "dead_threshold_s": 60.0,
}


@st.composite
def configs(draw):
    config = dict(DEFAULT_CONFIG)
    for key in draw(st.lists(st.sampled_from(sorted(config)), max_size=2)):
        config[key] = draw(st.sampled_from([0, 0.5, 3, 40.0, 1e300]))
    return config


MESSAGE = {"id": "m1", "content": "hi", "message_type": "text", "sender_type": "user", "sender_id": "u1",
           "inserted_at": "2024-01-01T00:00:00Z", "updated_at": "2024-01-01T00:00:00Z"}
payloads = st.sampled_from([MESSAGE, {**MESSAGE, "room_id": "a", "metadata": {"mentions": [{"id": "u2"}]}},
                            {**MESSAGE, "sender_id": "a"}, {"room_id": "a"}, {"id": "r", "name": "n"}, {}, []])
participants = st.fixed_dictionaries(
    {"id": keys}, optional={f: st.none() | keys for f in ("name", "type", "handle", "description", "extra")})

# A value drawn here is a spec (see `build`), so objects of the run can be referred to by class.
VALID = {
    "room_id": keys, "message_id": keys, "topic": keys, "agent_id": keys, "error": keys,
    "token": st.sampled_from(["0", "1", "2", "00", "-1", ""]),
    "ticket": small, "epoch": st.integers(0, 4),
    "now_s": st.floats(0, 500), "jitter_sample": st.floats(0, 1),
    "retry_after_s": st.none() | st.floats(0, 200),
    "close_code": st.sampled_from([None, 1000, 1001, 1006]), "status": st.sampled_from([400, 403, 409, 429, 503]),
    "retryable": flags, "passes_filter": flags, "succeeded": flags, "joined": flags, "chat_room_left": flags,
    "allow_retry": flags, "self_echo": flags, "durably_processed": flags, "durably_failed": flags,
    "allow_failed_retry": flags,
    "reason": _enum(q.ParkedReason), "outcome": _enum(q.LeaveOutcome),
    "retry_tracker": st.just(("object", q.RetryTracker)), "policy": st.just(("object", q.SessionPolicy)),
    "config": configs(), "trace_context": st.none() | st.just("t"),
    "current_room_ids": st.lists(keys, max_size=4),
    "max_completed": st.integers(1, 3), "max_retries": st.integers(0, 3), "max_tracked": st.integers(1, 3),
    "name": st.sampled_from(["not_found", "agent_rooms", "message_created", "nope", ""]),
    # events and delivery
    "event_type": st.sampled_from(["message_created", "room_added", "supersede", "agent.control", "typing"])
    | _enum(q.EventType),
    "raw": payloads, "payload": payloads, "candidate": st.none() | payloads,
    "seen_ids": st.frozensets(keys, max_size=2), "next_message_id": st.none() | keys,
    "triggering_message_id": keys, "sender_id": st.none() | keys, "sender_type": st.sampled_from(["agent", "user"]),
    # memory, turns, failures
    "system": _enum(q.MemorySystem), "memory_type": _enum(q.MemoryType), "effect": _enum(q.TurnEffect),
    "provider": keys, "message": keys, "code": st.none() | keys, "detail": st.none() | st.just({"k": [1, 2.5]}),
    # asks and participants
    "authorized_senders": st.none() | st.frozensets(keys, max_size=2), "key": keys,
    "max_pending": st.none() | st.integers(1, 3), "seed": st.none() | st.integers(0, 2**64 - 1),
    "participant": participants, "participants": st.lists(participants, max_size=3), "participant_id": keys,
    "trace_context_provider": st.none() | st.just(str),
}

# Values a read-only query is asked with when the state of an object is observed.
OBSERVE = {
    "room_id": KEYS, "message_id": KEYS, "topic": KEYS, "ticket": range(0, 9), "trace_context": [None],
    "agent_id": ["a"],
}

# Methods that only read their object; the rest of each class's methods change it.
READ_ONLY = {
    q.ClaimRegistry: {"inflight_ids", "pending_settlement", "has_retryable_settlement", "is_ack_pending",
                      "pending_ack", "pending_ack_ids", "completed_ids"},
    q.RetryTracker: {"is_permanently_failed"},
    q.SubscriptionTracker: {"room_status", "is_room_subscribed", "subscribed_room_ids", "is_room_claim_current",
                            "room_rejoin_candidates", "agent_topic_status", "is_agent_topic_joined",
                            "joined_agent_topics", "is_agent_topic_claim_current", "agent_topic_rejoin_candidates"},
    q.RoomRoster: {"room_membership", "is_room_admission_current", "tracked_room_ids"},
    q.DecisionRegistry: {"unclaimed", "unclaimed_in_room", "unclaimed_count", "oldest_unclaimed"},
    q.ParticipantRoster: {"list", "changed"},
    q.TurnLedger: {"reply_settled", "verdict"},
    q.AgentFailure: {"to_dict", "to_extension_data"},
    q.Session: set(), q.SessionPolicy: set(), q.SessionOutcome: set(), q.RoomReconciliation: set(),
    q.CancelledDecisions: set(),
    **{cls: {"topic"} & set(vars(cls)) for cls in ENUM_CLASSES},
}

# How an object is obtained without drawing constructor arguments (the only way for a class
# without a Python constructor).
PRODUCERS = {
    q.SessionPolicy: q.SessionPolicy.default,
    q.Session: lambda: q.Session(q.SessionPolicy.default()),
    q.SessionOutcome: lambda: _outcome(),
    q.RoomReconciliation: lambda: _roster_with_history().reconcile(["a", "b"]),
    q.CancelledDecisions: lambda: _asks().cancel_all(),
    q.AgentFailure: lambda: q.AgentFailure("p", "m"),
}


def _outcome():
    session = q.Session(q.SessionPolicy.default())
    epoch = session.begin_attempt(1.0)
    return session.on_socket_close(epoch, 2.0, None, 0.5)


def _asks():
    asks = q.DecisionRegistry(seed=0)
    asks.try_claim(*asks.register_minted("a"))
    asks.register_keyed("k")
    return asks


def _roster_with_history():
    roster = q.RoomRoster()
    roster.record_room_admission("a", roster.begin_room_admission("a", True), True)
    return roster


def produce(cls):
    return PRODUCERS[cls]() if cls in PRODUCERS else cls()


def missing_rows():
    """Parameter names and classes the table does not cover yet."""
    missing = set()
    for c in CALLABLES:
        missing |= {f"parameter {p.name!r} of {c.label}" for p in c.params if p.name not in VALID}
        if c.owner is not None and c.owner not in READ_ONLY:
            missing.add(f"class {c.owner.__name__} in READ_ONLY")
        if c.owner in OBJECT_CLASSES and "__new__" not in vars(c.owner) and c.owner not in PRODUCERS:
            missing.add(f"class {c.owner.__name__} in PRODUCERS")
    return sorted(missing)


# ---- making instances and observing them

def normalize(result):
    """A comparable picture of a result; refuses any type the module must not return."""
    if result is None or isinstance(result, (bool, int, float, str)):
        return ("nan",) if isinstance(result, float) and math.isnan(result) else result
    if isinstance(result, (tuple, list)):
        return (type(result).__name__, tuple(normalize(x) for x in result))
    if isinstance(result, dict):
        return ("dict", tuple((k, normalize(v)) for k, v in result.items()))
    if type(result) in ENUM_CLASSES:
        return repr(result)
    if type(result) in OBJECT_CLASSES:
        return (type(result).__name__, observe(result))
    raise AssertionError(f"the module returned a {type(result).__name__}")


def observe(obj):
    """Everything the read-only queries of `obj` answer, over the OBSERVE values."""
    seen = []
    for c in CALLABLES:
        if c.owner is not type(obj) or not c.read_only:
            continue
        names = [p.name for p in c.params]
        for values in itertools.product(*(OBSERVE[n] for n in names)):
            try:
                answer = normalize(c.bind(obj)(*values))
            except (ValueError, TypeError) as exc:
                answer = (type(exc).__name__, str(exc))
            seen.append((c.name, values, answer))
    return tuple(seen)


def build(spec, pool):
    """Turns a drawn spec into the value passed; ("object", cls) picks the run's instance of cls."""
    if isinstance(spec, tuple) and len(spec) == 2 and spec[0] == "object":
        return pool[spec[1]]
    return spec
