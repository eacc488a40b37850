"""Shape and quality of the generated language data.

The quality checks run on held-out text (tests/data/heldout*/: two sets from
unrelated programs' translations), not on the text the profiles were
generated from.
"""

from __future__ import annotations

import importlib.util
import pathlib
import unicodedata

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
HELDOUT_SETS = ("heldout", "heldout2")


def _load_data():
    # Loaded from its file so that these tests need no built extension.
    path = ROOT / "src" / "vexlora" / "_language_data.py"
    spec = importlib.util.spec_from_file_location("_language_data_under_test", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


DATA = _load_data()
FREQUENCIES = DATA.FREQUENCIES
COMMON_CJK_CHARACTERS = DATA.COMMON_CJK_CHARACTERS

LANGUAGES = [
    "English", "German", "French", "Dutch", "Italian", "Polish", "Spanish",
    "Russian", "Japanese", "Portuguese", "Swedish", "Chinese", "Ukrainian",
    "Norwegian", "Finnish", "Vietnamese", "Czech", "Hungarian", "Korean",
    "Indonesian", "Turkish", "Romanian", "Persian", "Arabic", "Danish",
    "Serbian", "Lithuanian", "Slovene", "Slovak", "Hebrew", "Bulgarian",
    "Croatian", "Hindi", "Estonian", "Thai", "Greek", "Tamil", "Catalan",
    "Latvian", "Macedonian", "Bengali",
]  # fmt: skip

# The script every letter of a profile must belong to (start of the Unicode
# character name); Japanese mixes kana and kanji.
SCRIPT = {
    "Russian": ("CYRILLIC",), "Ukrainian": ("CYRILLIC",), "Serbian": ("CYRILLIC",),
    "Bulgarian": ("CYRILLIC",), "Macedonian": ("CYRILLIC",), "Greek": ("GREEK",),
    "Hebrew": ("HEBREW",), "Arabic": ("ARABIC",), "Persian": ("ARABIC",),
    "Hindi": ("DEVANAGARI",), "Bengali": ("BENGALI",), "Tamil": ("TAMIL",),
    "Thai": ("THAI",), "Korean": ("HANGUL",), "Chinese": ("CJK",),
    "Japanese": ("CJK", "HIRAGANA", "KATAKANA", "IDEOGRAPHIC"),
}  # fmt: skip
LARGE_WRITING_SYSTEMS = {"Chinese", "Japanese", "Korean"}

# Letters whose absence or presence is what tells a language apart from its
# neighbours and that its texts show often; losing one of them in a
# regeneration is a real regression.
DISTINCTIVE = {
    "German": ("ä", "ö", "ü", "ß"),
    "French": ("é", "è", "à", "ê"),
    "Spanish": ("ñ", "á", "í", "ó"),
    "Portuguese": ("ã", "ç", "á", "ê"),
    "Polish": ("ą", "ę", "ł", "ś", "ż", "ń"),
    "Czech": ("ř", "ě", "ů"),
    "Slovak": ("ľ", "ô", "ť"),
    "Hungarian": ("ő", "ű"),
    "Romanian": ("ă", "ș", "ț", "ş", "ţ", "î", "â"),
    "Turkish": ("ı", "ğ", "ş", "ç"),
    "Ukrainian": ("і", "ї", "є"),
    "Serbian": ("ђ", "ћ", "ј", "љ", "њ"),
    "Macedonian": ("ѓ", "ќ", "ј"),
    "Greek": ("ς", "ά", "ώ"),
    "Estonian": ("õ", "ä", "ü"),
    "Latvian": ("ā", "ē", "ī", "ū", "ļ", "ņ"),
    "Lithuanian": ("ą", "ė", "į", "ų", "ū"),
    "Vietnamese": ("đ", "ư", "ơ", "ế", "ộ"),
    "Persian": ("پ", "چ", "گ", "ی", "ک"),
}  # fmt: skip
# Letters of the language that most of its texts never show (a share of well
# under 0.15 %): listing them would lower the share of the profile that the
# language's own texts cover, and let neighbours with smaller profiles be
# tried first.
RARE = {
    "French": ("œ", "ï", "û", "ù"),
    "Portuguese": ("õ", "ô", "â"),
    "Spanish": ("ü",),
    "Dutch": ("ï",),
    "Slovak": ("ĺ", "ŕ"),
    "Macedonian": ("ѕ",),
    "Russian": ("ё",),
}  # fmt: skip
FOREIGN = {
    "Ukrainian": ("ы", "э", "ъ"),
    "Russian": ("і", "ї", "є", "ъ"),
    "Bulgarian": ("ы", "э"),
    "Serbian": ("й", "я", "ю"),
    "English": ("ä", "ö", "ü", "ñ"),
    "Indonesian": ("é",),
    "Arabic": ("پ", "چ", "گ"),
}  # fmt: skip


def test_languages_in_fixed_order():
    assert list(FREQUENCIES) == LANGUAGES


@pytest.mark.parametrize("language", LANGUAGES)
def test_profile_shape(language):
    profile = FREQUENCIES[language]
    assert type(profile) is str
    assert 0 < len(profile) <= 255
    assert len(set(profile)) == len(profile), "repeated character"
    assert all(ord(ch) <= 0xFFFF for ch in profile), "character outside the BMP"
    assert all(ch.isalpha() for ch in profile), [ch for ch in profile if not ch.isalpha()]
    assert profile == profile.lower()


@pytest.mark.parametrize("language", LANGUAGES)
def test_profile_written_in_its_script(language):
    prefixes = SCRIPT.get(language, ("LATIN",))
    stray = [ch for ch in FREQUENCIES[language] if not unicodedata.name(ch).startswith(prefixes)]
    assert not stray


@pytest.mark.parametrize("language", LANGUAGES)
def test_profile_size_fits_its_writing_system(language):
    size = len(FREQUENCIES[language])
    if language in LARGE_WRITING_SYSTEMS:
        assert size == 255
    else:
        # The letters a short text shows, topped up to 27: profiles of 26 or
        # fewer are scored by a stricter rule than every other alphabet's.
        # Indonesian writes only 25 letters more often than 1 in 10,000.
        assert (25 if language == "Indonesian" else 27) <= size <= 100


@pytest.mark.parametrize(("language", "letters"), sorted(DISTINCTIVE.items()), ids=sorted(DISTINCTIVE))
def test_distinctive_letters_present(language, letters):
    profile = FREQUENCIES[language]
    assert [ch for ch in letters if ch not in profile] == []


@pytest.mark.parametrize(("language", "letters"), sorted(RARE.items()), ids=sorted(RARE))
def test_rare_letters_cut(language, letters):
    profile = FREQUENCIES[language]
    assert [ch for ch in letters if ch in profile] == []


@pytest.mark.parametrize(("language", "letters"), sorted(FOREIGN.items()), ids=sorted(FOREIGN))
def test_letters_of_other_languages_absent(language, letters):
    profile = FREQUENCIES[language]
    assert [ch for ch in letters if ch in profile] == []


@pytest.mark.parametrize(
    ("language", "leading"),
    [
        ("English", "e"), ("German", "e"), ("Spanish", "e"), ("Italian", "e"),
        ("Russian", "о"), ("Ukrainian", "о"), ("Japanese", "の"), ("Chinese", "的"),
        ("Arabic", "ا"), ("Hebrew", "י"), ("Greek", "α"), ("Finnish", "a"),
    ],
)  # fmt: skip
def test_most_frequent_letter_leads_the_profile(language, leading):
    # Every profile is ordered by measured frequency; these are the letters
    # every frequency count of these languages puts first (or nearly).
    assert leading in FREQUENCIES[language][:3]


@pytest.mark.parametrize(
    ("language", "common", "rare"),
    [("English", "t", "z"), ("French", "é", "œ"), ("German", "n", "q"), ("Polish", "a", "ź"),
     ("Russian", "н", "щ"), ("Korean", "이", "뷰"), ("Chinese", "是", "鸟")],
)  # fmt: skip
def test_frequency_order(language, common, rare):
    profile = FREQUENCIES[language]
    if rare in profile:
        assert profile.index(common) < profile.index(rare)
    else:
        assert common in profile


# --- common CJK characters -------------------------------------------------


def _is_han(ch):
    return unicodedata.name(ch, "").startswith(("CJK UNIFIED IDEOGRAPH", "CJK COMPATIBILITY IDEOGRAPH"))


def test_common_cjk_is_a_frozenset_of_ideographs():
    assert type(COMMON_CJK_CHARACTERS) is frozenset
    assert 3000 <= len(COMMON_CJK_CHARACTERS) <= 5500
    assert all(type(ch) is str and len(ch) == 1 for ch in COMMON_CJK_CHARACTERS)
    assert [ch for ch in COMMON_CJK_CHARACTERS if not _is_han(ch)] == []


@pytest.mark.parametrize(
    "characters",
    ["的是不了人我在有他这", "們說國會這時對長", "日本語私東京円駅", "中国语言学习"],
    ids=["simplified", "traditional", "japanese-kanji", "everyday"],
)
def test_everyday_characters_are_common(characters):
    assert [ch for ch in characters if ch not in COMMON_CJK_CHARACTERS] == []


@pytest.mark.parametrize("characters", ["龘靐齉爩", "\u3400\u3401\u4db5"], ids=["archaic", "extension-a"])
def test_rare_characters_are_not_common(characters):
    assert [ch for ch in characters if ch in COMMON_CJK_CHARACTERS] == []


def test_top_profile_characters_are_common():
    for language in ("Chinese", "Japanese"):
        han = [ch for ch in FREQUENCIES[language] if _is_han(ch)]
        assert han and all(ch in COMMON_CJK_CHARACTERS for ch in han)


# --- held-out text ---------------------------------------------------------


def _samples(language, sample_set="heldout"):
    text = (ROOT / "tests" / "data" / sample_set / f"{language.lower()}.txt").read_text(encoding="utf-8")
    return [part for part in text.split("\n\n") if part.strip()]


def _coverage(profile, letters):
    return sum(ch in letters for ch in profile) / len(profile)


HELDOUT_CASES = [
    pytest.param(sample_set, language, index, id=f"{sample_set}-{language}-{index}")
    for sample_set in HELDOUT_SETS
    for language in LANGUAGES
    for index in range(len(_samples(language, sample_set)))
]


@pytest.mark.parametrize("sample_set", HELDOUT_SETS)
def test_every_language_has_heldout_samples(sample_set):
    for language in LANGUAGES:
        samples = _samples(language, sample_set)
        assert len(samples) >= 3, language
        assert all(len(sample) >= 500 for sample in samples), language


@pytest.mark.parametrize(("sample_set", "language", "index"), HELDOUT_CASES)
def test_heldout_coverage(sample_set, language, index):
    letters = {ch for ch in _samples(language, sample_set)[index].lower() if ch.isalpha()}
    coverages = {name: _coverage(profile, letters) for name, profile in FREQUENCIES.items()}
    own = coverages[language]
    # The right language passes the candidate floor with a wide margin...
    assert own >= 0.4
    # ...and its coverage is at or near the best.  Coverage alone cannot
    # separate close alphabets (a text covers a neighbour's shorter profile as
    # well as its own longer one), so "near" allows for that; it fails when a
    # profile misses letters its own text uses or carries letters it does not.
    assert own >= 0.75 * max(coverages.values())


@pytest.mark.parametrize(("sample_set", "language", "index"), HELDOUT_CASES)
def test_heldout_letters_are_in_profile(sample_set, language, index):
    # The letters a sample uses are nearly all in its language's profile; a
    # profile cut too short (or built from the wrong script) fails here.
    letters = [ch for ch in _samples(language, sample_set)[index].lower() if ch.isalpha()]
    profile = set(FREQUENCIES[language])
    inside = sum(ch in profile for ch in letters) / len(letters)
    # 255 characters cover only part of a text in a large writing system;
    # the rare letters an alphabetic profile leaves out make up under 1 % of
    # running text, except for Vietnamese's long tail of tone-marked letters.
    limit = {"Chinese": 0.45, "Japanese": 0.75, "Korean": 0.75, "Vietnamese": 0.97}.get(language, 0.985)
    assert inside >= limit


def _coherence_ratio():
    try:
        import vexlora.tessaly as tessaly
    except Exception:
        return None
    return getattr(tessaly, "coherence_ratio", None)


# Pairs the popularity comparison cannot separate on letters alone: the
# later language's letters are (nearly) a subset of the earlier one's
# (Dutch of English, Finnish of Swedish, Danish of Norwegian) and both score
# the same, so the earlier language in FREQUENCIES ranks first.
_TIED_WITH_EARLIER = {"Danish", "Finnish", "Dutch"}

# Known misses.  Each sample shows loanword letters its language's profile
# leaves out (Norwegian é and z, Estonian y and z), so it scores exactly as
# English does, and the equal ratios are then ordered by language, English
# first.  The Indonesian sample has only letters English has too, and
# Indonesian, the one alphabet still short of 27 letters after the top-up,
# is scored by the stricter rule.
_KNOWN_MISSES = {
    ("heldout2", "Norwegian", 0),
    ("heldout2", "Norwegian", 2),
    ("heldout2", "Estonian", 0),
    ("heldout2", "Indonesian", 0),
}


@pytest.mark.parametrize(
    ("sample_set", "language", "index"),
    [
        pytest.param(*case.values, marks=pytest.mark.xfail(strict=True), id=case.id)
        if tuple(case.values) in _KNOWN_MISSES
        else case
        for case in HELDOUT_CASES
    ],
)
def test_heldout_ranked_by_coherence_ratio(sample_set, language, index):
    coherence_ratio = _coherence_ratio()
    if coherence_ratio is None:
        pytest.skip("vexlora.tessaly is not built")
    ranked = coherence_ratio(_samples(language, sample_set)[index])
    names = [name for name, _ratio in ranked]
    assert language in names
    if language in _TIED_WITH_EARLIER:
        top = ranked[0][1]
        assert dict(ranked)[language] == top
    else:
        assert names[0] == language
