"""The codecs the detector tries, their standard labels and cheap byte tests.

Every codec here is a standard-library text codec that real files use. The
single-byte code pages are described by the bytes they leave undefined: a
payload holding one of them cannot be in that code page, which a
``bytes.translate`` call finds at C speed, chunk by chunk.
"""

from __future__ import annotations

from dataclasses import dataclass
from functools import cache

__all__ = ["Codec", "CODECS", "BY_NAME", "SINGLE_BYTE", "MULTI_BYTE", "label"]


@dataclass(frozen=True, slots=True)
class Codec:
    encoding: str  # Python codec name
    name: str  # standard label
    family: str  # "utf", "windows", "iso", "dos", "mac", "koi8", "cjk", "other"
    prior: float  # how common the code page is: a tie-breaker only
    single_byte: bool

    @property
    def undefined(self) -> bytes:
        """The bytes this single-byte code page does not define (empty for the others)."""
        return _undefined_bytes(self.encoding) if self.single_byte else b""

    @property
    def defined(self) -> bytes:
        """The bytes this single-byte code page decodes (all 256 for the others)."""
        return _defined_bytes(self.encoding) if self.single_byte else bytes(range(256))


# Priors order the families Windows > ISO > DOS > Mac, the way files met today
# are written; within a family the pages used most come first.
_FAMILY_PRIOR = {
    "utf": 1.0,
    "windows": 0.8,
    "iso": 0.6,
    "koi8": 0.55,
    "cjk": 0.55,
    "dos": 0.4,
    "mac": 0.2,
    "other": 0.1,
}

_TABLE: tuple[tuple[str, str, str], ...] = (
    # Python codec, standard label, family
    ("ascii", "US-ASCII", "utf"),
    ("utf_8", "UTF-8", "utf"),
    ("utf_8_sig", "UTF-8", "utf"),
    ("utf_16", "UTF-16", "utf"),
    ("utf_16_le", "UTF-16LE", "utf"),
    ("utf_16_be", "UTF-16BE", "utf"),
    ("utf_32", "UTF-32", "utf"),
    ("utf_32_le", "UTF-32LE", "utf"),
    ("utf_32_be", "UTF-32BE", "utf"),
    ("cp1252", "windows-1252", "windows"),
    ("cp1250", "windows-1250", "windows"),
    ("cp1251", "windows-1251", "windows"),
    ("cp1253", "windows-1253", "windows"),
    ("cp1254", "windows-1254", "windows"),
    ("cp1257", "windows-1257", "windows"),
    ("cp1256", "windows-1256", "windows"),
    ("cp1255", "windows-1255", "windows"),
    ("cp874", "windows-874", "windows"),
    ("cp1258", "windows-1258", "windows"),
    ("latin_1", "ISO-8859-1", "iso"),
    ("iso8859_15", "ISO-8859-15", "iso"),
    ("iso8859_2", "ISO-8859-2", "iso"),
    ("iso8859_5", "ISO-8859-5", "iso"),
    ("iso8859_7", "ISO-8859-7", "iso"),
    ("iso8859_9", "ISO-8859-9", "iso"),
    ("iso8859_6", "ISO-8859-6", "iso"),
    ("iso8859_8", "ISO-8859-8", "iso"),
    ("iso8859_13", "ISO-8859-13", "iso"),
    ("iso8859_4", "ISO-8859-4", "iso"),
    ("iso8859_16", "ISO-8859-16", "iso"),
    ("iso8859_3", "ISO-8859-3", "iso"),
    ("iso8859_10", "ISO-8859-10", "iso"),
    ("iso8859_14", "ISO-8859-14", "iso"),
    ("iso8859_11", "ISO-8859-11", "iso"),
    ("tis_620", "TIS-620", "iso"),
    ("koi8_r", "KOI8-R", "koi8"),
    ("koi8_u", "KOI8-U", "koi8"),
    ("koi8_t", "KOI8-T", "koi8"),
    ("kz1048", "KZ-1048", "other"),
    ("ptcp154", "PTCP154", "other"),
    ("cp850", "IBM850", "dos"),
    ("cp437", "IBM437", "dos"),
    ("cp852", "IBM852", "dos"),
    ("cp866", "IBM866", "dos"),
    ("cp858", "IBM00858", "dos"),
    ("cp855", "IBM855", "dos"),
    ("cp857", "IBM857", "dos"),
    ("cp860", "IBM860", "dos"),
    ("cp861", "IBM861", "dos"),
    ("cp862", "IBM862", "dos"),
    ("cp863", "IBM863", "dos"),
    ("cp864", "IBM864", "dos"),
    ("cp865", "IBM865", "dos"),
    ("cp869", "IBM869", "dos"),
    ("cp737", "IBM737", "dos"),
    ("cp775", "IBM775", "dos"),
    ("cp720", "DOS-720", "dos"),
    ("cp1125", "CP1125", "dos"),
    ("cp856", "IBM856", "dos"),
    ("mac_roman", "macintosh", "mac"),
    ("mac_cyrillic", "x-mac-cyrillic", "mac"),
    ("mac_greek", "x-mac-greek", "mac"),
    ("mac_latin2", "x-mac-ce", "mac"),
    ("mac_turkish", "x-mac-turkish", "mac"),
    ("mac_iceland", "x-mac-icelandic", "mac"),
    ("mac_croatian", "x-mac-croatian", "mac"),
    ("mac_romanian", "x-mac-romanian", "mac"),
    ("mac_arabic", "x-mac-arabic", "mac"),
    ("mac_farsi", "x-mac-farsi", "mac"),
    ("shift_jis", "Shift_JIS", "cjk"),
    ("cp932", "windows-31j", "cjk"),
    ("euc_jp", "EUC-JP", "cjk"),
    ("shift_jis_2004", "Shift_JIS-2004", "cjk"),
    ("euc_jis_2004", "EUC-JIS-2004", "cjk"),
    ("iso2022_jp", "ISO-2022-JP", "cjk"),
    ("iso2022_jp_2", "ISO-2022-JP-2", "cjk"),
    ("iso2022_jp_2004", "ISO-2022-JP-2004", "cjk"),
    ("gb2312", "GB2312", "cjk"),
    ("gbk", "GBK", "cjk"),
    ("gb18030", "GB18030", "cjk"),
    ("hz", "HZ-GB-2312", "cjk"),
    ("big5", "Big5", "cjk"),
    ("cp950", "windows-950", "cjk"),
    ("big5hkscs", "Big5-HKSCS", "cjk"),
    ("euc_kr", "EUC-KR", "cjk"),
    ("cp949", "windows-949", "cjk"),
    ("johab", "Johab", "cjk"),
    ("iso2022_kr", "ISO-2022-KR", "cjk"),
)

_MULTI_BYTE = frozenset(
    {
        "utf_8",
        "utf_8_sig",
        "utf_16",
        "utf_16_le",
        "utf_16_be",
        "utf_32",
        "utf_32_le",
        "utf_32_be",
        "shift_jis",
        "cp932",
        "euc_jp",
        "shift_jis_2004",
        "euc_jis_2004",
        "iso2022_jp",
        "iso2022_jp_2",
        "iso2022_jp_2004",
        "gb2312",
        "gbk",
        "gb18030",
        "hz",
        "big5",
        "cp950",
        "big5hkscs",
        "euc_kr",
        "cp949",
        "johab",
        "iso2022_kr",
    }
)


def _build() -> tuple[Codec, ...]:
    codecs = []
    for position, (encoding, name, family) in enumerate(_TABLE):
        # A small step per table position orders the pages inside a family.
        prior = _FAMILY_PRIOR[family] - position * 1e-4
        codecs.append(Codec(encoding, name, family, prior, encoding not in _MULTI_BYTE and encoding != "ascii"))
    return tuple(codecs)


CODECS: tuple[Codec, ...] = _build()
BY_NAME: dict[str, Codec] = {codec.encoding: codec for codec in CODECS}
SINGLE_BYTE: tuple[Codec, ...] = tuple(codec for codec in CODECS if codec.single_byte)
MULTI_BYTE: tuple[Codec, ...] = tuple(codec for codec in CODECS if codec.encoding in _MULTI_BYTE)


def label(encoding: str) -> str:
    """The standard label of a Python codec name (the name itself when unknown)."""
    codec = BY_NAME.get(encoding)
    return codec.name if codec else encoding


@cache
def _undefined_bytes(encoding: str) -> bytes:
    undefined = bytearray()
    for byte in range(256):
        try:
            bytes((byte,)).decode(encoding)
        except UnicodeDecodeError:
            undefined.append(byte)
    return bytes(undefined)


@cache
def _defined_bytes(encoding: str) -> bytes:
    undefined = set(_undefined_bytes(encoding))
    return bytes(byte for byte in range(256) if byte not in undefined)
