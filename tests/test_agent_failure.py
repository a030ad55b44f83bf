import pytest

from quarn_sdk_core import AgentFailure


def extension_key():
    (key,) = AgentFailure("p", "m").to_extension_data()
    return key


class TestRecord:
    def test_minimal(self):
        failure = AgentFailure("p", "m")
        d = failure.to_dict()
        assert d == {"provider": "p", "code": None, "message": "m", "detail": None}
        assert list(d) == ["provider", "code", "message", "detail"]

    @pytest.mark.parametrize(
        "detail, expected",
        [
            ({"b": 1, "a": [1, 2]}, {"a": [1, 2], "b": 1}),
            ((1, "x"), [1, "x"]),
            (float("nan"), None),
            ({"n": {"z": None, "y": True}}, {"n": {"y": True, "z": None}}),
            ("text", "text"),
        ],
    )
    def test_detail_goes_through_the_json_model(self, detail, expected):
        failure = AgentFailure("p", "m", code="E1", detail=detail)
        assert failure.detail == expected
        assert failure.to_dict()["detail"] == expected
        if isinstance(expected, dict):
            assert list(failure.detail) == sorted(expected)

    def test_detail_is_a_copy(self):
        detail = {"a": [1]}
        failure = AgentFailure("p", "m", detail=detail)
        detail["a"].append(2)
        failure.detail["a"].append(3)
        assert failure.detail == {"a": [1]}

    def test_attributes_are_read_only(self):
        failure = AgentFailure("p", "m", "c")
        assert (failure.provider, failure.message, failure.code) == ("p", "m", "c")
        for name in ("provider", "code", "message", "detail"):
            with pytest.raises(AttributeError):
                setattr(failure, name, "x")

    def test_empty_strings_are_kept(self):
        assert AgentFailure("", "", "").to_dict() == {"provider": "", "code": "", "message": "", "detail": None}


class TestExtensionData:
    def test_single_fixed_key_holding_the_dict(self):
        failure = AgentFailure("p", "m", code="E", detail=[1])
        data = failure.to_extension_data()
        assert list(data) == [extension_key()]
        assert data[extension_key()] == failure.to_dict()
        assert extension_key().endswith("/failure") and len(extension_key()) > len("/failure")


class TestArgumentErrors:
    @pytest.mark.parametrize(
        "args, kwargs, error, text",
        [
            (("p",), {}, TypeError, "AgentFailure.__new__() missing 1 required positional argument: 'message'"),
            (("p", "m"), {"detail": {1: "x"}}, TypeError, "dict keys must have type str"),
            (("p", "m"), {"detail": object()}, TypeError, "unsupported type object"),
        ],
    )
    def test_texts(self, args, kwargs, error, text):
        with pytest.raises(error) as info:
            AgentFailure(*args, **kwargs)
        assert str(info.value) == text

    @pytest.mark.parametrize(
        "args, param",
        [((1, "m"), "provider"), (("p", None), "message"), (("p", "m", 5), "code")],
    )
    def test_conversion_notes(self, args, param):
        with pytest.raises(TypeError) as info:
            AgentFailure(*args)
        assert info.value.__notes__ == [f"while processing '{param}'"]
