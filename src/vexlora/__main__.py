"""Entry point of ``python -m vexlora``."""

import sys

from vexlora.cli import main

sys.exit(main())
