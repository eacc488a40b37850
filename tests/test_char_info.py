"""Character records: what CharInfo(character) computes from the host answers."""

import pytest

from vexlora import constant, utils
from vexlora.murkel import CharInfo

FLAG_FIELDS = {
    "accentuated": constant._ACCENTUATED,
    "latin": constant._LATIN,
    "is_cjk": constant._CJK,
    "is_katakana": constant._KATAKANA,
    "is_halfwidth_katakana": constant._HALFWIDTH_KATAKANA,
    "is_arabic": constant._ARABIC,
    "is_ligature": constant._LIGATURE,
    "is_superscript": constant._SUPERSCRIPT,
    "is_sentence_open_punctuation": constant._SENTENCE_OPEN_PUNCTUATION,
}
GLYPH_MASK = constant._CJK | constant._HANGUL | constant._KATAKANA | constant._HIRAGANA | constant._THAI


def expected_record(ch):
    """The record restated from the host functions and the str predicates."""
    cp = ord(ch)
    if cp <= 127:
        letter = ch.isalpha()
        printable = ch.isprintable() and cp not in range(9, 14)
        return {
            "printable": printable if not (9 <= cp <= 13) else False,
            "alpha": letter,
            "upper": ch.isupper(),
            "lower": ch.islower(),
            "space": cp == 32 or 9 <= cp <= 13,
            "digit": ch.isdigit(),
            "is_ascii": True,
            "case_variable": letter,
            "flags": constant._LATIN if letter else 0,
            "latin": letter,
            "accentuated": False,
            "unaccented": ch,
            "emoticon": False,
            "common_cjk": False,
            "safe": ch in constant.COMMON_SAFE_ASCII_CHARACTERS,
            "punct": bool(printable and not letter and not ch.isdigit() and cp != 32 and utils.is_punctuation(ch)),
            "sym": bool(printable and not letter and not ch.isdigit() and cp != 32 and utils.is_symbol(ch)),
            **{f: False for f in FLAG_FIELDS if f not in ("latin", "accentuated")},
            "is_glyph": False,
            "range": utils.unicode_range(ch),
            "sep": bool(utils.is_separator(ch)),
        }
    flags = utils._character_flags(ch)
    record = {
        "printable": ch.isprintable(),
        "alpha": ch.isalpha(),
        "upper": ch.isupper(),
        "lower": ch.islower(),
        "space": ch.isspace(),
        "digit": ch.isdigit(),
        "is_ascii": False,
        "case_variable": ch.islower() != ch.isupper(),
        "flags": flags,
        **{f: bool(flags & m) for f, m in FLAG_FIELDS.items()},
        "is_glyph": bool(flags & GLYPH_MASK),
        "emoticon": False if ch.isalpha() else bool(utils.is_emoticon(ch)),
        "safe": False,
        "punct": bool(ch.isprintable() and utils.is_punctuation(ch)),
        "sym": bool(ch.isprintable() and utils.is_symbol(ch)),
        "range": utils.unicode_range(ch),
        "sep": bool(utils.is_separator(ch)),
    }
    record["unaccented"] = utils.remove_accent(ch) if record["accentuated"] and record["latin"] else ch
    record["common_cjk"] = record["is_cjk"] and ch in constant.COMMON_CJK_CHARACTERS
    return record


SAMPLES = "Az09\t\n \x01\x7f(!~é É ß ñ Ж я Ω 中 の ア ｱ 한 ﻼ ﬁ ² ¿ ١ ा \u200b \ufeff \U0001f600 \U00020000 \ud800"


@pytest.mark.parametrize("ch", sorted(set(SAMPLES)) + [chr(i) for i in range(128)])
def test_record_matches_host_and_predicates(ch):
    info = CharInfo(ch)
    assert info.character == ch
    for field, value in expected_record(ch).items():
        assert getattr(info, field) == value, field


def test_capital_a_is_a_latin_upper_letter():
    a = CharInfo("A")
    assert (a.printable, a.alpha, a.upper, a.lower, a.case_variable, a.latin, a.is_ascii) == (
        True,
        True,
        True,
        False,
        True,
        True,
        True,
    )
    assert a.flags == constant._LATIN and a.unaccented == "A"


def test_whitespace_classes():
    tab, blank = CharInfo("\t"), CharInfo(" ")
    assert (tab.space, tab.printable) == (True, False)
    assert (blank.space, blank.printable) == (True, True)


@pytest.mark.parametrize(
    "value, error, message",
    [
        ("ab", ValueError, "only single character unicode strings can be converted to Py_UCS4, got length 2"),
        ("", ValueError, "only single character unicode strings can be converted to Py_UCS4, got length 0"),
        (None, TypeError, "ord() expected string of length 1, but NoneType found"),
        (b"a", TypeError, "Argument 'character' has incorrect type (expected str, got bytes)"),
        (type("S", (str,), {})("a"), TypeError, "Argument 'character' has incorrect type (expected str, got S)"),
    ],
)
def test_bad_character_argument(value, error, message):
    with pytest.raises(error) as exc:
        CharInfo(value)
    assert str(exc.value) == message


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: CharInfo(), "__init__() takes exactly 1 positional argument (0 given)"),
        (lambda: CharInfo("a", "b"), "__init__() takes exactly 1 positional argument (2 given)"),
        (lambda: CharInfo(char="a"), "__init__() got an unexpected keyword argument 'char'"),
    ],
)
def test_argument_count_errors(call, message):
    with pytest.raises(TypeError) as exc:
        call()
    assert str(exc.value) == message


def test_keyword_argument_and_reinit():
    info = CharInfo(character="é")
    assert info.accentuated
    info.__init__("a")
    assert (info.character, info.accentuated, info.is_ascii, info.unaccented) == ("a", False, True, "a")


def test_fields_are_read_only():
    info = CharInfo("a")
    with pytest.raises(AttributeError):
        info.alpha = False


def test_new_record_is_blank():
    info = CharInfo.__new__(CharInfo)
    assert (info.character, info.range, info.unaccented) == (None, None, None)
    assert info.flags == 0 and info.alpha is False


def test_subclass_and_identity_semantics():
    class Sub(CharInfo):
        pass

    s = Sub("x")
    assert s.alpha and s != Sub("x") and hash(s) == hash(s)


def test_traceback_names_the_constructor():
    with pytest.raises(ValueError) as exc:
        CharInfo("ab")
    assert "vexlora.murkel.CharInfo.__init__" in [e.name for e in exc.traceback]


def test_emoticon_not_asked_for_letters_and_accent_removed_for_latin_only():
    assert CharInfo("é").unaccented == utils.remove_accent("é")
    cyr = CharInfo("й")  # accented in name but not Latin: keeps itself
    assert cyr.unaccented == "й"
