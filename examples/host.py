"""The reference host from a source checkout: `python examples/host.py [--time-scale 0.1] ...`
runs `python -m quarn_host` with the same options (the package must be installed)."""

import sys

from quarn_host.cli import host_main

if __name__ == "__main__":
    sys.exit(host_main())
