"""is_suspiciously_successive_range, its memo, and SuspiciousRange's use of it."""

import functools
import itertools
import traceback

import pytest

import vexlora.murkel as m

judge = m.is_suspiciously_successive_range.__wrapped__  # the bare function, without memo
_fresh = itertools.count()


def fresh(name):
    """A block name the memo has never seen."""
    return f"{name} #{next(_fresh)}"


class Raising:
    def __getitem__(self, key):
        raise AssertionError("table consulted")

    def __contains__(self, item):
        raise AssertionError("table consulted")


@pytest.fixture
def tables(monkeypatch):
    """Small host tables bound as the module globals."""
    monkeypatch.setattr(
        m,
        "_RANGE_FAMILIES",
        {
            "Basic Latin": "Latin",
            "Latin-1 Supplement": "Latin",
            "Cyrillic": "Cyrillic",
            "Greek": "Greek",
            "Coptic": "Coptic",
            "General Punctuation": "Punctuation",
            "Thai": "Thai",
            "Nowhere": None,
            "Odd": 42,
            "Hiragana": "Japanese",
            "CJK": "CJK",
        },
    )
    monkeypatch.setattr(m, "_COMPATIBLE_WITH_ANY_RANGE_FAMILIES", frozenset({"Punctuation"}))
    monkeypatch.setattr(m, "CompatibleFamillyRange", lambda a, b: (a, b))
    monkeypatch.setattr(m, "_COMPATIBLE_RANGE_FAMILIES", frozenset({("Greek", "Coptic"), ("CJK", "Japanese")}))
    monkeypatch.setattr(m, "_BASIC_LATIN_COMPATIBLE_RANGE_FAMILIES", frozenset({"Latin", "Thai"}))


@pytest.mark.parametrize(
    "a, b, expected",
    [
        ("Basic Latin", "Latin-1 Supplement", False),  # same family
        ("Nowhere", "Nowhere", False),  # two unknown families are equal too
        ("Cyrillic", "General Punctuation", False),  # compatible with anything, either side
        ("General Punctuation", "Greek", False),
        ("Greek", "Coptic", False),  # the pair is ordered...
        ("Coptic", "Greek", True),  # ...so the reverse is not listed
        ("Basic Latin", "Thai", False),  # Basic Latin neighbours, either order
        ("Thai", "Basic Latin", False),
        ("Basic Latin", "Cyrillic", True),
        ("Cyrillic", "Basic Latin", True),
        ("Cyrillic", "Nowhere", True),
    ],
)
def test_rules(tables, a, b, expected):
    assert judge(a, b) is expected


@pytest.mark.parametrize("args", [(None, "Basic Latin"), ("Basic Latin", None)])
def test_unknown_block_is_suspicious_without_any_table(monkeypatch, args):
    for name in (
        "_RANGE_FAMILIES",
        "_COMPATIBLE_WITH_ANY_RANGE_FAMILIES",
        "_COMPATIBLE_RANGE_FAMILIES",
        "_BASIC_LATIN_COMPATIBLE_RANGE_FAMILIES",
    ):
        monkeypatch.setattr(m, name, Raising())
    assert judge(*args) is True


@pytest.mark.parametrize(
    "a, b, exc, message",
    [
        ("Basic Latin", "Klingon", KeyError, "Klingon"),
        ("Odd", "Basic Latin", TypeError, "Expected str, got int"),
        ("Basic Latin", "Odd", TypeError, "Expected str, got int"),
    ],
)
def test_table_errors_propagate_with_a_traceback_entry(tables, a, b, exc, message):
    with pytest.raises(exc, match=message) as err:
        judge(a, b)
    names = [frame.name for frame in traceback.extract_tb(err.value.__traceback__)]
    assert "vexlora.murkel.is_suspiciously_successive_range" in names


def test_missing_table_is_a_name_error(monkeypatch, tables):
    monkeypatch.delattr(m, "_COMPATIBLE_RANGE_FAMILIES")
    with pytest.raises(NameError, match="name '_COMPATIBLE_RANGE_FAMILIES' is not defined"):
        judge("Cyrillic", "Greek")


def test_family_table_is_looked_up_for_each_block(monkeypatch, tables):
    # The first subscription rebinds the table; the second must read the new one.
    class Rebinding(dict):
        def __getitem__(self, key):
            monkeypatch.setattr(m, "_RANGE_FAMILIES", {"Greek": "Greek"})
            return "Cyrillic"

    monkeypatch.setattr(m, "_RANGE_FAMILIES", Rebinding())
    assert judge("Cyrillic", "Greek") is True  # the old table would give "Cyrillic" twice: False


def test_arguments(tables):
    assert judge(unicode_range_b="Basic Latin", unicode_range_a="Cyrillic") is True
    message = r"^is_suspiciously_successive_range\(\) takes exactly 2 positional arguments \(1 given\)$"
    with pytest.raises(TypeError, match=message):
        judge("Basic Latin")
    with pytest.raises(TypeError, match="got an unexpected keyword argument 'unicode_range_c'"):
        judge("a", unicode_range_c="b")


def test_module_attribute_is_an_unbounded_lru_cache():
    wrapper = m.is_suspiciously_successive_range
    assert isinstance(wrapper, functools._lru_cache_wrapper)
    assert wrapper.cache_parameters()["maxsize"] is None
    assert judge.__name__ == judge.__qualname__ == "is_suspiciously_successive_range"
    assert judge.__module__ == "vexlora.murkel"
    assert wrapper.__doc__ == judge.__doc__ == "Return whether two adjacent Unicode ranges are suspicious."


def test_memo_keeps_answers_but_not_errors(monkeypatch, tables):
    first, second = fresh("Alpha"), fresh("Beta")
    families = dict(m._RANGE_FAMILIES)
    monkeypatch.setattr(m, "_RANGE_FAMILIES", families)
    with pytest.raises(KeyError):
        m.is_suspiciously_successive_range(first, second)
    families.update({first: "Latin", second: "Latin"})
    assert m.is_suspiciously_successive_range(first, second) is False
    families.update({first: "Greek", second: "Cyrillic"})  # the memo answers from now on
    monkeypatch.setattr(m, "_RANGE_FAMILIES", Raising())
    assert m.is_suspiciously_successive_range(first, second) is False


# --- SuspiciousRange goes through the module global ---


def feed_range(plugin, ranges):
    """Feed printable, non-separating records whose blocks are `ranges`."""
    records = {r: next(info for info in map(m._char_info, "aжΩ中é") if info.range == r) for r in set(ranges)}
    for r in ranges:
        plugin.feed_info(records[r].character, records[r])


def test_suspicious_range_calls_the_global_only_on_block_changes(monkeypatch):
    calls = []
    monkeypatch.setattr(m, "is_suspiciously_successive_range", lambda a, b: calls.append((a, b)) or True)
    plugin = m.SuspiciousRange()
    feed_range(plugin, ["Basic Latin"] * 5 + ["Cyrillic"] * 5 + ["Basic Latin"] * 4)
    assert calls == [("Basic Latin", "Cyrillic"), ("Cyrillic", "Basic Latin")]
    assert plugin.ratio == pytest.approx(2 * 2 / 14)


def test_suspicious_range_failure_keeps_the_previous_block(monkeypatch):
    def failing(a, b):
        raise LookupError(b)

    plugin = m.SuspiciousRange()
    feed_range(plugin, ["Basic Latin"])
    monkeypatch.setattr(m, "is_suspiciously_successive_range", failing)
    with pytest.raises(LookupError) as err:
        feed_range(plugin, ["Cyrillic"])
    names = [frame.name for frame in traceback.extract_tb(err.value.__traceback__)]
    assert names[-3:] == ["vexlora.murkel.SuspiciousRange.feed_info", "vexlora.murkel.SuspiciousRange._feed", "failing"]
    calls = []
    monkeypatch.setattr(m, "is_suspiciously_successive_range", lambda a, b: calls.append((a, b)) or True)
    feed_range(plugin, ["Cyrillic"] + ["Basic Latin"] * 11)
    assert calls[0] == ("Basic Latin", "Cyrillic")
    assert plugin.ratio == pytest.approx(2 * 2 / 14)  # the failed character was counted
