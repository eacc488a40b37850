"""Alphabetic layer split: letters grouped into layers of compatible ranges."""

import pytest
from hypothesis import given, settings, strategies as st

import vexlora.murkel as murkel
import vexlora.tessaly as tessaly
from vexlora.tessaly import alpha_unicode_split

from support import Judge, check_python, split_restated


@pytest.fixture
def judge(monkeypatch):
    j = Judge()
    monkeypatch.setattr(tessaly, "is_suspiciously_successive_range", j)
    return j


@pytest.mark.parametrize(
    "text, expected",
    [
        ("", []),
        ("123 !?. \n\t", []),
        ("Hello, World 42!", ["helloworld"]),
        ("aaaa", ["aaaa"]),
        ("\ud800x\udfff", ["x"]),  # unpaired surrogates are not letters
        ("\u00c0B \u0130", ["\u00e0b" + "\u0130".lower()]),  # lowered as a whole string
        ("ab\U0001d400c", ["ab\U0001d400c"]),  # four-byte storage
    ],
)
def test_single_or_no_layer(judge, text, expected):
    assert alpha_unicode_split(text) == expected


def test_suspicious_range_opens_a_second_layer(judge):
    judge.suspicious = {("Basic Latin", "Cyrillic")}
    assert alpha_unicode_split("abc ДЖЗ de") == ["abcde", "джз"]
    # The same range twice in a row never asks again.
    assert judge.calls == [("Basic Latin", "Cyrillic"), ("Basic Latin", "Basic Latin")]


def test_new_range_joins_first_accepting_layer_in_opening_order(judge):
    judge.suspicious = {("Basic Latin", "Cyrillic")}
    assert alpha_unicode_split("ab Дж αβ") == ["abαβ", "дж"]
    assert judge.calls[-1] == ("Basic Latin", "Greek and Coptic")


def test_range_rejected_by_every_layer_opens_its_own(judge):
    judge.suspicious = {
        ("Basic Latin", "Cyrillic"),
        ("Basic Latin", "Greek and Coptic"),
        ("Cyrillic", "Greek and Coptic"),
    }
    assert alpha_unicode_split("aДα bЖβ") == ["ab", "дж", "αβ"]


_LETTERS = "abcXYZ\u00e9\u00df\u0130\u0434\u0416\u03b1\u03a9\u05d0\u0627\u4e00\u3042\u30a2\U0001d400 1.,"


@settings(max_examples=200, deadline=None)
@given(st.text(alphabet=_LETTERS, max_size=60), st.integers(0, 6))
def test_matches_python_restatement(text, salt):
    def judge(a, b):
        return (len(a) * 7 + len(b) + salt) % 3 == 0

    with pytest.MonkeyPatch.context() as m:
        m.setattr(tessaly, "is_suspiciously_successive_range", judge)
        assert alpha_unicode_split(text) == split_restated(text, judge)


def test_letter_without_range_is_skipped():
    out = check_python(
        """
        import vexlora.utils as u
        import vexlora.tessaly as t
        t.is_suspiciously_successive_range = lambda a, b: False
        print(t.alpha_unicode_split("quiq"))
    """,
        utils="""
        _real = unicode_range
        def unicode_range(ch):
            return None if ch == "q" else _real(ch)
    """,
    )
    assert out.strip() == "['ui']"


class Boom(Exception):
    pass


class BadTruth:
    def __bool__(self):
        raise Boom("truth")


def raise_boom(a, b):
    raise Boom("judge")


@pytest.mark.parametrize("fake, message", [(raise_boom, "judge"), (lambda a, b: BadTruth(), "truth")])
def test_judge_failures_propagate(monkeypatch, fake, message):
    monkeypatch.setattr(tessaly, "is_suspiciously_successive_range", fake)
    assert alpha_unicode_split("abc") == ["abc"]  # one range: the judge is never asked
    with pytest.raises(Boom, match=message):
        alpha_unicode_split("abДж")


@pytest.mark.parametrize(
    "table, error, message",
    [
        (
            murkel._ASCII_CHAR_INFO[:127],
            ValueError,
            "_ASCII_CHAR_INFO must hold 128 CharInfo records, got a list of 127",
        ),
        ([], ValueError, "_ASCII_CHAR_INFO must hold 128 CharInfo records, got a list of 0"),
        (tuple(murkel._ASCII_CHAR_INFO), TypeError, "Expected list, got tuple"),
        ([0] * 128, TypeError, "Cannot convert int to vexlora.murkel.CharInfo"),
    ],
)
def test_rebound_ascii_table_is_refused(monkeypatch, judge, table, error, message):
    monkeypatch.setattr(tessaly, "_ASCII_CHAR_INFO", table)
    with pytest.raises(error) as info:
        alpha_unicode_split("a")
    assert str(info.value) == message


def test_ascii_table_shrunk_during_a_call_is_refused(monkeypatch):
    table = list(murkel._ASCII_CHAR_INFO)
    monkeypatch.setattr(tessaly, "_ASCII_CHAR_INFO", table)

    def shrinking_judge(a, b):
        del table[10:]
        return False

    monkeypatch.setattr(tessaly, "is_suspiciously_successive_range", shrinking_judge)
    with pytest.raises(ValueError, match="got a list of 10$"):
        alpha_unicode_split("a\u0434z")


@pytest.mark.parametrize("name", ["_ASCII_CHAR_INFO", "is_suspiciously_successive_range"])
def test_missing_global_raises_name_error(monkeypatch, name):
    monkeypatch.delattr(tessaly, name)
    with pytest.raises(NameError, match=f"name '{name}' is not defined"):
        alpha_unicode_split("a\u0434")


@pytest.mark.parametrize(
    "args, kwargs, error, message",
    [
        ((None,), {}, TypeError, "object of type 'NoneType' has no len()"),
        ((b"abc",), {}, TypeError, "Argument 'decoded_sequence' has incorrect type (expected str, got bytes)"),
        (("a", "b"), {}, TypeError, "alpha_unicode_split() takes exactly 1 positional argument (2 given)"),
    ],
)
def test_argument_errors(args, kwargs, error, message):
    with pytest.raises(error) as info:
        alpha_unicode_split(*args, **kwargs)
    assert str(info.value) == message
