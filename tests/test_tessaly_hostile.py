"""tessaly under hostile Python code: callbacks that rewrite records, clear private dicts found
through the collector, rebind murkel's classes, re-enter the module without end, or interrupt a
long call. Each case runs in a fresh interpreter with the allocator's debug hooks, which overwrite
freed memory, so that reading an object after it was freed fails visibly."""

import os
import signal
import subprocess
import sys
import time

import pytest

from support import check_python, import_outcome


@pytest.fixture(autouse=True)
def debug_allocator(monkeypatch):
    # The sanitizer build runs on the system allocator; keep it and add the hooks.
    plain = os.environ.get("PYTHONMALLOC") == "malloc"
    monkeypatch.setenv("PYTHONMALLOC", "malloc_debug" if plain else "debug")


# Frees the memory of the next list that dies instead of keeping it for reuse:
# the interpreter keeps up to 80 freed lists, so 200 more fill that store.
FILL_LIST_FREELIST = "_junk = [[] for _ in range(200)]; del _junk"

CLEAR_DICTS_HOLDING_MY_LIST = f"""
import gc
def clear_dicts_holding_lists_of(obj):
    for lst in gc.get_referrers(obj):
        if type(lst) is list:
            for d in gc.get_referrers(lst):
                if type(d) is dict and d is not globals():
                    d.clear()
    {FILL_LIST_FREELIST}
"""


def test_range_rewritten_by_its_own_eq_during_unicode_range_languages():
    # The range's __eq__ rewrites the record, dropping the range, then asks for the reflected
    # comparison, which still uses the range.
    out = check_python("""
        import vexlora.murkel as m, vexlora.tessaly as t
        state = list(m._char_info("a").__reduce__()[2])
        RANGE = 21  # position of `range` in the state tuple
        record = m.CharInfo("a")

        class Range:
            __hash__ = object.__hash__
            def __eq__(self, other):
                fresh = list(state)
                fresh[RANGE] = "".join(["Basic", " Latin"])
                record.__setstate__(tuple(fresh))
                return NotImplemented

        def install():
            hostile = list(state)
            hostile[RANGE] = Range()
            record.__setstate__(tuple(hostile))
        install()
        t._ASCII_CHAR_INFO = [record] * 128
        print("English" in t.unicode_range_languages("Basic Latin"))
    """)
    assert out.strip() == "True"


FRESH_RANGE_STRINGS = """
_real = unicode_range
def unicode_range(ch):
    found = _real(ch)
    return None if found is None else "".join(list(found))
"""


@pytest.mark.parametrize("call", ["alpha_unicode_split", "coherence_ratio"])
def test_judge_rebuilding_a_record_frees_nothing_the_walk_holds(call):
    # Every __init__ gives the record of "\xe9" a new range string and drops the old one, which
    # is the key of the first layer and the range cached for "\xe9".
    out = check_python(
        f"""
        import vexlora.murkel as m, vexlora.tessaly as t
        def judge(a, b):
            m._char_info("\\xe9").__init__("\\xe9")
            return True
        t.is_suspiciously_successive_range = judge
        print(t.{call}("\\xe9\\u0436\\xe9\\u0436 \\u0436\\xe9" * 40))
    """,
        utils=FRESH_RANGE_STRINGS,
    )
    expected = {"alpha_unicode_split": "['" + "\xe9" * 120 + "', '" + "\u0436" * 120 + "']", "coherence_ratio": "[]"}
    assert out.strip() == expected[call]


@pytest.mark.parametrize(
    "rewrite, text, expected",
    [
        # murkel hands back the same cached record, whose fields the judge changed meanwhile.
        ('m._char_info("\\xe9").__init__("\\u0436")', "\xe9\u0436\xe9", ["\xe9", "\u0436\u0436"]),
        # The same for an entry of _ASCII_CHAR_INFO, also met again by the walk's fast path.
        ('m._ASCII_CHAR_INFO[97].__init__("b")', "a\u0436a a a a", ["a\u0436bbbb"]),
    ],
)
def test_records_rewritten_by_the_judge_are_read_again(rewrite, text, expected):
    out = check_python(f"""
        import vexlora.murkel as m, vexlora.tessaly as t
        def judge(a, b):
            {rewrite}
            return a != "Basic Latin"
        t.is_suspiciously_successive_range = judge
        print(t.alpha_unicode_split({text!r}))
    """)
    assert out.strip() == repr(expected)


def test_merge_survives_sum_clearing_its_groups():
    out = check_python(
        CLEAR_DICTS_HOLDING_MY_LIST
        + """
import vexlora.tessaly as t
class Ratio(float):
    def __radd__(self, other):
        clear_dicts_holding_lists_of(self)
        return float(self) + other
print(t.merge_coherence_ratios([[("English", Ratio(0.5))], [("English", Ratio(0.7)), ("French", 0.25)],
                                [("English", Ratio(0.7))]]))
"""
    )
    assert out.strip() == "[('English', 0.6333), ('French', 0.25)]"


def test_filter_survives_max_clearing_its_groups():
    out = check_python(
        CLEAR_DICTS_HOLDING_MY_LIST
        + """
import vexlora.tessaly as t
class Ratio(float):
    def __gt__(self, other):
        clear_dicts_holding_lists_of(self)
        return float.__gt__(self, other)
print(t.filter_alt_coherence_matches([("English\\u2014x", Ratio(0.5)), ("English\\u2014x", Ratio(0.7))]))
"""
    )
    assert out.strip() == "[('Englishx', 0.7)]"


RECURSION = """
import sys, threading
import vexlora.tessaly as t
def judge(a, b):
    return t.{call}("a\\u0436" * 3)
t.is_suspiciously_successive_range = judge
def go():
    try:
        t.{call}("a\\u0436")
    except RecursionError:
        print("RecursionError")
{setup}
"""


@pytest.mark.parametrize("call", ["coherence_ratio", "alpha_unicode_split"])
@pytest.mark.parametrize(
    "setup",
    [
        "sys.setrecursionlimit(100); go()",
        "sys.setrecursionlimit(1000); go()",  # the default
        # A thread with a small stack: the recursion limit alone would let it overflow.
        "threading.stack_size(512 * 1024); th = threading.Thread(target=go); th.start(); th.join()",
    ],
)
def test_endless_reentry_through_the_judge_raises_recursion_error(call, setup):
    assert check_python(RECURSION.format(call=call, setup=setup)).strip() == "RecursionError"


FOREIGN_PLUGIN = (
    "type('TooManyAccentuatedPlugin', (m.MessDetectorPlugin,), {'__slots__': tuple('abcdefgh'), "
    "'__pyx_vtable__': m.TooManyAccentuatedPlugin.__dict__['__pyx_vtable__']})"
)


@pytest.mark.parametrize(
    "rebind, expected",
    [
        # A Python class with room for a record's fields, and the record sources to match.
        (
            "class Big: __slots__ = tuple('s%d' % i for i in range(40))\n"
            "m.CharInfo = Big\nm._ASCII_CHAR_INFO = [Big() for _ in range(128)]\nm._char_info = lambda ch: Big()",
            "vexlora.murkel.CharInfo is bound to Big, a class that vexlora.murkel does not define",
        ),
        # Another class of murkel, large enough, in the place of one tessaly reads.
        (
            "m.SuspiciousRange = m.SuperWeirdWordPlugin",
            "vexlora.murkel.SuspiciousRange is bound to vexlora.murkel.SuperWeirdWordPlugin, "
            "a class that vexlora.murkel does not define",
        ),
        # A Python class that borrows a plugin's name and method table.
        (
            "m.TooManyAccentuatedPlugin = " + FOREIGN_PLUGIN,
            "vexlora.murkel.TooManyAccentuatedPlugin is bound to TooManyAccentuatedPlugin, "
            "a class that vexlora.murkel does not define",
        ),
    ],
)
def test_foreign_murkel_classes_fail_the_import(rebind, expected):
    outcome = import_outcome(
        "vexlora.tessaly",
        "import warnings; warnings.simplefilter('ignore')\nimport vexlora.murkel as m\n" + rebind + "\n",
    )
    assert outcome == "ImportError: " + expected


def test_profile_snapshot_emptied_while_records_are_built():
    # _char_info runs for the profiles' non-ASCII characters during the import and empties
    # every list holding the character, the import's own copy of the profile included.
    outcome = import_outcome(
        "vexlora.tessaly",
        """
import gc
import vexlora.murkel as m
real = m._char_info
def char_info(ch):
    for ref in gc.get_referrers(ch):
        if type(ref) is list:
            ref.clear()
    return real(ch)
m._char_info = char_info
""",
    )
    assert outcome.startswith("RuntimeError: Language profile ")
    assert outcome.endswith(" changed size during iteration")


def test_range_counts_replaced_by_a_host_function():
    # Range names of a str subclass make the private count dict visible to the collector; the
    # host's is_unicode_range_secondary finds it there and puts a non-number in it: a clear
    # TypeError, not an error left pending behind a result.
    out = check_python(
        """
        import vexlora.tessaly as t
        try:
            t.encoding_unicode_range("cp1251")
        except TypeError as e:
            print("TypeError", e)
    """,
        utils="""
class Name(str):
    pass
_range, _secondary = unicode_range, is_unicode_range_secondary
def unicode_range(ch):
    found = _range(ch)
    return None if found is None else Name(found)
def is_unicode_range_secondary(name):
    import gc
    for d in gc.get_objects():
        if type(d) is dict and d and all(type(k) is Name for k in d):
            for k in d:
                d[k] = "many"
    return _secondary(name)
""",
    )
    assert out.strip() == "TypeError an integer is required"


SIGINT_CHILD = """
import sys, time
import vexlora.tessaly as t
text = "\\u0436\\u0443\\u043a " * 25_000_000
print("start", flush=True)
try:
    t.{call}(text)
    print("finished", flush=True)
except KeyboardInterrupt:
    print("interrupted", flush=True)
"""


@pytest.mark.parametrize("call", ["coherence_ratio", "alpha_unicode_split"])
def test_sigint_interrupts_a_long_call_within_a_second(call):
    # 100 M characters of one script: several seconds of native work without a callback.
    child = subprocess.Popen([sys.executable, "-c", SIGINT_CHILD.format(call=call)], stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "start"
        time.sleep(0.5)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        outcome = child.stdout.readline().strip()
        latency = time.monotonic() - sent
    finally:
        child.kill()
        child.wait()
    assert outcome == "interrupted"
    assert latency < 1.0
