"""The detection engine behind ``vexlora.detect`` (first, plain version)."""

from __future__ import annotations

import os
from typing import BinaryIO

from vexlora._detect_codecs import CODECS
from vexlora.detector import Detection, Guess, Progress

_BOMS = ((b"\xff\xfe\x00\x00", "utf_32"), (b"\x00\x00\xfe\xff", "utf_32"), (b"\xef\xbb\xbf", "utf_8_sig"),
         (b"\xff\xfe", "utf_16"), (b"\xfe\xff", "utf_16"))


def judge_bytes(data: bytes | bytearray | memoryview, top: int) -> Detection:
    from vexlora.murkel import mess_ratio
    from vexlora.tessaly import coherence_ratio

    payload = bytes(data)
    if not payload:
        return Detection("empty", (), 0)
    found = []
    for codec in CODECS:
        try:
            text = payload.decode(codec.encoding)
        except UnicodeDecodeError:
            continue
        bom = any(payload.startswith(mark) and codec.encoding == enc for mark, enc in _BOMS)
        found.append((mess_ratio(text, 1.0), -codec.prior, codec, text, bom))
    if not found:
        return Detection("undecodable", (), len(payload))
    found.sort(key=lambda item: (item[0], item[1]))
    guesses = []
    for mess, _, codec, text, bom in found[:top]:
        languages = tuple(coherence_ratio(text[:5000], 0.1, None)[:3])
        guesses.append(Guess(codec.encoding, codec.name, max(0.0, 1.0 - mess), mess, languages, bom))
    return Detection("text", tuple(guesses), len(payload))


def judge_file(path: str | bytes | os.PathLike[str] | os.PathLike[bytes], top: int,
               progress: Progress | None) -> Detection:
    with open(path, "rb") as stream:
        return judge_stream(stream, top, progress)


def judge_stream(stream: BinaryIO, top: int, progress: Progress | None) -> Detection:
    return judge_bytes(stream.read(1 << 20), top)
