"""Layer split: layer strings at every storage width, lowercasing of the joined layer, and
records that change while a call runs."""

import pytest

import vexlora.murkel as murkel
import vexlora.tessaly as tessaly
from vexlora.tessaly import alpha_unicode_split

from support import check_python, split_restated


@pytest.fixture
def one_layer(monkeypatch):
    """No pair of ranges is suspicious: every letter joins the first layer."""
    monkeypatch.setattr(tessaly, "is_suspiciously_successive_range", lambda a, b: False)


def joined_lowered(text):
    """The single layer: every letter that has a range, joined, then lowered as one string."""

    def is_letter(ch):
        info = murkel._char_info(ch)
        return info.alpha and info.range is not None

    return "".join(ch for ch in text if is_letter(ch)).lower()


@pytest.mark.parametrize(
    "text",
    [
        "Hello, W\u00f6rld!",  # one byte per character
        "\u00c0\u00c9\u00ce\u00d5\u00dc\u00d7\u00de\u00df \u00ff\u00b5\u00aa",  # Latin-1 capitals, signs, caseless
        "Gr\u00fc\u00dfe \u20ac 42",  # two-byte text whose letters fit one byte
        "ab\U0001f600cd",  # four-byte text whose letters are ASCII
        "\u0416\u0430\u0440 \u00c9t\u00e9",  # two-byte letters with Latin-1 ones
        "\U0001d400\U0001d41ax \U00010400",  # letters outside the BMP
        "\ud800a\udfffb\udbff",  # lone surrogates are never letters
        "\u212a\u212b",  # two-byte capitals whose lowercase is one byte
    ],
)
def test_layer_at_every_width_equals_lowered_join(one_layer, text):
    assert alpha_unicode_split(text) == [joined_lowered(text)]


@pytest.mark.parametrize(
    "text, expected",
    [
        ("\u039f\u0394\u039f\u03a3", "\u03bf\u03b4\u03bf\u03c2"),  # final sigma
        ("\u039f\u0394\u039f\u03a3 \u039f", "\u03bf\u03b4\u03bf\u03c3\u03bf"),  # not final once joined
        ("\u03a3", "\u03c3"),  # alone: not final
        ("\u0130stanbul", "i\u0307stanbul"),  # one letter, two characters
        ("A\u0130 \u00c9", "ai\u0307\u00e9"),
    ],
)
def test_lowercasing_follows_str_lower_of_the_joined_layer(one_layer, text, expected):
    assert alpha_unicode_split(text) == [expected]


def test_every_latin1_letter_lowered_as_str_lower(one_layer):
    text = "".join(map(chr, range(256)))
    assert alpha_unicode_split(text) == [joined_lowered(text)]


@pytest.mark.parametrize(
    "replacement, expected",
    [
        ("X", "axc"),  # the record's character is written, not the text's
        ("\U0001d400", "a\U0001d400c"),  # a record wider than the text's storage
        ("\u0436", "a\u0436c"),
    ],
)
def test_layer_holds_the_records_character(monkeypatch, one_layer, replacement, expected):
    table = list(murkel._ASCII_CHAR_INFO)
    table[ord("b")] = murkel._char_info(replacement)
    monkeypatch.setattr(tessaly, "_ASCII_CHAR_INFO", table)
    assert alpha_unicode_split("abc " * 300) == [expected * 300]


def test_ascii_record_replaced_by_the_judge(monkeypatch):
    table = list(murkel._ASCII_CHAR_INFO)
    monkeypatch.setattr(tessaly, "_ASCII_CHAR_INFO", table)

    def judge(a, b):
        table[ord("a")] = murkel._ASCII_CHAR_INFO[ord("q")]
        return False

    monkeypatch.setattr(tessaly, "is_suspiciously_successive_range", judge)
    # The first "a" brings a new range, so the judge runs and swaps the record of "a". The
    # "a" right after it reuses the record of its predecessor; the one after the space reads
    # the list again.
    assert alpha_unicode_split("\u0436aa a") == ["\u0436aaq"]


def test_cached_record_replaced_by_the_judge(monkeypatch):
    de, zhe = murkel._char_info("\u0434"), murkel._char_info("\u0436")
    page = murkel._CHAR_INFO_PAGES[0x04]

    def judge(a, b):
        page[0x34] = zhe
        return False

    monkeypatch.setattr(tessaly, "is_suspiciously_successive_range", judge)
    try:
        # Every "\u0434" after the judge ran reads as the swapped record.
        assert alpha_unicode_split("\u0434a\u0434\u0434 \u0434") == ["\u0434a\u0436\u0436\u0436"]
    finally:
        page[0x34] = de


def test_record_built_mid_call_can_change_the_ascii_table():
    # Building the record of the euro sign runs the host's code, which here swaps the
    # record of "a"; the "a" after it must see the swap although no judge ran.
    out = check_python(
        """
        import vexlora.tessaly as t
        print(t.alpha_unicode_split("aa\\u20aca"))
    """,
        utils="""
        _real = unicode_range
        def unicode_range(ch):
            if ch == "\\u20ac":
                import vexlora.murkel as m
                m._ASCII_CHAR_INFO[97] = m._ASCII_CHAR_INFO[113]
            return _real(ch)
    """,
    )
    assert out.strip() == "['aaq']"


def test_calls_after_a_text_of_very_many_distinct_letters():
    # The split keeps its table of records between calls and drops it once it
    # has grown past its bound; the calls after that start from an empty table.
    check_python("""
        from vexlora.tessaly import alpha_unicode_split
        short = ["Привет, мир", "日本語の文章", "Ünïcödé ÀÉÎ", "ab\\u4e00cd"]
        expected = [alpha_unicode_split(text) for text in short]
        alpha_unicode_split("".join(chr(cp) for cp in range(0x4E00, 0x4E00 + 9000)))
        for _ in range(3):
            assert [alpha_unicode_split(text) for text in short] == expected
    """)


def _swap_slot_of_de(pages):
    pages[0x04][0x34] = murkel._char_info("\u0436")


def _rebind_to_fresh_pages(pages):
    murkel._CHAR_INFO_PAGES = [None] * len(pages)


@pytest.mark.parametrize(
    "change, expected",
    [
        # A record swapped in murkel's cache between two calls is what the next call reads.
        (_swap_slot_of_de, ["\u0436a\u0436"]),
        # A new table: the records are asked of murkel again, which fills the new table.
        (_rebind_to_fresh_pages, ["\u0434a\u0434"]),
    ],
)
def test_calls_follow_murkel_page_table(monkeypatch, one_layer, change, expected):
    pages = murkel._CHAR_INFO_PAGES
    monkeypatch.setattr(murkel, "_CHAR_INFO_PAGES", pages)
    saved = pages[0x04][0x34]
    try:
        assert alpha_unicode_split("\u0434a\u0434") == ["\u0434a\u0434"]
        change(pages)
        assert alpha_unicode_split("\u0434a\u0434") == expected
        assert isinstance(murkel._CHAR_INFO_PAGES[0x04], list)
    finally:
        pages[0x04][0x34] = saved


@pytest.mark.parametrize(
    "setup",
    [
        # Found among the built-in names once gone from murkel's namespace.
        "import builtins; builtins._CHAR_INFO_PAGES = m._CHAR_INFO_PAGES; del m._CHAR_INFO_PAGES",
        # A key that is not a str in murkel's namespace: its bindings can no longer be followed.
        "class K:\n    __hash__ = lambda self: 1\nm.__dict__[K()] = 1",
    ],
)
def test_swapped_records_seen_however_the_table_is_bound(setup):
    out = check_python(
        f"""
import vexlora.murkel as m, vexlora.tessaly as t
t.is_suspiciously_successive_range = lambda a, b: False
{setup}
import builtins
pages = m.__dict__.get("_CHAR_INFO_PAGES", getattr(builtins, "_CHAR_INFO_PAGES", None))
print(t.alpha_unicode_split("\\u0434a\\u0434 \\u0434"))
pages[0x04][0x34] = m._char_info("\\u0436")
print(t.alpha_unicode_split("\\u0434a\\u0434 \\u0434"))
"""
    )
    assert out.split() == ["['\u0434a\u0434\u0434']", "['\u0436a\u0436\u0436']"]


def test_judge_looked_up_at_each_use(monkeypatch):
    import builtins

    calls = []

    def second(a, b):
        calls.append("second")
        return False

    def first(a, b):
        # Rebinding the global takes effect at the very next block change.
        calls.append("first")
        monkeypatch.setattr(tessaly, "is_suspiciously_successive_range", second)
        return False

    monkeypatch.setattr(tessaly, "is_suspiciously_successive_range", first)
    assert alpha_unicode_split("\u0434a\u0434a") == ["\u0434a\u0434a"]
    assert calls == ["first", "second", "second"]

    # Gone from the namespace: the built-in name of the same spelling is used.
    monkeypatch.delattr(tessaly, "is_suspiciously_successive_range")
    monkeypatch.setattr(builtins, "is_suspiciously_successive_range", second, raising=False)
    calls.clear()
    alpha_unicode_split("\u0434a")
    assert calls == ["second"]


# --- ranges that are equal text in other objects, and many distinct ranges ----------------------------------

_RANGE_FIELD = 21  # position of `range` in a record's pickled state


def _record_of(ch):
    return murkel._ASCII_CHAR_INFO[ord(ch)] if ord(ch) < 128 else murkel._char_info(ch)


@pytest.fixture
def set_ranges():
    """Give the records of some characters other range objects, restored afterwards."""
    saved = []

    def apply(ranges):
        for ch, new_range in ranges.items():
            record = _record_of(ch)
            state = record.__reduce__()[2]
            saved.append((record, state))
            state = list(state)
            state[_RANGE_FIELD] = new_range
            record.__setstate__(tuple(state))

    yield apply
    for record, state in reversed(saved):
        record.__setstate__(state)


def _copy(text):
    """An equal str that is another object than the one murkel holds."""
    return "".join(list(text))


_CYRILLIC = [chr(0x430 + k) for k in range(32)] + [chr(0x450 + k) for k in range(16)]
_GREEK = [chr(0x3B1 + k) for k in range(17)] + [chr(0x3C3 + k) for k in range(7)] + [chr(0x3AC + k) for k in range(5)]
# Far more distinct range texts than a call compares by number: each letter its own range.
_MANY = {ch: f"Range {k}" for k, ch in enumerate(_CYRILLIC + _GREEK)}

_JUDGES = {
    "never": lambda a, b: False,
    "always": lambda a, b: True,
    "identity": lambda a, b: a is b,
    "mixed": lambda a, b: (len(a) * 7 + len(b) + ord(a[-1])) % 3 == 0,
}


@pytest.mark.parametrize("judge_name", sorted(_JUDGES))
@pytest.mark.parametrize(
    "ranges, text",
    [
        # The same range text from another object: joins the previous letter's layer unjudged.
        ({"\u3044": _copy("Hiragana")}, "\u3042\u3044\u3046 \u3044\u3044\u4e00\u3044"),
        # A later letter whose range equals the first layer's key, from another object.
        ({"b": _copy("Basic Latin")}, "a\u3042b\u3042 b a\u30a2b"),
        # Both: copies for the key and for a letter of a later layer.
        ({"a": _copy("Basic Latin"), "\u0434": _copy("Cyrillic")}, "ab\u0434\u0436a\u0434 \u03b1b\u0434\u0436"),
        (_MANY, "".join(_CYRILLIC + _GREEK) + " ab " + "".join(reversed(_CYRILLIC)) + "\u0430b\u03b1" * 5),
        (_MANY, ("\u0430\u0431a\u03b1 " * 40) + "".join(_GREEK) * 3),
    ],
    ids=["copy-of-previous", "copy-of-key", "copies", "many-ranges", "many-ranges-repeated"],
)
def test_split_and_judge_calls_follow_the_rule(monkeypatch, set_ranges, ranges, text, judge_name):
    """Ranges equal in text but not identity, and more range texts than the walk numbers,
    give the layers and the judge calls (the very objects, in order) the rule gives."""
    set_ranges(ranges)
    decide = _JUDGES[judge_name]
    native_calls, restated_calls = [], []

    def native_judge(a, b):
        native_calls.append((a, b))
        return decide(a, b)

    def restated_judge(a, b):
        restated_calls.append((a, b))
        return decide(a, b)

    monkeypatch.setattr(tessaly, "is_suspiciously_successive_range", native_judge)
    expected = split_restated(text, restated_judge, _record_of)
    assert alpha_unicode_split(text) == expected
    assert [(id(a), id(b)) for a, b in native_calls] == [(id(a), id(b)) for a, b in restated_calls]
