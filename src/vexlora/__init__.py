"""vexlora: find the character encoding and the languages of a byte payload.

The pure-Python modules ``vexlora.constant`` and ``vexlora.utils`` hold the
Unicode knowledge and language data; the native modules ``vexlora.murkel``
(mess detection) and ``vexlora.tessaly`` (language coherence) are built
separately and are imported on demand.
"""

from typing import TYPE_CHECKING

if TYPE_CHECKING:  # what the lazy exports below resolve to, for type checkers
    from vexlora.detector import Detection, Guess, detect, detect_file, detect_stream

__version__ = "0.1.0"

__all__ = ["Detection", "Guess", "detect", "detect_file", "detect_stream"]

_DETECTOR_NAMES = frozenset(__all__)


def __getattr__(name: str) -> object:
    # The detector is imported on first use so that ``import vexlora`` stays
    # light and does not load the native modules.
    if name in _DETECTOR_NAMES:
        from vexlora import detector

        value = globals()[name] = getattr(detector, name)  # later lookups skip this hook
        return value
    raise AttributeError(f"module 'vexlora' has no attribute {name!r}")
