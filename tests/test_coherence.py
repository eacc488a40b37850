"""coherence_ratio: languages a decoded text is coherent with."""

import math

import pytest
from hypothesis import given, settings, strategies as st

import vexlora.tessaly as tessaly
from vexlora.constant import FREQUENCIES, TOO_SMALL_SEQUENCE
from vexlora.tessaly import coherence_ratio

from support import coherence_restated, popular

ENGLISH = (
    "The quick brown fox jumps over the lazy dog while the farmer watches from his porch "
    "and thinks about the weather, the harvest and the price of wheat at the market. "
)
RUSSIAN = (
    "Быстрая коричневая лиса прыгает через ленивую собаку, а фермер смотрит с крыльца "
    "и думает о погоде, об урожае и о цене пшеницы на рынке. "
)
FRENCH = (
    "L'été dernier, nous sommes allés à la fête du village ; les enfants ont dansé jusqu'à l'aube "
    "et les élèves ont écouté la musique près de la rivière. "
)


# --- results ---------------------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "text", ["", "1234 5678 !!! ...", "\ud800\udfff" * 50, "short words", "x" * TOO_SMALL_SEQUENCE + " 12", "ab " * 200]
)
def test_nothing_to_score(text):
    # No letters, layers of at most TOO_SMALL_SEQUENCE letters, or too little of any alphabet.
    assert coherence_ratio(text) == []


@pytest.mark.parametrize("text, best", [(ENGLISH * 3, "English"), (RUSSIAN * 3, "Russian")])
def test_clear_texts(text, best):
    result = coherence_ratio(text)
    assert result[0] == (best, 1.0)
    assert result == coherence_restated(text)


@pytest.mark.parametrize("text", [ENGLISH, FRENCH, FRENCH + RUSSIAN + ENGLISH, (FRENCH + RUSSIAN) * 40])
@pytest.mark.parametrize("threshold", [0.0, 0.1, 0.95])
@pytest.mark.parametrize(
    "lg_inclusion",
    [
        None,
        "Latin Based",
        "Russian,English",
        "English,English,English,Russian",
        "Latin Based,Russian",
        "French," * 60 + "Russian",
    ],
)
def test_matches_restatement(text, threshold, lg_inclusion):
    assert coherence_ratio(text, threshold, lg_inclusion) == coherence_restated(text, threshold, lg_inclusion)


# Letters of every profile, some repeated, plus non-BMP letters, surrogates and separators.
ALPHABET = sorted(set("".join(FREQUENCIES.values()))) + ["\U00010428", "\U0001d4d0", "\ud800", " ", "é"]


@settings(max_examples=120, deadline=None)
@given(
    st.lists(st.sampled_from(ALPHABET), min_size=0, max_size=900).map("".join),
    st.sampled_from([0.0, 0.1, 0.3]),
    st.sampled_from([None, "Latin Based", "English,German"]),
)
def test_property_matches_restatement(text, threshold, lg_inclusion):
    assert coherence_ratio(text, threshold, lg_inclusion) == coherence_restated(text, threshold, lg_inclusion)


@settings(max_examples=60, deadline=None)
@given(st.lists(st.sampled_from("abcdefghij"), min_size=TOO_SMALL_SEQUENCE + 1, max_size=200).map("".join))
def test_tied_counts_keep_first_appearance(text):
    # Few distinct letters: many ties, where the popularity order decides the ratios.
    languages = ",".join(list(FREQUENCIES)[:8])
    assert coherence_ratio(text, 0.0, languages) == coherence_restated(text, 0.0, languages)


def test_large_alphabet_layer():
    # Thousands of distinct characters in one layer exercise the long ordering path.
    cjk = "".join(chr(0x4E00 + (i * 7919) % 6000) for i in range(30000))
    assert coherence_ratio(cjk, 0.0) == coherence_restated(cjk, 0.0)


def test_threshold_boundary():
    text = ENGLISH * 2
    ordered = popular(tessaly.alpha_unicode_split(text)[0])
    ratio, language = next(
        (r, name) for name in FREQUENCIES if 0.0 < (r := tessaly.characters_popularity_compare(name, ordered)) < 1.0
    )
    assert coherence_ratio(text, ratio, language) == [(language, round(ratio, 4))]
    assert coherence_ratio(text, math.nextafter(ratio, 1.0), language) == []


def test_sufficient_matches_are_counted_over_the_whole_call():
    cyrillic = coherence_ratio(RUSSIAN * 3)
    latin = coherence_ratio(ENGLISH * 3)
    assert sum(ratio >= 0.8 for _, ratio in latin) >= 3 and len(cyrillic) >= 2
    # Once the Latin layer has three, the Cyrillic layer adds only its first acceptable candidate.
    both = coherence_ratio(ENGLISH * 3 + RUSSIAN * 3)
    cyrillic_names = {name for name, _ in cyrillic}
    assert len([name for name, _ in both if name in cyrillic_names]) == 1
    assert both == coherence_restated(ENGLISH * 3 + RUSSIAN * 3)


def test_latin_based_restricts_automatic_candidates():
    assert coherence_ratio(RUSSIAN * 3, 0.0, "Latin Based") == []
    # A named language is scored as it is, without the alphabet or accent filters.
    assert [name for name, _ in coherence_ratio(RUSSIAN * 3, 0.0, "Latin Based,English")] == ["English"]


# --- bad input -------------------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "args, kwargs, error, message",
    [
        ((ENGLISH,), {"lg_inclusion": "English, German"}, ValueError, "^ German not available$"),
        ((ENGLISH,), {"lg_inclusion": ""}, ValueError, "^ not available$"),
        ((ENGLISH,), {"lg_inclusion": "Latin Based,Latin Based"}, ValueError, "^Latin Based not available$"),
        ((None,), {"lg_inclusion": "Klingon"}, ValueError, "^Klingon not available$"),  # before the text is touched
        ((None,), {}, TypeError, r"^object of type 'NoneType' has no len\(\)$"),
        ((b"text",), {}, TypeError, r"^Argument 'decoded_sequence' has incorrect type \(expected str, got bytes\)$"),
        (
            ("text",),
            {"lg_inclusion": ["English"]},
            TypeError,
            r"^Argument 'lg_inclusion' has incorrect type \(expected str, got list\)$",
        ),
        (("text", "high"), {}, TypeError, "must be real number"),
        ((ENGLISH,), {"threshold": 1}, None, None),
        ((), {}, TypeError, r"^coherence_ratio\(\) takes at least 1 positional argument \(0 given\)$"),
        (("a", 0.1, None, 1), {}, TypeError, r"^coherence_ratio\(\) takes at most 3 positional arguments \(4 given\)$"),
        (("a",), {"text": "a"}, TypeError, "unexpected keyword argument 'text'"),
    ],
)
def test_arguments(args, kwargs, error, message):
    if error is None:
        assert coherence_ratio(*args, **kwargs) == coherence_restated(*args, **kwargs)
        return
    with pytest.raises(error, match=message):
        coherence_ratio(*args, **kwargs)


class Rebinding:
    """A TOO_SMALL_SEQUENCE that rebinds a module global while a layer is being judged."""

    def __init__(self, name, value):
        self.name, self.value = name, value

    def __ge__(self, length):
        setattr(tessaly, self.name, self.value)
        return False


@pytest.mark.parametrize(
    "table, error, message",
    [
        ([], ValueError, "^_ASCII_CHAR_INFO must hold 128 CharInfo records, got a list of 0$"),
        ([None] * 128, TypeError, "^Cannot convert NoneType to vexlora.murkel.CharInfo$"),
        ({}, TypeError, "^Expected list, got dict$"),
    ],
)
def test_rebound_ascii_table_refused(monkeypatch, table, error, message):
    # The split has already read the real table; candidate selection must check the rebound one.
    monkeypatch.setattr(tessaly, "TOO_SMALL_SEQUENCE", Rebinding("_ASCII_CHAR_INFO", table))
    monkeypatch.setattr(tessaly, "_ASCII_CHAR_INFO", tessaly._ASCII_CHAR_INFO)
    with pytest.raises(error, match=message):
        coherence_ratio(ENGLISH * 2)


@pytest.mark.parametrize("name", ["TOO_SMALL_SEQUENCE", "itemgetter"])
def test_missing_global(monkeypatch, name):
    monkeypatch.delattr(tessaly, name)
    with pytest.raises(NameError, match=f"^name '{name}' is not defined$"):
        coherence_ratio(ENGLISH * 2)


@pytest.mark.parametrize("failing", [False, True])
def test_buffers_released(monkeypatch, failing):
    # Layers far above the stack size and more requested names than languages
    # take the allocated paths; neither success nor failure may keep memory.
    import tracemalloc

    text = (FRENCH + RUSSIAN) * 200
    lg_inclusion = None if failing else "French," * 60 + "Russian"

    def call():
        if failing:
            monkeypatch.setattr(tessaly, "TOO_SMALL_SEQUENCE", Rebinding("_ASCII_CHAR_INFO", []))
            monkeypatch.setattr(tessaly, "_ASCII_CHAR_INFO", tessaly._ASCII_CHAR_INFO)
            with pytest.raises(ValueError):
                coherence_ratio(text, 0.1, lg_inclusion)
            monkeypatch.undo()
        else:
            coherence_ratio(text, 0.1, lg_inclusion)

    call()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(10):
            call()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert grown < len(text)  # one leaked layer buffer alone would be several times this
