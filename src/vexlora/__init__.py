"""vexlora: find the character encoding and the languages of a byte payload.

The pure-Python modules ``vexlora.constant`` and ``vexlora.utils`` hold the
Unicode knowledge and language data; the native modules ``vexlora.murkel``
(mess detection) and ``vexlora.tessaly`` (language coherence) are built
separately and are imported on demand.
"""

__version__ = "0.1.0"
