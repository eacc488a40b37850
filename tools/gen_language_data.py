"""Generate src/vexlora/_language_data.py from real text statistics.

Usage (after tools/fetch_language_sources.sh has filled CACHE_DIR):

    python tools/gen_language_data.py --sources CACHE_DIR

Letter frequencies come from word-frequency lists (frequency of a word times
the number of times a letter occurs in it) or, for languages those lists lack,
from running text shipped in Debian packages.  See tools/DATA_SOURCES.md.
"""

from __future__ import annotations

import argparse
import gzip
import html
import itertools
import pathlib
import re
import sys
import unicodedata
from collections import Counter
from collections.abc import Callable, Iterable, Iterator

import msgpack

REPO = pathlib.Path(__file__).resolve().parent.parent
DEFAULT_OUTPUT = REPO / "src" / "vexlora" / "_language_data.py"

PROFILE_LIMIT = 255
# Alphabetic profiles keep the letters a typical text actually shows.  A
# language is picked as a candidate by the share of its profile that a text
# contains, so a rare letter in a profile only lowers that share for its own
# language's texts (French œ, Portuguese õ and Polish ź are absent from most
# paragraphs) while the small, rare-letter-free profiles of its neighbours
# keep theirs.  A letter with a share of 0.15 % turns up in a text of about
# 460 letters (a short paragraph) more often than not; rarer letters are cut.
LETTER_CUT = 0.0015
# The popularity comparison judges a profile of 26 characters or fewer by a
# stricter rule than a longer one, so an alphabetic profile that the cut
# leaves shorter than this is topped up with the language's next most
# frequent letters: every alphabetic language is then scored the same way,
# and a 26-letter language cannot lose to a neighbour on the rule alone.
MIN_ALPHABET = 27
# Below this share a letter is a stray from loanwords, names or noise rather
# than part of how the language is written; the top-up never takes one.
STRAY_SHARE = 1e-4

# Size of the common CJK set: the most frequent Han characters of Chinese,
# their traditional forms, and the most frequent kanji of Japanese.
CJK_CHINESE_TOP = 3300
CJK_TRADITIONAL_OF_TOP = 2500
CJK_JAPANESE_TOP = 2500


# --------------------------------------------------------------------------
# Scripts


def _name(ch: str) -> str:
    try:
        return unicodedata.name(ch)
    except ValueError:
        return ""


def _script_by_name(prefix: str) -> Callable[[str], bool]:
    return lambda ch: _name(ch).startswith(prefix)


def is_han(ch: str) -> bool:
    return _name(ch).startswith(("CJK UNIFIED IDEOGRAPH", "CJK COMPATIBILITY IDEOGRAPH"))


def is_japanese(ch: str) -> bool:
    o = ord(ch)
    return (
        is_han(ch)
        or 0x3040 <= o <= 0x30FF  # hiragana, katakana, prolonged sound mark
        or ch == "\u3005"  # ideographic iteration mark
    )


SCRIPTS: dict[str, Callable[[str], bool]] = {
    "latin": _script_by_name("LATIN "),
    "cyrillic": _script_by_name("CYRILLIC "),
    "greek": _script_by_name("GREEK "),
    "arabic": _script_by_name("ARABIC LETTER"),
    "hebrew": _script_by_name("HEBREW LETTER"),
    "devanagari": _script_by_name("DEVANAGARI "),
    "bengali": _script_by_name("BENGALI "),
    "tamil": _script_by_name("TAMIL "),
    "thai": _script_by_name("THAI "),
    "hangul": _script_by_name("HANGUL SYLLABLE"),
    "han": is_han,
    "japanese": is_japanese,
}


# --------------------------------------------------------------------------
# Languages
#
# name -> (source, source key, script).  The order is the order of the
# generated FREQUENCIES, which fixes the language indices used by tessaly.

LANGUAGES: list[tuple[str, str, str, str]] = [
    ("English", "wordfreq", "en", "latin"),
    ("German", "wordfreq", "de", "latin"),
    ("French", "wordfreq", "fr", "latin"),
    ("Dutch", "wordfreq", "nl", "latin"),
    ("Italian", "wordfreq", "it", "latin"),
    ("Polish", "wordfreq", "pl", "latin"),
    ("Spanish", "wordfreq", "es", "latin"),
    ("Russian", "wordfreq", "ru", "cyrillic"),
    ("Japanese", "wordfreq", "ja", "japanese"),
    ("Portuguese", "wordfreq", "pt", "latin"),
    ("Swedish", "wordfreq", "sv", "latin"),
    ("Chinese", "wordfreq", "zh", "han"),
    ("Ukrainian", "wordfreq", "uk", "cyrillic"),
    ("Norwegian", "wordfreq", "nb", "latin"),
    ("Finnish", "wordfreq", "fi", "latin"),
    ("Vietnamese", "wordfreq", "vi", "latin"),
    ("Czech", "wordfreq", "cs", "latin"),
    ("Hungarian", "wordfreq", "hu", "latin"),
    ("Korean", "wordfreq", "ko", "hangul"),
    ("Indonesian", "wordfreq", "id", "latin"),
    ("Turkish", "wordfreq", "tr", "latin"),
    ("Romanian", "wordfreq", "ro", "latin"),
    ("Persian", "wordfreq", "fa", "arabic"),
    ("Arabic", "wordfreq", "ar", "arabic"),
    ("Danish", "wordfreq", "da", "latin"),
    ("Serbian", "wordfreq-sr-cyrl", "sh", "cyrillic"),
    ("Lithuanian", "wordfreq", "lt", "latin"),
    ("Slovene", "wordfreq", "sl", "latin"),
    ("Slovak", "wordfreq", "sk", "latin"),
    ("Hebrew", "wordfreq", "he", "hebrew"),
    ("Bulgarian", "wordfreq", "bg", "cyrillic"),
    ("Croatian", "wordfreq", "sh", "latin"),
    ("Hindi", "wordfreq", "hi", "devanagari"),
    ("Estonian", "libreoffice-help", "libreoffice-help-et", "latin"),
    ("Thai", "libreoffice-l10n", "libreoffice-l10n-th", "thai"),
    ("Greek", "wordfreq", "el", "greek"),
    ("Tamil", "wordfreq", "ta", "tamil"),
    ("Catalan", "wordfreq", "ca", "latin"),
    ("Latvian", "wordfreq", "lv", "latin"),
    ("Macedonian", "wordfreq", "mk", "cyrillic"),
    ("Bengali", "wordfreq", "bn", "bengali"),
]

# Letters kept whatever their share.  English has only 26 letters, so the
# top-up needs a 27th, and é is the one accented letter English text keeps
# meeting (café, résumé, cliché, names).  It also keeps a single é from ruling
# English out of a text: a text with an accented letter only fits profiles
# that have one.
ALWAYS_KEEP: dict[str, str] = {
    "English": "é",
}

# Letters that reach the cut only through text of a neighbouring language
# mixed into the source (Russian words in Ukrainian data, for instance) and
# would blur the difference between the two.  Russian ъ is genuine but rare
# (about 0.03% of letters, a few words such as объект), while it is one of the
# commonest letters of Bulgarian: listing it for Russian would let Russian
# match Bulgarian text as well as Bulgarian does.
NEVER_KEEP: dict[str, str] = {
    "Ukrainian": "ыэёъ",
    "Russian": "іїєґўъ",
    "Bulgarian": "ыэё",
}

# Romanian is written with comma-below ș and ț, but the legacy single-byte
# code pages carry only the cedilla forms ş and ţ, so text decoded from them
# uses those.  They get a share of the frequency of their modern twin.
LEGACY_TWINS: dict[str, dict[str, tuple[str, float]]] = {
    "Romanian": {"ş": ("ș", 0.3), "ţ": ("ț", 0.3)},
}


# --------------------------------------------------------------------------
# Readers


def read_wordfreq(data_dir: pathlib.Path, code: str) -> Iterator[tuple[str, float]]:
    """Yield (word, frequency) from a wordfreq list.

    The files are gzip'd msgpack: a list whose first element is a header
    ({"format": "cB", ...}) and whose element i holds the words of
    frequency 10 ** (-i / 100) (centibel buckets).
    """
    path = data_dir / f"large_{code}.msgpack.gz"
    if not path.exists():
        path = data_dir / f"small_{code}.msgpack.gz"
    with gzip.open(path) as handle:
        buckets = msgpack.unpackb(handle.read(), raw=False)
    header = buckets[0]
    if not isinstance(header, dict) or header.get("format") != "cB":
        raise ValueError(f"{path}: unexpected header {header!r}")
    for index, words in enumerate(buckets[1:], start=1):
        frequency = 10.0 ** (-index / 100.0)
        for word in words:
            yield word, frequency


_TAG = re.compile(r"<[^>]*>")
_BLOCK = re.compile(r"<(p|h[1-6]|li)\b[^>]*>(.*?)</\1>", re.S | re.I)
# Text the reader types or the program shows verbatim: identifiers, formulas
# and code, mostly English, never translated.
_VERBATIM = re.compile(
    r"<(span|code|pre)\b[^>]*class=\"(input|literal|code|bascode[^\"]*)\"[^>]*>.*?</\1>|<(code|pre)\b.*?</\3>",
    re.S | re.I,
)
_WORD = re.compile(r"[^\W\d_]+")


def read_html_text(root: pathlib.Path, foreign: set[str]) -> Iterator[tuple[str, float]]:
    """Yield the words of the prose of every HTML page under root.

    Help pages keep some paragraphs untranslated and quote identifiers, so
    verbatim spans, words written in capitals or camel case (names, function
    and menu identifiers) and paragraphs whose words are mostly found in the
    `foreign` word list are left out.
    """
    for path in sorted(root.rglob("*.html")):
        text = _VERBATIM.sub(" ", path.read_text(encoding="utf-8", errors="replace"))
        for _tag, block in _BLOCK.findall(text):
            words = [
                w for w in _WORD.findall(html.unescape(_TAG.sub(" ", block))) if not any(ch.isupper() for ch in w[1:])
            ]
            if not words:
                continue
            if sum(w.lower() in foreign for w in words) * 2 > len(words):
                continue
            for word in words:
                yield word, 1.0


def read_mo_strings(root: pathlib.Path) -> Iterator[tuple[str, float]]:
    """Yield the words of the translated strings of every .mo under root."""
    import gettext

    for path in sorted(root.rglob("*.mo")):
        with path.open("rb") as handle:
            catalog = gettext.GNUTranslations(handle)
        for key, value in catalog._catalog.items():  # noqa: SLF001
            if key == "" or value == key:
                continue
            for word in value.split():
                yield word, 1.0


# Serbian Latin to Cyrillic; the digraphs go first.
_SR_DIGRAPHS = {"lj": "љ", "nj": "њ", "dž": "џ"}
_SR_LETTERS = dict(
    zip(
        "abcčćdđefghijklmnoprsštuvzž",
        "абцчћдђефгхијклмнопрсштувзж",
    )
)
_SR_PATTERN = re.compile("lj|nj|dž|.", re.S)


def to_serbian_cyrillic(word: str) -> str | None:
    out = []
    for piece in _SR_PATTERN.findall(word):
        mapped = _SR_DIGRAPHS.get(piece) or _SR_LETTERS.get(piece)
        if mapped is None:
            if piece.isalpha():
                return None  # a letter Serbian does not write (q, w, x, y...)
            mapped = piece
        out.append(mapped)
    return "".join(out)


def load_german_spellings(sources: pathlib.Path) -> set[str]:
    path = sources / "deb" / "wngerman" / "usr" / "share" / "dict" / "ngerman"
    return {line.strip().lower() for line in path.read_text(encoding="utf-8").splitlines()}


def restore_eszett(word: str, spellings: set[str]) -> str:
    """Undo the case folding of ß into ss where the dictionary knows only ß."""
    if "ss" not in word or word in spellings:
        return word
    spots = [m.start() for m in re.finditer("ss", word)][:3]
    for choice in itertools.product((False, True), repeat=len(spots)):
        if not any(choice):
            continue
        pieces, last = [], 0
        for spot, use in zip(spots, choice):
            if use:
                pieces.append(word[last:spot])
                pieces.append("ß")
                last = spot + 2
        pieces.append(word[last:])
        candidate = "".join(pieces)
        if candidate in spellings:
            return candidate
    return word


_GREEK_FINAL_SIGMA = re.compile(r"σ(?![^\W\d_])")


def word_stream(name: str, source: str, key: str, sources: pathlib.Path) -> Iterable[tuple[str, float]]:
    wordfreq_dir = sources / "wordfreq-data"
    if source == "wordfreq":
        words: Iterable[tuple[str, float]] = read_wordfreq(wordfreq_dir, key)
    elif source == "wordfreq-sr-cyrl":
        words = (
            (cyr, f) for w, f in read_wordfreq(wordfreq_dir, key) if (cyr := to_serbian_cyrillic(w.lower())) is not None
        )
    elif source == "libreoffice-help":
        english = {w for w, f in read_wordfreq(wordfreq_dir, "en") if f >= 1e-5}
        words = read_html_text(sources / "deb" / key, english)
    elif source == "libreoffice-l10n":
        words = read_mo_strings(sources / "deb" / key)
    else:
        raise ValueError(source)

    if name == "German":
        spellings = load_german_spellings(sources)
        words = ((restore_eszett(w.lower(), spellings), f) for w, f in words)
    elif name == "Greek":
        # The lists are case folded, which turns the final sigma into σ.
        words = ((_GREEK_FINAL_SIGMA.sub("ς", w.lower()), f) for w, f in words)
    return words


# --------------------------------------------------------------------------
# Profiles


# Devanagari and Bengali letters with nukta have precomposed code points that
# normalisation never produces (they are excluded from composition), so the
# lists hold them as base letter + nukta.  Text in the wild often carries the
# precomposed form, which is then a letter of its own: count it from the
# sequences (the base letter keeps its count, as decomposed text shows it).
_NUKTA_FORMS = {
    chr(int(unicodedata.decomposition(chr(cp)).split()[0], 16)): chr(cp)
    for cp in [*range(0x0958, 0x0960), 0x09DC, 0x09DD, 0x09DF]
}
_NUKTA = {"\u093c", "\u09bc"}


def letter_frequencies(words: Iterable[tuple[str, float]], in_script: Callable[[str], bool]) -> Counter[str]:
    counts: Counter[str] = Counter()
    for word, frequency in words:
        word = word.lower()
        letters = [ch for ch in word if ch.isalpha()]
        # A word with letters of another script is a foreign word (or noise)
        # in this list; it says nothing about this language's letters.
        if not letters or not all(in_script(ch) for ch in letters):
            continue
        for ch in letters:
            if ord(ch) <= 0xFFFF:
                counts[ch] += frequency
        for ch, following in zip(word, word[1:]):
            if following in _NUKTA and ch in _NUKTA_FORMS:
                counts[_NUKTA_FORMS[ch]] += frequency
    return counts


def build_profile(name: str, script: str, counts: Counter[str]) -> str:
    total = sum(counts.values())
    if not total:
        raise ValueError(f"{name}: no letters found")
    shares = {ch: n / total for ch, n in counts.items()}
    for twin, (modern, share) in LEGACY_TWINS.get(name, {}).items():
        shares[twin] = shares.get(modern, 0.0) * share

    excluded = set(NEVER_KEEP.get(name, ""))
    keep = set(ALWAYS_KEEP.get(name, "")) | set(LEGACY_TWINS.get(name, {}))
    ranked = sorted(
        (ch for ch in shares if ch not in excluded and ch == ch.lower()),
        key=lambda ch: (-shares[ch], ch),
    )
    if script in ("han", "japanese", "hangul"):
        # Writing systems with thousands of characters: the most frequent ones.
        chosen = ranked[:PROFILE_LIMIT]
    else:
        missing = keep - set(ranked)
        if missing:
            raise ValueError(f"{name}: letters {sorted(missing)} not seen in the source")
        chosen = [ch for ch in ranked if shares[ch] >= LETTER_CUT]
        below = [ch for ch in ranked if shares[ch] < LETTER_CUT and shares[ch] >= STRAY_SHARE]
        chosen += below[: max(0, MIN_ALPHABET - len(chosen) - len(keep - set(chosen)))]
        chosen += sorted(keep - set(chosen), key=lambda ch: -shares[ch])
    if len(chosen) > PROFILE_LIMIT:
        raise ValueError(f"{name}: profile of {len(chosen)} characters")
    return "".join(chosen)


# --------------------------------------------------------------------------
# Common CJK characters


def han_ranking(counts: Counter[str]) -> list[str]:
    return [ch for ch, _ in sorted(counts.items(), key=lambda kv: (-kv[1], kv[0])) if is_han(ch)]


def load_traditional_forms(sources: pathlib.Path) -> dict[str, set[str]]:
    """Simplified character -> its traditional forms.

    wordfreq ships the table it uses to fold traditional Chinese into
    simplified (a str.translate mapping of code points); invert it.
    """
    path = sources / "wordfreq-data" / "_chinese_mapping.msgpack.gz"
    with gzip.open(path) as handle:
        mapping = msgpack.unpackb(handle.read(), raw=False, strict_map_key=False)
    inverse: dict[str, set[str]] = {}
    for traditional, simplified in mapping.items():
        trad = chr(traditional)
        if len(simplified) == 1 and is_han(trad) and ord(trad) <= 0xFFFF:
            inverse.setdefault(simplified, set()).add(trad)
    return inverse


def common_cjk(chinese: Counter[str], japanese: Counter[str], sources: pathlib.Path) -> frozenset[str]:
    zh = han_ranking(chinese)
    ja = han_ranking(japanese)
    traditional = load_traditional_forms(sources)
    common = set(zh[:CJK_CHINESE_TOP]) | set(ja[:CJK_JAPANESE_TOP])
    for ch in zh[:CJK_TRADITIONAL_OF_TOP]:
        common |= traditional.get(ch, set())
    return frozenset(ch for ch in common if ord(ch) <= 0xFFFF)


# --------------------------------------------------------------------------
# Output


def _quoted(text: str) -> str:
    if any(ch in text for ch in '"\\') or not text.isprintable():
        return repr(text)
    return f'"{text}"'


def _str_literal(text: str, indent: str, width: int = 60) -> str:
    if len(text) <= width:
        return _quoted(text)
    chunks = [text[i : i + width] for i in range(0, len(text), width)]
    inner = "\n".join(f"{indent}    {_quoted(chunk)}" for chunk in chunks)
    return f"(\n{inner}\n{indent})"


def render(profiles: dict[str, str], cjk: frozenset[str], sources_note: dict[str, str]) -> str:
    lines = [
        "# Generated by tools/gen_language_data.py; do not edit by hand.",
        "# Sources and licences: tools/DATA_SOURCES.md.",
        '"""Per-language character profiles and the set of common CJK characters.',
        "",
        "FREQUENCIES maps a language name to its letters, most frequent first, as",
        "they occur in lower-cased running text. COMMON_CJK_CHARACTERS holds the",
        "most frequent Han characters of Chinese and Japanese text.",
        '"""',
        "",
        "FREQUENCIES: dict[str, str] = {",
    ]
    for name, profile in profiles.items():
        lines.append(f"    # {sources_note[name]}, {len(profile)} characters")
        lines.append(f"    {_quoted(name)}: {_str_literal(profile, '    ')},")
    lines.append("}")
    lines.append("")
    ordered = "".join(sorted(cjk))
    lines.append(f"# {len(cjk)} characters, in code point order.")
    lines.append(f"COMMON_CJK_CHARACTERS: frozenset[str] = frozenset({_str_literal(ordered, '')})")
    lines.append("")
    return "\n".join(lines)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--sources", type=pathlib.Path, required=True, help="directory filled by fetch_language_sources.sh"
    )
    parser.add_argument("--output", type=pathlib.Path, default=DEFAULT_OUTPUT)
    args = parser.parse_args(argv)

    profiles: dict[str, str] = {}
    notes: dict[str, str] = {}
    raw: dict[str, Counter[str]] = {}
    for name, source, key, script in LANGUAGES:
        counts = letter_frequencies(word_stream(name, source, key, args.sources), SCRIPTS[script])
        raw[name] = counts
        profiles[name] = build_profile(name, script, counts)
        notes[name] = f"{source}:{key}"
        print(f"{name:12} {len(profiles[name]):3}  {profiles[name][:60]}", file=sys.stderr)

    cjk = common_cjk(raw["Chinese"], raw["Japanese"], args.sources)
    print(f"COMMON_CJK_CHARACTERS: {len(cjk)}", file=sys.stderr)
    args.output.write_text(render(profiles, cjk, notes), encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
