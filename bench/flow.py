"""The inbound flow of one message, from the text of a channel frame to a released claim.

A host reads a frame `[join_ref, ref, topic, event, payload]` off the socket, decodes it, decides
what the event means and, for a new message, claims it, counts the attempt, runs the agent's turn
(not timed: that is the agent's work, the same whoever keeps the books), records and confirms the
processed settlement and releases the claim. Each flow below does that for one frame and answers
what every step decided, so the flows are held to the same answers before they are timed:

- module: `orjson.loads` (or the standard library's `json.loads`), the frame's shape checked as
  the reference host does, `evaluate_delivery_event`, and the module's ClaimRegistry and
  RetryTracker;
- msgspec: the frame decoded to a tuple whose payload is kept as raw JSON, the payload of a
  "message_created" then decoded into msgspec Structs of the message shape (the checks of the
  message validator; an empty id refused), and the pure-Python ledgers of `pure_ledgers.py`;
- pydantic: `TypeAdapter(frame).validate_json`, then `validate_python` of a message payload into
  strict TypedDicts of the same shape, and the same ledgers. (One union of a message frame and any
  other frame would take a message that fails its checks for an "other" frame; two steps do not.)
- pure Python: `json.loads`, `pure_events.evaluate_delivery_event` and the same ledgers.

The frames are the realistic message of the corpus with a fresh id each, over four rooms; one
message in eight is the agent's own reply coming back (a self echo, skipped after routing).
"""

import json
from typing import TYPE_CHECKING, Annotated, Any, Callable, Optional

import corpus
import pure_events
import pure_ledgers
import target
from timing import Contender, Namespace

if TYPE_CHECKING:
    from cases import Case, Goal

Handler = Callable[[str], tuple[Any, ...]]  # one frame's text -> what each step answered

MESSAGE_CREATED = "message_created"
AGENT = corpus.AGENT_ID
ROOMS = tuple(corpus.room_id(i) for i in range(4))
POOL = 4096  # 1024 messages per room before an id comes back: past the 500 a completed window keeps
ECHO_EVERY = 8


class ProtocolError(ValueError):
    """A text that is not a channel frame."""


# ---- the frames


def frame_text(payload: object, topic: str, event: str = MESSAGE_CREATED, join_ref: Optional[str] = "1") -> str:
    """A frame as the platform's JSON encoder writes it (`json.dumps` defaults: non-ASCII escaped)."""
    return json.dumps([join_ref, None, topic, event, payload])


def message(i: int, salt: int, room: str, echo: bool = False) -> dict[str, Any]:
    payload = {**corpus.REALISTIC, "id": corpus.message_id(i, salt), "chat_room_id": room}
    if echo:
        payload.update(sender_type="Agent", sender_id=AGENT, sender_name="Helper")
    return payload


def frames(n: int, salt: int) -> list[str]:
    """n new messages over the rooms in turn; a room's every eighth message is a self echo."""
    texts = []
    for i in range(n):
        room = ROOMS[i % len(ROOMS)]
        echo = (i // len(ROOMS)) % ECHO_EVERY == ECHO_EVERY - 1
        texts.append(frame_text(message(i, salt, room, echo), "chat_room:" + room))
    return texts


def check_frames() -> list[str]:
    """Every branch of the flow: past the completed window and back, a redelivery, a self echo,
    a message failing its checks, an empty id, the room from the payload, other events, no frame."""
    stream = frames(2400, 7)  # 600 per room: the first ones leave the completed windows
    room = ROOMS[0]
    stream += stream[:16] + stream[-9:-6]  # runnable again; three recent ones (not echoes) completed
    stream += [
        frame_text(corpus.FAILING, "chat_room:" + room),
        frame_text({**message(1, 8, room), "id": ""}, "chat_room:" + room),
        frame_text(message(2, 8, ROOMS[2]), "chat_room:"),
        frame_text(message(3, 8, room), "chat_room:" + room, event="message_updated"),
        frame_text({"id": "p-1", "type": "User"}, "room_participants:" + room, event="participant_added"),
        frame_text(message(4, 8, room), "chat_room:" + room, join_ref=None),
        json.dumps({"topic": "chat_room:" + room}),
        json.dumps([None, None, "chat_room:" + room, MESSAGE_CREATED]),
        json.dumps([7, None, "chat_room:" + room, MESSAGE_CREATED, message(5, 8, room)]),
        "[null, null, ",
    ]
    return stream


# ---- the flows


def _frame_fields(items: Any) -> tuple[str, str, Any]:
    """The topic, event and payload of a decoded frame, checked as the reference host does."""
    if type(items) is not list or len(items) != 5:
        raise ProtocolError("frame must be an array of five elements")
    join_ref, ref, topic, event, payload = items
    if not (join_ref is None or type(join_ref) is str) or not (ref is None or type(ref) is str):
        raise ProtocolError("frame join_ref and ref must be strings or null")
    if type(topic) is not str or type(event) is not str:
        raise ProtocolError("frame topic and event must be strings")
    return topic, event, payload


def decision_flow(
    loads: Callable[[str], Any], evaluate: Callable[..., Any], claims: Any, retries: Any
) -> Handler:
    """A host that decodes the frame to Python objects and asks `evaluate` what it means: the
    module (with the module's ledgers) or the pure-Python routing (with the pure ledgers)."""

    def on_frame(text: str) -> tuple[Any, ...]:
        try:
            topic, event, payload = _frame_fields(loads(text))
        except ValueError:
            return ("no_frame",)
        kind, _, room = topic.partition(":")
        if kind != "chat_room":
            return ("other_topic",)
        try:
            decision = evaluate(event, room, payload, AGENT)
        except ValueError:
            return ("invalid",)
        route = decision["decision"]
        if route != "invocation":
            return (route,) if route == "ignored" else (route, decision["room_id"], decision["message_id"])
        room, message_id = decision["room_id"], decision["message_id"]
        verdict = claims.guarded_claim(room, message_id, retries)
        if verdict != "runnable":
            return (route, room, message_id, verdict)
        try:
            attempts, _exhausted = retries.record_attempt(message_id)
            settlement = claims.record_processed_settlement(room, message_id)
            confirmed = claims.confirm_settlement(room, message_id, settlement["token"], retries)
        finally:
            claims.release(room, message_id)
        return (route, room, message_id, verdict, attempts, settlement["status"], confirmed)

    return on_frame


def module_flow(q: Any, loads: Callable[[str], Any]) -> Handler:
    return decision_flow(loads, q.evaluate_delivery_event, q.ClaimRegistry(), q.RetryTracker())


def pure_flow() -> Handler:
    return decision_flow(json.loads, pure_events.evaluate_delivery_event, pure_ledgers.ClaimRegistry(),
                         pure_ledgers.RetryTracker())


# The typed flows read the model's fields directly, as their authors would; the ledger steps are
# written out in each flow (not shared through a function) so that no flow pays an extra call.


def msgspec_flow() -> Optional[Callable[[], Handler]]:
    try:
        import msgspec
    except ImportError:
        return None

    class Mention(msgspec.Struct):
        id: str
        username: Optional[str] = None
        handle: Optional[str] = None
        name: Optional[str] = None

    class Metadata(msgspec.Struct):
        mentions: Optional[list[Mention]] = None

    class Message(msgspec.Struct):
        id: Annotated[str, msgspec.Meta(min_length=1)]
        content: str
        message_type: str
        sender_type: str
        sender_id: str
        inserted_at: str
        updated_at: str
        sender_name: Optional[str] = None
        metadata: Optional[Metadata] = None
        attachments: Optional[list[Any]] = None
        chat_room_id: Optional[str] = None

    frame_type = tuple[Optional[str], Optional[str], str, str, msgspec.Raw]
    decode_frame = msgspec.json.Decoder(frame_type).decode
    decode_message = msgspec.json.Decoder(Message).decode
    refused = msgspec.DecodeError  # a ValidationError is one too

    def make() -> Handler:
        claims, retries = pure_ledgers.ClaimRegistry(), pure_ledgers.RetryTracker()

        def on_frame(text: str) -> tuple[Any, ...]:
            try:
                _join_ref, _ref, topic, event, payload = decode_frame(text)
            except refused:
                return ("no_frame",)
            kind, _, room = topic.partition(":")
            if kind != "chat_room":
                return ("other_topic",)
            if event != MESSAGE_CREATED:
                return ("ignored",)
            try:
                message = decode_message(payload)
            except refused:
                return ("invalid",)
            message_id = message.id
            room = room or message.chat_room_id or ""
            if not room:
                return ("invalid",)
            if message.sender_type == "Agent" and message.sender_id == AGENT:
                return ("skip_self", room, message_id)
            verdict = claims.guarded_claim(room, message_id, retries)
            if verdict != "runnable":
                return ("invocation", room, message_id, verdict)
            try:
                attempts, _exhausted = retries.record_attempt(message_id)
                settlement = claims.record_processed_settlement(room, message_id)
                confirmed = claims.confirm_settlement(room, message_id, settlement["token"], retries)
            finally:
                claims.release(room, message_id)
            return ("invocation", room, message_id, verdict, attempts, settlement["status"], confirmed)

        return on_frame

    return make


def pydantic_flow() -> Optional[Callable[[], Handler]]:
    try:
        from pydantic import ConfigDict, StringConstraints, TypeAdapter, ValidationError, with_config
        from typing_extensions import NotRequired, TypedDict
    except ImportError:
        return None
    strict = with_config(ConfigDict(strict=True))  # like the module: no coercion

    @strict
    class Mention(TypedDict):
        id: str
        username: NotRequired[Optional[str]]
        handle: NotRequired[Optional[str]]
        name: NotRequired[Optional[str]]

    @strict
    class Metadata(TypedDict):
        mentions: NotRequired[Optional[list[Mention]]]

    @strict
    class Message(TypedDict):
        id: Annotated[str, StringConstraints(min_length=1)]
        content: str
        message_type: str
        sender_type: str
        sender_id: str
        inserted_at: str
        updated_at: str
        sender_name: NotRequired[Optional[str]]
        metadata: NotRequired[Optional[Metadata]]
        attachments: NotRequired[Optional[list[Any]]]
        chat_room_id: NotRequired[Optional[str]]

    frame = TypeAdapter(tuple[Optional[str], Optional[str], str, str, Any], config=ConfigDict(strict=True))
    decode_frame, decode_message = frame.validate_json, TypeAdapter(Message).validate_python

    def make() -> Handler:
        claims, retries = pure_ledgers.ClaimRegistry(), pure_ledgers.RetryTracker()

        def on_frame(text: str) -> tuple[Any, ...]:
            try:
                _join_ref, _ref, topic, event, payload = decode_frame(text)
            except ValidationError:
                return ("no_frame",)
            kind, _, room = topic.partition(":")
            if kind != "chat_room":
                return ("other_topic",)
            if event != MESSAGE_CREATED:
                return ("ignored",)
            try:
                message = decode_message(payload)
            except ValidationError:
                return ("invalid",)
            message_id = message["id"]
            room = room or message.get("chat_room_id") or ""
            if not room:
                return ("invalid",)
            if message["sender_type"] == "Agent" and message["sender_id"] == AGENT:
                return ("skip_self", room, message_id)
            verdict = claims.guarded_claim(room, message_id, retries)
            if verdict != "runnable":
                return ("invocation", room, message_id, verdict)
            try:
                attempts, _exhausted = retries.record_attempt(message_id)
                settlement = claims.record_processed_settlement(room, message_id)
                confirmed = claims.confirm_settlement(room, message_id, settlement["token"], retries)
            finally:
                claims.release(room, message_id)
            return ("invocation", room, message_id, verdict, attempts, settlement["status"], confirmed)

        return on_frame

    return make


# ---- the case


def run_flow(handler: Handler, texts: list[str]) -> list[tuple[Any, ...]]:
    return [handler(text) for text in texts]


def _check_against_pure(make: Callable[[], Handler]) -> Callable[[Namespace], None]:
    def check(_ns: Namespace) -> None:
        texts = check_frames()
        got, want = run_flow(make(), texts), run_flow(pure_flow(), texts)
        for text, a, b in zip(texts, got, want):
            if a != b:
                raise AssertionError(f"flow answers {a!r} where pure Python answers {b!r} for {text[:120]}")

    return check


def _contender(name: str, role: str, make: Optional[Callable[[], Handler]], skip: Optional[str],
               pool: list[str]) -> Contender:
    if make is None:
        return Contender(name, role, "f(_item)", dict, skip=skip or f"{name.split()[0]} is not installed")
    built = make
    return Contender(name, role, "f(_item)", lambda: {"f": built()}, pool=pool, skip=skip,
                     check=None if skip else _check_against_pure(built))


def flow_case(q: Any) -> "Case":
    from cases import Case

    skip = target.missing(q, "evaluate_delivery_event", "ClaimRegistry.guarded_claim", "RetryTracker.record_attempt")
    try:
        import orjson
    except ImportError:
        orjson_loads: Optional[Callable[[str], Any]] = None
        skip = skip or "orjson is not installed"
    else:
        orjson_loads = orjson.loads
    pool = frames(POOL, 1)

    def module_with(loads: Optional[Callable[[str], Any]]) -> Optional[Callable[[], Handler]]:
        return None if skip or loads is None else (lambda: module_flow(q, loads))

    decode_only = Contender("orjson.loads alone", "reference", "f(_item)", lambda: {"f": orjson_loads}, pool=pool,
                            skip=None if orjson_loads is not None else "orjson is not installed")
    return Case(
        "inbound_flow",
        "one message from the frame's text to a released claim: decode, validate and route, guarded_claim, "
        "record_attempt, record_processed_settlement, confirm_settlement, release",
        "ns per message",
        [
            _contender("module", "module", module_with(orjson_loads), skip, pool),
            _contender("module, json.loads", "reference", module_with(json.loads), skip, pool),
            _contender("msgspec flow", "baseline", msgspec_flow(), None, pool),
            _contender("pydantic flow", "baseline", pydantic_flow(), None, pool),
            _contender("pure Python flow", "baseline", pure_flow, None, pool),
            decode_only,
        ],
    )


def cases(q: Any, quick: bool) -> list["Case"]:
    return [flow_case(q)]


def goals() -> list["Goal"]:
    from cases import Goal

    # At most half of each peer's flow: so at most half of the faster one's.
    return [Goal(f"inbound flow: at most 0.5 x the {peer}", "inbound_flow", "module", peer, 0.5)
            for peer in ("msgspec flow", "pydantic flow")]
