"""coherence_ratio: the frequency order of a layer is the same whatever the layer's storage width."""

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
