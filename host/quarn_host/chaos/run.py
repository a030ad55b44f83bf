"""A chaos run: the platform serving the host, the dice that end its connections and kill it,
the users posting, and the report; `main` runs one from the command line."""

from __future__ import annotations

import argparse
import asyncio
import random
import shutil
import sys
import tempfile
import time
from pathlib import Path

import quarn_sdk_core as q
from websockets.asyncio.server import ServerConnection, serve
from websockets.http11 import Request, Response

from .. import simulator
from ..simulator import AGENT_ID
from .checker import Ledger
from .host_process import OPTIONAL_FLAGS, HostLog, HostRunner, host_flags
from .measures import Memory, module_cpu_share, percentile, rounded, rss_kb
from .platform import ChaosConnection, ChaosPlatform
from .settings import KILL_CHANCES, Faults, Settings
from .world import World

TICK_S = 0.25  # real seconds between rolls of the per-tick faults
LIFETIME_S = (0.5, 4.0)  # real seconds a connection lives before the fault chosen for it
KILL_LIMIT = 8
KILL_GAP_S = 1.5  # real seconds between two kills, so that each host gets some work done
SUPERSEDE_GRACE_S = 5.0  # real seconds a superseded host has to close its socket
EXIT_WAIT_S = 30.0  # real seconds the host has to exit after the final close
UNEXPECTED_EXITS = 3  # host exits the platform did not cause before it stops restarting it
CALM_WINDOW = 64  # open messages at most in a calm run: users post as fast as the host settles
RSS_MILESTONES = (1_000, 5_000, 20_000)  # settled messages at which the host's memory is noted


class ChaosRun:
    def __init__(self, settings: Settings, workdir: Path, flags: set[str]) -> None:
        self.settings = settings
        self.workdir = workdir
        self.flags = flags
        self.ledger = Ledger(kills=settings.kill_host)
        self.world = World(settings.seed, settings.faults.provider_failure)
        self.platform = ChaosPlatform(settings, self.world, self.ledger, log=self.note)
        self.platform.kill = self.kill
        self.rng = random.Random(f"{settings.seed}/connections")
        self.log = HostLog(Path(settings.log) if settings.log else workdir / "host.log", self.ledger)
        self.profile = workdir / "host.prof"
        self.runner = HostRunner([], self.log)
        self.memory = Memory()
        self.last_kill = -KILL_GAP_S
        self.host_gone = asyncio.Event()
        self.ledger.on_settled = self.milestone
        self.ledger.origin = self.started = time.monotonic()
        dead_s = q.SessionPolicy.default().dead_threshold_s * settings.time_scale
        self.silence_limit_s = 2 * dead_s + 2.0

    def command(self, url: str) -> list[str]:
        s = self.settings
        command = [sys.executable, "-m", "quarn_host", "--url", url, "--agent-id", AGENT_ID,
                   "--time-scale", str(s.time_scale)]
        if "--quiet" in self.flags and not s.loud:
            command.append("--quiet")
        state = s.state or (str(self.workdir / "host.state") if s.kill_host else None)
        if state and "--state" in self.flags:
            command += ["--state", state]
        if s.calm and s.profile and "--profile" in self.flags:
            command += ["--profile", str(self.profile)]
        return command

    async def run(self) -> None:
        server = await serve(self.accept, "127.0.0.1", 0, process_request=self.upgrade, ping_interval=None)
        self.runner.command = self.command(simulator.url_of(server))
        self.ledger.origin = self.started = time.monotonic()
        await self.runner.start()
        helpers = [asyncio.create_task(self.watch_memory())]
        if not self.settings.calm:
            helpers.append(asyncio.create_task(self.tick()))
        supervisor = asyncio.create_task(self.supervise())
        try:
            await self.post_all()
            await self.platform.settle()
            await self.wait_settled()
            await self.close_all()
            await self.wait_exit(supervisor)
        finally:
            for task in [*helpers, supervisor]:
                task.cancel()
            await asyncio.gather(*helpers, supervisor, return_exceptions=True)
            server.close()
            await server.wait_closed()
            self.log.close()
        self.ledger.finish()

    # -- the platform's side ------------------------------------------------------------------
    def note(self, line: str) -> None:
        """A platform event, interleaved with the host's output in its log."""
        self.log.keep(f"platform {time.monotonic() - self.started:8.3f}s  {line}\n")

    def upgrade(self, ws: ServerConnection, request: Request) -> Response | None:
        if self.platform.roll("upgrade_429", self.settings.faults.upgrade_429):
            retry_after = self.rng.randint(1, 3)
            self.note(f"refuses an upgrade: 429, Retry-After {retry_after}")
            return simulator.too_many_requests(retry_after)
        return None

    async def accept(self, ws: ServerConnection) -> None:
        self.platform.connections += 1
        conn = ChaosConnection(self.platform, ws, self.platform.connections)
        self.note(f"accepts connection {conn.number}")
        if self.platform.phase == "closing":
            self.ledger.connection_closed(conn.number, time.monotonic())
            await ws.close(1000, "end of session")
            return
        if conn.number > 1:
            self.platform.change_room_list()
        await conn.serve(self.fate)

    async def fate(self, sim: simulator.SimConnection) -> None:
        """How a connection ends: after each lifetime the dice choose a fault, or another
        lifetime; the end of the session closes it otherwise."""
        assert isinstance(sim, ChaosConnection)
        ending = None
        while ending is None and self.platform.phase == "chaos":
            await asyncio.sleep(self.rng.uniform(*LIFETIME_S))
            ending = self.choose_ending()
        if ending == "supersede" and not sim.hears(f"agent_control:{AGENT_ID}"):
            ending = "drop"  # a notice can only travel on a joined topic
        if ending is not None and self.platform.roll(ending, 1.0):
            self.platform.log(f"ends connection {sim.number}: {ending}")
            await self.end_connection(sim, ending)

    def choose_ending(self) -> str | None:
        roll = self.rng.random()
        for name, probability in self.settings.faults.endings().items():
            if roll < probability:
                return name
            roll -= probability
        return None

    async def end_connection(self, conn: ChaosConnection, ending: str) -> None:
        if ending == "drop":
            conn.ws.transport.abort()
        elif ending == "close_1012":
            await conn.ws.close(1012, "service restart")
        elif ending == "supersede":
            await conn.send(f"agent_control:{AGENT_ID}", "supersede", {
                "reason": "session_replaced", "message": "Another session of this agent connected.",
                "target_socket_id": None, "correlation_id": None, "retryable": True,
                "retry_after": self.rng.randint(1, 3)})
            await self.await_close(conn, SUPERSEDE_GRACE_S, "a superseded host kept its socket open")
        else:
            conn.silent = True
            await self.await_close(conn, self.silence_limit_s, "the host kept a silent socket open")

    async def await_close(self, conn: ChaosConnection, limit_s: float, fault: str) -> None:
        try:
            await asyncio.wait_for(conn.ws.wait_closed(), limit_s)
        except TimeoutError:
            self.ledger.violation(f"{fault} for {limit_s:.1f} s (connection {conn.number})")
            conn.ws.transport.abort()

    async def tick(self) -> None:
        while True:
            await asyncio.sleep(TICK_S)
            if any(f"agent_rooms:{AGENT_ID}" in c.joined and not c.silent for c in self.platform.live):
                await self.platform.room_event()
                await self.platform.redeliver_settled()

    async def post_all(self) -> None:
        s = self.settings
        for post in self.world.posts(s.messages, s.seconds):
            if self.host_gone.is_set():
                return
            if s.calm:
                while self.platform.open_count >= CALM_WINDOW:
                    self.platform.space.clear()
                    await self.platform.space.wait()
            else:
                await asyncio.sleep(max(0.0, self.started + post.at - time.monotonic()))
            await self.platform.post(post.sender, post.content)

    async def wait_settled(self) -> None:
        deadline = self.started + self.settings.seconds + self.settings.grace
        while self.platform.open_count and not self.host_gone.is_set():
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                return
            self.platform.space.clear()
            try:
                await asyncio.wait_for(self.platform.space.wait(), min(remaining, 1.0))
            except TimeoutError:
                pass

    async def close_all(self) -> None:
        self.platform.phase = "closing"
        for conn in list(self.platform.live):
            await conn.ws.close(1000, "end of session")

    # -- the host's side ----------------------------------------------------------------------
    def kill(self, moment: str, delay: float) -> bool:
        """A moment to kill the host at (a field of Faults); the dice decide, with --kill-host.
        True when a kill is on its way."""
        now = time.monotonic()
        if not self.settings.kill_host or self.runner.kills >= KILL_LIMIT or now - self.last_kill < KILL_GAP_S:
            return False
        if not self.platform.roll(moment, KILL_CHANCES[moment](self.settings.faults)):
            return False
        self.last_kill = now
        self.platform.log(f"kills the host ({moment})")
        asyncio.get_running_loop().call_later(delay, self.runner.kill)
        return True

    async def supervise(self) -> None:
        """Restarts a killed host; any other exit before the end is a violation."""
        unexpected = 0
        while True:
            code = await self.runner.wait()
            if self.platform.phase == "closing":
                if code != 0 and not self.runner.killed:
                    self.ledger.violation(f"the host exited with status {code} at the end")
                return
            if not self.runner.killed:
                unexpected += 1
                self.ledger.violation(f"the host exited with status {code} before the platform "
                                      "ended the session")
                if unexpected >= UNEXPECTED_EXITS:
                    self.host_gone.set()
                    return
            await self.runner.start()

    async def wait_exit(self, supervisor: asyncio.Task[None]) -> None:
        try:
            await asyncio.wait_for(asyncio.shield(supervisor), EXIT_WAIT_S)
        except TimeoutError:
            self.ledger.violation(f"the host did not exit within {EXIT_WAIT_S:.0f} s of the final close")
            self.runner.kill()

    async def watch_memory(self) -> None:
        """Samples the host's memory from its first connection on (before it, the figure is
        only the interpreter starting)."""
        while True:
            if self.platform.connections:
                self.memory.sample(rss_kb(self.runner.pid))
            await asyncio.sleep(0.5)

    def milestone(self, settled: int) -> None:
        if settled in RSS_MILESTONES:
            kb = rss_kb(self.runner.pid)
            if kb is not None:
                self.memory.at[settled] = kb

    # -- the report ---------------------------------------------------------------------------
    def figures(self) -> dict[str, object]:
        ledger, memory = self.ledger, self.memory
        span = (ledger.last_settled or 0.0) - (ledger.first_post or 0.0)
        figures: dict[str, object] = {
            "seed": self.settings.seed, "messages": len(ledger.inbound), "settled": ledger.settled_count,
            "violations": ledger.violation_count, "reconnects": max(0, self.platform.connections - 1),
            "kills": self.runner.kills, "cut_double_answers": ledger.cut_count,
            "given_up": ledger.given_up, "retryable_failures": ledger.retryable_failures,
            "refused_writes": ledger.refused_writes, "rewrites": ledger.rewrites,
            "msgs_per_s": round(ledger.settled_count / span, 1) if span > 0 else None,
            "p50_ms": rounded(percentile(ledger.latencies_ms, 0.50)),
            "p99_ms": rounded(percentile(ledger.latencies_ms, 0.99)),
            "rss_first_kb": memory.first, "rss_peak_kb": memory.peak, "rss_last_kb": memory.last,
        }
        figures.update({f"rss_{n // 1000}k_kb": kb for n, kb in sorted(memory.at.items())})
        share = module_cpu_share(self.profile) if self.profile.exists() else None
        figures["module_cpu_share"] = rounded(share, 3)
        figures["seconds"] = round(time.monotonic() - self.started, 1)
        return figures

    def report(self) -> list[str]:
        thrown = " ".join(f"{k}={v}" for k, v in sorted(self.platform.thrown.items())) or "none"
        figures = " ".join(f"{k}={'-' if v is None else v}" for k, v in self.figures().items())
        missing = set(OPTIONAL_FLAGS) - self.flags
        lines = [f"faults: {thrown}", f"figures: {figures}"]
        lines += [f"violation: {v}" for v in self.ledger.violations]
        lines += [f"cut: {c}" for c in self.ledger.cuts]
        if missing:
            lines.append(f"note: the host has no {', '.join(sorted(missing))}; ran without")
        lines.append(f"log: {self.log.path}")
        return lines


def chaos_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="python -m quarn_host.simulator --chaos SEED",
                                     description="Chaos mode: the host against a faulty random world.")
    parser.add_argument("--chaos", type=int, required=True, metavar="SEED")
    parser.add_argument("--messages", type=int, default=400, metavar="N")
    parser.add_argument("--seconds", type=float, default=15.0, metavar="S",
                        help="posting spans about this; all must settle within S plus --grace")
    parser.add_argument("--kill-host", action="store_true", help="SIGKILL the host at random moments")
    parser.add_argument("--state", metavar="FILE",
                        help="the host's state file, new (a temporary one with --kill-host)")
    parser.add_argument("--calm", action="store_true", help="no faults: a load run")
    parser.add_argument("--time-scale", type=float, default=0.05,
                        help="the host's time scale: its heartbeats and back-offs, in real seconds")
    parser.add_argument("--grace", type=float, default=15.0, metavar="SECONDS")
    parser.add_argument("--fault", action="append", default=[], metavar="NAME=P",
                        help="override a fault's probability (repeatable)")
    parser.add_argument("--log", metavar="FILE", help="the host's output (default: a temporary file)")
    parser.add_argument("--loud", action="store_true",
                        help="run the host without --quiet: its log shows every decision")
    parser.add_argument("--no-profile", dest="profile", action="store_false",
                        help="with --calm: run the host without the profiler (its own speed)")
    return parser


def parse(argv: list[str]) -> Settings:
    parser = chaos_parser()
    args = parser.parse_args(argv)
    if args.messages < 1 or args.seconds <= 0 or args.grace < 0:
        parser.error("--messages must be at least 1, --seconds above 0, --grace at least 0")
    if not 0 < args.time_scale <= 100:
        parser.error("--time-scale must be above 0 and at most 100")
    if args.state and Path(args.state).exists():
        parser.error(f"--state {args.state} exists: an earlier run's ids would be taken for this one's")
    try:
        faults = (Faults.none() if args.calm else Faults()).with_overrides(args.fault)
    except ValueError as exc:
        parser.error(str(exc))
    return Settings(args.chaos, args.messages, args.seconds, args.kill_host, args.state, args.calm,
                    args.time_scale, args.grace, faults, args.log, args.loud, args.profile)


def main(argv: list[str]) -> int:
    settings = parse(argv)
    workdir = Path(tempfile.mkdtemp(prefix="quarn-chaos-"))
    chaos = ChaosRun(settings, workdir, host_flags())
    try:
        asyncio.run(chaos.run())
    except KeyboardInterrupt:
        chaos.runner.kill()
        return 130
    print("\n".join(chaos.report()), flush=True)
    failed = chaos.ledger.violation_count > 0
    if not failed and not settings.log:
        shutil.rmtree(workdir, ignore_errors=True)  # a failed run keeps the host's log
    return 1 if failed else 0
