"""mess_ratio: checkpoints, early stop, eligibility, rounding, tracing and its guards."""

import ctypes
import logging
import math
import operator
import sys

import pytest
from hypothesis import given, settings, strategies as st

import vexlora.murkel as murkel
from vexlora.murkel import mess_ratio

from support import PLUGINS, mess_ratio_restated

TRACE = 5

# Characters from every script and class the plugins care about.
ALPHABET = (
    "abcXYZ  \t\n.,;!?-_<=>|~(\"'"
    "0123"
    "@#$%&*+/\\^`"
    "\x00\x01\x1a\x1b\x7f\x85\xa0\ufeff\u200b"
    "éèêÉÈàÀçÇüÜßøÆœŒĳǅﬁ¹²"
    "абвгдАБВГДжЖ"
    "αβγΑΒΓ"
    "אבג"
    "ابتثجﺍﺏﺕ"
    "ก"
    "一二三龍鬱丁七"
    "あいう"
    "アイウ"
    "ｱｲｳｴｵ"
    "한국"
    "€™…«»“”"
    "😀🎉"
    "\U0001d400\U00010330\U0010ffff"
)


@settings(max_examples=300, deadline=None)
@given(
    text=st.text(alphabet=ALPHABET, max_size=1200),
    threshold=st.sampled_from([0.0, 0.05, 0.1, 0.2, 0.35, 0.5, 1.0, 3.0, math.inf])
    | st.floats(min_value=0.0, max_value=2.0),
)
def test_matches_plain_python_driver(text, threshold):
    assert mess_ratio(text, threshold) == mess_ratio_restated(text, threshold)


# Letters of one block, of several kinds (case, accents, common or not...): the
# walk takes runs of such letters in one go.
ONE_BLOCK_LETTERS = [
    "éÉðÐþÞßøØÿàÀ",
    "aBcDeF",
    "дДёЁѐЀӓӒжЖ",
    "αΑάΆωΩώΏ",
    "一二三龍鬱丁七中",
    "ｱｲｳｴｵｶ",
    "ابتثﺍﺏﺕﺙ",
    "กขคงจฉัิ",
]


@settings(max_examples=300, deadline=None)
@given(data=st.data())
def test_matches_plain_python_driver_on_runs_of_one_block(data):
    letters = data.draw(st.sampled_from(ONE_BLOCK_LETTERS))
    # CJK punctuation ends words in such runs too, repeated or not, and "「"
    # opens a sentence.
    text = data.draw(st.text(alphabet=letters + " 1.ſ。、「", max_size=700))
    threshold = data.draw(st.sampled_from([0.05, 0.2, math.inf]))
    assert mess_ratio(text, threshold) == mess_ratio_restated(text, threshold)


# Mojibake-like text: letters with symbols inside words, punctuation, blanks
# after symbols and pairs of accentuated letters, which the walk takes in one
# go where it can; digits, superscripts and sentence openers inside words too,
# after a ligature or not (a superscript then spoils the word). A judge that
# finds every change of block suspicious makes the block-pair plugin's count
# show in the result.
MOJIBAKE_PIECES = ["Ð", "Ñ", "Ã", "Â", "Ž", "µ", "º", "¾", "°", "½", "©", "€", "´", "»", "«", "‚", "…", "�", "²", "¿"]
MOJIBAKE_PIECES += ["ÉÉ", "éè", "Ññ", "ÀÁ", " ", "  ", ", ", ". ", "a", "B", "ж", "-", "$", "\u24b6", "\xa0", "1"]
MOJIBAKE_PIECES += ["ﬁ", "Œ", "¹", "\u2075", "¡", "\u02c6", "\xad", "|", "7"]


@settings(max_examples=300, deadline=None)
@given(
    pieces=st.lists(st.sampled_from(MOJIBAKE_PIECES), max_size=300),
    threshold=st.sampled_from([0.2, 1.0, math.inf]),
    judge=st.sampled_from([None, operator.is_not]),
)
def test_matches_plain_python_driver_on_mojibake_like_text(pieces, threshold, judge):
    text = "".join(pieces)
    saved = murkel.is_suspiciously_successive_range
    if judge is not None:
        murkel.is_suspiciously_successive_range = judge
    try:
        assert mess_ratio(text, threshold) == mess_ratio_restated(text, threshold)
    finally:
        murkel.is_suspiciously_successive_range = saved


@pytest.mark.parametrize("repeat", [1, 40, 300])
@pytest.mark.parametrize(
    "sample",
    [
        "Le cœur déçu mais l'âme plutôt naïve, ÉTÉ À PARIS. ",
        "Ã©tÃ© Ã  la plage, Ã§a va trÃ¨s bien Ð¿Ñ€Ð¸Ð²ÐµÑ‚. ",
        "私はガラスを食べられます。ｱｲｳｴｵ鬱龍。 ",
        "我们在公园里散步，天气很好。。孩子们说：「好！」、再见…… ",
        "مرحبا بالعالم ﺍﺏﺕﺙ ",
        "ThE qUiCk BrOwN fOx ÀbÀbÀ; ",
        # case runs of 64 and 65 letters, ended by blanks
        "Дж" * 32 + " " + "Дж" * 32 + "Д дЖдЖ  жД ",
    ],
)
def test_matches_plain_python_driver_on_longer_texts(sample, repeat):
    text = sample * repeat
    for threshold in (0.2, math.inf):
        assert mess_ratio(text, threshold) == mess_ratio_restated(text, threshold)


# --- results the driver's rules fix --------------------------------------------------------------


@pytest.mark.parametrize(
    "text, threshold, expected",
    [
        ("", 0.2, 0.0),  # no checkpoint, only the final line feed
        ("", 0.0, 0.0),
        ("abc\x00", 0.0, 2.0),  # early stop: 1 unprintable among 4, no line feed
        ("abc\x00", 100.0, 1.6),  # full walk: the line feed makes it 1 among 5
        ("\x00" + "a" * 22, 100.0, 0.333),  # 8 / 24 = 0.3333...
        ("\x00" + "a" * 21, 100.0, 0.348),  # 8 / 23 = 0.3478...
        ("hello\x1bworld", 100.0, 1.0),  # escape: 1.0 whatever the counts
        ("abcdefg\x1a\ufeffé", 100.0, 0.0),  # 26 and 65279 are never unprintable
        ("a" * 33 + "\x00", 0.0, 0.0),  # stops after the first 32 characters
        ("a" * 33 + "\x00", 0.2, 0.235),  # 8 / 34: the last partial block stops it before the line feed
        ("a" * 33 + "\x00", 0.3, 0.229),  # 8 / 35: no stop, the line feed is counted
    ],
)
def test_known_results(text, threshold, expected):
    assert mess_ratio(text, threshold) == expected


def test_result_has_at_most_three_decimals():
    for n in range(5, 60):
        value = mess_ratio("\x00" + "b" * n, math.inf)
        assert value == round(8 / (n + 2), 3)


@pytest.mark.parametrize("length, interval", [(0, 32), (510, 32), (511, 64), (1023, 64), (1024, 128)])
def test_interval_follows_length(caplog, length, interval):
    with caplog.at_level(TRACE, logger="vexlora"):
        mess_ratio("a" * length, debug=True)
    assert (
        caplog.records[0]
        .getMessage()
        .startswith(f"Mess-detector extended-analysis start. intermediary_mean_mess_ratio_calc={interval} ")
    )


@pytest.mark.parametrize("length, interval", [(510, 32), (511, 64), (1024, 128)])
def test_zero_threshold_stops_at_first_checkpoint(length, interval):
    # The noise sits just past the first checkpoint, so it is never read.
    text = "a" * interval + "\x00" * (length - interval)
    assert mess_ratio(text, 0.0) == 0.0
    assert mess_ratio(text, math.inf) > 1.0


def test_ascii_text_feeds_only_three_plugins(caplog):
    # Alternating case inside words: the archaic plugin only sees it once the
    # text holds a non-ASCII character, and even then only in runs holding one.
    words = "xÝxÝxÝ aBaBaB " * 8
    with caplog.at_level(TRACE, logger="vexlora"):
        mess_ratio(words.replace("Ý", "Y"), math.inf, True)
        mess_ratio(words, math.inf, True)
    ratios = [r.getMessage() for r in caplog.records if "ArchaicUpperLowerPlugin" in r.getMessage()]
    assert ratios[0].endswith(": 0.0") and not ratios[1].endswith(": 0.0")


# --- debug trace ---------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "text, threshold, edges",
    [
        ("short text", 0.2, False),
        ("x" * 16, 0.2, False),
        ("0123456789abcdefXYZ" + "é" * 20 + "ghijklmnopqrstuvw", 0.2, True),
        ("\x00" * 300, 0.2, True),  # early stop still traces
    ],
)
def test_trace_records(caplog, text, threshold, edges):
    with caplog.at_level(TRACE, logger="vexlora"):
        result = mess_ratio(text, threshold, debug=True)
    records = caplog.records
    assert all(r.name == "vexlora" and r.levelno == TRACE for r in records)
    messages = [r.getMessage() for r in records]
    first = messages.pop(0)
    assert first.startswith("Mess-detector extended-analysis start. intermediary_mean_mess_ratio_calc=32 ")
    mean = float(first.split(" mean_mess_ratio=")[1].split(" ")[0])
    assert round(mean, 3) == result
    assert first.endswith(f" maximum_threshold={threshold}")
    if edges:
        assert messages.pop(0) == "Starting with: " + text[:16]
        assert messages.pop(0) == "Ending with: " + text[-16:]
    assert [m.split(": ")[0] for m in messages] == [str(cls) for cls in PLUGINS]
    assert all(float(m.split(": ")[1]) >= 0.0 for m in messages)


def test_no_trace_without_debug(caplog):
    with caplog.at_level(TRACE, logger="vexlora"):
        mess_ratio("some text")
    assert caplog.records == []


def test_trace_failure_propagates(monkeypatch):
    monkeypatch.setattr(murkel, "TRACE", "not a level")
    logging.getLogger("vexlora").setLevel(TRACE)
    try:
        with pytest.raises(TypeError):
            mess_ratio("abc", debug=True)
    finally:
        logging.getLogger("vexlora").setLevel(logging.NOTSET)


# --- arguments -----------------------------------------------------------------------------------


def test_function_metadata():
    assert mess_ratio.__defaults__ == (0.2, False)
    assert mess_ratio.__doc__ == "Compute the mess ratio for a decoded string, with checkpoint early stop."
    assert mess_ratio.__module__ == "vexlora.murkel" and mess_ratio.__name__ == "mess_ratio"


def test_keywords_and_conversions():
    text = "abc\x00"
    assert mess_ratio(decoded_sequence=text, maximum_threshold=0, debug=0) == 2.0
    assert mess_ratio(text, 100) == 1.6  # an int threshold converts


class Str(str):
    pass


@pytest.mark.parametrize(
    "args, kwargs, error, message",
    [
        ((), {}, TypeError, "mess_ratio() takes at least 1 positional argument (0 given)"),
        (("a", 0.2, False, 1), {}, TypeError, "mess_ratio() takes at most 3 positional arguments (4 given)"),
        ((None,), {}, TypeError, "object of type 'NoneType' has no len()"),
        ((b"abc",), {}, TypeError, "Argument 'decoded_sequence' has incorrect type (expected str, got bytes)"),
        ((Str("abc"),), {}, TypeError, "Argument 'decoded_sequence' has incorrect type (expected str, got Str)"),
        (("abc",), {"threshold": 1}, TypeError, "mess_ratio() got an unexpected keyword argument 'threshold'"),
        (("abc", "high"), {}, TypeError, None),
    ],
)
def test_argument_errors(args, kwargs, error, message):
    with pytest.raises(error) as info:
        mess_ratio(*args, **kwargs)
    if message is not None:
        assert str(info.value) == message


# --- the native entry ----------------------------------------------------------------------------


class OptionalArgs(ctypes.Structure):
    _fields_ = [("count", ctypes.c_int32), ("maximum_threshold", ctypes.c_double), ("debug", ctypes.c_int32)]


def native_mess_ratio():
    capsule = murkel.__pyx_capi__["mess_ratio"]
    get_name = ctypes.pythonapi.PyCapsule_GetName
    get_name.restype, get_name.argtypes = ctypes.c_char_p, [ctypes.py_object]
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype, get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    address = get_pointer(capsule, get_name(capsule))
    prototype = ctypes.PYFUNCTYPE(ctypes.c_double, ctypes.py_object, ctypes.c_int, ctypes.POINTER(OptionalArgs))
    return prototype(address)


@pytest.mark.parametrize(
    "optional, expected",
    [
        (None, 0.235),  # defaults: threshold 0.2
        (OptionalArgs(0, 0.0, 0), 0.235),  # count 0: defaults too
        (OptionalArgs(1, 0.0, 1), 0.0),  # threshold only; debug ignored
        (OptionalArgs(2, 100.0, 0), 0.229),
    ],
)
def test_native_optional_arguments(optional, expected):
    fn = native_mess_ratio()
    pointer = ctypes.pointer(optional) if optional is not None else None
    assert fn("a" * 33 + "\x00", 0, pointer) == expected


@pytest.mark.parametrize("value, error", [(None, TypeError), (b"abc", TypeError), (Str("a" * 33 + "\x00"), None)])
def test_native_string_argument(value, error):
    fn = native_mess_ratio()
    if error is None:
        assert fn(value, 0, None) == 0.235  # any str is readable natively
    else:
        with pytest.raises(error):
            fn(value, 0, None)


# --- rebound or foreign tables -------------------------------------------------------------------


@pytest.mark.parametrize(
    "table, error, message",
    [
        ((), TypeError, "Expected list, got tuple"),
        (None, TypeError, "'NoneType' object is not subscriptable"),
        ("short", ValueError, "_ASCII_CHAR_INFO must hold 128 CharInfo records, got a list of 127"),
        ("foreign", TypeError, "_ASCII_CHAR_INFO[65] must be a CharInfo, got int"),
    ],
)
@pytest.mark.parametrize("text", ["", "abc", "ébc"])
def test_rebound_ascii_table_is_refused(monkeypatch, table, error, message, text):
    if table == "short":
        table = murkel._ASCII_CHAR_INFO[:127]
    elif table == "foreign":
        table = list(murkel._ASCII_CHAR_INFO)
        table[65] = 65
    monkeypatch.setattr(murkel, "_ASCII_CHAR_INFO", table)
    with pytest.raises(error) as info:
        mess_ratio(text)
    assert str(info.value) == message


def test_ascii_table_none_is_not_read_before_an_early_stop(monkeypatch):
    monkeypatch.setattr(murkel, "_ASCII_CHAR_INFO", None)
    assert mess_ratio("é" * 40, 0.0) > 0.0  # no ASCII character before the stop


def test_longer_ascii_table_is_accepted(monkeypatch):
    monkeypatch.setattr(murkel, "_ASCII_CHAR_INFO", list(murkel._ASCII_CHAR_INFO) + [None])
    assert mess_ratio("abc\x00", 0.0) == 2.0


def test_foreign_page_is_refused_not_read(monkeypatch):
    pages = [None] * 4352
    pages[0] = [1] * 256
    monkeypatch.setattr(murkel, "_CHAR_INFO_PAGES", pages)
    with pytest.raises(TypeError, match="_CHAR_INFO_PAGES"):
        mess_ratio("é")


def test_rebinding_the_page_table_takes_effect_between_and_during_calls(monkeypatch):
    mess_ratio("éжé", math.inf)  # both records cached in the current table
    fresh = [None] * 4352
    monkeypatch.setattr(murkel, "_CHAR_INFO_PAGES", fresh)
    mess_ratio("ж", math.inf)
    assert fresh[4] is not None and fresh[0] is None

    # Rebound from Python code running inside the walk (the pair judge),
    # while the old table's records are dropped: the next record must come
    # from the new table, and the record in use must stay alive.
    newer = [None] * 4352

    def judge(a, b):
        for i in range(len(fresh)):
            fresh[i] = None
        murkel._CHAR_INFO_PAGES = newer
        return False

    monkeypatch.setattr(murkel, "is_suspiciously_successive_range", judge)
    mess_ratio("жéè", math.inf)
    assert newer[0] is not None and newer[0][0xE8] is not None


def test_failing_plugin_update_propagates(monkeypatch):
    def judge(a, b):
        raise LookupError("no such block")

    monkeypatch.setattr(murkel, "is_suspiciously_successive_range", judge)
    with pytest.raises(LookupError, match="no such block"):
        mess_ratio("aжb", math.inf)


def test_records_are_not_leaked():
    record = murkel._char_info("ж")
    ascii_record = murkel._ASCII_CHAR_INFO[97]
    text = "жaж a" * 100
    mess_ratio(text)
    before = sys.getrefcount(record), sys.getrefcount(ascii_record)
    for _ in range(50):
        mess_ratio(text)
        mess_ratio(text, 0.0)
    assert (sys.getrefcount(record), sys.getrefcount(ascii_record)) == before
