import os
import sys

# Make tests/support.py importable as `support` from every test module.
sys.path.insert(0, os.path.dirname(__file__))
