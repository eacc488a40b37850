"""Compare the 200-character suite against another build, alternately.

    .venv/bin/python benchmarks/compare.py --against DIR [--rounds N]

DIR is a directory holding another build of the package (for example the
starting commit installed with `pip install --target DIR --no-deps .`).
Each round runs bench_short's measurement once in a fresh process for this
build and once for DIR, alternately, so that machine load hits both alike.
Each process reports its times as ratios to its own baseline calls on the
same text; the speed-up is DIR's ratio over ours, median of the rounds.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
FUNCTIONS = (("mess_ratio", "isprintable"), ("coherence_ratio", "lower"))

CHILD = """
import json, sys
sys.path.insert(0, {here!r})
import bench_short, texts
print(json.dumps(bench_short.measure(texts.short())))
"""


def measure(site: str | None) -> dict:
    env = dict(os.environ)
    flags = []
    if site is not None:
        env["PYTHONPATH"] = site + os.pathsep + env.get("PYTHONPATH", "")
        # Without site-packages: an editable install's import hook there
        # would otherwise find this build before the other one.
        flags = ["-S"]
    out = subprocess.run(
        [sys.executable, *flags, "-c", CHILD.format(here=str(HERE))],
        env=env,
        check=True,
        capture_output=True,
        text=True,
        cwd="/",
    ).stdout
    return json.loads(out)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--against", required=True, help="directory holding the other build")
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    ours, theirs = [], []
    for _ in range(args.rounds):
        ours.append(measure(None))
        theirs.append(measure(args.against))
    print(
        f"{'text (200 chars)':<18}"
        + "".join(f"{f + ' speed-up':>26}{f + ' us (ours/theirs)':>32}" for f, _ in FUNCTIONS)
    )
    for name in ours[0]:
        line = f"{name:<18}"
        for function, baseline in FUNCTIONS:
            speedups = [
                t[name][function] / t[name][baseline] / (o[name][function] / o[name][baseline])
                for o, t in zip(ours, theirs)
            ]
            us_ours = statistics.median(o[name][function] for o in ours) * 1e6
            us_theirs = statistics.median(t[name][function] for t in theirs) * 1e6
            line += f"{statistics.median(speedups):>26.2f}{f'{us_ours:.2f} / {us_theirs:.2f}':>32}"
        print(line)
    return 0


if __name__ == "__main__":
    sys.exit(main())
