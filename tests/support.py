"""Helpers shared by the tests.

Plain-Python restatements of the native drivers (built from the modules'
public pieces) that several test files compare against: `mess_ratio_restated`,
`split_restated`, `coherence_restated`, with `PLUGINS`, `feed`, `record`,
`Judge` and `popular`.

Fresh interpreters with a controlled host package:

`run_python` runs a snippet in a new interpreter (the one running the tests).
Before the snippet runs, the host modules `vexlora.constant` and
`vexlora.utils` can be adjusted: `constant`/`utils` are source text executed
inside the real module's namespace (to rebind or delete names), and
`fake_constant`/`fake_utils` replace a module wholesale with a module built
from the given source. The native modules are imported by the snippet itself,
so they see the adjusted host.
"""

from __future__ import annotations

import subprocess
import sys
import textwrap
from collections import Counter
from operator import itemgetter

import vexlora.murkel as murkel
import vexlora.tessaly as tessaly
from vexlora.constant import TOO_SMALL_SEQUENCE

_PRELUDE = """
import sys, types
def _install(name, source, patch):
    if source is not None:
        module = types.ModuleType(name)
        module.__file__ = "<fake " + name + ">"
        sys.modules[name] = module
        exec(compile(source, module.__file__, "exec"), module.__dict__)
    elif patch:
        import importlib
        module = importlib.import_module(name)
        exec(compile(patch, "<patch " + name + ">", "exec"), module.__dict__)
"""


def run_python(
    code: str,
    *,
    constant: str = "",
    utils: str = "",
    fake_constant: str | None = None,
    fake_utils: str | None = None,
    timeout: float = 120,
) -> subprocess.CompletedProcess:
    """Run `code` in a fresh interpreter after adjusting the host modules."""
    script = "\n".join(
        [
            _PRELUDE,
            f"_install('vexlora.constant', {fake_constant!r}, {textwrap.dedent(constant)!r})",
            f"_install('vexlora.utils', {fake_utils!r}, {textwrap.dedent(utils)!r})",
            "del _install, types",
            textwrap.dedent(code),
        ]
    )
    return subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=timeout)


def check_python(code: str, **kwargs) -> str:
    """Like run_python, but fail the test unless the snippet exits cleanly; returns its stdout."""
    result = run_python(code, **kwargs)
    assert result.returncode == 0, f"exit {result.returncode}\nstdout:\n{result.stdout}\nstderr:\n{result.stderr}"
    return result.stdout


def import_outcome(module: str, code: str = "", **kwargs) -> str:
    """Import `module` in a fresh interpreter (after `code` and the host
    adjustments); return "imported" or "<ExceptionName>: <message>"."""
    result = run_python(
        code
        + f"""
try:
    import {module}
except BaseException as e:
    print(type(e).__name__ + ": " + str(e))
else:
    print("imported")
""",
        **kwargs,
    )
    assert result.returncode == 0, result.stderr
    return result.stdout.strip()


# --- restatements --------------------------------------------------------------------------------------------

# The ten plugin classes, in the order mess_ratio runs them.
PLUGINS = [
    murkel.TooManySymbolOrPunctuationPlugin,
    murkel.TooManyAccentuatedPlugin,
    murkel.UnprintablePlugin,
    murkel.SuspiciousDuplicateAccentPlugin,
    murkel.SuspiciousRange,
    murkel.SuperWeirdWordPlugin,
    murkel.CjkUncommonPlugin,
    murkel.SuspiciousKatakanaPlugin,
    murkel.ArchaicUpperLowerPlugin,
    murkel.ArabicIsolatedFormPlugin,
]


def feed(plugin, text):
    """Feed each character of `text` with its record; returns the plugin."""
    for ch in text:
        plugin.feed_info(ch, murkel._char_info(ch))
    return plugin


def mess_ratio_restated(text, maximum_threshold=0.2):
    """The driver restated in Python, through the plugins' public interface."""
    symbol, accent, unprintable, duplicate, suspicious, weird, cjk, katakana, archaic, arabic = (
        cls() for cls in PLUGINS
    )
    ascii_only = text.isascii()
    table = murkel._ASCII_CHAR_INFO
    interval = 32 if len(text) < 511 else 64 if len(text) < 1024 else 128

    def mean():
        total = 0.0
        for plugin in (symbol, accent, unprintable, duplicate, suspicious, weird, cjk, archaic, katakana, arabic):
            total += plugin.ratio
        return total

    value = 0.0
    for start in range(0, len(text), interval):
        for ch in text[start : start + interval]:
            info = table[ord(ch)] if ord(ch) < 128 else murkel._char_info(ch)
            unprintable.feed_info(ch, info)
            weird.feed_info(ch, info)
            if ascii_only:
                if info.printable:
                    symbol.feed_info(ch, info)
                continue
            archaic.feed_info(ch, info)
            if info.printable:
                symbol.feed_info(ch, info)
                suspicious.feed_info(ch, info)
            if info.alpha:
                accent.feed_info(ch, info)
                if info.latin:
                    duplicate.feed_info(ch, info)
                if info.is_cjk:
                    cjk.feed_info(ch, info)
                if info.is_cjk or info.is_katakana:
                    katakana.feed_info(ch, info)
                if info.is_arabic:
                    arabic.feed_info(ch, info)
        value = mean()
        if value >= maximum_threshold:
            return round(value, 3)
    weird.feed_info("\n", table[10])
    if not ascii_only:
        archaic.feed_info("\n", table[10])
    unprintable.feed_info("\n", table[10])
    return round(mean(), 3)


def record(ch):
    """The record the native code reads for `ch`: the ASCII table, else the cache."""
    return murkel._ASCII_CHAR_INFO[ord(ch)] if ord(ch) < 128 else murkel._char_info(ch)


def split_restated(text, judge, lookup=record):
    """The split restated in Python over the same records and judge."""
    layers = {}
    previous_range = previous_layer = None
    for ch in text:
        info = lookup(ch)
        if not info.alpha or info.range is None:
            continue
        if previous_layer is not None and info.range == previous_range:
            previous_layer.append(info.character)
            continue
        key = next((k for k in layers if not judge(k, info.range)), info.range)
        previous_layer = layers.setdefault(key, [])
        previous_layer.append(info.character)
        previous_range = info.range
    return ["".join(layer).lower() for layer in layers.values()]


class Judge:
    """Stand-in for is_suspiciously_successive_range that records its calls."""

    def __init__(self, suspicious=()):
        self.suspicious = set(suspicious)
        self.calls = []

    def __call__(self, a, b):
        self.calls.append((a, b))
        return (a, b) in self.suspicious


def popular(layer):
    """Distinct characters by descending count, ties in order of first appearance."""
    return [c for c, _ in sorted(Counter(layer).items(), key=lambda item: -item[1])]


def coherence_restated(text, threshold=0.1, lg_inclusion=None):
    """Plain restatement built from the module's public pieces."""
    names = lg_inclusion.split(",") if lg_inclusion is not None else []
    ignore_non_latin = "Latin Based" in names
    if ignore_non_latin:
        names.remove("Latin Based")
    results, sufficient = [], 0
    for layer in tessaly.alpha_unicode_split(text):
        if len(layer) <= TOO_SMALL_SEQUENCE:
            continue
        ordered = popular(layer)
        for language in names or tessaly.alphabet_languages(ordered, ignore_non_latin):
            ratio = tessaly.characters_popularity_compare(language, ordered)
            if ratio < threshold:
                continue
            sufficient += ratio >= 0.8
            results.append((language, round(ratio, 4)))
            if sufficient >= 3:
                break
    return sorted(tessaly.filter_alt_coherence_matches(results), key=itemgetter(1), reverse=True)
