"""The README's examples run as written: its Python blocks, and its shell sessions with the output they show."""

import os
import re
import shlex
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
TEXT = README.read_text(encoding="utf-8")
# Each Python block padded with blank lines so that a failure names its README line.
BLOCKS = ["\n" * TEXT.count("\n", 0, m.start(1)) + m.group(1) for m in re.finditer(r"```python\n(.*?)```", TEXT, re.S)]
SESSIONS = re.findall(r"```console\n(.*?)```", TEXT, re.S)

# How a README command runs here: the tool through this interpreter, from the repository root.
COMMANDS = {"./dev run": [sys.executable, "-m", "vexlora"], "vexlora": [sys.executable, "-m", "vexlora"]}
NUMBER = re.compile(r"\d+\.\d+")
# Shown figures (confidence, mess, scores) may drift this much as the detector is tuned.
FIGURE_TOLERANCE = 0.05


@pytest.mark.parametrize("source", BLOCKS, ids=[f"block{i}" for i in range(len(BLOCKS))])
def test_readme_example_runs(source):
    exec(compile(source, str(README), "exec"), {})


def _commands(session: str) -> list[tuple[str, list[str]]]:
    """(command line, the output lines shown under it) for each `$ ` line of a console block."""
    found: list[tuple[str, list[str]]] = []
    for line in session.splitlines():
        if line.startswith("$ "):
            found.append((line[2:], []))
        else:
            found[-1][1].append(line)
    return found


def _run(command: str) -> tuple[int, list[str]]:
    words = shlex.split(command)
    stdin = os.devnull
    if "<" in words:
        at = words.index("<")
        stdin = ROOT / words[at + 1]
        del words[at:at + 2]
    for prefix, replacement in COMMANDS.items():
        head = prefix.split()
        if words[:len(head)] == head:
            words = replacement + words[len(head):]
            break
    else:
        pytest.fail(f"README command not understood: {command}")
    with open(stdin, "rb") as source:
        result = subprocess.run(words, stdin=source, capture_output=True, text=True, cwd=ROOT, timeout=120)
    return result.returncode, result.stdout.splitlines()


def _same(shown: str, actual: str) -> bool:
    if NUMBER.sub("#", shown) != NUMBER.sub("#", actual):
        return False
    return all(abs(float(a) - float(b)) <= FIGURE_TOLERANCE
               for a, b in zip(NUMBER.findall(shown), NUMBER.findall(actual)))


@pytest.mark.parametrize("command, shown", [c for s in SESSIONS for c in _commands(s)],
                         ids=lambda value: value if isinstance(value, str) else "")
def test_readme_session_shows_real_output(command, shown):
    status, actual = _run(command)
    assert status in (0, 1), f"{command} exited {status}"
    mismatch = len(shown) != len(actual) or not all(map(_same, shown, actual))
    assert not mismatch, f"README shows for `{command}`:\n" + "\n".join(shown) + "\n\nit prints:\n" + "\n".join(actual)


def test_readme_has_examples():
    assert BLOCKS and SESSIONS
