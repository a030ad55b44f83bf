"""What the claim ledger and the retry budget must not forget when the host is killed.

The module keeps its ledgers in memory. This store keeps, in one SQLite file, what a `kill -9`
would lose and what matters of it: outcomes decided but not yet accepted by the platform (parked ones
with their reason), each room's window of completed ids, and attempt counts. On start `restore`
feeds them back through the module's own operations, so the module stays the one judge.

Every change is one transaction. Reading is all or nothing: the whole file is checked before the
first module call, and a file this host cannot use is refused with `StateError`.
"""

from __future__ import annotations

import contextlib
import os
import reprlib
import sqlite3
import tempfile
from dataclasses import dataclass
from pathlib import Path
from types import TracebackType
from typing import TYPE_CHECKING, Final

import quarn_sdk_core as q

if TYPE_CHECKING:
    from quarn_sdk_core import FailedSettlement, ProcessedSettlement

APPLICATION_ID: Final = 0x71736331  # marks a file as this host's state whatever it is called
MAX_ATTEMPT_ROWS: Final = 10_000  # the retry tracker's own default bound
_MAX_COUNT: Final = 2**32 - 1  # the module counts attempts in 32 bits

# The exact statements this version writes; an existing file must hold these and nothing else.
_SCHEMA: Final = (
    "CREATE TABLE pending (seq INTEGER PRIMARY KEY, room_id TEXT NOT NULL, message_id TEXT NOT NULL,"
    " status TEXT NOT NULL, error TEXT, parked TEXT, UNIQUE (room_id, message_id))",
    "CREATE TABLE completed (seq INTEGER PRIMARY KEY, room_id TEXT NOT NULL, message_id TEXT NOT NULL,"
    " UNIQUE (room_id, message_id))",
    "CREATE INDEX completed_window ON completed (room_id, seq)",
    "CREATE TABLE attempts (seq INTEGER PRIMARY KEY, message_id TEXT NOT NULL UNIQUE,"
    " attempts INTEGER NOT NULL)",
)
_TRIM_ATTEMPTS: Final = ("DELETE FROM attempts WHERE seq <= (SELECT seq FROM attempts"
                         " ORDER BY seq DESC LIMIT 1 OFFSET ?)")
_AFRESH: Final = ("move it away to start afresh; outcomes it holds that the platform has not accepted"
                  " are then lost and those messages run again")


class StateError(Exception):
    """A state file this host cannot use; the message says why and what to do."""


@dataclass(frozen=True)
class Restored:
    """What `restore` gave back to the module."""

    pending: int  # outcomes awaiting their write, parked ones included
    parked: int
    completed: int
    attempts: int


@dataclass(frozen=True)
class _Outcome:
    room_id: str
    message_id: str
    error: str | None  # None for processed
    parked: q.ParkedReason | None


@dataclass(frozen=True)
class _Rows:
    outcomes: list[_Outcome]
    completed: list[tuple[str, str]]
    attempts: list[tuple[str, int]]


class StateStore:
    """The host's crash-safe state in one SQLite file (WAL)."""

    SCHEMA_VERSION: int = 1

    def __init__(self, db: sqlite3.Connection, path: str, max_completed: int, max_attempts: int) -> None:
        self._db = db
        self.path = path
        self.max_completed = max_completed
        self.max_attempts = max_attempts

    @classmethod
    def open(cls, path: str | os.PathLike[str], max_completed: int, *,
             max_attempts: int = MAX_ATTEMPT_ROWS) -> StateStore:
        """Opens the state file at `path`, creating it when absent; keeps at most `max_completed`
        completed ids per room (the registry's `max_completed`) and `max_attempts` attempt counts."""
        for name, bound in (("max_completed", max_completed), ("max_attempts", max_attempts)):
            if not 1 <= bound <= _MAX_COUNT:
                raise ValueError(f"{name} must be between 1 and {_MAX_COUNT}, got {bound}")
        path = os.fspath(path)
        if not os.path.exists(path):
            _create(path, cls.SCHEMA_VERSION)
        try:
            # mode=rw: sqlite must never make an empty file here itself.
            db = sqlite3.connect(Path(path).absolute().as_uri() + "?mode=rw", uri=True, isolation_level=None)
        except sqlite3.Error as exc:
            raise StateError(f"{path}: cannot open the state file ({exc})") from exc
        try:
            _check(db, path, cls.SCHEMA_VERSION)
            db.execute("PRAGMA journal_mode = WAL")
            db.execute("PRAGMA synchronous = NORMAL")  # a kill loses nothing; a power cut, the last commits
            db.execute("PRAGMA journal_size_limit = 4194304")
            store = cls(db, path, max_completed, max_attempts)
            store._trim_all()  # the bounds may be lower than those the file was written with
        except sqlite3.Error as exc:
            db.close()
            raise _refusal(path, exc) from exc
        except BaseException:
            db.close()
            raise
        return store

    def close(self) -> None:
        self._db.close()

    def __enter__(self) -> StateStore:
        return self

    def __exit__(self, kind: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        self.close()

    # -- start ------------------------------------------------------------------------------
    def restore(self, claims: q.ClaimRegistry, retries: q.RetryTracker) -> Restored:
        """Gives the stored state back to a fresh registry and tracker. The file is read and
        checked whole first: a bad one raises `StateError` with nothing applied."""
        rows = self._read()
        rooms = {o.room_id for o in rows.outcomes} | {room for room, _ in rows.completed}
        busy = [room for room in sorted(rooms)
                if claims.pending_ack_ids(room) or claims.completed_ids(room) or claims.inflight_ids(room)]
        if busy:
            raise ValueError(f"restore needs a fresh registry; it already holds room {busy[0]!r}")
        # Completed ids first: remembering one drops a pending outcome of the same id.
        for room, message_id in rows.completed:
            claims.remember_completed(room, message_id)
        for o in rows.outcomes:
            if o.error is None:
                claims.remember_ack_pending(o.room_id, o.message_id)
            else:
                claims.remember_failed_ack_pending(o.room_id, o.message_id, o.error)
            if o.parked is not None:
                claims.park_ack(o.room_id, o.message_id, o.parked)
        # Past max_retries + 1 the budget is spent whatever the count; the cap also keeps a huge
        # stored count from looping.
        cap = retries.max_retries + 1
        for message_id, attempts in rows.attempts:
            for _ in range(min(attempts, cap)):
                retries.record_attempt(message_id)
        return Restored(pending=len(rows.outcomes), parked=sum(o.parked is not None for o in rows.outcomes),
                        completed=len(rows.completed), attempts=len(rows.attempts))

    def _read(self) -> _Rows:
        try:
            pending = self._db.execute(
                "SELECT room_id, message_id, status, error, parked FROM pending ORDER BY seq").fetchall()
            completed = self._db.execute("SELECT room_id, message_id FROM completed ORDER BY seq").fetchall()
            attempts = self._db.execute("SELECT message_id, attempts FROM attempts ORDER BY seq").fetchall()
        except sqlite3.Error as exc:
            raise _refusal(self.path, exc) from exc
        rows = _Rows([], [], [])
        seen: set[tuple[str, str]] = set()
        for room, mid, status, error, parked in pending:
            key = (self._text(room, "a room id"), self._text(mid, "a message id"))
            where = f"the outcome of {reprlib.repr(room)}/{reprlib.repr(mid)}"
            if key in seen:
                raise self._bad(f"{where} is stored twice")
            seen.add(key)
            if status not in ("processed", "failed"):
                raise self._bad(f"{where} has the unknown status {reprlib.repr(status)}")
            if not (isinstance(error, str) if status == "failed" else error is None):
                raise self._bad(f"{where} has the error {reprlib.repr(error)},"
                                f" which a {status} outcome cannot carry")
            reason = q.ParkedReason.from_wire_name(parked) if isinstance(parked, str) else None
            if parked is not None and reason is None:
                raise self._bad(f"{where} has the unknown park reason {reprlib.repr(parked)}")
            rows.outcomes.append(_Outcome(key[0], key[1], error, reason))
        for room, mid in completed:
            rows.completed.append((self._text(room, "a room id"), self._text(mid, "a message id")))
        counted: set[str] = set()
        for mid, count in attempts:
            mid = self._text(mid, "a message id")
            if mid in counted:
                raise self._bad(f"the attempts of {reprlib.repr(mid)} are stored twice")
            counted.add(mid)
            if type(count) is not int or not 1 <= count <= _MAX_COUNT:
                raise self._bad(f"{reprlib.repr(mid)} has the attempt count {reprlib.repr(count)}")
            rows.attempts.append((mid, count))
        return rows

    def _text(self, value: object, what: str) -> str:
        if not isinstance(value, str):
            raise self._bad(f"{what} is {reprlib.repr(value)}, not text")
        return value

    def _bad(self, why: str) -> StateError:
        return StateError(f"{self.path}: {why}; this host cannot restore it ({_AFRESH})")

    # -- changes ----------------------------------------------------------------------------
    def attempt(self, message_id: str, attempts: int) -> None:
        """Keeps the count `RetryTracker.record_attempt` returned; 0 forgets the message."""
        if attempts <= 0:
            self._write(("DELETE FROM attempts WHERE message_id = ?", (message_id,)))
            return
        self._write(
            ("INSERT INTO attempts (message_id, attempts) VALUES (?, ?)"
             " ON CONFLICT (message_id) DO UPDATE SET attempts = excluded.attempts",
             (message_id, min(attempts, _MAX_COUNT))),
            # Oldest first, as the tracker evicts: an updated count keeps its place.
            (_TRIM_ATTEMPTS, (self.max_attempts,)))

    def settled(self, room_id: str, message_id: str,
                settlement: ProcessedSettlement | FailedSettlement) -> None:
        """Keeps a final outcome until its write is accepted. A retry settlement is not kept: its
        message stays open on the platform and simply runs again after a crash."""
        if settlement["continuation"]["kind"] == "retry":
            return
        error = settlement["error"] if settlement["status"] == "failed" else None
        self._write(("INSERT INTO pending (room_id, message_id, status, error, parked) VALUES (?, ?, ?, ?, ?)"
                     " ON CONFLICT (room_id, message_id) DO UPDATE SET status = excluded.status,"
                     " error = excluded.error, parked = excluded.parked",
                     (room_id, message_id, settlement["status"], error, settlement["parked"])))

    def parked(self, room_id: str, message_id: str, reason: q.ParkedReason) -> None:
        """The platform refused the write of a kept outcome for `reason`."""
        self._write(("UPDATE pending SET parked = ? WHERE room_id = ? AND message_id = ?",
                     (reason.wire_name, room_id, message_id)))

    def unparked(self, room_id: str) -> None:
        """The room's refused writes are to be tried again (`ClaimRegistry.unpark_acks`)."""
        self._write(("UPDATE pending SET parked = NULL WHERE room_id = ?", (room_id,)))

    def confirmed(self, room_id: str, message_id: str) -> None:
        """The platform accepted the write of a final outcome: the message is completed. (An
        accepted retry write needs no call: nothing was kept for it.)"""
        self._write(
            ("DELETE FROM pending WHERE room_id = ? AND message_id = ?", (room_id, message_id)),
            # REPLACE gives a known id a new seq: it moves to the back, as in the registry.
            ("INSERT OR REPLACE INTO completed (room_id, message_id) VALUES (?, ?)", (room_id, message_id)),
            ("DELETE FROM completed WHERE room_id = ? AND seq <= (SELECT seq FROM completed"
             " WHERE room_id = ? ORDER BY seq DESC LIMIT 1 OFFSET ?)",
             (room_id, room_id, self.max_completed)),
            ("DELETE FROM attempts WHERE message_id = ?", (message_id,)))

    def forget_room(self, room_id: str) -> None:
        """The room left the agent's list: its completed window goes. Kept outcomes stay; they are
        still owed to the platform."""
        self._write(("DELETE FROM completed WHERE room_id = ?", (room_id,)))

    def _trim_all(self) -> None:
        self._write(
            ("DELETE FROM completed WHERE seq IN (SELECT seq FROM (SELECT seq, row_number() OVER"
             " (PARTITION BY room_id ORDER BY seq DESC) AS age FROM completed) WHERE age > ?)",
             (self.max_completed,)),
            (_TRIM_ATTEMPTS, (self.max_attempts,)))

    def _write(self, *statements: tuple[str, tuple[object, ...]]) -> None:
        db = self._db
        db.execute("BEGIN IMMEDIATE")
        try:
            for sql, args in statements:
                db.execute(sql, args)
        except BaseException:
            db.execute("ROLLBACK")
            raise
        db.execute("COMMIT")


def _create(path: str, version: int) -> None:
    """Builds a new state file beside `path` and links it into place whole, so that a failure
    leaves no half-made file and a file made meanwhile by another opener is not overwritten."""
    try:
        fd, scratch = tempfile.mkstemp(prefix=os.path.basename(path) + ".", suffix=".new",
                                       dir=os.path.dirname(os.path.abspath(path)))
    except OSError as exc:
        raise StateError(f"{path}: cannot create the state file ({exc.strerror}); check that its"
                         " directory exists and is writable") from exc
    os.close(fd)
    try:
        db = sqlite3.connect(scratch, isolation_level=None)
        try:
            db.execute("BEGIN")
            for statement in _SCHEMA:
                db.execute(statement)
            db.execute(f"PRAGMA application_id = {APPLICATION_ID}")
            db.execute(f"PRAGMA user_version = {version}")
            db.execute("COMMIT")
        finally:
            db.close()
        try:
            os.link(scratch, path)
        except FileExistsError:
            pass  # another opener won; its file is checked like any other
        except OSError:
            if not os.path.exists(path):  # a file system without hard links
                os.replace(scratch, path)
    except (OSError, sqlite3.Error) as exc:
        raise StateError(f"{path}: cannot create the state file ({exc})") from exc
    finally:
        with contextlib.suppress(FileNotFoundError):
            os.unlink(scratch)


def _refusal(path: str, exc: sqlite3.Error) -> StateError:
    """Tells a damaged file from one this process cannot use just now (locked, unreadable, disk
    full): only the first is worth moving away."""
    name = getattr(exc, "sqlite_errorname", None) or ""
    if name.startswith(("SQLITE_BUSY", "SQLITE_LOCKED", "SQLITE_CANTOPEN", "SQLITE_READONLY",
                        "SQLITE_IOERR", "SQLITE_FULL", "SQLITE_PERM", "SQLITE_NOMEM", "SQLITE_AUTH")):
        return StateError(f"{path}: cannot use the state file now ({exc}); it is left as it was")
    return StateError(f"{path}: not a usable state file ({exc}); {_AFRESH}")


def _check(db: sqlite3.Connection, path: str, version: int) -> None:
    """Refuses a file that is not this host's state at this schema version, or is damaged."""
    if db.execute("PRAGMA application_id").fetchone()[0] != APPLICATION_ID:
        raise StateError(f"{path}: not a state file of this host (empty, or a database of something else);"
                         " give the host another path")
    found = db.execute("PRAGMA user_version").fetchone()[0]
    if found > version:
        raise StateError(f"{path}: written by a newer host (schema {found}; this host reads {version});"
                         f" run that host, or {_AFRESH}")
    if found != version:
        raise StateError(f"{path}: unknown schema version {found}; {_AFRESH}")
    schema = {sql for (sql,) in db.execute("SELECT sql FROM sqlite_master WHERE sql IS NOT NULL")}
    if schema != set(_SCHEMA):
        raise StateError(f"{path}: its tables are not those of schema {version}; {_AFRESH}")
    problems = [row[0] for row in db.execute("PRAGMA quick_check")]
    if problems != ["ok"]:
        raise StateError(f"{path}: damaged ({'; '.join(map(str, problems[:3]))}); {_AFRESH}")
