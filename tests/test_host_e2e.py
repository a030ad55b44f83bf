"""The reference host against the platform simulator over real loopback sockets."""

import asyncio
import io
import json
import os
import re
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest
import quarn_sdk_core as q

from quarn_host import host as host_module
from quarn_host import simulator as platform_sim
from quarn_host.journal import replay

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"
TIME_SCALE = 0.05  # the scenario spans about 40 policy seconds: two real seconds
RUN_LIMIT_S = 40.0


@pytest.fixture(scope="module")
def run(tmp_path_factory):
    """One scripted run; every test below reads what it left behind."""
    journal = tmp_path_factory.mktemp("journal") / "run.jsonl"
    out = io.StringIO()

    async def scenario():
        async with asyncio.timeout(RUN_LIMIT_S):
            result = await host_module.run(TIME_SCALE, journal_path=str(journal), out=out)
        leftover = asyncio.all_tasks() - {asyncio.current_task()}
        return result, leftover

    (host, platform), leftover = asyncio.run(scenario())
    entries = [json.loads(line) for line in journal.read_text().splitlines()]
    return host, platform, entries, journal, out.getvalue(), leftover


def calls(entries, name):
    return [e for e in entries if e["call"] == name]


def test_the_run_ends_without_pending_tasks_or_errors(run):
    host, platform, _, _, output, leftover = run
    assert leftover == set()
    assert host.stats.errors == 0, output
    assert platform.finished
    assert "gave up waiting" not in output  # every scripted step happened on its connection


def test_every_message_from_another_sender_is_answered_exactly_once(run):
    _, platform, _, _, output, _ = run
    others = [m for m in platform.messages.values() if not m.from_agent]
    assert {m.id for m in others} == {f"m{i}" for i in range(1, 13)}
    for m in others:
        accepted = [kind for mid, kind, ok in platform.writes if mid == m.id and ok]
        assert accepted.count("processed") == 1, (m.id, accepted)
        assert platform.answers(m.id) == (0 if m.expect == "decline" else 1), (m.id, output)


def test_a_turn_without_a_reply_posts_the_missing_reply_notice(run):
    _, platform, _, _, _, _ = run
    notice = q.missing_reply_message()
    assert [p["reply_to"] for p in platform.posts if p["content"] == notice] == ["m5"]


def test_own_messages_are_never_claimed_or_run(run):
    host, platform, entries, _, _, _ = run
    own = {m.id for m in platform.messages.values() if m.from_agent}
    assert own and host.stats.self_echoes >= len(own)
    claimed = {e["args"][1] for e in calls(entries, "ClaimRegistry.guarded_claim")}
    attempted = {e["args"][0] for e in calls(entries, "RetryTracker.record_attempt")}
    assert not (claimed | attempted) & own


def test_duplicates_are_suppressed_and_the_failed_turn_retried_once(run):
    host, platform, entries, _, _, _ = run
    verdicts = [e["result"] for e in calls(entries, "ClaimRegistry.guarded_claim")]
    assert verdicts.count("completed") >= 2  # m3 delivered twice, m1 redelivered after settling
    attempts = [e["args"][0] for e in calls(entries, "RetryTracker.record_attempt")]
    for mid in ("m4", "m11"):  # m11 fails during a drain; m12 behind it must not wait for it
        assert [(kind, ok) for m, kind, ok in platform.writes if m == mid] == [("failed", True), ("processed", True)]
        assert attempts.count(mid) == 2
    assert host.stats.retries == 2


def test_a_refused_write_is_parked_and_written_again_on_a_timer(run):
    host, platform, entries, _, _, _ = run
    assert [(kind, ok) for mid, kind, ok in platform.writes if mid == "m7"] == [
        ("processed", False), ("processed", True)]
    parked = calls(entries, "ClaimRegistry.park_settlement")
    assert [e["args"][1] for e in parked] == ["m7"] and parked[0]["result"] is True
    assert [e["result"] for e in calls(entries, "ClaimRegistry.unpark_acks") if e["result"]] == [1]


def test_reconnect_delays_stay_within_the_policy(run):
    host, _, _, _, _, _ = run
    delays = dict(host.stats.reconnects)
    assert list(delays) == ["HTTP 429", "close 1012", "close None", "superseded"]
    # The default policy: nothing waits longer than the cooldown ceiling (60 s); a Retry-After or
    # a supersede's retry_after is a floor.
    assert all(0 <= d <= 60 for d in delays.values())
    assert delays["HTTP 429"] >= platform_sim.RETRY_AFTER_S
    assert delays["superseded"] >= platform_sim.SUPERSEDE_RETRY_AFTER_S


def test_the_removed_room_is_left_and_the_added_room_joined(run):
    host, platform, _, _, _, _ = run
    history = platform.topic_history
    assert list(host.stats.rooms_left) == [platform_sim.OPS, platform_sim.EXTRA]
    assert not [t for n, ev, t in history if n >= 3 and t.endswith(platform_sim.OPS)]
    # The first participants join of the new room fails and its chat topic is left again; after
    # a pause the same connection admits the room, and the next one joins it again.
    design = [(n, ev, t.split(":")[0]) for n, ev, t in history if t.endswith(platform_sim.DESIGN)]
    assert design == [(3, "join", "chat_room"), (3, "leave", "chat_room"),
                      (3, "join", "chat_room"), (3, "join", "room_participants"),
                      (4, "join", "chat_room"), (4, "join", "room_participants")]
    assert platform_sim.DESIGN in host.stats.rooms_joined


def test_a_room_added_and_deleted_while_connected_is_joined_then_left(run):
    host, platform, _, _, _, _ = run
    extra = sorted((ev, t) for n, ev, t in platform.topic_history if t.endswith(platform_sim.EXTRA))
    assert extra == sorted((ev, f"{kind}:{platform_sim.EXTRA}") for ev in ("join", "leave")
                           for kind in ("chat_room", "room_participants"))
    assert platform.answers("m10") == 1


def test_the_final_close_leaves_the_session_dead_classified(run):
    host, _, entries, _, _, _ = run
    assert host.session.state == q.SessionState.Dead
    last_close = calls(entries, "Session.on_socket_close")[-1]
    assert last_close["args"][2] == 1000
    assert last_close["result"] == {"$SessionOutcome": [
        {"$enum": "SessionState.Dead"}, None, {"$enum": "DeadReason.Classified"}, None]}
    assert host.stats.end == "dead (classified)"


def test_the_journal_replays_with_no_difference(run):
    _, _, entries, journal, _, _ = run
    count, differences = replay(str(journal))
    assert count == len(entries) > 100
    assert differences == []


def test_ctrl_c_shuts_the_host_down_cleanly():
    env = dict(os.environ, PYTHONUNBUFFERED="1")
    proc = subprocess.Popen([sys.executable, str(EXAMPLES / "host.py"), "--time-scale", "0.05"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    try:
        deadline = time.monotonic() + 20
        seen = []
        while time.monotonic() < deadline:
            line = proc.stdout.readline()
            seen.append(line)
            if "admitted" in line or not line:
                break
        assert "admitted" in seen[-1], "".join(seen)
        proc.send_signal(signal.SIGINT)
        rest, errors = proc.communicate(timeout=20)
    finally:
        proc.kill()
    assert proc.returncode == 130
    assert "ended by the host" in rest and re.search(r"\n  errors +0\n", rest), rest
    assert "Traceback" not in errors and "was destroyed but it is pending" not in errors


def test_participant_events_feed_the_room_roster(run):
    _, _, entries, _, _, _ = run
    added = [dict(e["args"][0]["$dict"]) for e in calls(entries, "ParticipantRoster.add")]
    assert [(p["id"], p["name"]) for p in added] == [("u-cleo", "Cleo")]
    # The turn that looked at the participants saw the roster with Cleo in it.
    listed = [e["result"] for e in calls(entries, "ParticipantRoster.list")]
    assert any("u-cleo" in json.dumps(r) for r in listed)


def test_a_stopped_room_runs_nothing_until_play(run):
    _, _, entries, _, _, _ = run
    controls = [dict(e["args"][1]["$dict"])["mode"] for e in calls(entries, "validate_event_payload")
                if e["args"][0] == "agent.control"]
    assert controls == ["stop", "play"]
    order = [e for e in entries if e["call"] in ("validate_event_payload", "RetryTracker.record_attempt")]
    play = next(i for i, e in enumerate(order)
                if e["args"][0] == "agent.control" and dict(e["args"][1]["$dict"])["mode"] == "play")
    m9 = next(i for i, e in enumerate(order) if e["args"][0] == "m9")
    assert play < m9
