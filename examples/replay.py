"""`python examples/replay.py FILE`: the same as `python -m quarn_host.replay FILE`."""

import sys

from quarn_host.cli import replay_main

if __name__ == "__main__":
    sys.exit(replay_main())
