"""Check the language profiles against held-out text.

For every language, each sample of tests/data/heldout/<language>.txt
(samples are separated by blank lines) is classified, and the script reports
whether the right language comes out first.

* When the native module `vexlora.tessaly` imports, its `coherence_ratio`
  ranks the languages.
* Otherwise a pure-Python check runs: the coverage of a profile is the share
  of its characters present among the sample's lower-cased letters; the right
  language must reach 0.2, and the language with the best coverage (among
  those allowed by the accent rule: a sample with an accented letter only
  fits profiles that have accented letters) is printed.  An approximation of
  the popularity ranking (frequency order of the sample's letters against
  each profile's order, one layer per script) is printed next to it.

Exit status: 0 when the right language passes the coverage floor for every
sample (and ranks first under `coherence_ratio`, when available); else 1.

    python tools/check_language_data.py [--heldout DIR] [--verbose]
"""

from __future__ import annotations

import argparse
import importlib.util
import pathlib
import sys
import unicodedata
from collections import Counter
from collections.abc import Callable, Mapping

REPO = pathlib.Path(__file__).resolve().parent.parent
HELDOUT = REPO / "tests" / "data" / "heldout"
COVERAGE_FLOOR = 0.2
SCORE_THRESHOLD = 0.1
TOO_SMALL_SEQUENCE = 32


DATA = REPO / "src" / "vexlora" / "_language_data.py"


def load_profiles(path: pathlib.Path = DATA) -> Mapping[str, str]:
    """FREQUENCIES from the source tree, without importing the package."""
    spec = importlib.util.spec_from_file_location("_vexlora_language_data", path)
    module = importlib.util.module_from_spec(spec)
    assert spec.loader is not None
    spec.loader.exec_module(module)
    return module.FREQUENCIES


def read_samples(path: pathlib.Path) -> list[str]:
    text = path.read_text(encoding="utf-8")
    return [part.strip() for part in text.split("\n\n") if part.strip()]


def _accent_test() -> Callable[[str], bool]:
    """The host's notion of an accented letter, or a close stand-in."""
    sys.path.insert(0, str(REPO / "src"))
    try:
        from vexlora.constant import _ACCENTUATED
        from vexlora.utils import _character_flags

        return lambda ch: bool(_character_flags(ch) & _ACCENTUATED)
    except Exception:  # the host modules are not importable here
        def accented(ch: str) -> bool:
            parts = unicodedata.decomposition(ch).split()
            return (
                len(parts) > 1
                and not parts[0].startswith("<")
                and all(0x300 <= int(p, 16) <= 0x36F for p in parts[1:])
            )

        return accented
    finally:
        sys.path.pop(0)


is_accented = _accent_test()


def sample_letters(sample: str) -> list[str]:
    return [ch for ch in sample.lower() if ch.isalpha()]


def coverage(profile: str, letters: set[str]) -> float:
    return sum(ch in letters for ch in profile) / len(profile)


def eligible(profiles: Mapping[str, str], letters: set[str]) -> list[str]:
    """Languages the accent rule leaves for these letters."""
    if any(is_accented(ch) for ch in letters):
        return [name for name, profile in profiles.items() if any(is_accented(ch) for ch in profile)]
    return list(profiles)


def coverage_ranking(profiles: Mapping[str, str], sample: str) -> list[tuple[str, float]]:
    letters = set(sample_letters(sample))
    ranked = [(name, coverage(profiles[name], letters)) for name in eligible(profiles, letters)]
    return sorted(ranked, key=lambda item: -item[1])


# -- approximate popularity ranking --------------------------------------


def _script_of(ch: str) -> str:
    name = unicodedata.name(ch, "")
    if any(word in name for word in ("CJK", "HIRAGANA", "KATAKANA", "IDEOGRAPHIC")):
        return "CJK"
    return name.split(" ")[0]


def popularity(profile: str, ordered: list[str]) -> float:
    """Share of observed characters found at a plausible profile position."""
    size, n = len(profile), len(ordered)
    rank = {ch: i for i, ch in enumerate(profile)}
    matched = [(rank[ch], pos) for pos, ch in enumerate(ordered) if ch in rank]
    approved = 0
    for r, p in matched:
        distance = abs(int(p * (size / n)) - r)
        if size <= 26:
            if distance > 4:
                continue
        elif distance < size / 3.0:
            approved += 1
            continue
        if r == 0:
            approved += 1
            continue
        before = sum(1 for r2, p2 in matched if r2 < r and p2 < p)
        after = sum(1 for r2, p2 in matched if r2 >= r and p2 >= p)
        if 5 * before >= 2 * r or 5 * after >= 2 * (size - r):
            approved += 1
    return approved / n


def popularity_ranking(profiles: Mapping[str, str], sample: str) -> list[tuple[str, float]]:
    layers: dict[str, list[str]] = {}
    for ch in sample_letters(sample):
        layers.setdefault(_script_of(ch), []).append(ch)
    results: list[tuple[str, float]] = []
    for layer in layers.values():
        if len(layer) <= TOO_SMALL_SEQUENCE:
            continue
        counts = Counter(layer)  # ties keep first appearance
        ordered = sorted(counts, key=lambda ch: -counts[ch])
        letters = set(ordered)
        candidates = [
            name for name in eligible(profiles, letters) if coverage(profiles[name], letters) >= COVERAGE_FLOOR
        ]
        for name in candidates:
            score = popularity(profiles[name], ordered)
            if score >= SCORE_THRESHOLD:
                results.append((name, round(score, 4)))
    return sorted(results, key=lambda item: -item[1])


# -- reporting ------------------------------------------------------------


def native_ranking() -> Callable[[str], list[tuple[str, float]]] | None:
    try:
        import vexlora.tessaly as tessaly
    except Exception:
        return None
    # A source checkout without the built extension imports as a namespace.
    return getattr(tessaly, "coherence_ratio", None)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--heldout", type=pathlib.Path, default=HELDOUT)
    parser.add_argument("--data", type=pathlib.Path, default=DATA, help="generated module to check")
    parser.add_argument("--verbose", action="store_true", help="print every sample's top three")
    args = parser.parse_args(argv)

    profiles = load_profiles(args.data)
    native = native_ranking() if args.data == DATA else None
    print("ranking by", "vexlora.tessaly.coherence_ratio" if native else "coverage (no vexlora.tessaly)")
    failures = 0
    first_by_popularity = 0
    total = 0
    header = f"{'language':12} {'sample':>6} {'coverage':>8} {'best coverage':>22} {'approx. popularity first':>28}"
    if native:
        header += f" {'coherence_ratio first':>24}"
    print(header)
    for language in profiles:
        path = args.heldout / f"{language.lower()}.txt"
        if not path.exists():
            print(f"{language:12} missing {path}")
            failures += 1
            continue
        for number, sample in enumerate(read_samples(path), start=1):
            total += 1
            letters = set(sample_letters(sample))
            own = coverage(profiles[language], letters)
            by_coverage = coverage_ranking(profiles, sample)
            best, best_value = by_coverage[0] if by_coverage else ("-", 0.0)
            by_popularity = popularity_ranking(profiles, sample)
            pop_first = by_popularity[0][0] if by_popularity else "-"
            first_by_popularity += pop_first == language
            ok = own >= COVERAGE_FLOOR
            line = (
                f"{language:12} {number:>6} {own:8.3f} {best:>13} {best_value:8.3f}"
                f" {pop_first:>19} {'ok' if pop_first == language else 'MISS':>8}"
            )
            if native:
                ranked = native(sample)
                first = ranked[0][0] if ranked else "-"
                ok = ok and first == language
                line += f" {first:>15} {'ok' if first == language else 'MISS':>8}"
            failures += not ok
            print(line)
            if args.verbose:
                print("    coverage:", by_coverage[:3])
                print("    popularity:", by_popularity[:3])
    print(f"approx. popularity: right language first in {first_by_popularity}/{total} samples")
    print(f"{failures} failing samples of {total}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
