"""Build the sample payloads bundled for `python -m vexlora`.

Each payload is the first held-out sample of a language (GTK/GLib translated
messages, LGPL; see tools/DATA_SOURCES.md), encoded with a code page that
carries the language. File names say the truth: <language>.<codec>.txt.
Characters the code page cannot carry are dropped.

    python3 tools/make_samples.py
"""

from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
HELDOUT = ROOT / "tests" / "data" / "heldout"
OUT = ROOT / "src" / "vexlora" / "samples"

# (language, codec, which of the held-out samples). Hebrew uses its third
# sample: the first two carry a right-to-left mark, which the unprintable
# detector counts as noise (see "Known limits" in the README).
SAMPLES = [
    ("english", "utf_8", 0),
    ("french", "cp1252", 0),
    ("german", "utf_8", 0),
    ("polish", "iso8859_2", 0),
    ("turkish", "cp1254", 0),
    ("russian", "cp1251", 0),
    ("ukrainian", "koi8_u", 0),
    ("greek", "cp1253", 0),
    ("hebrew", "cp1255", 2),
    ("arabic", "cp1256", 0),
    ("thai", "cp874", 0),
    ("japanese", "shift_jis", 0),
    ("chinese", "gb18030", 0),
    ("korean", "euc_kr", 0),
]
LENGTH = 700  # characters taken from the sample


def main() -> None:
    OUT.mkdir(exist_ok=True)
    for old in OUT.glob("*.txt"):
        old.unlink()
    for language, codec, index in SAMPLES:
        text = (HELDOUT / f"{language}.txt").read_text(encoding="utf-8").split("\n\n")[index][:LENGTH]
        payload = text.encode(codec, errors="ignore")
        (OUT / f"{language}.{codec}.txt").write_bytes(payload)
        print(f"{language:<10} {codec:<10} {len(payload):5} bytes")


if __name__ == "__main__":
    main()
