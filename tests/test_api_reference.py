"""docs/api.md names every class, function, method, property and enumeration variant of the module."""

import pathlib
import re

import pytest

import quarn_sdk_core as q

ROOT = pathlib.Path(__file__).resolve().parents[1]
REFERENCE = (ROOT / "docs" / "api.md").read_text(encoding="utf-8")
# every name the reference writes as code: `name`, `name(...)`, `Class.name`, `name()` ...
DOCUMENTED = set(re.findall(r"[A-Za-z_][A-Za-z0-9_]*", " ".join(re.findall(r"`([^`]+)`", REFERENCE))))


def _public_names():
    for name, obj in vars(q).items():
        if name.startswith("__"):
            continue
        yield name
        if isinstance(obj, type):
            for member in vars(obj):
                if not member.startswith("_"):
                    yield f"{name}.{member}"


@pytest.mark.parametrize("qualified", sorted(_public_names()))
def test_reference_names_it(qualified):
    assert qualified.rsplit(".", 1)[-1] in DOCUMENTED


def test_each_module_name_has_its_own_entry():
    # a class or function is documented where a heading or an item starts with it
    missing = [name for name in vars(q) if not name.startswith("__")
               and not re.search(rf"(^###.*`{name}[`(]|^- `{name}`|`{name}`[:( ])", REFERENCE, re.M)]
    assert missing == []


def test_readme_links_the_reference():
    assert "(docs/api.md)" in (ROOT / "README.md").read_text(encoding="utf-8")
