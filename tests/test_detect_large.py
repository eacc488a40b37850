"""Large payloads, files and streams: sampling, the whole-payload pass, bounded reading."""

from __future__ import annotations

import io
import os
import time

import pytest

import vexlora
from vexlora import _detect_engine as engine

RUSSIAN = (
    "Вчера вечером мы долго гуляли по набережной и разговаривали о будущем, а потом зашли "
    "в маленькое кафе, где играла тихая музыка и пахло свежим хлебом.\n"
)
FRENCH = "L'été dernier, nous sommes allés à la fête du village ; les enfants ont dansé jusqu'à l'aube.\n"


@pytest.fixture
def small_pieces(monkeypatch):
    """Shrink the sample and chunk sizes so that the large-payload path runs on small payloads."""
    monkeypatch.setattr(engine, "WHOLE_LIMIT", 2048)
    monkeypatch.setattr(engine, "SLICE", 256)
    monkeypatch.setattr(engine, "CHUNK", 1024)
    monkeypatch.setattr(engine, "PROGRESS_STEP", 4096)


class OneWay(io.RawIOBase):
    """A non-seekable binary stream over some bytes (like a pipe)."""

    def __init__(self, data: bytes, endless: bool = False) -> None:
        self._data, self._position, self._endless = data, 0, endless

    def readable(self) -> bool:
        return True

    def readinto(self, buffer) -> int:
        if self._endless and self._position >= len(self._data):
            self._position = 0
        piece = self._data[self._position : self._position + len(buffer)]
        buffer[: len(piece)] = piece
        self._position += len(piece)
        return len(piece)


@pytest.mark.parametrize(
    ("text", "encoding"),
    [
        (RUSSIAN, "utf_8"),
        (RUSSIAN, "cp1251"),
        (RUSSIAN, "koi8_r"),
        (RUSSIAN, "utf_16"),
        (RUSSIAN, "utf_16_le"),
        (FRENCH, "cp1252"),
        (FRENCH, "utf_8_sig"),
    ],
)
def test_sampled_payloads_bytes_file_and_stream_agree(small_pieces, tmp_path, text, encoding):
    data = (text * 80).encode(encoding)
    path = tmp_path / "payload.txt"
    path.write_bytes(data)
    results = [
        vexlora.detect(data),
        vexlora.detect_file(path),
        vexlora.detect_stream(OneWay(data)),
        vexlora.detect_stream(io.BytesIO(data)),
    ]
    for detection in results:
        assert detection.kind == "text" and detection.size == len(data)
        assert data.decode(detection.best.encoding) == text * 80


def test_a_byte_outside_the_sample_decides(small_pieces):
    # Only one non-ASCII character, far from every sampled slice: the whole
    # pass finds it, and the ranking judges it.
    line = b"plain ascii line of text here\n"
    for tail, expected in (("café".encode("cp1252"), "cp1252"), ("café".encode(), "utf_8")):
        data = line * 200 + tail + line * 200
        best = vexlora.detect(data).best
        assert best is not None and data.decode(best.encoding) == (data.decode(expected))
        assert best.encoding != "ascii"


def test_a_sample_winner_that_fails_later_is_replaced(small_pieces):
    # Valid UTF-8 in every slice, then a byte that UTF-8 cannot hold.
    data = RUSSIAN.encode("utf-8") * 40 + b"\xff" + RUSSIAN.encode("utf-8") * 40
    detection = vexlora.detect(data)
    assert detection.best is None or detection.best.encoding != "utf_8"
    for guess in detection.guesses:
        data.decode(guess.encoding)


def test_progress_is_reported(small_pieces, tmp_path):
    data = (FRENCH * 400).encode("cp1252")
    path = tmp_path / "big.txt"
    path.write_bytes(data)
    calls = []
    vexlora.detect_file(path, progress=lambda done, total: calls.append((done, total)))
    assert calls and calls[-1] == (len(data), len(data))
    calls.clear()
    vexlora.detect_stream(OneWay(data), progress=lambda done, total: calls.append((done, total)))
    assert calls and calls[-1] == (len(data), None)


def test_endless_stream_stops_at_the_cap(small_pieces, monkeypatch):
    monkeypatch.setattr(engine, "STREAM_LIMIT", 64 * 1024)
    detection = vexlora.detect_stream(OneWay((FRENCH * 10).encode("cp1252"), endless=True))
    assert detection.kind == "text" and detection.size == 64 * 1024


def test_stream_memory_is_bounded(small_pieces):
    # The slices kept from a stream of unknown length stay few.
    scan = engine._Pass([], keep_windows=False)
    chunk = (FRENCH * 20).encode("cp1252")
    for _ in range(2000):
        scan.sample_stream(chunk, False)
        scan.feed(chunk)
    assert len(scan.reservoir) <= 2 * engine.SLICES + 1


@pytest.mark.skipif(not os.path.exists("/dev/zero"), reason="needs /dev/zero")
def test_dev_zero_is_binary_and_quick():
    started = time.perf_counter()
    detection = vexlora.detect_file("/dev/zero")
    assert detection.kind == "binary"
    assert time.perf_counter() - started < 5


def test_file_errors_are_the_os_errors(tmp_path):
    with pytest.raises(FileNotFoundError):
        vexlora.detect_file(tmp_path / "missing.txt")
    with pytest.raises(IsADirectoryError):
        vexlora.detect_file(tmp_path)
    with pytest.raises(TypeError, match="int"):
        vexlora.detect_file(3)  # type: ignore[arg-type]


def test_stream_errors():
    with pytest.raises(TypeError, match="str"):
        vexlora.detect_stream("not a stream")  # type: ignore[arg-type]
    with pytest.raises(TypeError, match="binary stream"):
        vexlora.detect_stream(io.StringIO("text"))  # type: ignore[arg-type]
    with pytest.raises(ValueError, match="top"):
        vexlora.detect_stream(io.BytesIO(b"abc"), top=0)


def test_small_file_and_empty_file(tmp_path):
    path = tmp_path / "small.txt"
    path.write_bytes(RUSSIAN.encode("koi8_r"))
    assert vexlora.detect_file(path).best.encoding == "koi8_r"
    path.write_bytes(b"")
    assert vexlora.detect_file(path).kind == "empty"
    assert vexlora.detect_file(str(path).encode()).kind == "empty"
