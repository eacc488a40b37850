"""The ten detector plugins: counters and ratios, driven through feed_info."""

import ctypes
import gc
import sys

import pytest
from hypothesis import given, settings, strategies as st

import vexlora.murkel as m
from vexlora import constant

from support import PLUGINS, feed

# Uncommon and common CJK ideographs, halfwidth / fullwidth Katakana, Arabic
# isolated form, accented Latin, and symbols of each kind, as the host sees them.
UNCOMMON_CJK, COMMON_CJK = "亅乂乄", "中的一"
HALF_KATAKANA, FULL_KATAKANA = "ｱｲ", "アイ"
ISOLATED_ALEF, ARABIC_BEH = "\ufe8d", "\u0628"


def ratio_of(cls, text):
    return feed(cls(), text).ratio


def set_counter(plugin, index, value):
    """Write the index-th 32-bit field after the object header and method table, as a restored pickle can."""
    ctypes.c_int32.from_address(id(plugin) + sys.getsizeof(object()) + 8 + 4 * index).value = value


W = m.SuperWeirdWordPlugin
TEN_WORDS = "xy " * 10


@pytest.mark.parametrize(
    "cls, text, expected",
    [
        (m.TooManySymbolOrPunctuationPlugin, "!!!!", 0.0),  # a repeat is never counted: 1/4
        (m.TooManySymbolOrPunctuationPlugin, "©a±b×cdefg", 0.6),
        (m.TooManySymbolOrPunctuationPlugin, "!a?b!cdefg", 0.3),
        (m.TooManySymbolOrPunctuationPlugin, "²☺²☺²☺²☺$,$,", 0.0),  # digit, emoticon, safe
        (m.TooManyAccentuatedPlugin, "é" * 7 + "a" * 13, 0.35),
        (m.UnprintablePlugin, "abc\x1bdefghijklmnop", 1.0),
        (m.UnprintablePlugin, "\x00abc", 2.0),
        (m.SuspiciousDuplicateAccentPlugin, "ÉÉ", 2.0),
        (m.SuspiciousDuplicateAccentPlugin, "éé", 1.0),
        (m.SuspiciousDuplicateAccentPlugin, "éà", 0.0),
        (m.SuspiciousRange, "aж" * 6 + "a", 0.0),  # 13 characters say nothing
        (m.SuspiciousRange, "aж" * 7, 2 * 13 / 14),
        (m.SuspiciousRange, "a ж " * 4, 0.0),  # blanks restart the chain
        (W, "éééa ", 0.0),  # bad, but few words, nothing foreign
        (W, "éé1éa " + TEN_WORDS, 4 / 24),  # a digit does not add to the length
        (W, "ab©cd " + TEN_WORDS, 5 / 25),  # a symbol does, and makes it bad
        (W, "ab a¿ cd ", 1.0),  # invalid word
        (W, "ж" + "a" * 23 + " ", 1.0),  # long foreign word
        (W, "ж" + "a" * 23, 0.0),  # ...still open
        (W, "ж" + "A" * 7 + "a" * 16 + " ", 0.0),  # 7/24 upper: camel case
        (W, "ж" + "A" * 8 + "a" * 15 + " ", 1.0),
        (W, "ab中d ", 1.0),  # a lone glyph letter
        (W, "ﬁa² ", 1.0),  # superscript after an inner ligature
        (m.CjkUncommonPlugin, UNCOMMON_CJK, 0.0),
        (m.CjkUncommonPlugin, UNCOMMON_CJK + "亅", 0.05),
        (m.CjkUncommonPlugin, "亅" * 20, 0.2),
        (m.SuspiciousKatakanaPlugin, "ｱｲｱｲ" + UNCOMMON_CJK, 1.0),
        (m.SuspiciousKatakanaPlugin, "ｱｲｱｲア" + UNCOMMON_CJK, 0.0),
        (m.ArchaicUpperLowerPlugin, "ÉéÉé ", 2 / 5),  # 2nd+3rd flips pair up, 4th dropped
        (m.ArchaicUpperLowerPlugin, "ÉéÉé  ", 2 / 6),  # 2nd separator opens a run of 1
        (m.ArchaicUpperLowerPlugin, "AaAa ", 0.0),  # ASCII only
        (m.ArchaicUpperLowerPlugin, "ÉéÉé1", 0.0),  # closed by a digit
        (m.ArchaicUpperLowerPlugin, "Éé" * 32 + "É ", 0.0),  # 65 characters
        (m.ArabicIsolatedFormPlugin, ISOLATED_ALEF * 7, 0.0),
        (m.ArabicIsolatedFormPlugin, ISOLATED_ALEF * 2 + ARABIC_BEH * 6, 0.25),
    ],
)
def test_ratio_examples(cls, text, expected):
    assert ratio_of(cls, text) == pytest.approx(expected, abs=1e-12)


NOISE = "ÉéÉé ©±¿ \x00\x1b亅亅亅亅ｱｲｱｲ" + ISOLATED_ALEF * 8 + "aж" * 7 + "ж" + "a" * 23


@pytest.mark.parametrize(
    "cls, tail, expected",
    [
        (cls, "ÉéÉé abcdefghijklmn ", None)
        for cls in PLUGINS
        if cls not in (m.UnprintablePlugin, m.TooManySymbolOrPunctuationPlugin)
    ]
    + [
        (m.UnprintablePlugin, "\x00", 8 / (len(NOISE) + 1)),  # keeps its character count
        (m.TooManySymbolOrPunctuationPlugin, "aab", 0.0),  # still compares with the last "a"
    ],
)
def test_reset(cls, tail, expected):
    plugin = feed(cls(), NOISE)
    plugin.reset()
    assert feed(plugin, tail).ratio == (ratio_of(cls, tail) if expected is None else pytest.approx(expected))


def test_suspicious_range_counts_an_unknown_block_both_ways():
    unknown, a = m.CharInfo.__new__(m.CharInfo), m._char_info("a")  # range None
    plugin = m.SuspiciousRange()
    for info in [a, unknown] + [a] * 12:
        plugin.feed_info("a", info)
    assert plugin.ratio == pytest.approx(2 * 2 / 14)


@pytest.mark.parametrize("cls", PLUGINS)
def test_uninitialised_record_is_fed_safely(cls):
    plugin = cls()
    for info in [m.CharInfo.__new__(m.CharInfo)] * 20:
        plugin.feed_info("x", info)
    assert plugin.ratio >= 0.0


def test_duplicate_accent_refuses_a_foreign_previous_letter():
    # A restored pickle can leave any object in _last_latin_character (after the header, vtable, 2 ints).
    plugin, e, foreign = feed(m.SuspiciousDuplicateAccentPlugin(), "é"), m._char_info("é"), ["not a record"]
    field = ctypes.c_void_p.from_address(id(plugin) + sys.getsizeof(object()) + 16)
    assert field.value == id(e)
    ctypes.pythonapi.Py_IncRef(ctypes.py_object(foreign))
    field.value = id(foreign)
    ctypes.pythonapi.Py_DecRef(ctypes.py_object(e))
    with pytest.raises(TypeError, match="_last_latin_character must be a vexlora.murkel.CharInfo or None, got list"):
        plugin.feed_info("é", e)
    plugin.reset()
    assert feed(plugin, "éé").ratio == 1.0


@pytest.mark.parametrize(
    "cls, index, text",
    [
        (m.TooManyAccentuatedPlugin, 0, "é"),
        (m.TooManySymbolOrPunctuationPlugin, 1, "©"),
        (W, 5, "ab "),
        (m.ArchaicUpperLowerPlugin, 3, "ÉéÉé "),
        (m.CjkUncommonPlugin, 1, "亅" * 20),
    ],
)
def test_counters_at_the_limit_refuse_to_wrap(cls, index, text):
    plugin = cls()
    set_counter(plugin, index, 2**31 - 1)
    with pytest.raises(OverflowError, match="32-bit counter range"):
        feed(plugin, text)
    assert isinstance(plugin.ratio, float)


def test_super_weird_word_restored_without_characters_reports_zero():
    plugin = W()
    set_counter(plugin, 0, 11)  # eleven words, no character
    assert plugin.ratio == 0.0


@pytest.mark.parametrize("cls", PLUGINS)
def test_only_reference_holders_take_part_in_gc(cls):
    plugin = feed(cls(), "éa")
    holds = {m.SuspiciousDuplicateAccentPlugin: m._char_info("a"), m.SuspiciousRange: m._char_info("a").range}
    assert gc.is_tracked(plugin) == (cls in holds)
    assert cls not in holds or holds[cls] in gc.get_referents(plugin)


def test_feeding_and_resetting_leaks_no_reference():
    records = [m._char_info(ch) for ch in "éaЖ中ｱ ©\x00"]
    watched = records + [r.range for r in records]
    before = [sys.getrefcount(o) for o in watched]
    plugins = [cls() for cls in PLUGINS]
    for i in range(100_000):
        info = records[i % len(records)]
        for plugin in plugins:
            plugin.feed_info(info.character, info)
            plugin.reset()
    del plugins, info, plugin
    assert [sys.getrefcount(o) for o in watched] == before


# --- Plain restatements of the rules, checked against random real records ---


def restated_ratios(seq):
    """Every plugin's ratio after feeding `seq` (a list of records), in PLUGINS order."""
    n = len(seq)
    out = []
    # symbols and punctuation
    punct = sym = 0
    for i, r in enumerate(seq):
        if (i == 0 or r.character != seq[i - 1].character) and not r.safe:
            if r.punct:
                punct += 1
            elif not r.digit and r.sym and not r.emoticon:
                sym += 2
    out.append(0.0 if n == 0 or (punct + sym) / n < 0.3 else (punct + sym) / n)
    acc = sum(r.accentuated for r in seq)
    out.append(0.0 if n < 8 or acc / n < 0.35 else acc / n)
    if any(r.character == "\x1b" for r in seq):
        out.append(1.0)
    else:
        bad = sum(not r.printable and not r.space and r.character not in "\x1a\ufeff" for r in seq)
        out.append(0.0 if n == 0 else bad * 8 / n)
    dup = 0
    for prev, r in zip(seq, seq[1:]):
        if prev.accentuated and r.accentuated:
            dup += (r.upper and prev.upper) + (r.unaccented == prev.unaccented)
    out.append(0.0 if n == 0 else 2 * dup / n)
    changes, last = 0, "unset"
    for r in seq:
        if r.space or r.punct or r.safe:
            last = "unset"
        elif last == "unset":
            last = r.range
        else:
            if (last is None or last != r.range) and m.is_suspiciously_successive_range(last, r.range):
                changes += 1
            last = r.range
    out.append(0.0 if n < 14 else 2 * changes / n)
    out.append(restated_weird_words(seq))
    uncommon = sum(not r.common_cjk for r in seq)
    out.append(0.0 if n < 4 else max(0.0, (2 * uncommon - n) / (80.0 if n < 16 else 5 * n)))
    kata = [r for r in seq if r.is_katakana]
    other = [r for r in seq if not r.is_katakana]
    half = sum(r.is_halfwidth_katakana for r in kata)
    out.append(
        1.0 if half >= 4 and half == len(kata) and len(other) >= 3 and all(not r.common_cjk for r in other) else 0.0
    )
    out.append(restated_case_flips(seq))
    iso = sum(bool(r.flags & constant._ARABIC_ISOLATED_FORM) for r in seq)
    out.append(0.0 if n < 8 else iso / n)
    return out


def restated_weird_words(seq):
    """Words kept as lists of entries (a record per letter, None per inner symbol)."""
    words = bad_chars = chars = foreign = invalid = 0
    word, bad, is_invalid = [], False, False
    for r in seq:
        if r.alpha:
            word.append(r)
            continue
        if not word:
            continue
        letters = [x for x in word if x is not None]
        internal_ligature = any(x.is_ligature for x in letters[:-1])
        if r.is_sentence_open_punctuation or (r.is_superscript and internal_ligature):
            bad = is_invalid = True
        if r.space or r.punct or r.sep:
            n, last = len(word), word[-1]
            uppers = sum(x.upper for x in letters)
            words, chars = words + 1, chars + n
            if n >= 4:
                if sum(x.accentuated for x in letters) / n >= 0.5:
                    bad = True
                elif last is not None and last.accentuated and last.upper and uppers != n:
                    foreign, bad = foreign + 1, True
                elif sum(x.is_glyph for x in letters) == 1:
                    foreign, bad = foreign + 1, True
                elif any(not x.is_ascii for x in letters) and letters[0].lower and uppers == n - 1:
                    foreign, bad = foreign + 1, True
            watch = any(not x.is_glyph and (not x.latin or x.accentuated) for x in letters)
            if n >= 24 and watch and not (uppers > 0 and uppers / n <= 0.3):
                foreign, bad = foreign + 1, True
            bad_chars += n if bad else 0
            invalid += is_invalid
            word, bad, is_invalid = [], False, False
        elif r.character not in "-<=>_|~" and not r.digit and r.sym:
            word.append(None)
            bad = True
    if invalid:
        return 1.0
    if words <= 10 and foreign == 0:
        return 0.0
    return bad_chars / chars


def restated_case_flips(seq):
    """Runs split at separators; a run keeps its paired flips when short, non-ASCII and not ended by a digit."""
    final = count = 0
    run = []
    for r in seq:
        if (not r.alpha or not r.case_variable) and run:
            flips, pending = 0, False
            for prev, cur in zip(run, run[1:]):
                if (cur.upper and prev.lower) or (cur.lower and prev.upper):
                    flips, pending = (flips + 2, False) if pending else (flips, True)
                else:
                    pending = False
            if len(run) <= 64 and not r.digit and not all(x.is_ascii for x in run):
                final += flips
            run, count = [], count + 1
        else:
            run.append(r)
            count += 1
    return 0.0 if count == 0 else final / count


POOL = (
    "aAbBzZ09 \t\n.,;!?¿¡-_~|<>=+$^`©±×²☺\x00\x1b\x1a\ufeff"
    "éÉèÈàÀêëæŒﬁжЖяΩ"
    + UNCOMMON_CJK
    + COMMON_CJK
    + HALF_KATAKANA
    + FULL_KATAKANA
    + ISOLATED_ALEF
    + ARABIC_BEH
    + "한ท\u2122\u2014"
)


# Texts over a few characters at a time, so that rare combinations (all
# Katakana halfwidth, many accents in a row) come up as often as noise.
TEXTS = st.lists(st.sampled_from(POOL), min_size=1, max_size=6, unique=True).flatmap(
    lambda alphabet: st.lists(st.sampled_from(alphabet), max_size=80)
)


@settings(max_examples=400, deadline=None)
@given(TEXTS)
def test_plugins_match_restated_rules(chars):
    records = [m._char_info(ch) for ch in chars]
    got = [feed(cls(), chars).ratio for cls in PLUGINS]
    assert got == pytest.approx(restated_ratios(records), abs=1e-12)
