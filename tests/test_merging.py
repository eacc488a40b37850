"""Result merging: collapsing alternative names and averaging result lists."""

import pytest

import vexlora.tessaly as tessaly
from vexlora.tessaly import filter_alt_coherence_matches, merge_coherence_ratios

EM = "\u2014"


@pytest.mark.parametrize(
    "results",
    [
        [],
        [("English", 0.5), ("French", 0.4)],
        [("English" + EM, 0.5), ("French", 0.4)],  # a lone alternative name keeps its dash
        [["English", 0.5], iter(("French", 0.4))],  # any object unpacking into two values
    ],
)
def test_filter_returns_the_same_list_without_repeats(results):
    snapshot = list(results)
    assert filter_alt_coherence_matches(results) is results
    assert results == snapshot


def test_filter_collapses_alternative_names_in_first_appearance_order():
    results = [
        ("Greek", 0.9),
        ("English", 0.5),
        ("Fr" + EM + "ench" + EM, 0.3),
        ("English" + EM, 0.7),
        ("English", 0.6),
    ]
    assert filter_alt_coherence_matches(results) == [("Greek", 0.9), ("English", 0.7), ("French", 0.3)]


@pytest.mark.parametrize(
    "results, error, message",
    [
        (None, TypeError, "'NoneType' object is not iterable"),
        ((("English", 0.5),), TypeError, "Argument 'results' has incorrect type (expected list, got tuple)"),
        ([("English", 0.5, 1)], ValueError, "too many values to unpack (expected 2)"),
        ([("English",)], ValueError, "need more than 1 value to unpack"),
        ([()], ValueError, "need more than 0 values to unpack"),
        ([iter(["English"])], ValueError, "need more than 1 value to unpack"),
        ([(7, 0.5)], AttributeError, "'int' object has no attribute 'replace'"),
    ],
)
def test_filter_errors(results, error, message):
    with pytest.raises(error) as info:
        filter_alt_coherence_matches(results)
    assert str(info.value) == message


def test_filter_requires_replace_to_return_str():
    class Name(str):
        def replace(self, old, new):
            return 42

    with pytest.raises(TypeError, match="^Expected str, got int$"):
        filter_alt_coherence_matches([(Name("English"), 0.5)])


def test_filter_survives_a_list_changed_by_replace():
    results = []

    class Name(str):
        def replace(self, old, new):
            results.clear()
            return str(self)

    results.extend([(Name("English"), 0.5), ("English", 0.7)])
    assert filter_alt_coherence_matches(results) is results  # the walk stops at the new end


@pytest.mark.parametrize(
    "results, expected",
    [
        ([], []),
        ([[("English", 0.8), ("French", 0.3)], [("English", 0.6)]], [("English", 0.7), ("French", 0.3)]),
        ([[("A", 0.2), ("B", 0.5)], [("C", 0.5), ("A", 0.8)]], [("A", 0.5), ("B", 0.5), ("C", 0.5)]),  # stable
        ([[("A", 1 / 3)]], [("A", 0.3333)]),
        ([[("A", 0.1), ("A", 0.2)], []], [("A", 0.15)]),
        ([(("A", 1), ("B", 2))], [("B", 2), ("A", 1)]),  # ints: host arithmetic gives 1.0 and 2.0
    ],
)
def test_merge_averages_and_sorts(results, expected):
    merged = merge_coherence_ratios(results)
    assert merged == expected
    assert all(type(pair) is tuple for pair in merged)


@pytest.mark.parametrize(
    "results, error, message",
    [
        (None, TypeError, "'NoneType' object is not iterable"),
        ({}, TypeError, "Argument 'results' has incorrect type (expected list, got dict)"),
        ([5], TypeError, "'int' object is not iterable"),
        ([[("A", 0.5, 0)]], ValueError, "too many values to unpack (expected 2)"),
        ([[("A", "x")]], TypeError, "unsupported operand type(s) for +: 'int' and 'str'"),
    ],
)
def test_merge_errors(results, error, message):
    with pytest.raises(error) as info:
        merge_coherence_ratios(results)
    assert str(info.value) == message


def test_merge_looks_up_itemgetter_at_each_call(monkeypatch):
    monkeypatch.delattr(tessaly, "itemgetter")
    with pytest.raises(NameError, match="name 'itemgetter' is not defined"):
        merge_coherence_ratios([[("A", 0.5)]])


@pytest.mark.parametrize("function", [filter_alt_coherence_matches, merge_coherence_ratios])
def test_argument_count_and_keyword(function):
    name = function.__name__
    with pytest.raises(TypeError, match=rf"^{name}\(\) takes exactly 1 positional argument \(2 given\)$"):
        function([], [])
    assert function(results=[]) == []
