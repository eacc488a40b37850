"""The README's examples run as written: its Python blocks, and its shell sessions with the output they show."""

import importlib.util
import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
TEXT = README.read_text(encoding="utf-8")
# Each Python block padded with blank lines so that a failure names its README line.
BLOCKS = ["\n" * TEXT.count("\n", 0, m.start(1)) + m.group(1) for m in re.finditer(r"```python\n(.*?)```", TEXT, re.S)]

_spec = importlib.util.spec_from_file_location("readme_sessions", ROOT / "tools" / "readme_sessions.py")
sessions = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(sessions)
COMMANDS = sessions.commands(TEXT)

NUMBER = re.compile(r"\d+\.\d+")
# Shown figures (confidence, mess, scores) may drift this much as the detector is tuned.
FIGURE_TOLERANCE = 0.05


@pytest.mark.parametrize("source", BLOCKS, ids=[f"block{i}" for i in range(len(BLOCKS))])
def test_readme_example_runs(source):
    exec(compile(source, str(README), "exec"), {})


def _same(shown: str, actual: str) -> bool:
    if NUMBER.sub("#", shown) != NUMBER.sub("#", actual):
        return False
    return all(
        abs(float(a) - float(b)) <= FIGURE_TOLERANCE for a, b in zip(NUMBER.findall(shown), NUMBER.findall(actual))
    )


@pytest.mark.parametrize("command, shown", COMMANDS, ids=[command for command, _ in COMMANDS])
def test_readme_session_shows_real_output(command, shown):
    status, actual = sessions.run(command)
    assert status in (0, 1), f"{command} exited {status}"
    same = len(shown) == len(actual) and all(map(_same, shown, actual))
    assert same, (
        f"README shows for `{command}`:\n"
        + "\n".join(shown)
        + "\n\nit prints:\n"
        + "\n".join(actual)
        + "\n\n(.venv/bin/python tools/readme_sessions.py refreshes the README)"
    )


def test_readme_has_examples():
    assert BLOCKS and COMMANDS
