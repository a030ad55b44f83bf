"""Benchmarks of quarn_sdk_core against what a user would pick instead.

    python bench/run.py [--quick] [--only NAME ...] [--output PATH]
    python bench/run.py --table [PATH]      # the results file as a Markdown table

Set QSC_BUILD_DIR to benchmark a development build. Every case runs the module and its baselines
interleaved in the same run; the ratios below come from that one run. The last line printed is
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
from typing import Any, Optional

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
if BENCH_DIR not in sys.path:
    sys.path.insert(0, BENCH_DIR)

import cases  # noqa: E402
import peers  # noqa: E402
import target  # noqa: E402
from timing import Settings  # noqa: E402

DEFAULT_OUTPUT = os.path.join(BENCH_DIR, "results.json")


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


def module_ratios(case: cases.Case) -> dict[str, dict[str, float]]:
    """The module's median over each other contender's, for every module contender."""
    measured = {c.name: c.result.get("median") for c in case.contenders if c.result.get("status") == "ok"}
    ratios: dict[str, dict[str, float]] = {}
    for contender in case.contenders:
        if contender.role != "module" or contender.name not in measured:
            continue
        ratios[contender.name] = {
            other: measured[contender.name] / value
            for other, value in measured.items()
            if other != contender.name and value
        }
    return ratios


def print_case(case: cases.Case) -> None:
    print(f"\n{case.name}: {case.what} [{case.unit}]")
    modules = [c for c in case.contenders if c.role == "module"]
    module = modules[0] if len(modules) == 1 and modules[0].result.get("status") == "ok" else None
    for contender in case.contenders:
        result = contender.result
        if result.get("status") != "ok":
            print(f"  {contender.name:<40} {result.get('status', 'not run')}: {result.get('reason', '')}")
            continue
        line = f"  {contender.name:<40} {format_value(result['median'], case.unit):>12}"
        if module is not None and contender is not module and contender.role != "module":
            line += f"   module/this = {module.result['median'] / result['median']:.3f}"
        print(line)


def evaluate_goals(case_list: list[cases.Case]) -> list[dict[str, Any]]:
    by_name = {case.name: case for case in case_list}
    evaluated = []
    for goal in cases.GOALS:
        case = by_name.get(goal.case)
        entry: dict[str, Any] = {"goal": goal.text, "case": goal.case, "limit": goal.limit, "ratio": None, "met": False}
        results = {c.name: c.result for c in case.contenders} if case else {}
        numerator, denominator = results.get(goal.numerator, {}), results.get(goal.denominator, {})
        if numerator.get("status") == "ok" and denominator.get("status") == "ok":
            entry["ratio"] = numerator["median"] / denominator["median"]
            entry["met"] = entry["ratio"] <= goal.limit
        else:
            missing = numerator if numerator.get("status") != "ok" else denominator
            entry["note"] = f"{missing.get('status', 'not run')}: {missing.get('reason', 'case not selected')}"
        evaluated.append(entry)
    return evaluated


def print_goals(goals: list[dict[str, Any]]) -> None:
    print("\nGoals (ratios from this run):")
    for goal in goals:
        mark = "met" if goal["met"] else "NOT met"
        detail = f"{goal['ratio']:.3f} (limit {goal['limit']})" if goal["ratio"] is not None else goal["note"]
        print(f"  [{mark:>7}] {goal['goal']}: {detail}")


def markdown_table(results: dict[str, Any]) -> str:
    m = results["machine"]
    lines = [
        f"Run of {results['date']} ({results['mode']}); `nproc` {m['nproc']}, CPU {m['cpu']}, "
        f"Python {m['python']}, {m['platform']}.",
        "",
        "| case | contender | median | module / this |",
        "|---|---|---:|---:|",
    ]
    for case in results["cases"]:
        module_names = [c["name"] for c in case["contenders"] if c["role"] == "module"]
        # Cases with several module contenders (scaling, room-wide) are judged in the goals table.
        ratios = case["ratios"].get(module_names[0], {}) if len(module_names) == 1 else {}
        for row, contender in enumerate(case["contenders"]):
            r = contender["result"]
            value = format_value(r["median"], case["unit"]) if r.get("status") == "ok" else r.get("status", "-")
            ratio = ratios.get(contender["name"])
            label = f"{case['name']} ({case['unit']})" if row == 0 else ""
            lines.append(f"| {label} | {contender['name']} | {value} | {'' if ratio is None else f'{ratio:.3f}'} |")
    lines += ["", "| goal | ratio | limit | met |", "|---|---:|---:|---|"]
    for goal in results["goals"]:
        ratio = "skipped" if goal["ratio"] is None else f"{goal['ratio']:.3f}"
        lines.append(f"| {goal['goal']} | {ratio} | {goal['limit']} | {'yes' if goal['met'] else 'no'} |")
    lines.append(f"\ngoals met: {results['goals_met']} of {results['goals_total']}")
    return "\n".join(lines)


# ---- main


def parse_args(argv: Optional[list[str]]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="fewer, shorter rounds (under a minute)")
    parser.add_argument("--only", action="append", default=[], metavar="NAME",
                        help="run only the cases whose name contains NAME (repeatable)")
    parser.add_argument("--rounds", type=int, help="rounds per case (default 7 quick, 21 full)")
    parser.add_argument("--output", default=DEFAULT_OUTPUT, help="results file (default bench/results.json)")
    parser.add_argument("--table", nargs="?", const=DEFAULT_OUTPUT, metavar="PATH",
                        help="print the results file as a Markdown table and exit")
    return parser.parse_args(argv)


def main(argv: Optional[list[str]] = None) -> int:
    args = parse_args(argv)
    if args.table:
        with open(args.table) as results_file:
            print(markdown_table(json.load(results_file)))
        return 0

    module = target.load()
    settings = Settings(rounds=args.rounds or (7 if args.quick else 21),
                        batch_ns=3_000_000 if args.quick else 15_000_000)
    print(f"quarn_sdk_core: {getattr(module, '__file__', 'not importable')}")
    print(f"{'quick' if args.quick else 'full'} run, {settings.rounds} rounds per case; "
          f"CPU {cpu_model()} x {os.cpu_count()}, Python {platform.python_version()}")

    started = time.perf_counter()
    case_list = cases.all_cases(module, args.quick)
    selected = [c for c in case_list if not args.only or any(name in c.name for name in args.only)]
    for case in selected:
        case.runner(case.contenders, settings)
        case.result = module_ratios(case)
        print_case(case)

    goals = evaluate_goals(selected)
    met = sum(goal["met"] for goal in goals)
    results = {
        "date": time.strftime("%Y-%m-%d %H:%M:%S %z"),
        "mode": "quick" if args.quick else "full",
        "rounds": settings.rounds,
        "seconds": round(time.perf_counter() - started, 1),
        "machine": machine(module),
        "cases": [
            {
                "name": case.name, "what": case.what, "unit": case.unit, "ratios": case.result,
                "contenders": [{"name": c.name, "role": c.role, "result": c.result} for c in case.contenders],
            }
            for case in selected
        ],
        "goals": goals,
        "goals_met": met,
        "goals_total": len(goals),
    }
    with open(args.output, "w") as results_file:
        json.dump(results, results_file, indent=1, ensure_ascii=False)
        results_file.write("\n")
    print_goals(goals)
    print(f"\nresults: {os.path.relpath(args.output)} ({results['seconds']} s)")
    print(f"goals met: {met} of {len(goals)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
