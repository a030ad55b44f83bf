"""Payloads the benchmarks feed to every validator: one realistic, one large, one failing.

The realistic payload is what a busy room sends all day; the large one is the worst ordinary
case (a long pasted text addressed to many people); the failing one trips seven checks at once,
spread over every kind of check, so the cost of reporting issues is measured, not just the first.
"""

AGENT_ID = "0190a5c2-0000-7000-8000-00000000a9e1"
ROOM_ID = "0190a5c2-1b2c-7d3e-8f40-5a6b7c8d9e0f"

_MENTIONS = [
    {"id": AGENT_ID, "username": "helper-bot", "handle": "@helper-bot", "name": "Helper"},
    {"id": "0190a5c2-3333-7000-8000-0000000c1a7e", "username": "chloe", "handle": "@chloe", "name": "Chloé Dubois"},
]

_ATTACHMENT = {
    "id": "0190a5c2-5d6e-7f80-9102-a3b4c5d6e7f8",
    "filename": "Q3 résumé — draft.pdf",
    "content_type": "application/pdf",
    "size": 184_320,
    "url": "https://files.example.test/att/0190a5c2-5d6e-7f80-9102-a3b4c5d6e7f8",
}

# Thirteen fields: the seven required strings, the checked optional ones, and the extras a real
# platform sends alongside (room id, thread, edit flag), which must be kept as they are.
REALISTIC = {
    "id": "0190a5c2-9a8b-7c6d-8e5f-4a3b2c1d0e9f",
    "chat_room_id": ROOM_ID,
    "content": "@helper-bot peux-tu résumer le fil pour @chloe ? Merci 🙏 — 日本語のメモも添付しました",
    "message_type": "text",
    "sender_type": "User",
    "sender_id": "0190a5c2-2222-7000-8000-0000000b0b01",
    "sender_name": "Zoë Müller",
    "inserted_at": "2025-03-14T09:26:53.589793Z",
    "updated_at": "2025-03-14T09:26:53.589793Z",
    "metadata": {"mentions": _MENTIONS, "client": "web", "locale": "fr-FR"},
    "attachments": [_ATTACHMENT],
    "reply_to_id": None,
    "edited": False,
}


def _four_kib_text() -> str:
    sentence = "Le déploiement de vendredi a échoué à l'étape 3 ⚠️ — voir les journaux ci-dessous. "
    text = ""
    while len((text + sentence).encode()) <= 4096:
        text += sentence
    return text + "." * (4096 - len(text.encode()))


def _mention(i: int) -> dict[str, str]:
    return {
        "id": f"0190a5c2-3333-7000-8000-{i:012x}",
        "username": f"member{i}",
        "handle": f"@member{i}",
        "name": f"Membre n°{i}",
    }


LARGE = {
    **REALISTIC,
    "id": "0190a5c2-9a8b-7c6d-8e5f-4a3b2c1d0ea0",
    "content": _four_kib_text(),
    "metadata": {"mentions": [_mention(i) for i in range(20)], "client": "web", "locale": "fr-FR"},
}

# Seven issues, in the order the validator finds them.
FAILING = {
    "chat_room_id": ROOM_ID,  # `id` is absent
    "content": 42,
    "message_type": "text",
    "sender_type": "User",
    "sender_id": "0190a5c2-2222-7000-8000-0000000b0b01",
    "sender_name": 7,
    "inserted_at": "2025-03-14T09:26:53.589793Z",
    "updated_at": "2025-03-14T09:26:53.589793Z",
    "metadata": {"mentions": ["@chloe", {"username": "chloe", "handle": ["@chloe"]}]},
    "attachments": {"id": "att-1"},
}

FAILING_ISSUES = (
    ("id", "missing", "required field `id` is missing"),
    ("content", "wrong_type", "`content` must be a string"),
    ("sender_name", "wrong_type", "`sender_name` must be a string"),
    ("metadata.mentions[0]", "wrong_type", "`metadata.mentions[0]` must be an object"),
    ("metadata.mentions[1].id", "missing", "required field `metadata.mentions[1].id` is missing"),
    ("metadata.mentions[1].handle", "wrong_type", "`metadata.mentions[1].handle` must be a string"),
    ("attachments", "wrong_type", "`attachments` must be an array"),
)

PAYLOADS = {"realistic": REALISTIC, "large": LARGE, "failing": FAILING}


def message_id(i: int, salt: int = 0) -> str:
    """The i-th message id of a run: the 36-character time-ordered shape the platform uses."""
    return f"0190a5c2-{salt:04x}-7000-8000-{i:012x}"


def room_id(i: int) -> str:
    return f"0190a5c2-beef-7000-9000-{i:012x}"


# ---- every shape a platform sends ------------------------------------------------------------
# Keyed "event/shape"; each value is (event type, payload). The message shapes vary one thing at a
# time from REALISTIC, so a slow shape names what makes it slow.


def _text(size: int, ascii_only: bool) -> str:
    unit = "The deploy is green again. " if ascii_only else "Le déploiement — 日本語 ⚠️ "
    text = ""
    while len((text + unit).encode()) <= size:
        text += unit
    return text + "." * (size - len(text.encode()))


def _message(**changes: object) -> dict[str, object]:
    payload = {**REALISTIC, **changes}
    return {k: v for k, v in payload.items() if v is not _ABSENT}


_ABSENT = object()
_METADATA = {"client": "web", "locale": "fr-FR"}

MESSAGE_SHAPES = {
    "realistic": _message(),
    "metadata_absent": _message(metadata=_ABSENT),
    "metadata_null": _message(metadata=None),
    "metadata_empty": _message(metadata={}),
    "mentions_absent": _message(metadata=dict(_METADATA)),
    "mentions_0": _message(metadata={**_METADATA, "mentions": []}),
    "mentions_50": _message(metadata={**_METADATA, "mentions": [_mention(i) for i in range(50)]}),
    "attachments_absent": _message(attachments=_ABSENT),
    "attachments_null": _message(attachments=None),
    "attachments_empty": _message(attachments=[]),
    "attachments_10": _message(attachments=[dict(_ATTACHMENT, id=f"att-{i}") for i in range(10)]),
    "bare": _message(metadata=_ABSENT, attachments=_ABSENT, reply_to_id=_ABSENT, edited=_ABSENT,
                     sender_name=None),
    "sender_name_null": _message(sender_name=None),
    "unknown_keys": _message(thread={"id": "t-1", "depth": 2, "tags": ["a", "b"]}, score=0.5,
                             flags=[True, None, 3]),
    **{f"text_{label}_{size}": _message(content=_text(size, label == "ascii"))
       for label in ("ascii", "utf8") for size in (40, 1024, 16384)},
}

OTHER_EVENTS: dict[str, dict[str, object]] = {
    "room_added": {"id": ROOM_ID, "title": "Ops", "task_id": None,
                   "inserted_at": "2025-03-14T09:26:53Z", "updated_at": "2025-03-14T09:26:53Z"},
    "room_removed": {"id": ROOM_ID, "inserted_at": "2025-03-14T09:26:53Z", "updated_at": "2025-03-14T09:26:53Z"},
    "room_deleted": {"id": ROOM_ID},
    "participant_added": {"id": AGENT_ID, "type": "Agent", "name": "Helper", "handle": "@helper-bot"},
    "participant_removed": {"id": AGENT_ID, "type": "Agent", "name": "Helper"},
    "contact_request_received": {"id": "q-1", "status": "pending", "inserted_at": "2025-03-14T09:26:53Z"},
    "contact_request_updated": {"id": "q-1", "status": "accepted"},
    "contact_added": {"id": "c-1", "type": "User", "inserted_at": "2025-03-14T09:26:53Z",
                      "handle": "@chloe", "name": "Chloé Dubois"},
    "contact_removed": {"id": "c-1"},
    "supersede": {"reason": "session_replaced", "message": "Another session connected.",
                  "correlation_id": None, "retryable": True, "retry_after": 3},
    "agent.control": {"mode": "stop", "scope": "room", "agent_id": AGENT_ID, "correlation_id": "c-9",
                      "execution_id": None, "room_id": ROOM_ID, "reason": "operator"},
    "event_created": {"anything": ["goes", 1, None]},
}

# A message shape that fails one check, beside FAILING's seven.
FAILING_ONE = _message(content=42)

SHAPES: dict[str, tuple[str, dict[str, object]]] = {
    **{f"message_created/{name}": ("message_created", p) for name, p in MESSAGE_SHAPES.items()},
    **{f"message_updated/{name}": ("message_updated", p) for name, p in MESSAGE_SHAPES.items()
       if name in ("realistic", "bare", "attachments_absent", "metadata_absent")},
    **{f"{event}/valid": (event, p) for event, p in OTHER_EVENTS.items()},
}
FAILING_SHAPES: dict[str, tuple[str, dict[str, object], int]] = {  # (event type, payload, issues)
    "message_created/failing_1": ("message_created", FAILING_ONE, 1),
    "message_created/failing_7": ("message_created", FAILING, len(FAILING_ISSUES)),
}
