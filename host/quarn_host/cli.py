"""The command lines: `python -m quarn_host` runs the host, `python -m quarn_host.replay` checks a
journal."""

from __future__ import annotations

import argparse
import asyncio
import json
import sys

from . import simulator
from .host import run
from .journal import replay


def host_main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m quarn_host", description="The reference agent host.")
    parser.add_argument("--url", help="the platform's WebSocket URL (default: a built-in simulator)")
    parser.add_argument("--agent-id", default=simulator.AGENT_ID)
    parser.add_argument("--time-scale", type=float, default=1.0,
                        help="multiply every wait by this (0.1 runs the demo ten times faster)")
    parser.add_argument("--journal", metavar="FILE", help="write every module call as JSON lines")
    args = parser.parse_args(argv)
    if not 0 < args.time_scale <= 100:
        parser.error("--time-scale must be above 0 and at most 100")
    try:
        asyncio.run(run(args.time_scale, args.url, args.agent_id, args.journal))
    except KeyboardInterrupt:
        return 130
    return 0


def replay_main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m quarn_host.replay",
                                     description="Replay a quarn_sdk_core decision journal.")
    parser.add_argument("journal", help="a JSON-lines file written by the host's --journal")
    args = parser.parse_args(argv)
    count, differences = replay(args.journal)
    for d in differences:
        print(f"line {d.line}: {d.call}\n  recorded: {json.dumps(d.recorded)}\n"
              f"  replayed: {json.dumps(d.replayed)}")
    print(f"{count} calls replayed, {len(differences)} differ")
    return 1 if differences else 0
