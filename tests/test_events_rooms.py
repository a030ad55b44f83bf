"""Room, participant and contact payloads: one table of (field, rule) per kind."""

import pytest

import quarn_sdk_core as q

DROP = object()

BASE = {
    "room_added": {"id": "r", "inserted_at": "a", "updated_at": "b"},
    "room_removed": {"id": "r", "inserted_at": "a", "updated_at": "b"},
    "room_deleted": {"id": "r"},
    "participant_added": {"id": "p", "type": "User", "name": "Ann"},
    "participant_removed": {"id": "p", "type": "User", "name": "Ann"},
    "contact_added": {"id": "c", "type": "User", "inserted_at": "a", "handle": None, "name": None},
    "contact_removed": {"id": "c"},
    "contact_request_received": {"id": "q", "status": "pending", "inserted_at": "a"},
    "contact_request_updated": {"id": "q", "status": "whatever"},
}


def payload(kind, **fields):
    p = dict(BASE[kind])
    p.update(fields)
    return {k: v for k, v in p.items() if v is not DROP}


def validate(kind, **fields):
    return q.validate_event_payload(kind, payload(kind, **fields))


def issues(kind, **fields):
    with pytest.raises(ValueError) as info:
        validate(kind, **fields)
    return info.value.issues


def missing(f):
    return (f, "missing", f"required field `{f}` is missing")


def wrong(f, word):
    article = "an" if word[0] in "aeiou" else "a"
    return (f, "wrong_type", f"`{f}` must be {article} {word}")


@pytest.mark.parametrize("kind", sorted(BASE))
def test_minimal_payload_passes_unchanged_with_unknown_keys_kept(kind):
    extra = {"zz_unknown": {"y": [1, None], "x": 1.5}, "AA": None}
    result = validate(kind, **extra)
    assert result == {**BASE[kind], **extra}
    assert list(result) == sorted(result) and list(result["zz_unknown"]) == ["x", "y"]


# Every kind's empty payload reports its required fields, in table order.
EMPTY = {
    "room_added": [missing("id"), missing("inserted_at"), missing("updated_at")],
    "room_deleted": [missing("id")],
    "participant_removed": [missing("id"), missing("type"), missing("name")],
    "contact_added": [missing("id"), missing("type"), missing("inserted_at"), missing("handle"), missing("name")],
    "contact_removed": [missing("id")],
    "contact_request_received": [missing("id"), missing("status"), missing("inserted_at")],
    "contact_request_updated": [missing("id"), missing("status")],
}


@pytest.mark.parametrize("kind", sorted(EMPTY))
def test_empty_payload_reports_required_fields_in_order(kind):
    with pytest.raises(ValueError) as info:
        q.validate_event_payload(kind, {})
    assert info.value.issues == tuple(EMPTY[kind])


# (kind, field, value, issue or None when accepted)
FIELD_CASES = [
    ("room_added", "title", None, None),
    ("room_added", "title", 1, wrong("title", "string")),
    ("room_removed", "task_id", None, None),
    ("room_removed", "task_id", [], wrong("task_id", "string")),
    ("room_deleted", "id", "", None),
    ("room_deleted", "id", None, wrong("id", "string")),
    ("participant_added", "handle", None, wrong("handle", "string")),
    ("participant_added", "handle", "h", None),
    ("participant_added", "description", None, None),
    ("participant_removed", "description", 5, wrong("description", "string")),
    ("participant_added", "name", None, wrong("name", "string")),
    ("contact_added", "handle", DROP, missing("handle")),
    ("contact_added", "name", 3, wrong("name", "string")),
    ("contact_added", "name", "Bo", None),
    ("contact_added", "description", None, wrong("description", "string")),
    ("contact_added", "listed_in_directory", None, wrong("listed_in_directory", "boolean")),
    ("contact_added", "listed_in_directory", 1, wrong("listed_in_directory", "boolean")),
    ("contact_added", "listed_in_directory", False, None),
    ("contact_added", "tags", None, wrong("tags", "array")),
    ("contact_added", "tags", {}, wrong("tags", "array")),
    ("contact_added", "tags", [1, {}], None),
    ("contact_request_received", "status", "anything at all", None),
    ("contact_request_received", "from_name", 3, wrong("from_name", "string")),
    ("contact_request_received", "message", [], wrong("message", "string")),
    ("contact_request_updated", "status", None, wrong("status", "string")),
]


@pytest.mark.parametrize("kind, field, value, issue", FIELD_CASES)
def test_field_rules(kind, field, value, issue):
    if issue is None:
        assert validate(kind, **{field: value})[field] == value
    else:
        assert issues(kind, **{field: value}) == (issue,)


@pytest.mark.parametrize(
    "given, expected",
    [
        ({"is_remote": True}, {"is_remote": True, "is_external": True}),
        ({"is_external": False}, {"is_remote": False, "is_external": False}),
        ({"is_external": False, "is_remote": None}, {"is_remote": False, "is_external": False}),
        ({"is_remote": True, "is_external": None}, {"is_remote": True, "is_external": True}),
        ({"is_remote": True, "is_external": False}, {"is_remote": True, "is_external": False}),
        ({"is_remote": None}, {"is_remote": None}),
        ({}, {}),
    ],
)
@pytest.mark.parametrize("kind", ["participant_added", "participant_removed", "contact_added"])
def test_remote_alias_fills_the_missing_one(kind, given, expected):
    result = validate(kind, **given)
    assert {k: result[k] for k in ("is_remote", "is_external") if k in result} == expected


def test_remote_alias_reports_both_wrong_types_and_copies_nothing_from_them():
    assert issues("participant_added", is_remote="yes", is_external=1) == (
        wrong("is_remote", "boolean"),
        wrong("is_external", "boolean"),
    )
    assert issues("participant_added", is_remote="yes") == (wrong("is_remote", "boolean"),)


def test_remote_alias_issue_comes_after_the_other_fields():
    assert issues("contact_added", is_external=[], tags=None, id=DROP) == (
        missing("id"),
        wrong("tags", "array"),
        wrong("is_external", "boolean"),
    )


@pytest.mark.parametrize("field", ["from_handle", "from_name", "message"])
def test_null_as_absent_strings_are_removed(field):
    result = validate("contact_request_received", **{field: None})
    assert field not in result
    assert validate("contact_request_received", **{field: "x"})[field] == "x"


def test_every_check_runs_after_earlier_issues():
    assert issues("contact_request_received", id=None, status=DROP, from_handle=1, message=2) == (
        wrong("id", "string"),
        missing("status"),
        wrong("from_handle", "string"),
        wrong("message", "string"),
    )
    assert issues("participant_added", id=1, type=DROP, name=None, handle=None, description=2, is_remote=0) == (
        wrong("id", "string"),
        missing("type"),
        wrong("name", "string"),
        wrong("handle", "string"),
        wrong("description", "string"),
        wrong("is_remote", "boolean"),
    )
