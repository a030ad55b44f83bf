"""The shipped type stubs against the module: names, call shapes, docstrings, dict shapes, help().

stubtest (tools/typecheck.sh) compares signatures and types too; these checks need no type
checker and also cover what stubtest cannot see: the keys of the TypedDicts, the Literal tags and
the docstrings an editor shows from the stub.
"""

import ast
import inspect
import pathlib
import pydoc

import pytest

import quarn_sdk_core as q

STUB = pathlib.Path(__file__).resolve().parents[1] / "stubs" / "quarn_sdk_core-stubs" / "__init__.pyi"
TREE = ast.parse(STUB.read_text(encoding="utf-8"))


def _decorators(node):
    return {d.id if isinstance(d, ast.Name) else ast.unparse(d) for d in node.decorator_list}


STUB_CLASSES = {n.name: n for n in TREE.body if isinstance(n, ast.ClassDef)}
STUB_FUNCTIONS = {n.name: n for n in TREE.body if isinstance(n, ast.FunctionDef)}
TYPE_ONLY = {name for name, n in STUB_CLASSES.items() if "type_check_only" in _decorators(n)}
TYPED_DICTS = {name: n for name, n in STUB_CLASSES.items() if [ast.unparse(b) for b in n.bases] == ["TypedDict"]}
RUNTIME_CLASSES = {name: cls for name, cls in vars(q).items() if isinstance(cls, type)}
RUNTIME_FUNCTIONS = {name: f for name, f in vars(q).items() if callable(f) and not isinstance(f, type)}


def _members(cls_node):
    """name -> FunctionDef (a property counts as its getter) and the annotated class attributes."""
    methods, attributes = {}, []
    for item in cls_node.body:
        if isinstance(item, ast.FunctionDef):
            methods[item.name] = item
        elif isinstance(item, ast.AnnAssign):
            attributes.append(item.target.id)
    return methods, attributes


def _stub_parameters(fn_node, drop_first):
    """(name, kind, has default) per parameter, as inspect would show them."""
    a = fn_node.args
    positional = a.posonlyargs + a.args
    defaults = [False] * (len(positional) - len(a.defaults)) + [True] * len(a.defaults)
    shown = [(arg.arg, "POSITIONAL_OR_KEYWORD", d) for arg, d in zip(positional, defaults)]
    shown += [(arg.arg, "KEYWORD_ONLY", d is not None) for arg, d in zip(a.kwonlyargs, a.kw_defaults)]
    return shown[1:] if drop_first else shown


def _runtime_parameters(obj, drop_self):
    params = list(inspect.signature(obj).parameters.values())
    if drop_self:
        params = params[1:]
    return [(p.name, p.kind.name, p.default is not inspect.Parameter.empty) for p in params]


# ---- names


def test_stub_declares_exactly_the_module_namespace():
    public_stub_classes = set(STUB_CLASSES) - TYPE_ONLY
    assert public_stub_classes == set(RUNTIME_CLASSES)
    assert set(STUB_FUNCTIONS) == set(RUNTIME_FUNCTIONS)


def test_type_only_names_do_not_exist_at_runtime():
    # A dict shape that shadowed a runtime name would be checked against the wrong object.
    assert set(TYPED_DICTS) <= TYPE_ONLY
    for name in TYPE_ONLY:
        assert not hasattr(q, name), name


@pytest.mark.parametrize("name", sorted(RUNTIME_CLASSES))
def test_class_members_match(name):
    cls = RUNTIME_CLASSES[name]
    methods, attributes = _members(STUB_CLASSES[name])
    variants = [k for k, v in vars(cls).items() if type(v) is cls]
    assert attributes[:len(variants)] == variants  # declaration order, so editors list them as int() does
    runtime = {k for k in vars(cls) if not k.startswith("_")} - set(variants)
    assert {m for m in methods if not m.startswith("_")} == runtime


# ---- call shapes


def _callables():
    for name, fn in RUNTIME_FUNCTIONS.items():
        yield name, fn, STUB_FUNCTIONS[name], False, False
    for name, cls in RUNTIME_CLASSES.items():
        methods, _ = _members(STUB_CLASSES[name])
        if "__new__" in methods:
            yield f"{name}()", cls, methods["__new__"], True, False
        for attr, value in vars(cls).items():
            if attr.startswith("_") or not callable(getattr(cls, attr)):
                continue
            is_static = isinstance(value, staticmethod)
            yield f"{name}.{attr}", getattr(cls, attr), methods.get(attr), not is_static, not is_static


CALLABLES = list(_callables())


@pytest.mark.parametrize("name, runtime, stub, drop_first, drop_self", CALLABLES, ids=[c[0] for c in CALLABLES])
def test_parameters_match(name, runtime, stub, drop_first, drop_self):
    assert stub is not None, f"{name} is missing from the stub"
    assert _stub_parameters(stub, drop_first) == _runtime_parameters(runtime, drop_self)


@pytest.mark.parametrize("name", sorted(RUNTIME_CLASSES))
def test_constructor_declared_exactly_when_callable(name):
    cls = RUNTIME_CLASSES[name]
    methods, _ = _members(STUB_CLASSES[name])
    # the module's constructible classes carry a text signature; the others refuse to be called
    assert ("__new__" in methods) == (cls.__text_signature__ is not None)


# ---- docstrings


def _stub_docs():
    for name, node in STUB_FUNCTIONS.items():
        yield name, node, RUNTIME_FUNCTIONS[name]
    for name, node in STUB_CLASSES.items():
        if name in TYPE_ONLY:
            continue
        cls = RUNTIME_CLASSES[name]
        yield name, node, cls
        for member, fn in _members(node)[0].items():
            if not member.startswith("__"):
                yield f"{name}.{member}", fn, vars(cls).get(member)


DOCS = list(_stub_docs())


@pytest.mark.parametrize("name, node, runtime", DOCS, ids=[d[0] for d in DOCS])
def test_stub_docstring_is_the_module_docstring(name, node, runtime):
    assert runtime is not None, f"{name} does not exist at runtime"
    runtime_doc = runtime.__doc__ or None
    if isinstance(runtime, staticmethod):
        runtime_doc = runtime.__func__.__doc__
    assert ast.get_docstring(node, clean=True) == runtime_doc


# ---- dict shapes: the TypedDict keys, in order, are those of a real answer

_registry = q.ClaimRegistry()
_tracker = q.RetryTracker()
_registry.remember_ack_pending("r", "processed")
_registry.remember_failed_ack_pending("r", "failed", "boom")
_MESSAGE = {"id": "m", "content": "hi", "message_type": "text", "sender_type": "User", "sender_id": "u",
            "inserted_at": "t", "updated_at": "t"}
_roster = q.ParticipantRoster()
_roster.add({"id": "p"})

SHAPES = [
    ("IgnoredDecision", lambda: q.evaluate_delivery_event("room_added", "r", {}, "a")),
    ("CleanupDecision", lambda: q.evaluate_delivery_event("room_removed", "r", {}, "a")),
    ("SkipSelfDecision", lambda: q.evaluate_delivery_event("message_created", "r",
                                                           {**_MESSAGE, "sender_type": "Agent"}, "u")),
    ("InvocationDecision", lambda: q.evaluate_delivery_event("message_created", "r", _MESSAGE, "a")),
    ("NoCandidateStep", lambda: q.evaluate_drain_candidate(None, set(), "a")),
    ("SelfEchoStep", lambda: q.evaluate_drain_candidate({"id": "m", "sender_id": "a", "sender_type": "Agent"},
                                                        set(), "a")),
    ("DrainMessageStep", lambda: q.evaluate_drain_candidate({"id": "m", "sender_id": "u", "sender_type": "User"},
                                                            {"m"}, "a")),
    ("OutOfSnapshotStep", lambda: q.evaluate_drain_candidate({"id": "m", "sender_id": "u", "sender_type": "User"},
                                                             set(), "a")),
    ("NoPendingDecision", lambda: q.evaluate_next_message("m", None)),
    ("ReadyToClaimDecision", lambda: q.evaluate_next_message("m", "m")),
    ("AlreadyProcessedDecision", lambda: q.evaluate_next_message("m", "n")),
    ("AckDecision", lambda: q.evaluate_adapter_result("r", "m", True)),
    ("AckDecision", lambda: q.evaluate_adapter_result("r", "m", False)),
    ("ProcessedSettlement", lambda: _registry.pending_settlement("r", "processed")),
    ("FailedSettlement", lambda: _registry.pending_settlement("r", "failed")),
    ("FinishedContinuation", lambda: _registry.pending_settlement("r", "processed")["continuation"]),
    ("RetryContinuation", lambda: q.ClaimRegistry().record_failed_settlement("r", "m", "e", _tracker, True)
     ["continuation"]),
    ("ProcessedPendingAck", lambda: _registry.pending_ack("r", "processed")),
    ("FailedPendingAck", lambda: _registry.pending_ack("r", "failed")),
    ("ParticipantDict", lambda: _roster.list()[0]),
    ("ToolSpec", q.no_reply_tool),
    ("ToolParameterSpec", lambda: q.no_reply_tool()["parameters"][0]),
    ("AgentFailureDict", lambda: q.AgentFailure("p", "m").to_dict()),
]


def _fields(name):
    return [(item.target.id, item.annotation) for item in TYPED_DICTS[name].body if isinstance(item, ast.AnnAssign)]


def _literal_values(annotation):
    """The strings of a Literal[...] annotation, or None when the field is not a Literal."""
    if not (isinstance(annotation, ast.Subscript) and ast.unparse(annotation.value) == "Literal"):
        return None
    elements = annotation.slice.elts if isinstance(annotation.slice, ast.Tuple) else [annotation.slice]
    return {e.value for e in elements}


@pytest.mark.parametrize("name, answer", SHAPES, ids=[s[0] for s in SHAPES])
def test_typed_dict_lists_the_keys_of_a_real_answer(name, answer):
    got = answer()
    fields = _fields(name)
    assert [k for k, _ in fields] == list(got)
    for key, annotation in fields:
        allowed = _literal_values(annotation)
        if allowed is not None:
            assert got[key] in allowed, key


def test_every_typed_dict_is_exercised():
    # the table above is the only evidence that a shape is right
    assert {name for name, _ in SHAPES} == set(TYPED_DICTS)


@pytest.mark.parametrize("verdict", [
    ("self", dict(self_echo=True)),
    ("completed", dict(durably_processed=True)),
    ("failed", dict(durably_failed=True, allow_failed_retry=False)),
    ("runnable", {}),
], ids=lambda v: v[0])
def test_eligibility_literal_names_the_verdicts(verdict):
    text = ast.unparse(next(n.value for n in TREE.body if isinstance(n, ast.Assign)
                            and n.targets[0].id == "_Eligibility"))
    want, facts = verdict
    assert q.ClaimRegistry().delivery_eligibility("r", "m", q.RetryTracker(), **facts) == want
    assert f"'{want}'" in text


# ---- help()


@pytest.mark.parametrize("name", sorted(RUNTIME_CLASSES) + sorted(RUNTIME_FUNCTIONS))
def test_help_shows_every_signature(name):
    page = pydoc.render_doc(getattr(q, name), renderer=pydoc.plaintext)
    # a callable without a text signature renders as "name(...)"
    assert "(...)" not in page
    doc = getattr(q, name).__doc__
    if doc:
        assert doc.splitlines()[0] in page
