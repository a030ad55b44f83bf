"""Two builds of the module timed against each other in one process.

    python bench/builds.py OLD_BUILD_DIR NEW_BUILD_DIR [--rounds N] [--batch-ms MS] [--only NAME]

Each build directory's extension file is loaded as a module object of its own (two loaded
libraries, each with its own statics), and the stateful cycles of cases.py run against both:
one batch of each build per round, in a rotating order, so that the load of the machine falls
on both alike. For each cycle it prints the median of the per-round ratios new/old with its 95%
interval (stats.py); above 1 the new build is slower.
"""

import argparse
import importlib.util
import os
import sys
import sysconfig
from types import ModuleType
from typing import Callable, Optional

BENCH_DIR = os.path.dirname(os.path.abspath(__file__))
if BENCH_DIR not in sys.path:
    sys.path.insert(0, BENCH_DIR)

import cases  # noqa: E402
from stats import Estimate, median_interval, paired_ratios  # noqa: E402
from timing import Contender, Settings, run_contenders  # noqa: E402

STATEFUL: tuple[Callable[[ModuleType], cases.Case], ...] = (
    cases.claim_case, cases.session_case, cases.subscription_case, cases.decision_case, cases.turn_case)


def load(build_dir: str) -> ModuleType:
    """The build's extension as a new module object, whatever is imported already."""
    path = os.path.join(os.path.abspath(build_dir), "quarn_sdk_core" + str(sysconfig.get_config_var("EXT_SUFFIX")))
    spec = importlib.util.spec_from_file_location("quarn_sdk_core", path)
    if spec is None or spec.loader is None or not os.path.exists(path):
        raise SystemExit(f"no extension module at {path}")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def module_contender(case: Callable[[ModuleType], cases.Case], module: ModuleType, name: str) -> Contender:
    """The case's module contender for `module`, renamed, in the case's one group."""
    built = case(module)
    contender = next(c for c in built.contenders if c.role == "module")
    if contender.skip:
        raise SystemExit(f"{built.name}: {contender.skip}")
    contender.name = name
    contender.group = built.name
    return contender


def compare(case: Callable[[ModuleType], cases.Case], old: ModuleType, new: ModuleType,
            settings: Settings) -> tuple[str, Estimate, float, float]:
    """The case's name, the per-round ratio new/old, and each build's median ns per cycle."""
    pair = [module_contender(case, old, "old"), module_contender(case, new, "new")]
    run_contenders(pair, settings)
    for contender in pair:
        if contender.result.get("status") != "ok":
            raise SystemExit(f"{contender.group} {contender.name}: {contender.result.get('reason')}")
    old_result, new_result = pair[0].result, pair[1].result
    ratio = median_interval(paired_ratios(new_result["samples"], old_result["samples"]))
    return pair[0].group, ratio, float(old_result["median"]), float(new_result["median"])


def interval(estimate: Estimate) -> str:
    if estimate.low is None or estimate.high is None:
        return "no interval (too few rounds)"
    return f"[{estimate.low:.3f}, {estimate.high:.3f}]"


def main(argv: Optional[list[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("old", metavar="OLD_BUILD_DIR")
    parser.add_argument("new", metavar="NEW_BUILD_DIR")
    parser.add_argument("--rounds", type=int, default=41, help="rounds per cycle (default 41)")
    parser.add_argument("--batch-ms", type=float, default=10.0, help="aimed duration of one batch (default 10)")
    parser.add_argument("--only", action="append", default=[], metavar="NAME",
                        help="the cycles whose name contains NAME (repeatable)")
    args = parser.parse_args(argv)
    old, new = load(args.old), load(args.new)
    if old.Session is new.Session:
        raise SystemExit("both directories hold the same loaded library")
    settings = Settings(rounds=args.rounds, batch_ns=int(args.batch_ms * 1_000_000))
    print(f"old: {old.__file__}\nnew: {new.__file__}\n{args.rounds} rounds; ratio new/old, median of the "
          "per-round ratios with its 95% interval")
    for case in STATEFUL:
        if args.only and not any(name in case.__name__ for name in args.only):
            continue
        name, ratio, old_ns, new_ns = compare(case, old, new, settings)
        print(f"{name:20} {ratio.value:.3f} {interval(ratio):18} old {old_ns:7.1f} ns  new {new_ns:7.1f} ns",
              flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
