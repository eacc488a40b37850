"""Layer split of ASCII text: whatever records _ASCII_CHAR_INFO holds decide the layers, short
text or long, and the judge is asked exactly as often as the records make it necessary."""

import pytest
from hypothesis import given, settings, strategies as st

import vexlora.murkel as murkel
import vexlora.tessaly as tessaly
from vexlora.murkel import CharInfo
from vexlora.tessaly import alpha_unicode_split

from support import Judge, split_restated

FIELDS = sorted(name for name in dir(CharInfo) if not name.startswith("_"))
TEXT = "The quick brown fox jumps over the lazy dog, 42 times!\n" * 5


def record_like(ch, **changes):
    """A record of `ch` with some fields replaced."""
    state = list(murkel._char_info(ch).__reduce__()[2])
    for name, value in changes.items():
        state[FIELDS.index(name)] = value
    record = CharInfo.__new__(CharInfo)
    record.__setstate__(tuple(state))
    return record


class Range(str):
    """A range name that compares through Python code."""


def reference(text, table, judge):
    return split_restated(text, judge, lookup=lambda ch: table[ord(ch)])


REPLACEMENTS = {
    "letter made a digit": ("e", lambda: murkel._char_info("1")),
    "digit made a letter": ("4", lambda: murkel._char_info("q")),
    "letter without range": ("o", lambda: record_like("o", range=None)),
    "equal range, other object": ("T", lambda: record_like("T", range="".join(["Basic ", "Latin"]))),
    "range of a str subclass": ("y", lambda: record_like("y", range=Range("Basic Latin"))),
    "other range": ("x", lambda: murkel._char_info("\u0436")),
    "other range, ASCII character": ("w", lambda: record_like("w", range="Cyrillic")),
    "other character": ("h", lambda: record_like("h", character="Q")),
    "two characters": ("a", lambda: record_like("a", character="Ab")),
    "non-ASCII character": ("u", lambda: record_like("u", character="\u00c9")),
    "same range on every letter": (None, None),
}


def rebound_table(monkeypatch, *names):
    table = list(murkel._ASCII_CHAR_INFO)
    for name in names:
        ch, make = REPLACEMENTS[name]
        if ch is not None:
            table[ord(ch)] = make()
    monkeypatch.setattr(tessaly, "_ASCII_CHAR_INFO", table)
    return table


@pytest.mark.parametrize("name", REPLACEMENTS)
@pytest.mark.parametrize("length", [len(TEXT), 31, 32])
def test_layers_and_judge_calls_follow_the_records(monkeypatch, name, length):
    text = TEXT[:length]
    table = rebound_table(monkeypatch, name)
    judge, expected_judge = Judge({("Basic Latin", "Cyrillic")}), Judge({("Basic Latin", "Cyrillic")})
    monkeypatch.setattr(tessaly, "is_suspiciously_successive_range", judge)
    assert alpha_unicode_split(text) == reference(text, table, expected_judge)
    assert judge.calls == expected_judge.calls


@settings(max_examples=150, deadline=None)
@given(
    st.text(alphabet=st.characters(max_codepoint=127), max_size=120),
    st.lists(st.sampled_from(sorted(REPLACEMENTS)), max_size=3),
    st.booleans(),
)
def test_any_ascii_text_matches_python_restatement(text, names, suspicious):
    with pytest.MonkeyPatch.context() as m:
        table = rebound_table(m, *names)
        pairs = {("Basic Latin", "Cyrillic")} if suspicious else set()
        judge, expected_judge = Judge(pairs), Judge(pairs)
        m.setattr(tessaly, "is_suspiciously_successive_range", judge)
        assert alpha_unicode_split(text) == reference(text, table, expected_judge)
        assert judge.calls == expected_judge.calls


def test_one_range_text_never_looks_up_the_judge(monkeypatch):
    monkeypatch.delattr(tessaly, "is_suspiciously_successive_range")
    assert alpha_unicode_split(TEXT) == ["".join(filter(str.isalpha, TEXT)).lower()]


@pytest.mark.parametrize("text", [TEXT, TEXT[:20]])
def test_foreign_entry_is_refused_only_when_its_character_occurs(monkeypatch, text):
    table = list(murkel._ASCII_CHAR_INFO)
    table[ord("#")] = object()
    monkeypatch.setattr(tessaly, "_ASCII_CHAR_INFO", table)
    assert alpha_unicode_split(text) == ["".join(filter(str.isalpha, text)).lower()]
    with pytest.raises(TypeError, match="Cannot convert object to vexlora.murkel.CharInfo"):
        alpha_unicode_split(text + "#")


@pytest.mark.parametrize("text", ["", " 1,2;3 " * 10, "\x00" * 40, "A" * 40])
def test_all_letters_or_no_letters(text):
    assert alpha_unicode_split(text) == ([text.lower()] if text.isalpha() else [])


@pytest.mark.parametrize("length", [32, 33, 47, 48, 63, 1000, (1 << 16) + 29])
def test_every_ascii_character_at_every_position(length):
    # Each pass over the 128 characters starts one place further on, so every
    # character meets every position in a group of sixteen; the long text also
    # crosses the walk's signal checkpoint mid-group.
    text = "".join(chr((k * 37 + k // 128) % 128) for k in range(length))
    letters = "".join(filter(str.isalpha, text)).lower()
    assert alpha_unicode_split(text) == [letters]
