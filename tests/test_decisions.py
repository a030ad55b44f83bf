import os

import pytest

from quarn_sdk_core import CancelledDecisions, ClaimOutcome, DecisionRegistry, is_authorized_sender

MAX_PENDING_RANGE = "`max_pending` must be an integer between 1 and 4294967295, got "
SEED_RANGE = "`seed` must be an integer between 0 and 18446744073709551615, got "


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def minted(registry, n, room_id=None):
    return [registry.register_minted(room_id) for _ in range(n)]


class TestMinting:
    def test_seed_zero_sequence(self):
        registry = DecisionRegistry(seed=0)
        assert minted(registry, 2) == [("7b1dcdaf", 0), ("a1b965f4", 1)]

    @pytest.mark.parametrize("seed", [1, 2**63, 2**64 - 1])
    def test_tokens_are_eight_lowercase_hex_digits_and_reproducible(self, seed):
        tokens = [t for t, _ in minted(DecisionRegistry(seed=seed), 50)]
        assert all(len(t) == 8 and set(t) <= set("0123456789abcdef") for t in tokens)
        assert tokens == [t for t, _ in minted(DecisionRegistry(seed=seed), 50)]
        assert len(set(tokens)) == 50

    def test_a_registered_token_is_never_minted_again(self):
        registry = DecisionRegistry(seed=0)
        assert registry.register_keyed("7b1dcdaf") == ("7b1dcdaf", 0)
        assert registry.register_minted() == ("a1b965f4", 1)

    def test_without_seed_reads_os_urandom_little_endian(self, monkeypatch):
        raw = bytes(range(1, 9))
        calls = []

        def fake_urandom(n):
            calls.append(n)
            return raw

        monkeypatch.setattr(os, "urandom", fake_urandom)
        registry = DecisionRegistry()
        assert calls == [8]
        expected = DecisionRegistry(seed=int.from_bytes(raw, "little"))
        assert minted(registry, 3) == minted(expected, 3)
        assert calls == [8]

    def test_random_source_failure_propagates(self, monkeypatch):
        def broken(n):
            raise OSError("no entropy")

        monkeypatch.setattr(os, "urandom", broken)
        with pytest.raises(OSError, match="no entropy"):
            DecisionRegistry(max_pending=3)

    @pytest.mark.parametrize("result", [b"1234567", "12345678", None])
    def test_random_source_of_the_wrong_shape_is_refused(self, monkeypatch, result):
        monkeypatch.setattr(os, "urandom", lambda n: result)
        with pytest.raises(TypeError, match="did not return 8 bytes"):
            DecisionRegistry()


class TestConstructor:
    @pytest.mark.parametrize(
        "kwargs, message",
        [
            ({"max_pending": 0}, MAX_PENDING_RANGE + "0"),
            ({"max_pending": -5}, MAX_PENDING_RANGE + "-5"),
            ({"max_pending": 2**32}, MAX_PENDING_RANGE + "4294967296"),
            ({"max_pending": 10**30}, MAX_PENDING_RANGE + str(10**30)),
            ({"seed": -1}, SEED_RANGE + "-1"),
            ({"seed": 2**64}, SEED_RANGE + "18446744073709551616"),
            ({"max_pending": 0, "seed": -1}, MAX_PENDING_RANGE + "0"),
        ],
    )
    def test_range_errors(self, kwargs, message):
        with pytest.raises(ValueError) as info:
            DecisionRegistry(**kwargs)
        assert str(info.value) == message

    @pytest.mark.parametrize(
        "kwargs, param, type_name",
        [
            ({"max_pending": 1.5}, "max_pending", "float"),
            ({"max_pending": "3"}, "max_pending", "str"),
            ({"seed": 1.0}, "seed", "float"),
            # an integer by __index__ is not an int
            ({"max_pending": Index(3)}, "max_pending", "Index"),
            ({"seed": Index(3)}, "seed", "Index"),
            # type errors come before range errors, whichever argument has them
            ({"max_pending": 0, "seed": "x"}, "seed", "str"),
            ({"max_pending": "x", "seed": -1}, "max_pending", "str"),
        ],
    )
    def test_type_errors_name_the_parameter(self, kwargs, param, type_name):
        with pytest.raises(TypeError) as info:
            DecisionRegistry(**kwargs)
        assert str(info.value) == f"'{type_name}' object is not an instance of 'int'"
        assert info.value.__notes__ == [f"while processing '{param}'"]

    def test_arguments_are_keyword_only(self):
        with pytest.raises(TypeError, match=r"takes 0 positional arguments but 1 was given"):
            DecisionRegistry(5)

    @pytest.mark.parametrize("value, expected", [(None, None), (1, 1), (4294967295, 4294967295), (True, 1)])
    def test_max_pending_attribute(self, value, expected):
        registry = DecisionRegistry(max_pending=value, seed=0)
        assert registry.max_pending == expected
        with pytest.raises(AttributeError):
            registry.max_pending = 3


class TestKeyedRegistration:
    def test_reregistration_makes_older_tickets_stale(self):
        registry = DecisionRegistry(seed=0)
        assert registry.register_keyed("k") == ("k", 0)
        assert registry.register_keyed("k") == ("k", 1)
        assert registry.try_claim("k", 0) is ClaimOutcome.Stale
        assert registry.withdraw("k", 0) is False
        assert registry.forget("k", 0) is False
        assert registry.try_claim("k", 1) is ClaimOutcome.Claimed
        assert registry.register_keyed("k") is None

    def test_refused_reregistration_uses_no_ticket(self):
        registry = DecisionRegistry(seed=0)
        registry.register_keyed("k")
        registry.try_claim("k", 0)
        assert registry.register_keyed("k") is None
        assert registry.register_keyed("j") == ("j", 1)

    def test_reregistration_keeps_the_place(self):
        registry = DecisionRegistry(seed=0)
        for key in ("a", "b", "c"):
            registry.register_keyed(key)
        registry.register_keyed("a")
        assert registry.unclaimed() == ["a", "b", "c"]
        assert registry.oldest_unclaimed() == "a"

    def test_keyed_reuse_of_a_minted_token_drops_its_room(self):
        registry = DecisionRegistry(seed=0)
        token, _ = registry.register_minted("r")
        assert registry.register_keyed(token) == (token, 1)
        assert registry.unclaimed_in_room("r") == []
        cancelled = registry.cancel_room("r")
        assert (cancelled.unclaimed, cancelled.claimed) == ([], [])
        assert registry.unclaimed() == [token]


class TestClaimWithdrawForget:
    @pytest.fixture
    def registry(self):
        registry = DecisionRegistry(seed=0)
        registry.register_keyed("k")
        return registry

    @pytest.mark.parametrize(
        "token, ticket, outcome",
        [("k", 0, ClaimOutcome.Claimed), ("k", 1, ClaimOutcome.Stale), ("x", 0, ClaimOutcome.Stale)],
    )
    def test_try_claim(self, registry, token, ticket, outcome):
        assert registry.try_claim(token, ticket) is outcome

    def test_second_claim_is_already_claimed(self, registry):
        assert registry.try_claim("k", 0) is ClaimOutcome.Claimed
        assert registry.try_claim("k", 0) is ClaimOutcome.AlreadyClaimed
        assert registry.unclaimed() == [] and registry.unclaimed_count() == 0

    @pytest.mark.parametrize("claimed, withdrawn, forgotten", [(False, True, True), (True, False, True)])
    def test_withdraw_and_forget(self, claimed, withdrawn, forgotten):
        for method, expected in (("withdraw", withdrawn), ("forget", forgotten)):
            registry = DecisionRegistry(seed=0)
            registry.register_keyed("k")
            if claimed:
                registry.try_claim("k", 0)
            assert getattr(registry, method)("k", 0) is expected
            assert (registry.try_claim("k", 0) is ClaimOutcome.Stale) is expected

    def test_forgotten_key_registers_fresh_at_the_newest_end(self, registry):
        registry.register_keyed("j")
        registry.try_claim("k", 0)
        assert registry.forget("k", 0)
        assert registry.register_keyed("k") == ("k", 2)
        assert registry.unclaimed() == ["j", "k"]

    @pytest.mark.parametrize("ticket, error", [(-1, OverflowError), (2**64, OverflowError), ("0", TypeError)])
    def test_bad_tickets_are_conversion_errors(self, registry, ticket, error):
        with pytest.raises(error) as info:
            registry.try_claim("k", ticket)
        assert info.value.__notes__ == ["while processing 'ticket'"]
        assert registry.unclaimed() == ["k"]

    def test_reentrant_index_is_refused_and_changes_nothing(self, registry):
        class Sneaky:
            def __index__(self):
                registry.forget("k", 0)
                return 0

        with pytest.raises(RuntimeError, match="Already borrowed"):
            registry.try_claim("k", Sneaky())
        assert registry.unclaimed() == ["k"]
        assert registry.try_claim("k", 0) is ClaimOutcome.Claimed


class TestListingsAndEviction:
    def test_listings_by_room(self):
        registry = DecisionRegistry(seed=0)
        a, _ = registry.register_minted("r")
        b, _ = registry.register_minted("s")
        c, tc = registry.register_minted("r")
        registry.register_keyed("k")
        registry.register_minted()
        registry.try_claim(c, tc)
        assert registry.unclaimed_in_room("r") == [a]
        assert registry.unclaimed_in_room("s") == [b]
        assert registry.unclaimed_in_room("none") == []
        assert registry.unclaimed_count() == 4
        assert registry.unclaimed()[:3] == [a, b, "k"]
        d, _ = registry.register_minted("r")
        e, _ = registry.register_minted("r")
        assert registry.unclaimed_in_room("r") == [a, d, e]  # several unclaimed asks in one room

    @pytest.mark.parametrize("end", ["forget", "withdraw", "cancel_room"])
    def test_a_room_emptied_and_filled_again(self, end):
        # Asks refer to their room's entry; once the last ask leaves, the entry goes, and asks
        # registered later in a room of the same name must list and cancel by it alone.
        registry = DecisionRegistry(seed=3)
        room = "room-" + "x" * 40
        first = [registry.register_minted(room) for _ in range(3)]
        other, _ = registry.register_minted("other")
        if end == "cancel_room":
            assert len(registry.cancel_room(room).unclaimed) == 3
        else:
            for token, ticket in first:
                assert getattr(registry, end)(token, ticket)
        assert registry.unclaimed_in_room(room) == []
        later = [registry.register_minted("".join(room)) for _ in range(2)]
        registry.try_claim(*later[0])
        assert registry.unclaimed_in_room(room) == [later[1][0]]
        assert registry.unclaimed_in_room("other") == [other]
        cancelled = registry.cancel_room(room)
        assert (cancelled.unclaimed, cancelled.claimed) == ([later[1][0]], [later[0][0]])
        assert registry.unclaimed() == [other]

    def test_re_keyed_ask_leaves_its_room(self):
        registry = DecisionRegistry(seed=0)
        token, _ = registry.register_minted("r")
        assert registry.register_keyed(token) == (token, 1)  # the key of a minted ask
        assert registry.unclaimed_in_room("r") == []
        assert registry.cancel_room("r").unclaimed == []
        assert registry.unclaimed() == [token]

    def test_evict_skips_claimed_asks(self):
        registry = DecisionRegistry(max_pending=2, seed=0)
        registry.register_keyed("old")
        registry.register_keyed("new")
        registry.try_claim("old", 0)
        assert registry.evict_oldest() == "new"
        assert registry.evict_oldest() is None  # one ask left, below the bound
        assert registry.register_keyed("newer") == ("newer", 2)
        registry.try_claim("newer", 2)
        assert registry.evict_oldest() is None  # every ask claimed
        assert registry.try_claim("old", 0) is ClaimOutcome.AlreadyClaimed

    def test_evict_counts_claimed_asks_against_the_bound(self):
        registry = DecisionRegistry(max_pending=3, seed=0)
        for key in ("a", "b", "c"):
            registry.register_keyed(key)
        registry.try_claim("a", 0)
        assert registry.evict_oldest() == "b"
        assert registry.evict_oldest() is None

    def test_without_bound_nothing_is_evicted(self):
        registry = DecisionRegistry(seed=0)
        minted(registry, 100)
        assert registry.evict_oldest() is None
        assert registry.unclaimed_count() == 100

    def test_registration_never_evicts(self):
        registry = DecisionRegistry(max_pending=1, seed=0)
        assert len(minted(registry, 5)) == 5
        assert registry.unclaimed_count() == 5


class TestCancellation:
    def build(self):
        registry = DecisionRegistry(seed=0)
        tokens = {}
        for name, room in [("r1", "r"), ("s1", "s"), ("r2", "r"), ("n1", None), ("r3", "r")]:
            tokens[name] = registry.register_minted(room)
        registry.try_claim(*tokens["r2"])
        return registry, {name: token for name, (token, _) in tokens.items()}

    def test_cancel_room_leaves_other_asks_in_order(self):
        registry, t = self.build()
        cancelled = registry.cancel_room("r")
        assert cancelled.unclaimed == [t["r1"], t["r3"]]
        assert cancelled.claimed == [t["r2"]]
        assert registry.unclaimed() == [t["s1"], t["n1"]]
        assert registry.unclaimed_in_room("r") == []
        again = registry.cancel_room("r")
        assert (again.unclaimed, again.claimed) == ([], [])

    def test_cancel_all_empties_but_keeps_counting_tickets(self):
        registry, t = self.build()
        cancelled = registry.cancel_all()
        assert cancelled.unclaimed == [t["r1"], t["s1"], t["n1"], t["r3"]]
        assert cancelled.claimed == [t["r2"]]
        assert registry.unclaimed() == [] and registry.oldest_unclaimed() is None
        assert registry.register_keyed("k") == ("k", 5)

    def test_cancelled_lists_are_fresh_and_the_class_is_not_constructible(self):
        registry, _ = self.build()
        cancelled = registry.cancel_all()
        cancelled.unclaimed.clear()
        assert len(cancelled.unclaimed) == 4
        assert isinstance(cancelled, CancelledDecisions)
        with pytest.raises(TypeError):
            CancelledDecisions()


class OddStr(str):
    def __eq__(self, other):
        return True

    __hash__ = str.__hash__


class TestAuthorizedSender:
    @pytest.mark.parametrize(
        "senders, sender, expected",
        [
            (None, None, True),
            (None, "anyone", True),
            (set(), "u", False),
            ({"u"}, None, False),
            (frozenset({"u"}), "u", True),
            ({"u", "v"}, "w", False),
            ({"u"}, "U", False),
            ({OddStr("x")}, "u", False),
            ({OddStr("u")}, "u", True),
        ],
    )
    def test_rule(self, senders, sender, expected):
        assert is_authorized_sender(senders, sender) is expected

    @pytest.mark.parametrize(
        "senders, sender, param",
        [
            (["u"], "u", "authorized_senders"),
            ({"u": 1}, "u", "authorized_senders"),
            ({"u", 3}, "u", "authorized_senders"),
            ({"u"}, 3, "sender_id"),
            (None, b"u", "sender_id"),
        ],
    )
    def test_type_errors(self, senders, sender, param):
        with pytest.raises(TypeError) as info:
            is_authorized_sender(senders, sender)
        assert info.value.__notes__ == [f"while processing '{param}'"]
