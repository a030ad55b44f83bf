"""The benchmark harness: how it compares answers, carries state between batches, reports
contenders that cannot run, and accounts for the goals. Nothing here asserts a speed."""

import contextlib
import io
import json
import math
import os
from types import SimpleNamespace

import pytest

import cases
import run
from compare import same_json
from timing import Contender, Settings, run_contenders

QUICK = Settings(rounds=2, batch_ns=100_000)


@pytest.mark.parametrize("a, b, same", [
    ({"a": 1, "b": [1.5, None]}, {"a": 1, "b": [1.5, None]}, True),
    ({"a": 1, "b": 2}, {"b": 2, "a": 1}, False),  # key order is part of the answer
    ([1], [1.0], False),
    ([True], [1], False),
    ({"a": [{"x": "y"}]}, {"a": [{"x": "z"}]}, False),
    ([1, 2], [1, 2, 3], False),
    (("ok", [1]), ("ok", [1]), True),
    (("ok", True), ("ok", 1), False),
    ((1, 2), [1, 2], False),
])
def test_same_json_compares_types_and_key_order(a, b, same):
    assert same_json(a, b) is same


def test_state_carried_by_before_and_after_survives_every_batch():
    calls = []
    contender = Contender("counter", "baseline", "n += 1", lambda: {"box": calls},
                          before="n = len(box)", after="box.extend([None] * (n - len(box)))")
    run_contenders([contender], QUICK)
    assert contender.result["status"] == "ok"
    # calibration, warm-up and two rounds all counted on from where the previous batch stopped
    assert len(calls) >= 2 * contender.result["batch"]


def test_a_failing_or_skipped_contender_leaves_the_others_timed():
    def broken(_ns):
        raise AssertionError("does other work")

    contenders = [
        Contender("fine", "baseline", "f(_item)", lambda: {"f": abs}, pool=[-1, 2]),
        Contender("broken", "module", "f(_item)", lambda: {"f": abs}, check=broken),
        Contender("absent", "module", "f()", dict, skip="not available yet"),
        Contender("raising", "baseline", "f(_item)", lambda: {"f": math.sqrt}, pool=[-1.0]),
    ]
    run_contenders(contenders, QUICK)
    statuses = {c.name: c.result["status"] for c in contenders}
    assert statuses == {"fine": "ok", "broken": "error", "absent": "skipped", "raising": "error"}
    assert contenders[0].result["rounds"] == 2
    assert "does other work" in contenders[1].result["reason"]


@pytest.mark.parametrize("arity", range(7))
def test_floor_call_takes_as_many_arguments(arity):
    source = cases.floor_call(arity)
    eval(source, dict(cases._FLOOR_NAMES))  # a builtin that accepts them, and returns at once
    assert source.count("_z") == arity


def _case(name, **medians):
    contenders = []
    for contender_name, median in medians.items():
        result = {"status": "ok", "median": median} if median is not None else {"status": "skipped", "reason": "x"}
        contenders.append(SimpleNamespace(name=contender_name.replace("_", " "), result=result))
    return SimpleNamespace(name=name, contenders=contenders)


def test_goals_count_skipped_and_unselected_cases_as_not_met():
    measured = [
        _case("turn_cycle", module=60.0, pure_Python=300.0, floor=30.0),  # 0.2 met, 2.0 met
        _case("session_cycle", module=None, pure_Python=4000.0, floor=90.0),  # module skipped
        _case("claim_cycle", module=100.0, pure_Python=200.0, floor=20.0),  # 0.5 and 5.0: not met
    ]
    goals = run.evaluate_goals(measured)
    assert len(goals) == len(cases.GOALS)
    met = {g["goal"] for g in goals if g["met"]}
    assert met == {"turn record/verdict: at most 0.25 x pure Python",
                   "turn record/verdict: at most 3 x the interpreter floor"}
    by_goal = {g["goal"]: g for g in goals}
    assert by_goal["claim cycle: at most 3 x the interpreter floor"]["ratio"] == pytest.approx(5.0)
    assert by_goal["session cycle: at most 0.25 x pure Python"]["ratio"] is None
    assert "not run" in by_goal["1e6 in-flight claims: at most 0.5 x the memory of a Python set"]["note"]


def test_a_run_writes_its_results_and_ends_with_the_goal_count(tmp_path):
    output = tmp_path / "results.json"
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        run.main(["--quick", "--rounds", "1", "--only", "turn_cycle", "--output", str(output)])
    last_line = printed.getvalue().rstrip().splitlines()[-1]
    results = json.loads(output.read_text())
    assert last_line == f"goals met: {results['goals_met']} of {len(cases.GOALS)}"
    assert [c["name"] for c in results["cases"]] == ["turn_cycle"]
    assert {c["name"] for c in results["cases"][0]["contenders"]} == {"module", "pure Python", "floor"}
    assert results["machine"]["nproc"] == os.cpu_count()
    table = run.markdown_table(results)
    assert table.splitlines()[-1] == last_line
    assert "| turn_cycle (ns per cycle) |" in table
