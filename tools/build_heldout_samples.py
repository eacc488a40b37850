"""Assemble the held-out text samples under tests/data/heldout*/.

The samples are translated messages of free software message catalogues, a
source independent of the data the profiles are generated from.  English
uses the catalogues' original (untranslated) messages.  Two sets are built
from unrelated programs, so that the profiles can be tuned on one and checked
on the other:

* heldout: GTK 2 and GLib (Debian packages libgtk2.0-common and
  libglib2.0-data, LGPL), read from /usr/share/locale;
* heldout2: the GNOME file manager, text editor and document viewer (Debian
  packages nautilus-data, gedit-common and evince-common, GPL), read from
  the packages unpacked with dpkg-deb under the directory given.

    python tools/build_heldout_samples.py [--set heldout] [--locale-dir /usr/share/locale]
    python tools/build_heldout_samples.py --set heldout2 --locale-dir DEBS/nautilus-data/usr/share/locale \
        --locale-dir DEBS/gedit-common/usr/share/locale --locale-dir DEBS/evince-common/usr/share/locale

Each file holds SAMPLES samples separated by a blank line.  Only messages
written entirely in the language's script are used, so a sample has no
stray identifiers of another script.
"""

from __future__ import annotations

import argparse
import gettext
import itertools
import pathlib
import re
import sys
import unicodedata

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from gen_language_data import LANGUAGES, SCRIPTS  # noqa: E402

REPO = pathlib.Path(__file__).resolve().parent.parent
# Catalogue files of each set, read from every locale directory given.
CATALOGUES = {
    "heldout": ("gtk20.mo", "gtk20-properties.mo", "glib20.mo"),
    "heldout2": ("nautilus.mo", "gedit.mo", "evince.mo"),
}
SAMPLES = 3
# Characters per sample; scripts stored in three UTF-8 bytes get shorter
# samples to keep each file at a few kilobytes.
SAMPLE_CHARS = 1000
SAMPLE_CHARS_WIDE = 700

LOCALES = {
    "English": "de",  # original messages of the German catalogue
    "German": "de",
    "French": "fr",
    "Dutch": "nl",
    "Italian": "it",
    "Polish": "pl",
    "Spanish": "es",
    "Russian": "ru",
    "Japanese": "ja",
    "Portuguese": "pt",
    "Swedish": "sv",
    "Chinese": "zh_CN",
    "Ukrainian": "uk",
    "Norwegian": "nb",
    "Finnish": "fi",
    "Vietnamese": "vi",
    "Czech": "cs",
    "Hungarian": "hu",
    "Korean": "ko",
    "Indonesian": "id",
    "Turkish": "tr",
    "Romanian": "ro",
    "Persian": "fa",
    "Arabic": "ar",
    "Danish": "da",
    "Serbian": "sr",
    "Lithuanian": "lt",
    "Slovene": "sl",
    "Slovak": "sk",
    "Hebrew": "he",
    "Bulgarian": "bg",
    "Croatian": "hr",
    "Hindi": "hi",
    "Estonian": "et",
    "Thai": "th",
    "Greek": "el",
    "Tamil": "ta",
    "Catalan": "ca",
    "Latvian": "lv",
    "Macedonian": "mk",
    "Bengali": "bn",
}

_NOISE = re.compile(
    r"%(\d+\$)?[-+ #0']*\d*(\.\d+)?(hh|h|ll|l|L|z|j|t|I64|I32|"
    r"G_GU?INT64_FORMAT)?[diouxXeEfFgGaAcspn%]"
    r"|<[^>]*>|\{[^}]*\}|&[a-zA-Z]+;|\S+://\S+|[_&](?=\w)|\\[nt]"
)


def clean(message: str) -> str:
    message = _NOISE.sub(" ", message)
    return " ".join(message.split())


def messages(locale_dirs: list[pathlib.Path], catalogues: tuple[str, ...], locale: str, original: bool) -> list[str]:
    found: dict[str, str] = {}
    for locale_dir, name in itertools.product(locale_dirs, catalogues):
        path = locale_dir / locale / "LC_MESSAGES" / name
        if not path.exists():
            continue
        with path.open("rb") as handle:
            catalog = gettext.GNUTranslations(handle)._catalog  # noqa: SLF001
        for key, value in catalog.items():
            if isinstance(key, tuple):  # plural forms: keep the first one
                if key[1] != 0:
                    continue
                key = key[0]
            if not key or value == key:
                continue
            found.setdefault(key, key if original else value)
    return [found[key] for key in sorted(found)]


def build(language: str, script: str, locale_dirs: list[pathlib.Path], catalogues: tuple[str, ...]) -> str:
    in_script = SCRIPTS[script]
    candidates = []
    for message in messages(locale_dirs, catalogues, LOCALES[language], original=language == "English"):
        text = clean(message)
        letters = [ch for ch in text if ch.isalpha()]
        if len(letters) < 12 or not all(in_script(ch) for ch in letters):
            continue
        # Mostly words, not quotes, symbols and numbers.
        wordish = sum(ch.isalpha() or unicodedata.category(ch).startswith("M") for ch in text)
        if wordish < 0.8 * len(text.replace(" ", "")):
            continue
        candidates.append(text)
    wide = len("".join(candidates[:50]).encode()) > 2.2 * len("".join(candidates[:50]))
    limit = SAMPLE_CHARS_WIDE if wide else SAMPLE_CHARS
    samples: list[list[str]] = [[] for _ in range(SAMPLES)]
    sizes = [0] * SAMPLES
    # Deal the messages round-robin so each sample mixes the catalogues.
    for index, text in enumerate(candidates):
        slot = index % SAMPLES
        if sizes[slot] >= limit:
            if all(size >= limit for size in sizes):
                break
            continue
        samples[slot].append(text)
        sizes[slot] += len(text) + 1
    if min(sizes) < limit * 0.6:
        print(f"warning: {language}: short samples {sizes}", file=sys.stderr)
    return "\n\n".join(" ".join(sample) for sample in samples) + "\n"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--set", choices=sorted(CATALOGUES), default="heldout", help="which sample set to build")
    parser.add_argument(
        "--locale-dir",
        type=pathlib.Path,
        action="append",
        help="where the catalogues are (repeatable; default /usr/share/locale)",
    )
    parser.add_argument("--output", type=pathlib.Path, help="default tests/data/<set>")
    args = parser.parse_args(argv)
    locale_dirs = args.locale_dir or [pathlib.Path("/usr/share/locale")]
    output = args.output or REPO / "tests" / "data" / args.set
    output.mkdir(parents=True, exist_ok=True)
    for language, _source, _key, script in LANGUAGES:
        text = build(language, script, locale_dirs, CATALOGUES[args.set])
        (output / f"{language.lower()}.txt").write_text(text, encoding="utf-8")
        print(f"{language:12} {len(text):5} chars {len(text.encode()):6} bytes", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
