"""Replays a decision journal written by `host.py --journal FILE` against fresh objects and
reports every call whose answer differs from the recorded one.

    python examples/replay.py run.jsonl

Exit status 0 when every decision is reproduced, 1 when any differs.
"""

from __future__ import annotations

import argparse
import json
import sys

from journal import replay


def main() -> int:
    parser = argparse.ArgumentParser(description="Replay a quarn_sdk_core decision journal.")
    parser.add_argument("journal", help="a JSON-lines file written by host.py --journal")
    args = parser.parse_args()
    count, differences = replay(args.journal)
    for d in differences:
        print(f"line {d.line}: {d.call}\n  recorded: {json.dumps(d.recorded)}\n"
              f"  replayed: {json.dumps(d.replayed)}")
    print(f"{count} calls replayed, {len(differences)} differ")
    return 1 if differences else 0


if __name__ == "__main__":
    sys.exit(main())
