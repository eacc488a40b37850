"""The detector's byte-level shortcuts agree with the character-level signals and with the codecs themselves."""

from __future__ import annotations

import math
import random
import re

import pytest

from vexlora._detect_codecs import SINGLE_BYTE, Codec
from vexlora._detect_language import (
    _LETTER_PACKED,
    _fault_patterns,
    _packed_sum,
    ascii_letter_count,
    byte_views,
    codec_fit,
    context_faults,
    non_ascii,
    non_ascii_counts,
    shared_words,
    text_fit,
    word_hits,
    words_of,
)
from vexlora._detect_rank import (
    _ASCII,
    _CJK,
    _cjk_readings,
    _distinct,
    _group_pages,
    _read,
    _single_byte_readings,
    _table,
)

TEXTS = (
    "L'été dernier, nous sommes allés à la fête ; « Où est le cœur ? » dit-il à 7 h 30.",
    "Größe und Maß: ÄRGER über die Straße, Öl für 3 € - sagte Jürgen.",
    'Вчера вечером мы гуляли по набережной, а потом зашли в КАФЕ "Уют".',
    "ΟΔΟΣ ΑΘΗΝΑΣ: το καλοκαίρι πήγαμε στο νησί; ΚΑΛΗΣΠΕΡΑ ΣΑΣ, είπε ο κύριος.",
    "İSTANBUL'da ılık bir gün; Iğdır ve Şırnak'tan gelen ÇOCUKLAR güldü.",
    "Zażółć gęślą jaźń — PÓŁNOC, ŹRÓDŁO i łódź.",
    "Příliš žluťoučký kůň úpěl ďábelské ódy; ŘEKA a ŽÁBA.",
    "שלום עולם, זה טקסט בעברית. مرحبا بالعالم، هذا نص عربي.",
    "ภาษาไทยเป็นภาษาที่สวยงาม 123",
)


def carried(text: str, encoding: str) -> bytes | None:
    try:
        return text.encode(encoding)
    except UnicodeEncodeError:
        return None


def payloads(encoding: str) -> list[bytes]:
    """Every byte the code page defines in one run, then each test text the page can carry."""
    found = [bytes(range(256)).translate(None, _codec(encoding).undefined)]
    found += [data for data in (carried(text, encoding) for text in TEXTS) if data is not None]
    return found


def _codec(encoding: str) -> Codec:
    return next(codec for codec in SINGLE_BYTE if codec.encoding == encoding)


PAGES = [codec.encoding for codec in SINGLE_BYTE]


@pytest.mark.parametrize("encoding", PAGES)
def test_byte_views_give_the_characters_signals(encoding):
    table = _table(encoding)
    views = byte_views(table)
    assert views is not None
    for data in payloads(encoding):
        text = data.decode(encoding)
        assert _read(data, table) == text
        # The class string may differ on characters of no class; the faults may not.
        assert context_faults(text, 7, views.class_string(data)) == context_faults(text, 7)
        words = views.words(data)
        assert words is None or words == words_of(text)
        # The words shared by all pages with ASCII in place, completed per page: the same words, in
        # another order, and their hits.
        shared = views.shared_words(shared_words(data)) if views.ascii_in_place else None
        if shared is not None:
            assert sorted(shared[0]) == sorted(words_of(text)) and shared[1] == word_hits(words_of(text))
        if views.high_apart:
            assert len(data.translate(None, bytes(range(128)))) == len(text) - len(text.encode("ascii", "ignore"))


@pytest.mark.parametrize(
    "text",
    [
        *TEXTS,
        "Один два три " * 40,
        "".join(chr(code) for code in range(0x4E00, 0x4F00)) + "日本語のテキスト" * 30,
        "é" * 70 + "ñ" + "ü" * 90,
    ],
)
def test_fit_and_letters_of_a_text_string_equal_those_of_its_counted_characters(text):
    encodings = ["cp1251", "gb18030", "cp1252"]
    assert text_fit(non_ascii(text), encodings, ascii_letter_count(text)) == codec_fit(
        non_ascii_counts(text), encodings, ascii_letter_count(text)
    )
    letters = non_ascii(text)
    assert _packed_sum(letters, _LETTER_PACKED) == sum(_LETTER_PACKED[letter] for letter in letters)


@pytest.mark.parametrize(
    "text",
    [
        "中文字符，测试 abc 日本語のテキスト、カタカナ。한국어 텍스트 Ελληνικά ΣΑΣ Русский",
        "x\u3000y\uff0cz \u30ff\u3100 \u9fff\ua000 \ud7af\ud7b0 \u2bff\u2c00 \U0001f600é\u00e9Ω",
        "ab·c’d – «е» \u05d0\u05d1 \u0627\u0644 \u0e01\u0e02 ς word",
    ],
)
def test_context_classes_of_any_character_give_the_faults_of_their_classes(text):
    # Characters above the class table read as letters of no class or as no letter.
    table = _fault_patterns()[0]
    for start in range(len(text)):
        part = text[start:] + text[:start]
        classes = part.translate(table)
        assert context_faults(part, 5) == context_faults(part, 5, classes, frozenset(classes))


@pytest.mark.parametrize(
    "text",
    [
        *TEXTS,
        "snake_case x2 ²³ ½ Ⅻ İstanbul ΣΟΦΊΑ don't e\u0301te\u0301 日本語 (text) a-b",
        "\u00a0non\u2009breaking\u3000space\x85next\u200bjoin",
    ],
)
def test_words_of_a_text_are_the_runs_of_letters(text):
    assert words_of(text) == re.findall(r"[^\W\d_]+", text.lower())


@pytest.mark.parametrize(
    "data", [b"", b"\x00", bytes(range(256)) * 2, b"abcabc\xff\x80\xff", TEXTS[2].encode("cp1251")]
)
def test_distinct_bytes_are_the_sorted_set(data):
    assert _distinct(data) == bytes(sorted(set(data)))


@pytest.mark.parametrize(
    ("text", "encoding"),
    [(TEXTS[0], "cp1252"), (TEXTS[1], "iso8859_15"), (TEXTS[2], "cp1251"), (TEXTS[2], "koi8_r"), (TEXTS[5], "cp1250")],
)
def test_byte_words_take_the_fast_path_for_ordinary_text(text, encoding):
    assert byte_views(_table(encoding)).words(text.encode(encoding)) == words_of(text)


@pytest.mark.parametrize(
    ("text", "encoding"),
    [(TEXTS[3], "cp1253"), (TEXTS[3], "iso8859_7"), (TEXTS[4], "cp1254"), (TEXTS[4], "iso8859_9")],
)
def test_capitals_that_lower_by_context_fall_back_to_the_characters(text, encoding):
    # A capital sigma lowers to a final or a medial sigma, a dotted capital I
    # to two characters: the byte tables cannot say which.
    data = text.encode(encoding)
    assert byte_views(_table(encoding)).words(data) is None
    assert words_of(text)


@pytest.mark.parametrize("encoding", PAGES)
def test_letter_fit_from_bytes_equals_the_fit_of_the_decoding(encoding):
    for data in payloads(encoding)[1:]:
        high = data.translate(None, _ASCII)
        if not high:
            continue
        for reading in _single_byte_readings(data, high, None):
            if not reading.fit_codecs or any(
                character.isascii() for character in _table(reading.codecs[0].encoding)[128:]
            ):
                # A page that reads ASCII bytes otherwise is fitted from its
                # text later; one that reads high bytes as ASCII punctuation
                # (mac_arabic) counts those as symbols, which its text cannot show.
                continue
            text = reading.text
            expected = codec_fit(
                non_ascii_counts(text), [codec.encoding for codec in reading.codecs], ascii_letter_count(text)
            )
            assert (reading.fit, reading.high_fit) == expected, reading.codecs[0].encoding


@pytest.mark.parametrize("encoding", PAGES)
def test_single_byte_readings_give_the_text_of_each_of_their_codecs(encoding):
    # Their texts are decoded when first asked, with one page's table for all.
    for data in payloads(encoding):
        high = data.translate(None, _ASCII)
        if high:
            for reading in _single_byte_readings(data, high, None):
                for codec in reading.codecs:
                    assert reading.text == data.decode(codec.encoding), (codec.encoding, data)


@pytest.mark.parametrize("encoding", PAGES)
def test_fit_bounds_count_the_high_bytes_the_deletions_leave(encoding):
    for data in payloads(encoding):
        high = data.translate(None, _ASCII)
        if not high:
            continue
        present = _distinct(high)
        counts = [high.count(byte) for byte in present]
        groups, _, views, selectors, _ = _group_pages(present, None)
        for group, view in zip(groups, views):
            counted, fits = selectors[view]
            neutral, unfit = group[3], group[4]
            assert math.sumprod(counted, counts) == len(high.translate(None, neutral)), group[1]
            assert math.sumprod(fits, counts) == len(high.translate(None, unfit)), group[1]


# The multi-byte codecs without shift states, whose failing decodes a lone high byte rules out.
STATELESS_CJK = [
    codec.encoding for codec in _CJK if not codec.encoding.startswith("iso2022") and codec.encoding != "hz"
]


def _decodes(data: bytes, encoding: str) -> bool:
    try:
        data.decode(encoding)
    except UnicodeDecodeError:
        return False
    return True


@pytest.mark.parametrize("encoding", STATELESS_CJK)
def test_multi_byte_characters_never_hold_a_low_byte_nor_start_with_ascii(encoding):
    # What the lone-high-byte shortcut relies on: a byte below 0x30 never
    # continues a character, and an ASCII byte is always a character alone.
    for high in range(0x80, 0x100):
        alone = _decodes(bytes((high,)), encoding)
        assert all(_decodes(bytes((high, low)), encoding) == alone for low in range(0x30)), high
    for first in range(0x80):
        assert all(
            _decodes(bytes((first, second)), encoding) == _decodes(bytes((second,)), encoding)
            for second in range(0x100)
        ), first


@pytest.mark.parametrize("seed", range(4))
def test_lone_high_bytes_never_rule_out_a_codec_that_decodes(seed):
    # Random mixes of ASCII, low bytes and high bytes, plus real multi-byte
    # text: the shortcut keeps exactly the readings a decode attempt gives.
    rng = random.Random(seed)
    pieces = [b" ", b",", b"\n", b"ab", b"0", b"1", b"\xe9", b"\xa4", b"\x8e", b"\xff", b"\x81\x30\x81\x30"]
    pieces += [
        "日本語のテキスト、漢字".encode("euc_jp"),
        "中文文本，汉字".encode("gbk"),
        "한국어 텍스트".encode("cp949"),
    ]
    pieces += ["中文文本".encode("big5"), "ｶﾀｶﾅ".encode("shift_jis")]
    everything = lambda codec: True  # noqa: E731
    for _ in range(300):
        sample = b"".join(rng.choice(pieces) for _ in range(rng.randint(1, 8)))
        expected = [
            codec.encoding for codec in _CJK if codec.encoding in STATELESS_CJK and _decodes(sample, codec.encoding)
        ]
        found = [reading.codecs[0].encoding for reading in _cjk_readings(sample, everything)]
        assert [encoding for encoding in found if encoding in STATELESS_CJK] == expected, sample
