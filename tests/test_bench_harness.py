"""The benchmark harness: how it compares answers, carries state between batches, pairs rounds,
bounds its ratios, judges and counts the goals, where it writes, and how honest its floors are.
Nothing here asserts a speed."""

import contextlib
import io
import json
import math
import os
import random
import statistics
import subprocess
import sys
from types import SimpleNamespace

import pytest

import cases
import peers
import run
import stats
import target
from compare import same_json, same_shape
from timing import Contender, Settings, compile_loop, run_contenders

QUICK = Settings(rounds=2, batch_ns=100_000)
q = target.load()


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


# ---- timing


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
    assert contenders[0].result["rounds"] == len(contenders[0].result["samples"]) == 2
    assert "does other work" in contenders[1].result["reason"]


def test_contenders_of_a_group_run_next_to_each_other_in_every_round():
    log = []
    contenders = [Contender(f"{group}{i}", "baseline", "pass", lambda: {"log": log}, group=group,
                            before=f"log.append({group + str(i)!r})")
                  for group in ("a", "b", "c") for i in range(2)]
    rounds = 5
    run_contenders(contenders, Settings(rounds=rounds, batch_ns=50_000))
    timed = log[-rounds * len(contenders):]  # the batches of the rounds, after calibration and warm-up
    for r in range(rounds):
        order = [name[0] for name in timed[r * len(contenders):(r + 1) * len(contenders)]]
        assert sorted(order) == sorted("aabbcc")
        assert all(order[i] == order[i + 1] for i in range(0, len(order), 2)), order


@pytest.mark.parametrize("arity", range(7))
def test_floor_call_takes_as_many_arguments(arity):
    source = cases.floor_call(arity)
    eval(source, dict(cases._FLOOR_NAMES))  # a builtin that accepts them, and returns at once
    assert source.count("_z") == arity


# ---- statistics


@pytest.mark.parametrize("rounds", [1, 2, 5])
def test_too_few_rounds_give_no_interval(rounds):
    estimate = stats.median_interval([float(i) for i in range(rounds)])
    assert (estimate.low, estimate.high) == (None, None)


@pytest.mark.parametrize("rounds", [6, 7, 11, 21, 31, 101])
def test_the_interval_is_the_narrowest_pair_of_order_statistics_reaching_95_percent(rounds):
    estimate = stats.median_interval([float(i) for i in range(rounds)])
    k = int(estimate.low) + 1  # the values are their own ranks
    assert estimate.high == rounds - k
    assert estimate.coverage >= stats.CONFIDENCE
    one_narrower = 1 - 2 * sum(math.comb(rounds, i) for i in range(k + 1)) / 2**rounds
    assert one_narrower < stats.CONFIDENCE


@pytest.mark.parametrize("rounds, draw", [
    (11, lambda rng: rng.lognormvariate(0.0, 0.3)),
    (31, lambda rng: rng.lognormvariate(0.0, 0.3)),
    # a fifth of the rounds slowed by other work on the machine
    (21, lambda rng: 1.0 + 0.05 * rng.gauss(0.0, 1.0) + rng.expovariate(0.5) * (rng.random() < 0.2)),
])
def test_the_interval_covers_the_true_median_in_95_percent_of_runs(rounds, draw):
    rng = random.Random(rounds)
    true_median = statistics.median(draw(rng) for _ in range(200_001))
    trials = 2000
    covered = sum(e.low <= true_median <= e.high
                  for e in (stats.median_interval([draw(rng) for _ in range(rounds)]) for _ in range(trials)))
    assert covered / trials >= 0.94  # at least 95% but for the sampling error of 2000 trials


def test_ratios_are_paired_round_by_round():
    den = [3.0, 1.0, 7.0, 2.0, 9.0, 4.0, 8.0]  # the machine's load from round to round
    num = [2 * d for d in den]  # twice as slow in every round
    estimate = stats.median_interval(stats.paired_ratios(num, den))
    assert (estimate.value, estimate.low, estimate.high) == (2.0, 2.0, 2.0)


@pytest.mark.parametrize("aggregate, want", [("geometric mean", [2.0, 2.0]), ("worst", [4.0, 4.0])])
def test_aggregates_combine_the_pairs_within_each_round(aggregate, want):
    assert stats.per_round([[1.0, 4.0], [4.0, 1.0]], aggregate) == pytest.approx(want)


# ---- goals


def _contender(name, samples, group=""):
    result = ({"status": "ok", "median": statistics.median(samples), "samples": samples} if samples is not None
              else {"status": "skipped", "reason": "not available yet"})
    return SimpleNamespace(name=name, role="module" if name.endswith("module") else "baseline", group=group,
                           result=result)


def _goal_case(name, ratios_by_pair):
    """A case whose numerator contenders take `ratio` times as long as their denominators, round by round."""
    contenders = []
    for (numerator, denominator), ratios in ratios_by_pair.items():
        den = [100.0 + 10 * r for r in range(len(ratios or [0] * 11))]
        contenders.append(_contender(denominator, den))
        contenders.append(_contender(numerator, None if ratios is None else [d * x for d, x in zip(den, ratios)]))
    return SimpleNamespace(name=name, contenders=contenders)


def _judge(monkeypatch, goal, case):
    monkeypatch.setattr(cases, "GOALS", [goal])
    return run.evaluate_goals([case])[0]


@pytest.mark.parametrize("ratios, met", [
    ([0.20] * 11, True),
    ([0.19, 0.20, 0.21] * 3 + [0.20, 0.20], True),
    ([0.10] * 6 + [0.30] * 5, False),  # the median is within the limit, the interval's upper end is not
    ([0.30] * 11, False),
    ([0.20] * 5, False),  # too few rounds for an interval
])
def test_a_goal_is_met_only_when_its_interval_is_within_the_limit(monkeypatch, ratios, met):
    goal = cases.Goal("g", "c", "module", "pure Python", 0.25)
    judged = _judge(monkeypatch, goal, _goal_case("c", {("module", "pure Python"): ratios}))
    assert judged["met"] is met
    assert judged["ratio"] == pytest.approx(statistics.median(ratios))


@pytest.mark.parametrize("aggregate, shape_ratios, met", [
    ("geometric mean", {"a": [0.2] * 11, "b": [0.8] * 11}, True),  # geometric mean 0.4
    ("worst", {"a": [0.2] * 11, "b": [0.8] * 11}, False),
    ("worst", {"a": [0.2] * 11, "b": [0.3] * 11}, True),
    ("geometric mean", {"a": [0.2] * 11, "b": None}, False),  # a shape not measured
])
def test_an_aggregate_goal_combines_its_groups_in_each_round(monkeypatch, aggregate, shape_ratios, met):
    goal = cases.Goal("g", "shapes", "module", "peer", 0.5, tuple(shape_ratios), aggregate)
    case = _goal_case("shapes", {(f"{s}: module", f"{s}: peer"): r for s, r in shape_ratios.items()})
    judged = _judge(monkeypatch, goal, case)
    assert judged["met"] is met
    if None in shape_ratios.values():
        assert "skipped" in judged["note"]


def test_a_skipped_module_or_an_unselected_case_counts_as_not_met():
    measured = [_goal_case("turn_cycle", {("module", "pure Python"): [0.1] * 11}),
                _goal_case("session_cycle", {("module", "pure Python"): None})]
    goals = run.evaluate_goals(measured)
    assert len(goals) == len(cases.GOALS)
    assert [g["goal"] for g in goals if g["met"]] == ["turn record/verdict: at most 0.25 x pure Python"]
    by_goal = {g["goal"]: g for g in goals}
    assert "skipped" in by_goal["session cycle: at most 0.25 x pure Python"]["note"]
    assert "case not selected" in by_goal["1e6 in-flight claims: at most 0.5 x the memory of a Python set"]["note"]


@pytest.mark.parametrize("only, counted", [
    ((), len(cases.GOALS)),
    (("turn_cycle",), 2),
    (("cycle",), 10),
    (("validate_shapes", "evaluate_shapes"), 5),
])
def test_only_counts_the_goals_of_the_cases_it_selected(only, counted):
    assert len(run.evaluate_goals([], only)) == counted


# ---- output


@pytest.mark.parametrize("argv, written", [
    ([], "default"),
    (["--quick"], None),
    (["--only", "turn"], None),
    (["--rounds", "7"], None),
    (["--quick", "--out", "x.json"], "x.json"),
    (["--only", "turn", "--output", "x.json"], "x.json"),
])
def test_only_a_full_run_or_out_writes_results(argv, written):
    path = run.output_path(run.parse_args(argv))
    expected = {None: None, "default": run.DEFAULT_OUTPUT}.get(written, os.path.abspath(str(written)))
    assert path == expected


def test_a_quick_run_writes_nothing_without_out(tmp_path, monkeypatch):
    monkeypatch.setattr(run, "DEFAULT_OUTPUT", str(tmp_path / "results.json"))
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        run.main(["--quick", "--rounds", "1", "--only", "turn_cycle"])
    assert list(tmp_path.iterdir()) == []
    assert printed.getvalue().rstrip().splitlines()[-1] == "goals met: 0 of 2"


def test_a_run_writes_its_results_and_picture_and_ends_with_the_goal_count(tmp_path):
    output = tmp_path / "results.json"
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        run.main(["--quick", "--rounds", "6", "--only", "turn_cycle", "--out", str(output)])
    last_line = printed.getvalue().rstrip().splitlines()[-1]
    results = json.loads(output.read_text())
    assert last_line == f"goals met: {results['goals_met']} of 2"
    assert [c["name"] for c in results["cases"]] == ["turn_cycle"]
    contenders = {c["name"]: c["result"] for c in results["cases"][0]["contenders"]}
    assert set(contenders) == {"module", "pure Python", "call floor", "object floor"}
    assert all(len(r["samples"]) == 6 for r in contenders.values() if r["status"] == "ok")
    assert results["machine"]["nproc"] == os.cpu_count()
    table = run.markdown_table(results)
    assert table.splitlines()[-1] == last_line
    assert "| turn_cycle (ns per cycle) |" in table
    picture = tmp_path / "results.svg"
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        assert not picture.exists()
        pytest.skip("matplotlib is not installed: the picture was not drawn (pip install '.[bench]')")
    assert picture.read_text().lstrip().startswith("<?xml")


def test_the_runner_works_from_any_directory(tmp_path):
    done = subprocess.run([sys.executable, os.path.join(run.BENCH_DIR, "run.py"), "--help"], cwd=tmp_path,
                          capture_output=True, text=True, check=False)
    assert done.returncode == 0, done.stderr
    assert "--out" in done.stdout


# ---- the failing payload's peer loops


@pytest.mark.parametrize("raised, caught", [(ValueError, True), (TypeError, False), (RuntimeError, False)])
def test_a_peer_loop_catches_only_its_own_validation_error(raised, caught):
    def peer(_payload):
        raise raised("no")

    loop = compile_loop(Contender("peer", "baseline", cases._PEER_RAISING, dict), {"f": peer, "p": {}, "error": ValueError})
    if caught:
        assert loop([None]) >= 0
    else:
        with pytest.raises(raised):
            loop([None])


@pytest.mark.parametrize("peer, error", [("pydantic-core", peers.pydantic_error), ("msgspec.convert", peers.msgspec_error)])
def test_the_failing_case_binds_each_peer_to_its_own_error(peer, error):
    if error is None:
        pytest.skip(f"{peer} is not installed (pip install '.[bench]')")
    contender = next(c for c in cases.failing_case(q).contenders if c.name == peer)
    assert contender.setup()["error"] is error


# ---- the object floors


@pytest.mark.parametrize("built, answer, same", [
    ({"token": "1", "status": "processed"}, {"token": "0", "status": "processed"}, True),
    ({"token": "1"}, {"token": "0", "status": "processed"}, False),  # a key left out
    ({"status": "processed", "token": "1"}, {"token": "0", "status": "processed"}, False),  # keys in another order
    ({"c": {}}, {"c": {"kind": "finished"}}, False),  # the nested dict left empty
    ((1, False), [1, False], False),
    ((1, False), (1, "False"), False),
    (("a", 1), ("a", 1, None), False),
    (1, 1.0, False),
    (None, None, True),
])
def test_same_shape_compares_types_keys_and_lengths(built, answer, same):
    assert same_shape(built, answer) is same


def test_a_session_outcome_is_shaped_as_its_four_fields():
    outcome = SimpleNamespace(state="up", retry_after_s=None, dead_reason=None, stale_reason=None)
    assert same_shape(("up", None, None, None), outcome)
    assert not same_shape(("up", None, None), outcome)


STATEFUL = ["claim_case", "session_case", "subscription_case", "decision_case", "turn_case"]


def floor_lines(maker):
    return {"claim_case": cases.CLAIM_OBJECTS, "session_case": cases.SESSION_OBJECTS,
            "subscription_case": cases.SUBSCRIPTION_OBJECTS, "decision_case": cases.DECISION_OBJECTS,
            "turn_case": cases.TURN_OBJECTS}[maker]


@pytest.mark.parametrize("maker", STATEFUL)
def test_every_object_floor_builds_what_the_calls_answer(maker):
    case = getattr(cases, maker)(q)  # the module's answers, or pure Python's where the module lacks the cycle
    floor = next(c for c in case.contenders if c.name == "object floor")
    floor.check(floor.setup())
    assert len(cases.built_answers(floor_lines(maker), floor.setup())) >= 3


def test_an_object_floor_missing_part_of_an_answer_is_refused():
    lines = [cases.Step(2, '{"token": f"{n}", "status": "processed"}')]
    answer = {"token": "0", "status": "processed", "parked": None}
    floor = cases.object_floor_contender(lines, lambda: [answer], lambda _a: {})
    with pytest.raises(AssertionError, match="object floor builds"):
        floor.check(floor.setup())


@pytest.mark.parametrize("maker", STATEFUL)
def test_every_stateful_cycle_is_judged_against_its_object_floor_and_pure_python(maker):
    case = getattr(cases, maker)(q)
    judged = {(g.numerator, g.denominator, g.limit) for g in cases.GOALS if g.case == case.name}
    assert judged == {("module", "object floor", 1.5), ("module", "pure Python", 0.25)}
    assert {c.name for c in case.contenders} >= {"module", "pure Python", "call floor", "object floor"}


# ---- memory


def test_memory_probes_keep_one_sample_per_round():
    case = cases.memory_case(q, 1000, 2)
    case.runner(case.contenders, QUICK)
    python_set = case.contenders[1].result
    assert python_set["status"] == "ok" and len(python_set["samples"]) == 2
