"""mess_ratio against str.isprintable() on the same text, in this process.

Three walks per text: the full walk (a threshold no text reaches, so every
character is processed: the per-character cost), the same with the block-pair
judge taken out (the floor, floor.py), and the host's default threshold (what
a call costs in practice, with early stop on noisy text).
str.isprintable() stops at the first character that is not printable, so it
runs on a copy of the text in which those characters are replaced by "?"
(same storage width as long as other wide characters remain): it then reads
every character, as mess_ratio does. Times are medians of several runs
after one warm-up call, which also fills the record cache as the host's first call on a script would.
"""

from __future__ import annotations

from functools import partial

from floor import judge_taken_out  # benchmarks/floor.py

from vexlora.murkel import mess_ratio

from timing import median_time  # benchmarks/timing.py

TARGET_FLOOR_RATIO = 3.0


def printable_copy(text: str) -> str:
    baseline = text.translate({ord(c): "?" for c in set(text) if not c.isprintable()})
    assert baseline.isprintable()
    return baseline


def run(texts: dict[str, str]) -> list[dict]:
    rows = []
    for name, text in texts.items():
        n = len(text)
        printable = median_time(printable_copy(text).isprintable)
        full = median_time(partial(mess_ratio, text, float("inf")))
        with judge_taken_out():
            floor = median_time(partial(mess_ratio, text, float("inf")))
        default = median_time(partial(mess_ratio, text))
        rows.append(
            {
                "text": name,
                "chars": n,
                "isprintable ns/char": f"{printable / n * 1e9:.2f}",
                "mess_ratio ns/char": f"{full / n * 1e9:.2f}",
                "ratio to isprintable": f"{full / printable:.2f}",
                "floor ratio": f"{floor / printable:.2f}",
                "floor within target": "yes" if floor / printable <= TARGET_FLOOR_RATIO else "NO",
                "default threshold ms": f"{default * 1e3:.3f}",
                "result": mess_ratio(text),
            }
        )
    return rows
