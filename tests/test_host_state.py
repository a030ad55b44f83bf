"""The host's crash-safe state: what a killed host gets back through the module, and the files it
refuses without applying any of them."""

import os
import signal
import sqlite3
import subprocess
import sys
from contextlib import closing

import pytest
import quarn_sdk_core as q

from quarn_host.state import Restored, StateError, StateStore

WINDOW = 3
PARKED_F = {"status": "failed", "error": "boom", "parked": "not_found"}


def fresh():
    return q.ClaimRegistry(WINDOW), q.RetryTracker(max_retries=2)


def host_run(path):
    """One run's changes, made as the host makes them: five accepted writes in r1, a processed
    outcome awaiting its write, a final failure whose write was refused, and a retryable failure."""
    store, (claims, retries) = StateStore.open(path, WINDOW), fresh()

    def settle(room, mid, error=None, retry=False):
        claims.try_claim(room, mid)
        store.attempt(mid, retries.record_attempt(mid)[0])
        settlement = (claims.record_processed_settlement(room, mid) if error is None
                      else claims.record_failed_settlement(room, mid, error, retries, retry))
        store.settled(room, mid, settlement)
        claims.release(room, mid)
        return settlement

    for i in range(5):
        token = settle("r1", f"c{i}")["token"]
        claims.confirm_settlement("r1", f"c{i}", token, retries)
        store.confirmed("r1", f"c{i}")
    settle("r1", "p")
    claims.park_settlement("r2", "f", settle("r2", "f", "boom")["token"], q.ParkedReason.NotFound)
    store.parked("r2", "f", q.ParkedReason.NotFound)
    assert settle("r2", "again", "flaky", retry=True)["continuation"]["kind"] == "retry"
    return store


def test_a_killed_host_gets_its_state_back(tmp_path):
    path = tmp_path / "state.db"
    child = (f"import os, test_host_state as t; t.host_run({str(path)!r});"
             f" os.kill(os.getpid(), {signal.SIGKILL:d})")
    run = subprocess.run([sys.executable, "-c", child], cwd=os.path.dirname(__file__))
    assert run.returncode == -signal.SIGKILL
    claims, retries = fresh()
    with StateStore.open(path, WINDOW) as store:
        assert store.restore(claims, retries) == Restored(pending=2, parked=1, completed=3, attempts=3)
    assert claims.completed_ids("r1") == ["c2", "c3", "c4"]
    assert claims.pending_ack_ids("r1") == ["p"] and claims.pending_ack_ids("r2") == ["f"]
    assert claims.pending_ack("r2", "f") == PARKED_F
    assert claims.pending_settlement("r1", "p")["continuation"] == {"kind": "finished"}
    eligible = [claims.guarded_claim("r1", m, retries) for m in ("c4", "c0", "p")]
    assert eligible == ["completed", "runnable", "pending"]
    assert claims.guarded_claim("r2", "again", retries) == "runnable"
    # The retryable failure keeps its spent attempt; a completed message's count is gone.
    assert [retries.record_attempt(m) for m in ("again", "c4")] == [(2, False), (1, False)]


def test_a_second_connection_sees_every_committed_change(tmp_path):
    live = host_run(tmp_path / "state.db")
    claims, retries = fresh()
    with StateStore.open(tmp_path / "state.db", WINDOW) as store:
        store.restore(claims, retries)
        with pytest.raises(ValueError, match="fresh registry"):
            store.restore(claims, retries)
    live.close()
    assert (claims.completed_ids("r1"), claims.pending_ack("r2", "f")) == (["c2", "c3", "c4"], PARKED_F)


def test_the_file_keeps_only_the_window(tmp_path):
    path = tmp_path / "state.db"
    host_run(path).close()
    for window, kept in ((None, ["c2", "c3", "c4"]), (2, ["c3", "c4"])):  # reopened with a smaller one
        if window:
            StateStore.open(path, window).close()
        with closing(sqlite3.connect(path)) as db:
            assert [m for (m,) in db.execute("SELECT message_id FROM completed ORDER BY seq")] == kept


@pytest.mark.parametrize("counts, next_attempt", [
    ([1, 2], (3, True)),
    ([1, 0], (1, False)),  # an attempt taken back (RetryTracker.discard_attempt) down to none
    ([2**32 - 1], (4, True)),  # replayed only up to a spent budget
])
def test_attempt_counts(tmp_path, counts, next_attempt):
    with StateStore.open(tmp_path / "s.db", WINDOW) as store:
        for count in counts:
            store.attempt("m", count)
        claims, retries = fresh()
        store.restore(claims, retries)
    assert retries.record_attempt("m") == next_attempt


@pytest.mark.parametrize("change, pending, completed", [
    (lambda s: s.confirmed("r", "b"), {}, ["a", "c", "b"]),
    (lambda s: s.confirmed("r", "a"), {"b": "rejected"}, ["c", "a"]),  # known again: moved, not doubled
    (lambda s: s.forget_room("r"), {"b": "rejected"}, []),
    (lambda s: s.unparked("r"), {"b": None}, ["a", "c"]),
    (lambda s: s.parked("r", "b", q.ParkedReason.NotFound), {"b": "not_found"}, ["a", "c"]),
    (lambda s: s.parked("r", "gone", q.ParkedReason.NotFound), {"b": "rejected"}, ["a", "c"]),
])
def test_each_change_survives_a_reopen(tmp_path, change, pending, completed):
    with StateStore.open(tmp_path / "s.db", WINDOW) as store:
        store.confirmed("r", "a")
        store.confirmed("r", "c")
        store.settled("r", "b", {"token": "0", "status": "processed", "parked": "rejected",
                                 "continuation": {"kind": "finished"}})
        change(store)
        claims, retries = fresh()
        store.restore(claims, retries)
    assert {m: claims.pending_ack("r", m)["parked"] for m in claims.pending_ack_ids("r")} == pending
    assert claims.completed_ids("r") == completed


def sql(*statements):
    def damage(path):
        with closing(sqlite3.connect(path)) as db:
            for statement in statements:
                db.execute(statement)
            db.commit()
    return damage


def write(data):
    return lambda path: path.write_bytes(data(path.read_bytes()))


@pytest.mark.parametrize("damage, why", [
    (write(lambda old: b"not a database" * 300), "not a database"),
    (write(lambda old: b""), "not a state file"),
    (write(lambda old: old[:len(old) // 2]), "malformed"),
    (sql("DROP TABLE attempts", "CREATE TABLE attempts (message_id TEXT)"), "tables are not"),
    (sql("ALTER TABLE pending ADD COLUMN note TEXT"), "tables are not"),
    (sql("PRAGMA user_version = 2"), "newer host"),
    (sql("UPDATE pending SET parked = 'lost' WHERE message_id = 'f'"), "unknown park reason 'lost'"),
    (sql("UPDATE pending SET status = 'done' WHERE message_id = 'f'"), "unknown status"),
    (sql("UPDATE pending SET error = NULL WHERE message_id = 'f'"), "failed outcome cannot"),
    (sql("UPDATE completed SET message_id = x'6334' WHERE message_id = 'c4'"), "not text"),
    (sql("UPDATE completed SET message_id = CAST(x'ff' AS TEXT) WHERE message_id = 'c4'"), "decode"),
    (sql("UPDATE attempts SET attempts = 'many' WHERE message_id = 'again'"), "attempt count 'many'"),
    (sql("UPDATE attempts SET attempts = 0 WHERE message_id = 'again'"), "attempt count 0"),
])
def test_a_bad_file_is_refused_whole(tmp_path, damage, why):
    path = tmp_path / "state.db"
    host_run(path).close()
    damage(path)
    claims, retries = fresh()
    with pytest.raises(StateError, match=why):
        with StateStore.open(path, WINDOW) as store:
            store.restore(claims, retries)
    assert [claims.pending_ack_ids(r) + claims.completed_ids(r) for r in ("r1", "r2")] == [[], []]
    assert retries.record_attempt("p") == (1, False)


def test_a_missing_directory_is_refused_and_not_made(tmp_path):
    with pytest.raises(StateError, match="directory exists"):
        StateStore.open(tmp_path / "gone" / "state.db", WINDOW)
    assert os.listdir(tmp_path) == []


def test_the_host_refuses_a_bad_state_file_with_one_clean_line(tmp_path):
    bad = tmp_path / "state.db"
    bad.write_bytes(b"not a database at all" * 100)
    done = subprocess.run([sys.executable, "-m", "quarn_host", "--state", str(bad), "--url", "ws://127.0.0.1:9"],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 2
    assert done.stderr.startswith(f"quarn_host: {bad}") and "Traceback" not in done.stderr
    assert bad.read_bytes() == b"not a database at all" * 100
