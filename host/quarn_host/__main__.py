import sys

from .cli import host_main

sys.exit(host_main())
