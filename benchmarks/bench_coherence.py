"""coherence_ratio against str.lower() on the same text, in this process.

str.lower() is the yardstick because coherence_ratio has to walk the text
once and lower-case its letters anyway; everything else it does (layer split,
frequency order, candidate choice, scoring) should stay within a small
multiple of that walk. The floor is the same call with the block-pair judge
taken out (floor.py). The layer split is also timed on its own, so that
the rest of the call (frequency order, candidates, scoring) can be told
apart from it. Times are medians of several runs after one warm-up
call, which also fills the character record cache as a first call would.
"""

from __future__ import annotations

from functools import partial

from floor import judge_taken_out  # benchmarks/floor.py

from vexlora.tessaly import alpha_unicode_split, coherence_ratio

from timing import median_time  # benchmarks/timing.py

TARGET_RATIO = 3.0


def run(texts: dict[str, str]) -> list[dict]:
    rows = []
    for name, text in texts.items():
        n = len(text)
        lower = median_time(text.lower)
        coherence = median_time(partial(coherence_ratio, text))
        with judge_taken_out():
            floor = median_time(partial(coherence_ratio, text))
        split = median_time(partial(alpha_unicode_split, text))
        result = coherence_ratio(text)
        rows.append(
            {
                "text": name,
                "chars": n,
                "lower ns/char": f"{lower / n * 1e9:.2f}",
                "coherence_ratio ns/char": f"{coherence / n * 1e9:.2f}",
                "ratio to lower": f"{coherence / lower:.2f}",
                "floor ratio": f"{floor / lower:.2f}",
                "floor within target": "yes" if floor / lower <= TARGET_RATIO else "NO",
                "split, ratio to lower": f"{split / lower:.2f}",
                "after split, ratio to lower": f"{max(coherence - split, 0.0) / lower:.2f}",
                "best": f"{result[0][0]} {result[0][1]}" if result else "-",
            }
        )
    return rows
