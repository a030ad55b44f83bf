"""The twenty enumeration classes: one shared behaviour, checked against the full index."""

import operator

import pytest

import quarn_sdk_core as q

# class name -> (property name, has from_wire_name, [(variant name, wire name), ...] in order)
ENUMS = {
    "EventType": ("wire_name", True, [
        ("MessageCreated", "message_created"), ("MessageUpdated", "message_updated"),
        ("RoomAdded", "room_added"), ("RoomRemoved", "room_removed"), ("RoomDeleted", "room_deleted"),
        ("ParticipantAdded", "participant_added"), ("ParticipantRemoved", "participant_removed"),
        ("ContactRequestReceived", "contact_request_received"),
        ("ContactRequestUpdated", "contact_request_updated"), ("ContactAdded", "contact_added"),
        ("ContactRemoved", "contact_removed"), ("Supersede", "supersede"),
        ("AgentControl", "agent.control"), ("EventCreated", "event_created")]),
    "MemoryType": ("wire_name", True, [
        ("Iconic", "iconic"), ("Echoic", "echoic"), ("Haptic", "haptic"), ("Episodic", "episodic"),
        ("Semantic", "semantic"), ("Procedural", "procedural")]),
    "MemoryStatus": ("wire_name", True, [
        ("Active", "active"), ("Superseded", "superseded"), ("Archived", "archived"), ("All", "all")]),
    "MemorySystem": ("wire_name", True, [
        ("Sensory", "sensory"), ("Working", "working"), ("LongTerm", "long_term")]),
    "MemorySegment": ("wire_name", True, [
        ("User", "user"), ("Agent", "agent"), ("Tool", "tool"), ("Guideline", "guideline")]),
    "MemoryListScope": ("wire_name", True, [
        ("Subject", "subject"), ("Organization", "organization"), ("All", "all")]),
    "MemoryStoreScope": ("wire_name", True, [("Subject", "subject"), ("Organization", "organization")]),
    "ParkedReason": ("wire_name", True, [("NotFound", "not_found"), ("Rejected", "rejected")]),
    "SessionState": ("value", False, [
        ("Connecting", "connecting"), ("Up", "up"), ("Reconnecting", "reconnecting"), ("Dead", "dead")]),
    "DeadReason": ("value", False, [("Classified", "classified"), ("RapidDisconnect", "rapid_disconnect")]),
    "StaleReason": ("value", False, [
        ("WrongEpoch", "wrong_epoch"), ("ClockRegression", "clock_regression"),
        ("DuplicateConnected", "duplicate_connected"),
        ("SupersedePredatesEpoch", "supersede_predates_epoch")]),
    "AgentTopicKind": ("wire_name", True, [
        ("Control", "agent_control"), ("Rooms", "agent_rooms"), ("Contacts", "agent_contacts")]),
    "RoomStatus": ("value", False, [
        ("Absent", "absent"), ("Pending", "pending"), ("Subscribed", "subscribed"), ("Leaving", "leaving"),
        ("NeedsReconciliation", "needs_reconciliation")]),
    "AgentTopicStatus": ("value", False, [
        ("Absent", "absent"), ("Pending", "pending"), ("Joined", "joined"), ("Leaving", "leaving"),
        ("NeedsReconciliation", "needs_reconciliation")]),
    "RoomSubscribeResult": ("value", False, [
        ("Subscribed", "subscribed"), ("JoinFailed", "join_failed"), ("RolledBack", "rolled_back"),
        ("RollbackFailed", "rollback_failed"), ("Stale", "stale")]),
    "LeaveOutcome": ("value", False, [("Left", "left"), ("Failed", "failed"), ("Unknown", "unknown")]),
    "RoomMembership": ("value", False, [
        ("Unadmitted", "unadmitted"), ("Admitting", "admitting"), ("Admitted", "admitted")]),
    "ClaimOutcome": ("value", False, [
        ("Claimed", "claimed"), ("AlreadyClaimed", "already_claimed"), ("Stale", "stale")]),
    "TurnEffect": ("wire_name", True, [
        ("Observe", "observe"), ("Act", "act"), ("Reply", "reply"), ("Decline", "decline")]),
    "TurnVerdict": ("wire_name", True, [("Complete", "complete"), ("MissingReply", "missing_reply")]),
}

DOCS = {
    "EventType": "Canonical inbound event names. Each variant's `wire_name` is the\nexact string the platform "
                 "sends; `validate_event_payload` accepts that\nstring (or an `EventType` instance).",
    "MemoryType": "Content kind; must match the chosen [`MemorySystem`] tier.",
    "MemoryStatus": "Lifecycle state; list filter and set by supersede/archive operations.",
    "MemorySystem": "Memory tier; constrains which [`MemoryType`] values are valid for it\n"
                    "(`validate_memory_type_for_system`).",
    "MemorySegment": "Logical subject category for a stored memory -- not a store/list scope.",
    "MemoryListScope": "Scope filter for listing memories.",
    "MemoryStoreScope": "Visibility scope for storing a memory.",
    "ParkedReason": "Why the platform refused a terminal write that stays pending; the\nargument of "
                    "`ClaimRegistry.park_ack`.",
    "AgentTopicKind": "A single-topic Phoenix Channels channel kind keyed by one id (an agent's\n"
                      "control/rooms/contacts channel).",
    "TurnEffect": "What a successful tool call contributes to the turn.",
    "TurnVerdict": "How the SDK ends a turn, per `TurnLedger.verdict()`.",
}

VARIANTS = [(cls, i, name, wire) for cls, (_, _, vs) in ENUMS.items() for i, (name, wire) in enumerate(vs)]
CLASSES = sorted(ENUMS)
WITH_LOOKUP = [c for c in CLASSES if ENUMS[c][1]]


def variant_id(v):
    return f"{v[0]}.{v[2]}"


def test_all_twenty_classes_exist():
    assert len(ENUMS) == 20
    for name in ENUMS:
        assert isinstance(getattr(q, name), type)


# ---- the class itself


@pytest.mark.parametrize("cls_name", CLASSES)
def test_class_shape(cls_name):
    cls = getattr(q, cls_name)
    assert cls.__bases__ == (object,)
    assert cls.__module__ == "quarn_sdk_core"
    assert cls.__name__ == cls_name
    assert cls.__doc__ == DOCS.get(cls_name, "")
    names = [n for n, _ in ENUMS[cls_name][2]]
    # variants are class attributes, defined in declaration order
    declared = [k for k, v in vars(cls).items() if isinstance(v, cls)]
    assert declared == names


@pytest.mark.parametrize("cls_name", CLASSES)
def test_not_instantiable(cls_name):
    cls = getattr(q, cls_name)
    for call in (lambda: cls(), lambda: cls(0), lambda: cls("up"), lambda: object.__new__(cls)):
        with pytest.raises(TypeError):
            call()


@pytest.mark.parametrize("cls_name", CLASSES)
def test_property_name_and_doc(cls_name):
    cls = getattr(q, cls_name)
    prop, _, _ = ENUMS[cls_name]
    other = "value" if prop == "wire_name" else "wire_name"
    assert prop in vars(cls)
    assert other not in vars(cls)
    expected = "The exact string the platform sends over the wire for this event." if cls_name == "EventType" else None
    assert vars(cls)[prop].__doc__ == expected


@pytest.mark.parametrize("cls_name", CLASSES)
def test_from_wire_name_present_only_where_listed(cls_name):
    cls = getattr(q, cls_name)
    assert hasattr(cls, "from_wire_name") == ENUMS[cls_name][1]


@pytest.mark.parametrize("cls_name", CLASSES)
def test_class_is_closed(cls_name):
    cls = getattr(q, cls_name)
    with pytest.raises(TypeError):
        cls.Extra = 1
    first = getattr(cls, ENUMS[cls_name][2][0][0])
    with pytest.raises(TypeError):
        setattr(cls, ENUMS[cls_name][2][0][0], None)
    assert getattr(cls, ENUMS[cls_name][2][0][0]) is first
    with pytest.raises(TypeError):

        class Sub(cls):  # noqa: F841
            pass


# ---- each variant


@pytest.mark.parametrize("v", VARIANTS, ids=variant_id)
def test_variant_int_repr_str_property(v):
    cls_name, index, name, wire = v
    cls = getattr(q, cls_name)
    x = getattr(cls, name)
    assert type(x) is cls
    assert int(x) == index
    assert type(int(x)) is int
    assert repr(x) == f"{cls_name}.{name}"
    assert str(x) == wire
    assert getattr(x, ENUMS[cls_name][0]) == wire


@pytest.mark.parametrize("v", VARIANTS, ids=variant_id)
def test_variant_identity_and_lookup(v):
    cls_name, _, name, wire = v
    cls = getattr(q, cls_name)
    assert getattr(cls, name) is getattr(cls, name)
    if ENUMS[cls_name][1]:
        assert cls.from_wire_name(wire) is getattr(cls, name)
        assert cls.from_wire_name(name=wire) is getattr(cls, name)


@pytest.mark.parametrize("v", VARIANTS, ids=variant_id)
def test_variant_is_frozen(v):
    cls_name, _, name, wire = v
    x = getattr(getattr(q, cls_name), name)
    prop = ENUMS[cls_name][0]
    with pytest.raises(AttributeError):
        setattr(x, prop, "other")
    with pytest.raises(AttributeError):
        x.anything = 1
    assert not hasattr(x, "__dict__")
    assert getattr(x, prop) == wire


@pytest.mark.parametrize("v", VARIANTS, ids=variant_id)
def test_variant_is_not_an_index_nor_hashable(v):
    cls_name, _, name, _ = v
    x = getattr(getattr(q, cls_name), name)
    with pytest.raises(TypeError):
        operator.index(x)
    with pytest.raises(TypeError):
        list(range(20))[x]
    with pytest.raises(TypeError):
        hash(x)
    with pytest.raises(TypeError):
        {x: 1}
    with pytest.raises(TypeError):
        {x}


# ---- equality only


@pytest.mark.parametrize("cls_name", CLASSES)
def test_equality_between_variants_of_one_class(cls_name):
    cls = getattr(q, cls_name)
    members = [getattr(cls, n) for n, _ in ENUMS[cls_name][2]]
    for i, a in enumerate(members):
        for j, b in enumerate(members):
            assert (a == b) is (i == j)
            assert (a != b) is (i != j)


@pytest.mark.parametrize("cls_name", CLASSES)
def test_no_ordering(cls_name):
    cls = getattr(q, cls_name)
    a, b = (getattr(cls, n) for n, _ in ENUMS[cls_name][2][:2])
    for op in (lambda: a < b, lambda: a <= b, lambda: a > b, lambda: a >= b, lambda: a < a):
        with pytest.raises(TypeError):
            op()


@pytest.mark.parametrize("v", VARIANTS, ids=variant_id)
def test_not_equal_to_other_kinds_of_value(v):
    cls_name, index, name, wire = v
    x = getattr(getattr(q, cls_name), name)
    others = [index, float(index), wire, name, repr(x), None, True, False]
    # a variant of another class in the same position
    for other_name in CLASSES:
        variants = ENUMS[other_name][2]
        if other_name != cls_name and index < len(variants):
            others.append(getattr(getattr(q, other_name), variants[index][0]))
    for other in others:
        assert (x == other) is False
        assert (x != other) is True
        assert (other == x) is False


def test_cross_class_variants_sharing_a_wire_name_differ():
    assert q.MemoryStatus.All != q.MemoryListScope.All
    assert str(q.MemoryStatus.All) == str(q.MemoryListScope.All)
    assert q.ClaimOutcome.Stale != q.RoomSubscribeResult.Stale
    assert q.RoomStatus.Absent != q.AgentTopicStatus.Absent


def test_reflected_comparison_from_a_foreign_eq_is_not_hijacked():
    class Anything:
        def __eq__(self, other):
            return True

    assert (q.SessionState.Up == Anything()) is True  # falls back to the other operand
    assert (q.SessionState.Up != q.SessionState.Up) is False


def test_documented_examples():
    assert int(q.EventType.EventCreated) == 13
    assert int(q.MemoryStatus.All) == 3
    assert repr(q.EventType.AgentControl) == "EventType.AgentControl"
    assert str(q.EventType.AgentControl) == "agent.control"
    assert q.TurnVerdict.Complete != 0
    assert q.TurnVerdict.Complete != "complete"
    with pytest.raises(TypeError):
        q.TurnVerdict.Complete < q.TurnVerdict.MissingReply
    with pytest.raises(TypeError):
        {q.SessionState.Up: 1}


# ---- from_wire_name


@pytest.mark.parametrize("cls_name", WITH_LOOKUP)
def test_from_wire_name_is_exact(cls_name):
    cls = getattr(q, cls_name)
    for name, wire in ENUMS[cls_name][2]:
        for near in (wire.upper(), wire.capitalize(), f" {wire}", f"{wire} ", f"{wire}\0", name, wire[:-1]):
            if near != wire:
                assert cls.from_wire_name(near) is None
    assert cls.from_wire_name("") is None
    assert cls.from_wire_name("\ud800") is None  # not even UTF-8: names no variant


def test_from_wire_name_examples():
    assert q.TurnVerdict.from_wire_name("Complete") is None
    assert q.TurnVerdict.from_wire_name(" complete") is None
    assert q.EventType.from_wire_name("Message_created") is None
    assert q.EventType.from_wire_name("agent.control") is q.EventType.AgentControl
    assert q.EventType.from_wire_name("agent_control") is None
    # an instance of a str subclass is a str
    assert q.TurnEffect.from_wire_name(type("S", (str,), {})("act")) is q.TurnEffect.Act


@pytest.mark.parametrize("cls_name", WITH_LOOKUP)
@pytest.mark.parametrize("bad", [3, None, b"observe", 1.0, ["act"]], ids=repr)
def test_from_wire_name_wants_a_str(cls_name, bad):
    with pytest.raises(TypeError) as info:
        getattr(q, cls_name).from_wire_name(bad)
    assert str(info.value) == f"'{type(bad).__name__}' object is not an instance of 'str'"
    assert info.value.__notes__ == ["while processing 'name'"]


@pytest.mark.parametrize("cls_name", WITH_LOOKUP)
def test_from_wire_name_signature_and_matching(cls_name):
    f = getattr(q, cls_name).from_wire_name
    assert f.__text_signature__ == "(name)"
    assert f.__doc__ is None  # "from_wire_name(name)\n--\n\n" carries nothing after the signature
    with pytest.raises(TypeError, match=rf"^{cls_name}\.from_wire_name\(\) missing 1 required positional "
                                        r"argument: 'name'$"):
        f()
    with pytest.raises(TypeError, match=rf"^{cls_name}\.from_wire_name\(\) takes 1 positional arguments but "
                                        r"2 were given$"):
        f("a", "b")
    with pytest.raises(TypeError, match=rf"^{cls_name}\.from_wire_name\(\) got an unexpected keyword "
                                        r"argument 'wire'$"):
        f(wire="a")
    # also reachable through an instance
    first = getattr(getattr(q, cls_name), ENUMS[cls_name][2][0][0])
    assert first.from_wire_name(ENUMS[cls_name][2][-1][1]) is getattr(getattr(q, cls_name), ENUMS[cls_name][2][-1][0])


def test_results_of_module_calls_are_the_shared_instances():
    session = q.Session(q.SessionPolicy.default())
    assert session.state is q.SessionState.Connecting
    assert session.end() is q.SessionState.Dead
    assert session.state is q.SessionState.Dead
