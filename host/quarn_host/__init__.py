"""The reference agent host for quarn_sdk_core: one agent on a chat platform over a Phoenix
Channels WebSocket, every decision taken by the module.

    python -m quarn_host                       # against the built-in platform simulator
    python -m quarn_host --url wss://... --agent-id ...

The pieces are meant to be imported and extended: `Host` runs connections, `RoomWorker` serves
one room's messages, `ChannelClient` speaks Phoenix Channels v2, `Journal` records every module
call, `StateStore` keeps what a crash must not lose, and `replay` checks a recording against the
module.
"""

from .agent import Agent, ProviderError, ToyAgent, TurnInput
from .connection import Connection
from .delivery import RoomWorker
from .host import Host, run
from .journal import Core, Journal, replay
from .phoenix import ChannelClient, Frame, Reply
from .state import StateError, StateStore

__all__ = ["Agent", "ChannelClient", "Connection", "Core", "Frame", "Host", "Journal", "ProviderError", "Reply",
           "RoomWorker", "StateError", "StateStore", "ToyAgent", "TurnInput", "replay", "run"]
