"""Every public entry point of both modules, called thousands of times on good
and on failing arguments, must not make the interpreter's allocated block
count grow."""

import copy
import gc
import pickle
import sys

import pytest

import vexlora.murkel as murkel
import vexlora.tessaly as tessaly

from support import PLUGINS

pytestmark = pytest.mark.skipif(
    sys.getallocatedblocks() == 0, reason="block counts need the interpreter's own allocator (not PYTHONMALLOC=malloc)"
)

TEXT = "Le cœur a ses raisons — Привет, 世界! ｶﾀｶﾅ مرحبا ﬁn x² \x1b\ufeff" * 4
E_ACUTE = murkel._char_info("é")
FIELDS = [name for name in dir(murkel.CharInfo) if not name.startswith("_")]


def fails(fn, *args, **kwargs):
    def call():
        try:
            fn(*args, **kwargs)
        except Exception:
            pass
        else:
            raise AssertionError(f"{fn!r} did not fail")

    return call


def feed_and_read(cls):
    def call():
        plugin = cls()
        for ch in "Éé—世ｶ a.":
            plugin.feed_info(ch, murkel._char_info(ch))
        plugin.ratio
        plugin.reset()

    return call


def round_trip(obj):
    return lambda: pickle.loads(pickle.dumps(obj))


def reconstruct(cls, checksum, state):
    return lambda: getattr(murkel, "__pyx_unpickle_" + cls.__name__)(cls, checksum, state)


class Sub(murkel.MessDetectorPlugin):
    def feed_info(self, character, info):
        pass


def dispatching():
    plugin = Sub()
    plugin.extra = [1, 2]
    pickle.loads(pickle.dumps(plugin))


GOOD = {
    "mess_ratio": lambda: murkel.mess_ratio(TEXT),
    "mess_ratio_debug": lambda: murkel.mess_ratio(TEXT[:20], 1.0, debug=True),
    "mess_ratio_early_stop": lambda: murkel.mess_ratio("\x01" * 300, 0.0),
    "char_info_new": lambda: murkel.CharInfo("ß"),
    "char_info_reinit": lambda: murkel.CharInfo("a").__init__("Ω"),
    "char_info_cached": lambda: murkel._char_info("Ж"),
    "char_info_fields": lambda: [getattr(E_ACUTE, name) for name in FIELDS],
    "char_info_pickle": round_trip(E_ACUTE),
    "char_info_copy": lambda: copy.deepcopy(E_ACUTE),
    "successive_range": lambda: murkel.is_suspiciously_successive_range("Basic Latin", "Cyrillic"),
    "successive_range_bare": lambda: murkel.is_suspiciously_successive_range.__wrapped__("Cyrillic", "Arabic"),
    "python_subclass": dispatching,
    **{f"plugin_{cls.__name__}": feed_and_read(cls) for cls in PLUGINS},
    **{f"pickle_{cls.__name__}": round_trip(cls()) for cls in PLUGINS},
    "reconstruct_none": reconstruct(murkel.SuspiciousRange, 205150314, None),
    "encoding_unicode_range": lambda: tessaly.encoding_unicode_range("cp1251"),
    "encoding_languages": lambda: tessaly.encoding_languages.__wrapped__("cp1253"),
    "encoding_languages_missing": lambda: tessaly.encoding_languages.__wrapped__("no_such_codec"),
    "mb_encoding_languages": lambda: tessaly.mb_encoding_languages.__wrapped__("gb2312"),
    "unicode_range_languages": lambda: tessaly.unicode_range_languages("Cyrillic"),
    "get_target_features": lambda: tessaly.get_target_features.__wrapped__("French"),
    "alphabet_languages": lambda: tessaly.alphabet_languages(list("abcdefghijklmnopqrstuvwxyzé"), True),
    "popularity": lambda: tessaly.characters_popularity_compare("English", list("etaoinshrdlucmfwypvbgkjqxz")),
    "popularity_long": lambda: tessaly.characters_popularity_compare("English", list("etaoin" * 100)),
    "alpha_unicode_split": lambda: tessaly.alpha_unicode_split(TEXT),
    "coherence_ratio": lambda: tessaly.coherence_ratio("Le cœur a ses raisons que la raison ne connaît point " * 3),
    "coherence_ratio_included": lambda: tessaly.coherence_ratio(
        "the quick brown fox jumps " * 3, 0.0, "Latin Based,English,French"
    ),
    "merge": lambda: tessaly.merge_coherence_ratios([[("English", 0.5), ("French", 0.25)], [("English", 0.7)]]),
    "filter": lambda: tessaly.filter_alt_coherence_matches([("English—", 0.5), ("English", 0.25)]),
}

FAILING = {
    "mess_ratio_type": fails(murkel.mess_ratio, b"bytes"),
    "mess_ratio_none": fails(murkel.mess_ratio, None),
    "mess_ratio_count": fails(murkel.mess_ratio),
    "mess_ratio_keyword": fails(murkel.mess_ratio, "a", nope=1),
    "mess_ratio_threshold": fails(murkel.mess_ratio, "a", "x"),
    "char_info_length": fails(murkel.CharInfo, "ab"),
    "char_info_none": fails(murkel._char_info, None),
    "successive_range_unknown": fails(murkel.is_suspiciously_successive_range, "No Such Block", "Cyrillic"),
    "feed_info_none": fails(murkel.SuspiciousRange().feed_info, "a", None),
    "feed_info_type": fails(murkel.SuperWeirdWordPlugin().feed_info, b"a", E_ACUTE),
    "reset_args": fails(murkel.UnprintablePlugin().reset, 1),
    "base_ratio": fails(lambda: murkel.MessDetectorPlugin().ratio),
    "setstate_short": fails(murkel.SuperWeirdWordPlugin().__setstate__, (1, 2)),
    "setstate_overflow": fails(murkel.CjkUncommonPlugin().__setstate__, (2**31, 0)),
    "setstate_foreign_record": fails(murkel.SuspiciousDuplicateAccentPlugin().__setstate__, (1, object(), True, 0)),
    "reconstruct_checksum": fails(murkel.__pyx_unpickle_CharInfo, murkel.CharInfo, 0, None),
    "reconstruct_state_type": fails(murkel.__pyx_unpickle_UnprintablePlugin, murkel.UnprintablePlugin, 218567335, []),
    "reconstruct_bad_type": fails(murkel.__pyx_unpickle_UnprintablePlugin, int, 218567335, None),
    "encoding_multibyte": fails(tessaly.encoding_unicode_range, "shift_jis"),
    "encoding_type": fails(tessaly.encoding_languages, 5),
    "mb_encoding_none": fails(tessaly.mb_encoding_languages.__wrapped__, None),
    "range_languages_type": fails(tessaly.unicode_range_languages, b"x"),
    "features_unknown": fails(tessaly.get_target_features.__wrapped__, "Klingon"),
    "alphabet_element": fails(tessaly.alphabet_languages, ["a", 1]),
    "alphabet_none": fails(tessaly.alphabet_languages, None),
    "popularity_unknown": fails(tessaly.characters_popularity_compare, "Klingon", ["a"]),
    "popularity_empty": fails(tessaly.characters_popularity_compare, "English", []),
    "split_type": fails(tessaly.alpha_unicode_split, 1),
    "coherence_language": fails(tessaly.coherence_ratio, "bonjour " * 10, 0.1, "English, French"),
    "coherence_threshold": fails(tessaly.coherence_ratio, "bonjour " * 10, "x"),
    "merge_unpack": fails(tessaly.merge_coherence_ratios, [[("English", 0.5, 1)]]),
    "filter_none": fails(tessaly.filter_alt_coherence_matches, None),
}


def leaked_blocks(fn, rounds: int) -> int:
    for _ in range(200):  # fill caches, intern strings, create logger objects
        fn()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(rounds):
        fn()
    gc.collect()
    return sys.getallocatedblocks() - before


def assert_flat(fn):
    # A leak of one block per call shows as thousands; allow a little noise
    # from the interpreter's own free lists and caches.
    growth = leaked_blocks(fn, 3000)
    if growth > 30:
        growth = leaked_blocks(fn, 3000)  # a cache may have been filling
    assert growth <= 30, f"{growth} blocks more after 3000 calls"


@pytest.mark.parametrize("name", sorted(GOOD))
def test_no_leak_on_success(name):
    assert_flat(GOOD[name])


@pytest.mark.parametrize("name", sorted(FAILING))
def test_no_leak_on_failure(name):
    assert_flat(FAILING[name])


def test_no_leak_with_rebound_tables(monkeypatch):
    short = murkel._ASCII_CHAR_INFO[:100]
    monkeypatch.setattr(murkel, "_ASCII_CHAR_INFO", short)
    monkeypatch.setattr(tessaly, "_ASCII_CHAR_INFO", short)
    assert_flat(fails(murkel.mess_ratio, "abc"))
    assert_flat(fails(tessaly.alpha_unicode_split, "abc"))
    pages = [None] * 4352
    pages[0x4E] = [None] * 3
    monkeypatch.setattr(murkel, "_CHAR_INFO_PAGES", pages)
    assert_flat(fails(murkel._char_info, "\u4e00"))
