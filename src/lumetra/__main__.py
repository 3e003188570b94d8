"""python -m lumetra: the command line (lumetra.cli)."""

import sys

from lumetra.cli import main

if __name__ == "__main__":
    sys.exit(main())
