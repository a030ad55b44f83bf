"""Message payloads ("message_created", "message_updated"): checks, issue order, normal form."""

import pytest

import quarn_sdk_core as q

REQUIRED = ["id", "content", "message_type", "sender_type", "sender_id", "inserted_at", "updated_at"]
KINDS = ["message_created", "message_updated"]


def message(**fields):
    base = {name: f"{name}-value" for name in REQUIRED}
    base.update(fields)
    return {k: v for k, v in base.items() if v is not DROP}


DROP = object()


def issues(payload, kind="message_created"):
    with pytest.raises(ValueError) as info:
        q.validate_event_payload(kind, payload)
    return info.value.issues


@pytest.mark.parametrize("kind", KINDS)
def test_empty_object_reports_the_seven_required_fields_in_order(kind):
    with pytest.raises(ValueError) as info:
        q.validate_event_payload(kind, {})
    assert info.value.issues == tuple((f, "missing", f"required field `{f}` is missing") for f in REQUIRED)
    assert str(info.value) == "7 validation issue(s): required field `id` is missing (id)"


@pytest.mark.parametrize("field", REQUIRED)
@pytest.mark.parametrize("value", [None, 1, True, [], {}, 2.5])
def test_required_fields_must_be_strings(field, value):
    assert issues(message(**{field: value})) == ((field, "wrong_type", f"`{field}` must be a string"),)


def test_empty_strings_and_any_text_pass_unchecked():
    payload = message(id="", content="", message_type="anything", sender_type="agent", inserted_at="not a time")
    assert q.validate_event_payload("message_created", payload)["message_type"] == "anything"


@pytest.mark.parametrize("kind", KINDS)
def test_complete_payload_gains_the_containers_in_sorted_position(kind):
    result = q.validate_event_payload(kind, message(zzz=1, aaa=2))
    assert result["metadata"] == {"mentions": []} and result["attachments"] == []
    assert list(result) == sorted(result)
    assert result["zzz"] == 1 and result["aaa"] == 2


@pytest.mark.parametrize(
    "metadata, expected",
    [
        (DROP, {"mentions": []}),
        (None, {"mentions": []}),
        ({}, {"mentions": []}),
        ({"mentions": None, "x": 1}, {"mentions": [], "x": 1}),
        ({"z": {"b": 1, "a": 2}}, {"mentions": [], "z": {"a": 2, "b": 1}}),
        ({"mentions": [{"id": "u", "extra": [1]}]}, {"mentions": [{"extra": [1], "id": "u"}]}),
    ],
)
def test_metadata_normal_form(metadata, expected):
    result = q.validate_event_payload("message_created", message(metadata=metadata))
    assert result["metadata"] == expected
    assert list(result["metadata"]) == sorted(expected)


@pytest.mark.parametrize("attachments, expected", [(DROP, []), (None, []), ([1, "x", {}], [1, "x", {}])])
def test_attachments_normal_form(attachments, expected):
    assert q.validate_event_payload("message_created", message(attachments=attachments))["attachments"] == expected


@pytest.mark.parametrize("value", ["text", 1, [], True])
def test_metadata_of_another_type_is_reported_and_mentions_are_not_checked(value):
    assert issues(message(metadata=value)) == (("metadata", "wrong_type", "`metadata` must be an object"),)


@pytest.mark.parametrize("value", ["x", {}, 3, False])
def test_mentions_of_another_type_is_reported_once(value):
    assert issues(message(metadata={"mentions": value})) == (
        ("metadata.mentions", "wrong_type", "`metadata.mentions` must be an array"),
    )


@pytest.mark.parametrize("value", [{}, 1, "x", True])
def test_attachments_of_another_type_is_reported(value):
    assert issues(message(attachments=value)) == (("attachments", "wrong_type", "`attachments` must be an array"),)


def test_each_mention_is_checked_with_its_position_in_the_path():
    mentions = [
        {"id": "ok", "username": None, "handle": "h", "name": None},
        "not an object",
        {"username": 5},
        {"id": 1, "username": "u", "handle": 2, "name": [], "other": 9},
        None,
    ]
    assert issues(message(metadata={"mentions": mentions})) == (
        ("metadata.mentions[1]", "wrong_type", "`metadata.mentions[1]` must be an object"),
        ("metadata.mentions[2].id", "missing", "required field `metadata.mentions[2].id` is missing"),
        ("metadata.mentions[2].username", "wrong_type", "`metadata.mentions[2].username` must be a string"),
        ("metadata.mentions[3].id", "wrong_type", "`metadata.mentions[3].id` must be a string"),
        ("metadata.mentions[3].handle", "wrong_type", "`metadata.mentions[3].handle` must be a string"),
        ("metadata.mentions[3].name", "wrong_type", "`metadata.mentions[3].name` must be a string"),
        ("metadata.mentions[4]", "wrong_type", "`metadata.mentions[4]` must be an object"),
    )


def test_mention_paths_use_decimal_positions_past_nine():
    mentions = [{"id": "u"}] * 12 + [{}]
    assert issues(message(metadata={"mentions": mentions}))[0][0] == "metadata.mentions[12].id"


@pytest.mark.parametrize("value, ok", [(None, True), ("Ann", True), (7, False), ([], False)])
def test_sender_name_may_be_absent_null_or_string(value, ok):
    payload = message(sender_name=value)
    if ok:
        assert q.validate_event_payload("message_created", payload)["sender_name"] == value
    else:
        assert issues(payload) == (("sender_name", "wrong_type", "`sender_name` must be a string"),)


def test_every_check_runs_in_one_pass_in_table_order():
    payload = {
        "content": 1,
        "message_type": "t",
        "sender_type": None,
        "sender_id": "s",
        "inserted_at": "i",
        "sender_name": 3,
        "metadata": {"mentions": [{"id": 2}]},
        "attachments": "x",
    }
    assert issues(payload, "message_updated") == (
        ("id", "missing", "required field `id` is missing"),
        ("content", "wrong_type", "`content` must be a string"),
        ("sender_type", "wrong_type", "`sender_type` must be a string"),
        ("updated_at", "missing", "required field `updated_at` is missing"),
        ("sender_name", "wrong_type", "`sender_name` must be a string"),
        ("metadata.mentions[0].id", "wrong_type", "`metadata.mentions[0].id` must be a string"),
        ("attachments", "wrong_type", "`attachments` must be an array"),
    )


def test_keys_are_matched_exactly():
    payload = message(id=DROP, ID="x", **{"id ": "y"})
    assert issues(payload) == (("id", "missing", "required field `id` is missing"),)
