from collections.abc import Iterable
from typing import Any

def encoding_unicode_range(iana_name: str) -> list[str]:
    """Return associated unicode ranges in a single byte code page."""

def unicode_range_languages(primary_range: str | None) -> list[str]:
    """Return inferred languages used with a unicode range."""

def encoding_languages(iana_name: str) -> list[str]:
    """Return the language association for a single-byte encoding."""

def mb_encoding_languages(iana_name: str) -> list[str]:
    """Return the language association for a multi-byte encoding."""

def get_target_features(language: str) -> tuple[bool, bool]:
    """Return whether a language has accents and is purely Latin."""

def alphabet_languages(characters: list[str], ignore_non_latin: Any = False) -> list[str]:
    """Return languages associated with the supplied alphabet."""

def characters_popularity_compare(language: str, ordered_characters: list[Any]) -> float:
    """Compare observed character popularity with a language profile."""

def alpha_unicode_split(decoded_sequence: str) -> list[str]:
    """Split alphabetic characters into compatible Unicode-range layers."""

def merge_coherence_ratios(results: list[Iterable[tuple[str, float]]]) -> list[tuple[str, float]]:
    """Merge coherence ratios by language."""

def filter_alt_coherence_matches(results: list[tuple[str, float]]) -> list[tuple[str, float]]:
    """Collapse alternative language names while retaining their best score."""

def coherence_ratio(
    decoded_sequence: str, threshold: float = 0.1, lg_inclusion: str | None = None
) -> list[tuple[str, float]]:
    """Detect languages represented in a decoded sequence."""
