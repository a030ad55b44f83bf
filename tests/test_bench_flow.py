"""The inbound flow case of the benchmark: each flow answers as the pure-Python flow does on frames
that reach every branch. Nothing here measures a speed."""

import collections

import pytest

import cases  # noqa: F401  (first: it imports flow once its helpers exist)
import flow
import target

q = target.load()
MODULE = ("evaluate_delivery_event", "ClaimRegistry.guarded_claim", "RetryTracker.record_attempt")


def _orjson_loads():
    return pytest.importorskip("orjson").loads


FLOWS = {
    "module, orjson": lambda: flow.module_flow(q, _orjson_loads()),
    "module, json": lambda: flow.module_flow(q, flow.json.loads),
    "msgspec": lambda: (flow.msgspec_flow() or pytest.skip("msgspec is not installed"))(),
    "pydantic": lambda: (flow.pydantic_flow() or pytest.skip("pydantic is not installed"))(),
}


def _route(outcome):
    return outcome[0] if len(outcome) < 4 else f"{outcome[0]}/{outcome[3]}"


def test_check_frames_reach_every_branch_of_the_flow():
    routes = collections.Counter(_route(o) for o in flow.run_flow(flow.pure_flow(), flow.check_frames()))
    assert set(routes) == {"no_frame", "other_topic", "ignored", "invalid", "skip_self",
                           "invocation/runnable", "invocation/completed"}
    assert routes["no_frame"] == 4 and routes["invalid"] == 2 and routes["invocation/completed"] == 3


@pytest.mark.parametrize("name", FLOWS)
def test_each_flow_answers_as_pure_python(name):
    if name.startswith("module") and target.missing(q, *MODULE):
        pytest.skip(str(target.missing(q, *MODULE)))
    texts = flow.check_frames()
    got, want = flow.run_flow(FLOWS[name](), texts), flow.run_flow(flow.pure_flow(), texts)
    assert [(i, g) for i, (g, w) in enumerate(zip(got, want)) if g != w] == []


def test_the_check_refuses_a_flow_that_answers_otherwise():
    def unclaimed():  # routes as the pure flow does, and never claims
        handler = flow.pure_flow()
        return lambda text: handler(text)[:3]

    with pytest.raises(AssertionError, match="pure Python answers"):
        flow._check_against_pure(unclaimed)({})


def test_the_timed_frames_are_new_messages_in_steady_state():
    texts = flow.frames(flow.POOL, 1)
    ids = [flow.json.loads(t)[4]["id"] for t in texts]
    assert len(set(ids)) == flow.POOL
    # an id comes back only after its room's completed window has moved past it
    assert flow.POOL // len(flow.ROOMS) > 500
