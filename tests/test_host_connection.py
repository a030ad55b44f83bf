"""The reference host's connection loop and event routing, against platforms that misbehave."""

import asyncio
import io
import re
import socket
from http import HTTPStatus

import pytest
from websockets.asyncio.server import serve
from websockets.datastructures import Headers
from websockets.exceptions import ConnectionClosed
from websockets.http11 import Response

from quarn_host import host as host_module
from quarn_host.agent import ToyAgent
from quarn_host.delivery import Inbound, RoomWorker
from quarn_host.journal import Core, Journal
from quarn_host.report import Clock, Reporter

MESSAGE = {"id": "m1", "content": "hi", "message_type": "text", "sender_type": "User",
           "sender_id": "u1", "inserted_at": "t", "updated_at": "t"}


async def run_against(url, time_scale):
    async with asyncio.timeout(30):
        host, _ = await host_module.run(time_scale, url=url, out=io.StringIO())
    return host


def no_task_left():
    return asyncio.all_tasks() == {asyncio.current_task()}


@pytest.mark.parametrize("status", [400, 403, 409])
def test_a_terminal_upgrade_refusal_ends_the_session_at_once(status):
    attempts = []

    def refuse(ws, request):
        attempts.append(request.path)
        return Response(status, HTTPStatus(status).phrase, Headers({"Content-Length": "0"}), b"")

    async def scenario():
        async with serve(lambda ws: None, "127.0.0.1", 0, process_request=refuse) as server:
            port = next(iter(server.sockets)).getsockname()[1]
            host = await run_against(f"ws://127.0.0.1:{port}/socket", 0.01)
        return host, no_task_left()

    host, clean = asyncio.run(scenario())
    assert clean
    assert len(attempts) == 1
    assert host.stats.end == "dead (classified)" and not host.stats.reconnects


def test_a_platform_that_never_answers_gets_the_rapid_disconnect_ladder_until_cancelled():
    with socket.socket() as s:  # a port nobody listens on
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    out = io.StringIO()

    async def scenario():
        task = asyncio.create_task(host_module.run(0.01, url=f"ws://127.0.0.1:{port}/socket", out=out))
        async with asyncio.timeout(30):
            while out.getvalue().count("backoff") < 5:
                await asyncio.sleep(0.01)
        task.cancel()  # what Ctrl-C does to the host's main task
        with pytest.raises(asyncio.CancelledError):
            await task
        return no_task_left()

    assert asyncio.run(scenario())
    text = out.getvalue()
    delays = [float(d) for d in re.findall(r"next attempt in ([0-9.]+) s", text)]
    # Never connected, every failure is a rapid disconnect: the default policy's floors.
    assert delays[:5] == [1, 5, 10, 20, 30]
    assert re.search(r"\n  session +ended by the host\n", text)


@pytest.mark.parametrize("header, expected", [
    ("2", 2.0), ("1.5", 1.5), ("0", 0.0), (None, None), ("-1", None), ("inf", None),
    ("nan", None), ("Wed, 21 Oct 2015 07:28:00 GMT", None),
])
def test_retry_after_headers_in_seconds_are_used_and_others_ignored(header, expected):
    assert host_module.retry_after_seconds(header) == expected


@pytest.mark.parametrize("event, room, payload, routed, line", [
    ("message_created", "r", MESSAGE, True, "r/m1 from u1: invocation"),
    ("message_created", None, dict(MESSAGE, chat_room_id="r2"), True, "r2/m1 from u1: invocation"),
    ("message_created", "r", dict(MESSAGE, sender_type="Agent", sender_id="a1"), False,
     "r/m1: own message, skipped"),
    ("message_created", "r", dict(MESSAGE, id=5), False, "`id` must be a string"),
    ("message_created", None, MESSAGE, False, "room_id is missing"),
    ("message_updated", "r", MESSAGE, False, ""),
    ("typing", "r", {}, False, ""),
])
def test_events_are_routed_by_the_module(event, room, payload, routed, line):
    async def scenario():
        out = io.StringIO()
        journal = Journal(None)
        host = host_module.Host(Core(journal), ToyAgent(), "a1", "ws://unused", Reporter(Clock(), out))
        return host.route_event(event, room, payload), out.getvalue(), host.stats, journal.calls

    decision, output, stats, journaled = asyncio.run(scenario())
    assert (decision is not None) == routed
    assert line in output if line else output == ""
    assert stats.messages_seen == int(routed)
    assert stats.self_echoes == int("own message" in line)
    assert journaled > 0  # the routing question went through the journal


def test_an_attempt_cut_short_by_the_socket_spends_no_retry_budget():
    class CutOff:
        async def run_turn(self, turn, tools):
            raise ConnectionClosed(None, None)

    async def scenario():
        host = host_module.Host(Core(), CutOff(), "a1", "ws://unused", Reporter(Clock(), io.StringIO()),
                                retry_budget=1)
        worker = RoomWorker(host, None, "r")
        with pytest.raises(ConnectionClosed):
            await worker.run_claimed(Inbound("m1", MESSAGE))
        return host.retries.record_attempt("m1")

    assert asyncio.run(scenario()) == (1, False)  # as if the cut attempt had never started
