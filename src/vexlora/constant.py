"""Constants shared by vexlora's pure-Python helpers and its native modules.

This module holds the character flag masks, the Unicode block family tables
used to judge whether two neighbouring blocks belong together, the sets of
common characters, and the language profiles re-exported from
``vexlora._language_data``.
"""

from __future__ import annotations

import logging
from typing import NamedTuple

from vexlora._language_data import COMMON_CJK_CHARACTERS, FREQUENCIES
from vexlora._unicode_blocks import BLOCK_NAMES

__all__ = [
    "COMMON_CJK_CHARACTERS",
    "COMMON_SAFE_ASCII_CHARACTERS",
    "CompatibleFamillyRange",
    "FREQUENCIES",
    "KO_NAMES",
    "LANGUAGE_SUPPORTED_COUNT",
    "TOO_SMALL_SEQUENCE",
    "TRACE",
    "ZH_NAMES",
]

# ---------------------------------------------------------------------------
# Logging
# ---------------------------------------------------------------------------

#: Level below DEBUG used for per-step diagnostics of the mess measurement.
TRACE = 5
logging.addLevelName(TRACE, "TRACE")

# ---------------------------------------------------------------------------
# Character flag masks (one bit each; all fit a signed 32-bit integer)
# ---------------------------------------------------------------------------

_LATIN = 1 << 0
_ACCENTUATED = 1 << 1
_CJK = 1 << 2
_HANGUL = 1 << 3
_HIRAGANA = 1 << 4
_KATAKANA = 1 << 5
_HALFWIDTH_KATAKANA = 1 << 6
_THAI = 1 << 7
_ARABIC = 1 << 8
_ARABIC_ISOLATED_FORM = 1 << 9
_LIGATURE = 1 << 10
_SUPERSCRIPT = 1 << 11
_SENTENCE_OPEN_PUNCTUATION = 1 << 12

# ---------------------------------------------------------------------------
# Sizes and encoding name groups
# ---------------------------------------------------------------------------

#: Layers of text shorter than this are too small to judge a language on.
TOO_SMALL_SEQUENCE = 32

LANGUAGE_SUPPORTED_COUNT = len(FREQUENCIES)

#: Multi-byte codecs (interpreter codec module names) that carry Korean.
KO_NAMES = frozenset({"johab", "cp949", "euc_kr"})

#: Multi-byte codecs that carry Chinese but whose name does not start with "gb".
ZH_NAMES = frozenset({"big5", "cp950", "big5hkscs", "hz"})

#: ASCII punctuation and symbols that ordinary prose, markup and code use all
#: the time: they are not counted as noise, and a change of Unicode block
#: across one of them is not judged.
COMMON_SAFE_ASCII_CHARACTERS = frozenset(
    {
        "<",
        ">",
        "=",
        ":",
        "/",
        "&",
        ";",
        "{",
        "}",
        "[",
        "]",
        ",",
        "|",
        '"',
        "-",
        "(",
        ")",
        "'",
        ".",
        "_",
        "+",
        "*",
        "#",
        "%",
        "@",
        "$",
    }
)

# ---------------------------------------------------------------------------
# Unicode block families
# ---------------------------------------------------------------------------
#
# Every block belongs to one family, a plain string.  Blocks of the same
# script (a base block and its supplements/extensions) share a family, so a
# change between them is never suspicious.  A handful of families made of
# punctuation, symbols, combining marks, modifier letters and special
# characters may stand next to any script.  A few distinct families are
# declared compatible pairwise because real text mixes them (Chinese
# ideographs with kana or Hangul, Greek with Coptic, ...).  Finally, some
# families may sit next to "Basic Latin" (ASCII letters and digits) without
# suspicion: scripts that are routinely written against Latin digits and words
# and that no single-byte code page produces by mistake from Latin text.
# Alphabets of single-byte code pages (Cyrillic, Greek, Hebrew, Arabic) are
# deliberately left out: Latin text decoded with such a code page shows up
# exactly as ASCII letters glued to letters of those scripts.

_FAMILY_MEMBERS: dict[str, tuple[str, ...]] = {
    "Latin": (
        "Basic Latin",
        "Latin-1 Supplement",
        "Latin Extended-A",
        "Latin Extended-B",
        "Latin Extended-C",
        "Latin Extended-D",
        "Latin Extended-E",
        "Latin Extended-F",
        "Latin Extended-G",
        "Latin Extended Additional",
        "IPA Extensions",
        "Phonetic Extensions",
        "Phonetic Extensions Supplement",
    ),
    "Greek": ("Greek and Coptic", "Greek Extended"),
    "Cyrillic": (
        "Cyrillic",
        "Cyrillic Supplement",
        "Cyrillic Extended-A",
        "Cyrillic Extended-B",
        "Cyrillic Extended-C",
        "Cyrillic Extended-D",
    ),
    "Arabic": (
        "Arabic",
        "Arabic Supplement",
        "Arabic Extended-A",
        "Arabic Extended-B",
        "Arabic Extended-C",
        "Arabic Presentation Forms-A",
        "Arabic Presentation Forms-B",
    ),
    "Syriac": ("Syriac", "Syriac Supplement"),
    "Devanagari": (
        "Devanagari",
        "Devanagari Extended",
        "Devanagari Extended-A",
        "Vedic Extensions",
    ),
    "Tamil": ("Tamil", "Tamil Supplement"),
    "Sinhala": ("Sinhala", "Sinhala Archaic Numbers"),
    "Myanmar": ("Myanmar", "Myanmar Extended-A", "Myanmar Extended-B"),
    "Khmer": ("Khmer", "Khmer Symbols"),
    "Georgian": ("Georgian", "Georgian Supplement", "Georgian Extended"),
    "Ethiopic": (
        "Ethiopic",
        "Ethiopic Supplement",
        "Ethiopic Extended",
        "Ethiopic Extended-A",
        "Ethiopic Extended-B",
    ),
    "Cherokee": ("Cherokee", "Cherokee Supplement"),
    "Canadian Aboriginal": (
        "Unified Canadian Aboriginal Syllabics",
        "Unified Canadian Aboriginal Syllabics Extended",
        "Unified Canadian Aboriginal Syllabics Extended-A",
    ),
    "Mongolian": ("Mongolian", "Mongolian Supplement"),
    "Sundanese": ("Sundanese", "Sundanese Supplement"),
    "Meetei Mayek": ("Meetei Mayek", "Meetei Mayek Extensions"),
    "Glagolitic": ("Glagolitic", "Glagolitic Supplement"),
    "Bamum": ("Bamum", "Bamum Supplement"),
    "Lisu": ("Lisu", "Lisu Supplement"),
    "Yi": ("Yi Syllables", "Yi Radicals"),
    "Linear B": ("Linear B Syllabary", "Linear B Ideograms"),
    "Cuneiform": (
        "Cuneiform",
        "Cuneiform Numbers and Punctuation",
        "Early Dynastic Cuneiform",
    ),
    "Egyptian Hieroglyphs": (
        "Egyptian Hieroglyphs",
        "Egyptian Hieroglyph Format Controls",
    ),
    "Tangut": ("Tangut", "Tangut Components", "Tangut Supplement"),
    "Korean": (
        "Hangul Jamo",
        "Hangul Compatibility Jamo",
        "Hangul Jamo Extended-A",
        "Hangul Jamo Extended-B",
        "Hangul Syllables",
    ),
    "Japanese": (
        "Hiragana",
        "Katakana",
        "Katakana Phonetic Extensions",
        "Kana Supplement",
        "Kana Extended-A",
        "Kana Extended-B",
        "Small Kana Extension",
    ),
    "Bopomofo": ("Bopomofo", "Bopomofo Extended"),
    # Ideographs with everything East Asian typography puts around them:
    # radicals, strokes, ideographic punctuation, squared and enclosed forms,
    # vertical and small forms, and the halfwidth/fullwidth forms.
    "CJK": (
        "CJK Unified Ideographs",
        "CJK Unified Ideographs Extension A",
        "CJK Unified Ideographs Extension B",
        "CJK Unified Ideographs Extension C",
        "CJK Unified Ideographs Extension D",
        "CJK Unified Ideographs Extension E",
        "CJK Unified Ideographs Extension F",
        "CJK Unified Ideographs Extension G",
        "CJK Unified Ideographs Extension H",
        "CJK Unified Ideographs Extension I",  # Unicode 15.1: in the table from CPython 3.13 on
        "CJK Compatibility Ideographs",
        "CJK Compatibility Ideographs Supplement",
        "CJK Radicals Supplement",
        "Kangxi Radicals",
        "Ideographic Description Characters",
        "CJK Symbols and Punctuation",
        "Kanbun",
        "CJK Strokes",
        "Enclosed CJK Letters and Months",
        "CJK Compatibility",
        "CJK Compatibility Forms",
        "Vertical Forms",
        "Small Form Variants",
        "Halfwidth and Fullwidth Forms",
        "Ideographic Symbols and Punctuation",
    ),
    # Latin (ff, fi, st...), Armenian and Hebrew presentation forms share one
    # block; the family is paired with each of the three scripts below.
    "Alphabetic Presentation Forms": ("Alphabetic Presentation Forms",),
    "Punctuation": ("General Punctuation", "Supplemental Punctuation"),
    "Symbols": (
        "Superscripts and Subscripts",
        "Currency Symbols",
        "Letterlike Symbols",
        "Number Forms",
        "Arrows",
        "Mathematical Operators",
        "Miscellaneous Technical",
        "Control Pictures",
        "Optical Character Recognition",
        "Enclosed Alphanumerics",
        "Box Drawing",
        "Block Elements",
        "Geometric Shapes",
        "Miscellaneous Symbols",
        "Dingbats",
        "Miscellaneous Mathematical Symbols-A",
        "Supplemental Arrows-A",
        "Braille Patterns",
        "Supplemental Arrows-B",
        "Miscellaneous Mathematical Symbols-B",
        "Supplemental Mathematical Operators",
        "Miscellaneous Symbols and Arrows",
        "Yijing Hexagram Symbols",
        "Common Indic Number Forms",
        "Aegean Numbers",
        "Ancient Greek Numbers",
        "Ancient Symbols",
        "Coptic Epact Numbers",
        "Rumi Numeral Symbols",
        "Znamenny Musical Notation",
        "Byzantine Musical Symbols",
        "Musical Symbols",
        "Ancient Greek Musical Notation",
        "Kaktovik Numerals",
        "Mayan Numerals",
        "Tai Xuan Jing Symbols",
        "Counting Rod Numerals",
        "Mathematical Alphanumeric Symbols",
        "Indic Siyaq Numbers",
        "Ottoman Siyaq Numbers",
        "Arabic Mathematical Alphabetic Symbols",
        "Mahjong Tiles",
        "Domino Tiles",
        "Playing Cards",
        "Enclosed Alphanumeric Supplement",
        "Enclosed Ideographic Supplement",
        "Miscellaneous Symbols and Pictographs",
        "Emoticons",
        "Ornamental Dingbats",
        "Transport and Map Symbols",
        "Alchemical Symbols",
        "Geometric Shapes Extended",
        "Supplemental Arrows-C",
        "Supplemental Symbols and Pictographs",
        "Chess Symbols",
        "Symbols and Pictographs Extended-A",
        "Symbols for Legacy Computing",
    ),
    "Combining Marks": (
        "Combining Diacritical Marks",
        "Combining Diacritical Marks Extended",
        "Combining Diacritical Marks Supplement",
        "Combining Diacritical Marks for Symbols",
        "Combining Half Marks",
        "Variation Selectors",
        "Variation Selectors Supplement",
    ),
    "Modifier Letters": ("Spacing Modifier Letters", "Modifier Tone Letters"),
    "Specials": ("Specials", "Tags", "Shorthand Format Controls"),
    "Private Use": (
        "Private Use Area",
        "Supplementary Private Use Area-A",
        "Supplementary Private Use Area-B",
    ),
    "Surrogates": ("High Surrogates", "High Private Use Surrogates", "Low Surrogates"),
}

_BLOCK_TO_FAMILY = {block: family for family, blocks in _FAMILY_MEMBERS.items() for block in blocks}

#: Unicode block name -> family name. Blocks not grouped above form a family
#: of their own, named after the block.
_RANGE_FAMILIES: dict[str, str | None] = {name: _BLOCK_TO_FAMILY.get(name, name) for name in BLOCK_NAMES}

#: Families whose characters may stand next to any script.
_COMPATIBLE_WITH_ANY_RANGE_FAMILIES = frozenset(
    {"Punctuation", "Symbols", "Combining Marks", "Modifier Letters", "Specials"}
)


class CompatibleFamillyRange(NamedTuple):
    """An ordered pair of block families (family before, family after)."""

    first: str | None
    second: str | None


_COMPATIBLE_FAMILY_PAIRS = (
    ("CJK", "Japanese"),
    ("CJK", "Korean"),
    ("CJK", "Bopomofo"),
    ("Greek", "Coptic"),
    ("Latin", "Alphabetic Presentation Forms"),
    ("Armenian", "Alphabetic Presentation Forms"),
    ("Hebrew", "Alphabetic Presentation Forms"),
)

#: Pairs of distinct families that real text mixes, in both orders.
_COMPATIBLE_RANGE_FAMILIES = frozenset(
    CompatibleFamillyRange(*pair) for a, b in _COMPATIBLE_FAMILY_PAIRS for pair in ((a, b), (b, a))
)

#: Families that may directly follow or precede "Basic Latin".
_BASIC_LATIN_COMPATIBLE_RANGE_FAMILIES = frozenset(
    {
        "Latin",
        "Alphabetic Presentation Forms",
        # East Asian text embeds ASCII words and digits without spaces.
        "CJK",
        "Japanese",
        "Korean",
        "Bopomofo",
        # Thai is left out on purpose: cp874 maps the accented letters of
        # Western code pages to Thai vowel and tone marks, which glue
        # invisibly into Latin words; a Latin/Thai change must stay
        # suspicious for such decodings to look messy.
        # Indic scripts: digits and suffixes are commonly glued together
        # ("2020ஆம்"), and no single-byte code page yields these scripts.
        "Devanagari",
        "Bengali",
        "Gurmukhi",
        "Gujarati",
        "Oriya",
        "Tamil",
        "Telugu",
        "Kannada",
        "Malayalam",
        "Sinhala",
    }
)

del _BLOCK_TO_FAMILY
