"""Benchmarks of quarn_sdk_core against what a user would pick instead.

    python bench/run.py                     # full run: writes bench/results.json and results.svg
    python bench/run.py --quick             # fewer, shorter rounds; writes nothing unless --out
    python bench/run.py --only NAME ...     # the cases (and goals) whose name contains NAME
    python bench/run.py --out PATH          # write the results (and the picture beside) to PATH
    python bench/run.py --table [PATH]      # a results file as Markdown tables
    python bench/run.py --plot [PATH]       # draw a results file's picture again

The installed module is measured; set QSC_BUILD_DIR to measure a development build instead.
Every case runs the module and its contenders in rounds, one batch each per round, and each
ratio is the median of the per-round ratios with its 95% interval (stats.py). A goal is met
when the upper end of its interval is within its limit. The last line printed is
"goals met: N of M"; a case whose module callable does not exist yet is skipped and its goals
count as not met.
"""

import argparse
import json
import os
import platform
import sys
import time
from types import ModuleType
from typing import Any, Optional, Sequence

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
if BENCH_DIR not in sys.path:
    sys.path.insert(0, BENCH_DIR)

import cases  # noqa: E402
import peers  # noqa: E402
import target  # noqa: E402
from stats import CONFIDENCE, Estimate, median_interval, median_rank, paired_ratios, per_round  # noqa: E402
from timing import Settings  # noqa: E402

DEFAULT_OUTPUT = os.path.join(BENCH_DIR, "results.json")
STATISTICS = (f"median of the per-round ratios; {CONFIDENCE:.0%} distribution-free interval of the median "
              "from the order statistics of the rounds")


def cpu_model() -> str:
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def machine(module: Optional[ModuleType]) -> dict[str, Any]:
    return {
        "nproc": os.cpu_count(),
        "cpu": cpu_model(),
        "python": platform.python_version(),
        "implementation": platform.python_implementation(),
        "platform": platform.platform(),
        "module": getattr(module, "__file__", None),
        "peers": peers.versions(),
    }


# ---- ratios


def _ok(result: dict[str, Any]) -> bool:
    return result.get("status") == "ok"


def ratio_estimate(numerator: dict[str, Any], denominator: dict[str, Any]) -> Estimate:
    """The median per-round ratio of two contenders' results, with its interval."""
    return median_interval(paired_ratios(numerator["samples"], denominator["samples"]))


def _estimate_dict(estimate: Estimate) -> dict[str, Optional[float]]:
    return {"ratio": estimate.value, "low": estimate.low, "high": estimate.high}


def module_ratios(case: Any) -> dict[str, dict[str, dict[str, Optional[float]]]]:
    """For every measured module contender, its ratio to each other measured contender of its group."""
    measured = [c for c in case.contenders if _ok(c.result)]
    ratios: dict[str, dict[str, dict[str, Optional[float]]]] = {}
    for module in measured:
        if module.role != "module":
            continue
        ratios[module.name] = {
            other.name: _estimate_dict(ratio_estimate(module.result, other.result))
            for other in measured
            if other is not module and other.group == module.group
        }
    return ratios


# ---- formatting


def format_value(value: Optional[float], unit: str) -> str:
    if value is None:
        return "-"
    if unit.startswith("bytes"):
        return f"{value:,.0f} B"
    if value >= 1e6:
        return f"{value / 1e6:.2f} ms"
    if value >= 1e3:
        return f"{value / 1e3:.2f} µs"
    return f"{value:.1f} ns"


def format_ratio(entry: dict[str, Any]) -> str:
    if entry.get("ratio") is None:
        return "-"
    if entry.get("high") is None:
        return f"{entry['ratio']:.3f} [no interval]"
    return f"{entry['ratio']:.3f} [{entry['low']:.3f}, {entry['high']:.3f}]"


def format_time(result: dict[str, Any], unit: str) -> str:
    if result.get("high") is None:
        return format_value(result.get("median"), unit)
    return (f"{format_value(result['median'], unit)} "
            f"[{format_value(result['low'], unit)}, {format_value(result['high'], unit)}]")


def label(name: str, group: str) -> str:
    """A grouped contender's name without its group ("<group>: <label>")."""
    prefix = f"{group}: "
    return name[len(prefix):] if group and name.startswith(prefix) else name


def _grouped(contenders: Sequence[Any]) -> dict[str, list[Any]]:
    groups: dict[str, list[Any]] = {}
    for contender in contenders:
        groups.setdefault(contender.group, []).append(contender)
    return groups


def print_case(case: cases.Case) -> None:
    print(f"\n{case.name}: {case.what} [{case.unit}]")
    for group, members in _grouped(case.contenders).items():
        modules = [c for c in members if c.role == "module"]
        ratios = case.result.get(modules[0].name, {}) if len(modules) == 1 else {}
        if group:
            print(f"  {group}")
        for contender in members:
            result, name = contender.result, label(contender.name, group)
            if not _ok(result):
                print(f"    {name:<38} {result.get('status', 'not run')}: {result.get('reason', '')}")
                continue
            line = f"    {name:<38} {format_value(result['median'], case.unit):>12}"
            if contender.name in ratios:
                line += f"   module/this = {format_ratio(ratios[contender.name])}"
            print(line)


# ---- goals


def goal_selected(goal: cases.Goal, only: Sequence[str]) -> bool:
    return not only or any(name in goal.case for name in only)


def _goal_rounds(goal: cases.Goal, results: dict[str, dict[str, Any]]) -> tuple[Optional[list[float]], str]:
    """The goal's per-round values, or None and why not."""
    pairs = ([(f"{g}: {goal.numerator}", f"{g}: {goal.denominator}") for g in goal.over] if goal.over
             else [(goal.numerator, goal.denominator)])
    series = []
    for numerator, denominator in pairs:
        for name in (numerator, denominator):
            result = results.get(name, {})
            if not _ok(result):
                return None, f"{name}: {result.get('status', 'not run')}: {result.get('reason', 'case not selected')}"
            if not result.get("samples"):
                return None, f"{name}: no per-round samples"
        series.append(paired_ratios(results[numerator]["samples"], results[denominator]["samples"]))
    return (per_round(series, goal.aggregate) if goal.over else series[0]), ""


def evaluate_goals(case_list: Sequence[Any], only: Sequence[str] = ()) -> list[dict[str, Any]]:
    """The goals of the selected cases (all of them in a run without --only), judged."""
    by_name = {case.name: case for case in case_list}
    evaluated = []
    for goal in cases.GOALS:
        if not goal_selected(goal, only):
            continue
        entry: dict[str, Any] = {"goal": goal.text, "case": goal.case, "numerator": goal.numerator,
                                 "denominator": goal.denominator, "limit": goal.limit,
                                 "aggregate": goal.aggregate or None, "ratio": None, "low": None, "high": None,
                                 "met": False}
        case = by_name.get(goal.case)
        results = {c.name: c.result for c in case.contenders} if case else {}
        values, why = _goal_rounds(goal, results)
        if values is None:
            entry["note"] = why
        else:
            estimate = median_interval(values)
            entry.update(ratio=estimate.value, low=estimate.low, high=estimate.high, coverage=estimate.coverage,
                         rounds=estimate.rounds)
            if estimate.high is None:
                entry["note"] = f"{estimate.rounds} rounds: too few for a {CONFIDENCE:.0%} interval"
            else:
                entry["met"] = estimate.high <= goal.limit
        evaluated.append(entry)
    return evaluated


def print_goals(goals: list[dict[str, Any]]) -> None:
    print(f"\nGoals (median per-round ratio [{CONFIDENCE:.0%} interval]; met when the interval's upper end "
          "is within the limit):")
    for goal in goals:
        mark = "met" if goal["met"] else "NOT met"
        detail = f"{format_ratio(goal)} (limit {goal['limit']})" if goal["ratio"] is not None else ""
        note = f" {goal['note']}" if goal.get("note") else ""
        print(f"  [{mark:>7}] {goal['goal']}: {detail}{note}")


# ---- Markdown


def _plain_table(case: dict[str, Any]) -> list[str]:
    module_names = [c["name"] for c in case["contenders"] if c["role"] == "module"]
    # Cases with several module contenders (room-wide queries) are judged in the goals table.
    ratios = case["ratios"].get(module_names[0], {}) if len(module_names) == 1 else {}
    lines = []
    for row, contender in enumerate(case["contenders"]):
        r = contender["result"]
        value = format_time(r, case["unit"]) if _ok(r) else r.get("status", "-")
        ratio = format_ratio(ratios[contender["name"]]) if contender["name"] in ratios else ""
        name = f"{case['name']} ({case['unit']})" if row == 0 else ""
        lines.append(f"| {name} | {contender['name']} | {value} | {ratio} |")
    return lines


def _grouped_table(case: dict[str, Any]) -> list[str]:
    """One row per group: the module's time and its ratio to each other contender of the group."""
    groups: dict[str, list[dict[str, Any]]] = {}
    for contender in case["contenders"]:
        groups.setdefault(contender.get("group", ""), []).append(contender)
    others = list(dict.fromkeys(label(c["name"], g) for g, members in groups.items() for c in members
                                if c["role"] != "module"))
    lines = [f"{case['name']}: {case['what']} ({case['unit']}; module / contender, {CONFIDENCE:.0%} interval)", "",
             "| group | module | " + " | ".join(others) + " |", "|---|---:|" + "---:|" * len(others)]
    for group, members in groups.items():
        module = next((c for c in members if c["role"] == "module"), None)
        if module is None:
            continue
        ratios = case["ratios"].get(module["name"], {})
        by_label = {label(name, group): entry for name, entry in ratios.items()}
        time_cell = format_value(module["result"]["median"], case["unit"]) if _ok(module["result"]) \
            else module["result"].get("status", "-")
        cells = [format_ratio(by_label[o]) if o in by_label else "-" for o in others]
        lines.append(f"| {group} | {time_cell} | " + " | ".join(cells) + " |")
    return lines


def markdown_table(results: dict[str, Any]) -> str:
    m = results["machine"]
    lines = [
        f"Run of {results['date']} ({results['mode']}, {results['rounds']} rounds); `nproc` {m['nproc']}, "
        f"CPU {m['cpu']}, Python {m['python']}, {m['platform']}.",
    ]
    plain: list[dict[str, Any]] = []
    grouped: list[dict[str, Any]] = []
    for case in results["cases"]:
        (grouped if any(c.get("group") for c in case["contenders"]) else plain).append(case)
    if plain:
        lines += ["", f"| case | contender | median [{CONFIDENCE:.0%} interval] | "
                  f"module / this [{CONFIDENCE:.0%} interval] |", "|---|---|---:|---:|"]
    for case in plain:
        lines += _plain_table(case)
    for case in grouped:
        lines += [""] + _grouped_table(case)
    lines += ["", f"| goal | ratio [{CONFIDENCE:.0%} interval] | limit | met |", "|---|---:|---:|---|"]
    for goal in results["goals"]:
        ratio = goal.get("note", "skipped") if goal["ratio"] is None else format_ratio(goal)
        lines.append(f"| {goal['goal']} | {ratio} | {goal['limit']} | {'yes' if goal['met'] else 'no'} |")
    lines.append(f"\ngoals met: {results['goals_met']} of {results['goals_total']}")
    return "\n".join(lines)


# ---- main


def parse_args(argv: Optional[list[str]]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="fewer, shorter rounds (about a minute)")
    parser.add_argument("--only", action="append", default=[], metavar="NAME",
                        help="run only the cases whose name contains NAME (repeatable); only their goals count")
    parser.add_argument("--rounds", type=int, help="rounds per case (default 11 quick, 31 full; 6 at least "
                        f"for a {CONFIDENCE:.0%}% interval)")  # argparse expands % in help
    parser.add_argument("--out", "--output", dest="out", metavar="PATH",
                        help="results file, the picture beside it as .svg (default: bench/results.json, "
                        "written by a full run only)")
    parser.add_argument("--table", nargs="?", const=DEFAULT_OUTPUT, metavar="PATH",
                        help="print a results file as Markdown tables and exit")
    parser.add_argument("--plot", nargs="?", const=DEFAULT_OUTPUT, metavar="PATH",
                        help="draw a results file's picture (beside it, as .svg) and exit")
    args = parser.parse_args(argv)
    if args.rounds is not None and args.rounds < 1:
        parser.error("--rounds must be at least 1")
    return args


def output_path(args: argparse.Namespace) -> Optional[str]:
    """Where the results go: --out, else bench/results.json for a full run, else nowhere."""
    if args.out:
        return str(os.path.abspath(args.out))
    if args.quick or args.only or args.rounds is not None:
        return None
    return DEFAULT_OUTPUT


def picture_path(results_path: str) -> str:
    return os.path.splitext(results_path)[0] + ".svg"


def draw(results: dict[str, Any], path: str) -> str:
    try:
        import plot
    except ImportError as error:
        return f"no picture: {error.name} is not installed (pip install '.[bench]')"
    return f"picture: {path}" if plot.draw(results, path) else "no picture: nothing to draw"


def main(argv: Optional[list[str]] = None) -> int:
    args = parse_args(argv)
    if args.table:
        with open(args.table) as results_file:
            print(markdown_table(json.load(results_file)))
        return 0
    if args.plot:
        with open(args.plot) as results_file:
            print(draw(json.load(results_file), picture_path(args.plot)))
        return 0

    module = target.load()
    rounds = args.rounds or (11 if args.quick else 31)
    settings = Settings(rounds=rounds, batch_ns=2_000_000 if args.quick else 10_000_000)
    out = output_path(args)
    print(f"quarn_sdk_core: {getattr(module, '__file__', 'not importable')}")
    print(f"{'quick' if args.quick else 'full'} run, {settings.rounds} rounds per case; "
          f"CPU {cpu_model()} x {os.cpu_count()}, Python {platform.python_version()}")
    if median_rank(rounds) is None:
        print(f"note: {rounds} rounds are too few for a {CONFIDENCE:.0%} interval; no goal can be met")

    started = time.perf_counter()
    case_list = cases.all_cases(module, args.quick)
    selected = [c for c in case_list if not args.only or any(name in c.name for name in args.only)]
    for case in selected:
        case.runner(case.contenders, settings)
        case.result = module_ratios(case)
        print_case(case)

    goals = evaluate_goals(selected, args.only)
    met = sum(goal["met"] for goal in goals)
    results = {
        "date": time.strftime("%Y-%m-%d %H:%M:%S %z"),
        "mode": "quick" if args.quick else "full",
        "only": args.only,
        "rounds": settings.rounds,
        "statistics": STATISTICS,
        "seconds": round(time.perf_counter() - started, 1),
        "machine": machine(module),
        "cases": [
            {
                "name": case.name, "what": case.what, "unit": case.unit, "ratios": case.result,
                "curves": case.curves,
                "contenders": [{"name": c.name, "role": c.role, "group": c.group, "result": c.result}
                               for c in case.contenders],
            }
            for case in selected
        ],
        "goals": goals,
        "goals_met": met,
        "goals_total": len(goals),
    }
    print_goals(goals)
    if out is None:
        print("\nresults not written: a --quick, --only or --rounds run writes them only with --out PATH")
    else:
        with open(out, "w") as results_file:
            json.dump(results, results_file, indent=1, ensure_ascii=False)
            results_file.write("\n")
        print(f"\nresults: {out} ({results['seconds']} s)")
        print(draw(results, picture_path(out)))
    print(f"goals met: {met} of {len(goals)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
