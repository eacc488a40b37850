"""vexlora.detect and friends: the API, each kind of payload, BOMs and wide encodings."""

from __future__ import annotations

import dataclasses

import pytest

from vexlora import Detection, Guess, detect

FRENCH = (
    "L'été dernier, nous sommes allés à la fête du village ; les enfants ont dansé jusqu'à l'aube "
    "et personne n'a voulu rentrer avant que le soleil ne se lève sur les collines."
)
RUSSIAN = (
    "Вчера вечером мы долго гуляли по набережной и разговаривали о будущем, а потом зашли "
    "в маленькое кафе, где играла тихая музыка и пахло свежим хлебом."
)
GREEK = "Το καλοκαίρι πήγαμε στο νησί και κολυμπήσαμε στη θάλασσα κάθε πρωί, πριν ξυπνήσει το χωριό."
JAPANESE = "昨日は雨が降っていたので、家で本を読んだり映画を見たりしました。明日は晴れるといいですね。"
# Letters the French letter profile leaves out (œ, î): they still fit French.
PASCAL = " ".join(["Le cœur a ses raisons que la raison ne connaît point. Nous le sentons en mille choses."] * 4)


def decodes_to(data: bytes, guess: Guess | None, text: str) -> bool:
    return guess is not None and data.decode(guess.encoding) == text


def test_results_are_frozen_and_typed():
    detection = detect(FRENCH.encode("cp1252"))
    assert isinstance(detection, Detection) and detection.kind == "text"
    best = detection.best
    assert isinstance(best, Guess) and best is detection.guesses[0]
    assert isinstance(best.languages, tuple) and all(isinstance(pair, tuple) for pair in best.languages)
    assert 0.0 <= best.confidence <= 1.0 and best.mess >= 0.0 and best.bom is False
    with pytest.raises(dataclasses.FrozenInstanceError):
        best.encoding = "utf_8"  # type: ignore[misc]
    assert detection.size == len(FRENCH.encode("cp1252"))


@pytest.mark.parametrize("kind", [bytes, bytearray, memoryview])
def test_every_bytes_like_type_is_accepted(kind):
    data = RUSSIAN.encode("cp1251")
    assert decodes_to(data, detect(kind(data)).best, RUSSIAN)


@pytest.mark.parametrize("value", ["text", 12, None, [1, 2]])
def test_wrong_payload_type_is_a_type_error_naming_it(value):
    with pytest.raises(TypeError, match=type(value).__name__):
        detect(value)  # type: ignore[arg-type]


@pytest.mark.parametrize("top", [0, -3])
def test_top_below_one_is_a_value_error(top):
    with pytest.raises(ValueError, match="top"):
        detect(b"abc", top=top)


def test_top_bounds_the_guesses_and_guesses_are_distinct_readings():
    data = FRENCH.encode("cp1252")
    assert len(detect(data, top=1).guesses) == 1
    guesses = detect(data, top=5).guesses
    assert 1 <= len(guesses) <= 5
    texts = [data.decode(guess.encoding) for guess in guesses]
    assert len(set(texts)) == len(texts)


def test_empty_payload():
    detection = detect(b"")
    assert (detection.kind, detection.guesses, detection.size, detection.best) == ("empty", (), 0, None)


@pytest.mark.parametrize(
    "data",
    [
        b"\x7fELF\x02\x01\x01\x00\x00\x00\x00\x00" + bytes(range(256)) * 4,
        bytes(4096),
        b"text with a NUL\x00 in the middle of it, which no text file holds" * 3,
        bytes([1, 2, 3, 4, 5, 6, 7, 8, 14, 15, 16]) * 40,
    ],
)
def test_binary_payloads(data):
    detection = detect(data)
    assert detection.kind == "binary" and detection.guesses == ()


def test_bytes_that_no_codec_reads_as_text_are_undecodable():
    import random

    generator = random.Random(3)
    data = bytes(generator.randrange(0x80, 0x100) for _ in range(3000))
    detection = detect(data)
    assert detection.kind == "undecodable" and detection.best is None and detection.size == 3000


def test_pure_ascii_is_ascii():
    best = detect(b"Plain old ASCII text, nothing else.\n").best
    assert best is not None and best.encoding == "ascii" and best.name == "US-ASCII"


@pytest.mark.parametrize("text", [FRENCH, RUSSIAN, GREEK, JAPANESE], ids=["fr", "ru", "el", "ja"])
def test_utf8_with_multibyte_sequences_wins(text):
    best = detect(text.encode("utf-8")).best
    assert best is not None and best.encoding == "utf_8" and best.name == "UTF-8" and best.confidence >= 0.9


@pytest.mark.parametrize(
    ("encoding", "mark", "name"),
    [
        ("utf_8_sig", b"\xef\xbb\xbf", "UTF-8"),
        ("utf_16", None, "UTF-16"),
        ("utf_32", None, "UTF-32"),
    ],
)
@pytest.mark.parametrize("text", [FRENCH, RUSSIAN, JAPANESE], ids=["fr", "ru", "ja"])
def test_bom_payloads_decode_with_the_named_codec(encoding, mark, name, text):
    data = text.encode(encoding)
    if mark:
        assert data.startswith(mark)
    best = detect(data).best
    assert best is not None and best.bom and best.name == name
    assert data.decode(best.encoding) == text


@pytest.mark.parametrize("encoding", ["utf_16_be", "utf_16_le"])
def test_big_endian_bom_payloads(encoding):
    mark = "\ufeff".encode(encoding)
    data = mark + RUSSIAN.encode(encoding)
    best = detect(data).best
    assert best is not None and best.bom and data.decode(best.encoding) == RUSSIAN


@pytest.mark.parametrize("encoding", ["utf_16_le", "utf_16_be", "utf_32_le", "utf_32_be"])
@pytest.mark.parametrize("text", [FRENCH, RUSSIAN, GREEK], ids=["fr", "ru", "el"])
def test_wide_encodings_without_bom(encoding, text):
    data = text.encode(encoding)
    best = detect(data).best
    assert best is not None and not best.bom
    assert decodes_to(data, best, text)


@pytest.mark.parametrize(
    ("text", "encoding", "language"),
    [
        (FRENCH, "cp1252", "French"),
        (FRENCH, "mac_roman", "French"),
        (PASCAL, "cp1252", "French"),
        (PASCAL, "utf_8", "French"),
        (RUSSIAN, "cp1251", "Russian"),
        (RUSSIAN, "koi8_r", "Russian"),
        (RUSSIAN, "cp866", "Russian"),
        (GREEK, "cp1253", "Greek"),
        (GREEK, "iso8859_7", "Greek"),
        (JAPANESE, "shift_jis", "Japanese"),
        (JAPANESE, "euc_jp", "Japanese"),
        (JAPANESE, "iso2022_jp", "Japanese"),
    ],
    ids=lambda value: value if len(value) < 20 else value[:2],
)
def test_legacy_code_pages_and_their_language(text, encoding, language):
    data = text.encode(encoding)
    best = detect(data).best
    assert decodes_to(data, best, text)
    assert best is not None and best.languages and best.languages[0][0] == language


def test_languages_are_ranked_best_first():
    languages = detect(FRENCH.encode("utf-8")).best.languages
    scores = [score for _, score in languages]
    assert scores == sorted(scores, reverse=True) and all(0.0 <= score <= 1.0 for score in scores)


def test_standard_labels():
    from vexlora._detect_codecs import CODECS, label

    labels = {codec.encoding: codec.name for codec in CODECS}
    assert labels["cp1252"] == "windows-1252" and labels["shift_jis"] == "Shift_JIS"
    assert labels["iso8859_2"] == "ISO-8859-2" and labels["koi8_r"] == "KOI8-R"
    assert label("no_such_codec") == "no_such_codec"
    # Every candidate is a codec Python has, under the name given.
    import codecs

    for codec in CODECS:
        codecs.lookup(codec.encoding)


def test_import_stays_light():
    from support import check_python

    assert (
        check_python("""
import sys, vexlora
assert "vexlora.detector" not in sys.modules and "vexlora.murkel" not in sys.modules
assert callable(vexlora.detect) and "vexlora.detector" in sys.modules
try:
    vexlora.nope
except AttributeError as error:
    assert "nope" in str(error)
print("ok")
""").strip()
        == "ok"
    )
