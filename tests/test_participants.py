import gc
from collections.abc import Mapping

import pytest

from quarn_sdk_core import ParticipantRoster


def row(id, name=None, type=None, handle=None, description=None):
    return {"id": id, "name": name, "type": type, "handle": handle, "description": description}


class ReadOnlyMapping(Mapping):
    def __init__(self, data):
        self._data = data

    def __getitem__(self, key):
        return self._data[key]

    def __iter__(self):
        return iter(self._data)

    def __len__(self):
        return len(self._data)


class TestAddAndMerge:
    @pytest.mark.parametrize(
        "first, update, expected",
        [
            ({"id": "u1", "name": "Alpha"}, {"id": "u1", "name": ""}, row("u1", "Alpha")),
            ({"id": "u1", "name": "Alpha"}, {"id": "u1", "name": None}, row("u1", "Alpha")),
            ({"id": "u1", "name": "Alpha"}, {"id": "u1"}, row("u1", "Alpha")),
            ({"id": "u1", "name": "Alpha"}, {"id": "u1", "name": "Beta"}, row("u1", "Beta")),
            ({"id": "u1"}, {"id": "u1", "handle": ""}, row("u1")),
            ({"id": "u1", "type": ""}, {"id": "u1"}, row("u1", type="")),
            (
                {"id": "u1", "name": "A", "type": "human", "handle": "a", "description": "d"},
                {"id": "u1", "type": "agent", "description": ""},
                row("u1", "A", "agent", "a", "d"),
            ),
        ],
    )
    def test_an_update_never_blanks_a_field(self, first, update, expected):
        roster = ParticipantRoster()
        assert roster.add(first) is True
        assert roster.add(update) is False
        assert roster.list() == [expected]

    def test_only_the_five_fields_are_kept_in_order(self):
        roster = ParticipantRoster()
        roster.add({"extra": 1, "handle": "h", "id": "u1"})
        (entry,) = roster.list()
        assert entry == row("u1", handle="h")
        assert list(entry) == ["id", "name", "type", "handle", "description"]

    def test_refresh_keeps_the_place(self):
        roster = ParticipantRoster()
        for pid in ("a", "b", "c"):
            roster.add({"id": pid})
        roster.add({"id": "a", "name": "A"})
        assert [p["id"] for p in roster.list()] == ["a", "b", "c"]

    def test_any_mapping_is_a_participant(self):
        roster = ParticipantRoster()
        roster.add(ReadOnlyMapping({"id": "m", "name": "M"}))
        assert roster.list() == [row("m", "M")]

    def test_remove(self):
        roster = ParticipantRoster()
        for pid in ("a", "b", "c"):
            roster.add({"id": pid})
        assert roster.remove("b") is True
        assert roster.remove("b") is False
        assert roster.add({"id": "c", "name": "C"}) is False  # the index still finds entries after a removal
        assert roster.list() == [row("a"), row("c", "C")]


class TestConversionErrors:
    @pytest.mark.parametrize(
        "participant, message",
        [
            ({"id": 5}, "participant field `id` must be a string"),
            ({"name": "x"}, "participant field `id` must be a string"),
            ({"id": None}, "participant field `id` must be a string"),
            (["u1"], "participant must be a mapping"),
            ("u1", "participant must be a mapping"),
            ({"id": "u1", "type": 3}, "participant field `type` must be a string or None"),
            ({"id": "u1", "description": [], "name": 1}, "participant field `name` must be a string or None"),
            ({"id": "u1", 1: "x"}, "dict keys must have type str"),
        ],
    )
    def test_texts(self, participant, message):
        roster = ParticipantRoster()
        roster.add({"id": "keep"})
        with pytest.raises(TypeError) as info:
            roster.add(participant)
        assert str(info.value) == message
        assert not getattr(info.value, "__notes__", None)
        assert roster.list() == [row("keep")]

    def test_dropped_keys_must_still_convert(self):
        with pytest.raises(TypeError):
            ParticipantRoster().add({"id": "u1", "x": object()})


class TestSetAll:
    def test_duplicates_report_every_repeat_and_change_nothing(self):
        roster = ParticipantRoster()
        roster.add({"id": "keep"})
        with pytest.raises(ValueError) as info:
            roster.set_all([{"id": "a"}, {"id": "b"}, {"id": "a"}, {"id": "a"}])
        message = "duplicate participant id `a` in set_all snapshot"
        assert info.value.issues == (
            ("participants[2].id", "invalid_value", message),
            ("participants[3].id", "invalid_value", message),
        )
        assert info.value.trace_context is None
        assert roster.list() == [row("keep")]

    def test_snapshot_replaces_merges_and_reorders(self):
        roster = ParticipantRoster()
        roster.add({"id": "a", "name": "A", "handle": "ha"})
        roster.add({"id": "b", "name": "B"})
        roster.add({"id": "gone"})
        roster.mark_sent()
        roster.set_all([{"id": "b", "name": ""}, {"id": "new", "name": ""}, {"id": "a", "handle": "hb"}])
        assert roster.list() == [row("b", "B"), row("new", ""), row("a", "A", handle="hb")]
        assert roster.changed() is True

    def test_any_iterable_and_failures_change_nothing(self):
        roster = ParticipantRoster()
        roster.set_all({"id": pid} for pid in ("x", "y"))
        assert [p["id"] for p in roster.list()] == ["x", "y"]
        with pytest.raises(TypeError, match="participant field `id` must be a string"):
            roster.set_all([{"id": "z"}, {"id": 1}])
        with pytest.raises(TypeError, match="not iterable"):
            roster.set_all(5)
        assert [p["id"] for p in roster.list()] == ["x", "y"]

    def test_empty_snapshot_clears(self):
        roster = ParticipantRoster()
        roster.add({"id": "a"})
        roster.set_all([])
        assert roster.list() == []


class TestChangeTracking:
    def test_sequence(self):
        roster = ParticipantRoster()
        assert roster.changed() is True
        roster.mark_sent()
        assert roster.changed() is False
        roster.add({"id": "u"})
        assert roster.changed() is True
        roster.remove("u")
        assert roster.changed() is False

    @pytest.mark.parametrize(
        "update, changed",
        [
            ({"id": "u", "name": "N"}, False),
            ({"id": "u", "name": ""}, False),
            ({"id": "u", "name": "M"}, True),
            ({"id": "u", "description": "d"}, True),
        ],
    )
    def test_field_changes(self, update, changed):
        roster = ParticipantRoster()
        roster.add({"id": "u", "name": "N"})
        roster.mark_sent()
        roster.add(update)
        assert roster.changed() is changed

    def test_sent_is_a_copy(self):
        roster = ParticipantRoster()
        roster.add({"id": "u", "name": "N"})
        roster.mark_sent()
        roster.add({"id": "u", "name": "M"})
        roster.add({"id": "u", "name": "N"})
        assert roster.changed() is False


class TestTraceContextProvider:
    DUPLICATES = [{"id": "a"}, {"id": "a"}]

    def trace_of_failure(self, roster, **kwargs):
        with pytest.raises(ValueError) as info:
            roster.set_all(self.DUPLICATES, **kwargs)
        return info.value.trace_context

    def test_explicit_argument_wins_and_skips_the_provider(self):
        calls = []
        roster = ParticipantRoster(trace_context_provider=lambda: calls.append(1) or "provided")
        assert self.trace_of_failure(roster, trace_context="explicit") == "explicit"
        assert calls == []

    class Stop(BaseException):
        pass

    @pytest.mark.parametrize(
        "provider, expected",
        [
            (lambda: "provided", "provided"),
            (lambda: None, None),
            (lambda: 42, None),
            (lambda: 1 / 0, None),
            (lambda: (_ for _ in ()).throw(RecursionError), None),
            (lambda: (_ for _ in ()).throw(TestTraceContextProvider.Stop), None),
            (lambda: "\ud800", None),
            ("not callable", None),
            (None, None),
        ],
    )
    def test_provider_answers(self, provider, expected):
        roster = ParticipantRoster(trace_context_provider=provider)
        assert self.trace_of_failure(roster) == expected
        assert self.trace_of_failure(roster, trace_context=None) == expected

    @pytest.mark.parametrize("exc", [KeyboardInterrupt, MemoryError])
    def test_provider_interrupts_are_not_swallowed(self, exc):
        def provider():
            raise exc()

        roster = ParticipantRoster(trace_context_provider=provider)
        roster.add({"id": "kept"})
        with pytest.raises(exc):
            roster.set_all([{"id": "a"}])
        assert [p["id"] for p in roster.list()] == ["kept"]

    def test_provider_is_consulted_for_valid_snapshots_too(self):
        calls = []
        roster = ParticipantRoster(trace_context_provider=lambda: calls.append(1))
        roster.set_all([{"id": "a"}])
        assert calls == [1]

    def test_trace_context_must_be_str(self):
        with pytest.raises(TypeError) as info:
            ParticipantRoster().set_all([], trace_context=5)
        assert info.value.__notes__ == ["while processing 'trace_context'"]

    def test_provider_calling_back_into_the_roster_is_swallowed(self):
        seen = []

        def provider():
            try:
                roster.list()
            except RuntimeError as e:
                seen.append(str(e))
            roster.add({"id": "intruder"})  # refused; the error counts as a provider failure

        roster = ParticipantRoster(trace_context_provider=provider)
        roster.set_all([{"id": "a"}, {"id": "b"}])
        assert seen == ["Already mutably borrowed"]
        assert [p["id"] for p in roster.list()] == ["a", "b"]

    def test_reentrant_mapping_is_refused(self):
        roster = ParticipantRoster()

        class Sneaky(ReadOnlyMapping):
            def __getitem__(self, key):
                roster.remove("a")
                return super().__getitem__(key)

        roster.add({"id": "a"})
        # the refusal surfaces through the JSON conversion, which reports failures as TypeError
        with pytest.raises(TypeError, match="Already borrowed"):
            roster.set_all([Sneaky({"id": "b"})])
        assert roster.list() == [row("a")]


class TestGarbageCollection:
    def test_provider_is_traversed(self):
        def provider():
            return "x"

        roster = ParticipantRoster(trace_context_provider=provider)
        assert gc.is_tracked(roster)
        assert provider in gc.get_referents(roster)

    def test_self_referencing_roster_is_collected(self):
        ran = []

        class Provider:
            def __call__(self):
                return "t"

            def __del__(self):
                ran.append(True)

        provider = Provider()
        provider.roster = ParticipantRoster(trace_context_provider=provider)
        del provider
        gc.collect()
        assert ran == [True]

    def test_provider_is_released_with_the_roster(self):
        ran = []

        class Provider:
            def __call__(self):
                return None

            def __del__(self):
                ran.append(True)

        roster = ParticipantRoster(trace_context_provider=Provider())
        del roster
        assert ran == [True]
