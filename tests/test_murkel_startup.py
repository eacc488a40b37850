"""Start-up of vexlora.murkel: namespace, refusals, and host failures."""

import functools
import importlib
import sys

import pytest

import vexlora.murkel as murkel

from support import import_outcome, run_python

CONSTANT_NAMES = [
    "COMMON_CJK_CHARACTERS",
    "COMMON_SAFE_ASCII_CHARACTERS",
    "TRACE",
    "CompatibleFamillyRange",
    "_ACCENTUATED",
    "_ARABIC",
    "_ARABIC_ISOLATED_FORM",
    "_BASIC_LATIN_COMPATIBLE_RANGE_FAMILIES",
    "_CJK",
    "_COMPATIBLE_RANGE_FAMILIES",
    "_COMPATIBLE_WITH_ANY_RANGE_FAMILIES",
    "_HALFWIDTH_KATAKANA",
    "_HANGUL",
    "_HIRAGANA",
    "_KATAKANA",
    "_LATIN",
    "_LIGATURE",
    "_RANGE_FAMILIES",
    "_SENTENCE_OPEN_PUNCTUATION",
    "_SUPERSCRIPT",
    "_THAI",
]
UTILS_NAMES = [
    "_character_flags",
    "is_emoticon",
    "is_punctuation",
    "is_separator",
    "is_symbol",
    "remove_accent",
    "unicode_range",
]


def test_host_names_are_bound_from_the_host_modules():
    from vexlora import constant, utils

    for name in CONSTANT_NAMES:
        assert getattr(murkel, name) is getattr(constant, name), name
    for name in UTILS_NAMES:
        assert getattr(murkel, name) is getattr(utils, name), name
    assert murkel.lru_cache is functools.lru_cache
    import logging

    assert murkel.getLogger is logging.getLogger


def test_capi_table():
    assert list(murkel.__pyx_capi__) == ["mess_ratio", "_char_info_from_codepoint"]
    assert all(type(c).__name__ == "PyCapsule" for c in murkel.__pyx_capi__.values())


def test_functions_report_module_and_names():
    f = murkel._char_info
    assert (f.__module__, f.__name__, f.__qualname__) == ("vexlora.murkel", "_char_info", "_char_info")
    assert murkel.MessDetectorPlugin.feed_info.__qualname__ == "MessDetectorPlugin.feed_info"


def test_second_import_reuses_the_module():
    table = murkel._ASCII_CHAR_INFO
    del sys.modules["vexlora.murkel"]
    try:
        again = importlib.import_module("vexlora.murkel")
        assert again is murkel and again._ASCII_CHAR_INFO is table
    finally:
        sys.modules["vexlora.murkel"] = murkel


def failing_import(**host):
    return import_outcome("vexlora.murkel", **host)


@pytest.mark.parametrize(
    "host, expected",
    [
        (dict(constant="_LATIN = 2 ** 31"), "OverflowError: value too large to convert to int"),
        (dict(constant="_THAI = 2 ** 40"), "OverflowError: value too large to convert to int"),
        (dict(constant="_CJK = 'x'"), "TypeError"),
        (dict(constant="del ZH_NAMES"), "imported"),
        (dict(constant="del TRACE"), "ImportError: cannot import name 'TRACE'"),
        (dict(utils="del remove_accent"), "ImportError: cannot import name 'remove_accent'"),
        (dict(utils="def is_punctuation(ch):\n    raise LookupError('host says no')"), "LookupError: host says no"),
    ],
)
def test_start_up_failures(host, expected):
    assert failing_import(**host).startswith(expected)


def test_failed_start_up_can_be_retried():
    result = run_python("""
        import vexlora.constant as c
        good = c._LATIN
        c._LATIN = 2 ** 33
        try:
            import vexlora.murkel
        except OverflowError:
            print("failed")
        c._LATIN = good
        import vexlora.murkel as m
        print(len(m._ASCII_CHAR_INFO))
    """)
    assert result.stdout.split() == ["failed", "128"], result.stderr


def test_second_interpreter_is_refused():
    result = run_python("""
        import vexlora.murkel, _testcapi
        # A legacy sub-interpreter, which lets the module's own check run.
        print(_testcapi.run_in_subinterp("import vexlora.murkel"))
    """)
    assert "Interpreter change detected" in result.stdout + result.stderr


def test_rebinding_a_host_name_changes_later_records():
    result = run_python("""
        import vexlora.murkel as m
        m._LATIN = 4096
        print(m.CharInfo("q").flags, m._ASCII_CHAR_INFO[ord("q")].flags != 4096)
        del m.unicode_range
        try:
            m.CharInfo("q")
        except NameError as e:
            print(e)
    """)
    assert result.stdout.splitlines() == ["4096 True", "name 'unicode_range' is not defined"], result.stderr


@pytest.mark.parametrize("ch, skipped", [("\x01", "is_punctuation"), ("\u00e9", "is_emoticon"), ("A", "is_symbol")])
def test_host_calls_that_are_not_made(ch, skipped):
    result = run_python(f"""
        import vexlora.murkel as m
        def boom(ch):
            raise AssertionError("called")
        m.{skipped} = boom
        m.CharInfo({ch!r})
        print("ok")
    """)
    assert result.stdout.strip() == "ok", result.stderr


def test_remove_accent_must_return_str_or_none():
    result = run_python("""
        import vexlora.murkel as m
        m.remove_accent = lambda ch: 42
        try:
            m.CharInfo("\\u00e9")
        except TypeError as e:
            print(e)
        m.remove_accent = lambda ch: None
        print(m.CharInfo("\\u00e9").unaccented)
    """)
    assert result.stdout.splitlines() == ["Expected str, got int", "None"], result.stderr
