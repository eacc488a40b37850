"""The ``vexlora`` command: which encoding and language each payload is in.

The ranking itself is the detector's (``vexlora.detect_file``,
``vexlora.detect_stream``, ``vexlora.detect``); this module only reads the
arguments, feeds the payloads to it and prints the results. Data goes to
stdout, diagnostics and progress to stderr.

Exit status: 0 when every payload was recognised as text; 1 when a payload
was empty, binary or undecodable; 2 for a usage error or a payload that
could not be read or analysed (2 wins over 1); 130 when interrupted; 141
when stdout was closed early (a broken pipe, as after ``| head``).
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import time
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from importlib import resources
from typing import TYPE_CHECKING, TextIO

import vexlora

if TYPE_CHECKING:
    from vexlora.detector import Detection

# Version of the --json document; raised whenever a field changes meaning or
# disappears (adding a field does not raise it).
JSON_SCHEMA = 1

EXIT_OK, EXIT_NOT_TEXT, EXIT_ERROR = 0, 1, 2
EXIT_INTERRUPTED = 130  # 128 + SIGINT, what a shell reports for Ctrl-C
EXIT_BROKEN_PIPE = 141  # 128 + SIGPIPE, what a shell reports for a tool killed by a closed pipe

STDIN = "-"

# Progress shows only for payloads that take longer than PROGRESS_DELAY
# seconds, refreshed at most every PROGRESS_INTERVAL seconds.
PROGRESS_DELAY = 0.5
PROGRESS_INTERVAL = 0.1


@dataclass(frozen=True, slots=True)
class Outcome:
    """What happened to one input: a detection, or the reason there is none."""

    name: str  # printable name: the argument as given, "-" for stdin
    detection: Detection | None
    error: str | None = None  # "cannot read NAME: why" when there is no detection


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line tool on ``argv`` (default ``sys.argv[1:]``) and return the exit status."""
    _tolerate_unencodable_output()
    try:
        try:
            return _run(argv)
        except SystemExit:  # argparse's --help, --version and usage errors
            _write("", end="")
            raise
    except KeyboardInterrupt:
        _print_error("interrupted")
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader went away (`| head`): stop quietly; the flush at exit
        # must not fail again, so stdout now points to the null device.
        _silence_stdout()
        return EXIT_BROKEN_PIPE
    except _OutputFailed as failure:
        _print_error(f"cannot write the output: {failure.reason}")
        _silence_stdout()
        return EXIT_ERROR


def _run(argv: Sequence[str] | None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    if args.top < 1:
        parser.error(f"--top must be at least 1, not {args.top}")
    inputs = list(args.files)
    if not inputs and not args.samples:
        if sys.stdin is None or sys.stdin.isatty():
            parser.error(
                "no FILE given and standard input is a terminal (give FILE, '-' for standard input, or --samples)"
            )
        inputs = [STDIN]
    progress = _Progress(sys.stderr) if _is_terminal(sys.stderr) else None
    outcomes: list[Outcome] = []
    for outcome in _analyse_all(inputs, args.samples, args.top, progress):
        outcomes.append(outcome)
        if outcome.error is not None:
            _print_error(outcome.error)
        elif not args.json:
            _write(_render_verbose(outcome) if args.verbose else _render_line(outcome))
    if args.json:
        _write(_render_json(outcomes))
    return _exit_status(outcomes)


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="vexlora",
        description="Name the character encoding and the language of each FILE.",
        epilog="Exit status: 0 all payloads are text, 1 a payload is empty, binary or undecodable, "
        "2 usage error or unreadable file, 130 interrupted, 141 output pipe closed.",
    )
    parser.add_argument(
        "files",
        metavar="FILE",
        nargs="*",
        help="payload to analyse; '-' reads standard input, which is also "
        "read when no FILE is given and it is not a terminal",
    )
    parser.add_argument("--samples", action="store_true", help="also analyse the sample payloads bundled with vexlora")
    output = parser.add_mutually_exclusive_group()
    output.add_argument(
        "-v", "--verbose", action="store_true", help="show the ranked table of guesses for each payload"
    )
    output.add_argument(
        "--json", action="store_true", help=f"print one JSON document (schema {JSON_SCHEMA}, see the README)"
    )
    parser.add_argument(
        "--top",
        type=int,
        default=5,
        metavar="N",
        help="how many guesses to rank (default 5; the one-line output shows the first)",
    )
    parser.add_argument("--version", action="version", version=f"vexlora {vexlora.__version__}")
    return parser


# -- analysis -----------------------------------------------------------------


def _analyse_all(inputs: list[str], samples: bool, top: int, progress: _Progress | None) -> Iterator[Outcome]:
    for name in inputs:
        yield _analyse_input(name, top, progress)
    if samples:
        for name, payload in bundled_samples():
            yield Outcome(name, vexlora.detect(payload, top=top))


def _analyse_input(argument: str, top: int, progress: _Progress | None) -> Outcome:
    name = printable_name(argument)
    callback: Callable[[int, int | None], None] | None = None
    if progress is not None:
        progress.start(name)
        callback = progress.update
    try:
        if argument == STDIN:
            if sys.stdin is None:
                return Outcome(name, None, "cannot read standard input: it is closed")
            detection = vexlora.detect_stream(sys.stdin.buffer, top=top, progress=callback)
        else:
            detection = vexlora.detect_file(argument, top=top, progress=callback)
    except OSError as error:
        return Outcome(name, None, f"cannot read {name}: {error.strerror or error}")
    except MemoryError:
        return Outcome(name, None, f"cannot analyse {name}: out of memory")
    finally:
        if progress is not None:
            progress.clear()
    return Outcome(name, detection)


def bundled_samples() -> list[tuple[str, bytes]]:
    """The sample payloads shipped in ``vexlora/samples``, as (file name, bytes), sorted by name."""
    folder = resources.files("vexlora") / "samples"
    return sorted((entry.name, entry.read_bytes()) for entry in folder.iterdir() if entry.name.endswith(".txt"))


def _exit_status(outcomes: list[Outcome]) -> int:
    if any(o.error is not None for o in outcomes):
        return EXIT_ERROR
    if any(o.detection is not None and o.detection.kind != "text" for o in outcomes):
        return EXIT_NOT_TEXT
    return EXIT_OK


# -- rendering ----------------------------------------------------------------


def printable_name(argument: str) -> str:
    """``argument`` with bytes that are not valid in the file system encoding shown as ``\\xNN``.

    Python hands such bytes over as lone surrogates, which no output stream can encode.
    """
    return os.fsencode(argument).decode(sys.getfilesystemencoding(), "backslashreplace")


def _render_line(outcome: Outcome) -> str:
    detection = outcome.detection
    assert detection is not None
    best = detection.best
    if best is None:
        return f"{outcome.name}: {detection.kind}"
    label = best.name + (" with BOM" if best.bom else "")
    if best.languages:
        label += f", {best.languages[0][0]}"
    return f"{outcome.name}: {label} (confidence {best.confidence:.2f})"


def _render_verbose(outcome: Outcome) -> str:
    detection = outcome.detection
    assert detection is not None
    head = f"{outcome.name}: {detection.kind}, {detection.size} bytes"
    if not detection.guesses:
        return head
    rows = [("#", "name", "codec", "confidence", "mess", "languages")]
    for rank, guess in enumerate(detection.guesses, 1):
        languages = ", ".join(f"{language} {score:.2f}" for language, score in guess.languages[:3])
        name = guess.name + (" (BOM)" if guess.bom else "")
        rows.append((str(rank), name, guess.encoding, f"{guess.confidence:.2f}", f"{guess.mess:.3f}", languages or "-"))
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]) - 1)]
    numeric = (True, False, False, True, True)  # rank, name, codec, confidence, mess
    lines = [head]
    for row in rows:
        cells = [cell.rjust(width) if right else cell.ljust(width) for cell, width, right in zip(row, widths, numeric)]
        lines.append("  " + "  ".join(cells + [row[-1]]))
    return "\n".join(lines)


def _render_json(outcomes: list[Outcome]) -> str:
    return json.dumps(
        {
            "schema": JSON_SCHEMA,
            "vexlora": vexlora.__version__,
            "results": [_json_result(o) for o in outcomes],
        },
        ensure_ascii=False,
        indent=2,
    )


def _json_result(outcome: Outcome) -> dict[str, object]:
    detection = outcome.detection
    if detection is None:
        return {"file": outcome.name, "kind": "error", "size": None, "error": outcome.error, "guesses": []}
    return {
        "file": outcome.name,
        "kind": detection.kind,
        "size": detection.size,
        "error": None,
        "guesses": [
            {
                "encoding": guess.encoding,
                "name": guess.name,
                "confidence": guess.confidence,
                "mess": guess.mess,
                "bom": guess.bom,
                "languages": [{"language": language, "score": score} for language, score in guess.languages],
            }
            for guess in detection.guesses
        ],
    }


# -- terminal and stream handling ---------------------------------------------


class _Progress:
    """Progress of the payload being read, on one rewritten stderr line.

    Drawn only after PROGRESS_DELAY seconds on the same payload, so quick
    runs print nothing, and erased before the payload's result is printed.
    """

    def __init__(self, stream: TextIO, clock: Callable[[], float] = time.monotonic) -> None:
        self._stream = stream
        self._clock = clock
        self._name = ""
        self._started = self._drawn_at = 0.0
        self._width = 0

    def start(self, name: str) -> None:
        self._name = name if len(name) <= 40 else "..." + name[-37:]
        self._started = self._clock()
        self._drawn_at = 0.0

    def update(self, done: int, total: int | None) -> None:
        now = self._clock()
        if now - self._started < PROGRESS_DELAY or now - self._drawn_at < PROGRESS_INTERVAL:
            return
        self._drawn_at = now
        if total:
            text = f"vexlora: {self._name}: {min(done * 100 // total, 100)}% of {_megabytes(total)}"
        else:
            text = f"vexlora: {self._name}: {_megabytes(done)} read"
        self._draw(text.ljust(self._width))
        self._width = len(text)

    def clear(self) -> None:
        if self._width:
            self._draw(" " * self._width)
            self._width = 0

    def _draw(self, text: str) -> None:
        self._stream.write("\r" + text + "\r")
        self._stream.flush()


def _megabytes(size: int) -> str:
    return f"{size / 1e6:.1f} MB"


def _is_terminal(stream: TextIO | None) -> bool:
    try:
        return stream is not None and stream.isatty()
    except ValueError:  # closed stream
        return False


class _OutputFailed(Exception):
    """Standard output could not be written for another reason than a closed pipe."""

    def __init__(self, reason: str) -> None:
        super().__init__(reason)
        self.reason = reason


def _write(text: str, end: str = "\n") -> None:
    # Flushed line by line so that results appear as payloads are analysed.
    try:
        print(text, end=end, flush=True)
    except BrokenPipeError:
        raise
    except OSError as error:
        raise _OutputFailed(error.strerror or str(error)) from error


def _print_error(message: str) -> None:
    try:
        print(f"vexlora: {message}", file=sys.stderr, flush=True)
    except (OSError, ValueError, AttributeError):
        pass  # nowhere left to report to


def _tolerate_unencodable_output() -> None:
    # Language names and file names may not fit a narrow output encoding
    # (PYTHONIOENCODING=ascii); show such characters escaped, never fail.
    for stream in (sys.stdout, sys.stderr):
        reconfigure = getattr(stream, "reconfigure", None)
        if reconfigure is not None:
            reconfigure(errors="backslashreplace")


def _silence_stdout() -> None:
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
    except (OSError, ValueError, AttributeError):
        pass
