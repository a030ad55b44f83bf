"""The picture of a run (results.svg beside results.json), drawn with matplotlib.

Three parts, each from the results file alone: the module against every other contender of each
case, the per-shape validation ratios with the aggregate goals, and the cost curves (claims
against live keys, validation against mentions and text size). Every mark carries its 95%
interval as an error bar.
"""

from typing import Any, Optional

import matplotlib

matplotlib.use("Agg")  # files only, no display

import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.axes import Axes  # noqa: E402

Results = dict[str, Any]
Entry = dict[str, Any]  # a ratio or a result: a value with its interval ("low", "high")

SHAPE_SERIES = (  # (case, contender compared, legend)
    ("validate_shapes", "pydantic-core", "validate / pydantic-core"),
    ("validate_shapes", "msgspec.convert", "validate / msgspec.convert"),
    ("evaluate_shapes", "pydantic-core", "evaluate_delivery_event / pydantic-core"),
)
COLOURS = ("tab:blue", "tab:orange", "tab:green", "tab:red", "tab:purple", "tab:brown")


def _grouped(case: Results) -> bool:
    return any(c.get("group") for c in case["contenders"])


def _errors(entries: list[Entry], key: str) -> list[list[float]]:
    """Asymmetric error bars from each entry's interval (none where there is no interval)."""
    below, above = [], []
    for entry in entries:
        value, low, high = entry[key], entry.get("low"), entry.get("high")
        below.append(value - low if low is not None else 0.0)
        above.append(high - value if high is not None else 0.0)
    return [below, above]


def case_ratio_rows(results: Results) -> list[tuple[str, Entry]]:
    """(label, ratio) of the module against each other contender, for each case with one module."""
    rows = []
    for case in results["cases"]:
        modules = [c["name"] for c in case["contenders"] if c["role"] == "module"]
        if _grouped(case) or len(modules) != 1:
            continue
        for other, entry in case["ratios"].get(modules[0], {}).items():
            rows.append((f"{case['name']}: {other}", entry))
    return rows


def shape_rows(results: Results) -> tuple[list[str], dict[str, dict[str, Entry]]]:
    """The message shapes, and for each series its ratio per shape (and per aggregate goal)."""
    by_case = {case["name"]: case for case in results["cases"]}
    shapes: list[str] = []
    series: dict[str, dict[str, Entry]] = {}
    for case_name, peer, legend in SHAPE_SERIES:
        case = by_case.get(case_name)
        if case is None:
            continue
        points = series.setdefault(legend, {})
        for module, ratios in case["ratios"].items():
            shape = module.rsplit(": ", 1)[0]
            entry = ratios.get(f"{shape}: {peer}")
            if entry is not None:
                points[shape] = entry
                if shape not in shapes:
                    shapes.append(shape)
        for goal in results["goals"]:
            if goal["case"] == case_name and goal.get("aggregate") and goal["ratio"] is not None \
                    and goal.get("denominator") == peer:
                points[goal["aggregate"]] = goal
    aggregates = [a for a in ("geometric mean", "worst") if any(a in points for points in series.values())]
    return aggregates + shapes, {legend: points for legend, points in series.items() if points}


def _draw_case_ratios(ax: Axes, rows: list[tuple[str, Entry]]) -> None:
    labels = [label for label, _ in rows]
    entries = [entry for _, entry in rows]
    positions = list(range(len(rows)))
    ax.errorbar([e["ratio"] for e in entries], positions, xerr=_errors(entries, "ratio"), fmt="o", color="tab:blue",
                capsize=2)
    ax.axvline(1.0, color="grey", linewidth=0.8)
    ax.set_xscale("log")
    ax.set_yticks(positions, labels, fontsize=7)
    ax.invert_yaxis()
    ax.set_xlabel("module time / contender time (log scale; below 1: the module is faster)")
    ax.set_title("The module against every other contender of each case (median per-round ratio, 95% interval)")
    ax.grid(axis="x", which="both", alpha=0.3)


def _draw_shapes(ax: Axes, rows: list[str], series: dict[str, dict[str, Entry]], results: Results) -> None:
    position = {row: i for i, row in enumerate(rows)}
    offset = 0.25
    for i, (legend, points) in enumerate(series.items()):
        names = [row for row in rows if row in points]
        entries = [points[row] for row in names]
        ys = [position[row] + (i - 1) * offset for row in names]
        ax.errorbar([e["ratio"] for e in entries], ys, xerr=_errors(entries, "ratio"), fmt="o", markersize=3,
                    capsize=2, color=COLOURS[i], label=legend)
    for goal in results["goals"]:
        for i, (case_name, peer, _legend) in enumerate(SHAPE_SERIES):
            if goal["case"] == case_name and goal.get("aggregate") and goal.get("denominator") == peer:
                style = "--" if goal["aggregate"] == "geometric mean" else ":"
                ax.axvline(goal["limit"], color=COLOURS[i], linestyle=style, linewidth=0.8)
    ax.set_yticks(range(len(rows)), rows, fontsize=7)
    ax.invert_yaxis()
    ax.set_xlabel("module time / peer time (dashed: limit of the geometric mean; dotted: limit of the worst shape)")
    ax.set_title("Validation per message shape, and the aggregates the goals judge (95% intervals)")
    ax.legend(fontsize=7, loc="lower right")
    ax.grid(axis="x", alpha=0.3)


def _draw_curves(ax: Axes, case: Results) -> None:
    results = {c["name"]: c["result"] for c in case["contenders"]}
    for i, (legend, points) in enumerate(case["curves"]["series"].items()):
        measured = [(x, results[name]) for x, name in points if results.get(name, {}).get("status") == "ok"]
        if not measured:
            continue
        entries = [r for _, r in measured]
        ax.errorbar([x for x, _ in measured], [r["median"] for r in entries], yerr=_errors(entries, "median"),
                    marker="o", markersize=3, capsize=2, color=COLOURS[i % len(COLOURS)], label=legend)
    xs = [x for points in case["curves"]["series"].values() for x, _ in points]
    if min(xs, default=1) > 0:
        ax.set_xscale("log")
    else:  # a count from zero: linear up to 1, logarithmic above
        ax.set_xscale("symlog", linthresh=1)
    ax.set_yscale("log")
    ax.set_xlabel(case["curves"]["x"])
    ax.set_ylabel(case["unit"])
    ax.set_title(case["curves"]["title"], fontsize=9)
    ax.legend(fontsize=7)
    ax.grid(which="both", alpha=0.3)


def draw(results: Results, path: str) -> bool:
    """Writes the picture to `path`; False when the results hold nothing to draw."""
    ratio_rows = case_ratio_rows(results)
    rows, series = shape_rows(results)
    curves = [case for case in results["cases"] if case.get("curves")]
    panels: list[tuple[float, Optional[int]]] = []  # (height, columns) of each row of the figure
    if ratio_rows:
        panels.append((1.5 + 0.16 * len(ratio_rows), None))
    if series:
        panels.append((1.5 + 0.22 * len(rows), None))
    if curves:
        panels.append((4.0, len(curves)))
    if not panels:
        return False
    figure = plt.figure(figsize=(13, sum(h for h, _ in panels)), layout="constrained")
    grid = figure.add_gridspec(len(panels), max(len(curves), 1), height_ratios=[h for h, _ in panels])
    row = 0
    if ratio_rows:
        _draw_case_ratios(figure.add_subplot(grid[row, :]), ratio_rows)
        row += 1
    if series:
        _draw_shapes(figure.add_subplot(grid[row, :]), rows, series, results)
        row += 1
    for column, case in enumerate(curves):
        _draw_curves(figure.add_subplot(grid[row, column]), case)
    figure.suptitle(f"quarn_sdk_core benchmark, {results['date']} ({results['mode']} run, {results['rounds']} "
                    f"rounds; {results['machine']['cpu']} x {results['machine']['nproc']})", fontsize=10)
    figure.savefig(path)  # the format follows the extension
    plt.close(figure)
    return True
