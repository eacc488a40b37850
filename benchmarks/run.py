"""Run every benchmarks/bench_*.py module and print its rows as a table.

Each module exposes run(texts) -> list of dicts (one per row, same keys in
every row). Usage: ./dev bench [name ...] to run only modules whose name
contains one of the given words; --size N builds texts of N characters
instead of about one million (quicker, for a loaded machine).
"""

from __future__ import annotations

import importlib.util
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import texts as text_builder  # noqa: E402


def load(path: Path):
    spec = importlib.util.spec_from_file_location(path.stem, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def print_table(title: str, rows: list[dict]) -> None:
    print(f"\n== {title}")
    if not rows:
        print("(no rows)")
        return
    columns = list(rows[0])
    cells = [[str(row.get(c, "")) for c in columns] for row in rows]
    widths = [max(len(c), *(len(r[i]) for r in cells)) for i, c in enumerate(columns)]
    print("  ".join(c.ljust(w) for c, w in zip(columns, widths)))
    print("  ".join("-" * w for w in widths))
    for r in cells:
        print("  ".join(v.ljust(w) for v, w in zip(r, widths)))


def main(argv: list[str]) -> int:
    wanted = argv[1:]
    size = text_builder.TARGET_CHARACTERS
    if "--size" in wanted:
        at = wanted.index("--size")
        size = int(wanted[at + 1])
        del wanted[at : at + 2]
    paths = sorted(HERE.glob("bench_*.py"))
    if wanted:
        paths = [p for p in paths if any(w in p.stem for w in wanted)]
    texts = text_builder.build(size)
    for path in paths:
        module = load(path)
        print_table(path.stem, module.run(texts))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
