"""The simulator's chaos mode: its checker on hand-made records, then whole runs of the host
against the faulty world (marked `chaos`; .ci/run runs them)."""

import cProfile
import subprocess
import sys

import pytest
import quarn_sdk_core as q

from quarn_host.chaos import Ledger, module_cpu_share

RUN_LIMIT_S = 240


def post(mid="m1", room="r-0", at=0.0):
    return lambda ledger: ledger.posted(mid, room, at)


def answer(conn, at, mid="m1"):
    return lambda ledger: ledger.answered(mid, conn, at)


def settle(conn, at, kind="processed", mid="m1"):
    return lambda ledger: ledger.write_accepted(mid, kind, False, False, conn, at)


def write_again(conn, at, kind="processed", mid="m1"):
    return lambda ledger: ledger.late_write(mid, kind, conn, at)


def refuse(at, mid="m1"):
    return lambda ledger: ledger.write_refused(mid, False, at)


def close(conn, at):
    return lambda ledger: ledger.connection_closed(conn, at)


def delete(at, room="r-0"):
    return lambda ledger: ledger.room_deleted(room, at)


def leave(conn, at, room="r-0"):
    return lambda ledger: ledger.room_left(room, conn, at)


def own(mid="a1"):
    return lambda ledger: ledger.own_post(mid)


# (steps, the violation expected or None, double answers excused by a cut)
RECORDS = {
    "answered once, settled once": ([post(), answer(1, 1.0), settle(1, 1.1)], None, 0),
    "answered twice on one open connection": (
        [post(), answer(1, 1.0), answer(1, 2.0), settle(1, 2.1)], "no socket cut in between", 0),
    "answered again after the socket died mid-turn": (
        [post(), answer(1, 1.0), close(1, 1.05), answer(2, 2.0), settle(2, 2.1)], None, 1),
    "the room deleted mid-turn, left without writing, answered again": (
        [post(), answer(1, 1.0), delete(1.01), leave(1, 1.02), answer(1, 2.0), settle(1, 2.1)],
        "without writing", 0),
    "the room deleted mid-turn, left without writing, then the socket closed": (
        [post(), answer(1, 1.0), delete(1.01), leave(1, 1.02), close(1, 1.5), answer(2, 2.0),
         settle(2, 2.1)], "without writing", 0),
    "the room deleted mid-turn, outcome written, answered again on its return": (
        [post(), answer(1, 1.0), delete(1.01), refuse(1.02), leave(1, 1.03), answer(1, 2.0),
         settle(1, 2.1)], "written at", 0),
    "the room deleted mid-turn, the socket cut before the outcome was written": (
        [post(), answer(1, 1.0), delete(1.01), close(1, 1.02), answer(2, 2.0), settle(2, 2.1)], None, 1),
    "answered again though its outcome reached the platform before the cut": (
        [post(), answer(1, 1.0), refuse(1.01), close(1, 1.5), answer(2, 2.0), settle(2, 2.1)],
        "then lost", 0),
    "a second accepted write on the same connection": (
        [post(), answer(1, 1.0), settle(1, 1.1), write_again(1, 1.2)], "after its processed write", 0),
    "a different outcome written after settlement": (
        [post(), answer(1, 1.0), settle(1, 1.1), write_again(2, 3.0, kind="failed")],
        "after its processed write", 0),
    "the same outcome again on a later connection": (
        [post(), answer(1, 1.0), settle(1, 1.1), close(1, 1.2), write_again(2, 2.0)], None, 0),
    "answered after it was settled": (
        [post(), answer(1, 1.0), settle(1, 1.1), answer(2, 3.0)], "a settled message ran again", 0),
    "the agent answers its own echo": (
        [post(), own(), answer(1, 1.0, mid="a1"), answer(1, 1.1), settle(1, 1.2)], "its own message", 0),
    "the agent writes its own echo terminal": (
        [post(), own(), answer(1, 1.0), settle(1, 1.1),
         lambda ledger: ledger.write_for_own("a1", "processed", 1)], "for its own message", 0),
    "never settled": ([post(), answer(1, 1.0)], "never settled", 0),
    "given up with no failed turn": (
        [post(), answer(1, 1.0), close(1, 1.1), settle(2, 2.0, kind="failed")], "given up", 0),
}


@pytest.mark.parametrize("steps, expected, cuts", RECORDS.values(), ids=RECORDS.keys())
def test_the_checker_judges_a_record(steps, expected, cuts):
    ledger = Ledger()
    for step in steps:
        step(ledger)
    ledger.finish()
    if expected is None:
        assert ledger.violations == []
    else:
        assert len(ledger.violations) == 1 and expected in ledger.violations[0], ledger.violations
    assert ledger.cut_count == cuts


def test_the_module_share_counts_only_the_modules_functions(tmp_path):
    profiler = cProfile.Profile()
    profiler.enable()
    payload = {"id": "m1", "chat_room_id": "r", "content": "hi", "message_type": "text",
               "sender_id": "u", "sender_type": "User", "sender_name": "U",
               "inserted_at": "2025-01-01T09:00:00Z", "updated_at": "2025-01-01T09:00:00Z",
               "metadata": {"mentions": []}, "attachments": []}
    for _ in range(2000):
        q.evaluate_delivery_event("message_created", "r", payload, "agent")
        sum(range(200))
    profiler.disable()
    profiler.dump_stats(tmp_path / "host.prof")
    share = module_cpu_share(tmp_path / "host.prof")
    assert share is not None and 0.0 < share < 1.0


# ---- whole runs --------------------------------------------------------------------------------


def chaos(*args):
    """Runs the chaos mode; returns its figures and its whole output."""
    proc = subprocess.run([sys.executable, "-m", "quarn_host.simulator", "--chaos", *args],
                          capture_output=True, text=True, timeout=RUN_LIMIT_S)
    out = proc.stdout + proc.stderr
    line = next((l for l in proc.stdout.splitlines() if l.startswith("figures: ")), None)
    assert line is not None, out
    figures = dict(item.split("=", 1) for item in line.split()[1:])
    assert (proc.returncode == 0) == (figures["violations"] == "0"), out
    return figures, out


@pytest.mark.chaos
@pytest.mark.parametrize("seed", [1, 2, 3, 4, 5])
def test_a_faulty_world_leaves_no_violation(seed):
    figures, out = chaos(str(seed), "--messages", "400", "--seconds", "12", "--grace", "12")
    assert figures["violations"] == "0", out
    assert figures["settled"] == "400", out


@pytest.mark.chaos
@pytest.mark.parametrize("seed", [1, 2, 3])
def test_killing_the_host_leaves_no_violation(seed):
    figures, out = chaos(str(seed), "--messages", "300", "--seconds", "12", "--grace", "12", "--kill-host")
    assert figures["violations"] == "0", out
    assert int(figures["kills"]) > 0, out


@pytest.mark.chaos
def test_a_calm_load_run_keeps_the_hosts_memory_flat():
    figures, out = chaos("1", "--messages", "20000", "--seconds", "240", "--calm")
    assert figures["violations"] == "0", out
    at_5k, at_20k = int(figures["rss_5k_kb"]), int(figures["rss_20k_kb"])
    assert abs(at_20k - at_5k) <= 0.1 * at_5k, out
