"""Hostile-host mode of the fuzzing harness.

Python code can run in the middle of the native modules: the host functions
they look up by name at each use (`unicode_range`, `is_punctuation`, ...),
the rebindable module globals (`is_suspiciously_successive_range`,
`_char_info`, `_ASCII_CHAR_INFO`, `_CHAR_INFO_PAGES`), the `__eq__`,
`__hash__`, `__radd__`, `__gt__` ... of objects a caller hands in, and the
garbage collector. A hostile case wraps those in hooks that, at random:

- run the collector,
- re-initialise a record (`record.__init__(ch)`) or rewrite its fields with
  `__setstate__` (a record found among the hook's arguments, through
  `gc.get_referrers`, or in the current tables),
- rebind the tables and the rebindable functions,
- clear dicts and lists that only native code holds (found by walking
  `gc.get_referrers` up from the hook's arguments),
- raise, or re-enter an entry point (once in a while without limit, until
  `RecursionError`),
- leave garbage cycles whose `__del__` and weakref callbacks run the chaos
  (with a low collector threshold, any allocation in native code may run
  them), or raise a signal from C so that its handler (more chaos) runs at
  the next check inside native code,

and then calls one entry point. The oracle: the process survives (the
runner reports a crash with its case number), no sanitizer report, no
`SystemError`, and every result is either an exception or a well-formed value.

Every choice comes from the case's source, and each case starts from the same
state (fresh copies of the record tables, empty memo caches, a full
collection, the real module globals put back afterwards), so a case number
reproduces the same run in any process. `TRACE` (a file object) logs what a
case does, for reading a reproducer off a crash.
"""

from __future__ import annotations

import collections
import contextlib
import ctypes
import functools
import gc
import signal
import subprocess
import sys
import types
import warnings
import weakref

import vexlora.murkel as murkel
import vexlora.tessaly as tessaly
from vexlora.constant import FREQUENCIES

import harness
from harness import Boom, Fault, code_point, text

LANGUAGES = list(FREQUENCIES)
EM_DASH = "\u2014"

# Where a log of the case's actions goes (None: nowhere).
TRACE = None


def trace(line: str) -> None:
    if TRACE is not None:
        print(line, file=TRACE, flush=True)


# ---------------------------------------------------------------------------
# The real module namespaces, put back after every case (a hostile callback
# may have rebound or deleted anything in them).

_SNAPSHOTS = [(murkel, dict(murkel.__dict__)), (tessaly, dict(tessaly.__dict__))]
_missing = object()


def restore_modules() -> None:
    for module, snapshot in _SNAPSHOTS:
        namespace = module.__dict__
        for name in [n for n in namespace if n not in snapshot]:
            del namespace[name]
        for name, value in snapshot.items():
            if namespace.get(name, _missing) is not value:
                namespace[name] = value


def clear_memos() -> None:
    """Empty the memo caches: hostile keys must not outlive their case."""
    for fn in (
        murkel.is_suspiciously_successive_range,
        tessaly.encoding_languages,
        tessaly.mb_encoding_languages,
        tessaly.get_target_features,
    ):
        with contextlib.suppress(AttributeError):
            fn.cache_clear()


# Positions of fields in the state tuples.
def _field_index(state: tuple, value) -> int:
    return [i for i, v in enumerate(state) if v == value and type(v) is type(value)][0]


_SAMPLE = murkel.CharInfo("\u00e9")
_SAMPLE_STATE = _SAMPLE.__reduce__()[2]
RANGE_FIELD = _field_index(_SAMPLE_STATE, "Latin-1 Supplement")
CHARACTER_FIELD = _field_index(_SAMPLE_STATE, "\u00e9")
UNACCENTED_FIELD = _field_index(_SAMPLE_STATE, "e")
_PLUGIN = murkel.SuspiciousRange()
_PLUGIN.feed_info("\u00e9", _SAMPLE)
LAST_RANGE_FIELD = _field_index(_PLUGIN.__reduce__()[2], "Latin-1 Supplement")
del _SAMPLE, _PLUGIN

BLOCKS = [
    "Basic Latin",
    "Latin-1 Supplement",
    "Cyrillic",
    "Greek and Coptic",
    "CJK Unified Ideographs",
    "Hiragana",
    "Arabic",
    "Latin Extended-A",
    "General Punctuation",
]


# ---------------------------------------------------------------------------
# Objects whose protocol methods run the chaos.


class HostileRange:
    """A block name stand-in: equality and hashing run the chaos."""

    def __init__(self, chaos, name):
        self.chaos, self.name = chaos, name

    def __eq__(self, other):
        self.chaos.maybe("range.__eq__", self, other)
        return self.chaos.pick([NotImplemented, NotImplemented, self.name == other, False, True])

    def __ne__(self, other):
        self.chaos.maybe("range.__ne__", self, other)
        return NotImplemented

    def __hash__(self):
        self.chaos.maybe("range.__hash__", self)
        return hash(self.name)

    def __repr__(self):
        return f"HostileRange({self.name!r})"


class HostileStr(str):
    """A str subclass (passes str checks) whose comparisons run the chaos."""

    chaos = None

    def __eq__(self, other):
        if self.chaos is not None:
            self.chaos.maybe("str.__eq__", self, other)
        return str.__eq__(self, other)

    def __ne__(self, other):
        if self.chaos is not None:
            self.chaos.maybe("str.__ne__", self, other)
        return str.__ne__(self, other)

    def __hash__(self):
        if self.chaos is not None:
            self.chaos.maybe("str.__hash__", self)
        return str.__hash__(self)

    def replace(self, old, new, count=-1):
        if self.chaos is not None:
            self.chaos.maybe("str.replace", self)
        return str.replace(self, old, new, count)


def hostile_str(chaos, value: str) -> HostileStr:
    s = HostileStr(value)
    s.chaos = chaos
    return s


class HostileRatio:
    """A ratio for merge/filter: arithmetic and ordering run the chaos."""

    def __init__(self, chaos, value: float):
        self.chaos, self.value = chaos, value

    def _v(self, other):
        return other.value if isinstance(other, HostileRatio) else other

    def __radd__(self, other):
        self.chaos.maybe("ratio.__radd__", self, other)
        return self._v(other) + self.value

    def __add__(self, other):
        self.chaos.maybe("ratio.__add__", self, other)
        return self.value + self._v(other)

    def __truediv__(self, other):
        self.chaos.maybe("ratio.__truediv__", self, other)
        return self.value / other

    def __gt__(self, other):
        self.chaos.maybe("ratio.__gt__", self, other)
        return self.value > self._v(other)

    def __lt__(self, other):
        self.chaos.maybe("ratio.__lt__", self, other)
        return self.value < self._v(other)

    def __ge__(self, other):
        self.chaos.maybe("ratio.__ge__", self, other)
        return self.value >= self._v(other)

    def __le__(self, other):
        self.chaos.maybe("ratio.__le__", self, other)
        return self.value <= self._v(other)

    def __eq__(self, other):
        self.chaos.maybe("ratio.__eq__", self, other)
        return self.value == self._v(other)

    def __hash__(self):
        self.chaos.maybe("ratio.__hash__", self)
        return hash(self.value)

    def __float__(self):
        self.chaos.maybe("ratio.__float__", self)
        return float(self.value)

    def __round__(self, digits=None):
        self.chaos.maybe("ratio.__round__", self)
        return round(self.value, digits)

    def __repr__(self):
        return f"HostileRatio({self.value!r})"


class HostileBool:
    """A verdict whose truth value runs the chaos."""

    def __init__(self, chaos, value: bool):
        self.chaos, self.value = chaos, value

    def __bool__(self):
        self.chaos.maybe("verdict.__bool__", self)
        return bool(self.value)


class HostileContainer:
    """A container global (`x in CONTAINER`) whose membership test runs the chaos."""

    def __init__(self, chaos, inner):
        self.chaos, self.inner = chaos, inner

    def __contains__(self, item):
        self.chaos.maybe("container.__contains__", item)
        return item in self.inner

    def __iter__(self):
        self.chaos.maybe("container.__iter__")
        return iter(self.inner)

    def __len__(self):
        self.chaos.maybe("container.__len__")
        return len(self.inner)


class HostileMapping(HostileContainer):
    """A table global read by subscription; lookups run the chaos."""

    def __getitem__(self, key):
        self.chaos.maybe("mapping.__getitem__", key)
        return self.inner[key]

    def get(self, key, default=None):
        self.chaos.maybe("mapping.get", key)
        return self.inner.get(key, default)

    def keys(self):
        return self.inner.keys()

    def items(self):
        return self.inner.items()

    def values(self):
        return self.inner.values()


class HostileIndex:
    """An integer global (flags, sizes) whose conversion runs the chaos."""

    def __init__(self, chaos, value: int):
        self.chaos, self.value = chaos, value

    def __index__(self):
        self.chaos.maybe("int.__index__", self)
        return self.value

    __int__ = __index__

    def __lt__(self, other):
        self.chaos.maybe("int.__lt__", self, other)
        return self.value < other

    def __gt__(self, other):
        self.chaos.maybe("int.__gt__", self, other)
        return self.value > other

    def __le__(self, other):
        return not self > other

    def __ge__(self, other):
        return not self < other


class HostileImporter:
    """Stands in for the `importlib` global: imports run the chaos."""

    def __init__(self, chaos, inner):
        self.chaos, self.inner = chaos, inner

    def import_module(self, name, package=None):
        self.chaos.maybe("import_module", name)
        module = self.inner.import_module(name, package)
        self.chaos.maybe("import_module (after)", module)
        return module


# ---------------------------------------------------------------------------
# The chaos: one per case, drawing every choice from the case's source.


def fresh_ascii_table() -> list:
    return [murkel.CharInfo(chr(i)) for i in range(128)]


REAL_PAGE_COUNT = len(murkel._CHAR_INFO_PAGES)

ACTIONS = ["collect", "reinit", "setstate", "rebind", "clear", "raise", "reenter", "plant"]

# libc raise() called through ctypes (which runs no Python code after it):
# the signal's Python handler then runs at the next check for signals, which
# may be inside native code. `partial(RAISE, SIGUSR1)` stands in for a host
# predicate: it answers 0 (false) whatever it is asked.
RAISE = ctypes.CDLL(None)["raise"]
RAISE.restype = ctypes.c_int
SIGNALLING = functools.partial(RAISE, int(signal.SIGUSR1))
PREDICATES = [
    (murkel, "is_punctuation"),
    (murkel, "is_symbol"),
    (murkel, "is_separator"),
    (murkel, "is_emoticon"),
    (murkel, "is_suspiciously_successive_range"),
    (tessaly, "is_suspiciously_successive_range"),
    (tessaly, "is_unicode_range_secondary"),
    (tessaly, "is_multi_byte_encoding"),
]


class Finalizer:
    """Garbage in a cycle: when the collector frees it, the chaos runs."""

    def __init__(self, chaos, payload):
        self.chaos, self.payload, self.cycle = chaos, payload, self

    def __del__(self):
        self.chaos.maybe("__del__", *self.payload)


def weakref_callback(chaos, payload):
    def callback(ref):
        chaos.maybe("weakref callback", *payload)

    return callback


class Chaos:
    """The hostile acts of one case. `maybe` is called from every hook and
    stand-in; it draws whether to act and what to do from the case's source,
    within a budget of acts and a depth of acts inside acts."""

    __slots__ = (
        "src",
        "rate",
        "budget",
        "depth",
        "max_depth",
        "weights",
        "closed",
        "records",
        "texts",
        "scratch",
        "fresh",
    )

    def __init__(self, src):
        self.src = src
        self.closed = False
        self.depth = 0
        self.max_depth = src.pick([1, 2, 2, 3])
        self.rate = src.pick([3, 10, 25, 50, 90])
        self.budget = src.pick([1, 2, 4, 8, 30])
        # Favour a few actions per case, so that rare combinations come up.
        self.weights = [a for a in ACTIONS for _ in range(1 + src.below(4))]
        self.records = []  # records the case has made or met
        self.texts = []
        self.scratch = []  # lists made by the chaos itself, never cleared
        # Hooked host functions hand back new (equal) str objects, so that a
        # re-initialised record frees the block name it held.
        self.fresh = src.chance(50)

    def pick(self, items):
        return self.src.pick(items)

    def maybe(self, where: str, *objs) -> None:
        if self.closed or self.budget <= 0 or self.depth >= self.max_depth or not self.src.chance(self.rate):
            return
        self.budget -= 1
        action = self.src.pick(self.weights)
        trace(f"{'  ' * self.depth}act {action} in {where}")
        self.depth += 1
        try:
            getattr(self, "do_" + action)(where, objs)
        finally:
            self.depth -= 1

    # -- targets ------------------------------------------------------------

    def record_targets(self, objs) -> list:
        """Records at hand: among the arguments, holding an argument, or in the case's tables."""
        found = [o for o in objs if isinstance(o, murkel.CharInfo)]
        if self.src.chance(50):
            for o in objs:
                if gc.is_tracked(o) or isinstance(o, (str, HostileRange)):
                    found += gc.get_referrers(o)
        found += self.records[-8:]
        table = murkel.__dict__.get("_ASCII_CHAR_INFO")
        if type(table) is list and table:
            found.append(table[self.src.below(len(table))])
        for t in self.texts[-2:]:
            if t and self.src.chance(50):
                ch = t[self.src.below(len(t))]
                with contextlib.suppress(Exception):
                    found.append(murkel._char_info(ch) if ord(ch) > 127 else tessaly._ASCII_CHAR_INFO[ord(ch)])
        return [r for r in found if isinstance(r, (murkel.CharInfo, murkel.SuspiciousRange))]

    def a_range(self):
        k = self.src.below(6)
        if k == 0:
            return HostileRange(self, self.pick(BLOCKS))
        if k == 1:
            return hostile_str(self, self.pick(BLOCKS))
        if k == 2:
            return (self.pick(BLOCKS) + ".")[:-1]  # equal, but a new object
        if k == 3:
            return None
        if k == 4:
            return self.src.pick([1, 2.5, (), "", object()])
        return self.pick(BLOCKS)

    # -- actions ------------------------------------------------------------

    def do_collect(self, where, objs):
        gc.collect(self.src.pick([0, 1, 2, 2]))

    def do_reinit(self, where, objs):
        targets = [r for r in self.record_targets(objs) if isinstance(r, murkel.CharInfo)]
        if not targets:
            return
        record = self.pick(targets)
        ch = record.character if type(record.character) is str and self.src.chance(60) else chr(code_point(self.src))
        trace(f"{'  ' * self.depth}  {record.character!r}.__init__({ch!r})")
        record.__init__(ch)

    def do_setstate(self, where, objs):
        targets = self.record_targets(objs)
        if not targets:
            return
        record = self.pick(targets)
        state = list(record.__reduce__()[2])
        if self.src.chance(25):  # truth values that run the chaos while the state is read
            for i, v in enumerate(state):
                if type(v) is bool and self.src.chance(30):
                    state[i] = HostileBool(self, v)
        if isinstance(record, murkel.CharInfo):
            k = self.src.below(5)
            if k < 3:
                state[RANGE_FIELD] = self.a_range()
            elif k == 3:
                state[CHARACTER_FIELD] = chr(code_point(self.src))
                state[UNACCENTED_FIELD] = self.src.pick([state[CHARACTER_FIELD], None, "ab"])
            else:
                state[self.src.below(len(state))] = harness.value(self.src, 2)
        else:
            state[LAST_RANGE_FIELD] = self.a_range()
        trace(f"{'  ' * self.depth}  {type(record).__name__}.__setstate__(...)")
        record.__setstate__(tuple(state))

    def do_rebind(self, where, objs):
        k = self.src.below(8)
        if k == 0:
            table = fresh_ascii_table() if self.src.chance(50) else list(murkel._ASCII_CHAR_INFO)
            murkel._ASCII_CHAR_INFO = table
            if self.src.chance(50):
                tessaly._ASCII_CHAR_INFO = table
        elif k == 1:
            targets = [r for r in self.record_targets(objs) if isinstance(r, murkel.CharInfo)]
            if targets:
                tessaly._ASCII_CHAR_INFO = [self.pick(targets)] * 128
        elif k == 2:
            murkel._CHAR_INFO_PAGES = [None] * REAL_PAGE_COUNT
        elif k == 3:
            pages = murkel.__dict__.get("_CHAR_INFO_PAGES")
            if type(pages) is list:
                for page in pages:
                    if type(page) is list and self.src.chance(50):
                        page[:] = [None] * len(page) if self.src.chance(50) else []
        elif k == 4:
            tessaly._char_info = self.pick([murkel._char_info, self.hook("_char_info", murkel._char_info)])
        elif k == 5:
            module = self.pick([murkel, tessaly])
            module.is_suspiciously_successive_range = self.hook(
                "is_suspiciously_successive_range", _SNAPSHOTS[0][1]["is_suspiciously_successive_range"]
            )
        elif k == 6:
            original = _SNAPSHOTS[0][1]["unicode_range"]
            murkel.unicode_range = lambda ch: self.fresh_result(original(ch))
        else:
            name = self.pick(MURKEL_FUNCTIONS)
            setattr(murkel, name, self.hook(name, _SNAPSHOTS[0][1][name]))
        trace(f"{'  ' * self.depth}  rebind {k}")

    def do_clear(self, where, objs):
        """Clear a dict or list that only native code (or a bare local) holds,
        found by walking the referrers up from the hook's arguments."""
        frontier = [o for o in objs if o is not None]
        candidates = []
        orphans = []  # held by nothing the collector sees: native code's own
        # Every list made here, so that none of them is taken for a victim.
        self.scratch[:] = [frontier, candidates, orphans]
        seen = set()
        for _ in range(1 + self.src.below(3)):
            step = []
            self.scratch.append(step)
            for obj in frontier[:6]:
                referrers = gc.get_referrers(obj)
                self.scratch.append(referrers)
                for r in referrers:
                    if id(r) in seen or type(r) not in (dict, list) or self.is_scratch(r):
                        continue
                    seen.add(id(r))
                    step.append(r)
                    held = self.holders(r)
                    if held is not None:
                        (orphans if not held else candidates).append(r)
            frontier = step
        del self.scratch[:]
        if orphans and (not candidates or self.src.chance(70)):
            candidates = orphans
        if candidates:
            victim = self.pick(candidates)
            trace(f"{'  ' * self.depth}  clear {type(victim).__name__} of {len(victim)}")
            victim.clear()
        # Fill the interpreter's free lists of lists and dicts, so that a
        # container freed from now on goes back to the allocator (where the
        # sanitizer watches it) instead of waiting there for reuse.
        spare = [[] for _ in range(100)]
        spare += [{} for _ in range(100)]
        del spare

    # No generator expressions or lambdas in the walk: their closure cells
    # would show up among the referrers.
    def is_scratch(self, obj) -> bool:
        for s in self.scratch:
            if s is obj:
                return True
        return False

    def holders(self, container):
        """What holds the container (as far as the collector sees), or None
        when it is held by a module, a class, a function, a frame or the chaos."""
        referrers = gc.get_referrers(container)
        self.scratch.append(referrers)
        held = []
        self.scratch.append(held)
        try:
            for r in referrers:
                if self.is_scratch(r):
                    continue
                if (
                    isinstance(
                        r,
                        (
                            types.ModuleType,
                            type,
                            types.FunctionType,
                            types.FrameType,
                            types.CellType,
                            types.GeneratorType,
                            Chaos,
                        ),
                    )
                    or r is self.records
                    or r is self.texts
                ):
                    return None
                held.append(r)
            return held
        finally:
            del self.scratch[-2:]

    def do_raise(self, where, objs):
        raise Boom(where)

    def do_plant(self, where, objs):
        """Cycles that run the chaos when collected, or a signal for later."""
        k = self.src.below(4)
        payload = tuple(o for o in objs if o is not None)[:4]
        if k < 2:
            for _ in range(1 + self.src.below(4)):
                Finalizer(self, payload)
        elif k == 2:
            for _ in range(1 + self.src.below(4)):
                anchor = Finalizer(self, ())
                anchor.ref = weakref.ref(anchor, weakref_callback(self, payload))
        else:
            module, name = self.pick(PREDICATES)
            setattr(module, name, SIGNALLING)
        trace(f"{'  ' * self.depth}  plant {k}")

    def do_reenter(self, where, objs):
        entry = self.pick(REENTRIES)
        trace(f"{'  ' * self.depth}  reenter {entry.__name__}")
        try:
            entry(self.src, self)
        except RecursionError:
            raise
        except (SystemError, Fault):
            raise
        except Exception:
            if self.src.chance(30):
                raise

    # -- hooks --------------------------------------------------------------

    def fresh_result(self, result):
        if type(result) is str and (self.fresh or self.src.chance(50)):
            return (result + ".")[:-1]
        return result

    def hook(self, name: str, original):
        """`original` wrapped: chaos before and after, results sometimes replaced."""
        chaos = self

        def hooked(*args):
            chaos.maybe(name, *args)
            result = original(*args)
            if isinstance(result, murkel.CharInfo):
                chaos.records.append(result)
            chaos.maybe(name + " (after)", result, *args)
            if chaos.closed:
                return result
            if chaos.fresh:
                result = chaos.fresh_result(result)
            k = chaos.src.below(20)
            if k == 0 and type(result) is str:
                return HostileRange(chaos, result) if chaos.src.chance(50) else hostile_str(chaos, result)
            if k == 1 and type(result) is bool:
                return HostileBool(chaos, result)
            if name == "itemgetter" and callable(result):

                def key(item):
                    chaos.maybe("sort key", item)
                    return result(item)

                return key
            if k in (2, 3):
                return chaos.fresh_result(result)
            return result

        hooked.__name__ = name
        return hooked


MURKEL_FUNCTIONS = [
    "_character_flags",
    "is_emoticon",
    "remove_accent",
    "is_punctuation",
    "is_symbol",
    "unicode_range",
    "is_separator",
    "is_suspiciously_successive_range",
    "CompatibleFamillyRange",
    "getLogger",
]
MURKEL_CONTAINERS = [
    "COMMON_SAFE_ASCII_CHARACTERS",
    "COMMON_CJK_CHARACTERS",
    "_COMPATIBLE_RANGE_FAMILIES",
    "_COMPATIBLE_WITH_ANY_RANGE_FAMILIES",
    "_BASIC_LATIN_COMPATIBLE_RANGE_FAMILIES",
]
TESSALY_FUNCTIONS = [
    "_char_info",
    "is_suspiciously_successive_range",
    "is_multi_byte_encoding",
    "is_unicode_range_secondary",
    "itemgetter",
]
# (module, name, stand-in maker): the other globals read during a call.
OTHER_GLOBALS = [
    (murkel, "_RANGE_FAMILIES", HostileMapping),
    (murkel, "_LATIN", HostileIndex),
    (murkel, "TRACE", HostileIndex),
    (tessaly, "FREQUENCIES", HostileMapping),
    (tessaly, "TOO_SMALL_SEQUENCE", HostileIndex),
    (tessaly, "KO_NAMES", HostileContainer),
    (tessaly, "ZH_NAMES", HostileContainer),
    (tessaly, "importlib", HostileImporter),
]


def install(src, chaos) -> None:
    """Fresh tables for the case, and hooks on some of the host names."""
    table = fresh_ascii_table()
    murkel._ASCII_CHAR_INFO = table
    tessaly._ASCII_CHAR_INFO = table if src.chance(80) else fresh_ascii_table()
    # An empty record cache: every record is built (through the hooks) in this case.
    murkel._CHAR_INFO_PAGES = [None] * REAL_PAGE_COUNT
    share = src.pick([30, 60, 100])
    for module, names in ((murkel, MURKEL_FUNCTIONS), (tessaly, TESSALY_FUNCTIONS)):
        for name in names:
            if src.chance(share):
                setattr(module, name, chaos.hook(name, module.__dict__[name]))
    for name in MURKEL_CONTAINERS:
        if src.chance(share // 2):
            setattr(murkel, name, HostileContainer(chaos, murkel.__dict__[name]))
    for module, name, make in OTHER_GLOBALS:
        if src.chance(share // 4):
            setattr(module, name, make(chaos, module.__dict__[name]))


# ---------------------------------------------------------------------------
# Entry points, each with the checks that hold whatever the host does.


def case_text(src, chaos, limit=0, long=False) -> str:
    t = text(src, limit or src.pick([2, 8, 16, 40, 64]))
    if long and src.chance(4):  # past the native checks for signals (every 64K characters)
        t = (t or "a\u00e9") * (70_000 // max(len(t), 2) + 1)
        # Something for those checks to run: a pending signal, or garbage
        # for a collection that the walk's own allocations make due.
        for _ in range(src.below(3)):
            chaos.do_plant("long text", tuple(chaos.record_targets(())[:2]))
        if src.chance(50):
            gc.set_threshold(1, 10, 10)
    if src.chance(30):  # letters of two scripts, so that the layer judge runs
        t += src.pick(["a\u00e9b\u0430\u03b1c", "\u00e9t\u00e9 \u0436\u0438\u0437\u043d\u044c", "x\u4e00y\u3042"])
    chaos.texts.append(t)
    return t


def h_mess_ratio(src, chaos):
    result = murkel.mess_ratio(case_text(src, chaos, long=True), *src.pick([(), (0.2,), (1.0,), (0.2, True)]))
    if type(result) is not float or not result >= 0.0:
        raise Fault(f"mess_ratio returned {result!r}")


def h_char_info(src, chaos):
    ch = chr(code_point(src))
    record = murkel._char_info(ch) if src.chance(60) else murkel.CharInfo(ch)
    chaos.records.append(record)
    if not isinstance(record, murkel.CharInfo):
        raise Fault(f"_char_info returned {record!r}")
    record.range, record.unaccented, record.character


def check_layers(result):
    if type(result) is not list or not all(type(x) is str and x for x in result):
        raise Fault(f"alpha_unicode_split returned {result!r}")


def h_split(src, chaos):
    check_layers(tessaly.alpha_unicode_split(case_text(src, chaos, long=True)))


def check_ranked(result, what):
    if type(result) is not list:
        raise Fault(f"{what} returned {result!r}")
    for pair in result:
        if (
            type(pair) is not tuple
            or len(pair) != 2
            or type(pair[0]) is not str
            or pair[0].replace(EM_DASH, "") not in FREQUENCIES
            or type(pair[1]) is not float
            or not 0.0 <= pair[1] <= 1.0
        ):
            raise Fault(f"{what} returned {result!r}")


def h_coherence(src, chaos):
    args = [case_text(src, chaos, src.pick([16, 40, 64, 120]), long=True)]
    if src.chance(50):
        args.append(src.pick([0.0, 0.1, 0.5]))
        if src.chance(30):
            args.append(src.pick([None, "Latin Based", "English,French", "Russian"]))
    check_ranked(tessaly.coherence_ratio(*args), "coherence_ratio")


def h_range_languages(src, chaos):
    arg = chaos.a_range() if src.chance(60) else src.pick(BLOCKS)
    if src.chance(50):  # every ASCII record one record, whose range may run the chaos
        targets = [r for r in chaos.record_targets(()) if isinstance(r, murkel.CharInfo)]
        if targets:
            record = src.pick(targets)
            state = list(record.__reduce__()[2])
            state[RANGE_FIELD] = chaos.a_range()
            record.__setstate__(tuple(state))
            tessaly._ASCII_CHAR_INFO = [record] * 128
    result = tessaly.unicode_range_languages(arg)
    if type(result) is not list or not all(type(x) is str and x in FREQUENCIES for x in result):
        raise Fault(f"unicode_range_languages returned {result!r}")


def h_popularity(src, chaos):
    language = src.pick(LANGUAGES)
    chars = list(FREQUENCIES[language])
    for _ in range(src.below(5)):
        i, j = src.below(len(chars)), src.below(len(chars))
        chars[i], chars[j] = chars[j], chars[i]
    chars = chars[: 1 + src.below(len(chars))] + list(case_text(src, chaos, 8))
    if src.chance(50):
        chars = [hostile_str(chaos, c) if src.chance(40) else c for c in chars]
    result = tessaly.characters_popularity_compare(hostile_str(chaos, language) if src.chance(20) else language, chars)
    if type(result) is not float or not 0.0 <= result <= 1.0:
        raise Fault(f"characters_popularity_compare returned {result!r}")


def h_alphabet(src, chaos):
    chars = list(dict.fromkeys(case_text(src, chaos)))
    if src.chance(30):
        chars = [hostile_str(chaos, c) for c in chars]
    result = tessaly.alphabet_languages(chars, src.pick([False, True]))
    if type(result) is not list or not all(type(x) is str and x in FREQUENCIES for x in result):
        raise Fault(f"alphabet_languages returned {result!r}")


def h_encoding(src, chaos):
    name = src.pick(["cp1252", "cp1251", "iso8859_7", "koi8_r", "shift_jis", "gb2312", "cp949", "utf_8", "x"])
    if src.chance(30):
        name = hostile_str(chaos, name)
    fn = src.pick([tessaly.encoding_languages, tessaly.mb_encoding_languages, tessaly.encoding_unicode_range])
    result = fn(name)
    # Block names are whatever the (hooked) host handed back: str, maybe a subclass.
    if type(result) is not list or not all(isinstance(x, str) for x in result):
        raise Fault(f"{fn.__name__} returned {result!r}")


def hostile_pairs(src, chaos) -> list:
    out = []
    for _ in range(src.below(7)):
        language = src.pick(LANGUAGES[:6]) + src.pick(["", "", EM_DASH, EM_DASH + "x", EM_DASH + EM_DASH])
        if src.chance(25):
            language = hostile_str(chaos, language)
        ratio = src.pick([0.1, 0.5, 0.7, 0.75, 1.0])
        if src.chance(70):
            ratio = HostileRatio(chaos, ratio)
        out.append((language, ratio))
    return out


def plain_names(pairs) -> set:
    return {str.replace(str(p[0]), EM_DASH, "") for p in pairs}


def check_named(result, names, what):
    """Pairs whose names are among the expected names (a freed name reads as garbage)."""
    if type(result) is not list:
        raise Fault(f"{what} returned {result!r}")
    for pair in result:
        if type(pair) is not tuple or len(pair) != 2 or str(pair[0]) not in names:
            raise Fault(f"{what} returned {result!r}; names {sorted(names)}")


def h_filter(src, chaos):
    arg = hostile_pairs(src, chaos)
    names = plain_names(arg) | {str(p[0]) for p in arg}
    result = tessaly.filter_alt_coherence_matches(arg)
    if result is not arg:
        check_named(result, names, "filter_alt_coherence_matches")


def h_merge(src, chaos):
    arg = [hostile_pairs(src, chaos) for _ in range(1 + src.below(3))]
    values = collections.defaultdict(list)
    for pairs in arg:
        for language, ratio in pairs:
            values[str(language)].append(ratio.value if isinstance(ratio, HostileRatio) else ratio)
    result = tessaly.merge_coherence_ratios(arg)
    check_named(result, set(values), "merge_coherence_ratios")
    # An average lies between the smallest and the largest ratio (a count
    # read from a freed list does not).
    for language, average in result:
        seen = values[str(language)]
        if not (round(min(seen), 4) <= average <= round(max(seen), 4)):
            raise Fault(f"merge_coherence_ratios gave {language!r} {average!r} from {seen}")


def h_successive(src, chaos):
    judge = _SNAPSHOTS[0][1]["is_suspiciously_successive_range"]  # the real one, with hostile arguments
    result = judge(chaos.a_range(), chaos.a_range())
    if type(result) is not bool:
        raise Fault(f"is_suspiciously_successive_range returned {result!r}")


def h_plugin(src, chaos):
    """SuspiciousRange calls the rebindable judge from feed_info."""
    plugin = murkel.SuspiciousRange()
    chaos.records.append(plugin)
    for ch in case_text(src, chaos, 24):
        record = tessaly._ASCII_CHAR_INFO[ord(ch)] if ord(ch) < 128 else murkel._char_info(ch)
        with contextlib.suppress(TypeError, ValueError):
            plugin.feed_info(ch, record)
    if type(plugin.ratio) is not float:
        raise Fault(f"SuspiciousRange.ratio is {plugin.ratio!r}")


def h_deep_chain(src, chaos):
    """Records linked through `range` (and plugins through their last range), freed at once."""
    depth = src.pick([10, 1000, 1 << 20])
    trace(f"deep chain of {depth}")
    head = None
    state = list(murkel.CharInfo("a").__reduce__()[2])
    if src.chance(50):
        for _ in range(depth):
            node = murkel.CharInfo.__new__(murkel.CharInfo)
            state[RANGE_FIELD] = head
            node.__setstate__(tuple(state))
            head = node
    else:
        plugin_state = list(murkel.SuspiciousRange().__reduce__()[2])
        for _ in range(depth):
            node = murkel.SuspiciousRange()
            plugin_state[LAST_RANGE_FIELD] = head
            node.__setstate__(tuple(plugin_state))
            head = node
    del head


DEEP_TEXT = "a\u00e9b\u0430\u03b1c\u4e00 \u0436x" * 3


def h_deep_reentry(src, chaos):
    """A host name rebound to a function that calls the entry point again:
    each level must count against the recursion limit and end in
    RecursionError before the C stack runs out."""
    module, name, entry = src.pick(
        [
            (tessaly, "is_suspiciously_successive_range", tessaly.coherence_ratio),
            (tessaly, "is_suspiciously_successive_range", tessaly.alpha_unicode_split),
            (murkel, "is_suspiciously_successive_range", murkel.mess_ratio),
            (murkel, "unicode_range", murkel.mess_ratio),
            (murkel, "unicode_range", murkel._char_info),
            (tessaly, "_char_info", tessaly.coherence_ratio),
        ]
    )
    chaos.closed = True  # no other hook may catch the RecursionError on the way
    limit = src.pick([100, 500, 1000, 1000])
    trace(f"deep re-entry: {module.__name__}.{name} -> {entry.__name__}, recursion limit {limit}")
    argument = "\U0001d400" if entry is murkel._char_info else DEEP_TEXT

    calls = []

    def again(*args):  # one Python frame per level
        calls.append(None)
        return entry(argument)

    setattr(module, name, again)
    old = sys.getrecursionlimit()
    sys.setrecursionlimit(limit)
    try:
        entry(argument)
    except RecursionError:
        pass
    else:
        if calls:  # called back in, so the recursion had no end
            raise Fault(f"{module.__name__}.{name} calling {entry.__name__} again ended without RecursionError")
    finally:
        sys.setrecursionlimit(old)


STARTUP_SNIPPET = r"""
import gc, sys
import vexlora.utils as u, vexlora.constant as c
SAVED_U, SAVED_C = dict(u.__dict__), dict(c.__dict__)
{patch}
try:
    import vexlora.murkel as m
    {tessaly_patch}
    import vexlora.tessaly as t
except Exception as e:
    print("start-up failed:", type(e).__name__)
for cls in object.__subclasses__():
    if cls.__module__ == "vexlora.murkel" and cls.__name__ == "CharInfo":
        for call in (lambda: cls("a"), lambda: cls("\u00e9"), lambda: cls.__new__(cls).__init__("\u4e00")):
            try:
                call()
            except Exception as e:
                pass
m = sys.modules.get("vexlora.murkel")
for name in ("_char_info", "mess_ratio", "is_suspiciously_successive_range"):
    fn = getattr(m, name, None) if m else None
    if fn is not None:
        try:
            fn("\u00e9") if name != "is_suspiciously_successive_range" else fn("Basic Latin", "Cyrillic")
        except Exception:
            pass
t = sys.modules.get("vexlora.tessaly")
if t is not None:
    for call in (lambda: t.coherence_ratio("abc \u00e9t\u00e9 " * 4), lambda: t.alpha_unicode_split("a\u00e9b")):
        try:
            call()
        except Exception:
            pass
# The host put right, and the modules imported again: what the first attempt
# left behind must still fail cleanly, the new modules must work.
u.__dict__.update(SAVED_U); c.__dict__.update(SAVED_C)
old = [cls for cls in object.__subclasses__() if cls.__module__ == "vexlora.murkel"]
for name in ("vexlora.tessaly", "vexlora.murkel"):
    sys.modules.pop(name, None)
try:
    import vexlora.murkel as m2, vexlora.tessaly as t2
    m2.mess_ratio("abc \u00e9t\u00e9"); t2.coherence_ratio("abc \u00e9t\u00e9 " * 4)
except Exception as e:
    print("second import:", type(e).__name__, e)
for cls in old:
    try:
        cls("a") if cls.__name__ == "CharInfo" else cls().feed_info("a", m2.CharInfo("a"))
    except Exception:
        pass
gc.collect()
print("survived")
"""

STARTUP_PATCHES = [
    "del u.unicode_range",
    "del u.is_punctuation",
    "del c.COMMON_SAFE_ASCII_CHARACTERS",
    "u.is_punctuation = lambda ch: 1 / 0",
    "u.unicode_range = lambda ch: 1 / 0 if ch == 'z' else 'Basic Latin'",
    "u._character_flags = lambda ch: 1 / 0",
    "u.remove_accent = lambda ch: 1 / 0",
]
TESSALY_PATCHES = [
    "pass",
    "pass",
    "class Big:\n        __slots__ = tuple('s%d' % i for i in range(64))\n"
    "    m.CharInfo = Big; m._ASCII_CHAR_INFO = [Big() for _ in range(128)]; m._char_info = lambda ch: Big()",
    "m._ASCII_CHAR_INFO = m._ASCII_CHAR_INFO[:3]",
    "del m._char_info",
]


def h_startup(src, chaos):
    """A failed or tampered start-up, in a fresh interpreter (a crash there is a fault here)."""
    snippet = STARTUP_SNIPPET.format(
        patch=src.pick(STARTUP_PATCHES) if src.chance(70) else "", tessaly_patch=src.pick(TESSALY_PATCHES)
    )
    trace("start-up snippet:\n" + snippet)
    done = subprocess.run([sys.executable, "-c", snippet], capture_output=True, text=True, timeout=120)
    if done.returncode != 0 or "survived" not in done.stdout:
        raise Fault(f"start-up snippet ended with {done.returncode}:\n{snippet}\n{done.stderr[-3000:]}")


REENTRIES = [h_mess_ratio, h_char_info, h_split, h_coherence, h_range_languages, h_filter, h_merge, h_successive]
ENTRIES = REENTRIES * 3 + [
    h_alphabet,
    h_encoding,
    h_plugin,
    h_plugin,
    h_filter,
    h_merge,
    h_coherence,
    h_split,
    h_popularity,
    h_alphabet,
    h_encoding,
]
# (entry, chances in 10,000): the deep chain and the start-up take seconds.
RARE_ENTRIES = [(h_deep_chain, 2), (h_startup, 5), (h_deep_reentry, 100)]


# ---------------------------------------------------------------------------
# Running cases.

_DEFAULT_THRESHOLDS = gc.get_threshold()
_DEFAULT_RECURSION_LIMIT = sys.getrecursionlimit()


def traceback_frames() -> list:
    frames = []
    frame = sys._getframe(1)
    while frame is not None:
        frames.append(frame)
        frame = frame.f_back
    return frames


STATS = collections.Counter()  # (entry, outcome): how often each case ended how


def prepare_process() -> None:
    """Move everything made so far out of the collector's reach (cheaper
    collections, and no chaos on the interpreter's own tables)."""
    gc.collect()
    gc.freeze()


def fill_free_lists() -> None:
    """The same free-list state at the start of every case (the collector's
    counts, and so where it runs, depend on it)."""
    spare = [[] for _ in range(100)]
    spare += [{} for _ in range(100)]
    spare += [float(i) for i in range(200)]
    del spare


def run_case(src) -> None:
    """One hostile case: an ordinary exception is an acceptable outcome;
    SystemError and Fault are not (a crash ends the process)."""
    clear_memos()
    gc.collect()
    # Out of the collector's sight from here on: what earlier cases left
    # alive. The referrer walks then see only this case's objects, in the
    # order this case made them.
    gc.freeze()
    fill_free_lists()
    chaos = Chaos(src)

    def on_signal(signum, frame):
        chaos.maybe("signal handler")

    old_handler = signal.signal(signal.SIGUSR1, on_signal)
    # A finalizer that raises is reported, not propagated: keep it in the trace.
    old_unraisable = sys.unraisablehook
    sys.unraisablehook = lambda u: trace(f"unraisable in {type(u.object).__name__}: {u.exc_value!r}")
    entry = None
    roll = src.below(10_000)
    for rare, chances in RARE_ENTRIES:
        if roll < chances:
            entry = rare
            break
        roll -= chances
    if entry is None:
        entry = src.pick(ENTRIES)
    trace(f"entry {entry.__name__} rate={chaos.rate} budget={chaos.budget} depth={chaos.max_depth}")
    harness._text_cap.append(200)
    try:
        install(src, chaos)
        threshold = src.pick([0, 1, 10, 700])
        if threshold:
            gc.set_threshold(threshold, 10, 10)
        if src.chance(8):  # RecursionError wherever native code checks the depth
            sys.setrecursionlimit(len(traceback_frames()) + src.pick([3, 8, 20, 60]))
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            entry(src, chaos)
        STATS[entry.__name__, "ok"] += 1
    except (SystemError, Fault):
        raise
    except Exception as exc:
        STATS[entry.__name__, type(exc).__name__] += 1
    finally:
        chaos.closed = True
        sys.setrecursionlimit(_DEFAULT_RECURSION_LIMIT)
        gc.set_threshold(*_DEFAULT_THRESHOLDS)
        signal.signal(signal.SIGUSR1, old_handler)
        gc.collect()  # the planted cycles, while the chaos is closed
        sys.unraisablehook = old_unraisable
        harness._text_cap.pop()
        restore_modules()
        clear_memos()
        del chaos.records[:], chaos.texts[:]


def case_source(seed: int, index: int):
    # Apart from the plain cases' numbering, so that seed s means other cases here.
    return harness.RandomSource(seed * 1_000_033 + index + 7)


def run_cases(seed: int, start: int, count: int, progress=None) -> int:
    return harness.run_cases(seed, start, count, progress, run=run_case, source=case_source)
