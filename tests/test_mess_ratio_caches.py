"""mess_ratio keeps per-call shortcuts (the resolved pair judge, a reused argument
tuple, the flag words of records); none of them may change what a caller sees."""

import functools
import math

import pytest

import vexlora.murkel as murkel
from vexlora.murkel import mess_ratio

from support import mess_ratio_restated

# Block changes of every kind: Latin-1, Cyrillic, CJK, Katakana, an unknown block.
TEXTS = [
    "été à Paris, déjà vu. " * 30,
    "私はガラスを食べられます。ｱｲｳ鬱龍。abc" * 20,
    "Ã©tÃ© Ð¿Ñ€Ð¸Ð²ÐµÑ‚ Ã§a" * 40,
    "a\U000e0001b\U000e0001ж" * 20,
]


PLAIN_JUDGE = murkel.is_suspiciously_successive_range.__wrapped__


def range_calls(text):
    """Judge calls a SuspiciousRange fed through its public method makes on `text`."""
    plugin = murkel.SuspiciousRange()
    for ch in text:
        info = murkel._ASCII_CHAR_INFO[ord(ch)] if ord(ch) < 128 else murkel._char_info(ch)
        if info.printable:
            plugin.feed_info(ch, info)


def counting_judge(monkeypatch, maxsize=None):
    calls = []

    @functools.lru_cache(maxsize=maxsize)
    def judge(a, b):
        calls.append((a, b))
        return PLAIN_JUDGE(a, b)

    monkeypatch.setattr(murkel, "is_suspiciously_successive_range", judge)
    return judge, calls


@pytest.mark.parametrize("text", TEXTS)
def test_memo_counts_one_lookup_per_block_change(text):
    memo = murkel.is_suspiciously_successive_range
    before = memo.cache_info()
    range_calls(text)
    middle = memo.cache_info()
    mess_ratio(text, math.inf)
    after = memo.cache_info()
    expected = middle.hits + middle.misses - before.hits - before.misses
    assert expected > 0
    assert after.hits + after.misses - middle.hits - middle.misses == expected


@pytest.mark.parametrize("text", TEXTS)
def test_memo_cleared_between_calls_is_filled_and_hit_alike(text):
    # The walk finds the memo's keys by identity once it has seen them kept;
    # after the memo is cleared, the same calls must miss and hit as before.
    memo = murkel.is_suspiciously_successive_range
    expected = mess_ratio(text, math.inf)
    memo.cache_clear()
    range_calls(text)
    filled = memo.cache_info()
    for _ in range(2):
        memo.cache_clear()
        assert mess_ratio(text, math.inf) == expected
        assert memo.cache_info() == filled
    range_calls(text)
    info = memo.cache_info()
    assert (info.hits, info.misses) == (filled.hits * 2 + filled.misses, filled.misses)


@pytest.mark.parametrize("maxsize", [None, 2])
@pytest.mark.parametrize("text", TEXTS)
def test_memo_keys_stay_intact(monkeypatch, text, maxsize):
    # The memo keeps argument tuples as keys; a reused tuple must never be one.
    _, expected = counting_judge(monkeypatch, maxsize)
    mess_ratio_restated(text, math.inf)
    judge, calls = counting_judge(monkeypatch, maxsize)
    mess_ratio(text, math.inf)
    assert calls == expected and calls
    if maxsize is None:
        misses = judge.cache_info().misses
        for a, b in calls:
            judge(a, b)
        assert judge.cache_info().misses == misses  # every stored key still finds its answer


def test_rebinding_the_judge_during_a_call_takes_effect(monkeypatch):
    later = []

    def second(a, b):
        later.append((a, b))
        return False

    def first(a, b):
        murkel.is_suspiciously_successive_range = second
        return True

    monkeypatch.setattr(murkel, "is_suspiciously_successive_range", first)
    mess_ratio("aжbжc", math.inf)
    assert len(later) == 3  # ж->b, b->ж, ж->c after the first change a->ж


def test_judge_deleted_from_the_namespace_falls_back_to_builtins(monkeypatch):
    import builtins

    monkeypatch.delattr(murkel, "is_suspiciously_successive_range")
    with pytest.raises(NameError, match="is_suspiciously_successive_range"):
        mess_ratio("aжb", math.inf)
    monkeypatch.setattr(builtins, "is_suspiciously_successive_range", lambda a, b: True, raising=False)
    assert mess_ratio("aж" * 10, math.inf) > 0.0


@pytest.mark.parametrize("result, counted", [(1, True), ("", False), ([0], True)])
def test_judge_result_is_taken_by_its_truth(monkeypatch, result, counted):
    monkeypatch.setattr(murkel, "is_suspiciously_successive_range", lambda a, b: result)
    value = mess_ratio("aжbжcжdжeжfжgж", math.inf)
    assert (value > 0.0) == counted


@pytest.mark.parametrize("target", ["ascii", "other"])
def test_record_rewritten_during_a_call_is_read_afresh(monkeypatch, target):
    # Records are only rewritten through __init__/__setstate__; one rewritten
    # by Python code inside the walk must be fed with its new fields.
    ch = "a" if target == "ascii" else "é"
    record = murkel._ASCII_CHAR_INFO[97] if target == "ascii" else murkel._char_info("é")
    text = ("ж" + ch * 3 + " ") * 20
    clean = mess_ratio(text, math.inf)

    def judge(a, b):
        record.__init__("\x00")  # now unprintable
        return False

    monkeypatch.setattr(murkel, "is_suspiciously_successive_range", judge)
    results = []
    for run in (mess_ratio_restated, mess_ratio):
        try:
            results.append(run(text, math.inf))
        finally:
            record.__init__(ch)
    assert results[0] == results[1] != clean


def traced_weird_word_ratio(caplog, text):
    with caplog.at_level(5, logger="vexlora"):
        mess_ratio(text, math.inf, True)
    [line] = [r.getMessage() for r in caplog.records if "SuperWeirdWordPlugin" in r.getMessage()]
    caplog.clear()
    return float(line.rsplit(": ", 1)[1])


def plugin_ratio(text):
    plugin = murkel.SuperWeirdWordPlugin()
    for ch in text:
        plugin.feed_info(ch, murkel._ASCII_CHAR_INFO[ord(ch)] if ord(ch) < 128 else murkel._char_info(ch))
    return plugin.ratio


# Word length and counts around the integer forms of the two share tests, in
# the plugin and in the driver.
@pytest.mark.parametrize("n, accents", [(4, 2), (4, 1), (5, 3), (5, 2), (7, 4), (7, 3)])
def test_accent_share_threshold(caplog, n, accents):
    text = ("é" * accents + "a" * (n - accents) + " ") * 11
    expected = 1.0 if accents / n >= 0.5 else 0.0
    assert plugin_ratio(text) == traced_weird_word_ratio(caplog, text) == expected


@pytest.mark.parametrize("n, uppers", [(30, 9), (30, 10), (24, 7), (24, 8), (40, 12), (40, 13), (27, 8)])
def test_camel_case_share_threshold(caplog, n, uppers):
    text = "ж" + "A" * uppers + "a" * (n - uppers - 1) + " "
    expected = 0.0 if uppers / n <= 0.3 else 1.0
    assert plugin_ratio(text) == traced_weird_word_ratio(caplog, text) == expected


# Records of code points above ASCII are kept per call and trusted only until
# Python code may have run; each case below changes the page table from
# Python code inside the walk, and later occurrences must see the change.


@pytest.fixture
def page_slot():
    """(page, index) of a character's record; the entry is restored afterwards."""
    saved = []

    def find(ch):
        murkel._char_info(ch)  # make sure the page exists
        page, index = murkel._CHAR_INFO_PAGES[ord(ch) >> 8], ord(ch) & 0xFF
        saved.append((page, index, page[index]))
        return page, index

    yield find
    for page, index, record in reversed(saved):
        page[index] = record


@pytest.mark.parametrize(
    "replacement, changes_result",
    [
        (lambda: murkel.CharInfo("\x00"), True),  # another record, unprintable
        (lambda: None, False),  # dropped: built again
        (lambda: murkel.CharInfo("é"), False),  # a fresh copy each time: the old one loses its last holder
    ],
)
def test_page_entry_replaced_by_the_judge_is_read_afresh(monkeypatch, page_slot, replacement, changes_result):
    text = ("ж" + "é" * 3 + " ") * 20
    monkeypatch.setattr(murkel, "is_suspiciously_successive_range", lambda a, b: False)
    clean = mess_ratio(text, math.inf)
    page, index = page_slot("é")
    original = page[index]

    def judge(a, b):
        page[index] = replacement()
        return False

    monkeypatch.setattr(murkel, "is_suspiciously_successive_range", judge)
    expected = mess_ratio_restated(text, math.inf)
    page[index] = original
    assert mess_ratio(text, math.inf) == expected
    assert (expected != clean) == changes_result


@pytest.mark.parametrize("replacement, changes_result", [("\x00", True), ("é", False)])
def test_page_entry_replaced_by_host_code_behind_the_memo_is_read_afresh(
    monkeypatch, page_slot, replacement, changes_result
):
    # A memo hit of the installed judge runs no Python code, so the walk keeps
    # trusting the records it holds; a miss runs the host's code, which may
    # change the page cache under the walk. The first pairs are met often
    # enough for the memo to be hit before the pair that runs the change.
    text = "жa" * 4 + ("ж" + "é" * 3 + " ") * 20
    page, index = page_slot("é")
    original = page[index]
    clean = mess_ratio(text, math.inf)
    real = murkel.CompatibleFamillyRange
    family = murkel._RANGE_FAMILIES["Latin-1 Supplement"]
    other = murkel.CharInfo(replacement)  # built now: building one would tell the walk anyway
    calls = []

    def host(a, b):
        if b == family:
            calls.append((a, b))
            page[index] = other
        return real(a, b)

    monkeypatch.setattr(murkel, "CompatibleFamillyRange", host)
    results = []
    try:
        for run in (mess_ratio_restated, mess_ratio):
            murkel.is_suspiciously_successive_range.cache_clear()
            page[index] = original
            calls.clear()
            results.append(run(text, math.inf))
            assert calls
    finally:
        murkel.is_suspiciously_successive_range.cache_clear()
    assert results[0] == results[1]
    assert (results[1] != clean) == changes_result


@pytest.mark.parametrize("pair", ["éā", "āé", "ÉĀ", "ŕé"])
def test_accent_chain_across_a_block_change_survives_records_replaced_by_the_judge(monkeypatch, page_slot, pair):
    # Two accentuated letters of different blocks in a row: the judge runs
    # between them and replaces both records by fresh copies (the old ones
    # lose their last holder outside the walk); the pair is still weighed
    # from live records.
    text = ("x" + pair * 3 + "y " + pair.upper() + "z ") * 12
    letters = {ch: page_slot(ch) for ch in dict.fromkeys(pair + pair.upper())}

    def judge(a, b):
        for ch, (page, index) in letters.items():
            page[index] = murkel.CharInfo(ch)
        return a != b

    monkeypatch.setattr(murkel, "is_suspiciously_successive_range", judge)
    expected = mess_ratio_restated(text, math.inf)
    judge(None, None)
    assert mess_ratio(text, math.inf) == expected
