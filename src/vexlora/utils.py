"""Character classification helpers used by vexlora's native modules.

Each per-character helper takes a one-character ``str``.  The native mess
detector calls several of them once for every distinct code point it meets,
so they are kept to a few dictionary and ``unicodedata`` look-ups, and the
costlier ones are memoized.
"""

from __future__ import annotations

import unicodedata
from bisect import bisect_right
from encodings import normalize_encoding
from encodings.aliases import aliases as _CODEC_ALIASES
from functools import cache, lru_cache

from vexlora._unicode_blocks import BLOCK_ENDS, BLOCK_NAMES, BLOCK_STARTS
from vexlora.constant import (
    _ACCENTUATED,
    _ARABIC,
    _ARABIC_ISOLATED_FORM,
    _CJK,
    _HALFWIDTH_KATAKANA,
    _HANGUL,
    _HIRAGANA,
    _KATAKANA,
    _LATIN,
    _LIGATURE,
    _RANGE_FAMILIES,
    _SENTENCE_OPEN_PUNCTUATION,
    _SUPERSCRIPT,
    _THAI,
)

__all__ = [
    "_character_flags",
    "is_emoticon",
    "is_multi_byte_encoding",
    "is_punctuation",
    "is_separator",
    "is_symbol",
    "is_unicode_range_secondary",
    "remove_accent",
    "unicode_range",
]

# Memo sizes: comfortably above the number of distinct characters of a
# decoded text, bounded so that a walk over all of Unicode stays small.
_CHAR_CACHE_SIZE = 8192

# ---------------------------------------------------------------------------
# Unicode blocks
# ---------------------------------------------------------------------------


def unicode_range(character: str) -> str | None:
    """Return the name of the Unicode block holding ``character``, or None."""
    code_point = ord(character)
    index = bisect_right(BLOCK_STARTS, code_point) - 1
    if index >= 0 and code_point <= BLOCK_ENDS[index]:
        return BLOCK_NAMES[index]
    return None


# ---------------------------------------------------------------------------
# Character flags
# ---------------------------------------------------------------------------

# Words that, after " WITH " in a Latin, Greek or Cyrillic letter's name,
# denote a diacritic (e.g. "LATIN SMALL LETTER O WITH STROKE"); such a name
# marks an accent only when the letter without the suffix exists, which is
# then its base. Hooks, tails, descenders and the like are left out: they
# make distinct letters rather than accented ones.
_DIACRITIC_WORDS = frozenset(
    {
        "ACUTE",
        "GRAVE",
        "DIAERESIS",
        "CIRCUMFLEX",
        "TILDE",
        "CEDILLA",
        "RING",
        "CARON",
        "MACRON",
        "OGONEK",
        "DOT",
        "STROKE",
        "BREVE",
        "HORN",
        "TONOS",
        "DIALYTIKA",
    }
)
_NAMED_ACCENT_SCRIPTS = ("LATIN ", "GREEK ", "CYRILLIC ")

# Combining Diacritical Marks and its extensions: a letter that decomposes
# into a base plus marks from these ranges carries an accent. Marks of other
# scripts (kana voicing marks, Indic nukta, Arabic hamza, Hebrew points) form
# letters of their own and are not treated as accents.
_DIACRITIC_MARK_RANGES = (
    (0x0300, 0x036F),
    (0x1AB0, 0x1AFF),
    (0x1DC0, 0x1DFF),
    (0x20D0, 0x20FF),
    (0xFE20, 0xFE2F),
)

# Punctuation that opens a sentence and therefore never directly follows a
# letter in real text: ¡ ¿ and the inverted interrobang.
_SENTENCE_OPENERS = frozenset({"\u00a1", "\u00bf", "\u2e18"})


def _is_diacritic_mark(code_point: int) -> bool:
    return any(low <= code_point <= high for low, high in _DIACRITIC_MARK_RANGES)


def _named_base(name: str) -> str | None:
    """Base letter named by stripping a diacritic suffix ("... WITH STROKE")."""
    if " WITH " not in name or not name.startswith(_NAMED_ACCENT_SCRIPTS):
        return None
    head, tail = name.split(" WITH ", 1)
    if _DIACRITIC_WORDS.isdisjoint(tail.split()):
        return None
    try:
        return unicodedata.lookup(head)
    except KeyError:
        return None


def _has_accent(character: str, name: str) -> bool:
    """Whether a letter carries a diacritic, by its decomposition or name."""
    decomposition = unicodedata.decomposition(character)
    if decomposition and not decomposition.startswith("<"):
        parts = decomposition.split()
        if len(parts) > 1 and all(_is_diacritic_mark(int(part, 16)) for part in parts[1:]):
            return True
        if len(parts) == 1:  # singleton such as U+212B ANGSTROM SIGN
            target = chr(int(parts[0], 16))
            return _has_accent(target, unicodedata.name(target, ""))
    return _named_base(name) is not None


@lru_cache(maxsize=_CHAR_CACHE_SIZE)
def _character_flags(character: str) -> int:
    """Return the bit set of script and shape flags that apply to ``character``."""
    name = unicodedata.name(character, "")
    if not name:
        return 0
    is_letter = unicodedata.category(character)[0] == "L"
    flags = 0

    if is_letter:
        if "LATIN" in name:
            flags |= _LATIN
        if _has_accent(character, name):
            flags |= _ACCENTUATED
        # Iteration and closing marks (々 〆) are written among ideographs.
        if "IDEOGRAPHIC" in name:
            flags |= _CJK
    if "CJK" in name:
        flags |= _CJK
    if "HANGUL" in name:
        flags |= _HANGUL
    if "HIRAGANA" in name:
        flags |= _HIRAGANA
    if "KATAKANA" in name:
        flags |= _KATAKANA
        if name.startswith("HALFWIDTH KATAKANA"):
            flags |= _HALFWIDTH_KATAKANA
    if name.startswith("THAI "):
        flags |= _THAI
    if "ARABIC" in name:
        flags |= _ARABIC
        if name.endswith("ISOLATED FORM"):
            flags |= _ARABIC_ISOLATED_FORM
    if "LIGATURE" in name:
        flags |= _LIGATURE
    # Raised digits, signs and letters; not the Arabic and Syriac vowel signs
    # that happen to be named "superscript alef".
    if name.startswith(("SUPERSCRIPT", "MODIFIER LETTER SUPERSCRIPT")):
        flags |= _SUPERSCRIPT
    if character in _SENTENCE_OPENERS:
        flags |= _SENTENCE_OPEN_PUNCTUATION
    return flags


# ---------------------------------------------------------------------------
# Character classes
# ---------------------------------------------------------------------------


def is_punctuation(character: str) -> bool:
    """Unicode punctuation (categories Pc, Pd, Ps, Pe, Pi, Pf, Po)."""
    return unicodedata.category(character)[0] == "P"


def is_symbol(character: str) -> bool:
    """Unicode symbols (Sm, Sc, Sk, So) and other numbers such as ½ or ①."""
    category = unicodedata.category(character)
    return category[0] == "S" or category == "No"


# Characters that visually split words although they are not white space.
_EXTRA_SEPARATORS = frozenset({"|", "+", "\uff5c", "\u00a6"})  # | + ｜ ¦


def is_separator(character: str) -> bool:
    """White space, Unicode separators (Zs, Zl, Zp) and a few dividing signs."""
    return character.isspace() or unicodedata.category(character)[0] == "Z" or character in _EXTRA_SEPARATORS


_EMOJI_BLOCKS = frozenset(
    {
        "Emoticons",
        "Miscellaneous Symbols and Pictographs",
        "Transport and Map Symbols",
        "Supplemental Symbols and Pictographs",
        "Symbols and Pictographs Extended-A",
        "Miscellaneous Symbols",
        "Dingbats",
        "Enclosed Alphanumeric Supplement",  # regional indicators (flags)
        "Enclosed Ideographic Supplement",
        "Geometric Shapes Extended",
        "Mahjong Tiles",
        "Playing Cards",
    }
)


def is_emoticon(character: str) -> bool:
    """Whether ``character`` lies in one of the emoji and pictograph blocks."""
    return unicode_range(character) in _EMOJI_BLOCKS


@lru_cache(maxsize=_CHAR_CACHE_SIZE)
def remove_accent(character: str) -> str:
    """Return the base letter of an accented letter, else ``character`` itself.

    Canonical decompositions are followed through their first code point
    (ǘ -> ü -> u); letters without one, such as ø or ł, are resolved through
    their name ("... O WITH STROKE" -> "... O"), so ǿ -> ø -> o.
    """
    base = character
    while True:
        decomposition = unicodedata.decomposition(base)
        if decomposition and not decomposition.startswith("<"):
            base = chr(int(decomposition.split()[0], 16))
            continue
        named = _named_base(unicodedata.name(base, ""))
        if named is None or named == base:
            return base
        base = named


# ---------------------------------------------------------------------------
# Encodings and blocks as seen by the coherence module
# ---------------------------------------------------------------------------

# Codec modules of the interpreter's encodings package that use more than one
# byte for some characters.
_MULTI_BYTE_CODECS = frozenset(
    {
        "utf_8",
        "utf_8_sig",
        "utf_7",
        "utf_16",
        "utf_16_be",
        "utf_16_le",
        "utf_32",
        "utf_32_be",
        "utf_32_le",
        "big5",
        "big5hkscs",
        "cp950",
        "gb2312",
        "gbk",
        "gb18030",
        "hz",
        "cp932",
        "shift_jis",
        "shift_jis_2004",
        "shift_jisx0213",
        "euc_jp",
        "euc_jis_2004",
        "euc_jisx0213",
        "iso2022_jp",
        "iso2022_jp_1",
        "iso2022_jp_2",
        "iso2022_jp_2004",
        "iso2022_jp_3",
        "iso2022_jp_ext",
        "iso2022_kr",
        "cp949",
        "euc_kr",
        "johab",
    }
)


@lru_cache(maxsize=128)
def _codec_module_name(name: str) -> str:
    normalized = normalize_encoding(name).lower()
    return _CODEC_ALIASES.get(normalized, normalized)


def is_multi_byte_encoding(iana_name: str) -> bool:
    """Whether the named codec (module name or alias) is a multi-byte one."""
    if not isinstance(iana_name, str):
        return False
    return _codec_module_name(iana_name) in _MULTI_BYTE_CODECS


# Blocks named like these hold secondary material of a script (extensions,
# supplements, presentation forms) or no script at all.  "Latin-1 Supplement"
# is the exception: it is the main repertoire of the upper half of the
# Western code pages (cp1252, latin_1, cp850...), and without it those pages
# would be judged on their ASCII half alone.
_SECONDARY_NAME_PARTS = (
    "Supplement",
    "Extended",
    "Extension",
    "Modifier",
    "Marks",
    "Punctuation",
    "Forms",
    "Symbols",
    "Compatibility",
)
_NON_SCRIPT_FAMILIES = frozenset(
    {
        "Punctuation",
        "Symbols",
        "Combining Marks",
        "Modifier Letters",
        "Specials",
        "Private Use",
        "Surrogates",
    }
)


@cache  # keyed by block names, a few hundred at most
def _is_secondary_block(name: str) -> bool:
    if name == "Latin-1 Supplement":
        return False
    if _RANGE_FAMILIES.get(name) in _NON_SCRIPT_FAMILIES:
        return True
    return any(part in name for part in _SECONDARY_NAME_PARTS)


def is_unicode_range_secondary(character_range: str) -> bool:
    """Whether characters of this block should not decide a code page's script.

    True for symbol, punctuation, mark, private-use and special blocks (box
    drawing included, which the DOS code pages are full of) and for the
    supplements, extensions and presentation forms of a script.
    """
    if not isinstance(character_range, str):
        return False
    return _is_secondary_block(character_range)
