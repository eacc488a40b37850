"""The benchmark texts: about 1 MB each of real text in several scripts.

Each text is built from the held-out sample of its language under
tests/data/heldout/ when it is there, else from a few sentences written here,
repeated until it reaches the target size. The ASCII text is the English
sample with its few non-ASCII characters dropped (mess_ratio has a faster
path for ASCII-only text). The mojibake text is UTF-8 encoded French and
Russian decoded as cp1252, as a wrong guess of the host would produce it.

short() gives the 200-character texts the host typically scores: the start
of each sample.
"""

from __future__ import annotations

from pathlib import Path

TARGET_CHARACTERS = 1_000_000
HELDOUT = Path(__file__).resolve().parent.parent / "tests" / "data" / "heldout"

FALLBACK = {
    "english": "The committee met on Tuesday to review the budget, and nobody could agree on the numbers. ",
    "french": "L'été dernier, nous sommes allés à la fête du village ; les enfants ont dansé jusqu'à l'aube. ",
    "german": "Die Straßenbahn fährt über die Brücke, während die Bäume im Frühling grün werden. ",
    "russian": "Вчера вечером мы долго гуляли по набережной и разговаривали о будущем. ",
    "greek": "Το καλοκαίρι πήγαμε στο νησί και κολυμπήσαμε στη θάλασσα κάθε πρωί. ",
    "chinese": "我们昨天在公园里散步，天气很好，孩子们玩得非常开心。",
    "japanese": "昨日は雨が降っていたので、家で本を読んだり映画を見たりしました。",
    "arabic": "ذهبنا إلى السوق في الصباح واشترينا الخبز والفاكهة من البائع القريب. ",
    "thai": "เมื่อวานนี้เราไปเดินเล่นที่สวนสาธารณะ อากาศดีมาก และเด็ก ๆ สนุกกันมาก ",
}

LANGUAGES = ("english", "french", "german", "russian", "greek", "chinese", "japanese", "arabic", "thai")
SHORT_CHARACTERS = 200


def sample(language: str) -> str:
    path = HELDOUT / f"{language}.txt"
    if path.is_file():
        text = " ".join(path.read_text(encoding="utf-8").split())
        if text:
            return text + " "
    return FALLBACK[language]


def repeat_to(text: str, size: int = TARGET_CHARACTERS) -> str:
    return (text * (size // len(text) + 1))[:size]


def build(size: int = TARGET_CHARACTERS) -> dict[str, str]:
    """Name -> text of about `size` characters, in a fixed order."""
    texts = {language: repeat_to(sample(language), size) for language in LANGUAGES}
    texts["ascii"] = repeat_to(sample("english").encode("ascii", "ignore").decode("ascii"), size)
    mixed = sample("french") + sample("russian")
    texts["mojibake"] = repeat_to(mixed.encode("utf-8").decode("cp1252", errors="replace"), size)
    return texts


def short(size: int = SHORT_CHARACTERS) -> dict[str, str]:
    """Language -> the first `size` characters of its sample."""
    return {language: repeat_to(sample(language), size) for language in LANGUAGES}
