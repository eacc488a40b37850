"""What the detector knows about languages: alphabets, served languages, words.

Everything here is derived from the language profiles (``FREQUENCIES``) and
the generated word lists (``_language_words.WORDS``), never from the texts the
detector is measured on.
"""

from __future__ import annotations

import re
from collections import Counter
from collections.abc import Iterable
from functools import cache

from vexlora._language_words import WORDS
from vexlora.constant import FREQUENCIES

__all__ = ["alphabet", "served_languages", "codec_fit", "context_faults", "rank_languages"]

# Non-ASCII characters every script's text uses: typographic quotes, dashes,
# spaces, bullets, currency. They say nothing about the code page, so the fit
# ignores them.
NEUTRAL = frozenset("\u00a0«»“”„‘’‚‹›–—…•·°€£¥§©®™¿¡×\u200b\u200c\u200d\u200e\u200f\u2009\u202f\ufeff")
# Characters that may sit between two letters of one word.
_JOINERS = frozenset("’'ʼ‐-·\u00ad\u200c\u200d")

_HAN = "Chinese"
_UNSPACED_SCRIPTS = {"Chinese": "han", "Japanese": "japanese", "Korean": "hangul"}


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
    """The letters of a language's profile, in both cases."""
    letters = FREQUENCIES[language]
    return frozenset(letters) | frozenset(letters.upper()) | frozenset(ch.upper() for ch in letters)


@cache
def _accepts(language: str) -> frozenset[str]:
    """Scripts whose every character counts as fitting the language (large scripts)."""
    return {"Chinese": frozenset({"han"}), "Japanese": frozenset({"han", "kana"}),
            "Korean": frozenset({"hangul", "han"})}.get(language, frozenset())


def fits(language: str, character: str) -> bool:
    return character in alphabet(language) or script_of(character) in _accepts(language)


@cache
def served_languages(encoding: str) -> tuple[str, ...]:
    """The languages whose letters the codec can (nearly all) write."""
    served = []
    for language, letters in FREQUENCIES.items():
        sample = letters if language not in _UNSPACED_SCRIPTS else letters[:60]
        carried = 0
        for letter in sample:
            try:
                letter.encode(encoding)
                carried += 1
            except UnicodeEncodeError:
                pass
        if carried >= 0.9 * len(sample):
            served.append(language)
    return tuple(served)


def non_ascii_counts(text: str) -> Counter[str]:
    return Counter(_NON_ASCII.findall(text))


_NON_ASCII = re.compile(r"[^\x00-\x7f]")


def codec_fit(characters: Iterable[tuple[str, int]], encoding: str) -> float:
    """How well the non-ASCII characters of a decoding fit one language the codec serves (0..1).

    ``characters`` gives each distinct non-ASCII character with its count.
    """
    counted = [(ch, n) for ch, n in characters if ch not in NEUTRAL and not ch.isspace()]
    total = sum(n for _, n in counted)
    if not total:
        return 1.0
    best = 0.0
    for language in served_languages(encoding):
        share = sum(n for ch, n in counted if fits(language, ch)) / total
        if share > best:
            best = share
            if best >= 1.0:
                break
    return best


def context_faults(text: str, limit: int = 4000) -> float:
    """Share of non-ASCII characters that sit where real text never puts them.

    Counted: a letter of one script touching a letter of another, a capital
    right after a small letter inside a word, a symbol between two letters,
    and the final sigma inside a word.
    """
    faults = 0
    seen = 0
    last = len(text) - 1
    for match in _NON_ASCII.finditer(text):
        seen += 1
        if seen > limit:
            break
        index = match.start()
        character = text[index]
        before = text[index - 1] if index else " "
        after = text[index + 1] if index < last else " "
        if character.isalpha():
            script = script_of(character)
            if before.isalpha() and script_of(before) != script and script != "other":
                faults += 1
            elif after.isalpha() and script_of(after) != script and script != "other":
                faults += 1
            elif character.isupper() and before.islower():
                faults += 1
            elif character.islower() and after.isupper() and after.isalpha() and index + 2 <= last \
                    and text[index + 2].islower():
                faults += 1
            elif character == "ς" and after.isalpha():
                faults += 1
        elif before.isalpha() and after.isalpha() and character not in _JOINERS and not character.isspace() \
                and not character.isdigit() and not _is_mark(character):
            faults += 1
    return faults / seen if seen else 0.0


def _is_mark(character: str) -> bool:
    import unicodedata

    return unicodedata.category(character).startswith("M")


_WORD = re.compile(r"[^\W\d_]+")


@cache
def _word_set(language: str) -> frozenset[str]:
    return frozenset(WORDS.get(language, ()))


def word_share(words: list[str], language: str) -> float:
    known = _word_set(language)
    if not words or not known:
        return 0.0
    return sum(word in known for word in words) / len(words)


def letter_fit(letters: Counter[str], language: str) -> float:
    total = sum(letters.values())
    if not total:
        return 0.0
    return sum(n for ch, n in letters.items() if fits(language, ch)) / total


def rank_languages(text: str, limit: int = 3) -> tuple[tuple[str, float], ...]:
    """The languages of a decoded text, best first, with a 0..1 score."""
    from vexlora.tessaly import coherence_ratio

    ranked = coherence_ratio(text, 0.1, None)
    letters = Counter(ch for ch in text[:20000] if ch.isalpha())
    if not letters:
        return ()
    words = [word.lower() for word in _WORD.findall(text[:20000])]
    if not ranked:
        # Too little text for the coherence test: judge by letters and words.
        ranked = [(language, 0.0) for language in FREQUENCIES]
    scored = []
    fit_of = {language: letter_fit(letters, language) for language, _ in ranked}
    best_fit = max(fit_of.values())
    for language, ratio in ranked:
        fit = fit_of[language]
        if fit < best_fit - 0.02:
            continue
        scored.append((ratio + 0.6 * word_share(words, language) + fit - best_fit, language, ratio))
    scored.sort(key=lambda item: -item[0])
    return tuple((language, round(ratio, 4)) for _, language, ratio in scored[:limit])
