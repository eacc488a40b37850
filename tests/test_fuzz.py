"""A short fuzzing run over every entry point (the long one is `./dev fuzz`),
and the faults that fuzzing found, each pinned down on its own."""

import os
import re
import subprocess
import sys

import pytest
from hypothesis import given, settings, strategies as st

import vexlora.murkel as murkel
import vexlora.tessaly as tessaly
from vexlora.constant import FREQUENCIES

from support import check_python

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "fuzz"))
import harness  # noqa: E402


@pytest.mark.parametrize("seed", [1, 2, 3, 4])
def test_short_fuzz_run(seed):
    assert harness.run_cases(seed, 0, 4000) == 4000


# Every code point, surrogates included.
any_text = st.text(st.characters(codec=None, categories=None), max_size=600)


@settings(max_examples=150, deadline=None)
@given(any_text)
def test_any_text_gives_well_formed_results(text):
    ratio = murkel.mess_ratio(text)
    assert ratio >= 0.0 and round(ratio, 3) == ratio
    layers = tessaly.alpha_unicode_split(text)
    assert all(layer and layer == layer.lower() for layer in layers)
    for language, score in tessaly.coherence_ratio(text, 0.0):
        assert 0.0 <= score <= 1.0 and language in FREQUENCIES


def test_record_survives_host_resizing_its_page():
    # A host function that empties the page being filled must not make the
    # cache write past the end of it.
    check_python("""
        import vexlora.murkel as m
        original = m.unicode_range
        def shrinking(ch):
            m._CHAR_INFO_PAGES[ord(ch) >> 8].clear()
            return original(ch)
        m.unicode_range = shrinking
        info = m._char_info("\\u4e01")
        assert info.character == "\\u4e01"
        assert m._CHAR_INFO_PAGES[0x4E] == []
        m.unicode_range = original
    """)


@pytest.mark.parametrize(
    "call", ["m.mess_ratio(X)", "m._char_info(X)", "t.alpha_unicode_split(X)", "t.coherence_ratio(X * 40)"]
)
def test_host_calling_back_in_ends_in_recursion_error(call):
    # unicode_range rebound to mess_ratio: building the record of X needs the
    # record of X. Each level must count against the recursion limit.
    check_python(f"""
        import vexlora.murkel as m, vexlora.tessaly as t
        X = "\\U0001D400"  # never cached at start-up
        m.unicode_range = m.mess_ratio
        try:
            {call}
        except RecursionError:
            pass
        else:
            raise SystemExit("no RecursionError")
    """)


def test_short_hostile_run():
    # Hooks on the host functions and module globals that rewrite records,
    # rebind tables, clear private dicts and re-enter, in worker processes so
    # that a crash is reported with its case. A fixed seed: the same cases
    # every run (the long campaign is `./dev fuzz --hostile`).
    import known

    run = subprocess.run(
        [
            sys.executable,
            os.path.join(os.path.dirname(__file__), "fuzz", "run.py"),
            "--hostile",
            "--cases",
            "2500",
            "--seed",
            "13",
            "--jobs",
            "1",
        ],
        capture_output=True,
        text=True,
        timeout=600,
    )
    summary = run.stdout.splitlines()[-1]
    assert summary.startswith("new: 0 "), run.stdout[-6000:]
    seen = {label for label in re.findall(r"(\S+) x\d+", summary)}
    assert seen <= known.UNFIXED, run.stdout[-6000:]
    assert run.returncode == (1 if seen else 0), run.stdout[-6000:]


def test_hostile_case_is_reproducible():
    # A hostile case must make the same moves whatever ran before it in the
    # process: its number is the reproducer of a crash.
    import gc
    import io

    import hostile

    def moves(index):
        log = io.StringIO()
        hostile.TRACE = log
        try:
            hostile.run_case(hostile.case_source(3, index))
        finally:
            hostile.TRACE = None
        return log.getvalue()

    try:
        first = [moves(i) for i in range(60, 90)]
        again = [moves(i) for i in reversed(range(60, 90))][::-1]
    finally:
        gc.unfreeze()  # hostile cases freeze what exists before them
    assert first == again
    assert sum(line.lstrip().startswith("act ") for case in first for line in case.splitlines()) > 20
