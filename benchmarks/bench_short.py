"""Both functions on 200-character texts, the size the host feeds them.

At this size a call is dominated by what it costs once (argument handling,
plugin creation, set-up) and per distinct character, not by the walk.
Per-call times are reported in microseconds and as ratios to the same
process's baseline call on the same text (str.isprintable() for mess_ratio,
str.lower() for coherence_ratio), so that runs on different machines or
builds can be compared (compare.py). mess_ratio("") is the pure per-call cost.
"""

from __future__ import annotations

from functools import partial

from bench_mess_ratio import printable_copy  # benchmarks/bench_mess_ratio.py

from vexlora.murkel import mess_ratio
from vexlora.tessaly import coherence_ratio

import texts as text_builder  # benchmarks/texts.py
from timing import per_call  # benchmarks/timing.py


def measure(short: dict[str, str]) -> dict[str, dict[str, float]]:
    """Text name -> seconds per call of each function and of its baseline."""
    figures = {}
    for name, text in short.items():
        figures[name] = {
            "isprintable": per_call(printable_copy(text).isprintable),
            "mess_ratio": per_call(partial(mess_ratio, text, float("inf"))),
            "lower": per_call(text.lower),
            "coherence_ratio": per_call(partial(coherence_ratio, text)),
        }
    empty = per_call(partial(mess_ratio, ""), calls=20000)
    figures["empty"] = {
        "isprintable": per_call("".isprintable, calls=20000),
        "mess_ratio": empty,
        "lower": per_call("".lower, calls=20000),
        "coherence_ratio": per_call(partial(coherence_ratio, ""), calls=20000),
    }
    return figures


def run(texts: dict[str, str]) -> list[dict]:
    rows = []
    for name, f in measure(text_builder.short()).items():
        rows.append(
            {
                "text (200 chars)": name,
                "mess_ratio us": f"{f['mess_ratio'] * 1e6:.2f}",
                "x isprintable": f"{f['mess_ratio'] / f['isprintable']:.1f}",
                "coherence_ratio us": f"{f['coherence_ratio'] * 1e6:.2f}",
                "x lower": f"{f['coherence_ratio'] / f['lower']:.1f}",
            }
        )
    return rows
