"""Fuzzing harness for the two native modules.

Every case picks one entry point of `vexlora.murkel` or `vexlora.tessaly`
(module functions, methods, properties, reconstructors, the native functions
behind `__pyx_capi__`) and calls it with generated arguments: texts from every
plane (surrogates, controls, long runs of one script, mixed scripts), values
of random types, random state tuples. Some cases first rebind module globals
(`_ASCII_CHAR_INFO`, `_CHAR_INFO_PAGES`, host names) to hostile stand-ins,
which are put back when the case ends.

A case passes when the call returns a well-formed result or raises an
ordinary exception. `SystemError` (a native routine that failed without an
exception, or succeeded with one pending) and malformed results are faults;
a crash takes the process down, and `run.py` reports the case that did it.

Cases draw their choices from a `Source`: `RandomSource` (a seeded
`random.Random`, reproducible case by case) or `ProviderSource` (an atheris
data provider, for coverage-guided runs).
"""

from __future__ import annotations

import contextlib
import copy
import ctypes
import math
import pickle
import random
import warnings

import vexlora.constant as constant
import vexlora.murkel as murkel
import vexlora.tessaly as tessaly

# ---------------------------------------------------------------------------
# Sources of choices.


class RandomSource:
    def __init__(self, seed):
        self.rng = random.Random(seed)

    def below(self, n: int) -> int:
        return self.rng.randrange(n) if n > 0 else 0

    def chance(self, percent: int) -> bool:
        return self.rng.randrange(100) < percent

    def pick(self, items):
        return items[self.rng.randrange(len(items))]

    def uint(self, bits: int) -> int:
        return self.rng.getrandbits(bits)

    def real(self) -> float:
        return self.rng.uniform(-2.0, 2.0)


class ProviderSource:
    """Choices read from an atheris FuzzedDataProvider."""

    def __init__(self, provider):
        self.p = provider

    def below(self, n: int) -> int:
        return self.p.ConsumeIntInRange(0, n - 1) if n > 1 else 0

    def chance(self, percent: int) -> bool:
        return self.p.ConsumeIntInRange(0, 99) < percent

    def pick(self, items):
        return items[self.below(len(items))]

    def uint(self, bits: int) -> int:
        return self.p.ConsumeIntInRange(0, (1 << bits) - 1)

    def real(self) -> float:
        return self.p.ConsumeFloatInRange(-2.0, 2.0)


# ---------------------------------------------------------------------------
# Texts.

# (first, last) code point of script runs worth mixing.
SCRIPTS = [
    (0x20, 0x7E),  # ASCII
    (0x00C0, 0x017F),  # accented Latin
    (0x0370, 0x03FF),  # Greek
    (0x0400, 0x04FF),  # Cyrillic
    (0x0590, 0x05FF),  # Hebrew
    (0x0600, 0x06FF),  # Arabic
    (0xFE70, 0xFEFF),  # Arabic presentation forms (isolated forms, BOM)
    (0x0E00, 0x0E7F),  # Thai
    (0x3040, 0x30FF),  # Hiragana, Katakana
    (0xFF61, 0xFF9F),  # halfwidth Katakana
    (0x4E00, 0x4FFF),  # CJK
    (0xAC00, 0xAD00),  # Hangul
    (0x0300, 0x036F),  # combining marks
    (0x2000, 0x206F),  # general punctuation
    (0x2070, 0x209F),  # superscripts
    (0xFB00, 0xFB06),  # ligatures
    (0x1F300, 0x1F64F),  # emoji
    (0xD800, 0xDFFF),  # surrogates
    (0x00, 0x1F),  # controls
    (0x80, 0x9F),  # C1 controls
]
SPECIALS = "\x1b\x1a\ufeff\t\n \u00a0\u2028(\u00bf\u00a1\ufb01\u00b2\u0130\u0131\u00df\u1e9e"
WORDS = [
    "the",
    "Straße",
    "Ça",
    "ÉCOLE",
    "ÂÊÎ",
    "mot",
    "Привет",
    "日本語",
    "ｶﾀｶﾅ",
    "مرحبا",
    "ﻻ",
    "καλη",
    "ﬁnal",
    "x²",
    "hELLo",
    "iPhone",
    "aBcDeF",
    "𝔘𝔫𝔦",
    "١٢٣",
    "…",
    "--",
    "((",
    "\u0301e",
]

# A bounded set of arbitrary code points from all planes, so that the record
# cache stays small however long a run lasts.
_POOL_RNG = random.Random(20240501)
ANY_PLANE = [_POOL_RNG.randrange(0x110000) for _ in range(4096)]


def code_point(src) -> int:
    k = src.below(10)
    if k < 3:
        return src.pick(ANY_PLANE)
    if k < 4:
        return ord(src.pick(SPECIALS))
    first, last = src.pick(SCRIPTS)
    return first + src.below(last - first + 1)


# Longest text while hostile globals are in force: with an empty record
# cache every character goes through the host's Python code.
_text_cap = [1 << 30]


def text(src, limit: int = 0) -> str:
    if not limit:
        limit = src.pick([0, 1, 2, 8, 16, 17, 40, 64, 200, 510, 511, 513, 1024, 1500])
    limit = min(limit, _text_cap[-1])
    shape = src.below(6)
    parts = []
    size = 0
    if shape == 0:  # one script, one long run
        first, last = src.pick(SCRIPTS)
        while size < limit:
            parts.append(chr(first + src.below(last - first + 1)))
            size += 1
    elif shape == 1:  # one repeated character
        parts.append(chr(code_point(src)) * limit)
    elif shape == 2:  # words and blanks
        while size < limit:
            word = src.pick(WORDS)
            parts.append(word)
            parts.append(src.pick([" ", " ", "\n", ", ", ".", "", "\t"]))
            size += len(word) + 1
    else:  # mixed code points, in runs
        while size < limit:
            first, last = src.pick(SCRIPTS) if src.chance(70) else (0, 0x10FFFF)
            run = 1 + src.below(12)
            for _ in range(run):
                parts.append(
                    chr(first + src.below(last - first + 1))
                    if last > 0x10000 or src.chance(90)
                    else chr(code_point(src))
                )
            size += run
    return "".join(parts)[: max(limit, 0)] if shape != 1 else "".join(parts)


# ---------------------------------------------------------------------------
# Values of any type.


class Boom(Exception):
    """Raised by hostile objects."""


class Hostile:
    """Fails at every protocol the modules might use on it."""

    def __bool__(self):
        raise Boom("bool")

    def __eq__(self, other):
        raise Boom("eq")

    def __ne__(self, other):
        raise Boom("ne")

    def __lt__(self, other):
        raise Boom("lt")

    def __hash__(self):
        raise Boom("hash")

    def __index__(self):
        raise Boom("index")

    def __float__(self):
        raise Boom("float")

    def __len__(self):
        raise Boom("len")

    def __iter__(self):
        raise Boom("iter")

    def __getitem__(self, key):
        raise Boom("getitem")

    def __contains__(self, key):
        raise Boom("contains")

    def __call__(self, *args, **kwargs):
        raise Boom("call")


class StrSub(str):
    pass


class ListSub(list):
    pass


class FloatSub(float):
    pass


class IntSub(int):
    pass


def bare_char_info():
    return murkel.CharInfo.__new__(murkel.CharInfo)


def plugin_types():
    # The detectors: every class of FIELD_COUNTS after CharInfo and their base.
    return [getattr(murkel, name) for name in list(FIELD_COUNTS)[2:]]


def record(src):
    """A real record most of the time; sometimes a bare or a scrambled one."""
    k = src.below(10)
    if k < 7:
        cp = code_point(src)
        return murkel._ASCII_CHAR_INFO[cp] if cp < 128 else murkel._char_info(chr(cp))
    info = bare_char_info()
    if k < 9:
        with contextlib.suppress(Exception):
            info.__setstate__(state_tuple(src, 28))
    return info


def value(src, depth: int = 0):
    k = src.below(26)
    if k == 0:
        return None
    if k == 1:
        return src.pick([True, False])
    if k == 2:
        return src.pick(
            [
                0,
                1,
                -1,
                2**31 - 1,
                2**31,
                -(2**31),
                -(2**31) - 1,
                2**32 - 1,
                2**32,
                2**63,
                -(2**63) - 1,
                10**30,
                IntSub(5),
                0xFFFFFFFF,
                0x10FFFF,
                0x110000,
            ]
        )
    if k == 3:
        return src.pick([0.0, -0.0, 0.1, 0.2, 1.0, -1.0, math.inf, -math.inf, math.nan, 1e308, 5e-324, FloatSub(0.5)])
    if k in (4, 5, 6):
        return text(src, src.pick([1, 1, 1, 2, 5, 40]))
    if k == 7:
        return StrSub("a")
    if k == 8:
        return src.pick([b"a", bytearray(b"ab"), memoryview(b"x")])
    if k == 9:
        return Hostile()
    if k == 10:
        return object()
    if k == 11:
        return record(src)
    if k == 12:
        return src.pick(plugin_types())()
    if k == 13:
        return src.pick([murkel.CharInfo, murkel.MessDetectorPlugin, type, int, str] + plugin_types())
    if k == 14 and depth < 2:
        return [value(src, depth + 1) for _ in range(src.below(5))]
    if k == 15 and depth < 2:
        return tuple(value(src, depth + 1) for _ in range(src.below(5)))
    if k == 16 and depth < 2:
        return {value_hashable(src): value(src, depth + 1) for _ in range(src.below(3))}
    if k == 17:
        return ListSub(["a", "b"])
    if k == 18:
        return src.pick(list(constant.FREQUENCIES)) + src.pick(["", "", "—", " "])
    if k == 19:
        return src.pick(BLOCK_NAMES)
    if k == 20:
        return [chr(code_point(src)) for _ in range(src.below(40))]
    if k == 21:
        return src.real()
    if k == 22:
        return frozenset("abc")
    if k == 23:
        return murkel.mess_ratio
    if k == 24:
        return src.uint(src.pick([8, 16, 21, 32, 64]))
    return ""


def value_hashable(src):
    return src.pick([None, 0, 1, "a", "b", "—", 2.5, (1, 2), True])


BLOCK_NAMES = sorted(constant._RANGE_FAMILIES)[:80] + ["Basic Latin", "Cyrillic", "No Such Block", ""]


def state_tuple(src, fields: int) -> tuple:
    """A state tuple of about `fields` items, usually of plausible types."""
    size = fields + src.pick([0, 0, 0, 0, 1, 1, -1, -fields, 3])
    items = []
    for _ in range(max(size, 0)):
        k = src.below(8)
        if k < 3:
            items.append(src.pick([0, 1, 2, 7, 255, 2**31 - 1, 0xFFFFFFFF]))
        elif k < 5:
            items.append(src.pick([True, False]))
        elif k == 5:
            items.append(src.pick(["a", "é", None, "ab", "Basic Latin"]))
        else:
            items.append(value(src, 2))
    if size > fields and src.chance(50):
        items[fields] = src.pick([{"x": 1}, {}, Hostile(), [("k", 1)], None])
    return tuple(items)


# ---------------------------------------------------------------------------
# Checks on results.


class Fault(Exception):
    """A result or exception that no input may produce."""


# Result checks hold only while the module globals are the real ones.
_checking = [True]


def checking() -> bool:
    return _checking[-1]


def check_ratio(result):
    if not checking():
        return
    if type(result) is not float or not result >= 0.0 or round(result, 3) != result:
        raise Fault(f"mess_ratio returned {result!r}")


def check_str_list(result):
    if not checking():
        return
    if type(result) is not list or not all(type(x) is str for x in result):
        raise Fault(f"expected a list of str, got {result!r}")


def check_pairs(result):
    if not checking():
        return
    if type(result) is not list:
        raise Fault(f"expected a list, got {result!r}")
    for pair in result:
        if type(pair) is not tuple or len(pair) != 2:
            raise Fault(f"expected pairs, got {result!r}")


# ---------------------------------------------------------------------------
# Native entry points reached through the capsules, as another extension
# module would call them (with the interpreter lock held).

_capsule_pointer = ctypes.pythonapi.PyCapsule_GetPointer
_capsule_pointer.restype = ctypes.c_void_p
_capsule_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
_capsule_name = ctypes.pythonapi.PyCapsule_GetName
_capsule_name.restype = ctypes.c_char_p
_capsule_name.argtypes = [ctypes.py_object]


class MessRatioOptional(ctypes.Structure):
    _fields_ = [("count", ctypes.c_int32), ("maximum_threshold", ctypes.c_double), ("debug", ctypes.c_int32)]


def _native(name, prototype):
    capsule = murkel.__pyx_capi__[name]
    return prototype(_capsule_pointer(capsule, _capsule_name(capsule)))


NATIVE_MESS_RATIO = _native(
    "mess_ratio", ctypes.PYFUNCTYPE(ctypes.c_double, ctypes.py_object, ctypes.c_int, ctypes.POINTER(MessRatioOptional))
)
NATIVE_CHAR_INFO = _native("_char_info_from_codepoint", ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.c_uint32))


ctypes.pythonapi.PyErr_Occurred.restype = ctypes.c_void_p


def call_native_mess_ratio(text_value, optional):
    # ctypes cannot raise a pending exception itself for a double result, so
    # fetch it through sys after the call.
    result = NATIVE_MESS_RATIO(text_value, 0, optional)
    if ctypes.pythonapi.PyErr_Occurred():
        exc = _fetch_exception()
        if result != -1.0:
            raise Fault(f"native mess_ratio returned {result} with {exc!r} pending")
        raise exc
    return result


_PyErr_GetRaisedException = ctypes.pythonapi.PyErr_GetRaisedException
_PyErr_GetRaisedException.restype = ctypes.py_object
_PyErr_GetRaisedException.argtypes = []


def _fetch_exception():
    return _PyErr_GetRaisedException()


# ---------------------------------------------------------------------------
# Entry points. Each takes a source and makes one call (or a short sequence).

ENCODINGS = [
    "cp1252",
    "cp1251",
    "latin_1",
    "iso8859_2",
    "iso8859_5",
    "iso8859_7",
    "koi8_r",
    "mac_roman",
    "cp437",
    "cp1256",
    "tis_620",
    "cp874",
    "utf_8",
    "ascii",
    "shift_jis",
    "gb2312",
    "euc_kr",
    "big5",
    "no_such_codec",
    "",
    "..",
    "encodings",
    "cp932",
    "iso2022_jp_2",
    "gb18030",
    "Shift_JIS",
    "cp9320",
    "hz",
    "utf_16",
    "idna",
    "punycode",
    "rot_13",
    "hex_codec",
    "base64_codec",
    "unicode_escape",
    "charmap",
    "mbcs",
    "aliases",
]
LANGUAGES = list(constant.FREQUENCIES)


def text_arg(src):
    return text(src) if src.chance(90) else value(src)


def call_with(src, fn, args, names=()):
    """Call with the arguments, sometimes by keyword, sometimes one too many or too few."""
    k = src.below(20)
    if k == 0:
        return fn(*args, value(src))
    if k == 1 and args:
        return fn(*args[:-1])
    if k == 2:
        return fn(*args, bogus=1)
    if k in (3, 4) and names:
        split = src.below(len(args) + 1)
        return fn(*args[:split], **dict(zip(names[split:], args[split:])))
    return fn(*args)


def e_mess_ratio(src):
    args = [text_arg(src)]
    if src.chance(50):
        args.append(
            src.pick([0.2, 0.0, 1.0, 100.0, -1.0, math.nan, math.inf, 1, FloatSub(0.1)])
            if src.chance(85)
            else value(src)
        )
        if src.chance(30):
            args.append(src.pick([False, True, 0, None]) if src.chance(90) else value(src))
    result = call_with(src, murkel.mess_ratio, args, ("decoded_sequence", "maximum_threshold", "debug"))
    check_ratio(result)


def e_native_mess_ratio(src):
    optional = None
    if src.chance(70):
        optional = MessRatioOptional(
            src.pick([0, 1, 2, 3, -1, 2**31 - 1]), src.pick([0.2, 0.0, 5.0, math.nan, -1.0]), src.pick([0, 1, 7])
        )
    result = call_native_mess_ratio(
        text(src) if src.chance(85) else value(src), ctypes.pointer(optional) if optional is not None else None
    )
    check_ratio(result)


def e_native_char_info(src):
    cp = src.pick([code_point(src), code_point(src), 0x110000, 0xFFFFFFFF, 0x7FFFFFFF, src.uint(32)])
    result = NATIVE_CHAR_INFO(cp)
    if checking() and type(result) is not murkel.CharInfo:
        raise Fault(f"_char_info_from_codepoint({cp:#x}) returned {result!r}")


def e_char_info(src):
    arg = chr(code_point(src)) if src.chance(80) else value(src)
    k = src.below(4)
    if k == 0:
        info = call_with(src, murkel.CharInfo, [arg], ("character",))
    elif k == 1:
        info = call_with(src, murkel._char_info, [arg], ("character",))
    elif k == 2:
        info = bare_char_info()
        call_with(src, info.__init__, [arg], ("character",))
    else:
        info = record(src)
    for name in ("character", "range", "unaccented", "flags", "printable", "is_glyph", "safe"):
        getattr(info, name)
    if src.chance(30):
        again = pickle.loads(pickle.dumps(info))
        if again.character != info.character or again.flags != info.flags:
            raise Fault("CharInfo pickle round trip changed the record")
    if src.chance(20):
        copy.copy(info)


def e_successive(src):
    def block():
        return src.pick(BLOCK_NAMES) if src.chance(80) else value_hashable(src)

    fn = murkel.is_suspiciously_successive_range
    if src.chance(30):
        fn = fn.__wrapped__
    result = call_with(src, fn, [block(), block()], ("unicode_range_a", "unicode_range_b"))
    if checking() and type(result) is not bool:
        raise Fault(f"is_suspiciously_successive_range returned {result!r}")


def e_plugin(src):
    cls = src.pick(plugin_types() + [murkel.MessDetectorPlugin])
    plugin = cls() if src.chance(90) else call_with(src, cls, [value(src)])
    for _ in range(src.below(40)):
        k = src.below(20)
        if k < 14:
            cp = code_point(src)
            info = murkel._ASCII_CHAR_INFO[cp] if cp < 128 else murkel._char_info(chr(cp))
            character = chr(cp)
            if src.chance(10):
                character = value(src)
            if src.chance(10):
                info = value(src) if src.chance(50) else record(src)
            with contextlib.suppress(NotImplementedError, TypeError, ValueError, Boom, KeyError):
                call_with(src, plugin.feed_info, [character, info], ("character", "info"))
        elif k == 14:
            with contextlib.suppress(NotImplementedError, TypeError):
                call_with(src, plugin.reset, [])
        elif k == 15:
            with contextlib.suppress(NotImplementedError):
                ratio = plugin.ratio
                if checking() and type(ratio) is not float:
                    raise Fault(f"{cls.__name__}.ratio is {ratio!r}")
        elif k == 16:
            clone = pickle.loads(pickle.dumps(plugin))
            with contextlib.suppress(NotImplementedError):
                a, b = plugin.ratio, clone.ratio
                if a != b and not (math.isnan(a) and math.isnan(b)):
                    raise Fault(f"{cls.__name__} pickle round trip changed the ratio {a} -> {b}")
            plugin = clone
        elif k == 17:
            with contextlib.suppress(TypeError, ValueError, OverflowError, Boom, AttributeError):
                plugin.__setstate__(
                    state_tuple(
                        src,
                        len(plugin.__reduce__()[1][2] or ())
                        if len(plugin.__reduce__()) == 2
                        else len(plugin.__reduce__()[2]),
                    )
                )
        elif k == 18:
            with contextlib.suppress(TypeError, ValueError, OverflowError, Boom, AttributeError):
                call_with(src, plugin.__setstate__, [value(src)], ("state",))
        else:
            copy.deepcopy(plugin)


RECONSTRUCTORS = [n for n in dir(murkel) if n.startswith("__pyx_unpickle_")]
FIELD_COUNTS = {
    "CharInfo": 28,
    "MessDetectorPlugin": 0,
    "TooManySymbolOrPunctuationPlugin": 4,
    "TooManyAccentuatedPlugin": 2,
    "UnprintablePlugin": 3,
    "SuspiciousDuplicateAccentPlugin": 4,
    "SuspiciousRange": 4,
    "SuperWeirdWordPlugin": 19,
    "CjkUncommonPlugin": 2,
    "SuspiciousKatakanaPlugin": 4,
    "ArchaicUpperLowerPlugin": 8,
    "ArabicIsolatedFormPlugin": 2,
}
CHECKSUMS = {
    "CharInfo": (259957324, 95408010, 182144604),
    "MessDetectorPlugin": (238750788, 228825662, 222419149),
    "TooManySymbolOrPunctuationPlugin": (52938042, 27289846, 106850237),
    "TooManyAccentuatedPlugin": (71901452, 30306595, 9205665),
    "UnprintablePlugin": (218567335, 213516937, 210616455),
    "SuspiciousDuplicateAccentPlugin": (148938926, 46270946, 234963596),
    "SuspiciousRange": (205150314, 205151805, 35382124),
    "SuperWeirdWordPlugin": (82420251, 72217067, 122850220),
    "CjkUncommonPlugin": (125131892, 213425258, 55305133),
    "SuspiciousKatakanaPlugin": (235356405, 245882113, 87363020),
    "ArchaicUpperLowerPlugin": (141761947, 49227547, 254216424),
    "ArabicIsolatedFormPlugin": (243887130, 112843517, 142775187),
}


def e_reconstruct(src):
    name = src.pick(RECONSTRUCTORS)
    cls_name = name[len("__pyx_unpickle_") :]
    cls = getattr(murkel, cls_name)
    target = (
        cls
        if src.chance(80)
        else src.pick([murkel.CharInfo, murkel.MessDetectorPlugin, int, object()] + plugin_types())
    )
    checksum = src.pick(CHECKSUMS[cls_name]) if src.chance(85) else value(src)
    state = state_tuple(src, FIELD_COUNTS[cls_name]) if src.chance(85) else src.pick([None, value(src)])
    obj = call_with(src, getattr(murkel, name), [target, checksum, state], ("type", "checksum", "state"))
    # Whatever was restored must be usable (or refuse cleanly).
    if isinstance(obj, murkel.CharInfo):
        drive_with_records(src, [obj])
    elif isinstance(obj, murkel.MessDetectorPlugin) and type(obj) is not murkel.MessDetectorPlugin:
        for _ in range(src.below(6)):
            cp = code_point(src)
            info = murkel._ASCII_CHAR_INFO[cp] if cp < 128 else murkel._char_info(chr(cp))
            with contextlib.suppress(TypeError, ValueError, Boom, KeyError):
                obj.feed_info(chr(cp), info)
        obj.ratio
        pickle.loads(pickle.dumps(obj)) if src.chance(30) else obj.__reduce__()


def e_setstate_char_info(src):
    info = bare_char_info() if src.chance(50) else murkel.CharInfo(chr(code_point(src)))
    info.__setstate__(state_tuple(src, 28))
    drive_with_records(src, [info])


def drive_with_records(src, infos):
    """Feed records (perhaps bare or scrambled) to every consumer that reads them natively."""
    info = infos[0]
    for cls in plugin_types():
        plugin = cls()
        with contextlib.suppress(TypeError, ValueError, Boom, KeyError):
            plugin.feed_info(src.pick(["a", "é", "\u4e00"]), info)
            plugin.feed_info("b", info)
        plugin.ratio
    # Put the record into a copy of the page cache and of the ASCII table, then
    # let the drivers read it.
    cp = code_point(src)
    with hostile_tables(src, plant=(cp, info)):
        t = text(src, 40) + chr(cp) * (1 + src.below(3)) + text(src, 20)
        for fn in (murkel.mess_ratio, tessaly.alpha_unicode_split, tessaly.coherence_ratio):
            with contextlib.suppress(TypeError, ValueError, Boom, KeyError, AttributeError, IndexError):
                fn(t)


def e_encoding(src):
    name = src.pick(ENCODINGS) if src.chance(90) else value(src)
    fn = src.pick(
        [
            tessaly.encoding_unicode_range,
            tessaly.encoding_languages,
            tessaly.mb_encoding_languages,
            tessaly.encoding_languages.__wrapped__,
            tessaly.mb_encoding_languages.__wrapped__,
        ]
    )
    result = call_with(src, fn, [name], ("iana_name",))
    check_str_list(result)


def e_range_languages(src):
    arg = src.pick(BLOCK_NAMES) if src.chance(85) else value(src)
    check_str_list(call_with(src, tessaly.unicode_range_languages, [arg], ("primary_range",)))


def e_features(src):
    arg = src.pick(LANGUAGES) if src.chance(80) else value(src)
    fn = tessaly.get_target_features if src.chance(70) else tessaly.get_target_features.__wrapped__
    result = call_with(src, fn, [arg], ("language",))
    if checking() and (type(result) is not tuple or len(result) != 2 or not all(type(x) is bool for x in result)):
        raise Fault(f"get_target_features returned {result!r}")


def characters_list(src):
    k = src.below(6)
    if k == 0:
        return [value(src) for _ in range(src.below(8))]
    t = text(src)
    if k == 1:
        return list(t) + list(t[: src.below(len(t) + 1)])  # with repetitions
    return list(dict.fromkeys(t))


def e_alphabet(src):
    args = [characters_list(src) if src.chance(90) else value(src)]
    if src.chance(50):
        args.append(value(src) if src.chance(30) else src.pick([True, False]))
    check_str_list(call_with(src, tessaly.alphabet_languages, args, ("characters", "ignore_non_latin")))


def e_popularity(src):
    language = src.pick(LANGUAGES) if src.chance(85) else value(src)
    if src.chance(30) and language in constant.FREQUENCIES:
        profile = list(constant.FREQUENCIES[language])
        observed = profile[:]
        for _ in range(src.below(6)):
            i, j = src.below(len(observed)), src.below(len(observed))
            observed[i], observed[j] = observed[j], observed[i]
        if src.chance(30):
            observed += observed[: src.below(len(observed) + 1)]
        if src.chance(20):
            observed *= 1 + src.below(12)  # past the stack buffers
    else:
        observed = characters_list(src) if src.chance(90) else value(src)
    result = call_with(
        src, tessaly.characters_popularity_compare, [language, observed], ("language", "ordered_characters")
    )
    if checking() and (type(result) is not float or not 0.0 <= result <= 1.0):
        raise Fault(f"characters_popularity_compare returned {result!r}")


def e_split(src):
    result = call_with(src, tessaly.alpha_unicode_split, [text_arg(src)], ("decoded_sequence",))
    check_str_list(result)
    if checking() and "" in result:
        raise Fault(f"alpha_unicode_split returned an empty layer: {result!r}")


def lg_inclusion(src):
    k = src.below(6)
    if k < 3:
        return None
    if k == 3:
        return ",".join(src.pick(LANGUAGES + ["Latin Based"]) for _ in range(1 + src.below(50)))
    if k == 4:
        return src.pick(["Latin Based", "", ",", "English, French", "Latin Based,English", "—"])
    return value(src)


def e_coherence(src):
    args = [text_arg(src)]
    if src.chance(60):
        args.append(src.pick([0.1, 0.0, 0.8, 1.0, -1.0, math.nan, 2, FloatSub(0.3)]) if src.chance(85) else value(src))
        if src.chance(60):
            args.append(lg_inclusion(src))
    result = call_with(src, tessaly.coherence_ratio, args, ("decoded_sequence", "threshold", "lg_inclusion"))
    check_pairs(result)


def pairs(src):
    out = []
    for _ in range(src.below(8)):
        if src.chance(85):
            out.append((src.pick(LANGUAGES) + src.pick(["", "—", "——", "—x"]), src.pick([0.1, 0.5, 0.75, 1, 0.0])))
        else:
            out.append(value(src))
    return out


def e_filter(src):
    arg = pairs(src) if src.chance(85) else value(src)
    result = call_with(src, tessaly.filter_alt_coherence_matches, [arg], ("results",))
    if result is not arg:  # returned unchanged when nothing collapses
        check_pairs(result)


def e_merge(src):
    arg = [pairs(src) for _ in range(src.below(4))] if src.chance(85) else value(src)
    check_pairs(call_with(src, tessaly.merge_coherence_ratios, [arg], ("results",)))


def e_hostile(src):
    """Any driver under rebound module globals."""
    with hostile_globals(src):
        fn = src.pick(
            [
                e_mess_ratio,
                e_native_mess_ratio,
                e_char_info,
                e_successive,
                e_encoding,
                e_range_languages,
                e_features,
                e_alphabet,
                e_split,
                e_coherence,
                e_plugin,
            ]
        )
        fn(src)


ENTRY_POINTS = [
    e_mess_ratio,
    e_native_mess_ratio,
    e_native_char_info,
    e_char_info,
    e_successive,
    e_plugin,
    e_reconstruct,
    e_setstate_char_info,
    e_encoding,
    e_range_languages,
    e_features,
    e_alphabet,
    e_popularity,
    e_split,
    e_coherence,
    e_filter,
    e_merge,
    e_hostile,
    e_hostile,
]


# ---------------------------------------------------------------------------
# Hostile module globals.


@contextlib.contextmanager
def rebound(module, name, new):
    missing = object()
    old = module.__dict__.get(name, missing)
    if new is missing:
        module.__dict__.pop(name, None)
    else:
        setattr(module, name, new)
    try:
        yield
    finally:
        if old is missing:
            module.__dict__.pop(name, None)
        else:
            setattr(module, name, old)


def hostile_ascii_table(src, plant=None):
    table = list(murkel._ASCII_CHAR_INFO)
    k = src.below(8)
    if plant is not None and plant[0] < 128:
        table[plant[0]] = plant[1]
        return table
    if k == 0:
        return table[: src.below(128)]
    if k == 1:
        table[src.below(128)] = value(src)
        return table
    if k == 2:
        return None
    if k == 3:
        return tuple(table)
    if k == 4:
        table[src.below(128)] = bare_char_info()
        return table
    if k == 5:
        return table + [value(src)]
    return value(src)


def hostile_pages(src, plant=None):
    # Start from an empty cache: copying the real one costs more than a case,
    # and hostile host functions must not leave their records in it.
    pages = [None] * len(REAL_PAGES)
    if plant is not None:
        cp, info = plant
        page = list(pages[cp >> 8] or [None] * 256)
        page[cp & 0xFF] = info
        pages[cp >> 8] = page
        return pages
    k = src.below(7)
    cp = code_point(src)
    if k == 0:
        return pages[: src.below(len(pages))]
    if k == 1:
        pages[cp >> 8] = value(src)
        return pages
    if k == 2:
        page = list(pages[cp >> 8] or [None] * 256)
        page[cp & 0xFF] = value(src)
        pages[cp >> 8] = page
        return pages
    if k == 3:
        pages[cp >> 8] = [None] * src.pick([0, 1, 255, 257])
        return pages
    if k == 4:
        return None
    if k == 5:
        return tuple(pages)
    return value(src)


@contextlib.contextmanager
def hostile_tables(src, plant=None):
    """Copies of the ASCII table and the page cache, with `plant` = (cp, record) placed in them."""
    with contextlib.ExitStack() as stack:
        if plant is None or plant[0] < 128:
            ascii_table = hostile_ascii_table(src, plant)
            stack.enter_context(rebound(murkel, "_ASCII_CHAR_INFO", ascii_table))
            if src.chance(50):
                stack.enter_context(rebound(tessaly, "_ASCII_CHAR_INFO", ascii_table))
        if plant is None or plant[0] >= 128:
            stack.enter_context(rebound(murkel, "_CHAR_INFO_PAGES", hostile_pages(src, plant)))
        yield


def hostile_function(src, original):
    """A stand-in for a host function: raising, returning odd objects, or mutating the caches."""
    k = src.below(8)
    if k == 0:
        return Hostile()
    if k == 1:

        def raising(*args, **kwargs):
            raise Boom("host")

        return raising
    if k == 2:
        result = value(src)
        return lambda *args, **kwargs: result
    if k in (3, 4):
        # Shrink the tables in place while the caller is in the middle of using them.
        def mutating(*args, **kwargs):
            ascii_table = murkel.__dict__.get("_ASCII_CHAR_INFO")
            if type(ascii_table) is list and ascii_table is not REAL_ASCII:
                del ascii_table[src.below(len(ascii_table) + 1) :]
            pages = murkel.__dict__.get("_CHAR_INFO_PAGES")
            if type(pages) is list and pages is not REAL_PAGES:
                for page in pages:
                    if type(page) is list:
                        page.clear()
                del pages[src.below(len(pages) + 1) :]
            return original(*args, **kwargs)

        return mutating
    if k == 5:

        def rebinding(*args, **kwargs):
            murkel._ASCII_CHAR_INFO = murkel._ASCII_CHAR_INFO[:64]
            murkel._CHAR_INFO_PAGES = [[None] * 3] * 10
            return original(*args, **kwargs)

        return rebinding
    if k == 6:
        return lambda *args, **kwargs: Hostile()
    return original


REAL_ASCII = murkel._ASCII_CHAR_INFO
REAL_PAGES = murkel._CHAR_INFO_PAGES

MURKEL_HOST = [
    "COMMON_SAFE_ASCII_CHARACTERS",
    "COMMON_CJK_CHARACTERS",
    "_LATIN",
    "_character_flags",
    "is_emoticon",
    "remove_accent",
    "is_punctuation",
    "is_symbol",
    "unicode_range",
    "is_separator",
    "_RANGE_FAMILIES",
    "_COMPATIBLE_WITH_ANY_RANGE_FAMILIES",
    "CompatibleFamillyRange",
    "_COMPATIBLE_RANGE_FAMILIES",
    "_BASIC_LATIN_COMPATIBLE_RANGE_FAMILIES",
    "TRACE",
    "getLogger",
    "is_suspiciously_successive_range",
]
TESSALY_HOST = [
    "FREQUENCIES",
    "KO_NAMES",
    "ZH_NAMES",
    "TOO_SMALL_SEQUENCE",
    "itemgetter",
    "_char_info",
    "is_suspiciously_successive_range",
    "is_multi_byte_encoding",
    "is_unicode_range_secondary",
    "importlib",
    "encoding_unicode_range",
    "lru_cache",
    "LANGUAGE_SUPPORTED_COUNT",
]


@contextlib.contextmanager
def hostile_globals(src):
    missing = object()
    with contextlib.ExitStack() as stack:
        # Work on copies of the caches so that a hostile callback never damages the real ones.
        if src.chance(60):
            stack.enter_context(hostile_tables(src))
        else:
            stack.enter_context(rebound(murkel, "_ASCII_CHAR_INFO", list(REAL_ASCII)))
            # An empty cache, so that every record is built through the
            # (perhaps hostile) host functions and none reaches the real cache.
            stack.enter_context(rebound(murkel, "_CHAR_INFO_PAGES", [None] * len(REAL_PAGES)))
            stack.enter_context(rebound(tessaly, "_ASCII_CHAR_INFO", murkel._ASCII_CHAR_INFO))
        for _ in range(1 + src.below(3)):
            module, names = src.pick([(murkel, MURKEL_HOST), (tessaly, TESSALY_HOST)])
            name = src.pick(names)
            original = module.__dict__.get(name)
            k = src.below(4)
            if k == 0:
                new = missing
            elif k == 1:
                new = value(src)
            else:
                new = hostile_function(src, original) if callable(original) else value(src)
            stack.enter_context(rebound(module, name, new))
        _checking.append(False)
        _text_cap.append(64)
        try:
            yield
        finally:
            _checking.pop()
            _text_cap.pop()


# ---------------------------------------------------------------------------
# Running cases.


def run_case(src) -> None:
    """One case. Any ordinary exception is an acceptable outcome (the host's
    codecs and callbacks raise all sorts); SystemError and Fault are not."""
    entry = src.pick(ENTRY_POINTS)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # the host's codecs warn about odd input
            entry(src)
    except (SystemError, Fault):
        raise
    except Exception:
        pass


def case_source(seed: int, index: int) -> RandomSource:
    return RandomSource(seed * 1_000_003 + index)


def run_cases(seed: int, start: int, count: int, progress=None, run=None, source=None) -> int:
    """Run cases start .. start+count-1 of the seed; returns the number run.
    `run` and `source` default to this module's cases (hostile.py passes its own)."""
    run = run or run_case
    source = source or case_source
    for i in range(start, start + count):
        if progress is not None:
            progress(i)
        try:
            run(source(seed, i))
        except BaseException as exc:
            if isinstance(exc, KeyboardInterrupt):
                raise
            raise Fault(f"case {seed}:{i} failed: {exc!r}") from exc
    return count
