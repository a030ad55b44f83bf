"""`python -m quarn_host.replay FILE`: replays a decision journal against fresh objects and reports
every call whose answer differs from the recorded one (exit status 1 when any does)."""

import sys

from .cli import replay_main

if __name__ == "__main__":
    sys.exit(replay_main())
