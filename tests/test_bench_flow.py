"""The inbound flow case and the memory cases of the benchmark: each flow answers as the pure-Python
flow does on frames that reach every branch, and each Python side of a memory case holds what the
module holds. Nothing here measures a speed or a size."""

import collections

import pytest

import cases  # noqa: F401  (first: it imports flow and memory_cases once its helpers exist)
import flow
import memory_cases
import target

q = target.load()
MODULE = ("evaluate_delivery_event", "ClaimRegistry.guarded_claim", "RetryTracker.record_attempt",
          "ClaimRegistry.remember_completed", "DecisionRegistry.register_minted",
          "SubscriptionTracker.record_both_room_topics_joined")
needs_module = pytest.mark.skipif(target.missing(q, *MODULE) is not None, reason=str(target.missing(q, *MODULE)))


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


# ---- memory: the Python sides hold the module's content

ROOM_IDS = memory_cases._room_ids(memory_cases.ROOMS)
N = 1234


def _claims(holder):
    if isinstance(holder, dict):
        return {room: sorted(ids) for room, ids in holder.items()}
    return {room: sorted(ids) for room in ROOM_IDS if (ids := holder.inflight_ids(room))}


def _completed(holder):
    if isinstance(holder, dict):
        return {room: list(ids) for room, ids in holder.items()}
    return {room: ids for room in ROOM_IDS if (ids := holder.completed_ids(room))}


def _settlements(holder):
    if isinstance(holder, dict):
        return {room: {m: tuple(s.values()) if isinstance(s, dict) else s for m, s in by_id.items()}
                for room, by_id in holder.items()}
    found = {}
    for room in ROOM_IDS:
        for m in holder.pending_ack_ids(room):
            s = holder.pending_settlement(room, m)
            found.setdefault(room, {})[m] = (s["token"], s["status"], s["parked"])
    return found


def _asks(holder):
    if isinstance(holder, dict):
        by_room = {}
        for token, (room, _ticket, claimed) in holder.items():
            by_room.setdefault(room, []).append((token, claimed))
        return by_room
    return {room: [(token, False) for token in tokens] for room in ROOM_IDS
            if (tokens := holder.unclaimed_in_room(room))}


def _subscriptions(holder):
    return list(holder.items()) if isinstance(holder, dict) else holder.room_rejoin_candidates()


CONTENT = {
    "inflight_one_room_memory": _claims,
    "inflight_100_rooms_memory": _claims,
    "completed_ids_memory": _completed,
    "pending_settlements_memory": _settlements,
    "pending_asks_memory": _asks,
    "room_subscriptions_memory": _subscriptions,
}


@needs_module
@pytest.mark.parametrize("kind, side", [(kind, side) for kind, (_w, _u, _n, sides) in memory_cases.KINDS.items()
                                        for side in sides if side != "module"])
def test_the_python_side_holds_what_the_module_holds(kind, side):
    builders = memory_cases.KINDS[kind][3]
    module_holder, python_holder = builders["module"](N), builders[side](N)
    content = CONTENT[kind]
    assert content(python_holder) == content(module_holder)
    assert sum(map(len, content(python_holder).values()) if kind != "room_subscriptions_memory"
               else [len(content(python_holder))]) == N
    if kind == "pending_asks_memory":  # and every Python ticket claims the module's ask of its token
        claimed = [module_holder.try_claim(token, ticket) for token, (_r, ticket, _c) in python_holder.items()]
        assert all(outcome == q.ClaimOutcome.Claimed for outcome in claimed)


def test_a_probe_reports_the_growth_of_its_own_process():
    n = 100_000
    grown = memory_cases.run_probe("room_subscriptions_memory", "Python dict of room -> ticket", n)
    assert grown > n * 88 // 2  # at least half of what its 36-character room id strs take
