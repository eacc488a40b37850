"""Ranking the readings of a payload (a whole small payload or a sample of a large one).

Order of the tests, cheapest first: byte order marks; NUL patterns and
control bytes (UTF-16/32 or binary); pure ASCII; valid UTF-8; then every
codec that survives the byte-level filters, scored by mess, by how well the
decoding's letters fit the languages the codec serves, by context faults,
by coherence and, last, by how common the code page is.
"""

from __future__ import annotations

import bisect
import codecs
import functools
import math
import operator
import re
import sys
from array import array
from codecs import charmap_decode
from collections.abc import Callable
from dataclasses import dataclass

from vexlora._detect_codecs import BY_NAME, MULTI_BYTE, SINGLE_BYTE, Codec
from vexlora._detect_language import (
    _FIELD,
    _FIELD_TYPE,
    _LATIN_MASK,
    LANGUAGE_TEXT_LIMIT,
    SharedWords,
    ascii_letter_count,
    byte_masks,
    byte_views,
    context_faults,
    non_ascii,
    rank_languages,
    served_mask,
    served_word_share,
    shared_words,
    text_fit,
    word_hits,
    words_of,
)

__all__ = ["Reading", "rank", "BOMS", "binary_bytes"]

BOMS: tuple[tuple[bytes, str], ...] = (
    (b"\xff\xfe\x00\x00", "utf_32"),
    (b"\x00\x00\xfe\xff", "utf_32"),
    (b"\xef\xbb\xbf", "utf_8_sig"),
    (b"\xff\xfe", "utf_16"),
    (b"\xfe\xff", "utf_16"),
)

_BOM_MARKS = tuple(mark for mark, _ in BOMS)
_ASCII = bytes(range(128))
# Every byte but the ASCII letters: deleting them counts the letters.
_NOT_ASCII_LETTER_BYTES = bytes(byte for byte in range(256) if not (byte < 128 and chr(byte).isalpha()))
_BYTE_ORDER = sys.byteorder
_HIGH = bytes(range(128, 256))
# Control bytes that text files do not hold; tab, line feed, vertical tab,
# form feed, carriage return, ESC (ISO-2022) and SO/SI (ISO-2022-KR) are
# text, and so is 0x1A (DOS end of file).
_CONTROLS = bytes([*range(1, 9), *range(0x10, 0x1A), *range(0x1C, 0x20), 0x7F])
# The CJK codecs that need a marker in the bytes before they are worth a try.
_NEEDS_ESC = {"iso2022_jp", "iso2022_jp_2", "iso2022_jp_2004", "iso2022_kr"}
_CJK = tuple(codec for codec in MULTI_BYTE if not codec.encoding.startswith("utf"))

# Weights of the ranking score (lower is better), fitted on the payloads of
# tests/data/heldout and checked on tests/data/heldout2 (benchmarks/accuracy.py):
# mess first; then how well the letters fit a language the codec serves
# (all letters, and the non-ASCII ones alone); context faults (scripts
# touching, a capital inside a word, a symbol between letters, a final
# sigma inside a word, a lone
# accented capital); the coherence of the best language; the share of that
# language's frequent short words; and last how common the codec is.
FIT_WEIGHT = 0.8
HIGH_FIT_WEIGHT = 0.4
FAULT_WEIGHTS = (1.0, 1.0, 0.3, 0.25, 0.5)
COHERENCE_WEIGHT = 0.03
WORD_WEIGHT = 1.0
WORD_SHARE_CAP = 0.4
PRIOR_WEIGHT = 0.004
# A UTF-8 decoding with multi-byte sequences wins unless it is this messy.
UTF8_MESS_LIMIT = 0.4
# Bytes whose cleanest reading is this messy are reported as undecodable.
UNDECODABLE_MESS = 0.5
# A payload with NULs whose best UTF-16/32 reading is this messy is binary.
BINARY_MESS = 0.3
# Readings messier than the cleanest by more than this are not scored further.
CONTENDER_WINDOW = 0.15
# How many single-byte readings (ranked by letter fit alone) are decoded and scored.
FULL_SCORE_LIMIT = 15
# A reading whose letter fit alone scores worse than the best mess + fit so
# far by more than this is not judged further (its mess is not needed).
FIT_REACH = 0.2
# Unjudged readings rank after every judged one.
UNJUDGED_SCORE = 10.0
# A lead of the winner's score over the runner-up's that gives full confidence.
CONFIDENT_LEAD = 0.04
# How many readings get the costlier signals (context, coherence, words).
FEATURE_LIMIT = 10
# The text-level signals are judged on the start of a long sample.
FEATURE_TEXT_LIMIT = 1200
# The mess of a long sample is judged on a window of this many characters.
MESS_TEXT_LIMIT = 2400


@dataclass(slots=True)
class Reading:
    """One distinct decoding of the payload and the codecs that give it."""

    codecs: list[Codec]
    # The decoding (``text``); None for a single-byte reading not decoded yet.
    _text: str | None = ""
    mess: float = 1.0
    fit: float = 1.0
    high_fit: float = 1.0
    faults: tuple[float, ...] = ()
    coherence: float = 0.0
    words: float = 0.0
    score: float = math.inf
    bom: bool = False
    # The fit figures computed from the byte histogram, valid while the
    # reading has this many codecs (0: none).
    fit_codecs: int = 0
    # Coherence (None until asked) and words of the whole text, when the
    # signals saw all of it: the language ranking reuses them.
    language_input: tuple[list[tuple[str, float]] | None, list[str]] | None = None
    # The ``word_hits`` of those words.
    word_hits: int | None = None
    # The payload bytes, for a single-byte reading (one character per byte),
    # and the 256 characters of its code page.
    raw: bytes = b""
    table: str = ""
    _named_by: tuple[int, Codec] | None = None

    @property
    def text(self) -> str:
        # A single-byte reading decodes its bytes when first asked: the
        # ranking leaves some of them unjudged.
        text = self._text
        if text is None:
            text = self._text = charmap_decode(self.raw, "strict", self.table)[0]
        return text

    @property
    def codec(self) -> Codec:
        # Among codecs giving the same text, the most common one names it
        # (kept until more codecs join the reading).
        if self._named_by is None or self._named_by[0] != len(self.codecs):
            self._named_by = (len(self.codecs), max(self.codecs, key=lambda codec: codec.prior))
        return self._named_by[1]


_ALL_BYTES = bytes(range(256))


def _distinct(data: bytes) -> bytes:
    """The distinct bytes of ``data``, ascending: two ``bytes.translate`` calls at C speed, where a set
    makes a step in the interpreter per byte."""
    return _ALL_BYTES.translate(None, _ALL_BYTES.translate(None, data))


def binary_bytes(sample: bytes) -> tuple[int, int]:
    """(NUL count, other control byte count) of a sample."""
    return sample.count(0), len(sample) - len(sample.translate(None, _CONTROLS))


def _decode(sample: bytes, encoding: str) -> str | None:
    try:
        return sample.decode(encoding)
    except UnicodeDecodeError:
        return None


def _mess(text: str) -> float:
    from vexlora.murkel import mess_ratio

    return mess_ratio(text, 1.0)


def _utf16_32_readings(sample: bytes, last_resort: bool = False) -> list[Reading]:
    """UTF-16/32 without BOM, tried where the NUL pattern or byte lanes point to them.

    As a ``last_resort`` (no other codec decodes the bytes) UTF-16 is tried anyway.
    """
    readings = []
    size = len(sample)
    if size % 4 == 0 and size >= 4:
        quarter = size // 4
        for encoding, lane in (("utf_32_le", 3), ("utf_32_be", 0)):
            if sample[lane::4].count(0) == quarter:
                text = _decode(sample, encoding)
                if text is not None and "\x00" not in text:
                    readings.append(Reading([BY_NAME[encoding]], text))
        if readings:
            return readings
    if size % 2 == 0 and size >= 2:
        even, odd = sample[0::2], sample[1::2]
        even_nul, odd_nul = even.count(0), odd.count(0)
        distinct_even, distinct_odd = len(_distinct(even)), len(_distinct(odd))
        for encoding, high, high_nul, low_nul, distinct_high, distinct_low in (
            ("utf_16_le", odd, odd_nul, even_nul, distinct_odd, distinct_even),
            ("utf_16_be", even, even_nul, odd_nul, distinct_even, distinct_odd),
        ):
            # The high byte of each unit names a script block: few distinct
            # values, NUL for the ASCII in between. Single-byte text shows
            # the same variety in both lanes.
            if (
                (high_nul > 4 * low_nul and high_nul * 32 >= len(high))
                or (low_nul == 0 and distinct_high * 3 < distinct_low * 2)
                or last_resort
            ):
                text = _decode(sample, encoding)
                # Text never holds U+0000: NUL units mean binary data.
                if text is not None and "\x00" not in text:
                    readings.append(Reading([BY_NAME[encoding]], text))
    return readings


def rank(sample: bytes, top: int, *, allowed: Callable[[Codec], bool] | None = None) -> tuple[str, list[Reading]]:
    """Judge ``sample``: its kind and its readings, best first (at most ``top``).

    ``allowed`` restricts the codecs (a large payload's codecs are first
    checked over the whole payload).
    """
    if not sample:
        return "empty", []
    allow = allowed or (lambda codec: True)
    # One test for all marks first: most payloads carry none.
    for mark, encoding in BOMS if sample.startswith(_BOM_MARKS) else ():
        if sample.startswith(mark) and allow(BY_NAME[encoding]):
            text = _decode(sample, encoding)
            if text is not None:
                reading = Reading([BY_NAME[encoding]], text, _mess(text), bom=True)
                if reading.mess < UTF8_MESS_LIMIT:
                    return "text", [reading]
            if encoding == "utf_32":
                continue
            break
    nuls, controls = binary_bytes(sample)
    if nuls:
        wide = [reading for reading in _utf16_32_readings(sample) if allow(reading.codec)]
        if not wide:
            return "binary", []
        wide = _finish(wide, top)
        if wide[0].mess >= BINARY_MESS:
            # NULs and no clean wide reading: not text.
            return "binary", []
        return "text", wide
    if controls * 20 > len(sample):
        return "binary", []
    high = sample.translate(None, _ASCII)
    if not high:
        return _seven_bit(sample, top, allow)
    if allow(BY_NAME["utf_8"]):
        text = _decode(sample, "utf_8")
        if text is not None:
            reading = Reading([BY_NAME["utf_8"]], text, _mess(text))
            if reading.mess < UTF8_MESS_LIMIT:
                return "text", [reading]
    readings = _single_byte_readings(sample, high, allowed)
    single = len(readings)
    readings += [reading for reading in _cjk_readings(sample, allow)]
    readings += [reading for reading in _utf16_32_readings(sample, not readings) if allow(reading.codec)]
    if not readings:
        return "undecodable", []
    readings = _finish(_merge(readings, single), top)
    if readings[0].mess >= UNDECODABLE_MESS:
        # Every codec turns the bytes into a mess: they are no text we know.
        return "undecodable", []
    return "text", readings


def _seven_bit(sample: bytes, top: int, allow: Callable[[Codec], bool]) -> tuple[str, list[Reading]]:
    readings = []
    if b"\x1b" in sample:
        for encoding in ("iso2022_jp", "iso2022_jp_2", "iso2022_jp_2004", "iso2022_kr"):
            if allow(BY_NAME[encoding]):
                text = _decode(sample, encoding)
                if text is not None:
                    readings.append(Reading([BY_NAME[encoding]], text))
    if b"~{" in sample and allow(BY_NAME["hz"]):
        text = _decode(sample, "hz")
        if text is not None and text != sample.decode("ascii"):
            readings.append(Reading([BY_NAME["hz"]], text))
    if readings:
        readings = _merge(readings)
        for reading in readings:
            reading.mess = _mess(reading.text)
        best = min(readings, key=lambda reading: (reading.mess, -reading.codec.prior))
        if best.mess < UTF8_MESS_LIMIT:
            return "text", _finish(readings, top)
    if allow(BY_NAME["ascii"]):
        text = sample.decode("ascii")
        return "text", [Reading([BY_NAME["ascii"]], text, _mess(text))]
    return "undecodable", []


_PAGES: list[tuple[Codec, str, bytes, bool, str]] = []


def _single_byte_pages() -> list[tuple[Codec, str, bytes, bool, str]]:
    """Each single-byte codec with its name, the bytes it defines, whether it reads ASCII bytes otherwise, and
    its 256 characters (``_table``)."""
    if not _PAGES:
        _PAGES.extend(
            (codec, codec.encoding, codec.defined, codec.encoding in _ASCII_CHANGERS, _table(codec.encoding))
            for codec in SINGLE_BYTE
        )
    return _PAGES


def _read(data: bytes, table: str) -> str:
    """``data`` decoded by a single-byte code page given as its 256 characters (every byte must be defined).

    The same text as ``data.decode(encoding)``, without the codec registry
    lookup and the codec's Python-level wrapper: this runs for dozens of
    code pages per payload.
    """
    return charmap_decode(data, "strict", table)[0]


# A group of code pages reading the present bytes alike: the page index of
# its first codec, its codecs, the languages served, ``_fit_deletions``, the
# negated prior of the codec naming it, its first codec's ``_Served`` table
# and name, and a translate table telling for each byte which of the two
# deletions removes it (0: both, 1: the second alone, 2: none).
_Group = tuple[int, tuple[Codec, ...], int, bytes, bytes, float, "_Served", str, bytes]
# With the groups: for each, which pair of selectors its bounds use; the
# distinct pairs (for each present byte, in order, 1 when the group counts it
# and 0 otherwise: the bytes that do not read as neutral characters, and those
# that read as a letter of a served language); and, filled as the exact fits
# ask for them, each group's ``_Served`` entries for the present bytes.
# Groups whose deletions keep the same present bytes share a pair, so its
# counts are taken once per payload.
_Grouping = tuple[
    tuple[_Group, ...],
    tuple[tuple[int, Codec], ...],
    tuple[int, ...],
    tuple[tuple[bytes, bytes], ...],
    list[tuple[int, ...] | None],
]


# For each byte: bit i set when the i-th single-byte page defines it.
_DEFINED_BY: list[int] = []


def _group_pages(present: bytes, allowed: Callable[[Codec], bool] | None) -> _Grouping:
    """The single-byte codecs that define every byte of ``present``, grouped by the characters they read
    there (see ``_Group``), and apart those that read ASCII bytes otherwise (their grouping needs the
    whole sample)."""
    pages = _single_byte_pages()
    if not _DEFINED_BY:
        _DEFINED_BY.extend(
            sum(1 << index for index, page in enumerate(pages) if byte in page[2]) for byte in range(256)
        )
    valid = (1 << len(pages)) - 1
    for byte in present:
        valid &= _DEFINED_BY[byte]
    groups: dict[str, list[int]] = {}
    changers = []
    while valid:
        low = valid & -valid
        valid ^= low
        index = low.bit_length() - 1
        codec, _, _, changer, table = pages[index]
        if allowed is not None and not allowed(codec):
            continue
        if changer:
            changers.append((index, codec))
            continue
        # ``_read``, inline: this runs for every page.
        key = charmap_decode(present, "strict", table)[0]
        group = groups.get(key)
        if group is None:
            groups[key] = [index]
        else:
            group.append(index)
    fixed = tuple(_group_of_pages(tuple(indices)) for indices in groups.values())
    pairs: dict[bytes, int] = {}
    selectors: list[tuple[bytes, bytes]] = []
    views = tuple(_pair_of(present, group, pairs, selectors) for group in fixed)
    return fixed, tuple(changers), views, tuple(selectors), [None] * len(fixed)


def _pair_of(present: bytes, group: _Group, pairs: dict[bytes, int], selectors: list[tuple[bytes, bytes]]) -> int:
    """The selector pair a group's bounds use; ``pairs`` and ``selectors`` collect the distinct pairs."""
    # What each deletion does to each present byte: groups alike there count alike.
    key = present.translate(group[8])
    pair = pairs.get(key)
    if pair is None:
        pair = pairs[key] = len(selectors)
        selectors.append((key.translate(_COUNTED_KIND), key.translate(_FITTING_KIND)))
    return pair


# ``_pair_of``'s kinds (0: neutral, 1: no letter of a served language, 2: one)
# to 1 for the bytes the high count counts, and for those that fit.
_COUNTED_KIND = bytes((0, 1, 1)) + bytes(253)
_FITTING_KIND = bytes((0, 0, 1)) + bytes(253)


@functools.cache
def _group_of_pages(indices: tuple[int, ...]) -> _Group:
    pages = _single_byte_pages()
    return _group(indices[0], [pages[index][0] for index in indices])


def _group(first: int, codecs: list[Codec]) -> _Group:
    encoding = codecs[0].encoding
    served = served_mask(tuple(codec.encoding for codec in codecs))
    prior = max(codec.prior for codec in codecs)
    neutral, unfit = _fit_deletions(encoding, served)
    # Byte -> 0 when ``neutral`` deletes it, 1 when ``unfit`` does, else 2.
    kinds = bytes(0 if byte in neutral else 1 if byte in unfit else 2 for byte in range(256))
    return (first, tuple(codecs), served, neutral, unfit, -prior, _served(encoding, served), encoding, kinds)


@functools.lru_cache(maxsize=2048)
def _page_groups(present: bytes) -> _Grouping:
    # The grouping depends only on the set of high bytes present; payloads
    # in related code pages (and repeated payloads) often share it.
    return _group_pages(present, None)


# A group's negated prior (``_Group`` entry 5).
_PRIOR_TERM = operator.itemgetter(5)


def _single_byte_readings(sample: bytes, high: bytes, allowed: Callable[[Codec], bool] | None) -> list[Reading]:
    # Few distinct high bytes, each counted at C speed.
    present = _distinct(high)
    counts = list(map(high.count, present))
    ascii_letters = len(sample.translate(None, _NOT_ASCII_LETTER_BYTES))
    if allowed is None:
        fixed, changers, views, selectors, known = _page_groups(present)
    else:
        fixed, changers, views, selectors, known = _group_pages(present, allowed)
    slots = range(len(fixed))
    groups = fixed
    # A codec that reads ASCII bytes otherwise gives a text of its own; it
    # shares a reading only with codecs that decode the whole sample alike.
    changed: dict[str | None, list[int]] = {}
    if len(changers) == 1:
        # Alone, it needs no text to be told apart (decoded if kept).
        changed[None] = [changers[0][0]]
    for index, codec in changers if len(changers) > 1 else ():
        key = _read(sample, _table(codec.encoding))
        found = changed.get(key)
        if found is None:
            changed[key] = [index]
        else:
            found.append(index)
    texts = {}
    if changed:
        more = [_group_of_pages(tuple(indices)) for indices in changed.values()]
        extended = list(selectors)
        # Each joins the groups in page order (a page is in one group only).
        groups, views, slots = list(fixed), list(views), list(slots)
        for group in more:
            at = bisect.bisect([other[0] for other in groups], group[0])
            groups.insert(at, group)
            views.insert(at, _pair_of(present, group, {}, extended))
            slots.insert(at, None)
        selectors = tuple(extended)
        texts = {indices[0]: text for text, indices in changed.items() if text is not None}
    # The letter fit needs only the bytes: it picks the readings worth
    # decoding. A cheap upper bound (a byte fits when it fits any served
    # language, counted by two sums over the counts of the present bytes)
    # orders the groups; the exact fit (one language for all bytes) is
    # computed until no bound can reach the best kept. Groups counting the
    # same present bytes share the bound.
    negative_bounds = []
    high_counts = []
    for counted, fits in selectors:
        high_count = math.sumprod(counted, counts)
        fitting = math.sumprod(fits, counts)
        total = high_count + ascii_letters
        bound = FIT_WEIGHT * ((ascii_letters + fitting) / total if total else 1.0) + HIGH_FIT_WEIGHT * (
            fitting / high_count if high_count else 1.0
        )
        negative_bounds.append(-bound)
        high_counts.append(high_count)
    # By bound, then prior, then page order (unique: nothing after it is compared).
    bounded = sorted(
        zip(map(negative_bounds.__getitem__, views), map(_PRIOR_TERM, groups), range(len(groups)), views, slots, groups)
    )
    exact: list[tuple[float, float, int, float, float, _Group]] = []
    # The table entries of the present bytes, as a tuple, at C speed.
    pick = operator.itemgetter(*present) if len(present) > 1 else None
    for negative_bound, negative_prior, order, pair, slot, group in bounded:
        if len(exact) >= FULL_SCORE_LIMIT and negative_bound > exact[FULL_SCORE_LIMIT - 1][0]:
            break
        high_count = high_counts[pair]
        table, latin_fields, fields, size = group[6]
        values = known[slot] if slot is not None else None
        if values is None:
            values = pick(table) if pick is not None else (table[present[0]],)
            if slot is not None:
                known[slot] = values
        packed = math.sumprod(values, counts)
        counted = array(_FIELD_TYPE, packed.to_bytes(size, _BYTE_ORDER))
        # The figures of ``fit_figures``, inline: this runs for every group kept.
        best_other = max(counted[latin_fields:]) if fields > latin_fields else 0
        total = high_count + ascii_letters
        if not total:
            fit = high_fit = 1.0
        elif latin_fields:
            latin = max(counted) if latin_fields == fields else max(counted[:latin_fields])
            fit = (latin + ascii_letters if latin + ascii_letters >= best_other else best_other) / total
            high_fit = (latin if latin > best_other else best_other) / high_count if high_count else 1.0
        else:
            fit = best_other / total
            high_fit = best_other / high_count if high_count else 1.0
        bisect.insort(
            exact, (-(FIT_WEIGHT * fit + HIGH_FIT_WEIGHT * high_fit), negative_prior, order, fit, high_fit, group)
        )
    kept = []
    pages = _single_byte_pages()
    for *_, fit, high_fit, group in exact[:FULL_SCORE_LIMIT]:
        codecs = group[1]
        encoding = group[7]
        # Decoded with the table of the group's first page when first asked.
        text = texts.get(group[0]) if texts else None
        reading = Reading(list(codecs), text, fit=fit, high_fit=high_fit, raw=sample, table=pages[group[0]][4])
        if encoding not in _ASCII_CHANGERS:
            # The bytes gave every character of the text: the fit is exact.
            reading.fit_codecs = len(codecs)
        kept.append(reading)
    return kept


_DELETIONS: dict[tuple[str, int], tuple[bytes, bytes]] = {}


def _fit_deletions(encoding: str, served: int) -> tuple[bytes, bytes]:
    """For a code page and the languages served: the high bytes that read as neutral characters, and
    those that read as neutral characters or as no letter of a served language."""
    found = _DELETIONS.get((encoding, served))
    if found is None:
        masks = byte_masks(_table(encoding))
        neutral = bytes(byte for byte in range(0x80, 0x100) if masks[byte] < 0)
        unfit = bytes(byte for byte in range(0x80, 0x100) if masks[byte] < 0 or not masks[byte] & served)
        found = _DELETIONS[(encoding, served)] = (neutral, unfit)
    return found


# A code page's letter counts for the languages a group serves: for each byte
# one unit in the field of every served language its character fits (fields
# for the served languages only, so the sums stay short: the Latin-script
# ones first, then the others), the number of Latin-script fields, the number
# of fields and the packed size in bytes. The fit takes the best count among
# the Latin-script languages and among the others, so a language whose
# fitting high bytes are all fitting bytes of another language of its kind
# never has the best count alone: it gets no field.
_Served = tuple[tuple[int, ...], int, int, int]
_SERVED: dict[tuple[str, int], _Served] = {}


def _served(encoding: str, served: int) -> _Served:
    found = _SERVED.get((encoding, served))
    if found is None:
        masks = byte_masks(_table(encoding))
        indices = [index for index in range(served.bit_length()) if served >> index & 1]
        latin = _undominated([index for index in indices if _LATIN_MASK >> index & 1], masks)
        languages = latin + _undominated([index for index in indices if not _LATIN_MASK >> index & 1], masks)
        table = tuple(
            sum(1 << (_FIELD * field) for field, index in enumerate(languages) if mask >> index & 1) if mask > 0 else 0
            for mask in masks
        )
        found = _SERVED[(encoding, served)] = (table, len(latin), len(languages), _FIELD // 8 * len(languages))
    return found


def _undominated(indices: list[int], masks: tuple[int, ...]) -> list[int]:
    """The languages (indices) whose set of fitting high bytes is no subset of another's (one of equal sets)."""
    fitting = {
        index: frozenset(byte for byte in range(0x80, 0x100) if masks[byte] > 0 and masks[byte] >> index & 1)
        for index in indices
    }
    return [
        index
        for index in indices
        if not any(
            fitting[index] < fitting[other] or (fitting[index] == fitting[other] and other < index)
            for other in indices
            if other != index
        )
    ]


# In the multi-byte CJK codecs without shift states, a byte below 0x30 is
# never part of a multi-byte character, and an ASCII byte never starts one.
# So a high byte at the start, after a byte below 0x30 or after two ASCII
# bytes starts a character; followed by a byte below 0x30 or the end, it must
# be a character on its own. A codec that cannot read it alone fails on the
# payload: one translate call spares a failing decode.
# (The high byte leads the pattern, so the search skips ahead fast; the
# lookbehinds then check what precedes it.)
_LONE_HIGH = re.compile(
    rb"[\x80-\xff](?=[\x00-\x2f]|\Z)"
    rb"(?:(?<=[\x00-\x2f][\x80-\xff])|(?<=[\x00-\x7f][\x00-\x7f][\x80-\xff])|(?<=\A[\x80-\xff]))"
)


@functools.cache
def _alone(encoding: str) -> bytes:
    """The high bytes a multi-byte codec reads as a character on their own."""
    return bytes(byte for byte in range(0x80, 0x100) if _decode(bytes((byte,)), encoding) is not None)


# The stateless decoders of the CJK codecs: a decode fails on incomplete
# input as ``bytes.decode`` does, without the codec registry lookup per call.
_CJK_DECODERS: dict[str, Callable[[bytes], tuple[str, int]]] = {}


def _cjk_decode(sample: bytes, encoding: str) -> str | None:
    decoder = _CJK_DECODERS.get(encoding)
    if decoder is None:
        decoder = _CJK_DECODERS[encoding] = codecs.lookup(encoding).decode
    try:
        return decoder(sample)[0]
    except UnicodeDecodeError:
        return None


def _cjk_readings(sample: bytes, allow: Callable[[Codec], bool]) -> list[Reading]:
    readings = []
    # The first lone high byte rules out most codecs alone; all of them are
    # gathered only for a codec that reads that one alone.
    first = _LONE_HIGH.search(sample)
    lone = None
    for codec in _CJK:
        if codec.encoding in _NEEDS_ESC:
            if b"\x1b" not in sample:
                continue
        elif codec.encoding == "hz":
            if b"~{" not in sample:
                continue
        elif first is not None:
            alone = _alone(codec.encoding)
            if first.group()[0] not in alone:
                continue
            if lone is None:
                lone = b"".join(_LONE_HIGH.findall(sample))
            if lone.translate(None, alone):
                continue
        if not allow(codec):
            continue
        text = _cjk_decode(sample, codec.encoding)
        if text is not None:
            readings.append(Reading([codec], text))
    return readings


def _merge(readings: list[Reading], single: int = 0) -> list[Reading]:
    """Readings that give the same text count once.

    ``single``: how many readings, first, are single-byte ones. Groups that
    read ASCII bytes as ASCII give distinct texts (they read the high bytes
    otherwise), and a text of as many characters as bytes comes only from a
    single-byte code page or from a multi-byte codec reading every byte
    alone: when no other reading has that length and no single-byte one
    reading ASCII bytes otherwise gives a text of the others, no text needs
    hashing.
    """
    if single:
        first = readings[:single]
        size = len(first[0].text)
        if all(len(reading.text) != size for reading in readings[single:]):
            changers = [reading for reading in first if reading.codecs[0].encoding in _ASCII_CHANGERS]
            fixed = [reading for reading in first if reading.codecs[0].encoding not in _ASCII_CHANGERS]
            if not any(changer.text == other.text for changer in changers for other in fixed):
                return first + _merge(readings[single:])
    merged: dict[str, Reading] = {}
    for reading in readings:
        kept = merged.get(reading.text)
        if kept is None:
            merged[reading.text] = reading
        else:
            kept.codecs.extend(reading.codecs)
            kept.fit = max(kept.fit, reading.fit)
    return list(merged.values())


def _finish(readings: list[Reading], top: int) -> list[Reading]:
    if len(readings) == 1:
        # Nothing to rank: the guess needs only its mess (its confidence
        # comes from the mess alone without a runner-up).
        readings[0].mess = _mess(_feature_text(readings[0].text, MESS_TEXT_LIMIT))
        return readings
    # The letter fit first (single-byte readings have it from their bytes):
    # the mess (a native call on every reading) is then judged in order of
    # fit, and not at all for readings whose fit alone puts them out of reach.
    fitted = []
    for reading in readings:
        if reading.fit_codecs != len(reading.codecs):
            head = _feature_text(reading.text)
            reading.fit, reading.high_fit = text_fit(
                non_ascii(head), [codec.encoding for codec in reading.codecs], ascii_letter_count(head)
            )
        fitted.append((FIT_WEIGHT * (1.0 - reading.fit) + HIGH_FIT_WEIGHT * (1.0 - reading.high_fit), reading))
    fitted.sort(key=_FIRST)
    from vexlora.murkel import mess_ratio

    best_cheap = math.inf
    judged = []
    for fit_term, reading in fitted:
        if fit_term > best_cheap + FIT_REACH:
            # best_cheap stays: every later reading (no better fit) is out of reach too.
            for later_fit, later in fitted[len(judged) :]:
                later.score = UNJUDGED_SCORE + later_fit
            break
        # A long text's mess is judged on a window of it (where its
        # non-ASCII characters start): the readings differ only there, and
        # the cost stays flat for long samples. (``_mess``, inline.)
        text = reading.text
        if len(text) > MESS_TEXT_LIMIT:
            text = _feature_text(text, MESS_TEXT_LIMIT)
        mess = reading.mess = mess_ratio(text, 1.0)
        if mess + fit_term < best_cheap:
            best_cheap = mess + fit_term
        judged.append((fit_term, reading))
    least = min(reading.mess for _, reading in judged)
    limit = least + CONTENDER_WINDOW
    contenders = []
    for fit_term, reading in judged:
        if reading.mess > limit:
            # Far messier than the best: no later signal makes up for it.
            reading.score = reading.mess + FIT_WEIGHT + HIGH_FIT_WEIGHT + 1.0
            continue
        reading.score = reading.mess + fit_term
        contenders.append(reading)
    # The costlier signals only for the readings that the cheap ones leave in
    # the race. They never lower a score by more than the prior's weight, so
    # a reading whose cheap score already exceeds the best full score by more
    # than that cannot win and keeps its cheap score (plus one: it ranks after).
    contenders.sort(key=_SCORE)
    best = math.inf
    featured = []
    for position, reading in enumerate(contenders):
        if position < FEATURE_LIMIT and reading.score - PRIOR_WEIGHT <= best:
            head = _feature_text(reading.text)
            _features(reading, head)
            # Without the coherence yet: its term adds 0..COHERENCE_WEIGHT.
            reading.score = _score(reading, 1.0)
            best = min(best, reading.score + COHERENCE_WEIGHT)
            featured.append((reading, head))
        else:
            reading.score += 1.0
    # Coherence (a native call, the costliest signal) only where it can
    # change the winner or its confidence (which a lead of CONFIDENT_LEAD
    # saturates); elsewhere its term is taken at its worst.
    for reading, head in featured:
        if reading.score <= best + CONFIDENT_LEAD:
            _coherence(reading, head)
        reading.score = _score(reading)
    readings.sort(key=_SCORE)
    kept = readings[: max(top, 2)]
    for reading in kept:
        if reading.score >= UNJUDGED_SCORE:
            reading.mess = _mess(_feature_text(reading.text, MESS_TEXT_LIMIT))
    return kept


_FIRST = operator.itemgetter(0)
_SCORE = operator.attrgetter("score")

_FIRST_NON_ASCII = re.compile(r"[^\x00-\x7f]")


def _feature_span(text: str, limit: int) -> tuple[int, int]:
    """Where the part of a long text the text-level signals judge starts and ends: just before its first
    non-ASCII character.

    Readings differ only where non-ASCII characters are, so a window that
    starts in a long ASCII stretch would see no difference.
    """
    match = _FIRST_NON_ASCII.search(text)
    start = max(0, min(match.start() - 100, len(text) - limit)) if match else 0
    return start, start + limit


def _feature_text(text: str, limit: int | None = None) -> str:
    """The part of a long text the text-level signals judge (see ``_feature_span``); ``limit``: its length
    (default ``FEATURE_TEXT_LIMIT``, the window ``_features`` expects)."""
    if limit is None:
        limit = FEATURE_TEXT_LIMIT
    if len(text) <= limit:
        return text
    start, end = _feature_span(text, limit)
    return text[start:end]


def _features(reading: Reading, head: str) -> None:
    words = None
    classes = None
    kinds = None
    hits = None
    non_ascii = None
    if reading.raw:
        views = byte_views(_table(reading.codecs[0].encoding))
        if views is not None:
            if head is reading.text:
                window = _window(reading.raw, 0, len(reading.raw))
            else:
                window = _window(reading.raw, *_feature_span(reading.text, FEATURE_TEXT_LIMIT))
            classes = views.class_string(window.data)
            kinds = views.class_set(window.distinct)
            if views.high_apart:
                non_ascii = window.high
            if views.ascii_in_place:
                if window.words is None:
                    window.words = shared_words(window.data)
                found = views.shared_words(window.words)
                if found is not None:
                    words, hits = found
            else:
                words = views.words(window.data)
    if non_ascii is None:
        non_ascii = len(head) - len(head.encode("ascii", "ignore"))
    reading.faults = context_faults(head, non_ascii, classes, kinds)
    if words is None:
        words = words_of(head)
    if hits is None:
        hits = word_hits(words)
    if head is reading.text and len(head) <= LANGUAGE_TEXT_LIMIT:
        reading.language_input = None, words
        reading.word_hits = hits
    reading.words = served_word_share(words, [codec.encoding for codec in reading.codecs], hits)


class _Window:
    """The bytes of a single-byte payload that the text-level signals judge, and what every page's reading of
    them shares: their distinct bytes, and ``SharedWords`` once asked for."""

    __slots__ = ("payload", "start", "end", "data", "distinct", "high", "words")

    def __init__(self, payload: bytes, start: int, end: int) -> None:
        self.payload = payload
        self.start = start
        self.end = end
        self.data = payload[start:end] if start or end < len(payload) else payload
        self.distinct = _distinct(self.data)
        self.high = len(self.data) - len(self.data.translate(None, _HIGH))  # its bytes above ASCII
        self.words: SharedWords | None = None


# The window last asked for: the readings of one payload share it.
_LAST_WINDOW = _Window(b"", 0, 0)


def _window(payload: bytes, start: int, end: int) -> _Window:
    global _LAST_WINDOW
    last = _LAST_WINDOW
    if last.payload is payload and last.start == start and last.end == end:
        return last
    window = _LAST_WINDOW = _Window(payload, start, end)
    return window


def _coherence(reading: Reading, head: str) -> None:
    from vexlora.tessaly import coherence_ratio

    if reading.mess < 0.3 or reading.language_input is not None:
        ranked = coherence_ratio(head, 0.1, None)
        if reading.mess < 0.3:
            reading.coherence = ranked[0][1] if ranked else 0.0
        if reading.language_input is not None:
            reading.language_input = ranked, reading.language_input[1]


def _score(reading: Reading, coherence: float | None = None) -> float:
    return (
        reading.mess
        + FIT_WEIGHT * (1.0 - reading.fit)
        + HIGH_FIT_WEIGHT * (1.0 - reading.high_fit)
        + sum(map(operator.mul, FAULT_WEIGHTS, reading.faults))
        + COHERENCE_WEIGHT * (1.0 - (reading.coherence if coherence is None else coherence))
        + WORD_WEIGHT * (WORD_SHARE_CAP - min(WORD_SHARE_CAP, reading.words))
        - PRIOR_WEIGHT * reading.codec.prior
    )


_TABLES: dict[str, str] = {}
_ASCII_CHANGERS = frozenset(
    codec.encoding for codec in SINGLE_BYTE if _ASCII.decode(codec.encoding, "replace") != _ASCII.decode("ascii")
)


def _table(encoding: str) -> str:
    """The 256 characters a single-byte code page reads (U+FFFD where undefined)."""
    table = _TABLES.get(encoding)
    if table is None:
        table = _TABLES[encoding] = bytes(range(256)).decode(encoding, "replace")
    return table


def languages_of(reading: Reading) -> tuple[tuple[str, float], ...]:
    """``rank_languages`` of a reading, reusing the coherence and words its ranking computed."""
    from vexlora.tessaly import coherence_ratio

    known = reading.language_input
    if known is not None and known[0] is not None:
        return rank_languages(reading.text, known=(known[0], known[1]), hits=reading.word_hits)
    text = reading.text[:LANGUAGE_TEXT_LIMIT]
    hits = None
    if known is not None:
        words = known[1]
        hits = reading.word_hits
    else:
        views = byte_views(_table(reading.codecs[0].encoding)) if reading.raw else None
        found = views.words(reading.raw[:LANGUAGE_TEXT_LIMIT]) if views is not None else None
        words = found if found is not None else words_of(text)
    return rank_languages(text, known=(coherence_ratio(text, 0.1, None), words), hits=hits)
