"""The detection engine behind ``vexlora.detect``, ``detect_file`` and ``detect_stream``.

A payload up to ``WHOLE_LIMIT`` bytes is ranked whole. A larger one is
ranked on a sample: slices spread over the whole payload, each cut where a
character starts and ends in every candidate codec. One sequential pass over
the whole payload then tells which codecs really decode it all (the set of
bytes present rules single-byte code pages in or out, incremental decoders
check UTF-8 and the multi-byte contenders), and the sample is ranked again
among those. Memory stays bounded: the pass reads ``CHUNK`` bytes at a time.

Streams (and special files) are read to their end or to ``STREAM_LIMIT``
bytes, whichever comes first; ``Detection.size`` is then the number of bytes
read. A stream whose first bytes are binary is not read further.
"""

from __future__ import annotations

import codecs
import os
import re
import stat
from collections.abc import Callable, Iterator
from typing import BinaryIO

from vexlora._detect_codecs import BY_NAME, Codec
from vexlora._detect_rank import CONFIDENT_LEAD, Reading, languages_of, rank
from vexlora.detector import Detection, Guess, Progress

WHOLE_LIMIT = 24 * 1024
SLICE = 1536
SLICES = 16
CHUNK = 1 << 20
STREAM_LIMIT = 1 << 30
# Multi-byte contenders checked over the whole payload besides UTF-8.
CHECKED_CONTENDERS = 3
# How often (in bytes) progress is reported.
PROGRESS_STEP = 16 * CHUNK

_ASCII = bytes(range(128))
# After one of these bytes every ASCII-compatible codec starts a new
# character: no multi-byte sequence of UTF-8, the EUC, Shift_JIS, Big5 or
# GB codecs uses a byte below 0x30 after its first byte.
_BOUNDARY = re.compile(rb"[\x00-\x2f]")
_HIGH = re.compile(rb"[\x80-\xff]")


# ---------------------------------------------------------------------------
# Results


def _confidence(reading: Reading, runner_up: Reading | None) -> float:
    """How sure the ranking is of ``reading`` (0..1), from its mess and its lead."""
    base = max(0.0, 1.0 - 2.0 * reading.mess)
    if reading.bom:
        return min(1.0, base + 0.5) if reading.mess < 0.1 else base
    if runner_up is None:
        return base
    lead = runner_up.score - reading.score
    return base * min(1.0, 0.5 + 0.5 * lead / CONFIDENT_LEAD)


def _guesses(readings: list[Reading], top: int) -> tuple[Guess, ...]:
    guesses = []
    for position, reading in enumerate(readings[:top]):
        if position == 0:
            confidence = _confidence(reading, readings[1] if len(readings) > 1 else None)
        else:
            # A runner-up is at best as likely as the winner is unsure.
            confidence = min(1.0 - guesses[0].confidence, _confidence(reading, None))
        guesses.append(
            Guess(
                reading.codec.encoding,
                reading.codec.name,
                round(confidence, 3),
                round(reading.mess, 4),
                languages_of(reading),
                reading.bom,
            )
        )
    return tuple(guesses)


def _detection(kind: str, readings: list[Reading], top: int, size: int) -> Detection:
    return Detection(kind, _guesses(readings, top) if kind == "text" else (), size)


# ---------------------------------------------------------------------------
# Samples


def _aligned(head: bytes) -> bool:
    """Whether the payload looks UTF-16/32: then slices are cut at multiples of 4 bytes."""
    # Text in an ASCII-compatible codec holds no NUL at all.
    return head.startswith((b"\xff\xfe", b"\xfe\xff")) or b"\x00" in head


def _cut(chunk: bytes, aligned: bool, at_start: bool, at_end: bool) -> bytes:
    """A slice of the payload trimmed to whole characters."""
    if aligned:
        return chunk[: len(chunk) // 4 * 4]
    begin = 0
    if not at_start:
        match = _BOUNDARY.search(chunk)
        if match is None:
            return b""
        begin = match.end()
    end = len(chunk)
    if not at_end:
        last = max(chunk.rfind(bytes((byte,)), begin) for byte in b"\n \t\r")
        if last < begin:
            match = None
            for found in _BOUNDARY.finditer(chunk, begin):
                match = found  # the last boundary in the chunk
            if match is None:
                return b""
            last = match.start()
        end = last + 1
    return chunk[begin:end]


def _spread_sample(read_at: Callable[[int, int], bytes], size: int, aligned: bool) -> bytes:
    """SLICES slices spread evenly over a payload of ``size`` bytes, joined."""
    parts = []
    for index in range(SLICES):
        start = (size - SLICE) * index // (SLICES - 1)
        if aligned:
            start -= start % 4
        parts.append(_cut(read_at(start, SLICE), aligned, index == 0, index == SLICES - 1))
    return b"".join(parts)


# ---------------------------------------------------------------------------
# The pass over the whole payload


class _Pass:
    """What one sequential pass over a payload learns, a chunk at a time."""

    def __init__(self, contenders: list[Codec], keep_windows: bool, collect_bytes: bool = True) -> None:
        self.size = 0
        self.present = bytearray()  # distinct non-ASCII bytes seen
        self.collect_bytes = collect_bytes
        self.decoders: dict[str, codecs.IncrementalDecoder] = {}
        self.failed: set[str] = set()
        for codec in contenders:
            self.decoders[codec.encoding] = codecs.getincrementaldecoder(codec.encoding)("strict")
        self.keep_windows = keep_windows
        self.windows: list[bytes] = []
        self.reservoir: list[tuple[int, bytes]] = []
        self._stride = SLICE * 4
        self._next_slice = 0

    def feed(self, chunk: bytes, final: bool = False) -> None:
        if self.collect_bytes and len(self.present) < 128 and _HIGH.search(chunk):
            fresh = chunk.translate(None, _ASCII + bytes(self.present))
            if fresh:
                self.present.extend(set(fresh))
                if self.keep_windows and len(self.windows) < SLICES:
                    self._window(chunk)
        for encoding in list(self.decoders):
            try:
                self.decoders[encoding].decode(chunk, final)
            except UnicodeDecodeError:
                self.failed.add(encoding)
                del self.decoders[encoding]
        self.size += len(chunk)

    def _window(self, chunk: bytes) -> None:
        match = _HIGH.search(chunk)
        if match is not None:
            around = chunk[max(0, match.start() - SLICE // 2) : match.start() + SLICE // 2]
            self.windows.append(_cut(around, False, False, False))

    def sample_stream(self, chunk: bytes, aligned: bool) -> None:
        """Keep slices of a stream of unknown length spread over all of it (bounded count)."""
        offset = self.size
        while self._next_slice < offset + len(chunk):
            start = self._next_slice - offset
            if start >= 0:
                piece = chunk[start : start + SLICE]
                self.reservoir.append((self._next_slice, _cut(piece, aligned, False, False)))
            self._next_slice += self._stride
            if len(self.reservoir) > 2 * SLICES:
                # Too many: keep every other slice and take them twice as far apart.
                self.reservoir = self.reservoir[::2]
                self._stride *= 2
                self._next_slice = self.reservoir[-1][0] + self._stride

    def valid(self, codec: Codec) -> bool | None:
        """Whether the codec decodes everything passed (None: not checked)."""
        if codec.single_byte:
            if not self.collect_bytes:
                return None
            return not bytes(self.present).translate(None, codec.defined)
        if codec.encoding in self.failed:
            return False
        if codec.encoding in self.decoders:
            return True
        return None


def _contenders(readings: list[Reading]) -> list[Codec]:
    """The multi-byte codecs worth checking over the whole payload."""
    chosen = [BY_NAME["utf_8"]]
    for reading in readings:
        for codec in reading.codecs:
            if not codec.single_byte and codec not in chosen and codec.encoding != "utf_8_sig":
                chosen.append(codec)
        if len(chosen) > CHECKED_CONTENDERS:
            break
    return chosen


def _final(sample: bytes, scan: _Pass, top: int, size: int) -> Detection:
    if scan.windows and not _HIGH.search(sample):
        # The sample missed the payload's only non-ASCII bytes: judge those.
        sample += b"".join(scan.windows)

    def allowed(codec: Codec) -> bool:
        if codec.encoding == "ascii":
            return not scan.present
        verdict = scan.valid(BY_NAME["utf_8"] if codec.encoding == "utf_8_sig" else codec)
        # UTF-16/32 not checked over the whole payload are judged on the sample.
        return verdict if verdict is not None else codec.family == "utf"

    kind, readings = rank(sample, top, allowed=allowed)
    return _detection(kind, readings, top, size)


def _run(
    scan: _Pass,
    chunks: Iterator[bytes],
    size: int | None,
    progress: Progress | None,
    stream_sampling: bool,
    aligned: bool,
) -> None:
    reported = 0
    for chunk in chunks:
        if stream_sampling:
            scan.sample_stream(chunk, aligned)
        scan.feed(chunk)
        if progress is not None and scan.size - reported >= PROGRESS_STEP:
            reported = scan.size
            progress(scan.size, size)
    scan.feed(b"", final=True)
    if progress is not None:
        progress(scan.size, size)


def _large(
    sample: bytes,
    chunks: Callable[[], Iterator[bytes]],
    size: int | None,
    top: int,
    progress: Progress | None,
    stream_sampling: bool,
    aligned: bool,
) -> Detection:
    """Rank a large payload: on ``sample``, then checked over all of ``chunks()``.

    ``chunks`` may be called twice for a payload that can be read again
    (bytes, regular files); a stream is read once.
    """
    kind, readings = rank(sample, top)
    if kind in ("binary", "empty"):
        return _detection(kind, readings, top, size or len(sample))
    winner = readings[0].codec if readings else None
    # A multi-byte winner is checked by its decoder alone, the cheap way; the
    # byte set that judges the single-byte code pages is collected when the
    # winner is one of them, or when the payload cannot be read twice.
    quick = winner is not None and not winner.single_byte and not stream_sampling
    scan = _Pass(_contenders(readings), keep_windows=True, collect_bytes=not quick)
    _run(scan, chunks(), size, progress, stream_sampling, aligned)
    if quick and scan.valid(winner) is not True:
        scan = _Pass(_contenders(readings), keep_windows=True)
        _run(scan, chunks(), size, None, False, aligned)
    if stream_sampling:
        sample = sample + b"".join(piece for _, piece in scan.reservoir)
    elif readings and scan.valid(readings[0].codec) and _HIGH.search(sample):
        # The sample's winner decodes the whole payload: keep the ranking,
        # less the codecs the whole payload rules out.
        kept = [reading for reading in readings if scan.valid(reading.codec) is not False]
        return _detection(kind, kept, top, scan.size)
    return _final(sample, scan, top, scan.size)


# ---------------------------------------------------------------------------
# Entry points


def judge_bytes(data: bytes | bytearray | memoryview, top: int) -> Detection:
    view = memoryview(data)
    if view.ndim != 1 or view.itemsize != 1 or not view.c_contiguous:
        view = memoryview(view.tobytes())
    size = view.nbytes
    if size <= WHOLE_LIMIT:
        # Bytes are ranked as they are; other buffers are copied once.
        kind, readings = rank(data if type(data) is bytes else view.tobytes(), top)
        return _detection(kind, readings, top, size)
    view = view.cast("B")
    head = view[:SLICE].tobytes()
    aligned = _aligned(head)
    sample = _spread_sample(lambda start, length: view[start : start + length].tobytes(), size, aligned)

    def chunks() -> Iterator[bytes]:
        return (view[start : start + CHUNK].tobytes() for start in range(0, size, CHUNK))

    return _large(sample, chunks, size, top, None, False, aligned)


def judge_file(
    path: str | bytes | os.PathLike[str] | os.PathLike[bytes], top: int, progress: Progress | None
) -> Detection:
    with open(path, "rb") as stream:
        info = os.fstat(stream.fileno())
        if not stat.S_ISREG(info.st_mode):
            # Devices, FIFOs, ...: their size says nothing; read as a stream.
            return judge_stream(stream, top, progress)
        size = info.st_size
        if size <= WHOLE_LIMIT:
            data = stream.read(WHOLE_LIMIT + 1)
            if len(data) <= WHOLE_LIMIT:
                kind, readings = rank(data, top)
                return _detection(kind, readings, top, len(data))
            stream.seek(0)
            return judge_stream(stream, top, progress)

        def read_at(start: int, length: int) -> bytes:
            stream.seek(start)
            return stream.read(length)

        aligned = _aligned(read_at(0, SLICE))
        sample = _spread_sample(read_at, size, aligned)

        def chunks() -> Iterator[bytes]:
            stream.seek(0)
            return iter(lambda: stream.read(CHUNK), b"")

        return _large(sample, chunks, size, top, progress, False, aligned)


def judge_stream(stream: BinaryIO, top: int, progress: Progress | None) -> Detection:
    head = _read_up_to(stream, WHOLE_LIMIT + 1)
    if len(head) <= WHOLE_LIMIT:
        kind, readings = rank(head, top)
        return _detection(kind, readings, top, len(head))
    aligned = _aligned(head)
    sample = _cut(head[: SLICES * SLICE // 2], aligned, True, False)

    def read() -> Iterator[bytes]:
        yield head
        done = len(head)
        while done < STREAM_LIMIT:
            chunk = stream.read(min(CHUNK, STREAM_LIMIT - done))
            if not chunk:
                return
            done += len(chunk)
            yield chunk

    return _large(sample, read, None, top, progress, True, aligned)


def _read_up_to(stream: BinaryIO, limit: int) -> bytes:
    parts = []
    got = 0
    while got < limit:
        chunk = stream.read(limit - got)
        if not chunk:
            break
        if not isinstance(chunk, (bytes, bytearray)):
            raise TypeError(f"detect_stream() needs a binary stream; read() returned {type(chunk).__name__}")
        parts.append(bytes(chunk))
        got += len(chunk)
    return b"".join(parts)


__all__ = ["judge_bytes", "judge_file", "judge_stream"]
