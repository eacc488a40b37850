"""A small accuracy check on held-out text (benchmarks/accuracy.py measures the whole set)."""

from __future__ import annotations

from pathlib import Path

import pytest

import vexlora

HELDOUT = Path(__file__).parent / "data" / "heldout2"
CASES = [
    ("french", ["cp1252", "utf_8", "mac_roman", "cp850"]),
    ("german", ["cp1252", "iso8859_15", "utf_16"]),
    ("polish", ["cp1250", "iso8859_2", "utf_8"]),
    ("russian", ["cp1251", "koi8_r", "cp866", "mac_cyrillic", "utf_8"]),
    ("greek", ["cp1253", "iso8859_7"]),
    ("hebrew", ["cp1255"]),
    ("arabic", ["cp1256"]),
    ("turkish", ["cp1254"]),
    ("thai", ["cp874"]),
    ("japanese", ["shift_jis", "euc_jp"]),
    ("chinese", ["gb18030", "big5"]),
    ("korean", ["euc_kr"]),
    ("finnish", ["utf_8"]),
    ("danish", ["utf_8"]),
]


def first_sample(language: str) -> str:
    text = (HELDOUT / f"{language}.txt").read_text(encoding="utf-8")
    return text.split("\n\n")[0].strip()


@pytest.mark.parametrize(("language", "encodings"), CASES, ids=[language for language, _ in CASES])
def test_heldout_samples(language, encodings):
    text = first_sample(language)
    for encoding in encodings:
        try:
            data = text.encode(encoding)
        except UnicodeEncodeError:
            continue
        best = vexlora.detect(data).best
        assert best is not None, encoding
        assert data.decode(best.encoding) == text, (encoding, best.encoding)
        assert best.languages[0][0] == language.capitalize(), (encoding, best.languages)
