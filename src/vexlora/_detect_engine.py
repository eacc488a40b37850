"""The detection engine behind ``vexlora.detect``, ``detect_file`` and ``detect_stream``."""

from __future__ import annotations

import os
from typing import BinaryIO

from vexlora._detect_rank import Reading, languages_of, rank
from vexlora.detector import Detection, Guess, Progress


def _guesses(readings: list[Reading], top: int) -> tuple[Guess, ...]:
    guesses = []
    for position, reading in enumerate(readings[:top]):
        runner_up = readings[position + 1].score if position + 1 < len(readings) else None
        confidence = _confidence(reading, runner_up) if position == 0 else min(0.5, _confidence(reading, None) / 2)
        guesses.append(Guess(reading.codec.encoding, reading.codec.name, round(confidence, 3),
                             round(reading.mess, 4), languages_of(reading), reading.bom))
    return tuple(guesses)


def _confidence(reading: Reading, runner_up: float | None) -> float:
    base = max(0.0, 1.0 - 2 * reading.mess)
    if runner_up is None:
        return base
    gap = runner_up - reading.score
    return base * min(1.0, 0.5 + gap * 10)


def judge_bytes(data: bytes | bytearray | memoryview, top: int) -> Detection:
    payload = bytes(data)
    kind, readings = rank(payload, top)
    return Detection(kind, _guesses(readings, top) if kind == "text" else (), len(payload))


def judge_file(path: str | bytes | os.PathLike[str] | os.PathLike[bytes], top: int,
               progress: Progress | None) -> Detection:
    with open(path, "rb") as stream:
        return judge_stream(stream, top, progress)


def judge_stream(stream: BinaryIO, top: int, progress: Progress | None) -> Detection:
    return judge_bytes(stream.read(1 << 20), top)
