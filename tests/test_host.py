"""Tests of the pure-Python host modules vexlora.constant and vexlora.utils."""

from __future__ import annotations

import importlib
import logging
import unicodedata

import pytest

from vexlora import _unicode_blocks as blocks, constant as C, utils as U

FLAG_NAMES = (
    "_LATIN",
    "_ACCENTUATED",
    "_CJK",
    "_HANGUL",
    "_HIRAGANA",
    "_KATAKANA",
    "_HALFWIDTH_KATAKANA",
    "_THAI",
    "_ARABIC",
    "_ARABIC_ISOLATED_FORM",
    "_LIGATURE",
    "_SUPERSCRIPT",
    "_SENTENCE_OPEN_PUNCTUATION",
)


def flag_names(character: str) -> set[str]:
    flags = U._character_flags(character)
    return {name for name in FLAG_NAMES if flags & getattr(C, name)}


def is_suspicious(a, b) -> bool:
    """The rule order the mess detector applies to two neighbouring blocks."""
    if a is None or b is None:
        return True
    family_a, family_b = C._RANGE_FAMILIES[a], C._RANGE_FAMILIES[b]
    if family_a == family_b:
        return False
    if family_a in C._COMPATIBLE_WITH_ANY_RANGE_FAMILIES:
        return False
    if family_b in C._COMPATIBLE_WITH_ANY_RANGE_FAMILIES:
        return False
    if C.CompatibleFamillyRange(family_a, family_b) in C._COMPATIBLE_RANGE_FAMILIES:
        return False
    if a == "Basic Latin":
        return family_b not in C._BASIC_LATIN_COMPATIBLE_RANGE_FAMILIES
    if b == "Basic Latin":
        return family_a not in C._BASIC_LATIN_COMPATIBLE_RANGE_FAMILIES
    return True


# --- block table -------------------------------------------------------------


def test_block_table_matches_interpreter_and_is_well_formed():
    assert blocks.UNICODE_VERSION == unicodedata.unidata_version
    starts, ends, names = blocks.BLOCK_STARTS, blocks.BLOCK_ENDS, blocks.BLOCK_NAMES
    assert len(starts) == len(ends) == len(names)
    assert len(set(names)) == len(names)
    for i, (start, end) in enumerate(zip(starts, ends)):
        assert start % 16 == 0 and end % 16 == 15 and start < end
        if i:
            assert ends[i - 1] < start


@pytest.mark.parametrize(
    "code_point, expected",
    [
        (0x0000, "Basic Latin"),
        (0x007F, "Basic Latin"),
        (0x0080, "Latin-1 Supplement"),
        (0x00FF, "Latin-1 Supplement"),
        (0x4E00, "CJK Unified Ideographs"),
        (0x9FFF, "CJK Unified Ideographs"),
        (0xD800, "High Surrogates"),
        (0xDFFF, "Low Surrogates"),
        (0x1F600, "Emoticons"),
        (0x10FFFF, "Supplementary Private Use Area-B"),
        (0x2FE0, None),  # between Kangxi Radicals and Ideographic Description Characters
        (0xE0080, None),  # between Tags and Variation Selectors Supplement
        (0x50000, None),  # unallocated plane 5
    ],
)
def test_unicode_range(code_point, expected):
    assert U.unicode_range(chr(code_point)) == expected


def test_every_assigned_character_has_a_block():
    missing = [
        hex(cp) for cp in range(0x110000) if unicodedata.category(chr(cp)) != "Cn" and U.unicode_range(chr(cp)) is None
    ]
    assert missing == []


# --- flags -------------------------------------------------------------------


def test_flag_masks_are_distinct_bits_fitting_int32():
    values = [getattr(C, name) for name in FLAG_NAMES]
    assert all(v > 0 and v & (v - 1) == 0 and v < 2**31 for v in values)
    assert len(set(values)) == len(values)


@pytest.mark.parametrize(
    "character, expected",
    [
        ("A", {"_LATIN"}),
        ("é", {"_LATIN", "_ACCENTUATED"}),
        ("ø", {"_LATIN", "_ACCENTUATED"}),
        ("中", {"_CJK"}),
        ("々", {"_CJK"}),
        ("가", {"_HANGUL"}),
        ("が", {"_HIRAGANA"}),  # the voicing mark is not an accent
        ("ア", {"_KATAKANA"}),
        ("ｱ", {"_KATAKANA", "_HALFWIDTH_KATAKANA"}),
        ("ก", {"_THAI"}),
        ("\ufe8d", {"_ARABIC", "_ARABIC_ISOLATED_FORM"}),  # alef isolated form
        ("\ufefb", {"_ARABIC", "_ARABIC_ISOLATED_FORM", "_LIGATURE"}),  # lam-alef isolated
        ("\ufefc", {"_ARABIC", "_LIGATURE"}),  # lam-alef final form
        ("ﬁ", {"_LATIN", "_LIGATURE"}),
        ("²", {"_SUPERSCRIPT"}),
        ("\u0670", {"_ARABIC"}),  # superscript alef is a vowel sign, not a superscript
        ("¿", {"_SENTENCE_OPEN_PUNCTUATION"}),
        ("й", {"_ACCENTUATED"}),
        ("ά", {"_ACCENTUATED"}),
        ("Ⓐ", set()),  # a symbol, not a Latin letter
    ],
)
def test_character_flags(character, expected):
    assert flag_names(character) == expected


@pytest.mark.parametrize("code_point", [0x00, 0x85, 0xD800, 0xE000, 0x0378, 0x10FFFF])
def test_character_flags_of_unnamed_code_points(code_point):
    assert U._character_flags(chr(code_point)) == 0


# --- classes and accents -----------------------------------------------------


@pytest.mark.parametrize(
    "character, punct, sym, sep, emoticon",
    [
        (",", True, False, False, False),
        ("¿", True, False, False, False),
        ("+", False, True, True, False),
        ("€", False, True, False, False),
        ("½", False, True, False, False),
        ("a", False, False, False, False),
        (" ", False, False, True, False),
        ("\u3000", False, False, True, False),
        ("｜", False, True, True, False),
        ("😀", False, True, False, True),
        ("❤", False, True, False, True),
    ],
)
def test_character_classes(character, punct, sym, sep, emoticon):
    assert bool(U.is_punctuation(character)) is punct
    assert bool(U.is_symbol(character)) is sym
    assert bool(U.is_separator(character)) is sep
    assert bool(U.is_emoticon(character)) is emoticon


@pytest.mark.parametrize(
    "character, expected",
    [("é", "e"), ("Ç", "C"), ("ǘ", "u"), ("ø", "o"), ("ł", "l"), ("ǿ", "o"), ("a", "a"), ("æ", "æ")],
)
def test_remove_accent(character, expected):
    assert U.remove_accent(character) == expected


def test_accented_latin_letters_lose_their_accent():
    # Over the blocks real Latin text uses, an accentuated letter always has a
    # different, unaccented base; other letters are returned unchanged.
    for name in ("Latin-1 Supplement", "Latin Extended-A", "Latin Extended-B", "Latin Extended Additional"):
        i = blocks.BLOCK_NAMES.index(name)
        for cp in range(blocks.BLOCK_STARTS[i], blocks.BLOCK_ENDS[i] + 1):
            c = chr(cp)
            if not c.isalpha() or "_LATIN" not in flag_names(c):
                continue
            base = U.remove_accent(c)
            if "_ACCENTUATED" in flag_names(c):
                assert base != c and "_ACCENTUATED" not in flag_names(base), c
            else:
                assert base == c, c


# --- encodings and secondary blocks -------------------------------------------


@pytest.mark.parametrize(
    "name, expected",
    [
        ("utf_8", True),
        ("UTF-8", True),
        ("cp932", True),
        ("iso2022_jp_ext", True),
        ("gb18030", True),
        ("hz", True),
        ("johab", True),
        ("cp1361", True),  # alias of johab
        ("cp1252", False),
        ("latin_1", False),
        ("no_such_codec", False),
        (None, False),
    ],
)
def test_is_multi_byte_encoding(name, expected):
    assert U.is_multi_byte_encoding(name) is expected


def test_multi_byte_codec_names_exist():
    for name in U._MULTI_BYTE_CODECS | C.KO_NAMES | C.ZH_NAMES:
        importlib.import_module("encodings." + name)


@pytest.mark.parametrize(
    "block, expected",
    [
        ("Basic Latin", False),
        ("Latin-1 Supplement", False),
        ("Cyrillic", False),
        ("Latin Extended-A", True),
        ("Cyrillic Supplement", True),
        ("General Punctuation", True),
        ("Box Drawing", True),
        ("Arabic Presentation Forms-B", True),
        ("Combining Diacritical Marks", True),
        ("Private Use Area", True),
    ],
)
def test_is_unicode_range_secondary(block, expected):
    assert U.is_unicode_range_secondary(block) is expected


def _main_ranges(codec: str) -> list[str]:
    """Blocks holding at least 15 % of a code page's non-secondary characters."""
    decoder = importlib.import_module("encodings." + codec).IncrementalDecoder(errors="ignore")
    seen: dict[str, int] = {}
    for byte in range(0x40, 0xFF):
        chunk = decoder.decode(bytes([byte]))
        block = U.unicode_range(chunk) if chunk else None
        if block is not None and not U.is_unicode_range_secondary(block):
            seen[block] = seen.get(block, 0) + 1
    total = sum(seen.values())
    return sorted(block for block, count in seen.items() if count / total >= 0.15)


@pytest.mark.parametrize(
    "codec, expected",
    [
        ("cp1252", ["Basic Latin", "Latin-1 Supplement"]),
        ("cp1251", ["Basic Latin", "Cyrillic"]),
        ("koi8_r", ["Basic Latin", "Cyrillic"]),  # its box drawing must not count
        ("cp866", ["Basic Latin", "Cyrillic"]),
        ("cp1253", ["Basic Latin", "Greek and Coptic"]),
        ("cp874", ["Basic Latin", "Thai"]),
        ("cp437", ["Basic Latin", "Latin-1 Supplement"]),
    ],
)
def test_code_pages_resolve_to_their_script(codec, expected):
    assert _main_ranges(codec) == expected


# --- block families ------------------------------------------------------------


def test_every_block_has_a_string_family():
    assert set(C._RANGE_FAMILIES) == set(blocks.BLOCK_NAMES)
    assert all(isinstance(family, str) for family in C._RANGE_FAMILIES.values())


def test_family_tables_name_real_blocks_and_families():
    grouped = {block for members in C._FAMILY_MEMBERS.values() for block in members}
    assert grouped <= set(blocks.BLOCK_NAMES) | {name for *_, name in blocks.LATER_BLOCKS}
    families = set(C._RANGE_FAMILIES.values())
    assert C._COMPATIBLE_WITH_ANY_RANGE_FAMILIES <= families
    assert C._BASIC_LATIN_COMPATIBLE_RANGE_FAMILIES <= families
    for pair in C._COMPATIBLE_RANGE_FAMILIES:
        assert set(pair) <= families
        assert C.CompatibleFamillyRange(pair[1], pair[0]) in C._COMPATIBLE_RANGE_FAMILIES


@pytest.mark.parametrize(
    "a, b, expected",
    [
        ("Basic Latin", "Latin-1 Supplement", False),
        ("Cyrillic", "Greek and Coptic", True),
        ("Cyrillic", "Cyrillic Supplement", False),
        ("Basic Latin", "Cyrillic", True),  # Latin text read with a Cyrillic code page
        ("Greek and Coptic", "Basic Latin", True),
        ("Latin-1 Supplement", "Cyrillic", True),
        ("CJK Unified Ideographs", "Hiragana", False),
        ("Katakana", "CJK Unified Ideographs", False),
        ("Hangul Syllables", "CJK Unified Ideographs", False),
        ("Hangul Syllables", "Hiragana", True),
        ("Basic Latin", "Halfwidth and Fullwidth Forms", False),
        ("Basic Latin", "Thai", True),  # Western text read as cp874
        ("Arabic", "Arabic Presentation Forms-B", False),
        ("Hebrew", "Alphabetic Presentation Forms", False),
        ("Arabic", "Hebrew", True),
        ("Cyrillic", "General Punctuation", False),
        ("Basic Latin", "Private Use Area", True),
        (None, "Basic Latin", True),
    ],
)
def test_successive_block_pairs(a, b, expected):
    assert is_suspicious(a, b) is expected
    assert is_suspicious(b, a) is expected


@pytest.mark.parametrize(
    "text",
    [
        "Le café était très bon, mais l'addition coûtait trop cher.",
        "東京は日本の首都です。ＰＣを使う。",
        "한국어 텍스트와 韓國語 입니다.",
        "Tiếng Việt là ngôn ngữ chính thức của Việt Nam.",
        "I love it 😀👍🏽 so much ★★★",
    ],
)
def test_real_text_has_no_suspicious_neighbours(text):
    previous = None
    for character in text:
        if character.isspace() or U.is_punctuation(character) or character in C.COMMON_SAFE_ASCII_CHARACTERS:
            previous = None
            continue
        block = U.unicode_range(character)
        if previous is not None and previous != block:
            assert not is_suspicious(previous, block), (previous, block, character)
        previous = block


# --- constants -------------------------------------------------------------------


def test_constants():
    assert C.TRACE == 5
    assert logging.getLevelName(C.TRACE) == "TRACE"
    assert C.TOO_SMALL_SEQUENCE == 32
    assert C.LANGUAGE_SUPPORTED_COUNT == len(C.FREQUENCIES) == 41
    assert all(len(c) == 1 and ord(c) < 128 for c in C.COMMON_SAFE_ASCII_CHARACTERS)
    assert not any(c.isalnum() or c.isspace() for c in C.COMMON_SAFE_ASCII_CHARACTERS)


def test_language_profiles_have_the_required_shape():
    for language, profile in C.FREQUENCIES.items():
        assert isinstance(language, str)
        assert 0 < len(profile) <= 255, language
        assert len(set(profile)) == len(profile), language
        assert all(len(c) == 1 and ord(c) <= 0xFFFF for c in profile), language
    assert all(len(c) == 1 for c in C.COMMON_CJK_CHARACTERS)
