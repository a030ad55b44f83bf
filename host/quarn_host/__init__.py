"""The reference agent host for quarn_sdk_core: one agent on a chat platform over a Phoenix
Channels WebSocket, every decision taken by the module.

    python -m quarn_host                       # against the built-in platform simulator
    python -m quarn_host --url wss://... --agent-id ...

The pieces are meant to be imported and extended: `Host` runs connections, `RoomWorker` serves
one room's messages, `ChannelClient` speaks Phoenix Channels v2, `Journal` records every module
call and `replay` checks a recording against the module.
"""

from .agent import ProviderError, ToyAgent, TurnInput
from .host import Connection, Host, run
from .journal import Core, Journal, replay
from .phoenix import ChannelClient, Frame, Reply

__all__ = ["ChannelClient", "Connection", "Core", "Frame", "Host", "Journal", "ProviderError", "Reply",
           "RoomWorker", "ToyAgent", "TurnInput", "replay", "run"]

from .delivery import RoomWorker  # noqa: E402  (after Host: the two refer to each other)
