"""Encodings and alphabets to Unicode ranges and languages."""

import types
from operator import itemgetter

import pytest
from hypothesis import given, settings, strategies as st

import vexlora.tessaly as tessaly
from vexlora.constant import FREQUENCIES
from vexlora.murkel import _char_info

from support import check_python


def ranges_languages(primary_range):
    """Plain restatement: languages with a profile character in the range."""
    return [
        language
        for language, profile in FREQUENCIES.items()
        if any(_char_info(c).range == primary_range for c in profile)
    ]


def fake_codec(table, imported=None):
    """An `importlib` stand-in whose codec decodes byte i to table.get(i, "")."""

    class IncrementalDecoder:
        def __init__(self, errors="strict"):
            assert errors == "ignore"

        def decode(self, data):
            return table.get(data[0], "")

    def import_module(name):
        imported is None or imported.append(name)
        return types.SimpleNamespace(IncrementalDecoder=IncrementalDecoder)

    return types.SimpleNamespace(import_module=import_module)


def bytes_from(*runs):
    """Assign the characters of `runs` to consecutive bytes from 0x40."""
    return {0x40 + i: ch for i, ch in enumerate("".join(runs))}


GREEK = "".join(chr(c) for c in range(0x3B1, 0x3C9))  # 24 letters
LATIN = "abcdefghijklmnopqrstuvwxyz" * 4


@pytest.fixture
def fresh_caches():
    yield
    for name in ("encoding_languages", "mb_encoding_languages", "get_target_features"):
        getattr(tessaly, name).cache_clear()


# --- real code pages ------------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "encoding, ranges, primary",
    [
        ("cp1251", ["Basic Latin", "Cyrillic"], "Cyrillic"),
        ("koi8_r", ["Basic Latin", "Cyrillic"], "Cyrillic"),
        ("cp1253", ["Basic Latin", "Greek and Coptic"], "Greek and Coptic"),
        ("cp1255", ["Basic Latin", "Hebrew", "Latin-1 Supplement"], "Hebrew"),
        ("cp1256", ["Arabic", "Basic Latin", "Latin-1 Supplement"], "Arabic"),
        ("cp874", ["Basic Latin", "Thai"], "Thai"),
        ("cp1252", ["Basic Latin", "Latin-1 Supplement"], None),
        ("iso8859_2", ["Basic Latin", "Latin-1 Supplement"], None),
    ],
)
def test_real_code_pages(encoding, ranges, primary):
    assert tessaly.encoding_unicode_range(encoding) == ranges
    expected = ["Latin Based"] if primary is None else ranges_languages(primary)
    assert tessaly.encoding_languages(encoding) == expected


def test_unknown_codec():
    with pytest.raises(ImportError):
        tessaly.encoding_unicode_range("no_such_codec")
    assert tessaly.encoding_languages("no_such_codec") == []


@pytest.mark.parametrize("function", [tessaly.encoding_unicode_range, tessaly.encoding_languages])
def test_multi_byte_name_refused_before_import(monkeypatch, fresh_caches, function):
    imported = []
    monkeypatch.setattr(tessaly, "importlib", fake_codec({}, imported))
    with pytest.raises(OSError, match="^Function not supported on multi-byte code page$"):
        function("shift_jis")
    assert imported == []


# --- encoding_unicode_range on a controlled codec -----------------------------------------------------------


@pytest.mark.parametrize(
    "table, expected",
    [
        # 100 counted characters at the 15 % boundary; box-drawing ones are secondary and count nowhere.
        (bytes_from(GREEK[:15], LATIN[:85], "\u2500" * 60), ["Basic Latin", "Greek and Coptic"]),
        (bytes_from(GREEK[:14], LATIN[:86], "\u2500" * 60), ["Basic Latin"]),
        ({}, []),
        (bytes_from("\u2500\u2501", "\U000e0080"), []),  # only secondary or range-less characters
        (bytes_from(GREEK, "abcdefgh"), ["Basic Latin", "Greek and Coptic"]),  # sorted, not in order of appearance
        ({0x40: None, 0x41: "a"}, ["Basic Latin"]),
        ({0x3F: "\u03b1", 0xFF: "\u03b1", 0x40: "a"}, ["Basic Latin"]),  # bytes outside 0x40..0xFE are never read
    ],
)
def test_controlled_codec(monkeypatch, table, expected):
    monkeypatch.setattr(tessaly, "importlib", fake_codec(table))
    assert tessaly.encoding_unicode_range(iana_name="fake") == expected


@pytest.mark.parametrize(
    "chunk, error, message",
    [
        (b"a", TypeError, "^Expected str, got bytes$"),
        ("ab", ValueError, "got length 2$"),
    ],
)
def test_bad_decoder_output(monkeypatch, chunk, error, message):
    monkeypatch.setattr(tessaly, "importlib", fake_codec({0x50: chunk}))
    with pytest.raises(error, match=message):
        tessaly.encoding_unicode_range("fake")


# --- encoding_languages rules ---------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "ranges, expected",
    [
        ([], ["Latin Based"]),
        (["Basic Latin", "Latin Extended-A", "Latin-1 Supplement"], ["Latin Based"]),
        (["Basic Latin", "Cyrillic", "Greek and Coptic"], ranges_languages("Cyrillic")),
        (["Arabic", "Hebrew"], ranges_languages("Arabic")),
        (["Old latin script"], []),  # "latin" is not "Latin": a range of its own, without languages
    ],
)
def test_primary_range_choice(monkeypatch, ranges, expected):
    monkeypatch.setattr(tessaly, "encoding_unicode_range", lambda name: list(ranges))
    assert tessaly.encoding_languages.__wrapped__("x") == expected


def test_cached_results_are_the_same_objects():
    assert tessaly.encoding_languages("cp1251") is tessaly.encoding_languages("cp1251")
    assert tessaly.mb_encoding_languages("gb2312") is tessaly.mb_encoding_languages("gb2312")
    assert tessaly.get_target_features("French") is tessaly.get_target_features("French")
    assert tessaly.get_target_features.cache_parameters()["maxsize"] == len(FREQUENCIES)


def test_failures_are_not_cached(monkeypatch, fresh_caches):
    with pytest.raises(KeyError):
        tessaly.get_target_features("Klingon")
    monkeypatch.setitem(tessaly.FREQUENCIES, "Klingon", "abc")
    assert tessaly.get_target_features("Klingon") == (False, True)


# --- mb_encoding_languages ------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "name, expected",
    [
        ("shift_jis", ["Japanese"]),
        ("iso2022_jp_2", ["Japanese"]),
        ("euc_jis_2004", ["Japanese"]),
        ("cp932", ["Japanese"]),
        ("cp9320", []),
        ("Shift_JIS", []),
        ("gb2312", ["Chinese"]),
        ("gb18030", ["Chinese"]),
        ("big5", ["Chinese"]),
        ("iso2022_kr", ["Korean"]),
        ("cp949", ["Korean"]),
        ("utf_8", []),
        ("", []),
    ],
)
def test_mb_encoding_languages(name, expected):
    assert tessaly.mb_encoding_languages(name) == expected


class Recorder:
    def __init__(self, members=(), forbidden=False):
        self.members, self.forbidden = set(members), forbidden

    def __contains__(self, name):
        assert not self.forbidden, "consulted too early"
        return name in self.members


@pytest.mark.parametrize(
    "name, zh, ko, expected",
    [
        ("gb_anything", Recorder(forbidden=True), Recorder(forbidden=True), ["Chinese"]),
        ("cp932", Recorder(forbidden=True), Recorder(forbidden=True), ["Japanese"]),
        ("both", Recorder({"both"}), Recorder(forbidden=True), ["Chinese"]),
        ("iso2022_kr", Recorder({"iso2022_kr"}), Recorder(forbidden=True), ["Chinese"]),  # ZH_NAMES comes first
        ("Shift_JIS", Recorder(), Recorder({"Shift_JIS"}), ["Korean"]),
        ("neither", Recorder(), Recorder(), []),
    ],
)
def test_mb_rule_order(monkeypatch, name, zh, ko, expected):
    monkeypatch.setattr(tessaly, "ZH_NAMES", zh)
    monkeypatch.setattr(tessaly, "KO_NAMES", ko)
    assert tessaly.mb_encoding_languages.__wrapped__(name) == expected


# --- unicode_range_languages ----------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "primary_range",
    ["Cyrillic", "Basic Latin", "Greek and Coptic", "Arabic", "Hiragana", "Latin Extended-A", None, "No Such Range"],
)
def test_unicode_range_languages_matches_profiles(primary_range):
    result = tessaly.unicode_range_languages(primary_range)
    assert result == ranges_languages(primary_range)
    assert len(set(result)) == len(result)


class Mapping:
    def __init__(self, *items):
        self.items = lambda: items


class Mutating:
    """A profile whose iteration adds a language to the dict being walked."""

    def __iter__(self):
        tessaly.FREQUENCIES["late"] = "z"
        return iter("ab")


@pytest.mark.parametrize(
    "frequencies, expected",
    [
        ({"A": "ab", "B": "\u0436", "C": ["\u0434", "x"]}, ["B", "C"]),
        (Mapping(("A", "\u0436"), ("B", "q")), ["A"]),
        ({"A": Mutating(), "B": "c"}, (RuntimeError, "^dictionary changed size during iteration$")),
        ({"A": ["a", 5]}, (TypeError, "^Expected str, got int$")),
        (Mapping(("A",)), (ValueError, "^need more than 1 value to unpack$")),
    ],
)
def test_unicode_range_languages_controlled(monkeypatch, frequencies, expected):
    monkeypatch.setattr(tessaly, "FREQUENCIES", frequencies)
    if isinstance(expected, list):
        assert tessaly.unicode_range_languages("Cyrillic") == expected
    else:
        with pytest.raises(expected[0], match=expected[1]):
            tessaly.unicode_range_languages("Cyrillic")


# --- get_target_features and alphabet_languages ---------------------------------------------------------------


def features(profile):
    records = [_char_info(c) for c in profile]
    return any(r.accentuated for r in records), all(r.latin for r in records)


def test_target_features_of_every_profile(monkeypatch):
    for language, profile in FREQUENCIES.items():
        assert tessaly.get_target_features(language=language) == features(profile)
    monkeypatch.setattr(tessaly, "FREQUENCIES", {"A": "abc", "B": "abc\u00e9", "C": "abc\u0436", "D": ""})
    assert [tessaly.get_target_features.__wrapped__(x) for x in "ABCD"] == [
        (False, True),
        (True, True),
        (False, False),
        (False, True),
    ]


def alphabet_restated(characters, ignore_non_latin=False):
    """Plain restatement over the host profiles."""
    source_accents = any(_char_info(c).accentuated for c in characters)
    found = []
    for language, profile in FREQUENCIES.items():
        accents, pure_latin = features(profile)
        if (ignore_non_latin and not pure_latin) or (source_accents and not accents):
            continue
        ratio = len(set(characters) & set(profile)) / len(profile)
        if ratio >= 0.2:
            found.append((language, ratio))
    return [language for language, _ in sorted(found, key=itemgetter(1), reverse=True)]


POOL = sorted(set("".join(FREQUENCIES.values()))) + ["\U0001f600", "\U00010400", "\ud800", "1", " "]


@settings(max_examples=150, deadline=None)
@given(st.lists(st.sampled_from(POOL), max_size=120), st.booleans())
def test_alphabet_languages_matches_restatement(characters, ignore_non_latin):
    assert tessaly.alphabet_languages(characters, ignore_non_latin) == alphabet_restated(characters, ignore_non_latin)


def test_controlled_profiles():
    # P0/P1: the same 100 CJK characters; P2: empty, so it never has a share to pass.
    out = check_python(
        """
        import vexlora.tessaly as t
        print(t.alphabet_languages(list(PROFILE[:20])), t.alphabet_languages(list(PROFILE[:19])))
        print(t.alphabet_languages(list(PROFILE[:25]) + list(PROFILE[:25]) * 3))
        print([name for name, _ in t.coherence_ratio(PROFILE * 2 + "the cat sat on the mat" * 9, 0.0)])
    """.replace("PROFILE", "''.join(map(chr, range(0x4E00, 0x4E64)))"),
        constant="""
        profile = ''.join(map(chr, range(0x4E00, 0x4E64)))
        items = list(FREQUENCIES.items())
        FREQUENCIES = {"P0": profile, **dict(items[1:-2]), "P2": "", "P1": profile}
    """,
    )
    lines = out.splitlines()
    assert lines[:2] == ["['P0', 'P1'] []", "['P0', 'P1']"]
    assert "P0" in lines[2] and "P2" not in lines[2]


@pytest.mark.parametrize(
    "call, error, message",
    [
        (
            lambda: tessaly.alphabet_languages(("a",)),
            TypeError,
            r"^Argument 'characters' has incorrect type \(expected list, got tuple\)$",
        ),
        (lambda: tessaly.alphabet_languages(None), TypeError, "not iterable"),
        (lambda: tessaly.alphabet_languages(["a", 1]), TypeError, "^Expected str, got int$"),
        (lambda: tessaly.alphabet_languages(["ab"]), ValueError, "got length 2$"),
        (
            lambda: tessaly.mb_encoding_languages.__wrapped__(None),
            AttributeError,
            "^'NoneType' object has no attribute 'startswith'$",
        ),
        (
            lambda: tessaly.encoding_unicode_range(b"cp1252"),
            TypeError,
            r"^Argument 'iana_name' has incorrect type \(expected str, got bytes\)$",
        ),
        (
            lambda: tessaly.unicode_range_languages(type("S", (str,), {})("Cyrillic")),
            TypeError,
            r"^Argument 'primary_range' has incorrect type \(expected str, got S\)$",
        ),
        (lambda: tessaly.get_target_features("Klingon"), KeyError, "Klingon"),
        (
            lambda: tessaly.encoding_languages.__wrapped__(),
            TypeError,
            r"^encoding_languages\(\) takes exactly 1 positional argument \(0 given\)$",
        ),
    ],
)
def test_argument_errors(call, error, message):
    with pytest.raises(error, match=message):
        call()


# --- rebound record sources -----------------------------------------------------------------------------------

RECORD_USERS = [
    lambda: tessaly.get_target_features.__wrapped__("English"),
    lambda: tessaly.unicode_range_languages("Cyrillic"),
    lambda: tessaly.alphabet_languages(["a", "\u00e9"]),
    lambda: tessaly.encoding_unicode_range("cp1252"),
]


@pytest.mark.parametrize("call", RECORD_USERS)
@pytest.mark.parametrize(
    "name, value, error, message",
    [
        ("_ASCII_CHAR_INFO", [], ValueError, "must hold 128 CharInfo records, got a list of 0$"),
        ("_ASCII_CHAR_INFO", [None] * 128, TypeError, "^Cannot convert NoneType to vexlora.murkel.CharInfo$"),
        ("_char_info", lambda ch: None, TypeError, "^Cannot convert NoneType to vexlora.murkel.CharInfo$"),
    ],
)
def test_foreign_records_refused(monkeypatch, call, name, value, error, message):
    monkeypatch.setattr(tessaly, name, value)
    if name == "_char_info":  # reached only for a character above U+007F
        monkeypatch.setattr(tessaly, "FREQUENCIES", {"English": "\u00e9\u0436"})
    with pytest.raises(error, match=message):
        call()


@pytest.mark.parametrize(
    "name, call",
    [
        ("is_multi_byte_encoding", lambda: tessaly.encoding_unicode_range("cp1252")),
        ("encoding_unicode_range", lambda: tessaly.encoding_languages.__wrapped__("cp1252")),
        ("ZH_NAMES", lambda: tessaly.mb_encoding_languages.__wrapped__("big5")),
        ("itemgetter", lambda: tessaly.alphabet_languages([])),
    ],
)
def test_missing_global(monkeypatch, name, call):
    monkeypatch.delattr(tessaly, name)
    with pytest.raises(NameError, match=f"^name '{name}' is not defined$"):
        call()
