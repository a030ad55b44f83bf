import pytest

from quarn_sdk_core import (
    TurnEffect,
    TurnLedger,
    TurnVerdict,
    missing_reply_message,
    no_reply_tool,
    quarn_tool_effects,
)

E = TurnEffect


class TestLedger:
    @pytest.mark.parametrize(
        "steps, verdict, reply_settled",
        [
            ([], TurnVerdict.MissingReply, False),
            ([E.Observe], TurnVerdict.MissingReply, False),
            ([E.Observe, E.Observe], TurnVerdict.MissingReply, False),
            ([E.Act], TurnVerdict.Complete, False),
            ([E.Reply], TurnVerdict.Complete, True),
            ([E.Decline], TurnVerdict.Complete, True),
            ([E.Reply, E.Observe], TurnVerdict.Complete, True),
            ([E.Reply, E.Act], TurnVerdict.Complete, True),
            ([E.Act, E.Observe], TurnVerdict.Complete, False),
            (["settle"], TurnVerdict.Complete, False),
            (["note_reported"], TurnVerdict.Complete, False),
            (["settle", E.Decline], TurnVerdict.Complete, True),
        ],
    )
    def test_flags_only_accumulate(self, steps, verdict, reply_settled):
        ledger = TurnLedger()
        for step in steps:
            if isinstance(step, str):
                assert getattr(ledger, step)() is None
            else:
                assert ledger.record(step) is None
        for _ in range(2):  # asking does not change anything
            assert ledger.verdict() is verdict
            assert ledger.reply_settled() is reply_settled

    @pytest.mark.parametrize("value", [2, "reply", TurnVerdict.Complete, None, E])
    def test_record_takes_only_a_turn_effect(self, value):
        ledger = TurnLedger()
        with pytest.raises(TypeError) as info:
            ledger.record(value)
        assert info.value.__notes__ == ["while processing 'effect'"]
        assert ledger.verdict() is TurnVerdict.MissingReply

    def test_constructor_takes_no_arguments(self):
        with pytest.raises(TypeError, match=r"TurnLedger.__new__\(\) takes 0 positional arguments but 1 was given"):
            TurnLedger(1)

    @pytest.mark.parametrize(
        "cls, name, expected",
        [
            (TurnEffect, "reply", TurnEffect.Reply),
            (TurnEffect, "Reply", None),
            (TurnVerdict, "missing_reply", TurnVerdict.MissingReply),
            (TurnVerdict, "missing-reply", None),
            (TurnVerdict, " complete", None),
        ],
    )
    def test_from_wire_name(self, cls, name, expected):
        assert cls.from_wire_name(name) is expected


class TestToolCatalogue:
    def test_order_and_effects(self):
        effects = quarn_tool_effects()
        names = list(effects)
        assert len(names) == 28
        assert names[0] == "quarn_get_participants" and names[-1] == "quarn_no_reply"
        assert all(name.startswith("quarn_") for name in names)
        # effects are unhashable: count by wire name
        counts = {}
        for effect in effects.values():
            counts[str(effect)] = counts.get(str(effect), 0) + 1
        assert counts == {"observe": 13, "act": 12, "reply": 2, "decline": 1}
        assert names.index("quarn_send_event") == 12 and names.index("quarn_add_participant") == 13

    @pytest.mark.parametrize(
        "tool, effect",
        [
            ("quarn_send_event", E.Observe),
            ("quarn_get_board", E.Observe),
            ("quarn_set_board", E.Act),
            ("quarn_respond_contact_request", E.Act),
            ("quarn_send_message", E.Reply),
            ("quarn_send_room_file", E.Reply),
            ("quarn_no_reply", E.Decline),
        ],
    )
    def test_effect_of(self, tool, effect):
        assert quarn_tool_effects()[tool] is effect

    def test_each_call_returns_a_new_dict(self):
        first = quarn_tool_effects()
        first.clear()
        assert len(quarn_tool_effects()) == 28


class TestNoReplyToolAndNotice:
    def test_no_reply_tool(self):
        tool = no_reply_tool()
        assert list(tool) == ["name", "description", "parameters"]
        assert tool["name"] == "quarn_no_reply"
        assert tool["description"].startswith("End this turn without posting anything to the room.\n\nConsider ")
        assert tool["description"].endswith("It is a complete turn, not an error; do not also send a message.")
        assert tool["parameters"] == [
            {
                "name": "reason",
                "description": "Short note on why no reply is needed (kept in local logs only)",
                "required": False,
            }
        ]
        assert list(tool["parameters"][0]) == ["name", "description", "required"]
        tool["parameters"].clear()
        assert len(no_reply_tool()["parameters"]) == 1

    def test_missing_reply_message(self):
        assert missing_reply_message() == (
            "The agent ended its turn without replying or calling quarn_no_reply, so nothing reached the room."
        )

    @pytest.mark.parametrize("function", [quarn_tool_effects, no_reply_tool, missing_reply_message])
    def test_functions_take_no_arguments(self, function):
        with pytest.raises(TypeError, match="takes no arguments"):
            function(1)
        assert function.__text_signature__ == "()"
