"""Accuracy, speed and memory of the detector on real payloads.

Payloads: every held-out text (tests/data/heldout and tests/data/heldout2) at
about 200, 1,000 and 5,000 characters, encoded in every detector codec that
carries it exactly. A guess is right when its codec decodes the payload to the
true text; the language is right when the first language named is the text's.

Usage:
    .venv/bin/python benchmarks/accuracy.py [--set heldout|heldout2|both]
        [--sizes 200,1000,5000] [--old] [--old-build DIR [--rounds N]]
        [--peers] [--misses N] [--big MB]

--old      the same figures for the command line tool as it was before the
           detector (its file taken from git, commit OLD_TOOL_REVISION), run
           in this process on the current native modules: wall clock, after ours
--old-build DIR
           the tool as it was released, native modules included: DIR holds a
           build of commit OLD_TOOL_REVISION (`pip install --target DIR`). It
           runs in a child process on the same payloads; ours and the child's
           passes alternate for --rounds rounds (default 3) so that machine
           load hits both alike, and each side's CPU time per MB is reported;
           each round also times the --old tool (the released source on
           today's native modules) in this process, for both ratios
--peers    the same figures for Debian's `uchardet` command and ICU's detector
           (`python3-icu` under /usr/bin/python3) when they are installed;
           measured as black boxes, never needed by vexlora
--big MB   also time detect_file on a file of MB megabytes of Russian text in
           each of --big-encodings (default utf_8,cp1251), in a child process:
           time, peak RSS growth and peak Python allocations
"""

from __future__ import annotations

import argparse
import json
import resource
import shutil
import subprocess
import sys
import tempfile
import time
import types
from collections import Counter, defaultdict
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
DATA = ROOT / "tests" / "data"
SIZES = (200, 1000, 5000)
OLD_TOOL_REVISION = "e4cc86a"
ICU_PYTHON = "/usr/bin/python3"


@dataclass(frozen=True, slots=True)
class Payload:
    data: bytes
    text: str
    encoding: str
    language: str
    size: int  # nominal size in characters: 200, 1000 or 5000
    source: str


def cut(text: str, size: int) -> str:
    """The first ``size`` characters of ``text``, ended at a word boundary."""
    if len(text) <= size:
        return text
    end = text.rfind(" ", 0, size)
    return text[: end if end > size // 2 else size]


def texts_of(path: Path) -> Iterator[tuple[int, str]]:
    samples = [s.strip() for s in path.read_text(encoding="utf-8").split("\n\n") if s.strip()]
    for sample in samples:
        yield 200, cut(sample, 200)
    for sample in samples:
        yield 1000, cut(sample, 1000)
    joined = "\n\n".join(samples)
    long_text = joined
    while len(long_text) < 5000:
        long_text += "\n\n" + joined
    yield 5000, cut(long_text, 5000)


def carried(text: str, encoding: str) -> bytes | None:
    try:
        data = text.encode(encoding)
        return data if data.decode(encoding) == text else None
    except (UnicodeError, LookupError):
        return None


def payloads(sets: list[str], sizes: tuple[int, ...]) -> list[Payload]:
    from vexlora._detect_codecs import CODECS

    result = []
    for name in sets:
        for path in sorted((DATA / name).glob("*.txt")):
            language = path.stem.capitalize()
            for size, text in texts_of(path):
                if size not in sizes:
                    continue
                for codec in CODECS:
                    data = carried(text, codec.encoding)
                    if data is not None:
                        result.append(Payload(data, text, codec.encoding, language, size, f"{name}/{path.name}"))
    return result


def decodes_to(data: bytes, encoding: str | None, text: str) -> bool:
    if not encoding:
        return False
    try:
        return data.decode(encoding) == text
    except (UnicodeError, LookupError):
        return False


@dataclass(slots=True)
class Outcome:
    encoding: str | None
    language: str | None
    confidence: float | None = None


def run_ours(items: list[Payload]) -> tuple[list[Outcome], float]:
    import vexlora

    outcomes = []
    started = time.perf_counter()
    for item in items:
        best = vexlora.detect(item.data, top=1).best
        if best is None:
            outcomes.append(Outcome(None, None, None))
        else:
            outcomes.append(Outcome(best.encoding, best.languages[0][0] if best.languages else None, best.confidence))
    return outcomes, time.perf_counter() - started


def load_old_tool() -> types.ModuleType | None:
    try:
        source = subprocess.run(
            ["git", "show", f"{OLD_TOOL_REVISION}:src/vexlora/cli.py"],
            cwd=ROOT,
            capture_output=True,
            check=True,
            text=True,
        ).stdout
    except (OSError, subprocess.CalledProcessError):
        return None
    module = types.ModuleType("old_cli")
    sys.modules["old_cli"] = module  # dataclasses look their module up
    exec(compile(source, "old_cli.py", "exec"), module.__dict__)
    return module


def run_old(items: list[Payload]) -> tuple[list[Outcome], float] | None:
    module = load_old_tool()
    if module is None:
        return None
    outcomes = []
    started = time.perf_counter()
    for item in items:
        report = module.analyse("payload", item.data, 1)
        if not report.decodings:
            outcomes.append(Outcome(None, None))
            continue
        first = report.decodings[0]
        outcomes.append(Outcome(first.encoding, first.languages[0][0] if first.languages else None))
    return outcomes, time.perf_counter() - started


OLD_BUILD_CHILD = r"""
import json, pickle, sys, time
import vexlora.cli as tool
if not tool.__file__.startswith(sys.argv[1]):
    sys.exit(f"the old build's tool was not imported: {tool.__file__}")
payloads = pickle.load(sys.stdin.buffer)
for data in payloads[:50]:
    tool.analyse("payload", data, 1)  # warm up, as ours is
for line in sys.stdin:
    outcomes = []
    started = time.process_time()
    for data in payloads:
        report = tool.analyse("payload", data, 1)
        first = report.decodings[0] if report.decodings else None
        outcomes.append(
            [first.encoding, first.languages[0][0] if first.languages else None] if first else [None, None]
        )
    seconds = time.process_time() - started
    print(json.dumps({"seconds": seconds, "outcomes": outcomes}), flush=True)
"""


def run_ours_cpu(items: list[Payload]) -> float:
    """CPU time of one pass of ours over the payloads (the same calls as run_ours)."""
    import vexlora

    started = time.process_time()
    for item in items:
        vexlora.detect(item.data, top=1)
    return time.process_time() - started


def compare_old_build(directory: str, items: list[Payload], rounds: int, misses: int) -> None:
    """CPU time per MB of ours and of the released tool in DIR, passes alternating."""
    import os
    import pickle
    import statistics

    folder = str(Path(directory).resolve())
    if not (Path(folder) / "vexlora" / "cli.py").is_file():
        print(f"\n== released tool: no vexlora/cli.py under {folder}")
        return
    env = dict(os.environ, PYTHONPATH=folder)
    # -S: without site-packages, so an editable install of this tree cannot
    # shadow the old build; cwd "/" keeps the source tree off sys.path too.
    child = subprocess.Popen(
        [sys.executable, "-S", "-c", OLD_BUILD_CHILD, folder],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        env=env,
        cwd="/",
    )
    assert child.stdin is not None and child.stdout is not None
    pickle.dump([item.data for item in items], child.stdin)
    megabytes = sum(len(item.data) for item in items) / 1e6
    run_ours_cpu(items[:50])  # warm up: imports and tables (the child warms up alike)
    # The released tool's source on today's native modules (what --old runs),
    # timed in the same rounds, so that both comparisons see the same load.
    source = load_old_tool()
    if source is not None:
        for item in items[:50]:
            source.analyse("payload", item.data, 1)
    print(f"\n== ours against the released tool in {folder} (CPU time, {rounds} alternating rounds)")
    ratios, source_ratios, outcomes, first_seconds = [], [], None, 0.0
    try:
        for number in range(1, rounds + 1):
            ours = run_ours_cpu(items)
            child.stdin.write(b"run\n")
            child.stdin.flush()
            reply = json.loads(child.stdout.readline())
            if outcomes is None:
                outcomes, first_seconds = reply["outcomes"], reply["seconds"]
            ratios.append(ours / reply["seconds"])
            line = (
                f"  round {number}: ours {1000 * ours / megabytes:.0f} ms per MB, released tool "
                f"{1000 * reply['seconds'] / megabytes:.0f} ms per MB (ratio {ratios[-1]:.2f})"
            )
            if source is not None:
                started = time.process_time()
                for item in items:
                    source.analyse("payload", item.data, 1)
                seconds = time.process_time() - started
                source_ratios.append(ours / seconds)
                line += f", its source on today's modules {1000 * seconds / megabytes:.0f} ms per MB"
                line += f" (ratio {source_ratios[-1]:.2f})"
            print(line, flush=True)
    finally:
        child.stdin.close()
        child.wait()
    for title, figures in (("released tool", ratios), ("its source on today's native modules", source_ratios)):
        if figures:
            print(
                f"  CPU time ours / {title}: median {statistics.median(figures):.2f} "
                f"(min {min(figures):.2f}, max {max(figures):.2f})"
            )
    if outcomes is not None:
        found = [Outcome(encoding, language) for encoding, language in outcomes]
        report("released tool, its first pass (CPU time)", items, found, first_seconds, misses)


# Labels the peers print that Python's codec registry does not know.
PEER_NAMES = {
    "mac-centraleurope": "mac_latin2",
    "maccentraleurope": "mac_latin2",
    "mac-cyrillic": "mac_cyrillic",
    "maccyrillic": "mac_cyrillic",
    "uhc": "cp949",
    "x-iso-10646-ucs-4-3412": None,
    "iso-8859-8-i": "iso8859_8",
    "iso-8859-6-i": "iso8859_6",
    "viscii": None,
    "iso-2022-cn": None,
    "euc-tw": None,
    "ibm424_rtl": None,
    "ibm424_ltr": None,
    "ibm420_rtl": None,
    "ibm420_ltr": None,
    "ascii": "ascii",
    "tis-620": "tis_620",
    "windows-874": "cp874",
    "utf-16": "utf_16",
    "utf-32": "utf_32",
}


def peer_codec(name: str | None) -> str | None:
    import codecs

    if not name:
        return None
    key = name.strip().lower()
    if key in PEER_NAMES:
        return PEER_NAMES[key]
    try:
        return codecs.lookup(key).name
    except LookupError:
        return None


def with_bom(codec: str | None, data: bytes) -> str | None:
    """A peer that names the UTF family of a payload with a BOM is right: map it to the BOM-removing codec."""
    if codec is None:
        return None
    for mark, family, bom_codec in (
        (b"\xef\xbb\xbf", "utf-8", "utf_8_sig"),
        (b"\xff\xfe\x00\x00", "utf-32", "utf_32"),
        (b"\x00\x00\xfe\xff", "utf-32", "utf_32"),
        (b"\xff\xfe", "utf-16", "utf_16"),
        (b"\xfe\xff", "utf-16", "utf_16"),
    ):
        if data.startswith(mark) and codec.replace("_", "-").startswith(family):
            return bom_codec
    return codec


def run_uchardet(items: list[Payload]) -> tuple[list[Outcome], float] | None:
    program = shutil.which("uchardet")
    if program is None:
        return None
    outcomes = []
    elapsed = 0.0
    with tempfile.TemporaryDirectory() as folder:
        for start in range(0, len(items), 500):
            batch = items[start : start + 500]
            paths = []
            for index, item in enumerate(batch):
                path = Path(folder) / f"{start + index}.bin"
                path.write_bytes(item.data)
                paths.append(str(path))
            began = time.perf_counter()
            output = subprocess.run([program, *paths], capture_output=True, text=True).stdout
            elapsed += time.perf_counter() - began
            answers = {}
            for line in output.splitlines():
                path, _, answer = line.rpartition(": ")
                answers[path] = answer
            for path, item in zip(paths, batch):
                outcomes.append(Outcome(with_bom(peer_codec(answers.get(path)), item.data), None))
                Path(path).unlink()
    return outcomes, elapsed


ICU_SCRIPT = r"""
import json, sys, time, icu
blobs = [bytes.fromhex(line) for line in sys.stdin.read().split()]
answers = []
started = time.perf_counter()
for blob in blobs:
    try:
        match = icu.CharsetDetector(blob).detect()
        answers.append((match.getName(), match.getLanguage()))
    except Exception:
        answers.append((None, None))
print(json.dumps({"answers": answers, "seconds": time.perf_counter() - started}))
"""

ICU_LANGUAGES = {
    "en": "English",
    "fr": "French",
    "de": "German",
    "nl": "Dutch",
    "it": "Italian",
    "pl": "Polish",
    "es": "Spanish",
    "ru": "Russian",
    "ja": "Japanese",
    "pt": "Portuguese",
    "sv": "Swedish",
    "zh": "Chinese",
    "no": "Norwegian",
    "da": "Danish",
    "cs": "Czech",
    "hu": "Hungarian",
    "ko": "Korean",
    "tr": "Turkish",
    "ro": "Romanian",
    "ar": "Arabic",
    "he": "Hebrew",
    "el": "Greek",
    "fi": "Finnish",
}


def run_icu(items: list[Payload]) -> tuple[list[Outcome], float] | None:
    if not Path(ICU_PYTHON).exists():
        return None
    probe = subprocess.run([ICU_PYTHON, "-c", "import icu"], capture_output=True)
    if probe.returncode != 0:
        return None
    feed = "\n".join(item.data.hex() for item in items)
    result = subprocess.run([ICU_PYTHON, "-c", ICU_SCRIPT], input=feed, capture_output=True, text=True, check=True)
    reply = json.loads(result.stdout)
    outcomes = [
        Outcome(with_bom(peer_codec(name), item.data), ICU_LANGUAGES.get(language or ""))
        for item, (name, language) in zip(items, reply["answers"])
    ]
    return outcomes, reply["seconds"]


def percent(right: int, total: int) -> str:
    return f"{100 * right / total:5.1f} %" if total else "    -  "


def report(
    title: str, items: list[Payload], outcomes: list[Outcome], seconds: float, misses: int, languages: bool = True
) -> dict[str, float]:
    megabytes = sum(len(item.data) for item in items) / 1e6
    right = [decodes_to(item.data, outcome.encoding, item.text) for item, outcome in zip(items, outcomes)]
    language_right = [outcome.language == item.language for item, outcome in zip(items, outcomes)]
    print(
        f"\n== {title}: {len(items)} payloads, {megabytes:.2f} MB, {seconds:.2f} s "
        f"({1000 * seconds / megabytes:.0f} ms per MB, {1000 * seconds / len(items):.2f} ms per payload)"
    )
    print(f"encoding right {percent(sum(right), len(right))}", end="")
    if languages:
        print(f"   first language right {percent(sum(language_right), len(right))}", end="")
    utf8 = [r for item, r in zip(items, right) if item.encoding == "utf_8"]
    legacy = [r for item, r in zip(items, right) if not item.encoding.startswith("utf")]
    print(
        f"   UTF-8 right {percent(sum(utf8), len(utf8))}   legacy codecs (no UTF family) right "
        f"{percent(sum(legacy), len(legacy))} of {len(legacy)}"
    )
    for size in sorted({item.size for item in items}):
        picked = [i for i, item in enumerate(items) if item.size == size]
        line = f"  {size:>5} chars: encoding {percent(sum(right[i] for i in picked), len(picked))}"
        if languages:
            line += f"   language {percent(sum(language_right[i] for i in picked), len(picked))}"
        print(line + f"   ({len(picked)} payloads)")
    confident = [
        r for r, outcome in zip(right, outcomes) if outcome.confidence is not None and outcome.confidence >= 0.9
    ]
    if any(outcome.confidence is not None for outcome in outcomes):
        print(f"  confidence >= 0.9: {len(confident)} guesses, {percent(sum(confident), len(confident))} right")
        buckets: dict[float, list[bool]] = defaultdict(list)
        for r, outcome in zip(right, outcomes):
            if outcome.confidence is not None:
                buckets[min(0.9, int(outcome.confidence * 10) / 10)].append(r)
        print(
            "  calibration: "
            + ", ".join(
                f"[{low:.1f}..) {percent(sum(v), len(v)).strip()} of {len(v)}" for low, v in sorted(buckets.items())
            )
        )
    per_codec: dict[str, list[bool]] = defaultdict(list)
    for item, r in zip(items, right):
        per_codec[item.encoding].append(r)
    weak = sorted((sum(v) / len(v), codec, len(v)) for codec, v in per_codec.items() if sum(v) < len(v))
    print(
        "  codecs below 100 %: "
        + (", ".join(f"{codec} {100 * share:.0f} % of {n}" for share, codec, n in weak) or "none")
    )
    if languages:
        per_language: dict[str, list[bool]] = defaultdict(list)
        for item, r in zip(items, language_right):
            per_language[item.language].append(r)
        weak_languages = sorted((sum(v) / len(v), lang) for lang, v in per_language.items() if sum(v) < len(v))
        print("  languages below 100 %: " + ", ".join(f"{lang} {100 * share:.0f} %" for share, lang in weak_languages))
    if misses:
        wrong = Counter()
        for item, outcome, r in zip(items, outcomes, right):
            if not r:
                wrong[(item.encoding, outcome.encoding)] += 1
        print(
            "  most frequent encoding misses (true -> guessed): "
            + ", ".join(f"{t}->{g} x{n}" for (t, g), n in wrong.most_common(misses))
        )
        confused = Counter(
            (item.language, outcome.language)
            for item, outcome in zip(items, outcomes)
            if outcome.language != item.language
        )
        if languages:
            print(
                "  most frequent language misses (true -> named): "
                + ", ".join(f"{t}->{g} x{n}" for (t, g), n in confused.most_common(misses))
            )
    return {"right": sum(right) / len(right), "seconds": seconds}


BIG_SCRIPT = r"""
import resource, sys, time, tracemalloc
import vexlora
vexlora.detect(b"warm up: import the detector and its tables \xe9")
path = sys.argv[1]
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
started = time.perf_counter()
detection = vexlora.detect_file(path)
elapsed = time.perf_counter() - started
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
tracemalloc.start()
vexlora.detect_file(path)
peak = tracemalloc.get_traced_memory()[1]
best = detection.best
print(f"{detection.kind} {best.encoding if best else None} {elapsed:.2f} s, peak RSS growth "
      f"{(after - before) / 1024:.1f} MB, peak Python allocations {peak / 2**20:.1f} MB")
"""


def big_file(megabytes: int, encoding: str) -> None:
    text = (DATA / "heldout2" / "russian.txt").read_text(encoding="utf-8")
    block = (" ".join(text.split()) + "\n").encode(encoding, "replace")
    with tempfile.NamedTemporaryFile(suffix=".txt", delete=False) as handle:
        path = handle.name
        chunk = block * max(1, (1 << 20) // len(block))
        written = 0
        while written < megabytes << 20:
            handle.write(chunk)
            written += len(chunk)
    try:
        print(f"\n== detect_file on {written / 1e6:.0f} MB of Russian in {encoding}")
        subprocess.run([sys.executable, "-c", BIG_SCRIPT, path], check=True)
    finally:
        Path(path).unlink()


def main(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--set", choices=("heldout", "heldout2", "both"), default="both")
    parser.add_argument("--sizes", default="200,1000,5000")
    parser.add_argument("--old", action="store_true")
    parser.add_argument("--old-build", metavar="DIR")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--peers", action="store_true")
    parser.add_argument("--skip-ours", action="store_true", help="only the --old and --peers figures")
    parser.add_argument("--misses", type=int, default=12)
    parser.add_argument("--big", type=int, default=0, metavar="MB")
    parser.add_argument("--big-encodings", default="utf_8,cp1251", metavar="CODECS")
    args = parser.parse_args(argv)
    sets = ["heldout", "heldout2"] if args.set == "both" else [args.set]
    sizes = tuple(int(size) for size in args.sizes.split(","))
    items = payloads(sets, sizes)
    if not args.skip_ours:
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        outcomes, seconds = run_ours(items)
        growth = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) / 1024
        report("vexlora.detect", items, outcomes, seconds, args.misses)
        print(f"  peak memory growth over the run: {growth:.1f} MB")
    runs: list[tuple[str, Callable[[list[Payload]], tuple[list[Outcome], float] | None], bool]] = []
    if args.old:
        runs.append(("previous command line tool", run_old, True))
    if args.peers:
        runs.append(("uchardet", run_uchardet, False))
        runs.append(("ICU", run_icu, True))
    for title, runner, languages in runs:
        result = runner(items)
        if result is None:
            print(f"\n== {title}: not available")
            continue
        report(title, items, result[0], result[1], args.misses, languages)
    if args.old_build:
        compare_old_build(args.old_build, items, args.rounds, args.misses)
    if args.big:
        for encoding in args.big_encodings.split(","):
            big_file(args.big, encoding)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
