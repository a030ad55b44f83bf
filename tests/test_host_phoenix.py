"""Phoenix Channels framing and the host's channel client, over a loopback socket."""

import asyncio
import json

import pytest
from websockets.asyncio.client import connect
from websockets.asyncio.server import serve

from quarn_host import phoenix


@pytest.mark.parametrize("text, expected", [
    ('["1","2","chat_room:r","phx_join",{}]', phoenix.Frame("1", "2", "chat_room:r", "phx_join", {})),
    ('[null,null,"t","message_created",{"id":"m"}]', phoenix.Frame(None, None, "t", "message_created", {"id": "m"})),
    ('[null,"7","phoenix","heartbeat",[]]', phoenix.Frame(None, "7", "phoenix", "heartbeat", [])),
])
def test_frames_decode_and_encode_back(text, expected):
    assert phoenix.decode(text) == expected
    assert phoenix.decode(phoenix.encode(expected)) == expected


@pytest.mark.parametrize("text, message", [
    ("not json", "frame is not JSON"),
    ('{"topic": "t"}', "five elements"),
    ('[null, null, "t", "e"]', "five elements"),
    ('[1, null, "t", "e", {}]', "join_ref must be a string or null"),
    ('[null, 2, "t", "e", {}]', "ref must be a string or null"),
    ('[null, null, 3, "e", {}]', "topic and event must be strings"),
    ('[null, null, "t", null, {}]', "topic and event must be strings"),
])
def test_malformed_frames_are_refused(text, message):
    with pytest.raises(phoenix.ProtocolError, match=message):
        phoenix.decode(text)


@pytest.mark.parametrize("payload, expected", [
    ({"status": "ok", "response": {"a": 1}}, phoenix.Reply("ok", {"a": 1})),
    ({"status": "error"}, phoenix.Reply("error", None)),
    ({"response": {}}, phoenix.Reply("error", {"reason": "malformed reply"})),
    ([], phoenix.Reply("error", {"reason": "malformed reply"})),
])
def test_replies_are_read_from_the_reply_payload(payload, expected):
    assert phoenix.reply_of(payload) == expected


async def serve_with(answer, body):
    """Runs `body(client, events)` against a server whose frames `answer(frame)` produces."""
    async def handler(ws):
        async for text in ws:
            for reply in answer(phoenix.decode(text)):
                await ws.send(phoenix.encode(reply))

    async with serve(handler, "127.0.0.1", 0, ping_interval=None) as server:
        port = next(iter(server.sockets)).getsockname()[1]
        async with connect(f"ws://127.0.0.1:{port}", ping_interval=None) as ws:
            events = []
            client = phoenix.ChannelClient(ws, events.append, heartbeat_every=0.05, dead_after=0.3,
                                           reply_timeout=0.5)
            return await body(client, events)


def echo_replies(frame):
    if frame.event == "heartbeat":
        return [phoenix.Frame(None, frame.ref, "phoenix", phoenix.REPLY, {"status": "ok", "response": {}})]
    # An unasked event first: it reaches on_event, while the reply resolves the push.
    return [phoenix.Frame(frame.join_ref, None, frame.topic, "note", {"saw": frame.event}),
            phoenix.Frame(frame.join_ref, frame.ref, frame.topic, phoenix.REPLY,
                          {"status": "ok", "response": {"event": frame.event, "join_ref": frame.join_ref}})]


def test_pushes_get_their_own_replies_and_other_frames_go_to_the_handler():
    async def body(client, events):
        serving = asyncio.create_task(client.serve())
        joined = await client.join("chat_room:r")
        pushed = await client.push("chat_room:r", "list", {})
        await client.ws.close()
        return joined, pushed, events, await serving

    joined, pushed, events, code = asyncio.run(serve_with(echo_replies, body))
    assert joined.ok and joined.response["event"] == "phx_join"
    # Later pushes on a joined topic carry the join's ref as their join_ref.
    assert pushed.response == {"event": "list", "join_ref": joined.response["join_ref"]}
    assert [e.payload["saw"] for e in events] == ["phx_join", "list"]
    assert code == 1000


def test_a_socket_that_falls_silent_is_treated_as_dead():
    async def body(client, events):
        return await client.serve(), client.went_silent

    code, silent = asyncio.run(serve_with(lambda frame: [], body))
    assert (code, silent) == (None, True)


def test_heartbeats_keep_an_answering_socket_alive():
    async def body(client, events):
        serving = asyncio.create_task(client.serve())
        await asyncio.sleep(1.0)  # more than three times the silence threshold
        alive = not serving.done()
        await client.ws.close()
        await serving
        return alive, client.went_silent

    assert asyncio.run(serve_with(echo_replies, body)) == (True, False)


def test_a_push_without_a_reply_times_out_as_a_reply():
    async def body(client, events):
        serving = asyncio.create_task(client.serve())
        reply = await client.push("t", "ignored", {})
        await client.ws.close()
        await serving
        return reply

    silent_but_for_heartbeats = lambda frame: echo_replies(frame) if frame.event == "heartbeat" else []
    assert asyncio.run(serve_with(silent_but_for_heartbeats, body)) == phoenix.Reply("timeout", None)


def test_encoded_frames_are_compact_json_arrays():
    text = phoenix.encode(phoenix.Frame(None, "1", "phoenix", "heartbeat", {}))
    assert text == '[null,"1","phoenix","heartbeat",{}]' and json.loads(text)[2] == "phoenix"


def test_bad_frames_are_reported_and_skipped_and_the_socket_goes_on():
    junk = ["not json", "[1,2]", json.dumps([None, None, "t", "e", "x" * (phoenix.MAX_FRAME_BYTES + 1)]),
            json.dumps([None, "99", "t", phoenix.REPLY, {"status": "ok", "response": {}}])]

    async def handler(ws):
        async for text in ws:
            frame = phoenix.decode(text)
            for bad in junk:
                await ws.send(bad)
            await ws.send(phoenix.encode(phoenix.Frame(None, frame.ref, frame.topic, phoenix.REPLY,
                                                       {"status": "ok", "response": {"n": 1}})))

    async def scenario():
        async with serve(handler, "127.0.0.1", 0, ping_interval=None, max_size=None) as server:
            port = next(iter(server.sockets)).getsockname()[1]
            async with connect(f"ws://127.0.0.1:{port}", ping_interval=None,
                               max_size=phoenix.SOCKET_MAX_BYTES) as ws:
                problems, events = [], []
                client = phoenix.ChannelClient(ws, events.append, heartbeat_every=5, dead_after=10,
                                               reply_timeout=5, on_problem=problems.append)
                serving = asyncio.create_task(client.serve())
                reply = await client.push("t", "ask", {})
                await ws.close()
                await serving
                return reply, problems, events

    reply, problems, events = asyncio.run(scenario())
    assert reply == phoenix.Reply("ok", {"n": 1}) and events == []
    assert [p.split(":")[0] for p in problems] == ["frame skipped"] * 3 + ["reply skipped"]
