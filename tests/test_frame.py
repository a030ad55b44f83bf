"""The module frame: registration, argument matching and conversion, the use rule, the error model."""

import importlib.util
import inspect
import json
import os
import re
import subprocess
import sys

import pytest

import quarn_sdk_core as q

DEFAULT_CONFIG = {
    "base_delay_s": 1, "factor": 2.0, "max_delay_s": 30, "stable_reset_s": 60,
    "rapid_disconnect_uptime_s": 10, "rapid_window_s": 300, "rapid_first_min_delay_s": 1,
    "rapid_second_min_delay_s": 5, "rapid_cooldown_base_s": 10, "rapid_cooldown_step_s": 10,
    "rapid_cooldown_max_s": 60, "rapid_threshold": 10, "heartbeat_interval_s": 30, "dead_threshold_s": 60,
}

ENUM_CLASSES = [
    "AgentTopicKind", "AgentTopicStatus", "ClaimOutcome", "DeadReason", "EventType", "LeaveOutcome",
    "MemoryListScope", "MemorySegment", "MemoryStatus", "MemoryStoreScope", "MemorySystem", "MemoryType",
    "ParkedReason", "RoomMembership", "RoomStatus", "RoomSubscribeResult", "SessionState", "StaleReason",
    "TurnEffect", "TurnVerdict",
]
# The fixed registration order: 33 classes by name, then 15 functions.
REGISTERED_CLASSES = sorted(ENUM_CLASSES + [
    "AgentFailure", "CancelledDecisions", "ClaimRegistry", "DecisionRegistry", "ParticipantRoster",
    "RetryTracker", "RoomReconciliation", "RoomRoster", "Session", "SessionOutcome", "SessionPolicy",
    "SubscriptionTracker", "TurnLedger",
])
NOT_INSTANTIABLE = {"SessionOutcome", "RoomReconciliation", "CancelledDecisions"}
REGISTERED_FUNCTIONS = [
    "quarn_tool_effects", "chat_room_topic", "classify_close", "classify_upgrade", "evaluate_adapter_result",
    "evaluate_delivery_event", "evaluate_drain_candidate", "evaluate_next_message", "is_authorized_sender",
    "is_self_echo", "missing_reply_message", "no_reply_tool", "room_participants_topic", "validate_event_payload",
    "validate_memory_type_for_system",
]


@pytest.fixture
def session():
    return q.Session(q.SessionPolicy.default())


# ---- registration


def test_namespace_holds_what_is_registered_in_order():
    own = [k for k in vars(q) if not (k.startswith("__") and k.endswith("__"))]
    assert own == REGISTERED_CLASSES + REGISTERED_FUNCTIONS


def test_module_attributes():
    assert q.__name__ == "quarn_sdk_core"
    assert q.__doc__ == ""
    for name in REGISTERED_CLASSES:
        assert getattr(q, name).__module__ == "quarn_sdk_core"
    for name in REGISTERED_FUNCTIONS:
        assert getattr(q, name).__module__ == "quarn_sdk_core"


def test_reimport_binds_the_same_classes():
    import importlib.util
    import sys

    spec = importlib.util.find_spec("quarn_sdk_core")
    again = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(again)
    assert again is not sys.modules["quarn_sdk_core"]
    assert again.Session is q.Session
    assert again.SessionState.Up is q.SessionState.Up
    assert [k for k in vars(again) if not k.startswith("__")] == REGISTERED_CLASSES + REGISTERED_FUNCTIONS


# ---- text signatures and docstrings

# (callable, text signature as inspect shows it, documentation after the signature or None)
SIGNED = [
    ("SessionPolicy", lambda: q.SessionPolicy, "(config, trace_context=None)",
     "Reconnect backoff/jitter policy, plus the graduated rapid-disconnect\ncooldown ladder."),
    ("SessionPolicy.default", lambda: q.SessionPolicy.default, "()", "A recommended, not final, default."),
    ("Session", lambda: q.Session, "(policy)", "One WebSocket session's state machine."),
    ("Session.begin_attempt", lambda: q.Session.begin_attempt, "($self, now_s)", None),
    ("Session.on_connected", lambda: q.Session.on_connected, "($self, epoch, now_s)", None),
    ("Session.on_socket_close", lambda: q.Session.on_socket_close,
     "($self, epoch, now_s, close_code, jitter_sample)", None),
    ("Session.on_upgrade_rejected", lambda: q.Session.on_upgrade_rejected,
     "($self, epoch, now_s, status, retry_after_s, jitter_sample)", None),
    ("Session.on_supersede", lambda: q.Session.on_supersede,
     "($self, now_s, retryable, retry_after_s, jitter_sample)", None),
    ("Session.end", lambda: q.Session.end, "($self)", None),
    ("classify_close", lambda: q.classify_close, "(close_code)",
     "Classify a WebSocket close code. Returns `(terminal, delay_range_s)`.\n"
     "Raises `ValueError` if `close_code` is not an integer in `0..=65535`."),
    ("classify_upgrade", lambda: q.classify_upgrade, "(status)",
     "Classify an HTTP upgrade-rejection status code. Returns\n`(terminal, delay_range_s)`. Raises "
     "`ValueError` if `status` is not an\ninteger in `0..=65535`."),
] + [(f"{c}.from_wire_name", (lambda c=c: getattr(q, c).from_wire_name), "(name)", None)
     for c in ENUM_CLASSES if hasattr(getattr(q, c), "from_wire_name")]


@pytest.mark.parametrize("name, get, text, body", SIGNED, ids=[s[0] for s in SIGNED])
def test_docstring_starts_with_text_signature(name, get, text, body):
    f = get()
    # the interpreter derives both from a docstring of the form "name(sig)\n--\n\n" + body
    assert f.__text_signature__ == text
    assert f.__doc__ == body


@pytest.mark.parametrize("name, get, text, body", SIGNED, ids=[s[0] for s in SIGNED])
def test_inspect_signature(name, get, text, body):
    sig = inspect.signature(get())
    shown = str(sig)
    params = list(sig.parameters.values())
    if "$self" in text:  # an unbound method shows its receiver as a positional-only `self`
        assert params[0].name == "self" and params[0].kind is params[0].POSITIONAL_ONLY
        params = params[1:]
        shown = shown.replace("(self, /, ", "(").replace("(self, /)", "()")
    assert shown == text.replace("$self, ", "").replace("($self)", "()")
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in params)


def test_bound_method_signature_drops_self(session):
    assert str(inspect.signature(session.on_socket_close)) == "(epoch, now_s, close_code, jitter_sample)"
    assert str(inspect.signature(session.end)) == "()"


def registered_callables():
    for name in REGISTERED_FUNCTIONS:
        yield name, getattr(q, name)
    for cls_name in REGISTERED_CLASSES:
        cls = getattr(q, cls_name)
        if cls.__text_signature__ is not None:
            yield cls_name, cls
        for attr, value in vars(cls).items():
            if callable(getattr(cls, attr)) and not attr.startswith("__"):
                yield f"{cls_name}.{attr}", getattr(cls, attr)


def test_every_registered_callable_has_a_signature():
    constructible = set()
    for name, fn in registered_callables():
        inspect.signature(fn)  # raises when the text signature is missing or malformed
        doc = fn.__doc__ or ""
        assert not doc.startswith(name.rsplit(".", 1)[-1] + "("), name
        if isinstance(fn, type):
            constructible.add(name)
    enum_like = {n for n in REGISTERED_CLASSES if n in ENUM_CLASSES or n in NOT_INSTANTIABLE}
    assert constructible == set(REGISTERED_CLASSES) - enum_like


def test_properties_carry_no_docstring():
    for cls, prop in [(q.SessionPolicy, "heartbeat_interval_s"), (q.SessionPolicy, "dead_threshold_s"),
                      (q.Session, "state"), (q.SessionOutcome, "state"), (q.SessionOutcome, "retry_after_s"),
                      (q.SessionOutcome, "dead_reason"), (q.SessionOutcome, "stale_reason")]:
        assert vars(cls)[prop].__doc__ is None


def test_outcome_properties_in_order():
    props = [k for k, v in vars(q.SessionOutcome).items() if type(v).__name__ == "getset_descriptor"]
    assert props == ["state", "retry_after_s", "dead_reason", "stale_reason"]


# ---- argument matching texts

MATCHING = [
    # functions
    (lambda s: q.classify_close(), "classify_close() missing 1 required positional argument: 'close_code'"),
    (lambda s: q.classify_close(1, 2), "classify_close() takes 1 positional arguments but 2 were given"),
    (lambda s: q.classify_close(1, close_code=2), "classify_close() got multiple values for argument 'close_code'"),
    (lambda s: q.classify_close(code=1), "classify_close() got an unexpected keyword argument 'code'"),
    (lambda s: q.classify_upgrade(409, 1, 2), "classify_upgrade() takes 1 positional arguments but 3 were given"),
    (lambda s: q.classify_upgrade(close_code=409), "classify_upgrade() got an unexpected keyword argument "
                                                  "'close_code'"),
    # methods
    (lambda s: s.begin_attempt(), "Session.begin_attempt() missing 1 required positional argument: 'now_s'"),
    (lambda s: s.on_connected(), "Session.on_connected() missing 2 required positional arguments: "
                                 "'epoch' and 'now_s'"),
    (lambda s: s.on_connected(now_s=1.0), "Session.on_connected() missing 1 required positional argument: 'epoch'"),
    (lambda s: s.on_socket_close(), "Session.on_socket_close() missing 4 required positional arguments: "
                                    "'epoch', 'now_s', 'close_code', and 'jitter_sample'"),
    (lambda s: s.on_socket_close(0, close_code=None), "Session.on_socket_close() missing 2 required positional "
                                                      "arguments: 'now_s' and 'jitter_sample'"),
    (lambda s: s.on_upgrade_rejected(0), "Session.on_upgrade_rejected() missing 4 required positional arguments: "
                                         "'now_s', 'status', 'retry_after_s', and 'jitter_sample'"),
    (lambda s: s.on_supersede(1.0, True, None, 0.5, 1),
     "Session.on_supersede() takes 4 positional arguments but 5 were given"),
    (lambda s: s.begin_attempt(1.0, 2.0), "Session.begin_attempt() takes 1 positional arguments but 2 were given"),
    (lambda s: s.on_connected(0, 1.0, epoch=0), "Session.on_connected() got multiple values for argument 'epoch'"),
    (lambda s: s.on_connected(0, 1.0, now_s=2.0), "Session.on_connected() got multiple values for argument 'now_s'"),
    (lambda s: s.begin_attempt(1.0, foo=1), "Session.begin_attempt() got an unexpected keyword argument 'foo'"),
    (lambda s: s.begin_attempt(self=1), "Session.begin_attempt() got an unexpected keyword argument 'self'"),
    # constructors
    (lambda s: q.SessionPolicy(), "SessionPolicy.__new__() missing 1 required positional argument: 'config'"),
    (lambda s: q.SessionPolicy({}, None, 3), "SessionPolicy.__new__() takes from 1 to 2 positional arguments "
                                             "but 3 were given"),
    (lambda s: q.SessionPolicy({}, config={}), "SessionPolicy.__new__() got multiple values for argument 'config'"),
    (lambda s: q.SessionPolicy(trace_context="t"), "SessionPolicy.__new__() missing 1 required positional "
                                                   "argument: 'config'"),
    (lambda s: q.SessionPolicy(DEFAULT_CONFIG, trace="t"), "SessionPolicy.__new__() got an unexpected keyword "
                                                           "argument 'trace'"),
    (lambda s: q.Session(), "Session.__new__() missing 1 required positional argument: 'policy'"),
    (lambda s: q.Session(q.SessionPolicy.default(), 1), "Session.__new__() takes 1 positional arguments but 2 "
                                                        "were given"),
    (lambda s: q.SessionPolicy.__new__(q.SessionPolicy), "SessionPolicy.__new__() missing 1 required positional "
                                                         "argument: 'config'"),
]


@pytest.mark.parametrize("call, message", MATCHING, ids=[m[1].split("(")[0] + str(i) for i, m in enumerate(MATCHING)])
def test_argument_matching_texts(session, call, message):
    with pytest.raises(TypeError) as info:
        call(session)
    assert str(info.value) == message
    assert not getattr(info.value, "__notes__", None)
    assert session.state is q.SessionState.Connecting


def test_matching_failure_changes_nothing(session):
    epoch = session.begin_attempt(1.0)
    with pytest.raises(TypeError):
        session.on_connected(epoch, 2.0, epoch=epoch)
    with pytest.raises(TypeError):
        session.begin_attempt(3.0, 4.0)
    # the attempt in flight is still the current one
    assert session.on_connected(epoch, 2.0).state is q.SessionState.Up


def test_keywords_in_any_order_and_built_at_run_time(session):
    epoch = session.begin_attempt(now_s=1.0)
    kw = {"".join(["now", "_s"]): 2.0, "".join(["ep", "och"]): epoch}  # not interned
    assert session.on_connected(**kw).state is q.SessionState.Up
    out = session.on_socket_close(jitter_sample=1.0, close_code=None, now_s=5.0, epoch=epoch)
    assert out.retry_after_s == 1.0
    assert q.classify_close(close_code=1000) == (True, None)
    assert q.classify_upgrade(status=403) == (True, None)
    assert q.SessionPolicy(config=DEFAULT_CONFIG, trace_context=None).dead_threshold_s == 60.0


def test_keyword_that_is_a_str_subclass():
    class K(str):
        def __hash__(self):
            return str.__hash__(self)

        def __eq__(self, other):
            return str.__eq__(self, other)

    assert q.classify_close(**{K("close_code"): 1000}) == (True, None)


def test_none_for_an_optional_argument_is_the_same_as_leaving_it_out():
    a = q.SessionPolicy(DEFAULT_CONFIG)
    b = q.SessionPolicy(DEFAULT_CONFIG, None)
    c = q.SessionPolicy(DEFAULT_CONFIG, trace_context=None)
    assert a.heartbeat_interval_s == b.heartbeat_interval_s == c.heartbeat_interval_s == 30.0
    bad = dict(DEFAULT_CONFIG, factor=0.5)
    for call in (lambda: q.SessionPolicy(bad), lambda: q.SessionPolicy(bad, None),
                 lambda: q.SessionPolicy(bad, trace_context=None)):
        with pytest.raises(ValueError) as info:
            call()
        assert info.value.trace_context is None


def test_no_argument_callables_refuse_arguments(session):
    with pytest.raises(TypeError):
        q.SessionPolicy.default(1)
    with pytest.raises(TypeError):
        session.end(1)
    with pytest.raises(TypeError):
        session.end(x=1)
    assert session.state is q.SessionState.Connecting


def test_unbound_method_checks_its_receiver():
    with pytest.raises(TypeError):
        q.Session.begin_attempt(q.SessionPolicy.default(), 1.0)
    with pytest.raises(TypeError):
        q.Session.end(object())


# ---- conversion errors and their note

class Raises:
    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc

    def __index__(self):
        raise self.exc


CONVERSIONS = [
    # (call, exception type, message, parameter)
    (lambda s: s.begin_attempt("1"), TypeError, "must be real number, not str", "now_s"),
    (lambda s: s.begin_attempt(None), TypeError, "must be real number, not NoneType", "now_s"),
    (lambda s: s.on_connected(1.0, 0.0), TypeError, "'float' object cannot be interpreted as an integer", "epoch"),
    (lambda s: s.on_connected("0", 0.0), TypeError, "'str' object cannot be interpreted as an integer", "epoch"),
    (lambda s: s.on_connected(0, [1]), TypeError, "must be real number, not list", "now_s"),
    (lambda s: s.on_socket_close(0, 1.0, "1000", 0.5), TypeError,
     "'str' object cannot be interpreted as an integer", "close_code"),
    (lambda s: s.on_socket_close(0, 1.0, None, "0.5"), TypeError, "must be real number, not str", "jitter_sample"),
    (lambda s: s.on_upgrade_rejected(0, 1.0, None, None, 0.5), TypeError,
     "'NoneType' object cannot be interpreted as an integer", "status"),
    (lambda s: s.on_upgrade_rejected(0, 1.0, 429, "5", 0.5), TypeError, "must be real number, not str",
     "retry_after_s"),
    (lambda s: s.on_supersede(1.0, 1, None, 0.5), TypeError, "'int' object is not an instance of 'bool'",
     "retryable"),
    (lambda s: s.on_supersede(1.0, None, None, 0.5), TypeError, "'NoneType' object is not an instance of 'bool'",
     "retryable"),
    (lambda s: q.Session(DEFAULT_CONFIG), TypeError, "'dict' object is not an instance of 'SessionPolicy'", "policy"),
    (lambda s: q.Session(s), TypeError, "'Session' object is not an instance of 'SessionPolicy'", "policy"),
    (lambda s: q.SessionPolicy(DEFAULT_CONFIG, 5), TypeError, "'int' object is not an instance of 'str'",
     "trace_context"),
    (lambda s: q.SessionPolicy(DEFAULT_CONFIG, b"t"), TypeError, "'bytes' object is not an instance of 'str'",
     "trace_context"),
    (lambda s: q.classify_close(1000.0), TypeError, "'float' object cannot be interpreted as an integer",
     "close_code"),
    (lambda s: q.classify_upgrade(None), TypeError, "'NoneType' object cannot be interpreted as an integer",
     "status"),
    # an exception raised by the value's own conversion passes through unchanged
    (lambda s: s.begin_attempt(Raises(KeyError("k"))), KeyError, "'k'", "now_s"),
    (lambda s: s.on_connected(Raises(ZeroDivisionError("z")), 1.0), ZeroDivisionError, "z", "epoch"),
    (lambda s: q.classify_close(Raises(ArithmeticError("a"))), ArithmeticError, "a", "close_code"),
    (lambda s: q.classify_close(2**64), OverflowError, None, "close_code"),
    (lambda s: s.begin_attempt(10**400), OverflowError, None, "now_s"),
]


@pytest.mark.parametrize("call, exc, message, param", CONVERSIONS,
                         ids=[f"{c[3]}-{i}" for i, c in enumerate(CONVERSIONS)])
def test_conversion_error_with_note(session, call, exc, message, param):
    with pytest.raises(exc) as info:
        call(session)
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message
    assert info.value.__notes__ == [f"while processing '{param}'"]
    assert session.state is q.SessionState.Connecting


def test_first_failing_parameter_in_signature_order_wins(session):
    epoch = session.begin_attempt(0.0)
    with pytest.raises(ValueError) as info:
        session.on_upgrade_rejected(-1, "x", 70000, -1.0, 2.0)
    assert str(info.value) == "`epoch` must be a non-negative integer, got -1"
    with pytest.raises(TypeError) as info:
        session.on_upgrade_rejected(epoch, "x", 70000, -1.0, 2.0)
    assert info.value.__notes__ == ["while processing 'now_s'"]
    with pytest.raises(ValueError, match="^`status` must"):
        session.on_upgrade_rejected(epoch, 1.0, 70000, -1.0, 2.0)
    with pytest.raises(ValueError, match="^`retry_after_s` must"):
        session.on_upgrade_rejected(epoch, 1.0, 429, -1.0, 2.0)
    with pytest.raises(ValueError, match="^`jitter_sample` must"):
        session.on_upgrade_rejected(epoch, 1.0, 429, 1.0, 2.0)
    # later parameters were never looked at: a converter that would record the call stays silent
    seen = []

    class Spy:
        def __float__(self):
            seen.append("float")
            return 0.5

    with pytest.raises(ValueError):
        session.on_upgrade_rejected(epoch, -1.0, 429, None, Spy())
    assert seen == []
    assert session.on_upgrade_rejected(epoch, 1.0, 429, None, Spy()).retry_after_s == 1.0
    assert seen == ["float"]


def test_numbers_accepted_in_every_form(session):
    class F:
        def __float__(self):
            return 3.0

    class I:
        def __index__(self):
            return 0

    class Sub(int):
        pass

    assert session.begin_attempt(F()) == 0
    assert session.on_connected(I(), Sub(4)).state is q.SessionState.Up
    assert q.classify_close(Sub(1000)) == (True, None)
    assert q.classify_upgrade(I()) == (False, None)


# ---- conflicting use of one object


def make_reentrant(action, as_index=False):
    """A number whose conversion calls back into the module and records what happened."""
    seen = []

    class Reenter:
        def __float__(self):
            return self._run(2.0)

        def __index__(self):
            return self._run(0)

        def _run(self, value):
            try:
                seen.append(("ok", action()))
            except RuntimeError as e:
                seen.append(("refused", str(e)))
            return value

    if as_index:
        del Reenter.__float__
    return Reenter(), seen


@pytest.mark.parametrize("reenter, message", [
    (lambda s: s.begin_attempt(9.0), "Already borrowed"),
    (lambda s: s.on_connected(0, 9.0), "Already borrowed"),
    (lambda s: s.on_socket_close(0, 9.0, None, 0.5), "Already borrowed"),
    (lambda s: s.on_supersede(9.0, False, None, 0.5), "Already borrowed"),
    (lambda s: s.end(), "Already borrowed"),
    (lambda s: s.state, "Already mutably borrowed"),
])
def test_reentrant_use_during_float_conversion_is_refused(session, reenter, message):
    epoch = session.begin_attempt(1.0)
    number, seen = make_reentrant(lambda: reenter(session))
    out = session.on_connected(epoch, number)  # now_s converts through __float__
    assert seen == [("refused", message)]
    # the outer call went ahead on a session the inner call never touched
    assert out.state is q.SessionState.Up and out.stale_reason is None
    assert session.state is q.SessionState.Up
    assert session.begin_attempt(3.0) == 1


def test_reentrant_use_during_index_conversion_changes_nothing(session):
    epoch = session.begin_attempt(1.0)
    number, seen = make_reentrant(lambda: session.end(), as_index=True)
    out = session.on_socket_close(number, 2.0, 1000, 0.5)  # epoch converts through __index__
    assert seen == [("refused", "Already borrowed")]
    assert out.state is q.SessionState.Dead and out.dead_reason is q.DeadReason.Classified
    assert epoch == 0


def test_refusal_propagates_with_the_note_and_the_session_is_unchanged(session):
    epoch = session.begin_attempt(1.0)

    class Hostile:
        def __float__(self):
            session.end()  # raises: the session is in use
            return 1.0

    with pytest.raises(RuntimeError) as info:
        session.on_connected(epoch, Hostile())
    assert str(info.value) == "Already borrowed"
    assert info.value.__notes__ == ["while processing 'now_s'"]
    # nothing happened: not ended, not connected, epoch still current, and the object is free again
    assert session.state is q.SessionState.Connecting
    assert session.on_connected(epoch, 2.0).state is q.SessionState.Up


def test_reentrant_read_is_refused_during_a_mutating_call(session):
    def peek():
        return session.state

    class Peeking:
        def __float__(self):
            peek()
            return 0.5

    with pytest.raises(RuntimeError) as info:
        session.begin_attempt(Peeking())
    assert info.value.args == ("Already mutably borrowed",)
    assert info.value.__notes__ == ["while processing 'now_s'"]
    assert session.begin_attempt(1.0) == 0


def test_reentrant_use_of_another_object_is_allowed(session):
    other = q.Session(q.SessionPolicy.default())
    number, seen = make_reentrant(lambda: other.begin_attempt(1.0))
    assert session.begin_attempt(number) == 0
    assert seen == [("ok", 0)]


def test_policy_read_while_a_session_is_built_from_it():
    policy = q.SessionPolicy.default()
    # the policy's reads and Session(policy) are read-only uses and may overlap freely
    assert q.Session(policy).state is q.SessionState.Connecting
    assert policy.heartbeat_interval_s == 30.0


def test_use_is_released_after_every_kind_of_failure(session):
    for bad in (lambda: session.begin_attempt(-1.0), lambda: session.begin_attempt("x"),
                lambda: session.begin_attempt(Raises(MemoryError())), lambda: session.on_connected(-1, 0.0)):
        with pytest.raises((ValueError, TypeError, MemoryError)):
            bad()
        assert session.state is q.SessionState.Connecting
    assert session.begin_attempt(1.0) == 0


# ---- the error model, through SessionPolicy


def test_core_error_becomes_value_error_with_issues():
    with pytest.raises(ValueError) as info:
        q.SessionPolicy(dict(DEFAULT_CONFIG, factor=0.5))
    e = info.value
    assert type(e) is ValueError
    assert e.args == ("1 validation issue(s): factor must be a finite number >= 1.0, got 0.5 (factor)",)
    assert e.issues == (("factor", "invalid_value", "factor must be a finite number >= 1.0, got 0.5"),)
    assert type(e.issues) is tuple and all(type(t) is tuple for t in e.issues)
    assert e.trace_context is None


def test_only_the_first_issue_is_summarised():
    config = dict(DEFAULT_CONFIG, base_delay_s=40, max_delay_s=30, rapid_threshold=0, heartbeat_interval_s=0)
    with pytest.raises(ValueError) as info:
        q.SessionPolicy(config, "abc")
    e = info.value
    assert str(e) == "3 validation issue(s): base_delay must not exceed max_delay (base_delay)"
    assert e.issues == (
        ("base_delay", "invalid_value", "base_delay must not exceed max_delay"),
        ("rapid_threshold", "invalid_value", "rapid_threshold must be at least 1"),
        ("heartbeat_interval", "invalid_value", "heartbeat_interval must be greater than zero"),
    )
    assert e.trace_context == "abc"


@pytest.mark.parametrize("trace", ["abc", "", "ünïcödé ✓", "x" * 10000, "with\0nul"])
def test_trace_context_is_carried_verbatim(trace):
    with pytest.raises(ValueError) as info:
        q.SessionPolicy(dict(DEFAULT_CONFIG, factor=float("nan")), trace_context=trace)
    assert info.value.trace_context == trace
    assert info.value.issues[0][2] == "factor must be a finite number >= 1.0, got NaN"


def test_trace_context_of_wrong_type_fails_before_anything_else():
    # even a config that would fail, or succeed, is not looked at
    looked = []

    class Config:
        def __getitem__(self, key):
            looked.append(key)
            return DEFAULT_CONFIG[key]

    for config in (DEFAULT_CONFIG, {}, Config()):
        with pytest.raises(TypeError) as info:
            q.SessionPolicy(config, 7)
        assert str(info.value) == "'int' object is not an instance of 'str'"
        assert info.value.__notes__ == ["while processing 'trace_context'"]
    assert looked == []


def test_argument_range_errors_are_plain_value_errors(session):
    with pytest.raises(ValueError) as info:
        session.begin_attempt(-1.0)
    assert type(info.value) is ValueError
    assert not hasattr(info.value, "issues")
    assert not hasattr(info.value, "trace_context")
    assert not getattr(info.value, "__notes__", None)


def test_config_errors_carry_no_issues():
    with pytest.raises(TypeError) as info:
        q.SessionPolicy({}, trace_context="abc")
    assert not hasattr(info.value, "issues")
    with pytest.raises(ValueError) as info:
        q.SessionPolicy(dict(DEFAULT_CONFIG, max_delay_s=-1), trace_context="abc")
    assert not hasattr(info.value, "issues")
    assert not hasattr(info.value, "trace_context")


# ---- objects the host cannot forge


@pytest.mark.parametrize("cls_name", ["Session", "SessionOutcome", "SessionPolicy"])
def test_objects_cannot_be_forged_or_copied(cls_name):
    import copy
    import pickle

    cls = getattr(q, cls_name)
    with pytest.raises(TypeError):
        object.__new__(cls)
    with pytest.raises(TypeError):

        class Sub(cls):  # noqa: F841
            pass

    session = q.Session(q.SessionPolicy.default())
    sample = {"Session": session, "SessionPolicy": q.SessionPolicy.default(),
              "SessionOutcome": session.on_connected(5, 1.0)}[cls_name]
    for dup in (copy.copy, copy.deepcopy, pickle.dumps):
        with pytest.raises(TypeError):
            dup(sample)
    with pytest.raises(AttributeError):
        sample.extra = 1


def test_session_outcome_has_no_constructor():
    with pytest.raises(TypeError):
        q.SessionOutcome()


def test_note_keeps_the_exception_chain(session):
    class Chained:
        def __float__(self):
            try:
                raise KeyError("inner")
            except KeyError:
                raise ArithmeticError("outer")

    try:
        raise LookupError("the host is handling something")
    except LookupError:
        with pytest.raises(ArithmeticError) as info:
            session.begin_attempt(Chained())
    assert info.value.__notes__ == ["while processing 'now_s'"]
    assert isinstance(info.value.__context__, KeyError)
    assert info.value.__traceback__ is not None


def test_exception_that_refuses_notes_is_raised_unchanged(session):
    class NoNotes(Exception):
        def add_note(self, note):
            raise RuntimeError("no notes here")

    class F:
        def __float__(self):
            raise NoNotes("mine")

    with pytest.raises(NoNotes) as info:
        session.begin_attempt(F())
    assert str(info.value) == "mine"
    assert session.begin_attempt(1.0) == 0


# ---- reference counts of the shared objects


def _balanced(obj, call, times=200):
    import sys

    call()  # first use may cache
    before = sys.getrefcount(obj)
    for _ in range(times):
        call()
    return sys.getrefcount(obj) - before


@pytest.mark.parametrize("obj, call", [
    (q.SessionState.Connecting, lambda s, o: s.state),
    (q.SessionState.Dead, lambda s, o: s.end()),
    (q.SessionState.Connecting, lambda s, o: o.state),
    (None, lambda s, o: o.dead_reason),
    (None, lambda s, o: o.stale_reason),
    (q.StaleReason.WrongEpoch, lambda s, o: s.on_connected(99, 0.0).stale_reason),
    (q.EventType.AgentControl, lambda s, o: q.EventType.from_wire_name("agent.control")),
    (None, lambda s, o: q.EventType.from_wire_name("nothing")),
    (q.SessionState.Up, lambda s, o: (repr(q.SessionState.Up), str(q.SessionState.Up), int(q.SessionState.Up))),
    (str(q.SessionState.Up), lambda s, o: (str(q.SessionState.Up), q.SessionState.Up.value)),
    (q.SessionPolicy, lambda s, o: q.SessionPolicy.default()),
    (q.SessionOutcome, lambda s, o: q.Session(q.SessionPolicy.default()).on_connected(0, 0.0)),
    (True, lambda s, o: q.classify_close(1000)),
])
def test_shared_objects_keep_their_reference_counts(obj, call):
    session = q.Session(q.SessionPolicy.default())
    outcome = q.Session(q.SessionPolicy.default()).on_connected(7, 0.0)
    assert _balanced(obj, lambda: call(session, outcome)) == 0


def test_refusals_and_failures_leak_no_references(session):
    import sys

    epoch = session.begin_attempt(0.0)
    probe = object()

    class Holder:
        def __float__(self):
            self.keep = probe
            session.end()

    def fail():
        with pytest.raises(RuntimeError):
            session.on_connected(epoch, Holder())
        with pytest.raises(ValueError):
            session.on_connected(epoch, -1.0)
        with pytest.raises(TypeError):
            q.SessionPolicy(dict(DEFAULT_CONFIG, factor=probe))

    assert _balanced(probe, fail, times=50) == 0


# ---- subinterpreters


# Run as a child process: `probe KIND`, `churn KIND` or `threads`. The last line printed is JSON.
_SUBINTERPRETERS = r'''
import gc, json, os, sys, tempfile, threading
import heap
try:
    import _interpreters as si
except ImportError:
    import _xxsubinterpreters as si

def create(kind):
    if sys.version_info >= (3, 13):
        return si.create(kind)
    if sys.version_info >= (3, 12):
        return si.create(isolated=kind == "isolated")
    assert kind == "legacy"
    return si.create()

def run(interp, code):
    failed = si.run_string(interp, code)  # raises on 3.11 and 3.12, answers on 3.13
    if failed is not None:
        raise RuntimeError(failed.formatted)

def run_for_answer(interp, code):
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "answer.json")
        run(interp, f"OUT = {path!r}\n" + code)
        with open(path) as f:
            return json.load(f)

# What the module answers, and the ids of some of its objects: the same code runs in the main
# interpreter and in subinterpreters.
PROBE = """
import importlib.util, json, sys
import quarn_sdk_core as q

def answers():
    ledger = q.TurnLedger()
    ledger.record(q.TurnEffect.Act)
    ledger.record(q.TurnEffect.from_wire_name("reply"))
    registry, tracker = q.ClaimRegistry(), q.RetryTracker()
    got = {
        "classify": q.classify_close(close_code=1000),
        "verdict": [repr(ledger.verdict()), ledger.verdict() is q.TurnVerdict.Complete],
        "claim": str(registry.guarded_claim("room", "m1", tracker)),
        "settled": registry.record_processed_settlement(room_id="room", message_id="m1"),
        "session": str(q.Session(q.SessionPolicy.default()).state),
        "tools": {k: str(v) for k, v in sorted(q.quarn_tool_effects().items())},
        "topic": q.AgentTopicKind.Rooms.topic("agent-1"),
        "errors": [],
    }
    for call in (lambda: q.validate_event_payload("message_created", {}), lambda: q.classify_close("x"),
                 lambda: q.classify_close(code=1)):
        try:
            call()
        except (TypeError, ValueError) as e:
            got["errors"].append([type(e).__name__, getattr(e, "issues", None)])
    return got

def ids():
    return [id(q.Session), id(q.TurnLedger), id(q.SessionState), id(q.SessionState.Up), id(q.TurnEffect.Act)]

def reimported():
    again = importlib.util.module_from_spec(importlib.util.find_spec("quarn_sdk_core"))
    again.__spec__.loader.exec_module(again)
    return again.Session is q.Session and again.TurnEffect.Act is q.TurnEffect.Act
"""

# In a subinterpreter: once its last module object is gone, an object it made still answers,
# with an exception.
AFTER_FREE = """
import gc
ledger = q.TurnLedger()
del sys.modules["quarn_sdk_core"], q
gc.collect()
try:
    ledger.verdict()
    freed = "answered"
except Exception as e:
    freed = type(e).__name__
"""

def nested(kind):
    # A call whose argument runs a subinterpreter (made and ended there) that calls the module:
    # the outer call goes on with its own interpreter's state.
    import collections.abc
    callbacks = []
    class Payload(collections.abc.Mapping):
        def __getitem__(self, key):
            raise KeyError(key)
        def __len__(self):
            return 0
        def __iter__(self):
            interp = create(kind)
            try:
                run(interp, PROBE + "answers()")
            finally:
                si.destroy(interp)
            callbacks.append(1)
            return iter(())
    def issues(payload):
        try:
            q.validate_event_payload("message_created", payload)
        except ValueError as e:
            return e.issues
    return [issues(Payload()) == issues({}), len(callbacks)]

def probe(kind):
    exec(PROBE, globals())
    before = {"answers": answers(), "ids": ids()}
    kept = q.TurnLedger()
    interp = create(kind)
    try:
        sub = run_for_answer(interp, PROBE + """
result = {"answers": answers(), "ids": ids(), "reimported": reimported()}
""" + AFTER_FREE + """
result["after_free"] = freed
with open(OUT, "w") as f:
    json.dump(result, f)
""")
    finally:
        si.destroy(interp)
    kept.record(q.TurnEffect.Act)
    after = {"answers": answers(), "ids": ids()}
    return {"main": before, "sub": sub, "main_after": after, "kept": repr(kept.verdict()),
            "main_reimported": reimported(), "nested": nested(kind)}

def heap_in_use():
    gc.collect()
    return heap.heap_in_use()

def churn(kind, rounds=30):
    exec(PROBE, globals())
    imports = "import importlib.util, json, sys"  # what the probe imports besides the module
    def cycle(code, n):
        for _ in range(n):
            interp = create(kind)
            try:
                run(interp, code)
            finally:
                si.destroy(interp)
    if heap_in_use() is None:
        cycle(PROBE + "answers()", rounds)
        return {"main": answers(), "growth": None}
    # What one interpreter's module holds while it lives.
    interp = create(kind)
    try:
        run(interp, imports)
        start = heap_in_use()
        run(interp, PROBE + "answers(); reimported()")
        held = heap_in_use() - start
    finally:
        si.destroy(interp)
    # What each cycle keeps, with the module and without it: the interpreter keeps some of its
    # own, and 3.12 and 3.13 keep more per cycle once the module was imported even though its
    # state is released (on 3.12 about a sixth of what the state holds).
    growth = {}
    for name, code in (("bare", imports), ("module", PROBE + "answers(); reimported()")):
        cycle(code, 5)  # whatever the process caches on first use
        start = heap_in_use()
        cycle(code, rounds)
        growth[name] = (heap_in_use() - start) / rounds
    return {"main": answers(), "growth": growth, "held": held}

def threads(iterations="20000"):
    exec(PROBE, globals())
    expected = answers()
    hammer = PROBE + f"""
wrong = 0
for i in range({int(iterations)}):
    ledger = q.TurnLedger()
    ledger.record(q.TurnEffect.Act)
    ledger.record(q.TurnEffect.Reply)
    registry, tracker = q.ClaimRegistry(), q.RetryTracker()
    registry.guarded_claim("room", str(i), tracker)
    settled = registry.record_processed_settlement("room", str(i))
    if (ledger.verdict() is not q.TurnVerdict.Complete or settled["status"] != "processed"
            or q.TurnEffect.from_wire_name("act") is not q.TurnEffect.Act):
        wrong += 1
with open(OUT, "w") as f:
    json.dump({{"wrong": wrong, "answers": answers()}}, f)
"""
    results = [None, None]
    ready = threading.Barrier(2)  # both interpreters made and importing before either runs
    def work(k):
        interp = create("isolated")
        try:
            run(interp, "import quarn_sdk_core")
            ready.wait()
            results[k] = run_for_answer(interp, hammer)
        except BaseException as e:
            results[k] = {"failed": repr(e)}
        finally:
            si.destroy(interp)
    workers = [threading.Thread(target=work, args=(k,)) for k in range(2)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    return {"expected": expected, "results": results}

print(json.dumps(globals()[sys.argv[1]](*sys.argv[2:])))
'''

_ISOLATED = pytest.mark.skipif(sys.version_info < (3, 12), reason="an interpreter with its own GIL needs 3.12")
_KINDS = [pytest.param("legacy"), pytest.param("isolated", marks=_ISOLATED)]


def _subinterpreters(*args, env=None):
    if importlib.util.find_spec("_interpreters") is None:
        pytest.importorskip("_xxsubinterpreters")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(q.__file__), os.path.dirname(__file__)]),
               **(env or {}))
    out = subprocess.run([sys.executable, "-c", _SUBINTERPRETERS, *args], env=env, capture_output=True, text=True,
                         timeout=600)
    assert out.returncode == 0, out.stderr
    return json.loads(out.stdout.splitlines()[-1])


@pytest.mark.parametrize("kind", _KINDS)
def test_a_subinterpreter_runs_the_module_with_objects_of_its_own(kind):
    got = _subinterpreters("probe", kind)
    main, sub = got["main"], got["sub"]
    assert sub["answers"] == main["answers"]
    assert [error for error, _ in main["answers"]["errors"]] == ["ValueError", "TypeError", "TypeError"]
    assert main["answers"]["verdict"][1] and main["answers"]["settled"]["status"] == "processed"
    # Its classes and singletons are its own: made while the main interpreter's lived.
    assert not set(sub["ids"]) & set(main["ids"])
    assert sub["reimported"] and got["main_reimported"]
    # Once its module is gone, an object it made refuses cleanly.
    assert sub["after_free"] == "RuntimeError"
    # The main interpreter's objects are the same and keep working.
    assert got["main_after"] == main
    assert got["kept"] == "TurnVerdict.Complete"
    assert got["nested"] == [True, 1]


@pytest.mark.parametrize("kind", _KINDS)
def test_subinterpreters_made_and_ended_repeatedly_keep_nothing(kind):
    got = _subinterpreters("churn", kind, env={"PYTHONMALLOC": "malloc"})
    assert got["main"]["classify"] == [True, None]
    if got["growth"] is None or "asan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("the heap in use cannot be read here; the churn ran without a crash")
    growth = got["growth"]
    # A state left behind keeps about what it holds (classes, singletons, dicts, strs) per cycle.
    assert growth["module"] - growth["bare"] < got["held"] / 4, got


@_ISOLATED
def test_two_isolated_interpreters_run_the_module_at_once():
    got = _subinterpreters("threads")
    for result in got["results"]:
        assert result.get("failed") is None, result
        assert result["wrong"] == 0
        assert result["answers"] == got["expected"]
