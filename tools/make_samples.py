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

SAMPLES = [
    ("english", "utf_8"), ("french", "cp1252"), ("german", "utf_8"), ("polish", "iso8859_2"),
    ("turkish", "cp1254"), ("russian", "cp1251"), ("ukrainian", "koi8_u"), ("greek", "cp1253"),
    ("hebrew", "cp1255"), ("arabic", "cp1256"), ("thai", "cp874"), ("japanese", "shift_jis"),
    ("chinese", "gb18030"), ("korean", "euc_kr"),
]
LENGTH = 700  # characters taken from the sample


def main() -> None:
    OUT.mkdir(exist_ok=True)
    for old in OUT.glob("*.txt"):
        old.unlink()
    for language, codec in SAMPLES:
        text = (HELDOUT / f"{language}.txt").read_text(encoding="utf-8").split("\n\n")[0][:LENGTH]
        payload = text.encode(codec, errors="ignore")
        (OUT / f"{language}.{codec}.txt").write_bytes(payload)
        print(f"{language:<10} {codec:<10} {len(payload):5} bytes")


if __name__ == "__main__":
    main()
