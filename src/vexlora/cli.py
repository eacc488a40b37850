"""Command line tool: which encodings and languages fit a byte payload.

For each payload, every candidate codec that decodes the bytes strictly is
scored with ``mess_ratio`` (lower is cleaner); the cleanest decodings are then
asked for their languages with ``coherence_ratio``, restricted to the
languages the encoding can carry where that is known.

Exit status: 0 when every payload was analysed, 1 when at least one payload
was empty or no candidate decoded it, 2 for a usage error or a file that
cannot be read.
"""

from __future__ import annotations

import argparse
import json
import sys
from dataclasses import dataclass, field
from importlib import resources
from pathlib import Path

from vexlora.murkel import mess_ratio
from vexlora.tessaly import coherence_ratio, encoding_languages, mb_encoding_languages
from vexlora.utils import is_multi_byte_encoding

# Tried in this order; on equal mess ratios the earlier candidate ranks first.
CANDIDATE_ENCODINGS = (
    "ascii", "utf_8", "utf_16", "utf_32",
    "cp1252", "cp1250", "cp1251", "cp1253", "cp1254", "cp1255", "cp1256", "cp1257", "cp874",
    "iso8859_2", "iso8859_5", "iso8859_7", "iso8859_9", "koi8_r", "koi8_u", "mac_roman",
    "shift_jis", "euc_jp", "iso2022_jp", "gb18030", "big5", "euc_kr", "cp949", "latin_1",
)

EXIT_OK, EXIT_UNDECODED, EXIT_USAGE = 0, 1, 2


@dataclass
class Decoding:
    encoding: str
    mess: float
    languages: list[tuple[str, float]] = field(default_factory=list)


@dataclass
class Report:
    name: str
    size: int
    decodings: list[Decoding]
    problem: str | None = None


def language_hint(encoding: str) -> str | None:
    """The lg_inclusion argument for an encoding, or None to let the text decide."""
    if encoding.startswith("utf") or encoding == "ascii":
        return None
    if is_multi_byte_encoding(encoding):
        languages = mb_encoding_languages(encoding)
    else:
        languages = encoding_languages(encoding)
    return ",".join(languages) if languages else None


def analyse(name: str, payload: bytes, top: int) -> Report:
    if not payload:
        return Report(name, 0, [], "empty payload")
    decodings = []
    texts = {}
    for encoding in CANDIDATE_ENCODINGS:
        try:
            text = payload.decode(encoding)
        except (UnicodeDecodeError, LookupError):
            continue
        texts[encoding] = text
        decodings.append(Decoding(encoding, mess_ratio(text, maximum_threshold=1.0)))
    if not decodings:
        return Report(name, len(payload), [], "no candidate encoding decodes this payload")
    decodings.sort(key=lambda d: d.mess)  # stable: candidate order breaks ties
    # Languages for the shown decodings and for any tied with the last shown
    # one; among equal mess ratios the decoding whose best language fits
    # better ranks first.
    cutoff = decodings[min(top, len(decodings)) - 1].mess
    contenders = [d for d in decodings if d.mess <= cutoff]
    for decoding in contenders:
        ranked = coherence_ratio(texts[decoding.encoding], 0.1, language_hint(decoding.encoding))
        decoding.languages = ranked[:3]
    contenders.sort(key=lambda d: (d.mess, -max((ratio for _, ratio in d.languages), default=0.0)))
    return Report(name, len(payload), contenders[:top])


def bundled_samples() -> list[tuple[str, bytes]]:
    folder = resources.files("vexlora") / "samples"
    return sorted((entry.name, entry.read_bytes()) for entry in folder.iterdir() if entry.name.endswith(".txt"))


def render_table(reports: list[Report]) -> str:
    lines = []
    for report in reports:
        lines.append(f"{report.name} ({report.size} bytes)")
        if report.problem:
            lines.append(f"  {report.problem}")
            continue
        for rank, d in enumerate(report.decodings, 1):
            languages = ", ".join(f"{lang} {ratio:.2f}" for lang, ratio in d.languages) or "-"
            lines.append(f"  {rank}. {d.encoding:<11} mess {d.mess:5.3f}  languages: {languages}")
    return "\n".join(lines)


def render_json(reports: list[Report]) -> str:
    return json.dumps([
        {
            "name": r.name, "size": r.size, "problem": r.problem,
            "decodings": [
                {"encoding": d.encoding, "mess_ratio": d.mess,
                 "languages": [{"language": lang, "ratio": ratio} for lang, ratio in d.languages]}
                for d in r.decodings
            ],
        }
        for r in reports
    ], ensure_ascii=False, indent=2)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m vexlora",
        description="Rank the encodings and languages that fit byte payloads. "
                    "Without FILE, analyses the bundled sample payloads.")
    parser.add_argument("files", metavar="FILE", nargs="*", help="payload files to analyse")
    parser.add_argument("--json", action="store_true", help="print JSON instead of a table")
    parser.add_argument("--top", type=int, default=3, metavar="N", help="how many decodings to show (default 3)")
    args = parser.parse_args(argv)
    if args.top < 1:
        parser.error("--top must be at least 1")

    payloads = []
    if args.files:
        for name in args.files:
            try:
                payloads.append((name, Path(name).read_bytes()))
            except OSError as error:
                print(f"error: cannot read {name}: {error.strerror or error}", file=sys.stderr)
                return EXIT_USAGE
    else:
        payloads = bundled_samples()

    reports = [analyse(name, payload, args.top) for name, payload in payloads]
    print(render_json(reports) if args.json else render_table(reports))
    return EXIT_UNDECODED if any(r.problem for r in reports) else EXIT_OK
