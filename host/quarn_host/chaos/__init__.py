"""The simulator's chaos mode: a seeded random world that throws every fault a host must survive
at the reference host, run as a child process, and a checker of what the platform saw.

    python -m quarn_host.simulator --chaos 7 --messages 400 --seconds 15
    python -m quarn_host.simulator --chaos 7 --messages 400 --seconds 15 --kill-host
    python -m quarn_host.simulator --chaos 1 --messages 20000 --seconds 600 --calm

Everything but timing follows from the seed: the rooms, the users, the messages and every roll of
the dice for a fault. The output is a "faults:" line (what was thrown), one "figures:" line of
key=value pairs, then one line per violation ("violation: ...") and per double answer excused by
a cut ("cut: ..."), the first 20 of each. The exit status is 0 only without violations.
"""

from .checker import Ledger
from .measures import module_cpu_share
from .run import main, parse
from .settings import Faults, Settings

__all__ = ["Faults", "Ledger", "Settings", "main", "module_cpu_share", "parse"]
