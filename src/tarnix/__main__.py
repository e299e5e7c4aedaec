"""``python -m tarnix``: the structural report of `tarnix.report` on a Matrix Market file."""

import sys

from tarnix.report import main

if __name__ == "__main__":
    sys.exit(main())
