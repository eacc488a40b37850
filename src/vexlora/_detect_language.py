"""What the detector knows about languages: alphabets, served languages, words.

Everything here is derived from the language profiles (``FREQUENCIES``) and
the generated word lists (``_language_words.WORDS``), never from the texts the
detector is measured on.
"""

from __future__ import annotations

import math
import re
import sys
import unicodedata
from array import array
from codecs import charmap_decode
from collections import Counter
from collections.abc import Callable, Iterable
from dataclasses import dataclass
from functools import cache
from itertools import compress, filterfalse

from vexlora._language_words import LETTERS, WORDS
from vexlora.constant import COMMON_CJK_CHARACTERS, FREQUENCIES

__all__ = ["alphabet", "served_languages", "codec_fit", "context_faults", "rank_languages"]

# Non-ASCII characters every script's text uses: typographic quotes, dashes,
# spaces, bullets, currency. They say nothing about the code page, so the fit
# ignores them.
NEUTRAL = frozenset("\u00a0«»“”„‘’‚‹›–—…•·°€£¥§©®™×\u200b\u200c\u200d\u200e\u200f\u2009\u202f\ufeff")

# Characters real text puts between two letters of a word (apostrophes,
# quotes that Chinese sets without spaces, hyphens, joiners, the Catalan
# middle dot, the Hebrew maqaf) and spaces.
_WORD_JOINERS = frozenset("’‘ʼ“”«»‹›‐‑\u00ad·\u05be\u200b\u200c\u200d\u200e\u200f\u2009\u202f\u00a0")
# Signs a language writes that its letter profile does not list.
_EXTRA = {"Spanish": "¡¿", "Catalan": "·", "Greek": ";΄΅", "Arabic": "،؛؟", "Persian": "،؛؟"}
# Languages with thousands of characters: whether a codec writes them is
# judged on the 60 most frequent of their profile's 255.
_LARGE_SCRIPTS = frozenset({"Chinese", "Japanese", "Korean"})


def script_of(character: str) -> str:
    """A coarse script name for a letter: enough to see two scripts touch."""
    code = ord(character)
    if code < 0x250 or 0x1E00 <= code <= 0x1EFF:
        return "latin"
    if 0x370 <= code <= 0x3FF or 0x1F00 <= code <= 0x1FFF:
        return "greek"
    if 0x400 <= code <= 0x52F:
        return "cyrillic"
    if 0x590 <= code <= 0x5FF or 0xFB1D <= code <= 0xFB4F:
        return "hebrew"
    if 0x600 <= code <= 0x6FF or 0x750 <= code <= 0x77F or 0xFB50 <= code <= 0xFEFF:
        return "arabic"
    if 0xE00 <= code <= 0xE7F:
        return "thai"
    if 0x3040 <= code <= 0x30FF or 0x31F0 <= code <= 0x31FF or 0xFF66 <= code <= 0xFF9F:
        return "kana"
    if 0xAC00 <= code <= 0xD7AF or 0x1100 <= code <= 0x11FF or 0x3130 <= code <= 0x318F:
        return "hangul"
    if 0x4E00 <= code <= 0x9FFF or 0x3400 <= code <= 0x4DBF or 0xF900 <= code <= 0xFAFF or code >= 0x20000:
        return "han"
    return "other"


@cache
def alphabet(language: str) -> frozenset[str]:
    """The letters a language is written with, in both cases.

    The profile lists only the most frequent letters; the rarer ones of the
    language (French "œ" and "î", Slovak "ĺ") come from ``LETTERS``, so a
    text using them is not taken for another language or code page.
    """
    letters = FREQUENCIES[language] + LETTERS.get(language, "")
    return frozenset(letters) | frozenset(letters.upper()) | frozenset(ch.upper() for ch in letters)


def fits(language: str, character: str) -> bool:
    """Whether a character belongs to how the language is written.

    Han characters fit Chinese and Japanese when they are among the common
    ones: a wrong multi-byte reading of other bytes yields rare ones. Hangul
    syllables fit Korean when they are in its profile, for the same reason.
    """
    if character in alphabet(language) or character in _EXTRA.get(language, ""):
        return True
    if language in ("Chinese", "Japanese") and character in COMMON_CJK_CHARACTERS:
        return True
    return language == "Japanese" and "\u3041" <= character <= "\u30ff"


_LANGUAGES = tuple(FREQUENCIES)
_MASKS: dict[str, int] = {}
_INDEX = {language: index for index, language in enumerate(_LANGUAGES)}
_JAPANESE_INDEX = _INDEX["Japanese"]
_JAPANESE_BIT = 1 << _JAPANESE_INDEX
_CHINESE_BIT = 1 << _LANGUAGES.index("Chinese")
_LATIN_MASK = sum(1 << index for index, language in enumerate(_LANGUAGES) if FREQUENCIES[language][:1].isascii())


def _build_masks() -> dict[str, int]:
    """Every character that fits some language, with its language bits (the same answers as ``fits``)."""
    masks: dict[str, int] = {}
    for index, language in enumerate(_LANGUAGES):
        bit = 1 << index
        for character in alphabet(language) | frozenset(_EXTRA.get(language, "")):
            masks[character] = masks.get(character, 0) | bit
    for character in COMMON_CJK_CHARACTERS:
        masks[character] = masks.get(character, 0) | _CHINESE_BIT | _JAPANESE_BIT
    for code in range(0x3041, 0x3100):
        masks[chr(code)] = masks.get(chr(code), 0) | _JAPANESE_BIT
    return masks


def language_mask(character: str) -> int:
    """Bit i set when the character fits the i-th language of FREQUENCIES."""
    if not _MASKS:
        _MASKS.update(_build_masks())
    return _MASKS.get(character, 0)


@cache
def served_languages(encoding: str) -> tuple[int, ...]:
    """Indices of the languages whose letters the codec can (nearly all) write."""
    if encoding.startswith("utf"):
        return tuple(range(len(_LANGUAGES)))
    served = []
    for index, (language, letters) in enumerate(FREQUENCIES.items()):
        sample = letters if language not in _LARGE_SCRIPTS else letters[:60]
        if _carried_count(sample, encoding) >= 0.9 * len(sample):
            served.append(index)
    return tuple(served)


# Codecs in which "?" may be part of a multi-byte character: their letters
# are tried one by one.
_QUESTION_MARK_INSIDE = ("iso2022", "hz", "johab")


def _carried_count(letters: str, encoding: str) -> int:
    """How many of ``letters`` the codec can encode."""
    if not encoding.startswith(_QUESTION_MARK_INSIDE):
        # Each letter the codec lacks becomes one "?".
        return len(letters) - letters.encode(encoding, "replace").count(b"?")
    carried = 0
    for letter in letters:
        try:
            letter.encode(encoding)
        except UnicodeEncodeError:
            continue
        carried += 1
    return carried


@cache
def served_mask(encodings: tuple[str, ...]) -> int:
    """Bit i set when one of the codecs serves the i-th language."""
    mask = 0
    for encoding in encodings:
        for index in served_languages(encoding):
            mask |= 1 << index
    return mask


# Per-language counts are summed in one big integer: field i (_FIELD bits)
# counts for the i-th language. Sums of such integers, masks of fields and
# the unpacking into a list all run at C speed, where a loop over the
# language bits of every mask would run in the interpreter.
_FIELD = 32
_FIELD_TYPE = next(code for code in "ILH" if array(code).itemsize * 8 == _FIELD)
_FIELD_BYTES = _FIELD // 8 * len(_LANGUAGES)


class _PackedByMask(dict[int, int]):
    """Language mask -> one unit in the field of each language of the mask (negative masks: none)."""

    def __missing__(self, mask: int) -> int:
        value = 0
        for index in range(max(mask, 0).bit_length()):
            if mask >> index & 1:
                value |= 1 << (_FIELD * index)
        self[mask] = value
        return value


PACKED_BY_MASK = _PackedByMask()


class _FieldsOf(dict[int, int]):
    """Language mask -> all ones in the field of each language of the mask."""

    def __missing__(self, mask: int) -> int:
        value = self[mask] = PACKED_BY_MASK[mask] * ((1 << _FIELD) - 1)
        return value


FIELDS_OF = _FieldsOf()


def unpack(packed: int, size: int = _FIELD_BYTES) -> array[int]:
    """The per-language counts of a packed sum, in the order of ``FREQUENCIES`` (``size``: its bytes)."""
    return array(_FIELD_TYPE, packed.to_bytes(size, sys.byteorder))


_ASCII_RUNS = re.compile(r"[\x00-\x7f]+")


def non_ascii(text: str) -> str:
    return _ASCII_RUNS.sub("", text)


def non_ascii_counts(text: str) -> Counter[str]:
    return Counter(non_ascii(text))


# Characters left when a character found once makes the rest be counted in one pass.
_PEEL_REST = 64


def _packed_sum(characters: str, table: dict[str, int]) -> int:
    """The sum of ``table[character]`` over ``characters`` (``table`` fills itself for a new character).

    A small alphabet is peeled one character at a time: each ``str.replace``
    counts a character at C speed, where a set or a ``Counter`` of the text
    makes a string object for every character beyond Latin-1. Once a
    character occurs only once and many are left (a large alphabet), the
    rest is counted in one pass.
    """
    packed = 0
    rest = characters
    while rest:
        character = rest[0]
        shorter = rest.replace(character, "")
        found = len(rest) - len(shorter)
        packed += found * table[character]
        rest = shorter
        if found == 1 and len(rest) > _PEEL_REST:
            counts = Counter(rest)
            return packed + math.sumprod(map(table.__getitem__, counts), counts.values())
    return packed


# Beyond the language fields, ``_CHARACTER_PACKED`` counts three more things
# in fields of its own: the characters that count at all, kana, and Han
# characters that fit Japanese (and Chinese).
_HIGH_SHIFT = _FIELD * len(_LANGUAGES)
_KANA_SHIFT = _HIGH_SHIFT + _FIELD
_HAN_SHIFT = _KANA_SHIFT + _FIELD
_FIELD_MASK = (1 << _FIELD) - 1


class _CharacterPacked(dict[str, int]):
    """Non-ASCII character -> its packed contribution to ``codec_fit`` (0 for neutral characters)."""

    def __missing__(self, character: str) -> int:
        value = 0
        if character not in NEUTRAL and not character.isspace():
            mask = language_mask(character)
            value = PACKED_BY_MASK[mask] | 1 << _HIGH_SHIFT
            if mask & _JAPANESE_BIT:
                if "\u3041" <= character <= "\u30ff":
                    value |= 1 << _KANA_SHIFT
                elif mask & _CHINESE_BIT:
                    value |= 1 << _HAN_SHIFT
        self[character] = value
        return value


_CHARACTER_PACKED = _CharacterPacked()


def codec_fit(characters: Counter[str], encodings: Iterable[str], ascii_letters: int) -> tuple[float, float]:
    """How well the letters of a decoding fit one language the codecs serve: (all letters, non-ASCII only).

    ``characters`` counts each distinct non-ASCII character;
    ``ascii_letters`` is the number of ASCII letters, which fit every
    Latin-script language and no other. Non-ASCII symbols count against
    every language; typographic punctuation counts for none. Each figure is
    0..1, the best over the languages served.
    """
    packed = math.sumprod(map(_CHARACTER_PACKED.__getitem__, characters), characters.values())
    return _fit_of_characters(packed, encodings, ascii_letters)


def text_fit(text: str, encodings: Iterable[str], ascii_letters: int) -> tuple[float, float]:
    """``codec_fit`` of a text's non-ASCII characters given as a string (``non_ascii``), not counted yet."""
    return _fit_of_characters(_packed_sum(text, _CHARACTER_PACKED), encodings, ascii_letters)


def _fit_of_characters(packed: int, encodings: Iterable[str], ascii_letters: int) -> tuple[float, float]:
    high = packed >> _HIGH_SHIFT & _FIELD_MASK
    kana = packed >> _KANA_SHIFT & _FIELD_MASK
    han = packed >> _HAN_SHIFT
    # Japanese text is never Han characters alone: without kana they are
    # another language's.
    japanese = kana * 6 < kana + han
    languages = packed & ((1 << _HIGH_SHIFT) - 1)
    return fits_of_packed(languages, high, ascii_letters, served_mask(tuple(encodings)), han if japanese else 0)


def fits_of_packed(packed: int, high: int, ascii_letters: int, served: int, han: int = 0) -> tuple[float, float]:
    """``codec_fit`` from the packed per-language counts of the non-ASCII characters.

    ``han``: Han characters not to count for Japanese (a text without kana).
    """
    if not high + ascii_letters:
        return 1.0, 1.0
    latin_served = served & _LATIN_MASK
    other_served = served ^ latin_served
    best_latin = max(unpack(packed & FIELDS_OF[latin_served])) if latin_served else 0
    best_other = 0
    if other_served:
        others = unpack(packed & FIELDS_OF[other_served])
        if han and other_served & _JAPANESE_BIT:
            # Japanese text is never Han characters alone: without kana
            # they are another language's.
            japanese = others[_JAPANESE_INDEX] - han
            others[_JAPANESE_INDEX] = 0
            best_other = max(max(others), japanese)
        else:
            best_other = max(others)
    return fit_figures(best_latin if latin_served else None, best_other, high, ascii_letters)


def fit_figures(best_latin: int | None, best_other: int, high: int, ascii_letters: int) -> tuple[float, float]:
    """The two ``codec_fit`` figures from the most fitting characters of a Latin-script language served (None:
    none served) and of another script's, out of ``high`` non-ASCII characters and ``ascii_letters``."""
    total = high + ascii_letters
    if not total:
        return 1.0, 1.0
    latin = best_latin if best_latin is not None else 0
    best_high = latin if latin > best_other else best_other
    best_all = latin + ascii_letters if best_latin is not None else 0
    if best_other > best_all:
        best_all = best_other
    return best_all / total, (best_high / high if high else 1.0)


@cache
def byte_masks(table: str) -> tuple[int, ...]:
    """For a single-byte code page's 256 characters: each one's language mask, -1 for neutral ones."""
    return tuple(-1 if character in NEUTRAL or character.isspace() else language_mask(character) for character in table)


# Context faults are found on a "class string": the text with every
# character replaced by a letter naming its class, so that short patterns
# over ASCII run instead of patterns over large Unicode classes.
#   a/A  ASCII small/capital letter      b/B  other Latin small/capital letter
#   c/C  Cyrillic small/capital          g/G  Greek small/capital, z final sigma
#   h Hebrew  r Arabic  t Thai  o other letter  s symbol  space: anything else
# CJK characters are left as they are (letters of no case).
_LETTER_CLASS = "aAbBcCgGzhrto\u3040-\u30ff\u4e00-\u9fff\uac00-\ud7af"
# Each pattern starts with one literal class letter, which the scan finds
# fast; a kind of fault takes several patterns.
_FAULT_SOURCES: tuple[tuple[str, ...], ...] = (
    # a non-Latin letter touching a letter of another script
    (
        "c(?:(?<=[aAbBgGzhrt]c)|(?=[aAbBgGzhrt]))",
        "C(?:(?<=[aAbBgGzhrt]C)|(?=[aAbBgGzhrt]))",
        "g(?:(?<=[aAbBcChrt]g)|(?=[aAbBcChrt]))",
        "G(?:(?<=[aAbBcChrt]G)|(?=[aAbBcChrt]))",
        "z(?:(?<=[aAbBcChrt]z)|(?=[aAbBcChrt]))",
        "h(?:(?<=[aAbBcCgGzrt]h)|(?=[aAbBcCgGzrt]))",
        "r(?:(?<=[aAbBcCgGzht]r)|(?=[aAbBcCgGzht]))",
        "t(?:(?<=[aAbBcCgGzhr]t)|(?=[aAbBcCgGzhr]))",
    ),
    # a capital right after a small letter inside a word
    tuple(f"{capital}(?<=[abcgz]{capital})" for capital in "BCG")
    + tuple(f"{capital}(?<=[bcgz]{capital})(?=[abcgz])" for capital in "A"),
    # a symbol between two letters
    (f"s(?<=[{_LETTER_CLASS}]s)(?=[{_LETTER_CLASS}])",),
    # the final sigma inside a word
    (f"z(?=[{_LETTER_CLASS}])",),
    # a lone non-ASCII capital standing as a word of its own
    tuple(f"{capital}(?<![{_LETTER_CLASS}]{capital})(?![{_LETTER_CLASS}])" for capital in "BCG"),
)
_SCRIPT_CLASSES = {"latin": "bB", "cyrillic": "cC", "greek": "gG"}
_CASELESS_CLASSES = {"hebrew": "h", "arabic": "r", "thai": "t"}


def _class_of(character: str) -> str:
    code = ord(character)
    if code < 0x80:
        if character.isalpha():
            return "A" if character.isupper() else "a"
        return " "
    if character == "ς":
        return "z"
    if character.isalpha():
        script = script_of(character)
        if script in _SCRIPT_CLASSES:
            return _SCRIPT_CLASSES[script][character.isupper()]
        return _CASELESS_CLASSES.get(script, "o")
    if (
        character.isspace()
        or character.isdigit()
        or character in _WORD_JOINERS
        or unicodedata.category(character).startswith("M")
    ):
        return " "
    return "s"


# Each pattern with the class letter it starts with.
_Patterns = tuple[tuple[tuple[str, re.Pattern[str]], ...], ...]


def _build_fault_patterns() -> tuple[dict[int, str], _Patterns]:
    table = {code: _class_of(chr(code)) for code in range(0x2C00)}
    return table, tuple(tuple((source[0], re.compile(source)) for source in sources) for sources in _FAULT_SOURCES)


_FAULTS: tuple[dict[int, str], _Patterns] | None = None


def _fault_patterns() -> tuple[dict[int, str], _Patterns]:
    global _FAULTS
    if _FAULTS is None:
        _FAULTS = _build_fault_patterns()
    return _FAULTS


# The class of every character of the Basic Multilingual Plane, as one string
# indexed by code point: ``str.translate`` then finds every character in the
# table (a missing one costs a raised and caught lookup error). Above U+2C00
# the CJK letters the patterns know read "o" and the other characters a
# space: to the patterns a letter of no class and no letter, as the
# characters themselves are.
_TEXT_CLASSES = ""


def _text_classes() -> str:
    global _TEXT_CLASSES
    if not _TEXT_CLASSES:
        table = _fault_patterns()[0]
        parts = ["".join(table[code] for code in range(0x2C00))]
        done = 0x2C00
        for first, last in ((0x3040, 0x30FF), (0x4E00, 0x9FFF), (0xAC00, 0xD7AF)):
            parts += [" " * (first - done), "o" * (last - first + 1)]
            done = last + 1
        parts.append(" " * (0x10000 - done))
        _TEXT_CLASSES = "".join(parts)
    return _TEXT_CLASSES


def context_faults(
    text: str, non_ascii: int, classes: str | None = None, kinds: frozenset[str] | None = None
) -> tuple[float, ...]:
    """Context faults per non-ASCII character, one figure per kind of fault.

    The kinds: a letter of one script touching a letter of another; a
    capital right after a small letter inside a word; a symbol between two
    letters; the final sigma inside a word; a lone non-ASCII capital
    standing as a word. ``classes``: the text's class string when the
    caller has it (see ``ByteViews``), ``kinds`` the set of its letters.
    """
    patterns = _fault_patterns()[1]
    if not non_ascii:
        return (0.0,) * len(patterns)
    if classes is None:
        classes = text.translate(_text_classes())
    # Most texts hold letters of one or two classes: a pattern whose first
    # class letter is absent cannot match. The patterns to run are kept per
    # set of classes present.
    present = kinds if kinds is not None else frozenset(classes)
    plan = _FAULT_PLANS.get(present)
    if plan is None:
        plan = _FAULT_PLANS[present] = tuple(
            (index, tuple(pattern.findall for lead, pattern in kind if lead in present))
            for index, kind in enumerate(patterns)
            if any(lead in present for lead, _ in kind)
        )
    faults = [0.0] * len(patterns)
    for index, kind in plan:
        faults[index] = sum([len(findall(classes)) for findall in kind]) / non_ascii
    return tuple(faults)


# Set of class letters present -> the kinds of fault (index, patterns) with a pattern that can match.
_FAULT_PLANS: dict[frozenset[str], tuple[tuple[int, tuple[Callable[[str], list[str]], ...]], ...]] = {}


_WORD = re.compile(r"[^\W\d_]+")


_WORD_MASKS: dict[str, int] = {}
for _index, _language in enumerate(_LANGUAGES):
    for _word in WORDS.get(_language, ()):
        _WORD_MASKS[_word] = _WORD_MASKS.get(_word, 0) | (1 << _index)
# Each frequent word with one unit in the field of every language listing it.
_WORD_PACKED = {word: PACKED_BY_MASK[mask] for word, mask in _WORD_MASKS.items()}


def words_of(text: str) -> list[str]:
    """The words of a text, in small letters.

    A run between spaces made of letters alone is a word as it is (checked
    at C speed); the pattern runs only on the others.
    """
    words: list[str] = []
    for run in text.lower().split():
        if run.isalpha():
            words.append(run)
        else:
            words += _WORD.findall(run)
    return words


@dataclass(frozen=True, slots=True)
class ByteViews:
    """What the text-level signals need from a single-byte code page, as ``bytes.translate`` tables.

    A text in such a page has one character per byte, so its class string
    (``context_faults``) and its words (``words_of``) can be computed from
    the bytes at C speed instead of character by character.
    """

    table: str  # the page's 256 characters
    classes: bytes  # byte -> its character's class letter (a space for characters of no class)
    lower: bytes  # byte -> the byte of its character in small letters, a space for no letter
    plain: bytes  # the bytes ``lower`` handles; any other byte present: use ``words_of``
    ascii_in_place: bool  # ``lower`` handles every ASCII byte as ``_ASCII_LOWER`` does
    high_apart: bool  # the bytes above ASCII read as the characters above ASCII, and only they

    def class_string(self, data: bytes) -> str:
        return data.translate(self.classes).decode("ascii")

    def class_set(self, distinct: bytes) -> frozenset[str]:
        """The class letters of a text whose distinct bytes are ``distinct`` (``frozenset`` of its class string)."""
        return frozenset(distinct.translate(self.classes).decode("ascii"))

    def words(self, data: bytes) -> list[str] | None:
        """``words_of`` the text of ``data``; None when a byte needs the character-level path."""
        if data.translate(None, self.plain):
            return None
        return charmap_decode(data.translate(self.lower), "strict", self.table)[0].split()

    def shared_words(self, shared: SharedWords) -> tuple[list[str], int] | None:
        """``words`` of the bytes ``shared`` was made from, and their ``word_hits``; None as ``words`` gives.

        Only for a page with ``ascii_in_place``: its words of ASCII letters
        alone are those of every such page, found once per payload.
        """
        high = shared.high
        if high.translate(None, self.plain):
            return None
        found = charmap_decode(high.translate(self.lower), "strict", self.table)[0].split()
        return shared.ascii_words + found, shared.ascii_hits + word_hits(found)


# ASCII bytes as a code page with the ASCII letters in place lowers them
# (``ByteViews.lower``), high bytes kept as they are.
_ASCII_LOWER = bytes(
    byte if byte >= 0x80 else ord(chr(byte).lower()) if chr(byte).isalpha() else 0x20 for byte in range(256)
)


@dataclass(frozen=True, slots=True)
class SharedWords:
    """What the words of a single-byte payload are in every page with ``ascii_in_place``."""

    ascii_words: list[str]  # the words of ASCII letters alone (the same in every such page)
    ascii_hits: int  # their ``word_hits``
    high: bytes  # the runs of letters and high bytes holding a high byte, joined by spaces (ASCII lowered)


def shared_words(data: bytes) -> SharedWords:
    """``SharedWords`` of a payload's bytes; ``ByteViews.shared_words`` ends the job per page.

    A word of the page's text is a run of letters; ASCII non-letters read
    alike in every page with ``ascii_in_place``, so a run of ASCII letters
    between them is a word in each of those pages, and only the runs
    holding a high byte differ. The order of the words is not kept.
    """
    runs = data.translate(_ASCII_LOWER).split()
    # ``filter`` over the ``bytes.isascii`` descriptor: no Python step per run.
    high = list(filterfalse(bytes.isascii, runs))
    if high:
        runs = list(filter(bytes.isascii, runs))
    ascii_words = b" ".join(runs).decode("ascii").split()
    return SharedWords(ascii_words, word_hits(ascii_words), b" ".join(high))


@cache
def byte_views(table: str) -> ByteViews | None:
    """``ByteViews`` of a single-byte code page given as its 256 characters (None if a class needs more)."""
    class_table = _fault_patterns()[0]
    first_byte: dict[str, int] = {}
    for byte, character in enumerate(table):
        first_byte.setdefault(character, byte)
    classes = bytearray()
    lower = bytearray()
    plain = bytearray()
    for byte, character in enumerate(table):
        kind = character.translate(class_table)
        if kind == character and ord(character) >= 0x2C00:
            kind = " " if not re.fullmatch(f"[{_LETTER_CLASS}]", character) else ""
        if len(kind) != 1 or not kind.isascii():
            return None
        classes.append(ord(kind))
        small = character.lower()
        # A capital sigma lowers by its context, and some capitals lower to
        # two characters: those bytes take the character-level path.
        if character == "\u03a3" or len(small) != 1:
            lower.append(0x20)
            continue
        if _WORD.fullmatch(small):
            if small not in first_byte:
                lower.append(0x20)
                continue
            lower.append(first_byte[small])
        else:
            lower.append(0x20)
        plain.append(byte)
    in_place = lower[:0x80] == _ASCII_LOWER[:0x80] and bytes(plain).startswith(bytes(range(0x80)))
    apart = all((byte >= 0x80) == (ord(character) >= 0x80) for byte, character in enumerate(table))
    return ByteViews(table, bytes(classes), bytes(lower), bytes(plain), in_place, apart)


def word_hits(words: list[str]) -> int:
    """How many of ``words`` each language lists among its frequent ones, packed (see ``unpack``)."""
    return sum(filter(None, map(_WORD_PACKED.get, words)))


def served_word_share(words: list[str], encodings: list[str], hits: int | None = None) -> float:
    """The best share of frequent short words (``words`` from ``words_of``), over the languages the codecs serve.

    ``hits``: ``word_hits(words)`` when the caller has it.
    """
    if not words:
        return 0.0
    packed = word_hits(words) if hits is None else hits
    if not packed:
        return 0.0
    return max(unpack(packed & FIELDS_OF[served_mask(tuple(encodings))])) / len(words)


class _LetterPacked(dict[str, int]):
    """Letter -> one unit in the field of every language it fits (ASCII letters: the Latin-script ones)."""

    def __missing__(self, letter: str) -> int:
        value = self[letter] = PACKED_BY_MASK[_LATIN_MASK if letter.isascii() else language_mask(letter)]
        return value


_LETTER_PACKED = _LetterPacked()
_LATIN_PACKED = PACKED_BY_MASK[_LATIN_MASK]
# Up to this many non-ASCII letters, their packed counts are summed one by one.
_DIRECT_SUM_LIMIT = 48
# Weight of the short-word share against the coherence ratio: the words
# decide between languages whose letters fit equally (coherence ties them).
WORD_WEIGHT = 20.0
# A language whose alphabet fits the text's letters worse than the best one
# by more than this is out.
LETTER_TOLERANCE = 0.01
_TYPICAL_WORD_SHARE = 0.4
# Languages are judged on the first characters of a text: enough for a
# stable answer, and the cost stays flat for large samples.
LANGUAGE_TEXT_LIMIT = 2000


def rank_languages(
    text: str,
    limit: int = 3,
    *,
    known: tuple[list[tuple[str, float]], list[str]] | None = None,
    hits: int | None = None,
) -> tuple[tuple[str, float], ...]:
    """The languages of a decoded text, best first, with a 0..1 score.

    ``known``: the ``coherence_ratio(text, 0.1, None)`` result and
    ``words_of(text)`` when the caller has them already (for a text of at
    most ``LANGUAGE_TEXT_LIMIT`` characters); ``hits`` the ``word_hits`` of
    those words.
    """
    if known is None:
        from vexlora.tessaly import coherence_ratio

        text = text[:LANGUAGE_TEXT_LIMIT]
        known = coherence_ratio(text, 0.1, None), words_of(text)
    coherence = dict(known[0])
    words = known[1]
    joined = "".join(words)
    if not joined:
        return ()
    # Per language: how many letters fit its alphabet (ASCII letters fit the
    # Latin-script ones) and how many words are among its frequent ones.
    non_ascii = _ASCII_RUNS.sub("", joined)
    packed = (len(joined) - len(non_ascii)) * _LATIN_PACKED
    if len(non_ascii) <= _DIRECT_SUM_LIMIT:
        # Few letters: summing each costs less than counting them first.
        packed += sum(map(_LETTER_PACKED.__getitem__, non_ascii))
    else:
        packed += _packed_sum(non_ascii, _LETTER_PACKED)
    fitting = unpack(packed)
    listed = unpack(word_hits(words) if hits is None else hits)
    candidates = set(coherence)
    candidates.update(compress(_LANGUAGES, listed))
    total = len(joined)
    if not candidates:
        # Too short for the coherence test and no frequent word: the letters decide.
        candidates = {language for language, fit in zip(_LANGUAGES, fitting) if fit / total >= 0.5}
    fit_of = {language: fitting[_INDEX[language]] / total for language in candidates}
    if not fit_of:
        return ()
    best_fit = max(fit_of.values())
    floor = best_fit - LETTER_TOLERANCE
    count = len(words)
    # Best first, ties by name: sorted on (-score, language).
    scored = sorted(
        [
            (-(coherence.get(language, 0.0) + WORD_WEIGHT * (listed[_INDEX[language]] / count) + fit - 1.0), language)
            for language, fit in fit_of.items()
            if fit >= floor
        ]
    )
    scale = 1.0 + WORD_WEIGHT * _TYPICAL_WORD_SHARE
    return tuple((language, round(min(1.0, -negative / scale), 4)) for negative, language in scored[:limit])


_NOT_ASCII_LETTERS = bytes(byte for byte in range(128) if not chr(byte).isalpha())


def ascii_letter_count(text: str) -> int:
    return len(text.encode("ascii", "ignore").translate(None, _NOT_ASCII_LETTERS))
