"""The host as a child process: started, killed and restarted, its output kept and scanned."""

from __future__ import annotations

import asyncio
import re
import signal
import subprocess
import sys
from pathlib import Path

from .checker import Ledger

LOG_LIMIT_BYTES = 16 << 20
ERROR_LINE = re.compile(r"^\s*\d+\.\d+s\s+error\b")
OPTIONAL_FLAGS = ("--quiet", "--state", "--profile")  # a run passes those the host knows


class HostLog:
    """Keeps the host's output in a bounded file and reports its errors to the ledger."""

    def __init__(self, path: Path, ledger: Ledger) -> None:
        self.path = path
        self.ledger = ledger
        self.out = path.open("w", encoding="utf-8", errors="replace")
        self.written = 0
        self.dropped = 0
        self.in_traceback = False

    async def follow(self, stream: asyncio.StreamReader, process: int) -> None:
        self.keep(f"---- host process {process}\n")
        while True:
            try:
                raw = await stream.readline()
            except ValueError:  # a line past the reader's limit
                raw = await stream.read(1 << 16)
            if not raw:
                return
            line = raw.decode("utf-8", "replace")
            self.scan(line.rstrip("\n"))
            self.keep(line)

    def keep(self, line: str) -> None:
        if self.written + len(line) > LOG_LIMIT_BYTES:
            self.dropped += 1
            return
        self.out.write(line)
        self.written += len(line)

    def scan(self, line: str) -> None:
        if self.in_traceback and line and not line[0].isspace():
            self.in_traceback = line.startswith(("Traceback", "During handling", "The above"))
            if not self.in_traceback:
                self.ledger.violation(f"host traceback: {line}")
        elif "Traceback" in line:
            self.in_traceback = True
        elif ERROR_LINE.match(line):
            self.ledger.violation(f"host error: {line.strip()}")

    def close(self) -> None:
        if self.dropped:
            self.out.write(f"---- {self.dropped} more lines not kept (log limit)\n")
        self.out.close()


class HostRunner:
    """Starts, kills and restarts the host; the same command (and state file) every time."""

    def __init__(self, command: list[str], log: HostLog) -> None:
        self.command = command
        self.log = log
        self.process: asyncio.subprocess.Process | None = None
        self.reader: asyncio.Task[None] | None = None
        self.starts = 0
        self.kills = 0
        self.killed = False

    async def start(self) -> None:
        self.starts += 1
        self.killed = False
        self.process = await asyncio.create_subprocess_exec(
            *self.command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT, limit=1 << 20)
        assert self.process.stdout is not None
        self.reader = asyncio.create_task(self.log.follow(self.process.stdout, self.starts))

    @property
    def pid(self) -> int | None:
        return self.process.pid if self.process is not None and self.process.returncode is None else None

    def kill(self) -> bool:
        if self.pid is None or self.killed:
            return False
        assert self.process is not None
        self.process.send_signal(signal.SIGKILL)
        self.killed = True
        self.kills += 1
        return True

    async def wait(self) -> int:
        assert self.process is not None and self.reader is not None
        code = await self.process.wait()
        await self.reader
        return code


def host_flags() -> set[str]:
    """The optional flags this host knows; a host older than one of them runs without it."""
    try:
        shown = subprocess.run([sys.executable, "-m", "quarn_host", "--help"], capture_output=True,
                               text=True, timeout=60, check=False).stdout
    except (OSError, subprocess.TimeoutExpired):
        return set()
    return {flag for flag in OPTIONAL_FLAGS if flag in shown}

