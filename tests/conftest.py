import os
import signal
import sys

# Make tests/support.py importable as `support` from every test module.
sys.path.insert(0, os.path.dirname(__file__))

# A suite started in the background by a non-interactive shell inherits an
# ignored SIGINT, and so would every interpreter it starts: Python then installs
# no KeyboardInterrupt handler, and the tests that interrupt a long call with
# Ctrl-C would fail. Python's own handler here is reset to the default in every
# child at exec, so the children install theirs as usual.
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)
