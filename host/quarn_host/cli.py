"""The command lines: `python -m quarn_host` runs the host, `python -m quarn_host.replay` checks a
journal."""

from __future__ import annotations

import argparse
import asyncio
import cProfile
import json
import signal
import sys

from . import simulator
from .host import run
from .journal import replay
from .state import StateError


def host_main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m quarn_host", description="The reference agent host.")
    parser.add_argument("--url", help="the platform's WebSocket URL (default: a built-in simulator)")
    parser.add_argument("--agent-id", default=simulator.AGENT_ID)
    parser.add_argument("--time-scale", type=float, default=1.0,
                        help="multiply every wait by this (0.1 runs the demo ten times faster)")
    parser.add_argument("--journal", metavar="FILE", help="write every module call as JSON lines")
    parser.add_argument("--state", metavar="FILE",
                        help="keep what a crash must not lose in this SQLite file, and restore it on start")
    parser.add_argument("--quiet", action="store_true", help="print only errors, warnings and the summary")
    parser.add_argument("--profile", metavar="FILE", help="write cProfile statistics of the run to FILE")
    args = parser.parse_args(argv)
    if not 0 < args.time_scale <= 100:
        parser.error("--time-scale must be above 0 and at most 100")
    profile = cProfile.Profile() if args.profile else None
    if profile is not None:
        profile.enable()
    try:
        interrupted = asyncio.run(_serve(args))
    except StateError as exc:  # refused before anything started: one clean line
        print(f"quarn_host: {exc}", file=sys.stderr)
        return 2
    finally:
        if profile is not None:
            profile.disable()
            profile.dump_stats(args.profile)
    return 130 if interrupted else 0


async def _serve(args: argparse.Namespace) -> bool:
    """Runs the host; Ctrl-C or SIGTERM end the session from the host's side. True when one did."""
    interrupt = asyncio.Event()
    loop = asyncio.get_running_loop()
    for signum in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(signum, interrupt.set)
    await run(args.time_scale, args.url, args.agent_id, args.journal, quiet=args.quiet,
              state_path=args.state, interrupt=interrupt)
    return interrupt.is_set()


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
