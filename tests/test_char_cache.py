"""The character record cache: prebuilt ASCII records and the paged table."""

import gc
import sys

import pytest

import vexlora.murkel as murkel
from vexlora.murkel import CharInfo, _char_info

from support import check_python


def test_same_record_for_repeated_requests():
    assert _char_info("\u00e9") is _char_info(character="\u00e9")


def test_ascii_request_gets_its_own_page_record():
    record = _char_info("a")
    prebuilt = murkel._ASCII_CHAR_INFO[97]
    assert record is not prebuilt
    assert [getattr(record, f) for f in ("alpha", "lower", "flags", "range", "safe")] == [
        getattr(prebuilt, f) for f in ("alpha", "lower", "flags", "range", "safe")
    ]


def test_tables_after_import():
    assert len(murkel._ASCII_CHAR_INFO) == 128
    assert all(type(r) is CharInfo and r.character == chr(i) for i, r in enumerate(murkel._ASCII_CHAR_INFO))
    assert len(murkel._CHAR_INFO_PAGES) == 4352


@pytest.mark.parametrize("cp, page, slot", [(0x10FFFF, 4351, 255), (0x4E00, 0x4E, 0)])
def test_page_placement(cp, page, slot):
    record = _char_info(chr(cp))
    stored = murkel._CHAR_INFO_PAGES[page]
    assert len(stored) == 256 and stored[slot] is record


def test_fresh_page_holds_only_the_requested_record():
    out = check_python("""
        import vexlora.murkel as m
        assert all(p is None for p in m._CHAR_INFO_PAGES)
        m._char_info(chr(0x4E00))
        page = m._CHAR_INFO_PAGES[0x4E]
        print(len(page), sum(e is not None for e in page), page[0].character == chr(0x4E00))
    """)
    assert out.split() == ["256", "1", "True"]


@pytest.mark.parametrize("value, error", [("ab", ValueError), (b"a", TypeError), (None, TypeError), (1, TypeError)])
def test_bad_arguments(value, error):
    with pytest.raises(error):
        _char_info(value)


def test_argument_count():
    with pytest.raises(TypeError, match=r"^_char_info\(\) takes exactly 1 positional argument \(2 given\)$"):
        _char_info("a", "b")


def test_failed_build_leaves_slot_empty_and_page_in_place():
    out = check_python("""
        import vexlora.murkel as m
        calls = []
        def flaky(ch):
            calls.append(ch)
            if len(calls) == 1:
                raise RuntimeError("host failure")
            return 0
        m._character_flags = flaky
        try:
            m._char_info("\\u0400")
        except RuntimeError as e:
            print("raised", e)
        print(m._CHAR_INFO_PAGES[4] is not None, m._CHAR_INFO_PAGES[4][0] is None)
        print(m._char_info("\\u0400").flags)
    """)
    assert out.split("\n")[:3] == ["raised host failure", "True True", "0"]


@pytest.mark.parametrize(
    "setup, error",
    [
        ("m._CHAR_INFO_PAGES = (None,) * 4352", "TypeError"),
        ("m._CHAR_INFO_PAGES = [None] * 3", "IndexError"),
        ("m._CHAR_INFO_PAGES = ['x'] * 4352", "TypeError"),
        ("m._CHAR_INFO_PAGES = [[None] * 10] * 4352", "TypeError"),
        ("m._CHAR_INFO_PAGES = [['junk'] * 256] * 4352", "TypeError"),
        ("del m._CHAR_INFO_PAGES", "NameError"),
    ],
)
def test_foreign_page_table_is_refused(setup, error):
    out = check_python(f"""
        import vexlora.murkel as m
        {setup}
        try:
            m._char_info("\\u4e00")
        except Exception as e:
            print(type(e).__name__)
    """)
    assert out.strip() == error


def test_first_plane_builds_without_leaking():
    out = check_python("""
        import sys, vexlora.murkel as m
        for cp in range(0x10000):
            m._char_info(chr(cp))
        before = sys.getallocatedblocks()
        for _ in range(3):
            for cp in range(0x10000):
                m._char_info(chr(cp))
        print(sys.getallocatedblocks() - before)
    """)
    assert abs(int(out)) < 100


def test_hits_do_not_change_reference_counts():
    record = _char_info("\u0416")
    before = sys.getrefcount(record)
    for _ in range(10000):
        _char_info("\u0416")
    gc.collect()
    assert sys.getrefcount(record) == before
