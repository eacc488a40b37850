#!/usr/bin/env python3
"""Write pickles of every murkel class to ``tests/data/pickles/``.

Usage::

    python tools/gen_pickle_fixtures.py [OUTPUT_DIR]

Run it with a build whose pickles later builds must keep loading (the stored
format). Per class it writes ``<Class>.pickle``, a list of objects (fresh,
fed a mixed-script text, and one with a distinct value in every field, so
that two fields swapped in the state order cannot go unnoticed), in pickle
protocols 0 and 2 (a dict protocol -> bytes, pickled), and ``<Class>.state``, the Python literal of the states
those objects had (records inside a state replaced by ("record", state)).
tests/test_persistence.py loads the pickles with the current build and
compares.
"""

from __future__ import annotations

import pickle
import sys
from pathlib import Path

from vexlora import murkel

DEFAULT_OUTPUT = Path(__file__).resolve().parent.parent / "tests" / "data" / "pickles"
TEXT = "Ça fait déjà ÉTÉ, naïve! x² ﬁne — ｶﾀｶﾅ カタカナ 漢字 鬱 مرحبا ﻫ Привет Ωμέγα\t\x07end"
CLASSES = [
    "CharInfo",
    "MessDetectorPlugin",
    "TooManySymbolOrPunctuationPlugin",
    "TooManyAccentuatedPlugin",
    "UnprintablePlugin",
    "SuspiciousDuplicateAccentPlugin",
    "SuspiciousRange",
    "SuperWeirdWordPlugin",
    "CjkUncommonPlugin",
    "SuspiciousKatakanaPlugin",
    "ArchaicUpperLowerPlugin",
    "ArabicIsolatedFormPlugin",
]


def state_of(obj):
    reduced = obj.__reduce__()
    return reduced[2] if len(reduced) == 3 else reduced[1][2]


def comparable(state):
    return tuple(("record", state_of(v)) if isinstance(v, murkel.CharInfo) else v for v in state)


def distinct(name, template):
    """A state with a different value in every field, of each field's kind."""
    values = []
    for i, item in enumerate(template):
        if isinstance(item, bool):
            values.append(i % 2 == 0)
        elif isinstance(item, int):
            values.append(100_000 + 7 * i)
        elif name == "SuspiciousDuplicateAccentPlugin":
            values.append(murkel._char_info("ü"))
        else:
            values.append(f"value {i}")
    written = make(name).__reduce__()[1][1]
    return getattr(murkel, "__pyx_unpickle_" + name)(getattr(murkel, name), written, tuple(values))


def make(name):
    return murkel.CharInfo("é") if name == "CharInfo" else getattr(murkel, name)()


def objects(name):
    if name == "CharInfo":
        return [murkel.CharInfo(ch) for ch in "éAｶ\x00鬱ﻫ ²"] + [distinct(name, state_of(make(name)))]
    fresh = make(name)
    if name == "MessDetectorPlugin":
        return [fresh]
    fed = make(name)
    for ch in TEXT:
        fed.feed_info(ch, murkel._char_info(ch))
    return [fresh, fed, distinct(name, state_of(fed))]


def main(argv: list[str]) -> int:
    out = Path(argv[1]) if len(argv) > 1 else DEFAULT_OUTPUT
    out.mkdir(parents=True, exist_ok=True)
    for name in CLASSES:
        objs = objects(name)
        states = [comparable(state_of(o)) for o in objs]
        data = {protocol: pickle.dumps(objs, protocol) for protocol in (0, 2)}
        (out / f"{name}.pickle").write_bytes(pickle.dumps(data, 2))
        (out / f"{name}.state").write_text(repr(states) + "\n", encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
