"""Check the language profiles against held-out text.

Every sample of every held-out set (tests/data/heldout*/<language>.txt,
samples separated by blank lines) is ranked by the real
`vexlora.tessaly.coherence_ratio`, run with the profiles of the data file
given (the source tree's by default) in place of the installed ones.  For
each sample the script prints the rank of the right language (0: not listed)
and the top three, then a summary per set.

Run it with the interpreter that has vexlora built and installed:

    .venv/bin/python tools/check_language_data.py [--data FILE] [--heldout DIR ...] [--all]

A sample passes when the right language comes first, or, for the languages
in TIED_WITH_EARLIER, when it shares the top ratio.  Exit status: 0 when
every sample passes, else 1.
"""

from __future__ import annotations

import argparse
import importlib.util
import pathlib
import sys
from collections.abc import Mapping

REPO = pathlib.Path(__file__).resolve().parent.parent
DATA = REPO / "src" / "vexlora" / "_language_data.py"
HELDOUT = sorted((REPO / "tests" / "data").glob("heldout*"))

# Languages whose letters are (nearly) a subset of an earlier language's
# profile: both score the same on letters alone and the earlier one is listed
# first, so sharing the top ratio is as good as it gets.
TIED_WITH_EARLIER = {"Dutch": "English", "Finnish": "Swedish", "Danish": "Norwegian"}


def load_profiles(path: pathlib.Path) -> Mapping[str, str]:
    """FREQUENCIES of a generated data file, without importing the package."""
    spec = importlib.util.spec_from_file_location("_checked_language_data", path)
    module = importlib.util.module_from_spec(spec)
    assert spec.loader is not None
    spec.loader.exec_module(module)
    return module.FREQUENCIES


def read_samples(path: pathlib.Path) -> list[str]:
    text = path.read_text(encoding="utf-8")
    return [part.strip() for part in text.split("\n\n") if part.strip()]


def passes(language: str, ranked: list[tuple[str, float]]) -> bool:
    if not ranked:
        return False
    if ranked[0][0] == language:
        return True
    return language in TIED_WITH_EARLIER and dict(ranked).get(language) == ranked[0][1]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--data", type=pathlib.Path, default=DATA, help="generated module to check")
    parser.add_argument("--heldout", type=pathlib.Path, action="append", help="sample directory (repeatable)")
    parser.add_argument("--all", action="store_true", help="print passing samples too")
    args = parser.parse_args(argv)

    profiles = load_profiles(args.data)
    # The native module reads the profiles once, while it is imported; put the
    # checked ones in place first.
    import vexlora._language_data as installed

    installed.FREQUENCIES = dict(profiles)
    try:
        from vexlora.tessaly import coherence_ratio
    except ImportError as error:
        print(f"vexlora.tessaly is not built for this interpreter: {error}", file=sys.stderr)
        return 2

    failures = 0
    for directory in args.heldout or HELDOUT:
        failed = total = 0
        for language in profiles:
            path = directory / f"{language.lower()}.txt"
            if not path.exists():
                print(f"{directory.name:9} {language:12} missing {path}")
                failed += 1
                continue
            for number, sample in enumerate(read_samples(path)):
                total += 1
                ranked = coherence_ratio(sample)
                names = [name for name, _ratio in ranked]
                rank = names.index(language) + 1 if language in names else 0
                ok = passes(language, ranked)
                failed += not ok
                if args.all or not ok:
                    top = ", ".join(f"{name} {ratio:.4f}" for name, ratio in ranked[:3])
                    print(f"{directory.name:9} {language:12} {number}  rank {rank}  {'ok  ' if ok else 'FAIL'}  {top}")
        print(f"{directory.name}: {total - failed} of {total} samples ranked right")
        failures += failed
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
