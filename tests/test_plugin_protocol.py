"""The plugin protocol: base class, argument handling, subclassing and the
native method table other modules call through."""

import ctypes
import traceback

import pytest

import vexlora.murkel as m

from support import PLUGINS, feed

A = m._char_info("a")

# The native method table, in slot order, as a C caller sees it.
FEED_INFO = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object, ctypes.py_object, ctypes.c_void_p, ctypes.c_int)
RESET = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object, ctypes.c_int)
FEED = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object, ctypes.c_uint32, ctypes.c_void_p)
RATIO = ctypes.PYFUNCTYPE(ctypes.c_double, ctypes.py_object)


class VTable(ctypes.Structure):
    _fields_ = [("feed_info", FEED_INFO), ("reset", RESET), ("feed", FEED), ("ratio", RATIO)]


def vtable_of(cls):
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype, get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    return VTable.from_address(get_pointer(cls.__dict__["__pyx_vtable__"], None))


class Counting(m.MessDetectorPlugin):
    def __init__(self):
        self.seen = []

    def feed_info(self, character, info):
        self.seen.append((character, info))

    def reset(self):
        self.seen.clear()

    @property
    def ratio(self):
        return float(len(self.seen))


class Bare(m.MessDetectorPlugin):
    pass


def test_base_class_implements_nothing():
    plugin = m.MessDetectorPlugin()
    for action in (
        lambda: plugin.ratio,
        plugin.reset,
        lambda: plugin.feed_info("a", None),
        lambda: plugin.feed_info("a", A),
    ):
        with pytest.raises(NotImplementedError) as err:
            action()
        assert str(err.value) == ""
    assert m.MessDetectorPlugin.__doc__ == "Base class for mess-detection plugins."


def test_python_subclasses_override_or_raise():
    plugin = Counting()
    plugin.feed_info("a", A)
    assert plugin.ratio == 1.0
    plugin = Bare()
    for action in (lambda: plugin.ratio, plugin.reset, lambda: plugin.feed_info("a", A)):
        with pytest.raises(NotImplementedError):
            action()


@pytest.mark.parametrize("cls", PLUGINS)
def test_concrete_plugins_are_final(cls):
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (cls,), {})


@pytest.mark.parametrize("cls", PLUGINS)
def test_class_shape(cls):
    assert cls.__module__ == "vexlora.murkel" and cls.__base__ is m.MessDetectorPlugin
    assert cls.feed_info.__qualname__ == f"{cls.__name__}.feed_info"
    docs = {
        m.CjkUncommonPlugin: "Detect messy CJK text that probably means nothing.",
        m.SuspiciousKatakanaPlugin: "Detect implausible halfwidth Katakana and uncommon CJK combinations.",
    }
    assert cls.__doc__ == docs.get(cls)


BAD_FEEDS = [
    (("ab", A), ValueError, "only single character unicode strings can be converted to Py_UCS4, got length 2"),
    ((None, A), TypeError, "ord() expected string of length 1, but NoneType found"),
    ((b"a", A), TypeError, "Argument 'character' has incorrect type (expected str, got bytes)"),
    ((type("S", (str,), {})("a"), A), TypeError, "Argument 'character' has incorrect type"),
    (("a", None), TypeError, "Argument 'info' has incorrect type (expected vexlora.murkel.CharInfo, got NoneType)"),
    (("a",), TypeError, "feed_info() takes exactly 2 positional arguments (1 given)"),
    (("a", A, A), TypeError, "feed_info() takes exactly 2 positional arguments (3 given)"),
]


@pytest.mark.parametrize("cls", PLUGINS)
@pytest.mark.parametrize("args, exc, message", BAD_FEEDS)
def test_bad_feed_changes_nothing(cls, args, exc, message):
    text = "ÉéÉé ©亅ｱ" + "\ufe8d" * 8 + "aж" * 4
    plugin, twin = feed(cls(), text), feed(cls(), text)
    with pytest.raises(exc) as err:
        plugin.feed_info(*args)
    assert message in str(err.value)
    assert feed(plugin, text + " ").ratio == feed(twin, text + " ").ratio


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda p: p.reset(1), "reset() takes exactly 0 positional arguments (1 given)"),
        (lambda p: p.reset(x=1), "reset() got an unexpected keyword argument 'x'"),
        (lambda p: p.feed_info("a", info=A, extra=1), "feed_info() got an unexpected keyword argument 'extra'"),
        (lambda p: type(p)(1), "__init__() takes exactly 0 positional arguments (1 given)"),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as err:
        call(m.SuspiciousRange())
    assert str(err.value) == message


def test_failed_conversion_names_both_routines():
    with pytest.raises(ValueError) as err:
        m.UnprintablePlugin().feed_info("ab", A)
    names = [frame.name for frame in traceback.extract_tb(err.value.__traceback__)]
    assert names[-2:] == ["vexlora.murkel.UnprintablePlugin.feed_info", "vexlora.murkel._public_codepoint"]


# --- The native method table, as another extension module calls it ---


def test_base_slots_dispatch_to_python_overrides():
    table = vtable_of(m.MessDetectorPlugin)
    assert not table.feed and not table.ratio
    plugin = Counting()
    assert table.feed_info(plugin, "a", id(A), 0) == 0
    assert plugin.seen == [("a", A)]
    assert table.feed_info(plugin, "b", None, 0) == 0  # a null record reaches Python as None
    assert plugin.seen[-1] == ("b", None)
    assert table.reset(plugin, 0) == 0 and plugin.seen == []


@pytest.mark.parametrize("plugin, skip", [(Counting(), 1), (Bare(), 0), (m.MessDetectorPlugin(), 0)])
def test_base_slots_raise_without_dispatch(plugin, skip):
    table = vtable_of(m.MessDetectorPlugin)
    with pytest.raises(NotImplementedError):
        table.feed_info(plugin, "a", id(A), skip)
    with pytest.raises(NotImplementedError):
        table.reset(plugin, skip)


def test_override_errors_reach_the_native_caller():
    class Failing(m.MessDetectorPlugin):
        def feed_info(self, character, info):
            raise KeyError(character)

    with pytest.raises(KeyError) as err:
        vtable_of(m.MessDetectorPlugin).feed_info(Failing(), "z", id(A), 0)
    names = [frame.name for frame in traceback.extract_tb(err.value.__traceback__)]
    assert "vexlora.murkel.MessDetectorPlugin.feed_info" in names


@pytest.mark.parametrize("cls", PLUGINS)
def test_native_slots_match_python_methods(cls):
    table = vtable_of(cls)
    text = "ÉéÉé ©亅亅亅亅ｱｲｱｲ¿" + "\ufe8d" * 8 + "aж" * 8 + "\x00 "
    native, python = cls(), feed(cls(), text)
    for ch in text:
        assert table.feed(native, ord(ch), id(m._char_info(ch))) == 0
    assert table.ratio(native) == native.ratio == python.ratio
    assert table.reset(native, 0) == 0
    assert table.feed_info(native, "é", id(m._char_info("é")), 0) == 0


@pytest.mark.parametrize("cls", PLUGINS)
def test_native_slots_refuse_a_missing_record(cls):
    table = vtable_of(cls)
    plugin = cls()
    with pytest.raises(TypeError, match="got NoneType"):
        table.feed_info(plugin, "a", None, 0)
    with pytest.raises(TypeError, match="got NoneType"):
        table.feed(plugin, 97, None)
    with pytest.raises(TypeError, match="got NoneType"):
        table.feed(plugin, 97, id(None))
    assert plugin.ratio == 0.0
