"""Entry point of ``python -m vexlora``: the same command as the ``vexlora`` script."""

import sys

from vexlora.cli import main

if __name__ == "__main__":
    sys.exit(main())
