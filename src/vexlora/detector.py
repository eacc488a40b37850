"""Which encoding and which languages fit a byte payload.

``detect`` judges bytes held in memory, ``detect_file`` a file and
``detect_stream`` a binary stream; the last two read with bounded memory.
"""

from __future__ import annotations

import os
from collections.abc import Callable
from dataclasses import dataclass
from typing import BinaryIO

__all__ = ["Detection", "Guess", "detect", "detect_file", "detect_stream"]

Progress = Callable[[int, int | None], None]


@dataclass(frozen=True, slots=True)
class Guess:
    """One reading of a payload: a codec, its standard label and what it gives."""

    encoding: str
    name: str
    confidence: float
    mess: float
    languages: tuple[tuple[str, float], ...]
    bom: bool


@dataclass(frozen=True, slots=True)
class Detection:
    """What a payload is: its kind and, for text, the ranked readings."""

    kind: str
    guesses: tuple[Guess, ...]
    size: int

    @property
    def best(self) -> Guess | None:
        return self.guesses[0] if self.guesses else None


def _check_top(top: int) -> None:
    if isinstance(top, bool) or not isinstance(top, int):
        raise TypeError(f"top must be an int, not {type(top).__name__}")
    if top < 1:
        raise ValueError(f"top must be at least 1, got {top}")


def detect(data: bytes | bytearray | memoryview, *, top: int = 5) -> Detection:
    """Rank the encodings (and their languages) that fit ``data``.

    At most ``top`` guesses, best first; ``data.decode(guess.encoding)``
    gives the text of each. Large payloads are judged on spread samples and
    checked over the whole payload without copying it.
    """
    if not isinstance(data, (bytes, bytearray, memoryview)):
        raise TypeError(f"detect() needs bytes, bytearray or memoryview, not {type(data).__name__}")
    _check_top(top)
    from vexlora._detect_engine import judge_bytes

    return judge_bytes(data, top)


def detect_file(
    path: str | bytes | os.PathLike[str] | os.PathLike[bytes], *, top: int = 5, progress: Progress | None = None
) -> Detection:
    """Like ``detect`` for the content of the file at ``path``, read with bounded memory.

    A large file is judged on slices spread over it, then checked in one
    sequential pass; it is never read whole into memory. Devices and FIFOs
    are read as streams (see ``detect_stream``). ``OSError`` comes as the
    system raises it (missing file, no permission, a directory).
    ``progress(bytes_done, bytes_total)`` is called from time to time.
    """
    if not isinstance(path, (str, bytes, os.PathLike)):
        raise TypeError(f"detect_file() needs a path (str, bytes or os.PathLike), not {type(path).__name__}")
    _check_top(top)
    from vexlora._detect_engine import judge_file

    return judge_file(path, top, progress)


def detect_stream(stream: BinaryIO, *, top: int = 5, progress: Progress | None = None) -> Detection:
    """Like ``detect`` for what a binary stream yields, read with bounded memory.

    The stream is read to its end or to 1 GiB, whichever comes first
    (``Detection.size`` is the number of bytes read); one that starts with
    binary data is not read further. ``progress(bytes_done, None)`` is
    called from time to time.
    """
    if not callable(getattr(stream, "read", None)):
        raise TypeError(f"detect_stream() needs a binary stream, not {type(stream).__name__}")
    _check_top(top)
    from vexlora._detect_engine import judge_stream

    return judge_stream(stream, top, progress)
