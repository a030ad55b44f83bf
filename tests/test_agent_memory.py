import pytest

from quarn_sdk_core import (
    MemoryListScope,
    MemoryStatus,
    MemoryStoreScope,
    MemorySystem,
    MemoryType,
    validate_memory_type_for_system,
)

SENSORY = ["iconic", "echoic", "haptic"]
CONCEPTUAL = ["episodic", "semantic", "procedural"]
TIERS = {"sensory": SENSORY, "working": CONCEPTUAL, "long_term": CONCEPTUAL}


def issues_of(system, memory_type, **kwargs):
    with pytest.raises(ValueError) as info:
        validate_memory_type_for_system(system, memory_type, **kwargs)
    return info.value


class TestAllowedTypes:
    @pytest.mark.parametrize("system", sorted(TIERS))
    @pytest.mark.parametrize("memory_type", SENSORY + CONCEPTUAL)
    def test_every_pair(self, system, memory_type):
        if memory_type in TIERS[system]:
            assert validate_memory_type_for_system(system, memory_type) is None
        else:
            error = issues_of(system, memory_type)
            expected = ", ".join(TIERS[system])
            message = f"type `{memory_type}` is not valid for system `{system}`; expected one of: {expected}"
            assert error.issues == (("type", "invalid_value", message),)
            assert str(error) == f"1 validation issue(s): {message} (type)"

    @pytest.mark.parametrize(
        "system, memory_type",
        [
            (MemorySystem.Working, MemoryType.Semantic),
            (MemorySystem.LongTerm, "procedural"),
            ("sensory", MemoryType.Haptic),
        ],
    )
    def test_instances_stand_for_their_wire_names(self, system, memory_type):
        assert validate_memory_type_for_system(system, memory_type) is None

    def test_instance_mismatch_names_the_wire_names(self):
        error = issues_of(MemorySystem.Working, "iconic")
        assert error.issues[0][2].endswith("system `working`; expected one of: episodic, semantic, procedural")


class TestUnknownNames:
    @pytest.mark.parametrize(
        "system, memory_type, expected",
        [
            ("mid_term", "semantic", [("system", "unknown memory system `mid_term`")]),
            ("Sensory", "iconic", [("system", "unknown memory system `Sensory`")]),
            ("working", "Semantic", [("type", "unknown memory type `Semantic`")]),
            ("x", "y", [("system", "unknown memory system `x`"), ("type", "unknown memory type `y`")]),
            ("", "", [("system", "unknown memory system ``"), ("type", "unknown memory type ``")]),
            # a str with no UTF-8 form names nothing, and is shown as given
            ("\ud800", "\udfff", [("system", "unknown memory system `\ud800`"),
                                  ("type", "unknown memory type `\udfff`")]),
        ],
    )
    def test_issues(self, system, memory_type, expected):
        error = issues_of(system, memory_type, trace_context="t")
        assert error.issues == tuple((path, "invalid_value", message) for path, message in expected)
        assert error.trace_context == "t"
        assert str(error).startswith(f"{len(expected)} validation issue(s): {expected[0][1]} ({expected[0][0]})")

    def test_without_trace_context(self):
        assert issues_of("x", "iconic").trace_context is None


class TestArgumentErrors:
    @pytest.mark.parametrize(
        "args, message",
        [
            ((5, "iconic"), "system must be a str"),
            ((MemoryType.Iconic, "iconic"), "system must be a str"),
            (("sensory", None), "memory_type must be a str"),
            (("sensory", MemorySystem.Sensory), "memory_type must be a str"),
            ((None, None), "system must be a str"),
        ],
    )
    def test_type_errors(self, args, message):
        with pytest.raises(TypeError) as info:
            validate_memory_type_for_system(*args)
        assert str(info.value) == message

    def test_trace_context_is_checked_first(self):
        with pytest.raises(TypeError) as info:
            validate_memory_type_for_system(5, None, trace_context=1)
        assert info.value.__notes__ == ["while processing 'trace_context'"]


class TestEnumerations:
    @pytest.mark.parametrize(
        "cls, name, expected",
        [
            (MemoryStatus, "all", MemoryStatus.All),
            (MemoryStoreScope, "all", None),
            (MemoryListScope, "all", MemoryListScope.All),
            (MemorySystem, "long_term", MemorySystem.LongTerm),
        ],
    )
    def test_from_wire_name(self, cls, name, expected):
        assert cls.from_wire_name(name) is expected
