"""Pending asks and the per-turn reply ledger, in plain Python.

Minted tokens come from the same SplitMix64 sequence as the native registry, so a registry
with the same seed hands out the same tokens and tickets.
"""

import enum
import os
from typing import Optional

from pure_channels import TicketSource

_MASK = 2**64 - 1


class ClaimOutcome(enum.Enum):
    Claimed = "claimed"
    AlreadyClaimed = "already_claimed"
    Stale = "stale"


class CancelledDecisions:
    """What a cancellation removed, oldest first."""

    __slots__ = ("unclaimed", "claimed")

    def __init__(self, unclaimed: list[str], claimed: list[str]) -> None:
        self.unclaimed = unclaimed
        self.claimed = claimed


class _Ask:
    __slots__ = ("room_id", "ticket", "claimed")

    def __init__(self, room_id: Optional[str], ticket: int) -> None:
        self.room_id = room_id
        self.ticket = ticket
        self.claimed = False


class DecisionRegistry(TicketSource):
    def __init__(self, *, max_pending: Optional[int] = None, seed: Optional[int] = None) -> None:
        if max_pending is not None and not 1 <= max_pending <= 2**32 - 1:
            raise ValueError(f"`max_pending` must be an integer between 1 and 4294967295, got {max_pending}")
        if seed is None:
            seed = int.from_bytes(os.urandom(8), "little")
        elif not 0 <= seed <= _MASK:
            raise ValueError(f"`seed` must be an integer between 0 and 18446744073709551615, got {seed}")
        self.max_pending = max_pending
        self._asks: dict[str, _Ask] = {}  # token -> _Ask, oldest registration first
        self._rng_state = seed

    def _draw_token(self) -> str:
        self._rng_state = (self._rng_state + 0x9E3779B97F4A7C15) & _MASK
        z = self._rng_state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & _MASK
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & _MASK
        z ^= z >> 31
        return format(z & 0xFFFFFFFF, "08x")

    def register_minted(self, room_id: Optional[str] = None) -> Optional[tuple[str, int]]:
        ticket = self._new_ticket()
        if ticket is None:
            return None
        token = self._draw_token()
        while token in self._asks:
            token = self._draw_token()
        self._asks[token] = _Ask(room_id, ticket)
        return token, ticket

    def register_keyed(self, key: str) -> Optional[tuple[str, int]]:
        ask = self._asks.get(key)
        if ask is not None and ask.claimed:
            return None
        ticket = self._new_ticket()
        if ticket is None:
            return None
        if ask is None:
            self._asks[key] = _Ask(None, ticket)
        else:
            ask.room_id, ask.ticket = None, ticket
        return key, ticket

    def try_claim(self, token: str, ticket: int) -> ClaimOutcome:
        ask = self._asks.get(token)
        if ask is None or ask.ticket != ticket:
            return ClaimOutcome.Stale
        if ask.claimed:
            return ClaimOutcome.AlreadyClaimed
        ask.claimed = True
        return ClaimOutcome.Claimed

    def withdraw(self, token: str, ticket: int) -> bool:
        ask = self._asks.get(token)
        if ask is None or ask.ticket != ticket or ask.claimed:
            return False
        del self._asks[token]
        return True

    def forget(self, token: str, ticket: int) -> bool:
        ask = self._asks.get(token)
        if ask is None or ask.ticket != ticket:
            return False
        del self._asks[token]
        return True

    def unclaimed(self) -> list[str]:
        return [token for token, ask in self._asks.items() if not ask.claimed]

    def unclaimed_in_room(self, room_id: str) -> list[str]:
        return [token for token, ask in self._asks.items() if not ask.claimed and ask.room_id == room_id]

    def unclaimed_count(self) -> int:
        return sum(1 for ask in self._asks.values() if not ask.claimed)

    def oldest_unclaimed(self) -> Optional[str]:
        return next((token for token, ask in self._asks.items() if not ask.claimed), None)

    def evict_oldest(self) -> Optional[str]:
        if self.max_pending is None or len(self._asks) < self.max_pending:
            return None
        token = self.oldest_unclaimed()
        if token is not None:
            del self._asks[token]
        return token

    def _cancel(self, tokens: list[str]) -> CancelledDecisions:
        cancelled = CancelledDecisions([], [])
        for token in tokens:
            (cancelled.claimed if self._asks.pop(token).claimed else cancelled.unclaimed).append(token)
        return cancelled

    def cancel_all(self) -> CancelledDecisions:
        return self._cancel(list(self._asks))

    def cancel_room(self, room_id: str) -> CancelledDecisions:
        return self._cancel([token for token, ask in self._asks.items() if ask.room_id == room_id])


class TurnEffect(enum.Enum):
    Observe = "observe"
    Act = "act"
    Reply = "reply"
    Decline = "decline"


class TurnVerdict(enum.Enum):
    Complete = "complete"
    MissingReply = "missing_reply"


class TurnLedger:
    __slots__ = ("_settled", "_reply_settled")

    def __init__(self) -> None:
        self._settled = False
        self._reply_settled = False

    def record(self, effect: TurnEffect) -> None:
        if not isinstance(effect, TurnEffect):
            raise TypeError("effect must be a TurnEffect")
        if effect is TurnEffect.Act:
            self._settled = True
        elif effect is TurnEffect.Reply or effect is TurnEffect.Decline:
            self._settled = self._reply_settled = True

    def settle(self) -> None:
        self._settled = True

    note_reported = settle

    def reply_settled(self) -> bool:
        return self._reply_settled

    def verdict(self) -> TurnVerdict:
        return TurnVerdict.Complete if self._settled else TurnVerdict.MissingReply
