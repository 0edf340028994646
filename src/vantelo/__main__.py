"""`python -m vantelo`: the command line (see vantelo.cli)."""

import sys

from vantelo.cli import main

if __name__ == "__main__":
    sys.exit(main())
