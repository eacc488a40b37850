"""The per-character floor: both functions with the block-pair judge taken out.

Both modules call the memoized global is_suspiciously_successive_range at each
change of Unicode block, through their module namespace. Rebinding that
global to a trivial builtin (operator.is_) leaves every other piece of
per-character work in place and removes the memo calls, so the time measured
under judge_taken_out() is what the walk itself costs.
"""

from __future__ import annotations

import contextlib
import operator

import vexlora.murkel as murkel
import vexlora.tessaly as tessaly

NAME = "is_suspiciously_successive_range"


@contextlib.contextmanager
def judge_taken_out():
    saved = [(module, getattr(module, NAME)) for module in (murkel, tessaly)]
    try:
        for module, _ in saved:
            setattr(module, NAME, operator.is_)
        yield
    finally:
        for module, judge in saved:
            setattr(module, NAME, judge)
