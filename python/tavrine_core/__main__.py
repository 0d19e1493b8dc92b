"""``python -m tavrine_core``: the command line of tavrine_core.cli."""

import sys

from tavrine_core.cli import main

if __name__ == "__main__":
    sys.exit(main())
