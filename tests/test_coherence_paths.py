"""coherence_ratio: the frequency order of a layer is the same whatever the layer's storage width,
length or number of distinct letters."""

import pytest
from hypothesis import given, settings, strategies as st

from vexlora.constant import FREQUENCIES, TOO_SMALL_SEQUENCE
from vexlora.tessaly import coherence_ratio

from support import coherence_restated

LANGUAGES = ",".join(FREQUENCIES)


@settings(max_examples=60, deadline=None)
@given(
    st.sampled_from(
        ["abcdefg", "abc\u00e9\u00e8\u00ef\u00df", "\u0430\u0431\u0432\u0433\u0434\u0435", "ab\U0001d41a\U0001d41b"]
    ).flatmap(lambda letters: st.lists(st.sampled_from(letters), min_size=TOO_SMALL_SEQUENCE + 1, max_size=300))
)
def test_tied_counts_keep_first_appearance_at_every_width(letters):
    # Few distinct letters make many ties; the popularity order then decides every ratio.
    text = "".join(letters)
    assert coherence_ratio(text, 0.0, LANGUAGES) == coherence_restated(text, 0.0, LANGUAGES)


CHINESE = FREQUENCIES["Chinese"][:70]
LATIN1 = "abcdefghijklmnopqrstuvwxyz" + "".join(
    map(chr, (0xE0, 0xE1, 0xE2, 0xE4, 0xE7, 0xE8, 0xE9, 0xEA, 0xEB, 0xF4, 0xFC))
)


@settings(max_examples=40, deadline=None)
@given(
    st.sampled_from([CHINESE, LATIN1, CHINESE[:40] + LATIN1[:30]]).flatmap(
        lambda letters: st.lists(st.sampled_from(letters), min_size=TOO_SMALL_SEQUENCE + 1, max_size=2000)
    )
)
def test_many_distinct_letters_keep_first_appearance(letters):
    # More than a few dozen distinct letters, in layers shorter and longer than a thousand.
    text = "".join(letters)
    assert coherence_ratio(text, 0.0, LANGUAGES) == coherence_restated(text, 0.0, LANGUAGES)


@pytest.mark.parametrize(
    "text",
    [
        "e" * 1500 + LATIN1 * 3,  # one count past a thousand, many distinct letters
        CHINESE[0] * 1200 + CHINESE * 2 + CHINESE[5] * 1100,
        (LATIN1 * 40)[::-1],  # a long one-byte layer of ties
        "".join(CHINESE[(k * k + 3 * k) % len(CHINESE)] for k in range(20000)),  # a long two-byte layer
    ],
)
def test_very_frequent_letters_keep_the_order(text):
    assert coherence_ratio(text, 0.0, LANGUAGES) == coherence_restated(text, 0.0, LANGUAGES)


def test_long_two_byte_layers_counted_from_zero_at_every_call():
    # Long two-byte layers share one table of counters between calls; whatever an earlier call
    # counted, with other letters or the same ones, must not show in the next.
    texts = [
        "".join(CHINESE[(k * 7) % 50] for k in range(17000)),
        "".join(CHINESE[20 + (k * k) % 50] for k in range(18000)),
        "".join(CHINESE[(k * 7) % 50] for k in range(17000)) + CHINESE[60] * 900,
    ]
    expected = [coherence_restated(text, 0.0, LANGUAGES) for text in texts]
    for _ in range(2):
        assert [coherence_ratio(text, 0.0, LANGUAGES) for text in texts] == expected
