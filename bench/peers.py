"""What a user would pick instead of the module to check a message payload.

Each peer is declared with the same shape the message validator checks: seven required strings,
an optional nullable `sender_name`, an optional nullable `metadata` object whose optional
nullable `mentions` is a list of objects with a required `id` and three optional nullable
strings, and an optional nullable `attachments` list. Unknown keys are kept where the library
can keep them. A peer whose library is not installed is None, and its contenders are skipped.
Each peer's own validation error type is exported beside it, so a loop timing a failing payload
catches that error and nothing else.
"""

from typing import Any, Callable, List, Optional

try:
    from typing_extensions import NotRequired, TypedDict
except ImportError:  # pragma: no cover - typing_extensions comes with pydantic, which needs its TypedDict
    from typing import NotRequired, TypedDict


def _typed_dicts(config: Any = None) -> Any:
    """The message shape as TypedDicts; `config` is pydantic's, attached to every level."""

    class Mention(TypedDict):
        id: str
        username: NotRequired[Optional[str]]
        handle: NotRequired[Optional[str]]
        name: NotRequired[Optional[str]]

    class Metadata(TypedDict):
        mentions: NotRequired[Optional[List[Mention]]]

    class Message(TypedDict):
        id: str
        content: str
        message_type: str
        sender_type: str
        sender_id: str
        inserted_at: str
        updated_at: str
        sender_name: NotRequired[Optional[str]]
        metadata: NotRequired[Optional[Metadata]]
        attachments: NotRequired[Optional[List[Any]]]

    if config is not None:
        for cls in (Mention, Metadata, Message):
            setattr(cls, "__pydantic_config__", config)  # pydantic reads it from the class
    return Message


def _pydantic_validator() -> Optional[Callable[[Any], Any]]:
    try:
        from pydantic import ConfigDict, TypeAdapter
    except ImportError:
        return None
    # Strict: like the module, no coercion (a str field refuses bytes, numbers and the like).
    adapter = TypeAdapter(_typed_dicts(ConfigDict(extra="allow", strict=True)))
    validate: Callable[[Any], Any] = adapter.validate_python
    return validate


def _msgspec_converter() -> Optional[Callable[[Any], Any]]:
    try:
        import msgspec
    except ImportError:
        return None
    message_type = _typed_dicts()
    convert = msgspec.convert

    def convert_message(payload: Any) -> Any:
        return convert(payload, message_type)

    return convert_message


def _orjson_round_trip() -> Optional[Callable[[Any], Any]]:
    try:
        import orjson
    except ImportError:
        return None
    dumps, loads, sort_keys = orjson.dumps, orjson.loads, orjson.OPT_SORT_KEYS

    def round_trip(payload: Any) -> Any:
        return loads(dumps(payload, option=sort_keys))

    return round_trip


def _error_type(module: str, name: str) -> Optional[type[Exception]]:
    try:
        found: type[Exception] = getattr(__import__(module), name)
    except ImportError:
        return None
    return found


pydantic_validate = _pydantic_validator()
pydantic_error = _error_type("pydantic", "ValidationError")
msgspec_convert = _msgspec_converter()
msgspec_error = _error_type("msgspec", "ValidationError")
orjson_round_trip = _orjson_round_trip()


def versions() -> dict[str, Optional[str]]:
    """Installed versions of the peers, for the results file."""
    from importlib import metadata

    found: dict[str, Optional[str]] = {}
    for name in ("pydantic", "pydantic-core", "msgspec", "orjson", "psutil"):
        try:
            found[name] = metadata.version(name)
        except metadata.PackageNotFoundError:
            found[name] = None
    return found
